// Text utilities of the class library: character classes and case by a fixed
// ASCII table (never the user's locale), trimming, comparison and search,
// token lists, text <-> number, UTF-8 / wide / code-page conversion and base64.
// Wide text holds one code point per element; narrow text is UTF-8 unless a
// code page is named.
#pragma once
#include "core/rstring.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cl {

// ---------------------------------------------------------------------------
// Character classes: 1 upper case, 2 lower case, 4 decimal digit, 8 white
// space (HT, LF, VT, FF, CR, blank). Only characters below 128 have a class.

enum ctype_mask : unsigned { ct_upper = 1, ct_lower = 2, ct_digit = 4, ct_space = 8, ct_alpha = 3 };

extern const unsigned char ctype_table[128];

constexpr bool is_ctype_u(uint32_t c, unsigned mask) noexcept {
    return c < 128 && (ctype_table[c] & mask) != 0;
}
inline bool is_ctype(char c, unsigned mask) noexcept {
    return is_ctype_u(static_cast<unsigned char>(c), mask);
}
inline bool is_ctype(wchar_t c, unsigned mask) noexcept {
    return is_ctype_u(static_cast<uint32_t>(c), mask);
}

inline bool is_space(char c) noexcept {
    return is_ctype(c, ct_space);
}
inline bool is_space(wchar_t c) noexcept {
    return is_ctype(c, ct_space);
}
inline bool is_alpha(char c) noexcept {
    return is_ctype(c, ct_alpha);
}
inline bool is_alpha(wchar_t c) noexcept {
    return is_ctype(c, ct_alpha);
}
inline bool is_upper(char c) noexcept {
    return is_ctype(c, ct_upper);
}
inline bool is_upper(wchar_t c) noexcept {
    return is_ctype(c, ct_upper);
}
inline bool is_lower(char c) noexcept {
    return is_ctype(c, ct_lower);
}
inline bool is_lower(wchar_t c) noexcept {
    return is_ctype(c, ct_lower);
}
inline bool is_digit(char c) noexcept {
    return is_ctype(c, ct_digit);
}
inline bool is_digit(wchar_t c) noexcept {
    return is_ctype(c, ct_digit);
}
inline bool is_upper_w(wchar_t c) noexcept {
    return is_ctype(c, ct_upper);
}
inline bool is_digit_w(wchar_t c) noexcept {
    return is_ctype(c, ct_digit);
}
inline bool is_space_w(wchar_t c) noexcept {
    return is_ctype(c, ct_space);
}

// ---------------------------------------------------------------------------
// Case: ASCII letters only; every other character is unchanged.

constexpr char to_lower_char(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}
constexpr char to_upper_char(char c) noexcept {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}
constexpr wchar_t to_lower_w(wchar_t c) noexcept {
    return c >= L'A' && c <= L'Z' ? wchar_t(c + 32) : c;
}
constexpr wchar_t to_upper_char_w(wchar_t c) noexcept {
    return c >= L'a' && c <= L'z' ? wchar_t(c - 32) : c;
}

void to_lower_in_place_w(std::wstring& s) noexcept;
void to_lower_in_place(std::string& s) noexcept;
std::string to_lower_copy(std::string_view s);
std::wstring to_lower_copy_w(std::wstring_view s);
std::string to_upper_copy(std::string_view s);
std::wstring to_upper_copy_w(std::wstring_view s);

// ---------------------------------------------------------------------------
// Trimming (white space as above), in place.

void trim_left(std::string& s);
void trim_left_w(std::wstring& s);
void trim_right(std::string& s) noexcept;
void trim_right_w(std::wstring& s) noexcept;
void trim(std::string& s);
void trim_w(std::wstring& s);
std::string_view trimmed(std::string_view s) noexcept;
std::wstring_view trimmed_w(std::wstring_view s) noexcept;
// Without the blanks and tabs at either end (HTTP's optional white space).
std::string_view trimmed_blanks(std::string_view s) noexcept;
// Copies without leading, or without trailing, white space.
std::string trim_left_copy(std::string_view s);
std::wstring trim_left_copy(std::wstring_view s);
std::string trim_right_copy(std::string_view s);
std::wstring trim_right_copy(std::wstring_view s);
// The view without white space at either end.
wrstring rstring_trim_w(wrstring s) noexcept;

