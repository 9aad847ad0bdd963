#include "platform/khttp/wire.h"

#include "core/name_index.h"
#include "core/text.h"

#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <ctime>

namespace khttp {

namespace {

// The service's header slots, by number.
constexpr std::array<std::string_view, request_header_count> request_names = {
    "Cache-Control",
    "Connection",
    "Date",
    "Keep-Alive",
    "Pragma",
    "Trailer",
    "Transfer-Encoding",
    "Upgrade",
    "Via",
    "Warning",
    "Allow",
    "Content-Length",
    "Content-Type",
    "Content-Encoding",
    "Content-Language",
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "Expires",
    "Last-Modified",
    "Accept",
    "Accept-Charset",
    "Accept-Encoding",
    "Accept-Language",
    "Authorization",
    "Cookie",
    "Expect",
    "From",
    "Host",
    "If-Match",
    "If-Modified-Since",
    "If-None-Match",
    "If-Range",
    "If-Unmodified-Since",
    "Max-Forwards",
    "Proxy-Authorization",
    "Referer",
    "Range",
    "TE",
    "Translate",
    "User-Agent",
};

constexpr std::array<std::string_view, response_header_count - 20> response_extra_names = {
    "Accept-Ranges", "Age",    "ETag",       "Location", "Proxy-Authenticate",
    "Retry-After",   "Server", "Set-Cookie", "Vary",     "WWW-Authenticate"};

// "Name: " of every response header, as the head is written.
const std::array<std::string, response_header_count> response_header_text = [] {
    std::array<std::string, response_header_count> t;
    for (std::size_t i = 0; i < response_header_count; ++i)
        t[i] = std::string(i < 20 ? request_names[i] : response_extra_names[i - 20]) + ": ";
    return t;
}();

// Nearly every text is plain: eight bytes a step tell so; a byte loop
// (find_first_of looks each byte up in the set with a call) finds what else.
bool clean(std::string_view s) {
    if (!cl::has_control(s)) return true;
    for (const char c : s)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

bool clean_name(std::string_view s) {
    if (cl::is_field_name(s)) return true;
    for (const char c : s)
        if (c == '\r' || c == '\n' || c == '\0' || c == ':' || c == ' ' || c == '\t') return false;
    return !s.empty();
}

const char* reason_of(unsigned status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

} // namespace

const char* request_header_name(std::size_t index) {
    return index < request_header_count ? request_names[index].data() : "";
}

const char* response_header_name(std::size_t index) {
    if (index < 20) return request_names[index].data();
    return index < response_header_count ? response_extra_names[index - 20].data() : "";
}

int find_request_header(std::string_view name) {
    static constexpr cl::name_index index(request_names);
    return index.find(name);
}

int find_response_header(std::string_view name) {
    static constexpr cl::name_index index = [] {
        std::array<std::string_view, response_header_count> names{};
        for (std::size_t i = 0; i < response_header_count; ++i)
            names[i] = i < 20 ? request_names[i] : response_extra_names[i - 20];
        return cl::name_index(names);
    }();
    return index.find(name);
}

khttp::verb verb_from_method(std::string_view m) {
    static constexpr std::pair<std::string_view, khttp::verb> table[] = {
        {"OPTIONS", verb::options},     {"GET", verb::get},         {"HEAD", verb::head},
        {"POST", verb::post},           {"PUT", verb::put},         {"DELETE", verb::del},
        {"TRACE", verb::trace},         {"CONNECT", verb::connect}, {"TRACK", verb::track},
        {"MOVE", verb::move},           {"COPY", verb::copy},       {"PROPFIND", verb::propfind},
        {"PROPPATCH", verb::proppatch}, {"MKCOL", verb::mkcol},     {"LOCK", verb::lock},
        {"UNLOCK", verb::unlock},       {"SEARCH", verb::search}};
    for (auto& [name, v] : table)
        if (name == m) return v;
    return verb::unknown;
}

const std::string& http_date_now() {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = std::time(nullptr);
    // One text per second and thread is enough.
    thread_local std::time_t cached_time = 0;
    thread_local std::string cached_text;
    if (t == cached_time) return cached_text;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %d %02d:%02d:%02d GMT", days[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    cached_time = t;
    cached_text = buf;
    return cached_text;
}

uint32_t render_response_head(const response& r, const head_context& ctx, std::string& out,
                              framing& f) {
    if (r.status < 100 || r.status > 999 || !clean(r.reason)) return 87;
    // The slots that hold a value, in order: the loops below visit only those.
    std::array<uint8_t, response_header_count> present;
    std::size_t present_count = 0;
    static_assert(response_header_count < 64);
    uint64_t slots = r.written_slots;
    if (slots == 0) slots = (uint64_t{1} << response_header_count) - 1;
    for (; slots != 0; slots &= slots - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(slots));
        if (i >= response_header_count) break;
        const std::string_view v = r.known_headers[i];
        if (v.empty()) continue;
        if (!(r.checked_slots >> i & 1u) && !clean(v)) return 87;
        present[present_count++] = static_cast<uint8_t>(i);
    }
    for (auto& [name, value] : r.unknown_headers) {
        if (!clean_name(name) || !clean(value)) return 87;
    }
    f = framing{};
    f.no_body = ctx.head_request || r.status < 200 || r.status == 204 || r.status == 304;
    auto cl = cl::trimmed_blanks(r.known_headers[header_content_length]);
    if (!cl.empty()) {
        uint64_t n = 0;
        for (char c : cl) {
            if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) return 87;
            n = n * 10 + (c - '0');
        }
        f.content_length = static_cast<int64_t>(n);
    }
    auto te = cl::trimmed_blanks(r.known_headers[header_transfer_encoding]);
    f.chunked = cl::iequals(te, "chunked");
    bool add_zero_length = false;
    bool framed = f.no_body || f.content_length >= 0 || f.chunked;
    if (!framed && te.empty() && ctx.final) {
        // A complete answer without a body: say so, so the connection can stay.
        add_zero_length = true;
        framed = true;
    }
    f.close = ctx.disconnect || !ctx.client_keep_alive || !framed;

