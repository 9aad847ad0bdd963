#include "platform/service/service.h"

#include "platform/win32/replace_file.h"
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace service {
namespace {

std::mutex g_lock;
control_handler g_handler;
bool g_dispatching = false;
bool g_stopping_sent = false;
uint32_t g_state = 0;

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return true;
}

int systemctl(const std::vector<std::string>& args) {
    return run_program(manager().systemctl, args);
}

// The state text systemctl prints for is-active.
int systemctl_output(const std::vector<std::string>& args, std::string& out) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(manager().systemctl.c_str()));
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0 && out.size() < 4096) out.append(buf, size_t(n));
    ::close(fds[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace

int run_program(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool started_by_manager() {
    const char* s = std::getenv("NOTIFY_SOCKET");
    return s && *s;
}

bool notify(const std::string& text) {
    const char* s = std::getenv("NOTIFY_SOCKET");
    if (!s || !*s) return false;
    std::string path = s;
    sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return false;
    socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + path.size());
    std::memcpy(a.sun_path, path.data(), path.size());
    if (path[0] == '@')
        a.sun_path[0] = 0; // an abstract socket
    else
        ++len;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr*>(&a), len) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

bool start_dispatcher(const std::function<void()>& main, uint32_t& error) {
    if (!started_by_manager()) {
        error = error_failed_service_controller_connect;
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(g_lock);
        g_dispatching = true;
    }
    std::thread worker(main);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(g_lock);
            // The service may also end on its own, telling so by its status.
            if (g_state == service_stopped || g_state == service_stop_pending) break;
        }
        timespec ts{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&set, nullptr, &ts);
        if (sig <= 0) continue;
        control_handler h;
        {
            std::lock_guard<std::mutex> lk(g_lock);
            h = g_handler;
        }
        if (h) h(control_stop, 0);
        std::lock_guard<std::mutex> lk(g_lock);
        if (g_state == service_stop_pending || g_state == service_stopped || !h) break;
    }
    // service_main returns once the service runs; its thread is done here.
    worker.join();
    std::lock_guard<std::mutex> lk(g_lock);
    g_dispatching = false;
    error = 0;
    return true;
}

bool register_handler(control_handler handler) {
    std::lock_guard<std::mutex> lk(g_lock);
    if (!g_dispatching) return false;
    g_handler = std::move(handler);
    return true;
}

bool set_status(const service_status& s) {
    std::string text;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        g_state = s.current_state;
        switch (s.current_state) {
        case service_start_pending:
            text = "STATUS=starting\n";
            break;
        case service_running:
            text = "READY=1\nSTATUS=running\n";
            break;
        case service_stop_pending:
        case service_stopped:
            if (!g_stopping_sent) text = "STOPPING=1\n";
            g_stopping_sent = true;
            text += s.current_state == service_stopped ? "STATUS=stopped\n" : "STATUS=stopping\n";
            break;
        default:
            return false;
        }
        if (s.win32_exit_code) text += "ERRNO=" + std::to_string(s.win32_exit_code) + "\n";
    }
    return notify(text);
}

manager_config& manager() {
    static manager_config c;
    return c;
}

std::string unit_path(const std::string& name) {
    return manager().unit_dir + "/" + name + ".service";
}

bool open_manager(uint32_t& error) {
    struct stat st {};
    if (::stat(manager().runtime_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = error_file_not_found;
        return false;
    }
    if (::access(manager().unit_dir.c_str(), W_OK) != 0) {
        error = error_access_denied;
        return false;
    }
    error = 0;
    return true;
}

bool service_installed(const std::string& name) {
    return ::access(unit_path(name).c_str(), F_OK) == 0;
}

bool create_service(const std::string& name, const std::string& display_name,
                    const std::string& command_line, uint32_t& error) {
    std::string unit = "[Unit]\nDescription=" + display_name +
                       "\nAfter=network.target\n\n"
                       "[Service]\nType=notify\nNotifyAccess=main\nExecStart=" +
                       command_line +
                       "\nKillSignal=SIGTERM\nTimeoutStopSec=60\n\n"
                       "[Install]\nWantedBy=multi-user.target\n";
    if (!win32::replace_file_contents(unit_path(name), unit, 0644)) {
        error = error_access_denied;
        return false;
    }
    if (systemctl({"daemon-reload"}) != 0 || systemctl({"enable", name + ".service"}) != 0) {
        error = error_access_denied;
        return false;
    }
    error = 0;
    return true;
}

bool set_description(const std::string& name, const std::string& description, uint32_t& error) {
    std::string text;
    if (!read_file(unit_path(name), text)) {
        error = error_service_does_not_exist;
        return false;
    }
    // The long description rides beside the display name; the manager
    // ignores "X-" keys.
    std::string clean;
    for (char c : description)
        clean += (c == '\n' || c == '\r') ? ' ' : c;
    std::string out;
    std::istringstream in(text);
    std::string line;
    bool placed = false;
    while (std::getline(in, line)) {
        if (line.rfind("X-Description=", 0) == 0) continue;
        out += line + "\n";
        if (!placed && line.rfind("Description=", 0) == 0) {
            out += "X-Description=" + clean + "\n";
            placed = true;
        }
    }
    if (!win32::replace_file_contents(unit_path(name), out, 0644)) {
        error = error_access_denied;
        return false;
    }
    error = 0;
    return true;
}

bool start_service(const std::string& name, uint32_t& error) {
    const int rc = systemctl({"start", "--no-block", name + ".service"});
    error = rc == 0 ? 0 : rc < 0 ? error_file_not_found : error_service_request_timeout;
    return rc == 0;
}

bool control_stop_service(const std::string& name, uint32_t& error) {
    const int rc = systemctl({"stop", "--no-block", name + ".service"});
    error = rc == 0 ? 0 : rc < 0 ? error_file_not_found : error_access_denied;
    return rc == 0;
}

bool query_state(const std::string& name, uint32_t& state) {
    std::string out;
    if (systemctl_output({"is-active", name + ".service"}, out) < 0) return false;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    if (out == "active" || out == "reloading")
        state = service_running;
    else if (out == "activating")
        state = service_start_pending;
    else if (out == "deactivating")
        state = service_stop_pending;
    else if (out == "inactive" || out == "failed" || out == "unknown")
        state = service_stopped;
    else
        return false;
    return true;
}

bool delete_service(const std::string& name, uint32_t& error) {
    systemctl({"disable", name + ".service"});
    if (::unlink(unit_path(name).c_str()) != 0 && errno != ENOENT) {
        error = error_access_denied;
        return false;
    }
    systemctl({"daemon-reload"});
    error = 0;
    return true;
}

} // namespace service
