#include "server/proxy.h"

#include "core/blocks.h"
#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/time.h"
#include "server/access_decision.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/req_info.h"
#include "server/request_cache.h"
#include "server/response_headers.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <set>

namespace {

constexpr uint32_t error_handle_eof = 38;

std::mutex session_lock;
std::shared_ptr<http_client::session> the_session;
// Counts the openings and closings of the session, under the lock: a thread
// that saw the count it knows keeps using the session it took then.
std::atomic<uint64_t> session_changes{0};
std::atomic<uint32_t> timeout_seconds{30};

// The failing step of an exchange, as the error page's scripts see it.
enum proxy_step {
    step_unknown,
    step_receive_response,
    step_query_data,
    step_read_data,
    step_write_data,
    step_send_request
};
const char* const step_names[] = {"Unknown",  "ReceiveResponse", "QueryDataAvailable",
                                  "ReadData", "WriteData",       "SendRequest"};

bool clean_text(std::string_view s) {
    return !cl::has_control(s);
}

bool valid_name(std::string_view s) {
    return cl::is_field_name(s);
}

// True when a Via value lists this server's token: the request passed here
// before and would only go round again.
bool via_names_us(std::string_view via) {
    const std::string& token = proxy_via_token();
    for (std::size_t at = via.find(token); at != std::string_view::npos;
         at = via.find(token, at + 1)) {
        const bool starts = at == 0 || via[at - 1] == ' ' || via[at - 1] == ',';
        const std::size_t end = at + token.size();
        const bool ends = end == via.size() || via[end] == ' ' || via[end] == ',';
        if (starts && ends) return true;
    }
    return false;
}

// This server's entry in a Via list.
const std::string& via_entry() {
    static const std::string entry = "1.1 " + proxy_via_token();
    return entry;
}

bool is_v4(const ip_bytes& ip) {
    static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::equal(mapped, mapped + 12, ip.begin());
}

// This machine's interface addresses.
std::vector<ip_bytes> own_addresses() {
    std::vector<ip_bytes> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        const socklen_t length =
            i->ifa_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        ip_bytes ip;
        uint16_t port = 0;
        if (ip_of(i->ifa_addr, length, ip, port)) out.push_back(ip);
    }
    ::freeifaddrs(list);
    return out;
}

// The upstreams that the configuration opens to clients of other machines
// although they are on this one.
bool named_on_purpose(const std::string& host, uint16_t port) {
    const std::string list = cl::utf16_to_utf8(server_settings().proxy_local_upstreams);
    std::size_t pos = 0;
    while (pos < list.size()) {
        std::size_t end = list.find_first_of(", \t", pos);
        if (end == std::string::npos) end = list.size();
        std::string item_host;
        uint16_t item_port = 0;
        if (end > pos &&
            parse_upstream_host(std::string_view(list).substr(pos, end - pos), item_host,
                                item_port) &&
            item_port == port && cl::iequals(item_host, host))
            return true;
        pos = end + 1;
    }
    return false;
}

} // namespace

bool parse_upstream_host(std::string_view h, std::string& host, uint16_t& port) {
    h = cl::trimmed(h);
    std::string_view name, port_text;
    bool has_port = false;
    if (!h.empty() && h.front() == '[') {
        const std::size_t close = h.find(']');
        if (close == std::string_view::npos) return false;
        name = h.substr(1, close - 1);
        in6_addr a{};
        if (name.empty() || name.size() > 45 ||
            ::inet_pton(AF_INET6, std::string(name).c_str(), &a) != 1)
            return false;
        const std::string_view rest = h.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            has_port = true;
            port_text = rest.substr(1);
        }
    } else {
        const std::size_t colon = h.find(':');
        name = h.substr(0, colon);
        if (colon != std::string_view::npos) {
            has_port = true;
            port_text = h.substr(colon + 1);
        }
        if (name.empty() || name.size() > 253) return false;
        for (const char c : name)
            if (!cl::is_digit(c) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && c != '.' &&
                c != '-' && c != '_' && c != '~')
                return false;
    }
    uint32_t p = 80;
    if (has_port) {
        if (port_text.empty() || port_text.size() > 5) return false;
        p = 0;
        for (const char c : port_text) {
            if (!cl::is_digit(c)) return false;
            p = p * 10 + static_cast<uint32_t>(c - '0');
        }
        if (p == 0 || p > 65535) return false;
    }
    host.assign(name);
    port = static_cast<uint16_t>(p);
    return true;
}

bool upstream_of_host(std::string_view h, std::string& host, uint16_t& port) {
    struct last_parse {
        std::string text, host;
        uint16_t port = 0;
        bool ok = false, made = false;
    };
    thread_local last_parse last;
    if (!last.made || last.text != h) {
        last.made = false;
        last.ok = parse_upstream_host(h, last.host, last.port);
        last.text.assign(h);
        last.made = true;
    }
    if (!last.ok) return false;
    host = last.host;
    port = last.port;
    return true;
}

bool ip_of(const sockaddr* a, socklen_t length, ip_bytes& ip, uint16_t& port) {
    ip.fill(0);
    if (a->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(a);
        ip[10] = ip[11] = 0xff;
        std::memcpy(ip.data() + 12, &v4->sin_addr, 4);
        port = ntohs(v4->sin_port);
        return true;
    }
    if (a->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a);
        std::memcpy(ip.data(), &v6->sin6_addr, 16);
        port = ntohs(v6->sin6_port);
        return true;
    }
    return false;
}

