#include "platform/khttp/url.h"

#include <cwctype>
#include <vector>

namespace khttp {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

wchar_t ascii_lower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? c + 32 : c;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (ascii_lower(static_cast<unsigned char>(s[i])) !=
            ascii_lower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

} // namespace

std::wstring utf8_to_wide(std::string_view s) {
    std::wstring out;
    utf8_to_wide(s, out);
    return out;
}

bool utf8_to_wide(std::string_view s, std::wstring& out) {
    // Paths and host names are mostly ASCII: one element per byte.
    std::size_t i = 0;
    out.resize(s.size());
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) {
        out[i] = static_cast<wchar_t>(s[i]);
        ++i;
    }
    if (i == s.size()) return true;
    out.resize(i);
    bool well_formed = true;
    while (i < s.size()) {
        unsigned char c = s[i];
        if (c < 0x80) {
            out += static_cast<wchar_t>(c);
            ++i;
            continue;
        }
        int extra;
        char32_t cp, min;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            out += L'\uFFFD';
            well_formed = false;
            ++i;
            continue;
        }
        std::size_t j = 1;
        for (; j <= static_cast<std::size_t>(extra); ++j) {
            if (i + j >= s.size()) break;
            unsigned char d = s[i + j];
            if ((d & 0xC0) != 0x80) break;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (j <= static_cast<std::size_t>(extra)) { // truncated sequence
            out += L'\uFFFD';
            well_formed = false;
            i += j;
            continue;
        }
        i += extra + 1;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += L'\uFFFD';
            well_formed = false;
        } else {
            out += static_cast<wchar_t>(cp);
        }
    }
    return well_formed;
}