// Leading white space dropped, each inner run of white space made one blank,
// one trailing blank removed.
std::string collapse_spaces(std::string_view s);

// ---------------------------------------------------------------------------
// Comparison and search (ASCII case folding).

// Three-way comparison ignoring ASCII case over the shorter length; when equal
// there, the difference of the lengths decides.
int compare_range(const char* a, std::size_t na, const char* b, std::size_t nb) noexcept;
int compare_range_w(const wchar_t* a, std::size_t na, const wchar_t* b, std::size_t nb) noexcept;
// The same after trimming white space at both ends of both texts.
int compare_trimmed(std::string_view a, std::string_view b) noexcept;
int compare_trimmed_w(std::wstring_view a, std::wstring_view b) noexcept;

// First occurrence of needle in text ignoring ASCII case; null when absent or
// when text is empty (or null); an empty needle matches at the start.
const char* stristr(const char* text, const char* needle) noexcept;
const wchar_t* stristr_w(const wchar_t* text, const wchar_t* needle) noexcept;
// As stristr_w, but the match must start the text or follow white space and
// must be followed by the end or a non-letter (command-line switches).
const wchar_t* find_word(const wchar_t* text, const wchar_t* word) noexcept;

// Strict weak order of wide strings ignoring the case of A-Z (both sides
// folded to lower case, compared as unsigned values, a proper prefix first).
struct wstring_iless {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept;
};
bool wstring_iless_fn(std::wstring_view a, std::wstring_view b) noexcept;
// Three-way comparison folded the same way; 0 when equal.
int wstring_icompare_cstr(std::wstring_view a, const wchar_t* b) noexcept;
// ASCII-case-insensitive equality.
bool iequals(std::string_view a, std::string_view b) noexcept;
bool iequals_w(std::wstring_view a, std::wstring_view b) noexcept;

// Header texts, eight bytes per step (every answer passes a few dozen of them
// through these checks, and nearly all are plain).
// True when s holds a control byte: below 0x20 other than a tab, or 0x7F.
bool has_control(std::string_view s) noexcept;
// True when s could stand before the colon of a header line: not empty, and no
// control byte, tab, space or colon.
bool is_field_name(std::string_view s) noexcept;
// Where the next CR LF at or after pos begins; npos when there is none.
std::size_t find_crlf(std::string_view s, std::size_t pos = 0) noexcept;

// Length of a zero-terminated text, at most n (a null pointer has length 0).
std::size_t strnlen_bounded(const char* s, std::size_t n) noexcept;
std::size_t wcsnlen_bounded(const wchar_t* s, std::size_t n) noexcept;
// Copies at most n - 1 characters and always terminates inside the n-character
// buffer; n 0 writes nothing. Returns the number of characters copied.
std::size_t str_copy_bounded(char* dst, const char* src, std::size_t n) noexcept;
std::size_t wcs_copy_bounded(wchar_t* dst, const wchar_t* src, std::size_t n) noexcept;

// ---------------------------------------------------------------------------
// Text to number. Leading white space is skipped, then one optional "-" or
// "+", then digits up to the first other character; no digits gives 0. The
// value never overflows: decimal readers saturate at INT32_MIN / INT32_MAX,
// hexadecimal readers at 0xFFFFFFFF before the sign is applied (modulo 2^32).

int32_t rstring_to_int_w(wrstring s) noexcept;
int32_t wstring_to_int(const std::wstring& s) noexcept;
int32_t cstr_to_int_w(const wchar_t* s) noexcept;
int32_t rstring_to_int(rstring s) noexcept;
uint32_t hex_to_int_wstr(const std::wstring& s) noexcept;
uint32_t cstr_hex_to_int_w(const wchar_t* s) noexcept;
uint32_t rstring_hex_to_int(rstring s) noexcept;
uint32_t rstring_hex_to_int_w(wrstring s) noexcept;
uint32_t hex_to_int_str(const std::string& s) noexcept;
// The decimal reader above over the first n characters only (fewer when the
// text ends sooner); a null text gives 0.
int32_t parse_int_n(const char* s, std::size_t n) noexcept;
int32_t parse_int_n(const wchar_t* s, std::size_t n) noexcept;