bool ip_of_text(std::string_view text, ip_bytes& ip) {
    // The answer for the last text is kept per thread: the requests of a
    // kept client connection come from one address.
    struct last_text {
        std::string text;
        ip_bytes ip{};
        bool numeric = false;
    };
    thread_local last_text last;
    if (last.text.empty() || last.text != text) {
        last.text.assign(text);
        last.ip.fill(0);
        in_addr v4{};
        if (::inet_pton(AF_INET, last.text.c_str(), &v4) == 1) {
            last.ip[10] = last.ip[11] = 0xff;
            std::memcpy(last.ip.data() + 12, &v4, 4);
            last.numeric = true;
        } else {
            last.numeric = ::inet_pton(AF_INET6, last.text.c_str(), last.ip.data()) == 1;
            if (!last.numeric) last.ip.fill(0);
        }
    }
    ip = last.ip;
    return last.numeric;
}

bool is_loopback_ip(const ip_bytes& ip) {
    if (is_v4(ip)) return ip[12] == 127;
    static constexpr ip_bytes one = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return ip == one;
}

upstream_verdict judge_upstream(const ip_bytes& ip, uint16_t port, const upstream_rules& rules,
                                upstream_client client) {
    const bool v4 = is_v4(ip);
    // 0.0.0.0 and :: reach this machine as well.
    const bool unspecified = v4 ? ip[12] == 0 : ip == ip_bytes{};
    const bool link_local =
        v4 ? (ip[12] == 169 && ip[13] == 254) : (ip[0] == 0xfe && (ip[1] & 0xc0) == 0x80);
    const bool this_machine = is_loopback_ip(ip) || unspecified ||
                              std::find(rules.own.begin(), rules.own.end(), ip) != rules.own.end();
    if (this_machine &&
        std::find(rules.ports.begin(), rules.ports.end(), port) != rules.ports.end())
        return upstream_verdict::loop;
    if ((this_machine || link_local) && !client.on_loopback && !client.named_on_purpose)
        return upstream_verdict::refused;
    return upstream_verdict::allowed;
}

std::shared_ptr<const upstream_rules> server_upstream_rules() {
    // Per thread, so that a request takes no lock for them.
    thread_local std::shared_ptr<const upstream_rules> cached;
    thread_local std::chrono::steady_clock::time_point read_at;
    const auto now = win32::coarse_steady_now();
    if (cached && now - read_at < std::chrono::seconds(10)) return cached;
    const server_values& v = server_settings();
    auto rules = std::make_shared<upstream_rules>();
    rules->own = own_addresses();
    rules->ports.push_back(static_cast<uint16_t>(v.server_port));
    if (v.https_port != 0) rules->ports.push_back(static_cast<uint16_t>(v.https_port));
    std::string proxy_host;
    uint16_t proxy_port = 0;
    if (parse_upstream_host("x:" + cl::utf16_to_utf8(v.proxy_port), proxy_host, proxy_port))
        rules->ports.push_back(proxy_port);
    cached = std::move(rules);
    read_at = now;
    return cached;
}

const std::string& proxy_via_token() {
    static const std::string token = [] {
        std::random_device rd;
        return cl::format_str("teskqvel-%08x", static_cast<uint32_t>(rd()));
    }();
    return token;
}

uint32_t open_proxy_session() {
    uint32_t error = 0;
    auto s = http_client::session::open("teskqvel", http_client::access_type_no_proxy, error);
    if (!s) return error ? error : http_client::error_internal_error;
    {
        std::lock_guard<std::mutex> g(session_lock);
        the_session = std::move(s);
        session_changes.fetch_add(1, std::memory_order_release);
    }
    set_proxy_timeout(timeout_seconds.load());
    return 0;
}

void close_proxy_session() {
    std::lock_guard<std::mutex> g(session_lock);
    the_session.reset();
    session_changes.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<http_client::session> proxy_session() {
    std::lock_guard<std::mutex> g(session_lock);
    return the_session;
}

namespace {

// The session as the calling thread last took it, taken again only once it
// was opened or closed since: a forwarded request takes no lock and no
// count of it. Held by the thread, so a session closed meanwhile lives on
// until the thread's next request looks.
const std::shared_ptr<http_client::session>& thread_session() {
    thread_local std::shared_ptr<http_client::session> taken;
    thread_local uint64_t taken_at = ~uint64_t(0);
    if (session_changes.load(std::memory_order_acquire) != taken_at) {
        std::lock_guard<std::mutex> g(session_lock);
        taken = the_session;
        taken_at = session_changes.load(std::memory_order_relaxed);
    }
    return taken;
}

} // namespace

void set_proxy_timeout(uint32_t seconds) {
    if (seconds == 0) seconds = 30;
    timeout_seconds.store(seconds);
    std::shared_ptr<http_client::session> s;
    {
        std::lock_guard<std::mutex> g(session_lock);
        s = the_session;
    }
    if (!s) return;
    http_client::timeouts t;
    t.connect_ms = t.send_ms = t.receive_ms = seconds * 1000;
    s->set_timeouts(t);
}

std::pair<std::string, uint16_t> split_host_port(std::string_view host) {
    host = cl::trimmed(host);
    std::string_view name = host;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close != std::string_view::npos) {
            name = host.substr(1, close - 1);
            if (close + 1 < host.size() && host[close + 1] == ':') port = host.substr(close + 2);
        }
    } else {
        const std::size_t colon = host.find(':');
        if (colon != std::string_view::npos) {
            name = host.substr(0, colon);
            port = host.substr(colon + 1);
        }
    }
    uint32_t p = 0;
    bool digits = !port.empty();
    for (const char c : port) {
        if (!cl::is_digit(c) || p > 65535) {
            digits = false;
            break;
        }
        p = p * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!digits || p > 65535) p = port.empty() ? 80 : 0;
    return {std::string(name), static_cast<uint16_t>(p)};
}

