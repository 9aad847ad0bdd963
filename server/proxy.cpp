#include "server/proxy.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/req_info.h"
#include "server/request_cache.h"
#include "server/response_headers.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"

#include <atomic>
#include <mutex>
#include <set>

namespace {

constexpr uint32_t error_handle_eof = 38;

std::mutex session_lock;
std::shared_ptr<http_client::session> the_session;
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
    for (const char c : s)
        if ((static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127) return false;
    return true;
}

bool valid_name(std::string_view s) {
    return !s.empty() && clean_text(s) && s.find_first_of(" \t:") == std::string_view::npos;
}

// The header names that the Connection header lists: they belong to the hop.
std::set<std::string, string_iless> connection_tokens(std::string_view value) {
    std::set<std::string, string_iless> out;
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view t = cl::trimmed(value.substr(pos, comma - pos));
        if (!t.empty()) out.emplace(t);
        pos = comma + 1;
    }
    return out;
}

} // namespace

uint32_t open_proxy_session() {
    uint32_t error = 0;
    auto s = http_client::session::open("teskqvel", http_client::access_type_no_proxy, error);
    if (!s) return error ? error : http_client::error_internal_error;
    {
        std::lock_guard<std::mutex> g(session_lock);
        the_session = std::move(s);
    }
    set_proxy_timeout(timeout_seconds.load());
    return 0;
}

void close_proxy_session() {
    std::lock_guard<std::mutex> g(session_lock);
    the_session.reset();
}

std::shared_ptr<http_client::session> proxy_session() {
    std::lock_guard<std::mutex> g(session_lock);
    return the_session;
}

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

bool is_hop_by_hop(std::string_view n) {
    return cl::iequals(n, "Connection") || cl::iequals(n, "Keep-Alive") ||
           cl::iequals(n, "Transfer-Encoding") || cl::iequals(n, "TE") ||
           cl::iequals(n, "Trailer") || cl::iequals(n, "Upgrade") ||
           (n.size() >= 6 && cl::iequals(n.substr(0, 6), "Proxy-"));
}

std::string proxy_request_header_lines(const http_request_data& d) {
    const auto hop = connection_tokens(d.header(http_header_connection));
    std::string out;
    const auto add = [&](std::string_view name, const std::string& value) {
        if (value.empty() || is_hop_by_hop(name) || hop.count(std::string(name))) return;
        if (!valid_name(name) || !clean_text(value)) return;
        out.append(name);
        out += ": ";
        out += value;
        out += "\r\n";
    };
    for (int id = 0; id < http_header_request_maximum; ++id) {
        if (id == http_header_content_length || id == http_header_accept ||
            id == http_header_referer || id == http_header_expect)
            continue;
        add(request_header_name(id), d.known_headers[static_cast<std::size_t>(id)]);
    }
    for (const auto& [name, value] : d.unknown_headers)
        add(name, value);
    return out;
}

bool translate_proxy_headers(const header_pairs& upstream, response_headers& headers) {
    std::set<std::string, string_iless> hop;
    for (const auto& [name, value] : upstream)
        if (cl::iequals(name, "Connection")) {
            auto t = connection_tokens(value);
            hop.insert(t.begin(), t.end());
        }
    bool has_length = false;
    std::set<std::string, string_iless> seen;
    for (const auto& [name, value] : upstream) {
        // A name or value the answer head cannot carry is dropped, never
        // altered: the client gets what the server sent or nothing of it.
        if (!valid_name(name) || !clean_text(value)) continue;
        if (is_hop_by_hop(name) || hop.count(name)) continue;
        if (cl::iequals(name, "Content-Length")) has_length = true;
        if (!cl::iequals(name, "Set-Cookie") && !seen.insert(name).second) {
            headers.add(name, headers.get(name) + ", " + value);
            continue;
        }
        headers.add(name, value);
    }
    headers.add_if_absent("Keep-Alive", "timeout=15, max=100");
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
    r->disable_keep_alive();
    return r;
}

namespace {

// The exchange of one proxy request, on its own thread.
class proxy_exchange {
  public:
    explicit proxy_exchange(proxy_request& r) : r_(r) {}