// Position of name in text outside double-quoted parts (a backslash inside
// quotes skips the next character), where the match starts the text or
// follows the separator or white space; npos when there is none.
std::size_t rstring_find_unquoted(std::string_view text, std::string_view name,
                                  char separator = ',') noexcept;

// Value of one hexadecimal digit, -1 when c is none.
int hex_digit_value(uint32_t c) noexcept;
// Value of two hexadecimal digit characters; -1 when either is not a digit.
int hex_pair_value(wchar_t hi, wchar_t lo) noexcept;

// ---------------------------------------------------------------------------
// Number to text. Each routine writes the digits of the value, most
// significant first, zero-terminated, into (buf, size) and returns the number
// of characters written. size 0 writes nothing; at most size - 1 characters
// are written, and surplus most significant digits are lost. Signed decimal
// forms write "-" first (when size is at least 2) and count it.

extern const char digits_lower[37];
extern const char digits_upper[37];
extern const char digits_base64[65];

std::size_t uint64_to_digits(uint64_t v, unsigned base, const char* alphabet, char* buf,
                             std::size_t size) noexcept;
std::size_t uint64_to_digits(uint64_t v, unsigned base, const char* alphabet, wchar_t* buf,
                             std::size_t size) noexcept;
std::size_t int64_to_digits(int64_t v, char* buf, std::size_t size) noexcept;
std::size_t int64_to_digits(int64_t v, wchar_t* buf, std::size_t size) noexcept;

// Decimal.
inline std::size_t int32_to_dec(int32_t v, char* b, std::size_t n) noexcept {
    return int64_to_digits(v, b, n);
}
inline std::size_t uint32_to_dec(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 10, digits_lower, b, n);
}
inline std::size_t int64_to_chars(int64_t v, char* b, std::size_t n) noexcept {
    return int64_to_digits(v, b, n);
}
inline std::size_t uint64_to_chars(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 10, digits_lower, b, n);
}
inline std::size_t int_to_wchars(int32_t v, wchar_t* b, std::size_t n) noexcept {
    return int64_to_digits(v, b, n);
}
inline std::size_t uint_to_wchars(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 10, digits_lower, b, n);
}
inline std::size_t int64_to_dec_w(int64_t v, wchar_t* b, std::size_t n) noexcept {
    return int64_to_digits(v, b, n);
}
inline std::size_t uint64_to_dec_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 10, digits_lower, b, n);
}
// Octal.
inline std::size_t uint32_to_oct(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 8, digits_lower, b, n);
}
inline std::size_t uint64_to_oct(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 8, digits_lower, b, n);
}
inline std::size_t uint32_to_oct_w(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 8, digits_lower, b, n);
}
inline std::size_t uint64_to_oct_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 8, digits_lower, b, n);
}
// Hexadecimal.
inline std::size_t uint32_to_hex(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_lower, b, n);
}
inline std::size_t uint64_to_hex(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_lower, b, n);
}
inline std::size_t uint_to_hex_w(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_lower, b, n);
}
inline std::size_t uint64_to_hex_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_lower, b, n);
}
inline std::size_t uint32_to_hex_upper(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_upper, b, n);
}
inline std::size_t uint64_to_hex_upper(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_upper, b, n);
}
inline std::size_t uint_to_hex_upper_w(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_upper, b, n);
}
inline std::size_t uint64_to_hex_upper_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 16, digits_upper, b, n);
}
// Base 36.
inline std::size_t uint32_to_base36(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_lower, b, n);
}
inline std::size_t uint64_to_base36(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_lower, b, n);
}
inline std::size_t uint32_to_base36_upper(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_upper, b, n);
}
inline std::size_t uint64_to_base36_upper(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_upper, b, n);
}
inline std::size_t uint32_to_base36_w(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_lower, b, n);
}
inline std::size_t uint64_to_base36_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_lower, b, n);
}
inline std::size_t uint32_to_base36_upper_w(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_upper, b, n);
}
inline std::size_t uint64_to_base36_upper_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 36, digits_upper, b, n);
}
// Base 64 digits ("A" is 0).
inline std::size_t uint32_to_base64(uint32_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 64, digits_base64, b, n);
}
inline std::size_t uint64_to_base64(uint64_t v, char* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 64, digits_base64, b, n);
}
inline std::size_t uint32_to_base64_w(uint32_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 64, digits_base64, b, n);
}
inline std::size_t uint64_to_base64_w(uint64_t v, wchar_t* b, std::size_t n) noexcept {
    return uint64_to_digits(v, 64, digits_base64, b, n);
}

