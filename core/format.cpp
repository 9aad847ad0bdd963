// The "%?" formatter: placeholder parser, integer and text conversions and the
// field writer shared by the narrow and wide formatters.
#include "core/format.h"

#include "core/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace cl {

namespace {

enum : unsigned {
    f_left = 1,
    f_sign = 2,
    f_blank = 4,
    f_alt = 8,
    f_group = 16,
    f_fixed = 32,
    f_star_width = 64,
    f_star_prec = 128,
};

constexpr int max_width = 127;

template <class C>
std::size_t to_digits(uint64_t v, unsigned base, const char* alphabet, C* buf, std::size_t size) {
    return uint64_to_digits(v, base, alphabet, buf, size);
}

} // namespace

template <class C> void format_base<C>::reset_state() {
    width_ = 0;
    precision_ = -1;
    flags_ = 0;
    fill_ = C(' ');
    prefix_len_ = 0;
}

template <class C> void format_base<C>::start(std::basic_string_view<C> fmt) {
    fmt_.assign(fmt.data() ? fmt.data() : nullptr, fmt.data() ? fmt.size() : 0);
    pos_ = fmt_.data();
    end_ = pos_ + fmt_.size();
    placeholder_ = false;
    reset_state();
    copy_literal();
}

// Emits literal text up to the next placeholder and parses it, leaving the
// position on its conversion character ("%%" is one "%").
template <class C> void format_base<C>::copy_literal() {
    placeholder_ = false;
    if (!pos_) return;
    while (pos_ < end_) {
        const C* p = pos_;
        while (p < end_ && *p != C('%'))
            ++p;
        if (p > pos_) append(pos_, std::size_t(p - pos_));
        pos_ = p;
        if (pos_ == end_) return;
        if (pos_ + 1 < end_ && pos_[1] == C('%')) {
            append(C('%'), 1);
            pos_ += 2;
            continue;
        }
        parse_placeholder();
        return;
    }
}

template <class C> void format_base<C>::parse_placeholder() {
    reset_state();
    placeholder_ = true;
    ++pos_; // the "%"
    for (bool more = true; more && pos_ < end_;) {
        switch (*pos_) {
        case C(' '):
            flags_ |= f_blank;
            break;
        case C('#'):
            flags_ |= f_alt;
            break;
        case C('\''):
            flags_ |= f_group;
            break;
        case C('+'):
            flags_ |= f_sign;
            break;
        case C(','):
            flags_ |= f_fixed;
            break;
        case C('-'):
            flags_ |= f_left;
            break;
        case C('0'):
            fill_ = C('0');
            break;
        default:
            more = false;
            continue;
        }
        ++pos_;
    }
    if (pos_ < end_ && *pos_ == C('*')) {
        flags_ |= f_star_width;
        ++pos_;
    } else {
        int w = 0;
        for (; pos_ < end_ && *pos_ >= C('0') && *pos_ <= C('9'); ++pos_)
            w = std::min(w * 10 + int(*pos_ - C('0')), max_width);
        width_ = w;
    }
    if (pos_ < end_ && *pos_ == C('.')) {
        ++pos_;
        fill_ = C(' ');
        if (pos_ < end_ && *pos_ == C('*')) {
            flags_ |= f_star_prec;
            ++pos_;
        } else {
            int p = 0;
            for (; pos_ < end_ && *pos_ >= C('0') && *pos_ <= C('9'); ++pos_)
                p = std::min(p * 10 + int(*pos_ - C('0')), max_width);
            precision_ = p;
        }
    }
    if (pos_ < end_ && (*pos_ == C('h') || *pos_ == C('l') || *pos_ == C('L'))) {
        ++pos_;
        if (pos_ < end_ && *pos_ == C('l')) ++pos_;
    } else if (end_ - pos_ >= 3 && pos_[0] == C('I') && pos_[1] == C('6') && pos_[2] == C('4')) {
        pos_ += 3;
    }
}

// After an argument: skip the conversion character and copy on.
template <class C> void format_base<C>::next() {
    if (pos_ && pos_ < end_ && placeholder_) ++pos_;
    reset_state();
    copy_literal();
}

template <class C> void format_base<C>::finish() {
    if (!pos_) return;
    if (placeholder_ && pos_ < end_) ++pos_; // a placeholder that got no argument
    placeholder_ = false;
    while (pos_ < end_) {
        copy_literal();
        // A later placeholder without argument: its flags and width are
        // consumed, its letter stays as text.
        if (placeholder_ && pos_ < end_) {
            append(*pos_, 1);
            ++pos_;
        }
    }
    placeholder_ = false;
    reset_state();
}

