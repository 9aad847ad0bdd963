#include "platform/upnp/ssdp.h"

#include "core/text.h"

#include <boost/asio/ip/multicast.hpp>

#include <arpa/inet.h>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <random>
#include <sys/utsname.h>

namespace upnp {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

const char* const group_text = "239.255.255.250";

struct iface {
    asio::ip::address_v4 address;
    asio::ip::address_v4 mask;
    bool multicast = false;
};

std::vector<iface> ipv4_interfaces() {
    std::vector<iface> r;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return r;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
        iface f;
        f.address = asio::ip::address_v4(
            ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
        if (i->ifa_netmask)
            f.mask = asio::ip::address_v4(
                ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr));
        f.multicast = (i->ifa_flags & IFF_MULTICAST) != 0;
        r.push_back(f);
    }
    freeifaddrs(list);
    return r;
}

std::string http_date() {
    char buf[64];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

} // namespace

std::vector<std::pair<std::string, std::string>> notification_types(const device_ad& ad) {
    const std::string uuid = "uuid:" + ad.uuid;
    std::vector<std::pair<std::string, std::string>> r;
    r.emplace_back("upnp:rootdevice", uuid + "::upnp:rootdevice");
    r.emplace_back(uuid, uuid);
    r.emplace_back(ad.device_type, uuid + "::" + ad.device_type);
    for (const std::string& s : ad.services)
        r.emplace_back(s, uuid + "::" + s);
    return r;
}

std::string local_address_for_peer(const asio::ip::address_v4& peer) {
    if (peer.is_loopback()) return "127.0.0.1";
    for (const iface& f : ipv4_interfaces())
        if ((f.address.to_uint() & f.mask.to_uint()) == (peer.to_uint() & f.mask.to_uint()))
            return f.address.to_string();
    return {};
}

struct ssdp_service::pending_reply {
    asio::steady_timer timer;
    std::string text;
    udp::endpoint to;
    explicit pending_reply(asio::io_context& io) : timer(io) {}
};

ssdp_service::ssdp_service(asio::io_context& io, uint16_t ssdp_port, uint16_t http_port,
                           double renew_share)
    : io_(io), port_(ssdp_port), http_port_(http_port), renew_share_(renew_share), socket_(io) {
    utsname u{};
    uname(&u);
    server_text_ = std::string(u.sysname) + "/" + u.release + " UPnP/1.0 teskqvel/1.0";
}

ssdp_service::~ssdp_service() {
    close();
}

bool ssdp_service::open(std::string& error) {
    boost::system::error_code ec;
    socket_.open(udp::v4(), ec);
    if (!ec) socket_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) socket_.bind(udp::endpoint(asio::ip::address_v4::any(), port_), ec);
    if (ec) {
        error = "ssdp port " + std::to_string(port_) + ": " + ec.message();
        socket_.close(ec);
        return false;
    }
    socket_.set_option(asio::ip::multicast::enable_loopback(true), ec);
    socket_.set_option(asio::ip::multicast::hops(4), ec);
    const auto group = asio::ip::make_address_v4(group_text);
    int joined = 0;
    for (const iface& f : ipv4_interfaces()) {
        if (!f.multicast) continue;
        boost::system::error_code jec;
        socket_.set_option(asio::ip::multicast::join_group(group, f.address), jec);
        if (!jec) ++joined;
    }
    // Without a multicast interface the host still answers unicast searches.
    (void)joined;
    return true;
}

void ssdp_service::start() {
    receive();
}

void ssdp_service::close() {
    boost::system::error_code ec;
    for (auto& [uuid, t] : renewals_)
        t->cancel();
    renewals_.clear();
    if (socket_.is_open()) socket_.close(ec);
}

void ssdp_service::receive() {
    socket_.async_receive_from(asio::buffer(buffer_), sender_,
                               [this](const boost::system::error_code& ec, std::size_t n) {
                                   if (ec == asio::error::operation_aborted || !socket_.is_open())
                                       return;
                                   if (!ec) on_datagram(n);
                                   receive();
                               });
}

void ssdp_service::on_datagram(std::size_t n) {
    const std::string text(buffer_, n);
    std::size_t eol = text.find("\r\n");
    if (eol == std::string::npos) eol = text.find('\n');
    if (eol == std::string::npos || text.compare(0, 9, "M-SEARCH ") != 0) return;
    std::map<std::string, std::string> headers;
    std::size_t pos = eol + 1;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        headers[lower(std::string(cl::trimmed(line.substr(0, colon))))] =
            std::string(cl::trimmed(line.substr(colon + 1)));
    }
    if (headers["man"] != "\"ssdp:discover\"") return;
    const std::string st = headers["st"];
    if (st.empty()) return;
    int mx = 0;
    if (auto it = headers.find("mx"); it != headers.end()) {
        try {
            mx = std::stoi(it->second);
        } catch (...) {
            return;
        }
        if (mx < 0) return;
    }
    answer(st, sender_, mx);
}

