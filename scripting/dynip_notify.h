// The notice to a dynamic-address host that a client is on its way: the
// datagram "call " + text + " " + number, sent to the host's address through
// one datagram socket per address family, then a short wait so that the host
// can act before the client gets its redirect.
#pragma once
#include "core/ini_file.h"

#include <memory>
#include <string>
#include <vector>

namespace scripting {

// One datagram socket bound to one address family.
class datagram_socket {
  public:
    explicit datagram_socket(int family);
    ~datagram_socket();
    datagram_socket(const datagram_socket&) = delete;
    datagram_socket& operator=(const datagram_socket&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int family() const { return family_; }
    // Sends the payload to every address of the target ("host service") of
    // this socket's family without waiting; true when at least one send went
    // out. A target without a blank sends nothing.
    bool send_datagram(const std::string& target, const std::string& payload);

  private:
    int family_;
    int fd_ = -1;
};

// "call " + text + " " + number.
std::string dynip_payload(const std::string& text, int number);

// The server's datagram sockets (IPv4, then IPv6 where the system has it),
// opened on first use.
std::vector<std::unique_ptr<datagram_socket>>& dynip_sockets();

// Sends the payload through every socket, then sleeps "redirect_delay" of
// [dynip] (milliseconds, default 150).
void dynip_call(cl::ini_file& ini, const std::string& target, const std::string& text, int number);

} // namespace scripting