// A star argument: the width (negative: left-justified) or the precision
// (negative: none). True when the value was taken that way.
template <class C> bool format_base<C>::star_value(int64_t v) {
    if (flags_ & f_star_width) {
        flags_ &= ~unsigned(f_star_width);
        if (v < 0) {
            flags_ |= f_left;
            v = v < -max_width ? max_width : -v;
        }
        width_ = int(v > max_width ? max_width : v);
        return true;
    }
    if (flags_ & f_star_prec) {
        flags_ &= ~unsigned(f_star_prec);
        precision_ = v < 0 ? -1 : int(v > max_width ? max_width : v);
        return true;
    }
    return false;
}

template <class C>
format_base<C>& format_base<C>::put_integer(uint64_t bits, bool is_signed, bool is64, char def,
                                            bool force_alt) {
    uint64_t u = is64 ? bits : (bits & 0xFFFFFFFFull);
    int64_t s = is64 ? int64_t(bits) : int64_t(int32_t(uint32_t(bits)));
    if (flags_ & (f_star_width | f_star_prec)) {
        int64_t v = is_signed ? s : (u > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(u));
        star_value(v);
        return *this;
    }
    char k = def;
    if (placeholder_) {
        C c = conv();
        if (c != C('?') && c != C('i')) k = uint32_t(c) < 128 ? char(c) : '\0';
    }
    if (force_alt) flags_ |= f_alt;

    C buf[80];
    std::size_t n = 0;
    field_mode m = field_mode::digits;
    const bool alt = (flags_ & f_alt) != 0;
    switch (k) {
    case 'u':
        n = to_digits(u, 10, digits_lower, buf, sizeof buf / sizeof buf[0]);
        m = field_mode::numeric;
        break;
    case 'p':
        flags_ |= f_alt;
        [[fallthrough]];
    case 'x':
    case 'X':
        n = to_digits(u, 16, k == 'X' ? digits_upper : digits_lower, buf,
                      sizeof buf / sizeof buf[0]);
        if ((alt || k == 'p') && u != 0) {
            prefix_[0] = '0';
            prefix_[1] = 'x';
            prefix_len_ = 2;
        }
        break;
    case 'o':
        n = to_digits(u, 8, digits_lower, buf, sizeof buf / sizeof buf[0]);
        if (alt && u != 0) {
            prefix_[0] = '0';
            prefix_len_ = 1;
        }
        break;
    case 'z':
    case 'Z':
        n = to_digits(u, 36, k == 'Z' ? digits_upper : digits_lower, buf,
                      sizeof buf / sizeof buf[0]);
        break;
    case 'm':
        n = to_digits(u, 64, digits_base64, buf, sizeof buf / sizeof buf[0]);
        break;
    case 'c':
        if (u != 0) {
            if constexpr (std::is_same_v<C, char>) {
                // Narrow text is UTF-8: a code point above 127 is written as
                // its UTF-8 sequence; a negative char value is a raw byte.
                std::string seq;
                if (u >= 0x80 && u <= 0x10FFFF)
                    append_utf8(uint32_t(u), seq);
                else
                    seq += char(u);
                write_field(seq.data(), seq.size(), field_mode::text);
            } else {
                C ch = C(u);
                write_field(&ch, 1, field_mode::text);
            }
        }
        next();
        return *this;
    default: // "d" and every other letter
        n = int64_to_digits(s, buf, sizeof buf / sizeof buf[0]);
        m = field_mode::numeric;
        break;
    }
    write_field(buf, n, m);
    next();
    return *this;
}

