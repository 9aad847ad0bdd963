// UTF-8 <-> wide text, code pages through iconv, base64.
#include "core/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>

namespace cl {

namespace {

bool valid_scalar(uint32_t cp) noexcept {
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

// Length of the sequence a lead byte starts (2-6), or 0 when it starts none.
// Five- and six-byte leads are recognised so that such a sequence is consumed
// as one ill-formed unit instead of leaking its bytes as characters.
int lead_length(unsigned char b) noexcept {
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    if ((b & 0xFC) == 0xF8) return 5;
    if ((b & 0xFE) == 0xFC) return 6;
    return 0;
}

constexpr uint32_t min_for_length[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};

// Decodes from p[0..n). Returns the bytes consumed; stops before an
// incomplete final sequence when keep_tail is set, else turns it into U+FFFD.
std::size_t decode(const unsigned char* p, std::size_t n, std::wstring& out, bool keep_tail,
                   bool& ok) {
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out += wchar_t(b);
            ++i;
            continue;
        }
        int len = lead_length(b);
        if (len == 0) { // lone continuation byte, 0xFE or 0xFF
            out += wchar_t(b);
            ok = false;
            ++i;
            continue;
        }
        // Check the continuation bytes that are there.
        std::size_t have = n - i;
        std::size_t check = have < std::size_t(len) ? have : std::size_t(len);
        bool cont_ok = true;
        for (std::size_t k = 1; k < check; ++k)
            if ((p[i + k] & 0xC0) != 0x80) {
                cont_ok = false;
                break;
            }
        if (!cont_ok) { // the lead byte starts no valid sequence
            out += wchar_t(b);
            ok = false;
            ++i;
            continue;
        }
        if (have < std::size_t(len)) { // truncated at the end of the input
            if (keep_tail) return i;
            out += replacement_char;
            ok = false;
            return n;
        }
        uint32_t cp = b & (0x7F >> len);
        for (int k = 1; k < len; ++k)
            cp = (cp << 6) | (p[i + k] & 0x3F);
        if (len > 4 || cp < min_for_length[len] || !valid_scalar(cp)) {
            // Overlong, surrogate or beyond U+10FFFF: never let it pass as
            // the character it would alias ("C0 AF" is not "/").
            out += replacement_char;
            ok = false;
        } else {
            out += wchar_t(cp);
        }
        i += std::size_t(len);
    }
    return i;
}

} // namespace

// --- UTF-8 ------------------------------------------------------------------