std::string forward_target(std::string_view raw) {
    if (raw.rfind("http://", 0) == 0 || raw.rfind("https://", 0) == 0 ||
        raw.rfind("HTTP://", 0) == 0 || raw.rfind("HTTPS://", 0) == 0) {
        const std::size_t start = raw.find("://") + 3;
        const std::size_t slash = raw.find_first_of("/?", start);
        if (slash == std::string_view::npos) return "/";
        if (raw[slash] == '?') return "/" + std::string(raw.substr(slash));
        return std::string(raw.substr(slash));
    }
    return raw.empty() ? std::string("/") : std::string(raw);
}

void hop_names::add_list(std::string_view value) {
    // Most messages have no Connection header at all.
    if (value.empty()) return;
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view t = cl::trimmed(value.substr(pos, comma - pos));
        if (!t.empty()) names_.push_back(t);
        pos = comma + 1;
    }
    std::sort(names_.begin(), names_.end(), string_iless());
}

bool hop_names::listed(std::string_view name) const {
    return std::binary_search(names_.begin(), names_.end(), name, string_iless());
}

bool is_hop_by_hop(std::string_view n) {
    return cl::iequals(n, "Connection") || cl::iequals(n, "Keep-Alive") ||
           cl::iequals(n, "Transfer-Encoding") || cl::iequals(n, "TE") ||
           cl::iequals(n, "Trailer") || cl::iequals(n, "Upgrade") ||
           (n.size() >= 6 && cl::iequals(n.substr(0, 6), "Proxy-"));
}

namespace {

// The same for an answer's field whose known-header number (or -1) is id:
// a known name is told by its number alone.
bool is_hop_by_hop_field(int id, std::string_view n) {
    switch (id) {
    case http_header_connection:
    case http_header_keep_alive:
    case http_header_transfer_encoding:
    case http_header_trailer:
    case http_header_upgrade:
    case http_header_proxy_authenticate:
        return true;
    case -1:
        return is_hop_by_hop(n);
    default:
        return false;
    }
}

// The known request headers that may go upstream, by number and name, in
// the order of their numbers: worked out once from their names, which never
// change, so that a request looks only at the values of these.
struct passing_known {
    struct entry {
        int id;
        std::string_view name;
    };
    std::array<entry, http_header_request_maximum> list{};
    std::size_t count = 0;
};
const passing_known& known_passing() {
    static const passing_known table = [] {
        passing_known t;
        for (int id = 0; id < http_header_request_maximum; ++id) {
            const std::string_view name = request_header_name(id);
            if (id != http_header_content_length && id != http_header_accept &&
                id != http_header_referer && id != http_header_expect && id != http_header_via &&
                !is_hop_by_hop(name) && valid_name(name))
                t.list[t.count++] = {id, name};
        }
        return t;
    }();
    return table;
}

} // namespace

header_views proxy_request_fields(const http_request_data& d, std::string& via, bool drop_login) {
    hop_names hop;
    hop.add_list(d.header(http_header_connection));
    header_views out;
    const auto add = [&](std::string_view name, std::string_view value) {
        if (value.empty() || is_hop_by_hop(name) || hop.has(name)) return;
        if (!valid_name(name) || !clean_text(value)) return;
        out.emplace_back(name, value);
    };
    const passing_known& passing = known_passing();
    for (std::size_t i = 0; i < passing.count; ++i) {
        const auto& [id, name] = passing.list[i];
        const std::string& value = d.known_headers[static_cast<std::size_t>(id)];
        if (value.empty()) continue;
        if (drop_login && id == http_header_authorization) continue;
        if (!hop.has(name) && clean_text(value)) out.emplace_back(name, value);
    }
    for (const auto& [name, value] : d.unknown_headers)
        add(name, value);
    // This server joins the Via list it received (a list that cannot be
    // passed on is replaced). A client may have the received list dropped
    // as a hop-by-hop field, never this server's own entry: the refusal of
    // forwarding loops reads it.
    const std::string& received = d.header(http_header_via);
    if (!hop.has("Via") && !received.empty() && clean_text(received)) {
        via = received + ", " + via_entry();
        out.emplace_back("Via", via);
    } else {
        out.emplace_back("Via", via_entry());
    }
    return out;
}

std::string header_lines(const header_views& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    return out;
}

namespace {

// The known-header number (or -1) of each name the answer's parser knows by
// its own number; -2 where the name itself must be looked up (the parser's
// "unknown"): made once from the names.
const std::vector<int>& response_ids_of_known() {
    static const std::vector<int> table = [] {
        std::vector<int> t(http_client::known_name_count(), -2);
        for (std::size_t k = 1; k < t.size(); ++k) {
            const std::string_view name = http_client::known_name(static_cast<uint16_t>(k));
            if (!name.empty()) t[k] = response_header_id(name);
        }
        return t;
    }();
    return table;
}

} // namespace