template <class C> void format_base<C>::write_field(const C* t, std::size_t len, field_mode m) {
    C work[320];
    C sign_prefix[4];
    std::size_t sp_len = 0;
    std::size_t zeros = 0;
    if (m == field_mode::text) {
        if (precision_ >= 0 && len > std::size_t(precision_)) {
            if constexpr (std::is_same_v<C, char>)
                len = utf8_cut(std::string_view(t, len),
                               std::size_t(precision_)); // never half a character
            else
                len = std::size_t(precision_);
        }
    } else {
        if (len > 0) {
            if (t[0] == C('-')) {
                sign_prefix[sp_len++] = C('-');
                ++t;
                --len;
            } else if (flags_ & f_sign) {
                sign_prefix[sp_len++] = C('+');
            } else if (flags_ & f_blank) {
                sign_prefix[sp_len++] = C(' ');
            }
            for (int i = 0; i < prefix_len_; ++i)
                sign_prefix[sp_len++] = C(prefix_[i]);
        }
        // Digits into the work area, right-aligned so that zeros can go in front.
        constexpr std::size_t room = sizeof work / sizeof work[0];
        if (len > 96) len = 96;
        std::size_t b = room - len;
        std::copy(t, t + len, work + b);
        int prec = precision_;
        if (!(flags_ & f_fixed) && (flags_ & f_group)) {
            std::size_t group = m == field_mode::numeric ? 3 : 4;
            C sep = m == field_mode::numeric ? C(',') : C(':');
            if (len > group) {
                // Rebuild from the right with a separator between groups.
                C tmp[200];
                std::size_t o = sizeof tmp / sizeof tmp[0], count = 0;
                for (std::size_t i = len; i-- > 0;) {
                    if (count && count % group == 0) tmp[--o] = sep;
                    tmp[--o] = work[b + i];
                    ++count;
                }
                std::size_t nl = sizeof tmp / sizeof tmp[0] - o;
                b = room - nl;
                std::copy(tmp + o, tmp + o + nl, work + b);
                len = nl;
            }
        }
        if ((flags_ & f_fixed) && prec > 0) {
            while (len <= std::size_t(prec)) {
                work[--b] = C('0');
                ++len;
            }
            // Insert the point before the last prec digits.
            std::size_t int_len = len - std::size_t(prec);
            std::copy(work + b, work + b + int_len, work + b - 1);
            --b;
            work[b + int_len] = C('.');
            ++len;
            if (flags_ & f_alt) {
                while (len > 0 && work[b + len - 1] == C('0')) {
                    --len;
                    --prec;
                }
                if (len > 0 && work[b + len - 1] == C('.')) --len;
            }
        }
        t = work + b;
        if (prec > 0 && std::size_t(prec) > len) zeros = std::size_t(prec) - len;
        std::size_t total = sp_len + zeros + len;
        if (fill_ == C('0') && total < std::size_t(width_) && !(flags_ & f_left))
            zeros += std::size_t(width_) - total;
    }
    std::size_t total = sp_len + zeros + len;
    std::size_t pad = total < std::size_t(width_) ? std::size_t(width_) - total : 0;
    if (pad && !(flags_ & f_left)) append(fill_, pad);
    if (sp_len) append(sign_prefix, sp_len);
    if (zeros) append(C('0'), zeros);
    if (len) append(t, len);
    if (pad && (flags_ & f_left)) append(C(' '), pad);
}

template <class C> format_base<C>& format_base<C>::put_text(const C* p, std::size_t n, bool) {
    write_field(p, n, field_mode::text);
    next();
    return *this;
}

template <class C> format_base<C>& format_base<C>::put_str(const char* p, std::ptrdiff_t len) {
    flags_ &= ~unsigned(f_star_width | f_star_prec);
    C c = placeholder_ ? conv() : C(0);
    if (c == C('x') || c == C('X') || c == C('p'))
        return put_integer(reinterpret_cast<uintptr_t>(p), false, sizeof(void*) > 4, 'p', true);
    if (reinterpret_cast<uintptr_t>(p) < 4096) {
        static const C null_text[] = {C('('), C('n'), C('u'), C('l'), C('l'), C(')')};
        return put_text(null_text, 6, false);
    }
    std::size_t n = len < 0 ? std::strlen(p) : std::size_t(len);
    if constexpr (std::is_same_v<C, char>) {
        return put_text(p, n, false);
    } else {
        // Only as much as the precision keeps is converted.
        if (precision_ >= 0) n = utf8_cut(std::string_view(p, n), std::size_t(precision_));
        std::wstring w = utf8_to_utf16(std::string_view(p, n));
        return put_text(w.data(), w.size(), false);
    }
}

