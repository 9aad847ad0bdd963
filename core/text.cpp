// Character classes, case, trimming, comparison, text <-> number and token
// splitting. All of it is locale-free and stateless.
#include "core/text.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

namespace cl {

// The POSIX locale's classification of the first 128 characters.
const unsigned char ctype_table[128] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 8, 8, 8, 0, 0, // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 0x10
    8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 0x20
    4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 0, 0, 0, 0, 0, 0, // 0x30
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, // 0x40
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, // 0x50
    0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, // 0x60
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 0, // 0x70
};

const char digits_lower[37] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char digits_upper[37] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char digits_base64[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

template <class C> bool sp(C c) noexcept {
    return is_ctype_u(static_cast<std::make_unsigned_t<C>>(c), ct_space);
}
template <class C> uint32_t fold(C c) noexcept {
    auto u = static_cast<uint32_t>(static_cast<std::make_unsigned_t<C>>(c));
    return u >= 'A' && u <= 'Z' ? u + 32 : u;
}

template <class C> std::basic_string_view<C> trim_view(std::basic_string_view<C> s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e && sp(s[b]))
        ++b;
    while (e > b && sp(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

template <class C> void trim_left_impl(std::basic_string<C>& s) {
    std::size_t b = 0;
    while (b < s.size() && sp(s[b]))
        ++b;
    s.erase(0, b);
}
template <class C> void trim_right_impl(std::basic_string<C>& s) noexcept {
    std::size_t e = s.size();
    while (e > 0 && sp(s[e - 1]))
        --e;
    s.resize(e);
}

template <class C>
int compare_range_impl(const C* a, std::size_t na, const C* b, std::size_t nb) noexcept {
    std::size_t n = na < nb ? na : nb;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t x = fold(a[i]), y = fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (na == nb) return 0;
    return na < nb ? -1 : 1;
}

template <class C> const C* stristr_impl(const C* text, const C* needle) noexcept {
    if (!text || !*text) return nullptr;
    if (!needle || !*needle) return text;
    for (const C* p = text; *p; ++p) {
        const C* a = p;
        const C* b = needle;
        while (*a && *b && fold(*a) == fold(*b))
            ++a, ++b;
        if (!*b) return p;
        if (!*a) return nullptr; // the rest of the text is shorter than the needle
    }
    return nullptr;
}

// Decimal reader: never overflows; saturates at the 32-bit limits.
template <class C> int32_t dec_reader(const C* p, const C* e) noexcept {
    while (p < e && sp(*p))
        ++p;
    bool neg = false;
    if (p < e && (*p == C('-') || *p == C('+'))) neg = *p++ == C('-');
    int64_t v = 0;
    for (; p < e && *p >= C('0') && *p <= C('9'); ++p) {
        if (v <= int64_t(INT32_MAX) + 1) v = v * 10 + (*p - C('0'));
    }
    if (neg) return v > int64_t(INT32_MAX) ? INT32_MIN : int32_t(-v);
    return v > INT32_MAX ? INT32_MAX : int32_t(v);
}

// Hexadecimal reader: saturates at 0xFFFFFFFF, then applies the sign modulo 2^32.
template <class C> uint32_t hex_reader(const C* p, const C* e) noexcept {
    while (p < e && sp(*p))
        ++p;
    bool neg = false;
    if (p < e && (*p == C('-') || *p == C('+'))) neg = *p++ == C('-');
    uint64_t v = 0;
    for (; p < e; ++p) {
        int d = hex_digit_value(static_cast<uint32_t>(static_cast<std::make_unsigned_t<C>>(*p)));
        if (d < 0) break;
        if (v <= 0xFFFFFFFFull) v = v * 16 + unsigned(d);
    }
    uint32_t r = v > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(v);
    return neg ? uint32_t(0u - r) : r;
}

template <class C>
std::size_t digits_impl(uint64_t v, unsigned base, const char* alphabet, C* buf,
                        std::size_t size) noexcept {
    if (size == 0) return 0;
    C tmp[65];
    std::size_t n = 0;
    do {
        tmp[n++] = C(static_cast<unsigned char>(alphabet[v % base]));
        v /= base;
    } while (v != 0);
    // Keep the least significant digits that fit.
    std::size_t keep = n < size - 1 ? n : size - 1;
    for (std::size_t i = 0; i < keep; ++i)
        buf[i] = tmp[keep - 1 - i];
    buf[keep] = C(0);
    return keep;
}

template <class C> std::size_t signed_impl(int64_t v, C* buf, std::size_t size) noexcept {
    if (v >= 0 || size == 0) return digits_impl<C>(uint64_t(v), 10, digits_lower, buf, size);
    uint64_t mag = 0 - uint64_t(v);
    if (size < 2) return digits_impl<C>(mag, 10, digits_lower, buf, size);
    buf[0] = C('-');
    return 1 + digits_impl<C>(mag, 10, digits_lower, buf + 1, size - 1);
}

template <class C> std::basic_string<C> to_text(uint64_t v, unsigned base, const char* alphabet) {
    C b[66];
    return std::basic_string<C>(b, digits_impl<C>(v, base, alphabet, b, sizeof b / sizeof b[0]));
}
template <class C> std::basic_string<C> to_text_signed(int64_t v) {
    C b[66];
    return std::basic_string<C>(b, signed_impl<C>(v, b, sizeof b / sizeof b[0]));
}

} // namespace

// --- case -------------------------------------------------------------------

void to_lower_in_place_w(std::wstring& s) noexcept {
    for (auto& c : s)
        c = to_lower_w(c);
}
void to_lower_in_place(std::string& s) noexcept {
    for (auto& c : s)
        c = to_lower_char(c);
}
std::string to_lower_copy(std::string_view s) {
    std::string r(s);
    to_lower_in_place(r);
    return r;
}
std::wstring to_lower_copy_w(std::wstring_view s) {
    std::wstring r(s);
    to_lower_in_place_w(r);
    return r;
}
std::string to_upper_copy(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        c = to_upper_char(c);
    return r;
}
std::wstring to_upper_copy_w(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r)
        c = to_upper_char_w(c);
    return r;
}

// --- trimming ---------------------------------------------------------------

void trim_left(std::string& s) {
    trim_left_impl(s);
}
void trim_left_w(std::wstring& s) {
    trim_left_impl(s);
}
void trim_right(std::string& s) noexcept {
    trim_right_impl(s);
}
void trim_right_w(std::wstring& s) noexcept {
    trim_right_impl(s);
}
void trim(std::string& s) {
    trim_left_impl(s);
    trim_right_impl(s);
}
void trim_w(std::wstring& s) {
    trim_left_impl(s);
    trim_right_impl(s);
}
std::string trim_left_copy(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i]))
        ++i;
    return std::string(s.substr(i));
}
std::wstring trim_left_copy(std::wstring_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i]))
        ++i;
    return std::wstring(s.substr(i));
}
std::string trim_right_copy(std::string_view s) {
    std::size_t n = s.size();
    while (n > 0 && is_space(s[n - 1]))
        --n;
    return std::string(s.substr(0, n));
}
std::wstring trim_right_copy(std::wstring_view s) {
    std::size_t n = s.size();
    while (n > 0 && is_space(s[n - 1]))
        --n;
    return std::wstring(s.substr(0, n));
}
wrstring rstring_trim_w(wrstring s) noexcept {
    std::wstring_view v = trimmed_w(std::wstring_view(s.data() ? s.data() : L"", s.size()));
    return v.empty() ? wrstring() : wrstring(v.data(), v.size());
}

