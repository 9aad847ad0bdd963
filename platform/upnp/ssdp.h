// SSDP for the device host: joins 239.255.255.250 on every IPv4 interface
// that can carry multicast (loopback included), answers M-SEARCH requests,
// multicast or unicast, and announces the registered devices (alive at
// registration and again before their lifetime runs out, byebye at
// unregistration).
#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace upnp {

struct device_ad {
    std::string uuid;                  // without "uuid:"
    std::string location_path;         // "/upnphost/<id>/desc.xml"
    std::string device_type;           // urn:...:device:...
    std::vector<std::string> services; // service types
    int max_age = 1800;
};

// The notification types and unique service names of a device, in the order
// they are announced.
std::vector<std::pair<std::string, std::string>> notification_types(const device_ad& ad);

// The IPv4 address of this host on the network of a peer (the loopback
// address for a loopback peer); empty when no interface is on its network.
std::string local_address_for_peer(const boost::asio::ip::address_v4& peer);

class ssdp_service {
  public:
    ssdp_service(boost::asio::io_context& io, uint16_t ssdp_port, uint16_t http_port,
                 double renew_share);
    ~ssdp_service();
    ssdp_service(const ssdp_service&) = delete;
    ssdp_service& operator=(const ssdp_service&) = delete;

    // Binds the port and joins the group; false with a reason when it cannot.
    bool open(std::string& error);
    // Runs on the io thread from here on.
    void start();
    void close();
    void add(const device_ad& ad);
    void remove(const std::string& uuid);
    uint16_t port() const { return port_; }

  private:
    struct pending_reply;
    void receive();
    void on_datagram(std::size_t n);
    void answer(const std::string& st, const boost::asio::ip::udp::endpoint& to, int mx);
    void send_reply(const std::string& text, const boost::asio::ip::udp::endpoint& to);
    void announce(const device_ad& ad, const char* nts);
    void arm_renewal(const std::string& uuid);
    std::string reply_text(const device_ad& ad, const std::string& st, const std::string& usn,
                           const std::string& host) const;

    boost::asio::io_context& io_;
    uint16_t port_;
    uint16_t http_port_;
    double renew_share_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint sender_;
    char buffer_[2048];
    std::map<std::string, device_ad> devices_;
    std::map<std::string, std::unique_ptr<boost::asio::steady_timer>> renewals_;
    std::size_t pending_ = 0;
    std::string server_text_;
};

} // namespace upnp
