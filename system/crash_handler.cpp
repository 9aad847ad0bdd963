#include "system/crash_handler.h"

#include "core/cpu_info.h"
#include "core/crash_dump_list.h"
#include "core/folders.h"
#include "core/format.h"
#include "core/os_version.h"
#include "core/text.h"
#include "platform/crash/crash.h"
#include "platform/http_client/http_client.h"
#include "system/error_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

namespace sys {

namespace {

// What the watchdog needs to know at a crash; the installed process keeps
// the master copy and sends every change down the pipe.
struct crash_settings {
    std::string dump_folder;
    uint32_t mode = crash_mode_ask;
    bool service = false;
    std::string upload_host;
    std::string trace_file; // the program's trace, where the message goes too
    std::string texts[6] = {
        "An unhandled exception has occurred.",
        "The following module has injected itself into this program and might be a cause for "
        "the crash:",
        "This module might be a virus. Therefore it is highly recommended to run a virus scan "
        "on your system.",
        "Modules of other programs have been found, that have injected themselves into this "
        "program. To make sure that these modules are not the cause of the crash, please run "
        "this program again after deactivating or uninstalling the following programs:",
        "The program terminates now.",
        "Do you wish to send a crash dump to Tesk, which helps us to analyze the error?",
    };
    std::map<std::string, std::string> fields; // values form-encoded
};

enum text_id { t_unhandled, t_injected, t_virus, t_other, t_terminates, t_ask };

std::mutex settings_lock;
crash_settings settings;
int watchdog_fd = -1;
void (*crash_callback)(void*) = nullptr;
void* crash_callback_arg = nullptr;

// Hands the current dump path, pipe and callback to the signal handlers.
bool install_handlers_locked() {
    crash::settings cs;
    cs.dump_path = settings.dump_folder + "minidump.dmp";
    cs.notify_fd = watchdog_fd;
    cs.callback = crash_callback;
    cs.callback_arg = crash_callback_arg;
    return crash::install(cs);
}

void put_string(std::string& out, const std::string& s) {
    const uint32_t n = uint32_t(s.size());
    out.append(reinterpret_cast<const char*>(&n), 4);
    out += s;
}

bool get_string(const std::string& in, std::size_t& pos, std::string& s) {
    uint32_t n = 0;
    if (pos + 4 > in.size()) return false;
    std::memcpy(&n, in.data() + pos, 4);
    pos += 4;
    if (pos + n > in.size()) return false;
    s = in.substr(pos, n);
    pos += n;
    return true;
}

std::string serialize(const crash_settings& s) {
    std::string out;
    put_string(out, s.dump_folder);
    put_string(out, std::to_string(s.mode));
    put_string(out, s.service ? "1" : "0");
    put_string(out, s.upload_host);
    put_string(out, s.trace_file);
    for (const auto& t : s.texts)
        put_string(out, t);
    for (const auto& [k, v] : s.fields) {
        put_string(out, k);
        put_string(out, v);
    }
    return out;
}

bool deserialize(const std::string& in, crash_settings& s) {
    std::size_t pos = 0;
    std::string mode, service;
    if (!get_string(in, pos, s.dump_folder) || !get_string(in, pos, mode) ||
        !get_string(in, pos, service) || !get_string(in, pos, s.upload_host) ||
        !get_string(in, pos, s.trace_file))
        return false;
    s.mode = uint32_t(std::strtoul(mode.c_str(), nullptr, 10));
    s.service = service == "1";
    for (auto& t : s.texts)
        if (!get_string(in, pos, t)) return false;
    s.fields.clear();
    std::string k, v;
    while (pos < in.size()) {
        if (!get_string(in, pos, k) || !get_string(in, pos, v)) return false;
        s.fields[k] = v;
    }
    return true;
}

bool write_all(int fd, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = ::write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += std::size_t(n);
    }
    return true;
}

bool read_all(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= std::size_t(r);
    }
    return true;
}

// Sends the settings to the watchdog as one message ('S', length, blob).
void send_settings_locked() {
    if (watchdog_fd < 0) return;
    const std::string blob = serialize(settings);
    std::string msg = "S";
    const uint32_t n = uint32_t(blob.size());
    msg.append(reinterpret_cast<const char*>(&n), 4);
    msg += blob;
    write_all(watchdog_fd, msg);
}

std::string dump_path_of(const std::string& folder) {
    return folder + "minidump.dmp";
}

crash_settings& watchdog_settings() {
    static crash_settings s;
    return s;
}

[[noreturn]] void watchdog_loop(int fd) {
    crash_settings& s = watchdog_settings();
    for (;;) {
        char type = 0;
        if (!read_all(fd, &type, 1)) _exit(0);
        if (type == 'S') {
            uint32_t n = 0;
            if (!read_all(fd, reinterpret_cast<char*>(&n), 4)) _exit(0);
            std::string blob(n, '\0');
            if (!read_all(fd, blob.data(), n)) _exit(0);
            crash_settings next;
            if (deserialize(blob, next)) s = std::move(next);
        } else if (type == 'C') {
            handle_crash_dump(dump_path_of(s.dump_folder));
            _exit(0);
        }
    }
}

