#include "platform/registry/store.h"

#include "platform/registry/registry.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <locale.h>
#include <wctype.h>

namespace registry::detail {

namespace {

constexpr std::string_view header = "teskqvel registry 1";

locale_t upper_locale() {
    // The built-in C.UTF-8 locale knows the Unicode case tables; without it
    // only ASCII folds.
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return loc;
}

bool is_scalar(uint32_t c) {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// One strict UTF-8 sequence at s[i]; advances i. False for overlong forms,
// surrogates, values past U+10FFFF and cut sequences.
bool get_utf8(std::string_view s, std::size_t& i, uint32_t& c) {
    const auto b0 = uint8_t(s[i]);
    std::size_t n;
    uint32_t min;
    if (b0 < 0x80) {
        c = b0;
        ++i;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        n = 1, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 2, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 3, c = b0 & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
        const auto b = uint8_t(s[i + k]);
        if ((b & 0xC0) != 0x80) return false;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || !is_scalar(c)) return false;
    i += n + 1;
    return true;
}

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool parse_hex(std::string_view s, uint32_t& v) {
    v = 0;
    for (char ch : s) {
        const int d = hex_digit(ch);
        if (d < 0) return false;
        v = (v << 4) | uint32_t(d);
    }
    return true;
}

constexpr char hex_chars[] = "0123456789abcdef";

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto pos = s.find(sep, start);
        parts.push_back(s.substr(start, pos == s.npos ? s.npos : pos - start));
        if (pos == s.npos) break;
        start = pos + 1;
    }
    return parts;
}

template <class T> void append_decimal(std::string& out, T v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

template <class T> bool parse_decimal(std::string_view s, T& v) {
    if (s.empty()) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool is_string_type(uint32_t type) {
    return type == reg_sz || type == reg_expand_sz || type == reg_multi_sz;
}

void write_payload(std::string& out, const value_entry& v) {
    const auto n = v.data.size();
    if (is_string_type(v.type) && n % sizeof(wchar_t) == 0) {
        std::wstring text(n / sizeof(wchar_t), L'\0');
        if (n) std::memcpy(text.data(), v.data.data(), n);
        out += "s:";
        out += escape(text, false);
    } else if (v.type == reg_dword && n == 4) {
        uint32_t d;
        std::memcpy(&d, v.data.data(), 4);
        out += "d:";
        append_decimal(out, d);
    } else if (v.type == reg_qword && n == 8) {
        uint64_t q;
        std::memcpy(&q, v.data.data(), 8);
        out += "q:";
        append_decimal(out, q);
    } else {
        out += "x:";
        for (uint8_t b : v.data) {
            out += hex_chars[b >> 4];
            out += hex_chars[b & 15];
        }
    }
}

bool read_payload(std::string_view p, value_entry& v) {
    if (p.size() < 2 || p[1] != ':') return false;
    const auto body = p.substr(2);
    v.data.clear();
    switch (p[0]) {
    case 's': {
        std::wstring text;
        if (!unescape(body, text)) return false;
        v.data.resize(text.size() * sizeof(wchar_t));
        if (!text.empty()) std::memcpy(v.data.data(), text.data(), v.data.size());
        return true;
    }
    case 'd': {
        uint32_t d;
        if (!parse_decimal(body, d)) return false;
        v.data.resize(4);
        std::memcpy(v.data.data(), &d, 4);
        return true;
    }
    case 'q': {
        uint64_t q;
        if (!parse_decimal(body, q)) return false;
        v.data.resize(8);
        std::memcpy(v.data.data(), &q, 8);
        return true;
    }
    case 'x': {
        if (body.size() % 2) return false;
        v.data.reserve(body.size() / 2);
        for (std::size_t i = 0; i < body.size(); i += 2) {
            const int hi = hex_digit(body[i]), lo = hex_digit(body[i + 1]);
            if (hi < 0 || lo < 0) return false;
            v.data.push_back(uint8_t(hi << 4 | lo));
        }
        return true;
    }
    default:
        return false;
    }
}

void write_key(std::string& out, const key_node& key, std::string& path) {
    out += "K\t";
    out += path;
    out += '\n';
    for (const auto& v : key.values) {
        out += "V\t";
        out += escape(v.name, false);
        out += '\t';
        append_decimal(out, v.type);
        out += '\t';
        write_payload(out, v);
        out += '\n';
    }
    for (const auto& sub : key.subkeys) {
        const auto len = path.size();
        if (!path.empty()) path += '\\';
        path += escape(sub.name, true);
        write_key(out, sub, path);
        path.resize(len);
    }
}

} // namespace

std::wstring fold(std::wstring_view s) {
    std::wstring r(s);
    const locale_t loc = upper_locale();
    for (auto& c : r) {
        if (c >= L'a' && c <= L'z')
            c = wchar_t(c - 32);
        else if (uint32_t(c) >= 0x80 && loc != locale_t(0) && is_scalar(uint32_t(c)))
            c = wchar_t(towupper_l(wint_t(c), loc));
    }
    return r;
}

bool names_equal(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && fold(a) == fold(b);
}

namespace {
auto subkey_position(key_node& key, const std::wstring& folded) {
    return std::lower_bound(
        key.subkeys.begin(), key.subkeys.end(), folded,
        [](const key_node& k, const std::wstring& f) { return fold(k.name) < f; });
}
} // namespace

key_node* find_subkey(key_node& key, std::wstring_view name) {
    const auto f = fold(name);
    auto it = subkey_position(key, f);
    return it != key.subkeys.end() && fold(it->name) == f ? &*it : nullptr;
}

key_node& add_subkey(key_node& key, std::wstring_view name, bool* created) {
    const auto f = fold(name);
    auto it = subkey_position(key, f);
    if (it != key.subkeys.end() && fold(it->name) == f) {
        if (created) *created = false;
        return *it;
    }
    if (created) *created = true;
    key_node node;
    node.name = std::wstring(name);
    return *key.subkeys.insert(it, std::move(node));
}

bool remove_subkey(key_node& key, std::wstring_view name) {
    const auto f = fold(name);
    auto it = subkey_position(key, f);
    if (it == key.subkeys.end() || fold(it->name) != f) return false;
    key.subkeys.erase(it);
    return true;
}

value_entry* find_value(key_node& key, std::wstring_view name) {
    for (auto& v : key.values)
        if (names_equal(v.name, name)) return &v;
    return nullptr;
}

std::string escape(std::wstring_view s, bool escape_backslash) {
    std::string out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
        const auto c = uint32_t(wc);
        if (!is_scalar(c)) {
            out += "%u";
            for (int shift = 28; shift >= 0; shift -= 4)
                out += hex_chars[(c >> shift) & 15];
        } else if (c < 0x20 || c == 0x7F || c == '%' || (c == '\\' && escape_backslash)) {
            out += '%';
            out += hex_chars[c >> 4];
            out += hex_chars[c & 15];
        } else {
            put_utf8(out, c);
        }
    }
    return out;
}

bool unescape(std::string_view s, std::wstring& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size();) {
        uint32_t c;
        if (s[i] == '%') {
            if (i + 1 < s.size() && s[i + 1] == 'u') {
                if (s.size() - i < 10 || !parse_hex(s.substr(i + 2, 8), c)) return false;
                i += 10;
            } else {
                if (s.size() - i < 3 || !parse_hex(s.substr(i + 1, 2), c)) return false;
                i += 3;
            }
        } else if (!get_utf8(s, i, c)) {
            return false;
        }
        out += wchar_t(c);
    }
    return true;
}