    int run() {
        http_request_data& d = *r_.data;
        const auto [host, port] = split_host_port(d.header(http_header_host));
        std::shared_ptr<http_client::session> session = proxy_session();
        if (!session || host.empty() || port == 0) {
            cl::trace_out.write(cl::format_str("WinHttpConnect failed: %?\n", 87));
            return 502;
        }
        if (names_this_server(host, port)) {
            // Forwarding to ourselves would forward again, without end.
            cl::trace_out.write(
                cl::format_str("proxy: request loop to %?:%? refused\n", host, port));
            return 502;
        }
        http_client::connection c(session, host, port);
        if (trace_level() != 0)
            cl::trace_out.write(cl::format_str("proxy url: %?\n", r_.forward_url));
        auto up = open_proxy_request(c, d.header(http_header_accept), d.method, r_.forward_url,
                                     d.header(http_header_referer));
        std::string lines = proxy_request_header_lines(d);
        // A body announced as empty is announced upstream too.
        if (!r_.chunked_body && r_.remaining_body == 0 &&
            !d.header(http_header_content_length).empty())
            lines += "Content-Length: 0\r\n";
        if (const uint32_t e = up->add_headers(lines, http_client::add_headers_add |
                                                          http_client::add_headers_replace)) {
            cl::trace_out.write(cl::format_str("WinHttpOpenRequest failed: %?\n", e));
            return 502;
        }
        if (r_.use_cache) {
            r_.cache_record.port = port;
            r_.cache_record.host = host;
            r_.cache_record.referer = d.header(http_header_referer);
            r_.cache_record.request_headers = lines;
        }
        const uint64_t total = r_.chunked_body     ? http_client::length_unknown
                               : r_.remaining_body ? r_.remaining_body
                                                   : 0;
        if (const uint32_t e = up->send("", total)) {
            cl::trace_out.write(cl::format_str("WinHttpSendRequest failed: %?\n", e));
            return fail(step_send_request, e);
        }
        if (total != 0) {
            if (const int s = send_body(*up)) return s;
        }
        if (const uint32_t e = up->receive_response()) return fail(step_receive_response, e);

        if (r_.use_cache) the_request_cache().store(r_.cache_record, up->header_list());
        const bool has_length = translate_proxy_headers(up->header_list(), *r_.headers);
        if (up->status_code() != 0) r_.set_response_status(static_cast<int>(up->status_code()));
        choose_framing(has_length);
        return relay_body(*up);
    }

  private:
    // True when host and port are one of this server's own listeners.
    bool names_this_server(const std::string& host, uint16_t port) const {
        const server_values& v = server_settings();
        const std::string proxy_port = cl::utf16_to_utf8(v.proxy_port);
        if (port != v.server_port && port != v.https_port && std::to_string(port) != proxy_port)
            return false;
        const std::string local = r_.variable("SERVER_NAME");
        return cl::iequals(host, "localhost") || host.rfind("127.", 0) == 0 || host == "::1" ||
               host == "0.0.0.0" || host == "::" || (!local.empty() && host == local);
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
            if (const uint32_t e = up.read_data(buffer.data() + 7, piece, got)) {
                if (!r_.headers_sent) return fail(step_read_data, e);
                fail(step_read_data, e);
                cut_short();
                return 0;
            }
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
};

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

} // namespace

int proxy_request::handle() {
    if (!data) return 500;
    // A tunnel would hand the client a raw connection to any host.
    if (data->method == "CONNECT") {
        cl::trace_out.write("proxy: CONNECT refused\n");
        return 405;
    }
    forward_url = data->raw_url.empty() ? cl::utf16_to_utf8(data->path) +
                                              (data->query.empty() ? "" : "?" + data->query)
                                        : forward_target(data->raw_url);
    read_body_length(*this);
    if (server_settings().enable_request_cache && remaining_body == 0 && !chunked_body) {
        use_cache = true;
        cache_record.key = data->header(http_header_host) + forward_url;
        header_pairs stored;
        if (the_request_cache().lookup(cache_record.key,
                                       data->header(http_header_if_modified_since), stored)) {
            translate_proxy_headers(stored, *headers);
            return 304;
        }
    }
    proxy_exchange exchange(*this);
    const int status = exchange.run();
    done.set();
    if (status != 0 && headers_sent) return 0;
    return status;
}
