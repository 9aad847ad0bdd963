#include "shell/publish.h"

#include "core/format.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/errors.h"
#include "server/config/path_lookup.h"
#include "shell/globals.h"
#include "shell/language.h"
#include "shell/window.h"
#include "system/maker_service.h"
#include "system/winhttp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/win32/replace_file.h"
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::mutex publish_lock;
std::string cached_address;
int64_t cached_at = 0;

int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// Copies the whole file to a temporary one beside the target and links it
// under the target's name, which fails when the target exists: nothing is
// overwritten and no half file ever carries the name. 0 or a Windows error.
uint32_t copy_new_file(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return win32::from_errno(errno);
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return win32::error_access_denied;
    }
    std::string tmp = to + ".XXXXXX";
    const int out = ::mkstemp(tmp.data());
    if (out < 0) {
        const int e = errno;
        ::close(in);
        return win32::from_errno(e);
    }
    uint32_t rc = 0;
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (n > 0 && !write_all(out, buf.data(), std::size_t(n)))) {
            rc = win32::from_errno(errno);
            break;
        }
        if (n == 0) break;
    }
    if (rc == 0 && (::fchmod(out, 0644) != 0 || ::fsync(out) != 0)) rc = win32::from_errno(errno);
    ::close(out);
    ::close(in);
    if (rc == 0 && ::link(tmp.c_str(), to.c_str()) != 0)
        rc = errno == EEXIST ? win32::error_file_exists : win32::from_errno(errno);
    ::unlink(tmp.c_str());
    return rc;
}

// The clipboard stand-in, replaced whole through a temporary file.
bool write_clipboard(const std::string& path, const std::string& text) {
    return win32::replace_file_contents(path, text, 0600);
}

std::string read_file(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

std::string public_dir() {
    std::wstring dir = g_global_ini.get_string_or_wstring(L"Param", L"public_dir", L"");
    cl::trim_w(dir);
    if (dir.empty()) dir = g_data_dir + L"pub/";
    // A relative folder lies in the program-data directory, as the server
    // reads it.
    if (dir.front() != L'/') dir = g_data_dir + dir;
    cl::append_backslash(dir);
    return cl::utf16_to_utf8(dir);
}

} // namespace

bool is_ip_address(const std::string& text) {
    unsigned char buf[16];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

std::string public_address() {
    if (cached_at != 0 && now_seconds() - cached_at <= 60) return cached_address;
    cached_address.clear();
    cached_at = 0;
    if (!sys::winhttp_available()) return {};
    const wchar_t* const accept[] = {L"*/*", nullptr};
    std::string body;
    uint32_t error = 0;
    uint16_t status = 0;
    if (!sys::winhttp_fetch(L"tesk qvel publisher", sys::maker_host, nullptr,
                            L"/remote_address_qvel.shtml", accept, false, nullptr, body, error,
                            status))
        return {};
    const std::string address(cl::trimmed(body));
    // An error page or a proxy's notice is no address: it is not kept.
    if (status < 200 || status > 299 || !is_ip_address(address)) return {};
    cached_address = address;
    cached_at = now_seconds();
    return cached_address;
}

int publish_file(const std::wstring& argument) {
    std::lock_guard lk(publish_lock);
    const std::string dir = public_dir();
    std::wstring domain_w = g_global_ini.get_string_or_wstring(L"Param", L"domain", L"");
    cl::trim_w(domain_w);
    std::string domain = cl::utf16_to_utf8(domain_w);
    if (domain.empty()) domain = public_address();
    // An IPv6 address is written in brackets in a URL.
    if (domain.find(':') != std::string::npos && is_ip_address(domain)) domain = "[" + domain + "]";

    std::wstring source_w = argument;
    cl::trim_w(source_w);
    cl::strip_quotes(source_w);
    const std::string source = cl::utf16_to_utf8(source_w);
    const std::string name = cl::file_name_part(std::string_view(source));
    const std::string target = dir + name;

    ::mkdir(dir.c_str(), 0755);
    const uint32_t rc = name.empty() ? win32::error_invalid_name : copy_new_file(source, target);
    if (rc != 0) {
        std::wstring caption = g_window_title;
        shell::message_box(caption, 0,
                           cl::format_wstr(L"%? (%?)\nFrom: [%?]\nTo: [%?]",
                                           ml_text("file_copy_failed"), rc, source_w,
                                           cl::utf8_to_utf16(target)),
                           0x10);
        return 1;
    }

    const int32_t port = g_global_ini.get_int(L"param", L"server_port", 80);
    const std::string port_part = port == 80 ? std::string() : cl::format_str(":%?", port);
    const std::string prefix = "http://" + domain + port_part + "/";
    const std::string url =
        domain.empty() ? std::string() : prefix + server_config::url_escape_path(name);
    if (domain.empty() || url.empty()) {
        cl::trace_out.write(cl::format_str("URL not pasted to clipboard (%?/%?)\n", domain, url));
        return 2;
    }

    const std::string clipboard = cl::utf16_to_utf8(g_data_dir) + "clipboard.txt";
    const std::string old = read_file(clipboard);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i <= old.size();) {
        auto end = old.find('\n', i);
        if (end == std::string::npos) end = old.size();
        std::string l = old.substr(i, end - i);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(std::move(l));
        i = end + 1;
    }
    const auto same_server = [&](const std::string& l) {
        return !l.empty() && l.compare(0, prefix.size(), prefix) == 0;
    };
    const bool append =
        !old.empty() && (same_server(lines[0]) || (lines.size() > 1 && same_server(lines[1])));
    write_clipboard(clipboard, append ? old + "\r\n" + url : url);
    const std::string line = url + "\n";
    (void)!::write(STDOUT_FILENO, line.data(), line.size());
    return 0;
}
