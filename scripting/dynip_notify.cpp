#include "scripting/dynip_notify.h"

#include "core/format.h"
#include "core/hrtime.h"
#include "core/trace.h"

#include <cstring>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace scripting {

datagram_socket::datagram_socket(int family) : family_(family) {
    fd_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

datagram_socket::~datagram_socket() {
    if (fd_ >= 0) ::close(fd_);
}

bool datagram_socket::send_datagram(const std::string& target, const std::string& payload) {
    if (fd_ < 0) return false;
    const std::size_t blank = target.rfind(' ');
    if (blank == std::string::npos) return false;
    const std::string host = target.substr(0, blank);
    const std::string service = target.substr(blank + 1);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        cl::trace_out.write(
            cl::format_str("send_datagram, getaddrinfo failed; error %?\n", ::gai_strerror(rc)));
        return false;
    }
    bool sent = false;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family != family_) continue;
        // Never waits: a datagram the system cannot take now is dropped.
        if (::sendto(fd_, payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL, a->ai_addr,
                     a->ai_addrlen) >= 0)
            sent = true;
        else
            cl::trace_out.write(
                cl::format_str("send_datagram to %?: %?\n", target, std::strerror(errno)));
    }
    ::freeaddrinfo(list);
    return sent;
}

std::string dynip_payload(const std::string& text, int number) {
    return "call " + text + " " + std::to_string(number);
}

std::vector<std::unique_ptr<datagram_socket>>& dynip_sockets() {
    static std::vector<std::unique_ptr<datagram_socket>> sockets;
    static std::once_flag once;
    std::call_once(once, [] {
        for (int family : {AF_INET, AF_INET6}) {
            auto s = std::make_unique<datagram_socket>(family);
            if (s->is_open()) sockets.push_back(std::move(s));
        }
    });
    return sockets;
}

void dynip_call(cl::ini_file& ini, const std::string& target, const std::string& text, int number) {
    const std::string payload = dynip_payload(text, number);
    for (auto& s : dynip_sockets())
        s->send_datagram(target, payload);
    const int32_t delay = ini.get_int(L"dynip", L"redirect_delay", 150);
    if (delay > 0) cl::sleep_ms(static_cast<uint32_t>(delay));
}

} // namespace scripting
