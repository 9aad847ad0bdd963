#include "server/http_tables.h"

#include "core/format.h"
#include "core/name_index.h"
#include "core/text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<std::string_view, http_header_request_maximum> request_names = {
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
    "Content-Md5",
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
    "Te",
    "Translate",
    "User-Agent",
};

constexpr std::array<std::string_view, http_header_response_maximum> response_names = {
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
    "Content-Md5",
    "Content-Range",
    "Expires",
    "Last-Modified",
    "Accept-Ranges",
    "Age",
    "Etag",
    "Location",
    "Proxy-Authenticate",
    "Retry-After",
    "Server",
    "Set-Cookie",
    "Vary",
    "Www-Authenticate",
};

// string_iless at compile time.
constexpr bool iless(std::string_view a, std::string_view b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const auto x = static_cast<unsigned char>(cl::to_lower_char(a[i]));
        const auto y = static_cast<unsigned char>(cl::to_lower_char(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

constexpr std::array<uint8_t, http_header_response_maximum> make_rank() {
    std::array<uint8_t, http_header_response_maximum> rank{};
    for (std::size_t i = 0; i < rank.size(); ++i)
        for (std::size_t k = 0; k < rank.size(); ++k)
            if (iless(response_names[k], response_names[i])) ++rank[i];
    return rank;
}

struct status_entry {
    int code;
    std::string_view text;
};

constexpr status_entry status_texts[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authorative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Moved Temporarily"},
    {400, "Bad Request"},
    {401, "Authorization Required"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable (encoding)"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timed Out"},
    {409, "Conflicting Request"},
    {410, "Gone"},
    {411, "Content Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Long"},
    {414, "Request URI Too Long"},
    {415, "Unsupported Media Type"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway "},
    {503, "Service Unavailable "},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {507, "Insufficient Storage"},
};

constexpr std::array<std::string_view, http_verb_maximum> verb_names = {
    "UNPARSED", "UNKNOWN",   "INVALID", "OPTIONS", "GET",    "HEAD",   "POST",
    "PUT",      "DELETE",    "TRACE",   "CONNECT", "TRACK",  "MOVE",   "COPY",
    "PROPFIND", "PROPPATCH", "MKCOL",   "LOCK",    "UNLOCK", "SEARCH",
};

constexpr std::array<std::string_view, 7> day_names = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 13> month_names = {
    "", "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr std::array<std::string_view, 7> full_day_names = {
    "Monday,", "Tuesday,", "Wednesday,", "Thursday,", "Friday,", "Saturday,", "Sunday,"};
constexpr std::array<std::string_view, 7> short_day_names = {"Mon", "Tue", "Wed", "Thu",
                                                             "Fri", "Sat", "Sun"};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

struct date_fields {
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
};

// Matches one date pattern against the text: a blank skips any run of white
// space (none too), "N" takes a month name, each of d h m s y takes one digit
// into its field, any other character must be itself. Text left over after
// the pattern is ignored.
bool match(std::string_view text, std::string_view pattern, date_fields& f) {
    f = {};
    std::size_t t = 0;
    while (t < text.size() && is_space(text[t]))
        ++t;
    for (const char p : pattern) {
        if (p == ' ') {
            while (t < text.size() && is_space(text[t]))
                ++t;
            continue;
        }
        if (p == 'N') {
            if (text.size() - t < 4) return false;
            const std::string_view name = text.substr(t, 3);
            int found = 0;
            for (int m = 1; m <= 12; ++m)
                if (name == month_names[m]) found = m;
            if (found == 0) return false;
            f.month = found;
            t += 3;
            continue;
        }
        if (t >= text.size()) return false;
        const char c = text[t];
        int* field = nullptr;
        switch (p) {
        case 'd':
            field = &f.day;
            break;
        case 'h':
            field = &f.hour;
            break;
        case 'm':
            field = &f.minute;
            break;
        case 's':
            field = &f.second;
            break;
        case 'y':
            field = &f.year;
            break;
        default:
            break;
        }
        if (field) {
            if (c < '0' || c > '9') return false;
            *field = *field * 10 + (c - '0');
        } else if (c != p) {
            return false;
        }
        ++t;
    }
    return true;
}

bool starts_with_any(std::string_view text, const std::array<std::string_view, 7>& names,
                     std::size_t& length) {
    for (const auto n : names)
        if (text.starts_with(n)) {
            length = n.size();
            return true;
        }
    return false;
}

} // namespace

constexpr std::array<uint8_t, http_header_response_maximum> response_header_rank = make_rank();

int request_header_id(std::string_view name) {
    static constexpr cl::name_index index(request_names);
    return index.find(name);
}

int response_header_id(std::string_view name) {
    static constexpr cl::name_index index(response_names);
    return index.find(name);
}

std::string_view request_header_name(int id) {
    if (id < 0 || id >= http_header_request_maximum) return {};
    return request_names[static_cast<std::size_t>(id)];
}

std::string_view response_header_name(int id) {
    if (id < 0 || id >= http_header_response_maximum) return {};
    return response_names[static_cast<std::size_t>(id)];
}

std::string_view status_text(int code) {
    for (const auto& e : status_texts)
        if (e.code == code) return e.text;
    return "Unknown Response";
}

std::string_view method_text(int verb, std::string_view unknown_verb_text) {
    if (verb != http_verb_unknown && verb >= 0 && verb < http_verb_maximum)
        return verb_names[static_cast<std::size_t>(verb)];
    return unknown_verb_text;
}

std::string method_name(int verb, std::string_view unknown_verb_text) {
    if (verb != http_verb_unknown) {
        if (verb >= 0 && verb < http_verb_maximum)
            return std::string(verb_names[static_cast<std::size_t>(verb)]);
        return std::to_string(verb);
    }
    std::string out;
    out.reserve(unknown_verb_text.size());
    for (const char c : unknown_verb_text) {
        const char u = cl::to_upper_char(c);
        if (u >= 'A' && u <= 'Z') out += u;
    }
    return out;
}

std::string format_http_date(const win32::systemtime& utc) {
    // A field out of range names nothing rather than reading past the tables.
    const std::string_view day =
        utc.day_of_week < day_names.size() ? day_names[utc.day_of_week] : "";
    const std::string_view month = utc.month >= 1 && utc.month <= 12 ? month_names[utc.month] : "";
    return cl::format_str("%?, %02? %? %? %02?:%02?:%02? GMT", day, utc.day, month, utc.year,
                          utc.hour, utc.minute, utc.second);
}

bool parse_http_date(std::string_view text, win32::filetime& result) {
    text = cl::trimmed(text);
    date_fields f;
    bool ok = false;
    std::size_t n = 0;
    if (starts_with_any(text, full_day_names, n)) {
        ok = match(text.substr(n), "dd-N-yy hh:mm:ss GMT", f);
    } else if (starts_with_any(text, short_day_names, n)) {
        if (text.size() > 3 && text[3] == ',') {
            const auto rest = text.substr(4);
            ok =
                match(rest, "dd N yyyy hh:mm:ss GMT", f) || match(rest, "d N yyyy hh:mm:ss GMT", f);
        } else {
            const auto rest = text.substr(3);
            ok = match(rest, "N dd hh:mm:ss yyyy", f) || match(rest, "N d hh:mm:ss yyyy", f);
        }
    }
    if (!ok) return false;
    if (f.year < 100) f.year += f.year < 87 ? 2000 : 1900;
    win32::systemtime st;
    st.year = static_cast<uint16_t>(f.year);
    st.month = static_cast<uint16_t>(f.month);
    st.day = static_cast<uint16_t>(f.day);
    st.hour = static_cast<uint16_t>(f.hour);
    st.minute = static_cast<uint16_t>(f.minute);
    st.second = static_cast<uint16_t>(f.second);
    win32::filetime ft = 0;
    if (!win32::systemtime_to_filetime(st, ft)) return false;
    result = ft;
    return true;
}

bool is_modified_since(std::string_view stored_date, std::string_view given_date) {
    if (stored_date.empty()) return true;
    win32::filetime stored = 0, given = 0;
    if (!parse_http_date(stored_date, stored) || !parse_http_date(given_date, given)) return true;
    return stored > given;
}

std::string_view cached_http_date(const win32::systemtime& utc) {
    // Every request of a second carries the same Date text.
    struct cache {
        win32::systemtime time{};
        bool valid = false;
        char text[64];
        std::size_t size = 0;
    };
    thread_local cache c;
    if (!c.valid || c.time.year != utc.year || c.time.month != utc.month || c.time.day != utc.day ||
        c.time.day_of_week != utc.day_of_week || c.time.hour != utc.hour ||
        c.time.minute != utc.minute || c.time.second != utc.second) {
        const std::string text = format_http_date(utc);
        c.size = std::min(text.size(), sizeof c.text);
        std::memcpy(c.text, text.data(), c.size);
        c.time = utc;
        c.valid = true;
    }
    return std::string_view(c.text, c.size);
}

std::array<std::pair<std::string_view, std::string_view>, 5>
standard_headers(const win32::systemtime& request_time_utc, std::string_view server_name) {
    return {{
        {"Date", cached_http_date(request_time_utc)},
        {"Server", server_name},
        {"Accept-Ranges", "bytes"},
        {"Connection", "Keep-Alive"},
        {"Keep-Alive", "timeout=15, max=100"},
    }};
}