bool translate_proxy_headers(const header_views& upstream, response_headers& headers, bool checked,
                             const http_client::request::field_numbers& numbers) {
    // Each name's known-header number, worked out once: the checks below and
    // the headers themselves tell known names by it.
    boost::container::small_vector<int, 48> ids(upstream.size(), boost::container::default_init);
    const bool numbered = numbers.size() == upstream.size();
    const std::vector<int>& known = response_ids_of_known();
    hop_names hop;
    for (std::size_t i = 0; i < upstream.size(); ++i) {
        ids[i] = numbered && numbers[i] < known.size() ? known[numbers[i]] : -2;
        if (ids[i] == -2) ids[i] = response_header_id(upstream[i].first);
        if (ids[i] == http_header_connection) hop.add_list(upstream[i].second);
    }
    // A name or value the answer head cannot carry is dropped, never
    // altered: the client gets what the server sent or nothing of it.
    // On the stack for the usual head of a few dozen fields.
    struct named {
        std::string_view name;
        int id;
    };
    boost::container::small_vector<char, 48> passes(upstream.size(),
                                                    boost::container::default_init);
    // The names that come more than once: their values are joined with ", "
    // (in the spelling of the first) and added once, whole, as the headers
    // keep every value they were given. Known names are told apart by
    // their numbers; the others, seldom more than a few, are sorted, so that
    // a head of many fields costs no search of all the others for each.
    uint64_t seen = 0, repeated_known = 0;
    static_assert(http_header_response_maximum <= 64);
    boost::container::small_vector<named, 8> others;
    for (std::size_t i = 0; i < upstream.size(); ++i) {
        const auto& [name, value] = upstream[i];
        passes[i] = (checked || (valid_name(name) && clean_text(value))) &&
                    !is_hop_by_hop_field(ids[i], name) && !hop.has(name);
        if (!passes[i] || ids[i] == http_header_set_cookie) continue;
        if (ids[i] < 0) {
            others.push_back({name, ids[i]});
            continue;
        }
        const uint64_t bit = uint64_t{1} << ids[i];
        if (seen & bit) repeated_known |= bit;
        seen |= bit;
    }
    // Known names by their number, before the others, which go by length
    // first, which tells most names apart without reading them.
    const auto less = [](const named& a, const named& b) {
        if (a.id != b.id) return a.id >= 0 && (b.id < 0 || a.id < b.id);
        if (a.id >= 0) return false;
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size()
                                              : string_iless()(a.name, b.name);
    };
    boost::container::small_vector<named, 4> repeated;
    for (uint64_t k = repeated_known; k != 0; k &= k - 1)
        repeated.push_back({std::string_view(), std::countr_zero(k)});
    if (others.size() > 1) {
        std::sort(others.begin(), others.end(), less);
        for (std::size_t i = 1; i < others.size(); ++i)
            if (!less(others[i - 1], others[i]) &&
                (repeated.empty() || less(repeated.back(), others[i])))
                repeated.push_back(others[i]);
    }
    // The parser's checks hold for the values, which the sender then need
    // not look at again.
    const auto add = [&headers, checked](int id, std::string_view n, std::string_view v) {
        if (checked)
            headers.add_checked(id, n, v);
        else
            headers.add(id, n, v);
    };
    std::vector<std::string_view> first(repeated.size());
    std::vector<std::string> joined(repeated.size());
    bool has_length = false;
    for (std::size_t i = 0; i < upstream.size(); ++i) {
        if (!passes[i]) continue;
        const auto& [name, value] = upstream[i];
        if (ids[i] == http_header_content_length) {
            // Passed on once, as one number: the reader of the head made
            // sure that every value the upstream gave names the same length.
            if (has_length) continue;
            has_length = true;
            add(ids[i], name, cl::trimmed(value.substr(0, value.find(','))));
            continue;
        }
        if (!repeated.empty()) {
            const named key{name, ids[i]};
            const auto at = std::lower_bound(repeated.begin(), repeated.end(), key, less);
            if (at != repeated.end() && !less(key, *at)) {
                const auto k = static_cast<std::size_t>(at - repeated.begin());
                if (first[k].empty())
                    first[k] = name;
                else
                    joined[k] += ", ";
                joined[k] += value;
                continue;
            }
        }
        add(ids[i], name, value);
    }
    // Joined with ", ", checked values stay checked.
    for (std::size_t k = 0; k < repeated.size(); ++k)
        if (!first[k].empty()) add(repeated[k].id, first[k], joined[k]);
    if (!headers.has(http_header_keep_alive))
        headers.add(http_header_keep_alive, "Keep-Alive", "timeout=15, max=100");
    return has_length;
}

std::unique_ptr<http_client::request> open_proxy_request(const http_client::connection& c,
                                                         const std::string& accept,
                                                         const std::string& method,
                                                         const std::string& target,
                                                         const std::string& referer) {
    std::vector<std::string> types;
    std::size_t pos = 0;
    while (pos <= accept.size()) {
        std::size_t comma = accept.find(',', pos);
        if (comma == std::string::npos) comma = accept.size();
        const std::string_view t = cl::trimmed(std::string_view(accept).substr(pos, comma - pos));
        if (!t.empty()) types.emplace_back(t);
        pos = comma + 1;
    }
    auto r = std::make_unique<http_client::request>(c, method, target, referer, std::move(types),
                                                    http_client::flag_escape_disable_query);
    if (!server_settings().proxy_keep_alive) r->disable_keep_alive();
    return r;
}

