#include "platform/gui/remote.h"

#include "core/text.h"
#include "platform/win32/local_socket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace gui {
namespace {

// A request is one line: "post <message> <wparam> <lparam> <class>\n"; the
// answer is "1\n" (posted) or "0\n" (no such window).
constexpr size_t max_request = 512;
constexpr int io_timeout_ms = 2000;

int connect_to(const std::string& path) {
    win32::local_address a;
    if (!a.set(path)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, a.get(), a.size()) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads up to a line end within the time-out; false on time-out, error or
// an over-long line.
bool read_line(int fd, std::string& line) {
    line.clear();
    char buf[128];
    while (line.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, io_timeout_ms) <= 0) return false;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        line.append(buf, size_t(n));
        if (line.size() > max_request) return false;
    }
    line.resize(line.find('\n'));
    return true;
}

bool send_all(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += size_t(n);
    }
    return true;
}

std::string answer(const std::string& request) {
    unsigned long message = 0;
    unsigned long long wp = 0;
    long long lp = 0;
    int used = 0;
    if (std::sscanf(request.c_str(), "post %lu %llu %lld %n", &message, &wp, &lp, &used) < 3 ||
        used <= 0)
        return "0\n";
    const std::wstring cls = cl::utf8_to_utf16(request.substr(size_t(used)));
    const hwnd w = find_window(cls);
    if (!w) return "0\n";
    return post_message(w, uint32_t(message), wparam(wp), lparam(lp)) ? "1\n" : "0\n";
}

} // namespace

remote_endpoint::~remote_endpoint() {
    close();
}

bool remote_endpoint::open(const std::string& socket_path) {
    close();
    win32::local_address a;
    if (!a.set(socket_path)) return false;
    // Someone answers there: that is another live copy, not ours to take.
    int probe = connect_to(socket_path);
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    ::unlink(socket_path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const mode_t old = ::umask(077);
    const bool bound = ::bind(fd, a.get(), a.size()) == 0;
    ::umask(old);
    if (!bound || ::listen(fd, 8) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(fd);
        if (bound) ::unlink(socket_path.c_str());
        return false;
    }
    fd_ = fd;
    path_ = socket_path;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void remote_endpoint::close() {
    if (fd_ < 0) return;
    (void)!::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    fd_ = wake_[0] = wake_[1] = -1;
    ::unlink(path_.c_str());
    path_.clear();
}

void remote_endpoint::serve() {
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::string line;
        if (read_line(c, line)) send_all(c, answer(line));
        ::close(c);
    }
}

remote_result remote_post(const std::string& socket_path, const std::wstring& class_name,
                          uint32_t message, wparam wp, lparam lp) {
    int fd = connect_to(socket_path);
    if (fd < 0) return remote_result::no_listener;
    char head[96];
    std::snprintf(head, sizeof head, "post %u %llu %lld ", message, (unsigned long long)wp,
                  (long long)lp);
    std::string reply;
    const bool ok =
        send_all(fd, head + cl::utf16_to_utf8(class_name) + "\n") && read_line(fd, reply);
    ::close(fd);
    if (!ok) return remote_result::no_listener;
    return reply == "1" ? remote_result::posted : remote_result::no_window;
}

} // namespace gui