void mirror_block(const void* address, size_t size) {
    if (size)
        crash::add_block(address, size);
    else
        crash::remove_block(address);
}

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A person can answer only at a terminal, and never in service mode.
bool ask(const crash_settings& s, const std::string& question, bool& asked) {
    asked = false;
    if (s.service) return false;
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) return false;
    asked = true;
    write_all(tty, question + " [y/N] ");
    char answer[16] = {};
    const ssize_t n = ::read(tty, answer, sizeof(answer) - 1);
    ::close(tty);
    return n > 0 && (answer[0] == 'y' || answer[0] == 'Y');
}

// The number of threads of this process; 0 when it cannot be read.
size_t thread_count() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

// A child forked while other threads run may find a lock (malloc's, the
// trace's) held by a thread that does not exist in it and wait forever: the
// watchdog is forked only while the process has one thread.
bool start_watchdog_locked() {
    if (watchdog_fd >= 0) return true;
    if (thread_count() != 1) return false;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(p[0]);
        ::close(p[1]);
        return false;
    }
    if (pid == 0) {
        ::close(p[1]);
        // The stop keys of a terminal are for the program, not for the
        // one who reports its crash; it ends when the program's end
        // closes the pipe.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGPIPE, SIG_IGN);
        watchdog_loop(p[0]);
    }
    ::close(p[0]);
    watchdog_fd = p[1];
    return true;
}

} // namespace

std::string crash_report_query(const std::map<std::string, std::string>& fields) {
    std::string q;
    for (const auto& [k, v] : fields) {
        if (!q.empty()) q += '&';
        q += k + "=" + v;
    }
    return q;
}

std::string crash_report_query() {
    std::lock_guard lk(settings_lock);
    return crash_report_query(settings.fields);
}

bool install_crash_handler(const std::wstring& name, uint32_t mode) {
    return install_crash_handler_in(cl::get_common_app_data_dir(name), mode);
}

bool install_crash_handler_in(const std::wstring& dump_folder, uint32_t mode) {
    std::lock_guard lk(settings_lock);
    std::string folder = cl::utf16_to_utf8(dump_folder);
    if (folder.empty()) return false;
    if (folder.back() != '/') folder += '/';
    cl::create_dir_tree(cl::utf8_to_utf16(folder));
    settings.dump_folder = folder;
    settings.mode = mode;

    const bool watched = start_watchdog_locked();
    send_settings_locked();
    // Without a watchdog a crash still leaves its dump.
    if (!install_handlers_locked()) return false;
    cl::set_crash_dump_observer(&mirror_block);
    return watched;
}

bool start_crash_watchdog() {
    std::lock_guard lk(settings_lock);
    return start_watchdog_locked();
}

void crash_set_trace_file(const std::wstring& path) {
    std::lock_guard lk(settings_lock);
    settings.trace_file = cl::utf16_to_utf8(path);
    send_settings_locked();
}

void crash_set_texts(const std::wstring& unhandled, const std::wstring& injected,
                     const std::wstring& virus, const std::wstring& other_programs,
                     const std::wstring& terminates, const std::wstring& ask_send) {
    std::lock_guard lk(settings_lock);
    const std::wstring* t[] = {&unhandled,      &injected,   &virus,
                               &other_programs, &terminates, &ask_send};
    for (int i = 0; i < 6; ++i)
        settings.texts[i] = cl::utf16_to_utf8(*t[i]);
    send_settings_locked();
}

void crash_set_callback(void (*callback)(void*), void* arg) {
    std::lock_guard lk(settings_lock);
    crash_callback = callback;
    crash_callback_arg = arg;
    if (!settings.dump_folder.empty()) install_handlers_locked();
}

void crash_report_add_field(const std::string& name, const std::wstring& value) {
    if (name.empty()) return;
    std::lock_guard lk(settings_lock);
    settings.fields[name] = cl::url_form_encode(cl::utf16_to_utf8(value));
    send_settings_locked();
}

void crash_report_params(const std::wstring& program, const std::wstring& version) {
    const os_version& os = os_version::instance();
    crash_report_add_field("prod", program);
    crash_report_add_field("ver", version);
    crash_report_add_field("osver", cl::format_wstr(L"%?.%02?.%04?", os.major, os.minor, os.build));
    crash_report_add_field("arch", os_version::is_x64() ? L"x64" : L"x86");
    const char* lang = std::getenv("LANG");
    std::wstring code = cl::utf8_to_utf16(lang ? lang : "");
    if (const auto cut = code.find_first_of(L"_.@"); cut != std::wstring::npos) code.resize(cut);
    if (!code.empty() && code != L"C" && code != L"POSIX") crash_report_add_field("lang", code);
}