namespace {

// A piece with room for its chunk head before and its CR LF after, one per
// loop thread: what progress takes it passes on (the output copies it)
// before it returns. Not cleared: only what a take wrote is sent.
constexpr std::size_t piece_size = 7 + 16384 + 2;
struct piece_room {
    std::array<char, piece_size> bytes;
    bool busy = false;
};
piece_room& thread_piece() {
    thread_local const std::unique_ptr<piece_room> room = std::make_unique<piece_room>();
    return *room;
}
struct piece_lease {
    explicit piece_lease(piece_room& r) : room(r) { room.busy = true; }
    ~piece_lease() { room.busy = false; }
    piece_lease(const piece_lease&) = delete;
    piece_lease& operator=(const piece_lease&) = delete;
    piece_room& room;
};

} // namespace

// The exchange of one proxy request: on its request's pool thread, where
// each step waits, or on the event loop that read the request, where
// nothing waits and the client's output pace holds the upstream back.
class proxy_exchange {
  public:
    proxy_exchange(proxy_request& r, std::string host, uint16_t port,
                   std::shared_ptr<const upstream_rules> rules, upstream_client client)
        : r_(r), host_(std::move(host)), port_(port), rules_(std::move(rules)), client_(client) {}

    int run() {
        if (const int s = prepare()) return s;
        const uint64_t total = r_.chunked_body     ? http_client::length_unknown
                               : r_.remaining_body ? r_.remaining_body
                                                   : 0;
        if (const uint32_t e = up_->send("", total)) return refused_or_failed(e);
        if (total != 0) {
            if (const int s = send_body(*up_)) return s;
        }
        if (const uint32_t e = receive_head()) return fail(step_receive_response, e);
        take_head();
        return relay_body(*up_);
    }

    // Starts the exchange of a request without a body on the calling
    // thread's event loop: 0 when it goes on there (once the request is
    // handed over with go_on), else the status to answer now.
    int start_on_loop(boost::asio::io_context& loop) {
        if (const int s = prepare()) return s;
        // The loop runs the request's handler now: its later news finds the
        // request's connection through this, without a look-up.
        const khttp::request_ref current = khttp::current_request();
        if (current.request_id == r_.data->request_id) answering_ = current;
        up_->drive_on_loop(loop, [this] { progress(); });
        if (const uint32_t e = up_->send("", 0)) return refused_or_failed(e);
        return 0;
    }

    // The exchange owns its request from now on; done runs when it ended,
    // with 0 or the status of the error answer still to be sent.
    void go_on(std::shared_ptr<proxy_exchange> self, std::unique_ptr<proxy_request> request,
               proxy_request::ended_call done) {
        self_ = std::move(self);
        owned_ = std::move(request);
        done_ = std::move(done);
    }

  private:
    // Opens the upstream request with the address check, the headers and
    // the cache record; 0 or the status to answer.
    int prepare() {
        http_request_data& d = *r_.data;
        const std::shared_ptr<http_client::session>& session = thread_session();
        if (!session) {
            cl::trace_out.write(cl::format_str("WinHttpConnect failed: %?\n", 87));
            return 502;
        }
        // The thread holds the session for longer than the connection, which
        // only names it to the request made here: it points at the session
        // without a count of its own.
        http_client::connection c(std::shared_ptr<http_client::session>(
                                      std::shared_ptr<http_client::session>(), session.get()),
                                  host_, port_);
        if (trace_level() != 0)
            cl::trace_out.write(cl::format_str("proxy url: %?\n", r_.forward_url));
        up_ = open_proxy_request(c, d.header(http_header_accept), d.method, r_.forward_url,
                                 d.header(http_header_referer));
        // The decision is made on each address the name resolved to, just
        // before the connection to it: every spelling of an address (decimal,
        // hexadecimal, octal, IPv4-mapped) and every name arrive here alike.
        up_->set_address_check([this](const sockaddr* a, socklen_t length) {
            ip_bytes ip;
            uint16_t p = 0;
            if (!ip_of(a, length, ip, p)) return false;
            const upstream_verdict v = judge_upstream(ip, p, *rules_, client_);
            if (v != upstream_verdict::allowed) {
                if (refusal_ != upstream_verdict::loop) refusal_ = v;
                return false;
            }
            this_machine_ =
                judge_upstream(ip, p, *rules_, upstream_client{}) != upstream_verdict::allowed;
            return true;
        });
        // Checked as they were picked: the request takes them as they are.
        std::string via;
        header_views fields = proxy_request_fields(d, via, r_.login_consumed);
        // A body announced as empty is announced upstream too.
        if (!r_.chunked_body && r_.remaining_body == 0 &&
            !d.header(http_header_content_length).empty())
            fields.emplace_back("Content-Length", "0");
        if (const uint32_t e = up_->add_checked_fields({fields.data(), fields.size()},
                                                       http_client::add_headers_add |
                                                           http_client::add_headers_replace)) {
            cl::trace_out.write(cl::format_str("WinHttpOpenRequest failed: %?\n", e));
            return 502;
        }
        if (r_.use_cache) {
            r_.cache_record.port = port_;
            r_.cache_record.host = host_;
            r_.cache_record.referer = d.header(http_header_referer);
            r_.cache_record.request_headers = header_lines(fields);
        }
        return 0;
    }

    // The status for a request that could not be sent: a refused address
    // (a loop, or this machine for a client from elsewhere) or a failure.
    int refused_or_failed(uint32_t e) {
        if (up_->address_refused() && refusal_ == upstream_verdict::loop) {
            cl::trace_out.write(
                cl::format_str("proxy: request loop to %?:%? refused\n", host_, port_));
            return 502;
        }
        if (up_->address_refused() && refusal_ == upstream_verdict::refused) {
            cl::trace_out.write(cl::format_str("proxy: %?:%? is on this machine, refused to %?\n",
                                               host_, port_, r_.variable("REMOTE_ADDR")));
            return 403;
        }
        cl::trace_out.write(cl::format_str("WinHttpSendRequest failed: %?\n", e));
        return fail(step_send_request, e);
    }

