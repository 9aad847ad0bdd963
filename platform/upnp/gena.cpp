#include "platform/upnp/gena.h"

#include "core/text.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <random>

namespace upnp {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace {

std::string new_sid() {
    static std::mt19937_64 rng{std::random_device{}()};
    const uint64_t a = rng(), b = rng();
    char buf[48];
    std::snprintf(buf, sizeof buf, "uuid:%08x-%04x-4%03x-%04x-%012llx", unsigned(a >> 32),
                  unsigned((a >> 16) & 0xFFFF), unsigned(a & 0xFFF),
                  unsigned(0x8000 | ((b >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return buf;
}

struct url_parts {
    std::string host, port = "80", target = "/";
};

bool split_url(const std::string& url, url_parts& out) {
    if (url.compare(0, 7, "http://") != 0) return false;
    std::size_t p = 7;
    std::size_t slash = url.find('/', p);
    std::string authority =
        url.substr(p, slash == std::string::npos ? std::string::npos : slash - p);
    if (slash != std::string::npos) out.target = url.substr(slash);
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        out.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return false;
            out.port = authority.substr(close + 2);
        }
    } else {
        const std::size_t colon = authority.rfind(':');
        out.host = authority.substr(0, colon);
        if (colon != std::string::npos) out.port = authority.substr(colon + 1);
    }
    boost::system::error_code ec;
    asio::ip::make_address(out.host, ec); // numeric only: no name look-up on the io thread
    return !ec && !out.port.empty();
}

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int v = std::stoi(port);
    return v > 0 && v <= 65535;
}

// The same address whatever its spelling (an IPv4 address mapped into IPv6,
// leading zeros of IPv6 groups).
std::string canonical_address(const std::string& text) {
    boost::system::error_code ec;
    asio::ip::address a = asio::ip::make_address(text, ec);
    if (ec) return {};
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a.to_string();
}

gena_answer status_only(int status) {
    gena_answer a;
    a.status = status;
    return a;
}

} // namespace

std::vector<std::string> parse_callbacks(const std::string& header) {
    std::vector<std::string> r;
    std::size_t p = 0;
    while ((p = header.find('<', p)) != std::string::npos) {
        const std::size_t e = header.find('>', p);
        if (e == std::string::npos) break;
        std::string url = header.substr(p + 1, e - p - 1);
        if (url.compare(0, 7, "http://") == 0) r.push_back(std::move(url));
        p = e + 1;
    }
    return r;
}

int parse_timeout(const std::string& header) {
    const int fallback = gena_publisher::max_timeout;
    if (header == "infinite") return fallback;
    if (header.size() < 8 || !cl::iequals(std::string_view(header).substr(0, 7), "Second-"))
        return fallback;
    long v = 0;
    for (std::size_t i = 7; i < header.size(); ++i) {
        if (header[i] < '0' || header[i] > '9') return fallback;
        v = v * 10 + (header[i] - '0');
        if (v > fallback) return fallback;
    }
    return v <= 0 ? fallback : int(v);
}

std::vector<std::string> own_callbacks(const std::vector<std::string>& urls,
                                       const std::string& subscriber) {
    std::vector<std::string> out;
    const std::string own = canonical_address(subscriber);
    if (own.empty()) return out;
    for (const std::string& url : urls) {
        url_parts parts;
        if (split_url(url, parts) && valid_port(parts.port) && canonical_address(parts.host) == own)
            out.push_back(url);
    }
    return out;
}

void gena_publisher::drop(std::map<std::string, std::shared_ptr<subscription>>::iterator it) {
    it->second->queue.clear(); // a message on its way still ends normally
    subs_.erase(it);
}

void gena_publisher::drop_expired(std::chrono::steady_clock::time_point now) {
    for (auto it = subs_.begin(); it != subs_.end();) {
        auto next = std::next(it);
        if (it->second->expiry <= now) drop(it);
        it = next;
    }
}

bool gena_publisher::make_room(const std::string& subscriber) {
    std::map<std::string, std::size_t> held;
    for (const auto& [sid, s] : subs_)
        ++held[s->subscriber];
    std::string from;
    if (held[subscriber] >= max_per_subscriber)
        from = subscriber;
    else if (subs_.size() < max_subscribers)
        return true;
    else
        for (const auto& [address, n] : held)
            if (from.empty() || n > held[from]) from = address;
    auto oldest = subs_.end();
    for (auto it = subs_.begin(); it != subs_.end(); ++it)
        if (it->second->subscriber == from &&
            (oldest == subs_.end() || it->second->order < oldest->second->order))
            oldest = it;
    if (oldest == subs_.end()) return false;
    drop(oldest);
    return true;
}

gena_answer gena_publisher::handle(const gena_request& req,
                                   std::chrono::steady_clock::time_point now) {
    gena_answer a;
    drop_expired(now);
    if (!req.subscribe) {
        if (req.sid.empty()) return status_only(412);
        if (!req.nt.empty() || !req.callback.empty()) return status_only(400);
        auto it = subs_.find(req.sid);
        if (it == subs_.end()) return status_only(412);
        drop(it);
        return a;
    }
    if (!req.sid.empty()) { // renewal
        if (!req.nt.empty() || !req.callback.empty()) return status_only(400);
        auto it = subs_.find(req.sid);
        if (it == subs_.end()) return status_only(412);
        a.sid = req.sid;
        a.timeout_seconds = parse_timeout(req.timeout);
        it->second->expiry = now + std::chrono::seconds(a.timeout_seconds);
        return a;
    }
    if (req.nt != "upnp:event") return status_only(412);
    std::vector<std::string> callbacks =
        own_callbacks(parse_callbacks(req.callback), req.subscriber);
    if (callbacks.empty()) return status_only(412);
    if (!make_room(req.subscriber)) return status_only(503);
    auto s = std::make_shared<subscription>();
    s->callbacks = std::move(callbacks);
    s->subscriber = req.subscriber;
    s->order = ++made_;
    s->sid = new_sid();
    a.sid = s->sid;
    a.timeout_seconds = parse_timeout(req.timeout);
    s->expiry = now + std::chrono::seconds(a.timeout_seconds);
    subs_[s->sid] = s;
    a.initial_event = true;
    return a;
}

bool gena_publisher::value_of(const state_variable& v, std::string& text) {
    if (!service) return false;
    const std::wstring name = cl::utf8_to_utf16(v.name);
    automation::dispid id = 0;
    if (automation::failed(service->get_ids_of_names(automation::iid_null, &name, 1,
                                                     automation::lcid_user_default, &id)))
        return false;
    automation::dispparams none;
    automation::variant value;
    if (automation::failed(service->invoke(id, automation::iid_null, automation::lcid_user_default,
                                           automation::dispatch_propertyget, none, &value, nullptr,
                                           nullptr)))
        return false;
    return value_to_text(value, v.data_type, text);
}

void gena_publisher::send_initial(asio::io_context& io, const std::string& sid) {
    auto it = subs_.find(sid);
    if (it == subs_.end()) return;
    named_values values;
    for (const state_variable& v : evented) {
        std::string t;
        if (value_of(v, t)) values.emplace_back(v.name, std::move(t));
    }
    enqueue(io, it->second, property_set(values));
}

void gena_publisher::publish(asio::io_context& io, const std::vector<automation::dispid>& ids) {
    drop_expired(std::chrono::steady_clock::now());
    if (subs_.empty() || !service) return;
    const automation::type_info* ti = nullptr;
    service->get_type_info(0, automation::lcid_user_default, &ti);
    named_values values;
    for (automation::dispid id : ids) {
        std::wstring name;
        if (!ti || automation::failed(ti->get_names(id, &name))) continue;
        const std::string n = cl::utf16_to_utf8(name);
        for (const state_variable& v : evented)
            if (v.name == n) {
                std::string t;
                if (value_of(v, t)) values.emplace_back(v.name, std::move(t));
            }
    }
    if (values.empty()) return;
    const std::string body = property_set(values);
    for (auto& [sid, s] : subs_)
        enqueue(io, s, body);
}

void gena_publisher::enqueue(asio::io_context& io, const std::shared_ptr<subscription>& s,
                             std::string body) {
    // A subscriber that does not keep up loses the oldest events; the gap in
    // the sequence numbers tells it to subscribe again.
    if (s->queue.size() >= max_queued) s->queue.pop_front();
    s->queue.emplace_back(s->seq, std::move(body));
    s->seq = s->seq == 0xFFFFFFFFu ? 1 : s->seq + 1;
    if (!s->sending) send_next(io, s);
}

void gena_publisher::send_next(asio::io_context& io, std::shared_ptr<subscription> s) {
    if (s->queue.empty()) {
        s->sending = false;
        return;
    }
    s->sending = true;
    auto [seq, body] = std::move(s->queue.front());
    s->queue.pop_front();
    url_parts u;
    if (!split_url(s->callbacks.front(), u)) {
        s->queue.clear();
        s->sending = false;
        return;
    }
    auto req = std::make_shared<http::request<http::string_body>>(http::verb::notify, u.target, 11);
    const bool v6 = u.host.find(':') != std::string::npos;
    req->set(http::field::host, (v6 ? "[" + u.host + "]" : u.host) + ":" + u.port);
    req->set(http::field::content_type, "text/xml; charset=\"utf-8\"");
    req->set("NT", "upnp:event");
    req->set("NTS", "upnp:propchange");
    req->set("SID", s->sid);
    req->set("SEQ", std::to_string(seq));
    req->set(http::field::connection, "close");
    req->body() = std::move(body);
    req->prepare_payload();
    auto stream = std::make_shared<beast::tcp_stream>(io);
    auto buffer = std::make_shared<beast::flat_buffer>();
    auto res = std::make_shared<http::response<http::string_body>>();
    boost::system::error_code ec;
    const tcp::endpoint to(asio::ip::make_address(u.host, ec),
                           static_cast<uint16_t>(std::strtoul(u.port.c_str(), nullptr, 10)));
    stream->expires_after(std::chrono::seconds(5));
    stream->async_connect(to, [&io, s, stream, req, buffer, res](beast::error_code ec) {
        if (ec) return send_next(io, s);
        http::async_write(
            *stream, *req, [&io, s, stream, req, buffer, res](beast::error_code ec, std::size_t) {
                if (ec) return send_next(io, s);
                http::async_read(*stream, *buffer, *res,
                                 [&io, s, stream, buffer, res](beast::error_code, std::size_t) {
                                     beast::error_code ignored;
                                     stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
                                     send_next(io, s);
                                 });
            });
    });
}

} // namespace upnp
