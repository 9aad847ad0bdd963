#include "platform/script_engine/engine.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace script_engine {

namespace {

void put3(std::string& out, uint32_t u) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
}

// The length of the ASCII run that s starts with, eight bytes at a look.
std::size_t ascii_prefix(std::string_view s) {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    while (i < s.size() && static_cast<uint8_t>(s[i]) < 0x80)
        ++i;
    return i;
}

} // namespace

std::string wide_to_engine(std::wstring_view s) {
    if (std::all_of(s.begin(), s.end(), [](wchar_t c) { return static_cast<uint32_t>(c) < 0x80; }))
        return std::string(s.begin(), s.end());
    std::string out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            put3(out, c);
        } else {
            // Two UTF-16 units, each in its own three-byte form.
            c -= 0x10000;
            put3(out, 0xD800 | (c >> 10));
            put3(out, 0xDC00 | (c & 0x3FF));
        }
    }
    return out;
}

std::wstring engine_to_wide(std::string_view s) {
    // Page text is mostly ASCII: that needs no decoding.
    if (ascii_prefix(s) == s.size()) return std::wstring(s.begin(), s.end());
    std::wstring out;
    out.reserve(s.size());
    std::size_t i = 0;
    // Decodes one sequence; malformed bytes give U+FFFD and move on by one.
    auto next = [&]() -> uint32_t {
        const uint8_t b = static_cast<uint8_t>(s[i]);
        int len = b < 0x80             ? 1
                  : (b & 0xE0) == 0xC0 ? 2
                  : (b & 0xF0) == 0xE0 ? 3
                  : (b & 0xF8) == 0xF0 ? 4
                                       : 0;
        if (len == 0 || i + len > s.size()) {
            ++i;
            return 0xFFFD;
        }
        uint32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k < len; ++k) {
            const uint8_t t = static_cast<uint8_t>(s[i + k]);
            if ((t & 0xC0) != 0x80) {
                ++i;
                return 0xFFFD;
            }
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr uint32_t min_of[] = {0, 0, 0x80, 0x800, 0x10000};
        i += len;
        if (c < min_of[len] || c > 0x10FFFF) return 0xFFFD;
        return c;
    };
    while (i < s.size()) {
        uint32_t c = next();
        if (c >= 0xD800 && c <= 0xDBFF) {
            const std::size_t save = i;
            if (i < s.size()) {
                const uint32_t d = next();
                if (d >= 0xDC00 && d <= 0xDFFF) {
                    out.push_back(
                        static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00)));
                    continue;
                }
            }
            i = save;
            c = 0xFFFD;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

bool engine_text_is_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<uint8_t>(s[i]);
        if (b < 0x80) {
            i += ascii_prefix(s.substr(i));
            continue;
        }
        const std::size_t len = (b & 0xE0) == 0xC0   ? 2
                                : (b & 0xF0) == 0xE0 ? 3
                                : (b & 0xF8) == 0xF0 ? 4
                                                     : 0;
        if (len == 0 || i + len > s.size()) return false;
        uint32_t c = b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<uint8_t>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr uint32_t min_of[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < min_of[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

} // namespace script_engine