std::string_view trimmed(std::string_view s) noexcept {
    return trim_view(s);
}
std::wstring_view trimmed_w(std::wstring_view s) noexcept {
    return trim_view(s);
}
std::string_view trimmed_blanks(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string collapse_spaces(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size() && sp(s[i]))
        ++i;
    bool in_space = false;
    for (; i < s.size(); ++i) {
        if (sp(s[i])) {
            if (!in_space) r += ' ';
            in_space = true;
        } else {
            r += s[i];
            in_space = false;
        }
    }
    if (!r.empty() && r.back() == ' ') r.pop_back();
    return r;
}

// --- comparison and search --------------------------------------------------

namespace {

// Eight bytes folded at once: each byte 'A'..'Z' gets 0x20 added, every other
// byte (bytes above 0x7F included) stays. No carry crosses a byte: a byte's
// low seven bits plus 0x3F stay below 0x100.
inline uint64_t fold8(uint64_t x) noexcept {
    constexpr uint64_t high = 0x8080808080808080ull;
    const uint64_t low7 = x & ~high;
    const uint64_t above_z = low7 + 0x2525252525252525ull; // bit 7 set from '['
    const uint64_t from_a = low7 + 0x3F3F3F3F3F3F3F3Full;  // bit 7 set from 'A'
    const uint64_t upper = (from_a ^ above_z) & ~x & high;
    return x | (upper >> 2);
}

inline uint64_t load8(const char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The n bytes at p (n at most 8) in the low bytes, the rest zero, without a
// byte loop: two overlapping four-byte loads, or three single bytes.
inline uint64_t load_upto8(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return lo | (uint64_t{hi} << (8 * (n - 4)));
    }
    if (n == 0) return 0;
    const auto byte = [p](std::size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
    return byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
}

// The same with the bytes past n filled with a letter, which no check of a
// header text flags.
inline uint64_t load_upto8_padded(const char* p, std::size_t n) noexcept {
    const uint64_t v = load_upto8(p, n);
    return n >= 8 ? v : v | (0x6161616161616161ull << (8 * n));
}

// -1, 0 or 1 as the folded words x and y (equal unless they differ) order:
// the first differing byte is the lowest one.
inline int compare_folded(uint64_t x, uint64_t y) noexcept {
    if (x == y) return 0;
    const uint64_t fx = fold8(x), fy = fold8(y);
    if (fx == fy) return 0;
    const int shift = std::countr_zero(fx ^ fy) & ~7;
    return ((fx >> shift) & 0xFF) < ((fy >> shift) & 0xFF) ? -1 : 1;
}

} // namespace

// Header names and other keys are compared all the time, most of them sharing
// a long prefix ("Content-"): eight bytes per step where both texts have them.
int compare_range(const char* a, std::size_t na, const char* b, std::size_t nb) noexcept {
    static_assert(std::endian::native == std::endian::little);
    const std::size_t n = na < nb ? na : nb;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (const int c = compare_folded(load8(a + i), load8(b + i))) return c;
    // The rest of the shorter, in one word; both are zero past it.
    if (const int c = compare_folded(load_upto8(a + i, n - i), load_upto8(b + i, n - i))) return c;
    if (na == nb) return 0;
    return na < nb ? -1 : 1;
}
int compare_range_w(const wchar_t* a, std::size_t na, const wchar_t* b, std::size_t nb) noexcept {
    return compare_range_impl(a, na, b, nb);
}
int compare_trimmed(std::string_view a, std::string_view b) noexcept {
    a = trim_view(a);
    b = trim_view(b);
    return compare_range_impl(a.data(), a.size(), b.data(), b.size());
}
int compare_trimmed_w(std::wstring_view a, std::wstring_view b) noexcept {
    a = trim_view(a);
    b = trim_view(b);
    return compare_range_impl(a.data(), a.size(), b.data(), b.size());
}

const char* stristr(const char* text, const char* needle) noexcept {
    return stristr_impl(text, needle);
}
const wchar_t* stristr_w(const wchar_t* text, const wchar_t* needle) noexcept {
    return stristr_impl(text, needle);
}

const wchar_t* find_word(const wchar_t* text, const wchar_t* word) noexcept {
    if (!text || !word) return nullptr;
    std::size_t wl = std::char_traits<wchar_t>::length(word);
    const wchar_t* from = text;
    while (const wchar_t* hit = stristr_impl(from, word)) {
        bool starts = hit == text || sp(hit[-1]);
        wchar_t after = hit[wl];
        bool ends = after == 0 || !is_alpha(after);
        if (starts && ends) return hit;
        if (!*hit) break;
        from = hit + 1;
    }
    return nullptr;
}

bool wstring_iless_fn(std::wstring_view a, std::wstring_view b) noexcept {
    return compare_range_impl(a.data(), a.size(), b.data(), b.size()) < 0;
}
bool wstring_iless::operator()(std::wstring_view a, std::wstring_view b) const noexcept {
    return wstring_iless_fn(a, b);
}
int wstring_icompare_cstr(std::wstring_view a, const wchar_t* b) noexcept {
    std::wstring_view bv = b ? std::wstring_view(b) : std::wstring_view();
    return compare_range_impl(a.data(), a.size(), bv.data(), bv.size());
}
// Equality needs no order: a rest past the last whole word is read as the
// word that ends the text, overlapping what was compared already.
bool iequals(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    // Texts mostly come in the same spelling: words that are alike need no folding.
    const auto same = [](uint64_t x, uint64_t y) { return x == y || fold8(x) == fold8(y); };
    if (n < 8) return same(load_upto8(a.data(), n), load_upto8(b.data(), n));
    for (std::size_t i = 0; i + 8 <= n; i += 8)
        if (!same(load8(a.data() + i), load8(b.data() + i))) return false;
    return n % 8 == 0 || same(load8(a.data() + n - 8), load8(b.data() + n - 8));
}
bool iequals_w(std::wstring_view a, std::wstring_view b) noexcept {
    return a.size() == b.size() && compare_range_impl(a.data(), a.size(), b.data(), b.size()) == 0;
}

namespace {

constexpr uint64_t byte_ones = 0x0101010101010101ull;
constexpr uint64_t byte_highs = 0x8080808080808080ull;

// The high bit of each byte of x below n (n at most 0x80), and perhaps of a
// byte above one that is: exact as to whether any byte is.
inline uint64_t bytes_below(uint64_t x, uint64_t n) noexcept {
    return (x - byte_ones * n) & ~x & byte_highs;
}
// The same for the bytes equal to c.
inline uint64_t bytes_equal(uint64_t x, uint64_t c) noexcept {
    const uint64_t y = x ^ (byte_ones * c);
    return (y - byte_ones) & ~y & byte_highs;
}

bool is_control(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
}

} // namespace

// Both read eight bytes a step; a rest past the last whole word is read as
// the word that ends the text, which only reads some bytes twice.
bool has_control(std::string_view s) noexcept {
    const std::size_t n = s.size();
    const auto any = [](uint64_t x) { return (bytes_below(x, 0x20) | bytes_equal(x, 0x7F)) != 0; };
    // A tab is allowed: only the bytes themselves tell.
    const auto any_but_tab = [&s] {
        for (const char c : s)
            if (is_control(c)) return true;
        return false;
    };
    if (n < 8) return any(load_upto8_padded(s.data(), n)) && any_but_tab();
    for (std::size_t i = 0; i + 8 <= n; i += 8)
        if (any(load8(s.data() + i))) return any_but_tab();
    return n % 8 != 0 && any(load8(s.data() + n - 8)) && any_but_tab();
}

bool is_field_name(std::string_view s) noexcept {
    const std::size_t n = s.size();
    if (n == 0) return false;
    const auto bad = [](uint64_t x) {
        return (bytes_below(x, 0x21) | bytes_equal(x, 0x7F) | bytes_equal(x, ':')) != 0;
    };
    if (n < 8) return !bad(load_upto8_padded(s.data(), n));
    for (std::size_t i = 0; i + 8 <= n; i += 8)
        if (bad(load8(s.data() + i))) return false;
    return n % 8 == 0 || !bad(load8(s.data() + n - 8));
}

std::size_t find_crlf(std::string_view s, std::size_t pos) noexcept {
    while (pos < s.size()) {
        const void* cr = std::memchr(s.data() + pos, '\r', s.size() - pos);
        if (!cr) return std::string_view::npos;
        pos = static_cast<std::size_t>(static_cast<const char*>(cr) - s.data());
        if (pos + 1 < s.size() && s[pos + 1] == '\n') return pos;
        ++pos;
    }
    return std::string_view::npos;
}

std::size_t strnlen_bounded(const char* s, std::size_t n) noexcept {
    std::size_t i = 0;
    if (s)
        while (i < n && s[i])
            ++i;
    return i;
}
std::size_t wcsnlen_bounded(const wchar_t* s, std::size_t n) noexcept {
    std::size_t i = 0;
    if (s)
        while (i < n && s[i])
            ++i;
    return i;
}
std::size_t str_copy_bounded(char* dst, const char* src, std::size_t n) noexcept {
    if (n == 0) return 0;
    std::size_t len = strnlen_bounded(src, n - 1);
    for (std::size_t i = 0; i < len; ++i)
        dst[i] = src[i];
    dst[len] = 0;
    return len;
}
std::size_t wcs_copy_bounded(wchar_t* dst, const wchar_t* src, std::size_t n) noexcept {
    if (n == 0) return 0;
    std::size_t len = wcsnlen_bounded(src, n - 1);
    for (std::size_t i = 0; i < len; ++i)
        dst[i] = src[i];
    dst[len] = 0;
    return len;
}

// --- text to number ---------------------------------------------------------

int hex_digit_value(uint32_t c) noexcept {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
}
int hex_pair_value(wchar_t hi, wchar_t lo) noexcept {
    int h = hex_digit_value(uint32_t(hi)), l = hex_digit_value(uint32_t(lo));
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

int32_t parse_int_n(const char* s, std::size_t n) noexcept {
    if (!s) return 0;
    return dec_reader(s, s + strnlen_bounded(s, n));
}
int32_t parse_int_n(const wchar_t* s, std::size_t n) noexcept {
    if (!s) return 0;
    return dec_reader(s, s + wcsnlen_bounded(s, n));
}

std::size_t rstring_find_unquoted(std::string_view text, std::string_view name,
                                  char separator) noexcept {
    if (name.empty()) return std::string_view::npos;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == '"') {
            quoted = true;
            continue;
        }
        const bool at_boundary =
            i == 0 || text[i - 1] == separator || is_ctype_u(uint8_t(text[i - 1]), ct_space);
        if (at_boundary && text.compare(i, name.size(), name) == 0) return i;
    }
    return std::string_view::npos;
}