void append_utf8(uint32_t cp, std::string& out) {
    if (!valid_scalar(cp)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::string utf16_to_utf8(const wchar_t* p, std::size_t n) {
    std::string out;
    if (!p) return out;
    // Paths, names and page text are mostly ASCII: their leading ASCII run
    // is copied as it is, and an all-ASCII text needs nothing else. The run
    // is looked at in blocks, which the compiler turns into vector code.
    std::size_t ascii = 0;
    constexpr std::size_t block = 16;
    while (ascii + block <= n) {
        uint32_t any = 0;
        for (std::size_t k = 0; k < block; ++k)
            any |= static_cast<uint32_t>(p[ascii + k]);
        if (any >= 0x80) break;
        ascii += block;
    }
    while (ascii < n && static_cast<uint32_t>(p[ascii]) < 0x80)
        ++ascii;
    out.reserve(ascii == n ? n : n + n / 2);
    out.resize(ascii);
    for (std::size_t i = 0; i < ascii; ++i)
        out[i] = static_cast<char>(p[i]);
    if (ascii == n) return out;
    uint32_t high = 0; // a held high surrogate
    for (std::size_t i = ascii; i < n; ++i) {
        uint32_t c = static_cast<uint32_t>(p[i]);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (high) append_utf8(0xFFFD, out); // a high surrogate without its partner
            high = c;
            continue;
        }
        if (c >= 0xDC00 && c <= 0xDFFF && high) {
            append_utf8(((high - 0xD800) << 10) + (c - 0xDC00) + 0x10000, out);
            high = 0;
            continue;
        }
        if (high) {
            append_utf8(0xFFFD, out);
            high = 0;
        }
        append_utf8(c, out); // lone low surrogates and values past U+10FFFF give U+FFFD
    }
    if (high) append_utf8(0xFFFD, out);
    return out;
}
std::string utf16_to_utf8(std::wstring_view s) {
    return utf16_to_utf8(s.data(), s.size());
}

std::wstring utf8_to_utf16(std::string_view s) {
    std::wstring out;
    out.reserve(s.size());
    bool ok = true;
    decode(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out, false, ok);
    return out;
}

bool utf8_decode_append(std::string& input, std::wstring& out) {
    bool ok = true;
    std::size_t used =
        decode(reinterpret_cast<const unsigned char*>(input.data()), input.size(), out, true, ok);
    if (used == input.size())
        input.clear();
    else if (used)
        input.erase(0, used);
    return ok;
}

void code_point_to_utf16(uint32_t cp, std::wstring& out) {
    if (cp >= 0x110000)
        out += L'?';
    else if (cp >= 0xD800 && cp <= 0xDFFF)
        out += replacement_char;
    else
        out += wchar_t(cp);
}

bool is_valid_utf8(std::string_view s) noexcept {
    std::wstring scratch;
    bool ok = true;
    try {
        decode(reinterpret_cast<const unsigned char*>(s.data()), s.size(), scratch, false, ok);
    } catch (...) {
        return false;
    }
    return ok;
}

std::size_t utf8_cut(std::string_view s, std::size_t max) noexcept {
    if (max >= s.size()) return s.size();
    std::size_t cut = max;
    // Back off over continuation bytes, at most three, to the lead byte.
    std::size_t k = cut;
    int steps = 0;
    while (k > 0 && steps < 4 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80)
        --k, ++steps;
    if (steps > 0 && lead_length(static_cast<unsigned char>(s[k])) > steps) cut = k;
    return cut;
}

// --- code pages -------------------------------------------------------------

namespace {

bool is_utf8_page(unsigned cp) noexcept {
    return cp == cp_acp || cp == cp_oemcp || cp == 2 /* CP_MACCP */ || cp == cp_thread_acp ||
           cp == cp_utf8;
}

// The iconv name of a Windows code page; empty when there is none.
std::string iconv_name(unsigned cp) {
    switch (cp) {
    case 1200:
        return "UTF-16LE";
    case 1201:
        return "UTF-16BE";
    case 12000:
        return "UTF-32LE";
    case 12001:
        return "UTF-32BE";
    case 20127:
        return "ASCII";
    case 20866:
        return "KOI8-R";
    case 21866:
        return "KOI8-U";
    case 20932:
        return "EUC-JP";
    case 51932:
        return "EUC-JP";
    case 51949:
        return "EUC-KR";
    case 50220:
        return "ISO-2022-JP";
    case 50225:
        return "ISO-2022-KR";
    case 52936:
        return "HZ-GB-2312";
    case 54936:
        return "GB18030";
    case 65000:
        return "UTF-7";
    case 10000:
        return "MACINTOSH";
    default:
        break;
    }
    if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
    if (cp >= 37 && cp < 65000) return "CP" + std::to_string(cp);
    return {};
}

class iconv_handle {
  public:
    iconv_handle(const char* to, const char* from) : h_(iconv_open(to, from)) {}
    ~iconv_handle() {
        if (ok()) iconv_close(h_);
    }
    iconv_handle(const iconv_handle&) = delete;
    iconv_handle& operator=(const iconv_handle&) = delete;
    bool ok() const noexcept { return h_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const noexcept { return h_; }

  private:
    iconv_t h_;
};

// Runs iconv over the whole input. Input it cannot convert is skipped by
// skip_unit bytes and replaced by the given bytes. False when iconv fails.
bool run_iconv(iconv_t h, const char* in, std::size_t in_len, std::string& out,
               std::size_t skip_unit, const char* repl, std::size_t repl_len) {
    char* src = const_cast<char*>(in);
    std::size_t left = in_len;
    char buf[4096];
    while (left > 0) {
        char* dst = buf;
        std::size_t room = sizeof buf;
        std::size_t r = iconv(h, &src, &left, &dst, &room);
        out.append(buf, std::size_t(dst - buf));
        if (r != std::size_t(-1) || errno == E2BIG) continue;
        if (errno != EILSEQ && errno != EINVAL) return false;
        // Input the code page cannot express (or a truncated tail): skip one
        // unit and put the replacement in its place.
        std::size_t skip = left < skip_unit ? left : skip_unit;
        src += skip;
        left -= skip;
        out.append(repl, repl_len);
    }
    // Return to the initial shift state (stateful encodings).
    char* dst = buf;
    std::size_t room = sizeof buf;
    iconv(h, nullptr, nullptr, &dst, &room);
    out.append(buf, std::size_t(dst - buf));
    return true;
}

} // namespace

std::wstring mb_to_wide(const char* p, std::size_t n, unsigned code_page) {
    if (!p || n == 0) return {};
    if (is_utf8_page(code_page)) return utf8_to_utf16(std::string_view(p, n));
    std::string name = iconv_name(code_page);
    if (name.empty()) return {};
    iconv_handle h("WCHAR_T", name.c_str());
    if (!h.ok()) return {};
    std::string bytes;
    const wchar_t repl = replacement_char;
    if (!run_iconv(h.get(), p, n, bytes, 1, reinterpret_cast<const char*>(&repl), sizeof repl))
        return {};
    std::wstring out(bytes.size() / sizeof(wchar_t), L'\0');
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(wchar_t));
    return out;
}
std::wstring mb_to_wide_cstr(const char* p, unsigned code_page) {
    return p ? mb_to_wide(p, std::strlen(p), code_page) : std::wstring();
}
std::wstring mb_to_wide_str(const std::string& s, unsigned code_page) {
    return mb_to_wide(s.data(), s.size(), code_page);
}
std::wstring to_wstring_acp(const char* p) {
    return mb_to_wide_cstr(p, cp_thread_acp);
}

std::string wide_to_mb(const wchar_t* p, std::size_t n, unsigned code_page) {
    if (!p || n == 0) return {};
    if (is_utf8_page(code_page)) return utf16_to_utf8(p, n);
    std::string name = iconv_name(code_page);
    if (name.empty()) return {};
    iconv_handle h(name.c_str(), "WCHAR_T");
    if (!h.ok()) return {};
    std::string out;
    if (!run_iconv(h.get(), reinterpret_cast<const char*>(p), n * sizeof(wchar_t), out,
                   sizeof(wchar_t), "?", 1))
        return {};
    return out;
}
std::string wide_to_mb_cstr(const wchar_t* p, unsigned code_page) {
    return p ? wide_to_mb(p, std::char_traits<wchar_t>::length(p), code_page) : std::string();
}
std::string wide_to_mb_wstr(const std::wstring& s, unsigned code_page) {
    return wide_to_mb(s.data(), s.size(), code_page);
}

bool mb_to_wide_buf(wchar_t* buf, std::size_t n, const char* src, bool truncate) {
    if (!buf || n == 0) return false;
    buf[0] = 0;
    if (!src) return true;
    std::wstring w = to_wstring_acp(src);
    if (w.size() < n) {
        w.copy(buf, w.size());
        buf[w.size()] = 0;
        return true;
    }
    if (truncate) {
        w.copy(buf, n - 1);
        buf[n - 1] = 0;
    }
    return false;
}

bool wide_to_mb_buf(char* buf, std::size_t n, const wchar_t* src, bool truncate) {
    if (!buf || n == 0) return false;
    buf[0] = 0;
    if (!src) return true;
    std::string s = wide_to_mb_cstr(src, cp_thread_acp);
    if (s.size() < n) {
        s.copy(buf, s.size());
        buf[s.size()] = 0;
        return true;
    }
    if (truncate) {
        std::size_t cut = utf8_cut(s, n - 1);
        s.copy(buf, cut);
        buf[cut] = 0;
    }
    return false;
}

std::string to_oem(std::string_view s) {
    return std::string(s);
}
std::string to_oem(std::wstring_view s) {
    return utf16_to_utf8(s);
}

// --- base64 -----------------------------------------------------------------

std::string base64_decode(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 3 / 4 + 8);
    uint32_t acc = 0;
    int pos = 0;
    bool padded = false;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '=') {
            padded = true;
            break;
        }
        // Line breaks and blanks of wrapped base64 carry no data.
        if (is_ctype_u(c, ct_space)) continue;
        uint32_t v = 0;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        acc = (acc << 6) | v;
        if (++pos == 4) {
            out += char((acc >> 16) & 0xFF);
            out += char((acc >> 8) & 0xFF);
            out += char(acc & 0xFF);
            acc = 0;
            pos = 0;
        }
    }
    // An incomplete group counts only when "=" ended the input.
    if (padded && pos == 2) {
        out += char((acc >> 4) & 0xFF);
    } else if (padded && pos == 3) {
        out += char((acc >> 10) & 0xFF);
        out += char((acc >> 2) & 0xFF);
    }
    return out;
}

} // namespace cl