std::string serialize(const key_node& root) {
    std::string out(header);
    out += '\n';
    std::string path;
    write_key(out, root, path);
    return out;
}

bool parse(std::string_view text, key_node& root, std::size_t* skipped) {
    root = key_node{};
    std::size_t bad = 0;
    auto lines = split(text, '\n');
    for (auto& l : lines)
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (lines.empty() || lines[0] != header) return false;

    key_node* current = nullptr;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        const auto line = lines[n];
        if (line.empty()) continue;
        const auto fields = split(line, '\t');
        if (fields[0] == "K" && fields.size() == 2) {
            current = nullptr;
            key_node* key = &root;
            bool ok = true;
            if (!fields[1].empty()) {
                const auto parts = split(fields[1], '\\');
                std::vector<std::wstring> names;
                ok = parts.size() <= max_depth;
                for (std::size_t i = 0; ok && i < parts.size(); ++i) {
                    std::wstring name;
                    ok = unescape(parts[i], name) && !name.empty() && name.size() <= max_key_name &&
                         name.find(L'\\') == name.npos;
                    names.push_back(std::move(name));
                }
                if (ok)
                    for (const auto& name : names)
                        key = &add_subkey(*key, name);
            }
            if (ok)
                current = key;
            else
                ++bad;
        } else if (fields[0] == "V" && fields.size() == 4 && current) {
            value_entry v;
            if (!unescape(fields[1], v.name) || v.name.size() > max_value_name ||
                !parse_decimal(fields[2], v.type) || !read_payload(fields[3], v) ||
                v.data.size() > max_value_size) {
                ++bad;
                continue;
            }
            if (auto* old = find_value(*current, v.name))
                *old = std::move(v);
            else
                current->values.push_back(std::move(v));
        } else {
            ++bad;
        }
    }
    if (skipped) *skipped = bad;
    return true;
}

} // namespace registry::detail