    // The upstream head, taken. A switch of protocols (101) was never asked
    // for, as Upgrade stays behind as a hop-by-hop field: it is no answer to
    // pass on.
    // Only chunked framing is taken off on the way: a body in another
    // transfer coding (never asked for, as TE stays behind too) would reach
    // the client still coded, with nothing to say so.
    uint32_t receive_head() {
        if (const uint32_t e = up_->receive_response()) return e;
        if (up_->status_code() < 200) return http_client::error_invalid_server_response;
        // Lengths that disagree leave no way to tell where the answer ends.
        std::string_view length;
        for (const auto& [name, value] : up_->header_fields()) {
            const bool is_length = name.size() == 14 && cl::iequals(name, "Content-Length");
            const bool is_coding = name.size() == 17 && cl::iequals(name, "Transfer-Encoding");
            if (!is_length && !is_coding) continue;
            for (std::size_t pos = 0; pos <= value.size();) {
                std::size_t comma = value.find(',', pos);
                if (comma == std::string_view::npos) comma = value.size();
                const std::string_view item = cl::trimmed(value.substr(pos, comma - pos));
                pos = comma + 1;
                if (is_coding) {
                    if (!item.empty() && !cl::iequals(item, "chunked"))
                        return http_client::error_invalid_server_response;
                    continue;
                }
                if (item.empty() || item.size() > 19 ||
                    !std::all_of(item.begin(), item.end(),
                                 [](char c) { return cl::is_digit(c); }) ||
                    (!length.empty() && item != length))
                    return http_client::error_invalid_server_response;
                length = item;
            }
        }
        return 0;
    }

    // The upstream head becomes the answer's head (not sent yet).
    void take_head() {
        if (r_.use_cache) {
            r_.cache_record.on_this_machine = this_machine_;
            the_request_cache().store(r_.cache_record, up_->status_code(), up_->header_list());
        }
        // The standard head says ranges are served; here the upstream says
        // whether it serves them.
        r_.headers->remove(std::string_view("Accept-Ranges"));
        r_.forwarded_head = true;
        const bool has_length = translate_proxy_headers(
            up_->header_fields(), *r_.headers, up_->fields_checked(), up_->header_numbers());
        const std::string_view up_via = r_.headers->view(http_header_via);
        if (up_via.empty())
            r_.headers->add(http_header_via, "Via", via_entry());
        else
            r_.headers->add(http_header_via, "Via", std::string(up_via) + ", " + via_entry());
        if (up_->status_code() != 0) r_.set_response_status(static_cast<int>(up_->status_code()));
        // An answer that has no body may not announce a length either: a
        // client that believed it would read the next answer as this body.
        if (r_.status_code == 204) r_.headers->remove(std::string_view("Content-Length"));
        choose_framing(has_length);
    }

    // Loop mode: news of the upstream transfer, or room in the client's
    // output. Takes what arrived and passes it on while the client keeps up.
    void progress() {
        // What finish lets go of, let go of last, once nothing here looks
        // at the exchange.
        std::shared_ptr<proxy_exchange> gone;
        // While the client's output waits, news of the upstream waits too:
        // what it sends stays with the transfer, which soon pauses.
        if (!self_ || finished_ || waiting_client_) return;
        std::optional<khttp::request_scope> scope;
        if (answering_.owner)
            scope.emplace(answering_);
        else
            scope.emplace(r_.queue, r_.data->request_id);
        if (!r_.headers_sent && !head_taken_) {
            if (!up_->head_arrived()) {
                if (up_->ended()) {
                    // A connection that could not be made is the send's
                    // failure, as it is where the send waits for the connect.
                    const uint32_t e = up_->receive_response();
                    gone = finish(up_->address_refused() || e == http_client::error_cannot_connect
                                      ? refused_or_failed(e)
                                      : fail(step_receive_response, e));
                }
                return;
            }
            if (const uint32_t e = receive_head()) {
                gone = finish(fail(step_receive_response, e));
                return;
            }
            take_head();
            head_taken_ = true;
        }
        // The thread's piece, unless a progress further up this thread has it.
        std::unique_ptr<piece_room> own;
        piece_room* room = &thread_piece();
        if (room->busy) {
            own = std::make_unique<piece_room>();
            room = own.get();
        }
        const piece_lease lease(*room);
        std::array<char, piece_size>& piece = room->bytes;
        const std::size_t space = piece.size() - 9;
        for (int round = 0; round < 4096; ++round) {
            const std::size_t got = up_->take_data(piece.data() + 7, space);
            if (got == 0) {
                if (!up_->ended()) return; // more comes with the next news
                if (const uint32_t e = up_->end_error()) {
                    gone = finish(relay_failed(e));
                    return;
                }
            }
            if (!r_.headers_sent) r_.send_header(got == 0);
            if (r_.body_done) {
                gone = finish(0);
                return;
            }
            // The rest of a whole answer goes out with its end, in one send.
            const bool last = got > 0 && got < space && up_->ended() && up_->end_error() == 0;
            r_.send_piece(piece.data(), 7, got, last);
            // The end, or a client that has gone: nothing more to pass on.
            if (got == 0 || r_.body_done) {
                gone = finish(0);
                return;
            }
            // A client that does not keep up: wait for its output to go
            // out rather than hold the answer here.
            if (wait_for_client(gone)) return;
        }
        boost::asio::post(*khttp::current_loop(), [self = self_] { self->progress(); });
    }