std::string int32_to_string(int32_t v);
std::string uint32_to_string(uint32_t v);
std::string int64_to_string(int64_t v);
std::string uint64_to_string(uint64_t v);
std::wstring int32_to_wstring(int32_t v);
std::wstring uint32_to_wstring(uint32_t v);
std::wstring int64_to_wstring(int64_t v);
std::wstring uint64_to_wstring(uint64_t v);
// Upper-case hexadecimal of a 16-bit value.
std::wstring uint16_to_hex_wstring(uint16_t v);
// Lower-case base 36.
std::wstring uint64_to_base36_wstring(uint64_t v);

// ---------------------------------------------------------------------------
// Token lists: one text split into tokens kept as views into it. From the
// current position separators and white space are skipped; a token runs to the
// next separator or the end, its trailing white space dropped. Empty tokens
// never appear; white space inside a token stays.

struct borrow_text_t {
    explicit borrow_text_t() = default;
};
inline constexpr borrow_text_t borrow_text{};

template <class C, C Sep> class token_list {
  public:
    using view_type = basic_rstring<C>;

    token_list() = default;
    // Copies the text into the list and splits the copy.
    explicit token_list(std::basic_string_view<C> text) : text_(text) { split(text_); }
    explicit token_list(const C* text)
        : token_list(std::basic_string_view<C>(text ? text : empty_())) {}
    explicit token_list(const std::basic_string<C>& text)
        : token_list(std::basic_string_view<C>(text)) {}
    // Splits the caller's text, which must outlive the list.
    token_list(borrow_text_t, std::basic_string_view<C> text) { split(text); }

    token_list(const token_list& o) : text_(o.text_), tokens_(o.tokens_) { rebase(o); }
    token_list& operator=(const token_list& o) {
        if (this != &o) {
            text_ = o.text_;
            tokens_ = o.tokens_;
            rebase(o);
        }
        return *this;
    }
    token_list(token_list&& o) noexcept(false) : token_list(static_cast<const token_list&>(o)) {}
    token_list& operator=(token_list&& o) { return *this = static_cast<const token_list&>(o); }

    std::size_t size() const noexcept { return tokens_.size(); }
    bool empty() const noexcept { return tokens_.empty(); }
    view_type operator[](std::size_t i) const noexcept { return tokens_[i]; }
    auto begin() const noexcept { return tokens_.begin(); }
    auto end() const noexcept { return tokens_.end(); }
    const std::vector<view_type>& tokens() const noexcept { return tokens_; }
    const std::basic_string<C>& text() const noexcept { return text_; }

  private:
    static const C* empty_() noexcept {
        static const C e[1] = {C(0)};
        return e;
    }
    static bool space_(C c) noexcept {
        return is_ctype_u(static_cast<std::make_unsigned_t<C>>(c), ct_space);
    }

    void split(std::basic_string_view<C> t) {
        std::size_t i = 0, n = t.size();
        while (true) {
            while (i < n && (t[i] == Sep || space_(t[i])))
                ++i;
            if (i >= n) break;
            std::size_t start = i;
            while (i < n && t[i] != Sep)
                ++i;
            std::size_t stop = i;
            while (stop > start && space_(t[stop - 1]))
                --stop;
            tokens_.emplace_back(t.data() + start, stop - start);
            if (i < n) ++i; // past the separator
        }
    }
    // Tokens of an owned text point into the other object's copy; move them.
    void rebase(const token_list& o) {
        if (o.text_.empty()) return;
        for (auto& t : tokens_)
            t = view_type(text_.data() + (t.data() - o.text_.data()), t.size());
    }

    std::basic_string<C> text_;
    std::vector<view_type> tokens_;
};