std::string ssdp_service::reply_text(const device_ad& ad, const std::string& st,
                                     const std::string& usn, const std::string& host) const {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=" + std::to_string(ad.max_age) +
           "\r\nDATE: " + http_date() + "\r\nEXT:\r\nLOCATION: http://" + host + ":" +
           std::to_string(http_port_) + ad.location_path + "\r\nSERVER: " + server_text_ +
           "\r\nST: " + st + "\r\nUSN: " + usn + "\r\nContent-Length: 0\r\n\r\n";
}

void ssdp_service::answer(const std::string& st, const udp::endpoint& to, int mx) {
    if (!to.address().is_v4()) return;
    std::string host = local_address_for_peer(to.address().to_v4());
    if (host.empty()) {
        const auto all = ipv4_interfaces();
        if (all.empty()) return;
        host = all.front().address.to_string();
    }
    std::vector<std::string> replies;
    for (const auto& [uuid, ad] : devices_)
        for (const auto& [nt, usn] : notification_types(ad))
            if (st == "ssdp:all" || st == nt) replies.push_back(reply_text(ad, nt, usn, host));
    // Spread the answers over part of the wait the searcher allows, so that
    // many devices do not answer at one instant; unicast searches (no MX)
    // are answered at once.
    static thread_local std::minstd_rand rng{std::random_device{}()};
    const int window_ms = mx <= 0 ? 0 : std::min(mx, 5) * 100;
    for (std::string& text : replies) {
        if (window_ms == 0) {
            send_reply(text, to);
            continue;
        }
        if (pending_ >= 256) return; // a flood of searches gets no more memory
        auto p = std::make_shared<pending_reply>(io_);
        p->text = std::move(text);
        p->to = to;
        ++pending_;
        p->timer.expires_after(std::chrono::milliseconds(rng() % window_ms));
        p->timer.async_wait([this, p](const boost::system::error_code& ec) {
            --pending_;
            if (!ec && socket_.is_open()) send_reply(p->text, p->to);
        });
    }
}

void ssdp_service::send_reply(const std::string& text, const udp::endpoint& to) {
    boost::system::error_code ec;
    socket_.send_to(asio::buffer(text), to, 0, ec);
}

void ssdp_service::announce(const device_ad& ad, const char* nts) {
    const udp::endpoint group(asio::ip::make_address_v4(group_text), port_);
    for (const iface& f : ipv4_interfaces()) {
        if (!f.multicast) continue;
        boost::system::error_code ec;
        socket_.set_option(asio::ip::multicast::outbound_interface(f.address), ec);
        if (ec) continue;
        for (const auto& [nt, usn] : notification_types(ad)) {
            std::string text = "NOTIFY * HTTP/1.1\r\nHOST: " + std::string(group_text) + ":" +
                               std::to_string(port_) + "\r\n";
            if (std::string(nts) == "ssdp:alive")
                text += "CACHE-CONTROL: max-age=" + std::to_string(ad.max_age) +
                        "\r\nLOCATION: http://" + f.address.to_string() + ":" +
                        std::to_string(http_port_) + ad.location_path +
                        "\r\nSERVER: " + server_text_ + "\r\n";
            text += "NT: " + nt + "\r\nNTS: " + nts + "\r\nUSN: " + usn + "\r\n\r\n";
            socket_.send_to(asio::buffer(text), group, 0, ec);
        }
    }
}

void ssdp_service::arm_renewal(const std::string& uuid) {
    auto it = devices_.find(uuid);
    if (it == devices_.end()) return;
    auto& timer = renewals_[uuid];
    if (!timer) timer = std::make_unique<asio::steady_timer>(io_);
    const double seconds = std::max(1.0, it->second.max_age * renew_share_);
    timer->expires_after(std::chrono::milliseconds(int64_t(seconds * 1000)));
    timer->async_wait([this, uuid](const boost::system::error_code& ec) {
        if (ec) return;
        auto d = devices_.find(uuid);
        if (d == devices_.end()) return;
        announce(d->second, "ssdp:alive");
        arm_renewal(uuid);
    });
}

void ssdp_service::add(const device_ad& ad) {
    devices_[ad.uuid] = ad;
    announce(ad, "ssdp:alive");
    arm_renewal(ad.uuid);
}

void ssdp_service::remove(const std::string& uuid) {
    auto it = devices_.find(uuid);
    if (it == devices_.end()) return;
    announce(it->second, "ssdp:byebye");
    devices_.erase(it);
    if (auto t = renewals_.find(uuid); t != renewals_.end()) {
        t->second->cancel();
        renewals_.erase(t);
    }
}

} // namespace upnp
