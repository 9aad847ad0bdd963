#include "server/request_cache.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/time.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/http_tables.h"
#include "server/request_thread.h"
#include "server/script_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace {

constexpr char sep = '\x02';
const std::string suffix_request = "\x01rqh";
const std::string suffix_answer = "\x01rsh";
const std::string suffix_time = "\x01rst";
const std::string suffix_connection = "\x01"
                                      "c";
const std::string suffix_children = "\x01"
                                    "ch";

// Bounds that keep one client from growing the store without limit: the
// header text of one answer, the resources listed for one page, the
// resources refreshed at one time.
constexpr std::size_t max_header_text = 16 * 1024;
constexpr std::size_t max_children = 256;
constexpr std::size_t max_refresh = 32;

class memory_list final : public key_value_list {
  public:
    explicit memory_list(std::size_t max) : max_(max) {}
    std::string get_value(const std::string& key) override {
        cl::cs_lock g(lock_);
        const auto it = map_.find(key);
        return it == map_.end() ? std::string() : it->second;
    }
    void store(const std::string& key, const std::string& value) override {
        cl::cs_lock g(lock_);
        const auto it = map_.find(key);
        if (it != map_.end())
            it->second = value;
        else if (map_.size() < max_)
            map_.emplace(key, value);
    }
    cl::critical_section& lock() override { return lock_; }

  private:
    cl::critical_section lock_;
    std::map<std::string, std::string> map_;
    std::size_t max_;
};

std::string now_seconds() {
    return cl::format_str("%?",
                          (win32::get_system_time_as_filetime() - win32::filetime_unix_epoch) /
                              win32::filetime_per_second);
}

std::string join_headers(const header_pairs& headers) {
    std::string out;
    for (const auto& [name, value] : headers) {
        if (!out.empty()) out += sep;
        out += name;
        out += ": ";
        out += value;
    }
    return out;
}

header_pairs split_headers(std::string_view text) {
    header_pairs out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(sep, pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0)
            out.emplace_back(std::string(cl::trimmed(line.substr(0, colon))),
                             std::string(cl::trimmed(line.substr(colon + 1))));
        pos = end + 1;
    }
    return out;
}

std::string header_value(const header_pairs& headers, std::string_view name) {
    for (const auto& [n, v] : headers)
        if (cl::iequals(n, name)) return v;
    return std::string();
}

// Fields never kept nor handed to another client: credentials, cookies, and
// what concerns one connection only.
bool never_stored(std::string_view name) {
    return cl::iequals(name, "Set-Cookie") || cl::iequals(name, "Set-Cookie2") ||
           cl::iequals(name, "Cookie") || cl::iequals(name, "Authorization") || is_hop_by_hop(name);
}

// The fields that may be stored, without those that a Connection field
// names for the hop.
header_pairs storable_fields(const header_pairs& headers) {
    hop_names hop;
    for (const auto& [n, v] : headers)
        if (cl::iequals(n, "Connection")) hop.add_list(v);
    header_pairs out;
    for (const auto& pair : headers)
        if (!never_stored(pair.first) && !hop.has(pair.first)) out.push_back(pair);
    return out;
}

// True when a Cache-Control value holds one of the directives (with or
// without an argument).
bool has_directive(std::string_view value, std::initializer_list<std::string_view> names) {
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view d = cl::trimmed(value.substr(pos, comma - pos));
        d = cl::trimmed(d.substr(0, d.find('=')));
        for (const std::string_view n : names)
            if (cl::iequals(d, n)) return true;
        pos = comma + 1;
    }
    return false;
}

// An answer that is meant for one client, or for no store at all.
bool kept_from_store(const header_pairs& headers) {
    for (const auto& [n, v] : headers) {
        if (cl::iequals(n, "Cache-Control") && has_directive(v, {"no-store", "private"}))
            return true;
        if (cl::iequals(n, "Vary") && cl::trimmed(std::string_view(v)) == "*") return true;
    }
    return false;
}