std::string wide_to_utf8(std::wstring_view s) {
    std::string out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
        auto c = static_cast<char32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::wstring> canonicalize_path(std::string_view raw) {
    std::string scratch;
    std::wstring out;
    if (!canonicalize_path(raw, scratch, out)) return std::nullopt;
    return out;
}

// Dot segments are resolved on the decoded bytes: "/", "\\" and "." are ASCII,
// which no UTF-8 sequence, valid or not, swallows when decoded, so the
// segments come out the same as when resolved on the wide text.
bool is_plain_path(std::string_view raw) {
    bool plain = !raw.empty() && raw[0] == '/';
    for (std::size_t i = 1; plain && i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        plain = c >= 0x20 && c < 0x7F && c != '%' && c != '\\' && !(c == '.' && raw[i - 1] == '/');
    }
    return plain;
}

bool canonicalize_path(std::string_view raw, std::string& bytes, std::wstring& out) {
    // Most targets are plain ASCII without escapes, backslashes or segments
    // that begin with a dot: they are their own canonical form, in both.
    if (is_plain_path(raw)) {
        bytes.assign(raw);
        return utf8_to_wide(bytes, out); // ASCII: widened in its one pass
    }
    return decode_path(raw, bytes, out);
}

bool decode_path(std::string_view raw, std::string& bytes, std::wstring& out) {
    if (raw.empty() || (raw[0] != '/' && raw[0] != '\\')) return false;
    bytes.clear();
    bytes.reserve(raw.size() + 1);
    // Each segment is appended as "/" and its text; "." drops itself, ".."
    // also the segment before it. The first "/" of raw is the root.
    bool trailing = false;
    std::size_t seg_start = 0; // in bytes, of the segment being decoded ("/" included)
    bytes += '/';
    for (std::size_t i = 1;; ++i) {
        const bool end = i == raw.size();
        unsigned char c = end ? '/' : static_cast<unsigned char>(raw[i]);
        if (!end && c == '%') {
            if (i + 2 >= raw.size()) return false;
            int hi = hex_value(raw[i + 1]), lo = hex_value(raw[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<unsigned char>(hi * 16 + lo);
            if (c == 0) return false;
            i += 2;
        } else if (!end && (c < 0x20 || c == 0x7F)) {
            return false;
        }
        if (c != '/' && c != '\\') {
            bytes += static_cast<char>(c);
            continue;
        }
        // A segment ends.
        const std::string_view seg = std::string_view(bytes).substr(seg_start + 1);
        if (seg == ".") {
            bytes.resize(seg_start);
            trailing = end;
        } else if (seg == "..") {
            bytes.resize(seg_start);
            if (seg_start == 0) return false; // above the root
            bytes.resize(bytes.rfind('/'));
            trailing = end;
        } else {
            trailing = false;
        }
        if (end) break;
        seg_start = bytes.size();
        bytes += '/';
    }
    if (bytes.empty() || (trailing && bytes.back() != '/')) bytes += '/';
    // Bytes that are no UTF-8 stand as U+FFFD in both forms.
    if (!utf8_to_wide(bytes, out)) bytes = wide_to_utf8(out);
    return true;
}

std::optional<url_prefix> parse_url_prefix(std::wstring_view text) {
    url_prefix p;
    std::string s = wide_to_utf8(text);
    std::string_view v(s);
    if (starts_with_nocase(v, "http://")) {
        v.remove_prefix(7);
    } else if (starts_with_nocase(v, "https://")) {
        p.secure = true;
        v.remove_prefix(8);
    } else {
        return std::nullopt;
    }
    std::size_t host_end;
    if (!v.empty() && v[0] == '[') {
        host_end = v.find(']');
        if (host_end == std::string_view::npos) return std::nullopt;
        ++host_end;
    } else {
        host_end = v.find_first_of(":/");
        if (host_end == std::string_view::npos) return std::nullopt;
    }
    if (host_end == 0) return std::nullopt;
    for (char c : v.substr(0, host_end))
        p.host += static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
    v.remove_prefix(host_end);
    if (v.empty() || v[0] != ':') return std::nullopt;
    v.remove_prefix(1);
    unsigned port = 0;
    std::size_t digits = 0;
    while (digits < v.size() && v[digits] >= '0' && v[digits] <= '9' && digits < 6)
        port = port * 10 + (v[digits++] - '0');
    if (digits == 0 || port == 0 || port > 65535) return std::nullopt;
    p.port = static_cast<uint16_t>(port);
    v.remove_prefix(digits);
    if (v.empty() || v[0] != '/' || v.back() != '/') return std::nullopt;
    auto path = canonicalize_path(v);
    if (!path || path->back() != L'/') return std::nullopt;
    p.path = *path;
    return p;
}

long match_rank(const url_prefix& p, bool secure, uint16_t port, std::string_view host_lower,
                std::wstring_view abs_path) {
    if (p.secure != secure || p.port != port) return -1;
    if (!p.any_host() && p.host != host_lower) return -1;
    const std::wstring& pp = p.path;
    bool match;
    if (abs_path.size() >= pp.size()) {
        match = true;
        for (std::size_t i = 0; i < pp.size() && match; ++i)
            match = ascii_lower(abs_path[i]) == ascii_lower(pp[i]);
    } else {
        // "/dav" reaches the prefix "/dav/".
        match = abs_path.size() + 1 == pp.size();
        for (std::size_t i = 0; i < abs_path.size() && match; ++i)
            match = ascii_lower(abs_path[i]) == ascii_lower(pp[i]);
    }
    if (!match) return -1;
    long host_rank = p.host == "+" ? 2 : (p.host == "*" ? 0 : 1);
    return static_cast<long>(pp.size()) * 4 + host_rank;
}

bool split_target(std::string_view target, std::string& host, std::string& path,
                  std::string& query) {
    host.clear();
    std::string_view rest = target;
    if (starts_with_nocase(rest, "http://") || starts_with_nocase(rest, "https://")) {
        rest.remove_prefix(rest[4] == ':' ? 7 : 8);
        std::size_t end = rest.find_first_of("/?");
        host.assign(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view("/") : rest.substr(end);
        if (rest[0] == '?') {
            path.assign(1, '/');
            query.assign(rest.substr(1));
            return !host.empty();
        }
        if (host.empty()) return false;
    } else if (rest.empty() || rest[0] != '/') {
        return false;
    }
    std::size_t q = rest.find('?');
    path.assign(rest.substr(0, q));
    if (q == std::string_view::npos)
        query.clear();
    else
        query.assign(rest.substr(q + 1));
    return true;
}

} // namespace khttp