int32_t rstring_to_int_w(wrstring s) noexcept {
    return dec_reader(s.begin(), s.end());
}
int32_t wstring_to_int(const std::wstring& s) noexcept {
    return dec_reader(s.data(), s.data() + s.size());
}
int32_t cstr_to_int_w(const wchar_t* s) noexcept {
    return rstring_to_int_w(wrstring(s));
}
int32_t rstring_to_int(rstring s) noexcept {
    return dec_reader(s.begin(), s.end());
}
uint32_t hex_to_int_wstr(const std::wstring& s) noexcept {
    return hex_reader(s.data(), s.data() + s.size());
}
uint32_t cstr_hex_to_int_w(const wchar_t* s) noexcept {
    return rstring_hex_to_int_w(wrstring(s));
}
uint32_t rstring_hex_to_int(rstring s) noexcept {
    return hex_reader(s.begin(), s.end());
}
uint32_t rstring_hex_to_int_w(wrstring s) noexcept {
    return hex_reader(s.begin(), s.end());
}
uint32_t hex_to_int_str(const std::string& s) noexcept {
    return hex_reader(s.data(), s.data() + s.size());
}

// --- number to text ---------------------------------------------------------

std::size_t uint64_to_digits(uint64_t v, unsigned base, const char* alphabet, char* buf,
                             std::size_t size) noexcept {
    return digits_impl<char>(v, base, alphabet, buf, size);
}
std::size_t uint64_to_digits(uint64_t v, unsigned base, const char* alphabet, wchar_t* buf,
                             std::size_t size) noexcept {
    return digits_impl<wchar_t>(v, base, alphabet, buf, size);
}
std::size_t int64_to_digits(int64_t v, char* buf, std::size_t size) noexcept {
    return signed_impl<char>(v, buf, size);
}
std::size_t int64_to_digits(int64_t v, wchar_t* buf, std::size_t size) noexcept {
    return signed_impl<wchar_t>(v, buf, size);
}