// True when a stored connection value marks an upstream on this machine.
bool local_mark(std::string_view connection) {
    const std::size_t first = connection.find(sep);
    if (first == std::string_view::npos) return false;
    const std::size_t second = connection.find(sep, first + 1);
    return second != std::string_view::npos && connection.substr(second + 1) == "local";
}

// "0" a page, "2" plain text, "1" anything else, "-1" no type.
std::string content_class(const header_pairs& headers) {
    bool found = false;
    std::string type;
    for (const auto& [n, v] : headers)
        if (cl::iequals(n, "Content-Type")) {
            found = true;
            type = std::string(cl::trimmed(std::string_view(v).substr(0, v.find(';'))));
        }
    if (!found) return "-1";
    if (cl::iequals(type, "text/html")) return "0";
    if (cl::iequals(type, "text/plain")) return "2";
    return "1";
}

// Host and port of an absolute http or https URL; port 0 when it is none.
std::pair<std::string, uint16_t> url_host_port(std::string_view url) {
    uint16_t default_port = 0;
    if (url.size() >= 7 && cl::iequals(url.substr(0, 7), "http://")) {
        url.remove_prefix(7);
        default_port = 80;
    } else if (url.size() >= 8 && cl::iequals(url.substr(0, 8), "https://")) {
        url.remove_prefix(8);
        default_port = 443;
    } else {
        return {std::string(), 0};
    }
    const std::string_view authority = url.substr(0, url.find_first_of("/?#"));
    auto hp = split_host_port(authority);
    if (authority.find(':') == std::string_view::npos ||
        (authority.front() == '[' && authority.find("]:") == std::string_view::npos))
        hp.second = default_port;
    return hp;
}

} // namespace

cl::sh_ptr<key_value_list> make_memory_list(std::size_t max_entries) {
    return cl::sh_ptr<key_value_list>(new memory_list(max_entries));
}

request_cache::request_cache() = default;
request_cache::~request_cache() = default;

void request_cache::open(cl::sh_ptr<key_value_list> l) {
    std::lock_guard<std::mutex> g(lock_);
    list_ = l ? std::move(l) : make_memory_list(20000);
}

void request_cache::close() {
    std::lock_guard<std::mutex> g(lock_);
    list_ = nullptr;
}

cl::sh_ptr<key_value_list> request_cache::list() {
    std::lock_guard<std::mutex> g(lock_);
    return list_;
}

bool request_cache::lookup(const std::string& key, const std::string& ims,
                           const std::string& if_none_match, bool may_use_local,
                           header_pairs& headers) {
    cl::sh_ptr<key_value_list> l = list();
    if (!l) return false;
    const std::string kind = l->get_value(key);
    if (kind == "1") {
        if (ims.empty()) return false;
        if (!may_use_local && local_mark(l->get_value(key + suffix_connection))) return false;
        const header_pairs stored = split_headers(l->get_value(key + suffix_answer));
        // A client that sent entity tags asks about content, not dates: the
        // upstream would confirm its copy only if one of them were the
        // resource's, whatever the dates say.
        if (!if_none_match.empty()) {
            const std::string etag = header_value(stored, "etag");
            if (etag.empty() ||
                (cl::trimmed(if_none_match) != "*" && !etag_list_contains(etag, if_none_match))) {
                cl::trace_out.write("-used cache: entity tag differs\n");
                return false;
            }
        }
        win32::filetime modified = 0, since = 0;
        if (!parse_http_date(header_value(stored, "last-modified"), modified)) {
            cl::trace_out.write("-used cache: no last-modifed date\n");
            return false;
        }
        if (!parse_http_date(ims, since)) {
            cl::trace_out.write("-used cache: no if-modified-since date\n");
            return false;
        }
        // The client's copy must be at least as new as what was last seen
        // upstream.
        if (modified > since) {
            cl::trace_out.write("-used cache: modified since\n");
            return false;
        }
        cl::trace_out.write("+used cache\n");
        headers = stored;
        return true;
    }
    if (l->get_value(key + suffix_children).empty()) return false;
    cl::thread_pool* pool = server_pool();
    if (!pool) return false;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!refreshing_.insert(key).second) return false;
    }
    const bool started = pool->run([this, key] {
        try {
            refresh_page(key);
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("request cache refresh: %?\n", e.what()));
        }
        std::lock_guard<std::mutex> g(lock_);
        refreshing_.erase(key);
    }) != 0;
    if (!started) {
        std::lock_guard<std::mutex> g(lock_);
        refreshing_.erase(key);
    }
    return false;
}