template <class C> format_base<C>& format_base<C>::put_wstr(const wchar_t* p, std::ptrdiff_t len) {
    flags_ &= ~unsigned(f_star_width | f_star_prec);
    C c = placeholder_ ? conv() : C(0);
    if (c == C('x') || c == C('X') || c == C('p'))
        return put_integer(reinterpret_cast<uintptr_t>(p), false, sizeof(void*) > 4, 'p', true);
    if (reinterpret_cast<uintptr_t>(p) < 4096) {
        static const C null_text[] = {C('('), C('n'), C('u'), C('l'), C('l'), C(')')};
        return put_text(null_text, 6, false);
    }
    std::size_t n = len < 0 ? std::char_traits<wchar_t>::length(p) : std::size_t(len);
    if constexpr (std::is_same_v<C, wchar_t>) {
        return put_text(p, n, false);
    } else {
        // The precision counts characters of the wide text; the UTF-8 form
        // of those characters is written whole.
        if (precision_ >= 0 && n > std::size_t(precision_)) n = std::size_t(precision_);
        std::string s = utf16_to_utf8(p, n);
        precision_ = -1;
        return put_text(s.data(), s.size(), false);
    }
}

// Floating point: "f", "e", "g", "a" (upper-case forms too) as printf would
// write them, but independent of the locale; "?" writes the shortest text
// that reads back as the same value, or fixed point when a precision is given.
template <class C> format_base<C>& format_base<C>::put_double(double v) {
    if (flags_ & (f_star_width | f_star_prec)) {
        double c = std::isnan(v) ? 0 : std::fmax(std::fmin(v, 1e9), -1e9);
        star_value(int64_t(c));
        return *this;
    }
    char k = '?';
    if (placeholder_) {
        C c = conv();
        if (uint32_t(c) < 128) k = char(c);
    }
    const bool upper = k == 'E' || k == 'F' || k == 'G' || k == 'A';
    char lk = upper ? char(k + 32) : k;
    char buf[520];
    char* b = buf + 2; // room for a "0x" prefix
    char* e = buf + sizeof buf;
    std::to_chars_result r{};
    const int prec = precision_;
    switch (lk) {
    case 'f':
        r = std::to_chars(b, e, v, std::chars_format::fixed, prec < 0 ? 6 : prec);
        break;
    case 'e':
        r = std::to_chars(b, e, v, std::chars_format::scientific, prec < 0 ? 6 : prec);
        break;
    case 'g':
        r = std::to_chars(b, e, v, std::chars_format::general,
                          prec < 0 ? 6 : (prec == 0 ? 1 : prec));
        break;
    case 'a':
        r = prec < 0 ? std::to_chars(b, e, v, std::chars_format::hex)
                     : std::to_chars(b, e, v, std::chars_format::hex, prec);
        break;
    default:
        r = prec < 0 ? std::to_chars(b, e, v)
                     : std::to_chars(b, e, v, std::chars_format::fixed, prec);
        break;
    }
    if (r.ec != std::errc()) r = std::to_chars(b, e, v);
    std::size_t n = std::size_t(r.ptr - b);
    if (lk == 'a' && std::isfinite(v)) { // printf's "0x" before the hexadecimal digits
        std::string t(b, n);
        t.insert(t[0] == '-' ? 1 : 0, "0x");
        n = t.size();
        b = buf;
        std::memcpy(b, t.data(), n);
    }
    C text[520];
    for (std::size_t i = 0; i < n; ++i) {
        char ch = b[i];
        if (upper && ch >= 'a' && ch <= 'z') ch = char(ch - 32);
        text[i] = C(static_cast<unsigned char>(ch));
    }
    // The digits are final: no grouping, fixed point or precision zeros.
    precision_ = -1;
    flags_ &= ~unsigned(f_group | f_fixed);
    if (!std::isfinite(v)) fill_ = C(' ');
    write_field(text, n, field_mode::numeric);
    next();
    return *this;
}

template class format_base<char>;
template class format_base<wchar_t>;

// --- the fixed-buffer target --------------------------------------------------

void basic_sformat<char>::append(char ch, std::size_t count) {
    if (cur_ == buf_end_) return;
    std::size_t room = std::size_t(buf_end_ - cur_) - 1;
    std::size_t n = count < room ? count : room;
    std::memset(cur_, ch, n);
    cur_ += n;
    written_ += n;
    *cur_ = 0;
}

void basic_sformat<char>::append(const char* p, std::size_t count) {
    if (cur_ == buf_end_) return;
    std::size_t room = std::size_t(buf_end_ - cur_) - 1;
    std::size_t n = count <= room ? count : utf8_cut(std::string_view(p, count), room);
    std::memcpy(cur_, p, n);
    cur_ += n;
    written_ += n;
    *cur_ = 0;
    if (n < count) cur_ = buf_end_ - 1; // once text was dropped, later text must not fill the gap
}

} // namespace cl