std::string int32_to_string(int32_t v) {
    return to_text_signed<char>(v);
}
std::string uint32_to_string(uint32_t v) {
    return to_text<char>(v, 10, digits_lower);
}
std::string int64_to_string(int64_t v) {
    return to_text_signed<char>(v);
}
std::string uint64_to_string(uint64_t v) {
    return to_text<char>(v, 10, digits_lower);
}
std::wstring int32_to_wstring(int32_t v) {
    return to_text_signed<wchar_t>(v);
}
std::wstring uint32_to_wstring(uint32_t v) {
    return to_text<wchar_t>(v, 10, digits_lower);
}
std::wstring int64_to_wstring(int64_t v) {
    return to_text_signed<wchar_t>(v);
}
std::wstring uint64_to_wstring(uint64_t v) {
    return to_text<wchar_t>(v, 10, digits_lower);
}
std::wstring uint16_to_hex_wstring(uint16_t v) {
    return to_text<wchar_t>(v, 16, digits_upper);
}
std::wstring uint64_to_base36_wstring(uint64_t v) {
    return to_text<wchar_t>(v, 36, digits_lower);
}

// --- token lists ------------------------------------------------------------

void split_comma_list(const char* p, std::size_t n, std::vector<std::string>& out) {
    if (!p) return;
    n = strnlen_bounded(p, n);
    token_list<char, ','> list(borrow_text, std::string_view(p, n));
    for (auto t : list)
        out.emplace_back(t.data(), t.size());
}

std::vector<std::wstring> split_blanks(std::wstring_view text) {
    std::vector<std::wstring> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space_w(text[i]))
            ++i;
        std::size_t j = i;
        while (j < text.size() && !is_space_w(text[j]))
            ++j;
        if (j > i) words.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

} // namespace cl