void request_cache::store(const proxy_cache_record& r, uint32_t status,
                          const header_pairs& headers) {
    cl::sh_ptr<key_value_list> l = list();
    if (!l || r.key.empty()) return;
    if (status == 304) {
        // The upstream confirmed the client's copy: what it sent freshens
        // the stored answer, and nothing else about the entry changes.
        if (l->get_value(r.key) == "1") take_answer(*l, r.key, status, headers);
        return;
    }
    if (status != 200) {
        forget(r.key);
        return;
    }
    // The request's header lines, joined as the answer's are.
    header_pairs request_fields;
    for (std::size_t at = 0; at < r.request_headers.size();) {
        std::size_t end = r.request_headers.find("\r\n", at);
        if (end == std::string::npos) end = r.request_headers.size();
        const std::string_view line = std::string_view(r.request_headers).substr(at, end - at);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0)
            request_fields.emplace_back(std::string(cl::trimmed(line.substr(0, colon))),
                                        std::string(cl::trimmed(line.substr(colon + 1))));
        at = end + 2;
    }
    for (const auto& [n, v] : request_fields)
        if (cl::iequals(n, "Cache-Control") && has_directive(v, {"no-store"})) {
            forget(r.key);
            return;
        }
    const std::string request_text = join_headers(storable_fields(request_fields));
    if (request_text.size() > max_header_text) {
        forget(r.key);
        return;
    }
    if (!take_answer(*l, r.key, status, headers)) return;
    l->store(r.key + suffix_request, request_text);
    l->store(r.key + suffix_connection,
             cl::format_str("%?", r.port) + sep + r.referer +
                 (r.on_this_machine ? sep + std::string("local") : std::string()));

    // A resource loaded by a page of the same server joins the page's list.
    if (r.referer.empty()) return;
    const auto [ref_host, ref_port] = url_host_port(r.referer);
    if (ref_port != r.port || !cl::iequals(ref_host, r.host)) return;
    const std::string page = r.referer.substr(r.referer.find("://") + 3);
    cl::cs_lock g(l->lock());
    const std::string list_key = page + suffix_children;
    std::string children = l->get_value(list_key);
    std::size_t count = children.empty() ? 0 : 1;
    std::size_t pos = 0;
    while (!children.empty() && pos <= children.size()) {
        std::size_t end = children.find(sep, pos);
        if (end == std::string::npos) end = children.size();
        if (children.compare(pos, end - pos, r.key) == 0) return;
        pos = end + 1;
        if (end < children.size()) ++count;
    }
    if (count >= max_children) return;
    if (!children.empty()) children += sep;
    children += r.key;
    l->store(list_key, children);
}

