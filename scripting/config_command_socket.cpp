#include "scripting/config_command_socket.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "scripting/config_commands.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace scripting {

namespace {

// A command line longer than this is refused rather than held.
constexpr std::size_t max_line = 64 * 1024;
constexpr int io_timeout_s = 5;

// The socket address of a path. A path too long for the address is reached
// through a descriptor of its directory (Linux resolves "/proc/self/fd/N"),
// which dir_fd then holds open until the caller closes it.
bool make_address(const std::string& path, sockaddr_un& addr, int& dir_fd) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    dir_fd = -1;
    std::string name = path;
    if (name.size() >= sizeof addr.sun_path) {
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) return false;
        dir_fd = ::open(path.substr(0, slash + 1).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0) return false;
        name = cl::format_str("/proc/self/fd/%?/%?", dir_fd, path.substr(slash + 1));
        if (name.size() >= sizeof addr.sun_path) {
            ::close(dir_fd);
            dir_fd = -1;
            return false;
        }
    }
    std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
    return true;
}

void set_timeouts(int fd) {
    timeval tv{io_timeout_s, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads until the peer's end; false on an error, a time-out or more than limit bytes.
bool receive_all(int fd, std::string& out, std::size_t limit) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out.size() + static_cast<std::size_t>(n) > limit) return false;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace

std::string config_socket_path(const std::wstring& data_dir) {
    return cl::utf16_to_utf8(data_dir) + "config_cmd.sock";
}

config_command_listener::~config_command_listener() {
    stop();
}

bool config_command_listener::start(const std::string& path, handler run) {
    stop();
    sockaddr_un addr;
    int dir_fd = -1;
    if (!make_address(path, addr, dir_fd)) {
        cl::trace_out.write(cl::format_str("command socket: unusable path %?\n", path));
        return false;
    }
    // Only a socket is replaced: the instance lock guarantees that no other
    // copy serves this data directory, so one found here is stale.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    // Narrowed before listening: until then no client can connect.
    ok = ok && ::chmod(path.c_str(), 0600) == 0 && ::listen(fd, 16) == 0;
    const int error = errno;
    if (dir_fd >= 0) ::close(dir_fd);
    if (ok && ::pipe2(stop_pipe_, O_CLOEXEC) != 0) ok = false;
    if (!ok) {
        cl::trace_out.write(cl::format_str("command socket: unable to listen on %?: %?\n", path,
                                           std::strerror(error)));
        if (fd >= 0) ::close(fd);
        return false;
    }
    listen_fd_ = fd;
    path_ = path;
    run_ = std::move(run);
    thread_ = std::thread([this] { serve(); });
    return true;
}

void config_command_listener::stop() {
    if (thread_.joinable()) {
        const char c = 0;
        (void)!::write(stop_pipe_[1], &c, 1);
        thread_.join();
    }
    for (int& fd : stop_pipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        ::unlink(path_.c_str());
    }
}

void config_command_listener::serve() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (fds[1].revents & (POLLIN | POLLHUP))) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        try {
            answer(client);
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("command socket: %?\n", e.what()));
        }
        ::close(client);
    }
}

void config_command_listener::answer(int fd) {
    set_timeouts(fd);
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return;
    std::string line;
    if (!receive_all(fd, line, max_line)) {
        send_all(fd, "Invalid command");
        return;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    const std::wstring result = run_(cl::utf8_to_utf16(line), user_name_of_uid(cred.uid));
    send_all(fd, cl::utf16_to_utf8(result));
}

bool send_config_command(const std::string& path, const std::string& line, std::string& result,
                         std::string& error) {
    result.clear();
    sockaddr_un addr;
    int dir_fd = -1;
    if (!make_address(path, addr, dir_fd)) {
        error = "unusable socket path " + path;
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok)
        error = cl::format_str("cannot reach the server at %?: %?", path, std::strerror(errno));
    if (dir_fd >= 0) ::close(dir_fd);
    if (ok) {
        set_timeouts(fd);
        ok = send_all(fd, line) && ::shutdown(fd, SHUT_WR) == 0 &&
             receive_all(fd, result, 64u * 1024 * 1024);
        if (!ok) error = cl::format_str("no answer from the server: %?", std::strerror(errno));
    }
    if (fd >= 0) ::close(fd);
    return ok;
}

} // namespace scripting