void crash_set_service_mode(bool service) {
    std::lock_guard lk(settings_lock);
    settings.service = service;
    send_settings_locked();
}

void crash_set_upload_host(const std::wstring& host) {
    std::lock_guard lk(settings_lock);
    settings.upload_host = cl::utf16_to_utf8(host);
    send_settings_locked();
}

crash_outcome handle_crash_dump(const std::string& dump_path) {
    const crash_settings& s = watchdog_settings();
    crash_outcome out;
    out.fields = s.fields;
    crash::dump_info d;
    if (crash::read_dump(dump_path, d)) {
        out.fields["ex"] = exception_name(d.exception);
        out.fields["exadr"] = cl::format_str("%x", d.pc);
        out.fields["extype"] = d.flags ? "NONCONTINUABLE" : "CONTINUABLE";
        std::string module;
        uint64_t rva = 0;
        if (crash::module_of(d.maps, d.pc, module, rva)) {
            out.fields["exmod"] = cl::url_form_encode(base_name(module));
            out.fields["exrva"] = cl::format_str("0x%x", rva);
        }
    } else {
        out.fields["mdwerr"] = cl::format_str("0x%08x", uint32_t(errno));
    }

    // Modules that the dynamic loader was told to put into the program are
    // this platform's injected modules.
    std::vector<std::string> hooks;
    if (const char* preload = std::getenv("LD_PRELOAD")) {
        std::string list = preload;
        for (char& c : list)
            if (c == ':') c = ' ';
        std::size_t i = 0;
        while (i < list.size()) {
            const auto end = list.find(' ', i);
            const std::string item = list.substr(i, end == std::string::npos ? end : end - i);
            if (!item.empty() && d.maps.find(item) != std::string::npos)
                hooks.push_back(base_name(item));
            if (end == std::string::npos) break;
            i = end + 1;
        }
    }
    std::string probe;
    if (!hooks.empty()) {
        std::string joined;
        probe = s.texts[t_other] + "\n\n";
        for (const auto& h : hooks) {
            joined += (joined.empty() ? "" : ",") + h;
            probe += h + "\n";
        }
        out.fields["hook"] = cl::url_form_encode(joined);
    }
    out.message =
        s.texts[t_unhandled] + "\n\n" + (probe.empty() ? s.texts[t_terminates] + "\n" : probe);
    // The message is shown whoever is there to see it: on standard error
    // (a terminal, the service manager's journal) and in the trace.
    const std::string shown = "Tesk Exception Handler: " + out.message + "\n";
    write_all(STDERR_FILENO, shown);
    if (!s.trace_file.empty()) {
        const int t = ::open(s.trace_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (t >= 0) {
            write_all(t, shown);
            ::close(t);
        }
    }
    bool upload = s.mode == crash_mode_upload;
    if (s.mode == crash_mode_ask) {
        out.message += "\n" + s.texts[t_ask];
        upload = ask(s, s.texts[t_ask], out.asked);
    }

    const std::string folder = dump_path.substr(0, dump_path.rfind('/') + 1);
    std::ofstream(folder + "crash_report.txt", std::ios::trunc)
        << crash_report_query(out.fields) << "\n\n"
        << out.message << "\n";

    if (upload && !s.upload_host.empty()) {
        std::string path = "/scripts/crash_dump.jss";
        const std::string q = crash_report_query(out.fields);
        if (!q.empty()) path += "?" + q;
        out.uploaded = crash_upload(dump_path, s.upload_host, path);
    }
    return out;
}

bool crash_upload(const std::string& file_path, const std::string& host,
                  const std::string& request_path) {
    const int fd = ::open(file_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || uint64_t(st.st_size) >= (uint64_t(1) << 32)) {
        ::close(fd);
        return false;
    }
    std::string name = host;
    uint16_t port = 443;
    if (const auto colon = host.rfind(':'); colon != std::string::npos && host.back() != ']') {
        name = host.substr(0, colon);
        port = uint16_t(std::strtoul(host.c_str() + colon + 1, nullptr, 10));
    }
    uint32_t error = 0;
    auto session = http_client::session::open("Tesk Upload Agent", 0, error);
    bool ok = false;
    if (session) {
        http_client::connection conn(session, name, port);
        http_client::request req(conn, "POST", request_path, "", {}, http_client::flag_secure);
        if (req.send("Content-Type: application/octet-stream", uint64_t(st.st_size)) == 0) {
            std::vector<char> buf(1024 * 1024);
            bool sent = true;
            for (;;) {
                const ssize_t n = ::read(fd, buf.data(), buf.size());
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    sent = false;
                    break;
                }
                if (n == 0) break;
                std::size_t written = 0;
                if (req.write_data(buf.data(), std::size_t(n), written) != 0) {
                    sent = false;
                    break;
                }
            }
            ok = sent && req.receive_response() == 0 && req.status_code() == 200;
        }
    }
    ::close(fd);
    return ok;
}

} // namespace sys