bool request_cache::take_answer(key_value_list& l, const std::string& key, uint32_t status,
                                const header_pairs& headers) {
    if (kept_from_store(headers)) {
        forget(key);
        return false;
    }
    header_pairs fields = storable_fields(headers);
    if (status == 304) {
        // A 304 carries only what changed; the rest of the stored head stays.
        header_pairs merged = split_headers(l.get_value(key + suffix_answer));
        for (const auto& [n, v] : fields) {
            bool replaced = false;
            for (auto& [mn, mv] : merged)
                if (cl::iequals(mn, n)) {
                    mv = v;
                    replaced = true;
                }
            if (!replaced) merged.emplace_back(n, v);
        }
        fields = std::move(merged);
    }
    const std::string kind = content_class(fields);
    const std::string answer = join_headers(fields);
    // A head too large to keep must not leave the older one behind: a
    // client could be told that a copy it no longer matches is current.
    if (answer.size() > max_header_text) {
        forget(key);
        return false;
    }
    if (kind != "1") {
        if (!l.get_value(key + suffix_answer).empty()) forget(key);
        l.store(key, kind);
        return false;
    }
    l.store(key, kind);
    l.store(key + suffix_answer, answer);
    l.store(key + suffix_time, now_seconds());
    return true;
}

void request_cache::forget(const std::string& key) {
    cl::sh_ptr<key_value_list> l = list();
    if (!l || l->get_value(key).empty()) return;
    for (const std::string* suffix : {&suffix_request, &suffix_answer, &suffix_time})
        l->store(key + *suffix, std::string());
    l->store(key, std::string());
}

void request_cache::refresh_page(const std::string& page_key) {
    cl::sh_ptr<key_value_list> l = list();
    std::shared_ptr<http_client::session> session = proxy_session();
    if (!l || !session) return;
    const std::shared_ptr<const upstream_rules> rules = server_upstream_rules();
    const std::string children = l->get_value(page_key + suffix_children);
    std::size_t pos = 0, done = 0;
    while (pos < children.size() && done < max_refresh) {
        std::size_t end = children.find(sep, pos);
        if (end == std::string::npos) end = children.size();
        const std::string key = children.substr(pos, end - pos);
        pos = end + 1;
        ++done;
        const std::size_t slash = key.find('/');
        if (slash == std::string::npos) continue;
        const std::string target = key.substr(slash);
        const std::string connection = l->get_value(key + suffix_connection);
        const auto host = split_host_port(key.substr(0, slash)).first;
        uint32_t port = 0;
        for (const char c : connection.substr(0, connection.find(sep)))
            if (cl::is_digit(c) && port < 65536) port = port * 10 + static_cast<uint32_t>(c - '0');
        if (host.empty() || port == 0 || port > 65535 || l->get_value(key) != "1") continue;

        http_client::connection c(session, host, static_cast<uint16_t>(port));
        auto up = open_proxy_request(c, std::string(), "HEAD", target, std::string());
        // The server asks for itself; it never asks itself.
        up->set_address_check([&rules](const sockaddr* a, socklen_t length) {
            ip_bytes ip;
            uint16_t p = 0;
            return ip_of(a, length, ip, p) &&
                   judge_upstream(ip, p, *rules, server_as_client) == upstream_verdict::allowed;
        });
        std::string lines;
        for (const auto& [n, v] : split_headers(l->get_value(key + suffix_request)))
            if (!cl::iequals(n, "accept") && !cl::iequals(n, "referer") &&
                !cl::iequals(n, "content-length"))
                lines += n + ": " + v + "\r\n";
        up->add_headers(lines, http_client::add_headers_add | http_client::add_headers_replace);
        uint32_t e = up->send("", 0);
        if (e != 0) {
            cl::trace_out.write(cl::format_str("WinHttpSendRequest failed: %?\n", e));
            continue;
        }
        e = up->receive_response();
        if (e != 0) {
            // The stored head can no longer be confirmed: it goes.
            cl::trace_out.write(cl::format_str("WinHttp error: %? %?\n", "ReceiveResponse", e));
            forget(key);
            continue;
        }
        const uint32_t status = up->status_code();
        if (status == 200 || status == 304)
            take_answer(*l, key, status, up->header_list());
        else
            forget(key);
    }
}

request_cache& the_request_cache() {
    static request_cache cache;
    return cache;
}

bool make_store_private(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
}