    // True when the client's output is over the limit: progress runs again
    // once it has gone out (or the client has gone). gone takes what a
    // finish here lets go of.
    bool wait_for_client(std::shared_ptr<proxy_exchange>& gone) {
        constexpr std::size_t high = 256 * 1024;
        constexpr std::size_t low = 64 * 1024;
        if (khttp::output_waiting(r_.queue, r_.data->request_id) < high) return false;
        std::weak_ptr<proxy_exchange> weak = self_;
        waiting_client_ = true;
        const uint32_t rc =
            khttp::when_output_below(r_.queue, r_.data->request_id, low, [weak](bool open) {
                const auto self = weak.lock();
                if (!self) return;
                self->waiting_client_ = false;
                if (open)
                    self->progress();
                else
                    self->finish(0); // the client has gone
            });
        if (rc != 0) gone = finish(0);
        return true;
    }

    int relay_failed(uint32_t e) {
        if (!r_.headers_sent) return fail(step_read_data, e);
        fail(step_read_data, e);
        cut_short();
        return 0;
    }

    // Ends the exchange on the loop: the transfer goes, the owner is told.
    // Returns the exchange's hold on itself, for the caller to let go of
    // once it looks at the exchange no more.
    std::shared_ptr<proxy_exchange> finish(int status) {
        if (finished_) return nullptr;
        finished_ = true;
        std::shared_ptr<proxy_exchange> keep = std::move(self_);
        up_.reset();
        if (status != 0 && r_.headers_sent) status = 0;
        if (done_) done_(std::move(owned_), status);
        return keep;
    }

    // Passes the client's body on as it arrives, in pieces that grow from
    // 4096 to 65536 bytes.
    int send_body(http_client::request& up) {
        std::vector<char> buffer;
        const uint64_t id = r_.data->request_id;
        for (int round = 0; round < (1 << 30); ++round) {
            if (!r_.chunked_body && r_.remaining_body == 0) break;
            buffer.resize(r_.piece_size);
            uint32_t want = r_.piece_size;
            if (!r_.chunked_body && r_.remaining_body < want)
                want = static_cast<uint32_t>(r_.remaining_body);
            uint32_t got = 0;
            const uint32_t rc =
                r_.transport->receive_body(r_.queue, id, 0, buffer.data(), want, got);
            if (got > 0) {
                the_http_server().add_bytes_received(got);
                if (r_.piece_size < 65536) r_.piece_size *= 2;
                std::size_t written = 0;
                if (const uint32_t e = up.write_data(buffer.data(), got, written))
                    return fail(step_write_data, e);
                r_.remaining_body -= std::min<uint64_t>(r_.remaining_body, got);
            }
            if (rc == error_handle_eof) break;
            if (rc != 0) {
                // The client went away: nothing is left to answer.
                cl::trace_out.write(cl::format_str("proxy: request body ended early: %?\n", rc));
                r_.error = true;
                return 400;
            }
        }
        return 0;
    }

    // The answer goes out with the upstream length when there is one, else
    // in chunks (or, for an HTTP/1.0 client, up to the end of the connection).
    void choose_framing(bool has_length) {
        r_.compressing = false;
        r_.length_known = true;
        r_.chunked = false;
        if (r_.body_forbidden() || has_length) return;
        if (r_.data->version == 100) {
            r_.close_connection = true;
            return;
        }
        r_.headers->add("Transfer-Encoding", "Chunked");
        r_.chunked = true;
    }

    int relay_body(http_client::request& up) {
        constexpr std::size_t piece = 65536;
        std::vector<char> buffer(7 + piece + 2);
        for (;;) {
            std::size_t got = 0;
            if (const uint32_t e = up.read_data(buffer.data() + 7, piece, got))
                return relay_failed(e);
            if (!r_.headers_sent) {
                r_.send_header(got == 0);
                if (r_.body_done) return 0;
            }
            r_.send_piece(buffer.data(), 7, got);
            if (got == 0 || r_.body_done) return 0;
        }
    }

    // A body that broke off must not look complete: the connection ends
    // without the closing chunk, or short of the announced length.
    void cut_short() {
        if (r_.body_done) return;
        r_.body_done = true;
        r_.close_connection = true;
        r_.transport->send_body(r_.queue, r_.data->request_id, send_flag_disconnect, nullptr, 0);
    }

    int fail(proxy_step step, uint32_t error) {
        r_.error = true;
        if (r_.info) {
            r_.info->set("_TSKQVL_PROXY_ERROR_REQ", step_names[step]);
            r_.info->set("_TSKQVL_PROXY_ERROR_CODE", cl::format_str("%?", error));
        }
        cl::trace_out.write(cl::format_str("WinHttp error: %? %?\n", step_names[step], error));
        return error == http_client::error_timeout ? 504 : 502;
    }

    proxy_request& r_;
    std::string host_;
    uint16_t port_;
    std::shared_ptr<const upstream_rules> rules_;
    upstream_client client_;
    std::unique_ptr<http_client::request> up_;
    upstream_verdict refusal_ = upstream_verdict::allowed;
    bool this_machine_ = false;

    // Loop mode.
    std::shared_ptr<proxy_exchange> self_; // while the exchange runs
    khttp::request_ref answering_;         // the request it answers, when known
    std::unique_ptr<proxy_request> owned_;
    proxy_request::ended_call done_;
    bool head_taken_ = false;
    bool finished_ = false;
    bool waiting_client_ = false;
};

