// Loopback helpers for tests that talk to a real listener: a free port, a
// connected client socket with a receive time-out, and a whole exchange.
#pragma once
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tq_test {

// A port that was free a moment ago on 127.0.0.1.
inline uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A client socket connected to 127.0.0.1:port whose reads give up after
// timeout_s seconds; -1 when the connection fails.
inline int connect_to(uint16_t port, int timeout_s = 10) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{timeout_s, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends text and reads what comes back, until the server closes, a read times
// out, or (head_only) the end of the response head has arrived.
inline std::string exchange(uint16_t port, const std::string& text, bool head_only = false) {
    const int fd = connect_to(port);
    if (fd < 0) return {};
    (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::string out;
    char buf[4096];
    for (int i = 0; i < 1000; ++i) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (head_only && out.find("\r\n\r\n") != std::string::npos) break;
    }
    ::close(fd);
    return out;
}

} // namespace tq_test