// Wide lines (separator LF); this list always copies its text.
class line_list_w : public token_list<wchar_t, L'\n'> {
  public:
    line_list_w() = default;
    explicit line_list_w(std::wstring_view text) : token_list(text) {}
    explicit line_list_w(const wchar_t* text) : token_list(text) {}
    explicit line_list_w(const std::wstring& text) : token_list(text) {}
};
using comma_list_w = token_list<wchar_t, L','>;
// The folders of a path.
using path_list_w = token_list<wchar_t, L'/'>;
// Stored header lists, fields separated by the byte 0x02.
using field_list = token_list<char, '\x02'>;

// Comma-separated tokens of (p, n) as strings of their own; a zero byte also
// ends the text.
void split_comma_list(const char* p, std::size_t n, std::vector<std::string>& out);
// The words of a text separated by runs of white space.
std::vector<std::wstring> split_blanks(std::wstring_view text);

// ---------------------------------------------------------------------------
// Encodings. Wide text holds code points; "utf16" in these names is the wide
// form. Decoding never lets an ill-formed sequence pass as another character:
// overlong forms, surrogates and values above U+10FFFF become U+FFFD.

inline constexpr wchar_t replacement_char = 0xFFFD;

std::string utf16_to_utf8(std::wstring_view s);
std::string utf16_to_utf8(const wchar_t* p, std::size_t n);
// Decodes all of s; a truncated final sequence becomes U+FFFD.
std::wstring utf8_to_utf16(std::string_view s);
// Streaming decoder: appends the decoded part of input to out and leaves an
// incomplete final sequence in input for the next call. False when an
// ill-formed byte or sequence was met. A byte that starts no sequence is
// taken as the character of the same value (U+0080..U+00FF); a well-formed
// but overlong, surrogate or out-of-range sequence gives U+FFFD.
bool utf8_decode_append(std::string& input, std::wstring& out);
// Appends code point cp to out: values above U+10FFFF become "?", surrogate
// values U+FFFD.
void code_point_to_utf16(uint32_t cp, std::wstring& out);
// Appends the UTF-8 form of one code point (U+FFFD for invalid ones).
void append_utf8(uint32_t cp, std::string& out);
// True when s is well-formed UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

// Windows code-page identifiers. ANSI, OEM and the thread code page are UTF-8
// here; other code pages go through iconv.
inline constexpr unsigned cp_acp = 0;
inline constexpr unsigned cp_oemcp = 1;
inline constexpr unsigned cp_thread_acp = 3;
inline constexpr unsigned cp_utf8 = 65001;

// Conversion from a code page to wide text; a null pointer, an unknown code
// page or a failed conversion gives an empty string. Invalid input bytes
// become U+FFFD.
std::wstring mb_to_wide(const char* p, std::size_t n, unsigned code_page);
std::wstring mb_to_wide_cstr(const char* p, unsigned code_page);
std::wstring mb_to_wide_str(const std::string& s, unsigned code_page);
std::wstring to_wstring_acp(const char* p);
// Conversion from wide text to a code page; characters the code page cannot
// hold become "?".
std::string wide_to_mb(const wchar_t* p, std::size_t n, unsigned code_page);
std::string wide_to_mb_cstr(const wchar_t* p, unsigned code_page);
std::string wide_to_mb_wstr(const std::wstring& s, unsigned code_page);
// Conversion into a caller's buffer of n characters, always terminated (n > 0).
// When the text does not fit: with truncate, the first n - 1 characters (never
// half a UTF-8 sequence); without, an empty text. Returns true when the whole
// text fit.
bool mb_to_wide_buf(wchar_t* buf, std::size_t n, const char* src, bool truncate = true);
bool wide_to_mb_buf(char* buf, std::size_t n, const wchar_t* src, bool truncate = true);

// Length of the longest prefix of s, at most max bytes, that does not end in
// the middle of a UTF-8 sequence.
std::size_t utf8_cut(std::string_view s, std::size_t max) noexcept;

// Bytes from base64 text. White space is skipped; any other character outside
// the alphabet counts as 0; "=" ends the input.
std::string base64_decode(std::string_view s);

// Copy for console output in the OEM code page (UTF-8 here).
std::string to_oem(std::string_view s);
std::string to_oem(std::wstring_view s);

} // namespace cl