namespace {

// The request body's length: Content-Length as a decimal number; a body
// without one (chunked) has no known length.
void read_body_length(proxy_request& r) {
    const http_request_data& d = *r.data;
    const std::string cl_text(cl::trimmed(d.header(http_header_content_length)));
    uint64_t n = 0;
    for (const char c : cl_text) {
        if (!cl::is_digit(c) || n > (UINT64_MAX - 9) / 10) break;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    r.remaining_body = n;
    r.chunked_body = cl_text.empty() && ((d.flags & khttp::request_flag_more_entity_body) != 0 ||
                                         !d.header(http_header_transfer_encoding).empty());
}

// The fields a 304 may carry (validators and what governs caching); the
// answer's Date is this server's own.
bool kept_in_304(std::string_view name) {
    for (const char* n :
         {"Cache-Control", "Content-Location", "ETag", "Expires", "Last-Modified", "Vary"})
        if (cl::iequals(name, n)) return true;
    return false;
}

// What the client of this request may reach on this machine.
upstream_client client_of(const proxy_request& r, const std::string& host, uint16_t port) {
    upstream_client client;
    ip_bytes ip;
    client.on_loopback = ip_of_text(r.variable("REMOTE_ADDR"), ip) && is_loopback_ip(ip);
    client.named_on_purpose = !client.on_loopback && named_on_purpose(host, port);
    return client;
}

} // namespace

int proxy_request::handle() {
    if (!data) return 500;
    // A tunnel would hand the client a raw connection to any host.
    if (data->method == "CONNECT") {
        cl::trace_out.write("proxy: CONNECT refused\n");
        return 405;
    }
    // Forwarding is a use of the server like any other: the login that the
    // configuration asks for is asked of a proxy request too.
    if (config_info* cfg = config()) {
        const access_answer access =
            decide_login(access_client_of(*this), data->method, cl::sh_ptr<config_info>(cfg));
        if (info) info->user_name = access.auth.user_name;
        login_consumed = access.auth_applies;
        if (!access.granted()) {
            cl::trace_out.write(cl::format_str("proxy: login refused (%?)\n", access.status));
            return answer_refusal(*this, access);
        }
    }
    std::string host;
    uint16_t port = 0;
    if (!upstream_of_host(data->header(http_header_host), host, port)) {
        cl::trace_out.write(
            cl::format_str("proxy: no upstream in Host [%?]\n", data->header(http_header_host)));
        return 400;
    }
    if (via_names_us(data->header(http_header_via))) {
        // Another proxy sent back what this one forwarded.
        cl::trace_out.write(cl::format_str("proxy: request loop to %?:%? refused\n", host, port));
        return 502;
    }
    const upstream_client client = client_of(*this, host, port);
    forward_url = data->raw_url.empty() ? cl::utf16_to_utf8(data->path) +
                                              (data->query.empty() ? "" : "?" + data->query)
                                        : forward_target(data->raw_url);
    read_body_length(*this);
    // A request with credentials may get an answer meant for its sender
    // alone: it is neither answered from the cache nor stored in it.
    const bool credentials = !data->header(http_header_authorization).empty() ||
                             !data->header(http_header_cookie).empty() ||
                             !data->header(http_header_proxy_authorization).empty();
    const bool reads_only = data->method == "GET" || data->method == "HEAD";
    const bool caching = server_settings().enable_request_cache;
    if (caching && reads_only && remaining_body == 0 && !chunked_body && !credentials) {
        use_cache = true;
        cache_record.key = data->header(http_header_host) + forward_url;
        header_pairs stored;
        if (the_request_cache().lookup(cache_record.key,
                                       data->header(http_header_if_modified_since),
                                       data->header(http_header_if_none_match),
                                       client.on_loopback || client.named_on_purpose, stored)) {
            for (const auto& [name, value] : stored)
                if (kept_in_304(name)) headers->add(name, value);
            set_response_status(304);
            compressing = false;
            chunked = false;
            length_known = true;
            send_header(true);
            return 0;
        }
    }
    // A method that may change the resource leaves no stored head behind.
    if (caching && !reads_only)
        the_request_cache().forget(data->header(http_header_host) + forward_url);
    // Without a body nothing needs to wait: the event loop that read the
    // request forwards it and passes the answer on as it comes.
    boost::asio::io_context* loop = khttp::current_loop();
    if (loop && _http_server::running_on_loop() && remaining_body == 0 && !chunked_body) {
        auto exchange =
            std::allocate_shared<proxy_exchange>(cl::block_allocator<proxy_exchange>(), *this, host,
                                                 port, server_upstream_rules(), client);
        const int status = exchange->start_on_loop(*loop);
        if (status == 0) {
            loop_exchange = std::move(exchange);
            return continues_on_loop;
        }
        return status;
    }
    // Waits on another server: work for a pool thread.
    the_http_server().before_blocking();
    proxy_exchange exchange(*this, std::move(host), port, server_upstream_rules(), client);
    const int status = exchange.run();
    if (status != 0 && headers_sent) return 0;
    return status;
}

void proxy_request::go_on(std::unique_ptr<proxy_request> r, ended_call done) {
    std::shared_ptr<proxy_exchange> exchange = std::move(r->loop_exchange);
    if (!exchange) {
        done(std::move(r), 500);
        return;
    }
    proxy_exchange& e = *exchange;
    e.go_on(std::move(exchange), std::move(r), std::move(done));
}
