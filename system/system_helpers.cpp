#include "system/system_helpers.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace sys {

bool run_process(const std::vector<std::string>& argv, const std::string& folder, bool wait,
                 bool hidden) {
    if (argv.empty() || argv[0].empty()) return false;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    if (hidden) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The program's blocked stop signals must not stay blocked in the child.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    if (wait) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    } else {
        // Nobody waits for it, yet it must not stay a zombie: a small thread
        // reaps it whenever it ends.
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    return true;
}

std::string& url_opener() {
    static std::string opener = "xdg-open";
    return opener;
}

bool open_url(const std::string& url) {
    if (url.empty() || url[0] == '-') return false;
    return run_process({url_opener(), url}, std::string(), false, true);
}

bool list_local_addresses(std::vector<std::wstring>& ipv4, std::vector<std::wstring>& ipv6) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)))
                ipv4.push_back(cl::utf8_to_utf16(text));
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
            if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text)))
                ipv6.push_back(cl::utf8_to_utf16(text));
        }
    }
    freeifaddrs(list);
    return true;
}

std::wstring own_module_name() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return {};
    std::string path(buf, std::size_t(n));
    const auto slash = path.rfind('/');
    return cl::utf8_to_utf16(slash == std::string::npos ? path : path.substr(slash + 1));
}

bool module_of_address(const void* address, std::wstring& name, uint64_t& offset) {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0 || !info.dli_fname) return false;
    name = cl::utf8_to_utf16(info.dli_fname);
    offset = uint64_t(reinterpret_cast<uintptr_t>(address) -
                      reinterpret_cast<uintptr_t>(info.dli_fbase));
    return true;
}

std::string service_state_name(uint32_t state) {
    static const char* const names[] = {"stopped", "start pending",    "stop pending",
                                        "running", "continue pending", "pause pending",
                                        "paused"};
    if (state >= 1 && state <= 7) return names[state - 1];
    return cl::format_str("Unknown status (%?)", state);
}

std::string session_change_name(uint32_t event, uint32_t session_id) {
    static const char* const names[] = {"console connect",        "console disconnect",
                                        "console remote connect", "console remote disconnect",
                                        "session logon",          "session logoff",
                                        "session lock",           "session unlock"};
    if (event >= 1 && event <= 8) return names[event - 1];
    return cl::format_str("unknown (%? %x)", event, session_id);
}

std::string hex_dump_text(const void* data, std::size_t count, std::string_view first_prefix,
                          std::string_view next_prefix) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    if (!data || count == 0) return out;
    const auto* p = static_cast<const unsigned char*>(data);
    out.reserve((count / 16 + 1) * (next_prefix.size() + 70) + first_prefix.size());
    for (std::size_t line = 0; line < count; line += 16) {
        if (line == 0)
            out += first_prefix;
        else {
            out += '\n';
            out += next_prefix;
        }
        const std::size_t n = count - line < 16 ? count - line : 16;
        for (std::size_t i = 0; i < n; ++i) {
            if (i == 8)
                out += '-';
            else if (i != 0)
                out += ' ';
            out += digits[p[line + i] >> 4];
            out += digits[p[line + i] & 15];
        }
        // A dump of one single byte shows no character column.
        if (count == 1) break;
        // The character column of a short last line stands where a full
        // line's does: 3 columns for every missing byte, and one blank.
        out.append((16 - n) * 3 + 1, ' ');
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = p[line + i];
            out += c < 32 || c >= 127 ? '.' : char(c);
        }
    }
    out += '\n';
    return out;
}

void trace_hex_dump(const void* data, std::size_t count) {
    const std::string text = hex_dump_text(data, count, "    ", "    ");
    if (!text.empty()) cl::trace_out.write(text);
}

} // namespace sys