    // The head is measured first, then written in one go into room made once.
    const auto sent = [&](std::size_t i) {
        return !(f.close && (i == header_connection || i == header_keep_alive));
    };
    const auto sent_other = [&](std::string_view name) {
        return !(f.close && (cl::iequals(name, "Connection") || cl::iequals(name, "Keep-Alive")));
    };
    const bool own_date = r.known_headers[header_date].empty();
    const std::string_view date = own_date ? std::string_view(http_date_now()) : std::string_view();
    constexpr std::string_view zero_length = "Content-Length: 0\r\n";
    constexpr std::string_view closing = "Connection: close\r\n";
    std::size_t size = 13 + r.reason.size() + 2 + 2;
    for (std::size_t k = 0; k < present_count; ++k) {
        const std::size_t i = present[k];
        if (sent(i)) size += response_header_text[i].size() + r.known_headers[i].size() + 2;
    }
    if (own_date) size += 6 + date.size() + 2;
    if (add_zero_length) size += zero_length.size();
    if (f.close) size += closing.size();
    for (auto& [name, value] : r.unknown_headers)
        if (sent_other(name)) size += name.size() + 2 + value.size() + 2;

    const std::size_t start = out.size();
    out.resize(start + size);
    char* p = out.data() + start;
    const auto put = [&p](std::string_view t) {
        if (t.empty()) return; // an empty view may have no address
        std::memcpy(p, t.data(), t.size());
        p += t.size();
    };
    const auto end_line = [&p] {
        p[0] = '\r';
        p[1] = '\n';
        p += 2;
    };
    put("HTTP/1.1 ");
    p[0] = static_cast<char>('0' + r.status / 100);
    p[1] = static_cast<char>('0' + r.status / 10 % 10);
    p[2] = static_cast<char>('0' + r.status % 10);
    p[3] = ' ';
    p += 4;
    put(r.reason);
    end_line();
    for (std::size_t k = 0; k < present_count; ++k) {
        const std::size_t i = present[k];
        if (!sent(i)) continue;
        put(response_header_text[i]);
        put(r.known_headers[i]);
        end_line();
    }
    if (own_date) {
        put("Date: ");
        put(date);
        end_line();
    }
    if (add_zero_length) put(zero_length);
    if (f.close) put(closing);
    for (auto& [name, value] : r.unknown_headers) {
        if (!sent_other(name)) continue;
        put(name);
        put(": ");
        put(value);
        end_line();
    }
    end_line();
    assert(p == out.data() + out.size());
    return 0;
}

std::string render_service_answer(unsigned status, bool close, bool head_request) {
    std::string reason = reason_of(status);
    std::string body = "<html><body><h1>" + reason + "</h1></body></html>\r\n";
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    out += "Content-Type: text/html; charset=us-ascii\r\n";
    out += "Date: " + http_date_now() + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    if (!head_request) out += body;
    return out;
}

} // namespace khttp
