// The "%?" formatter: printf-like format texts whose placeholder "%?" takes
// the next argument in the default form of its type, beside printf-style
// letters. Arguments are inserted one at a time by type ("<<" or put(...)),
// so a format never reads an argument as the wrong type.
//
//   std::string s = cl::format_str("%? failed: %?", "open", 5);
//   cl::basic_format<wchar_t> f(L"%02?:%02?");  f << 7 << 5;  f.str();
//
// Placeholder: "%" [flags] [width|*] ["." [precision|*]] [h|l|L[l]|I64] letter
//   flags: "-" left-justify, "+" sign, " " blank sign, "#" alternate form,
//          "'" digit grouping, "," fixed point (the precision places the point),
//          "0" zero fill (cancelled by a precision)
//   letters: ? (type default), d i u x X o z Z (base 36) m (base-64 digits)
//            p c, and f e g a (upper-case too) for floating point
// Unfilled placeholders at the end are skipped; extra arguments are appended
// in their default form.
#pragma once
#include "core/rstring.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace cl {

// Any GUID-shaped record: a 32-bit field, two 16-bit fields and eight bytes.
template <class T>
concept guid_like = requires(const T& g) {
    g.data1;
    g.data2;
    g.data3;
    g.data4[7];
};

template <class C> class format_base {
  public:
    using char_type = C;
    using string_type = std::basic_string<C>;

    virtual ~format_base() = default;
    format_base(const format_base&) = delete;
    format_base& operator=(const format_base&) = delete;

    // Output slots: a character count times, a run of text, the result.
    virtual void append(C ch, std::size_t count) = 0;
    virtual void append(const C* p, std::size_t n) = 0;
    virtual string_type result() const { return {}; }

    // Copies the rest of the format into the output and returns the result
    // (the built text for basic_format, empty for the other targets).
    string_type str() {
        finish();
        return result();
    }

    // Integers: 32-bit and narrower go through put_int, 64-bit through
    // put_int64; the default letter is "d" when signed, "u" when not.
    format_base& put_int(uint32_t bits, bool is_signed) {
        return put_integer(bits, is_signed, false, is_signed ? 'd' : 'u', false);
    }
    format_base& put_int64(uint64_t bits, bool is_signed) {
        return put_integer(bits, is_signed, true, is_signed ? 'd' : 'u', false);
    }
    // Pointers print in alternate-form hexadecimal ("p") unless a letter says otherwise.
    format_base& put_ptr(const void* p) {
        return put_integer(reinterpret_cast<uintptr_t>(p), false, sizeof(void*) > 4, 'p', true);
    }
    // Text as (pointer, length); length -1 means zero-terminated. A null or
    // tiny pointer prints "(null)"; "x", "X" and "p" print the pointer.
    format_base& put_str(const char* p, std::ptrdiff_t len = -1);
    format_base& put_wstr(const wchar_t* p, std::ptrdiff_t len = -1);
    format_base& put_double(double v);
    template <guid_like G> format_base& put_guid(const G& g);

    template <class T> format_base& operator<<(const T& v);
    template <class... A> format_base& put(const A&... args) {
        (void)(*this << ... << args);
        return *this;
    }

  protected:
    format_base() = default;

    // Starts on a new format: copies the literal text up to the first
    // placeholder. Derived constructors call it once their output is ready.
    void start(std::basic_string_view<C> fmt);
    // Copies what is left of the format into the output.
    void finish();

  private:
    enum class field_mode { text, numeric, digits };

    format_base& put_integer(uint64_t bits, bool is_signed, bool is64, char def, bool force_alt);
    format_base& put_text(const C* p, std::size_t n, bool allow_pointer);
    void write_field(const C* t, std::size_t len, field_mode m);
    bool star_value(int64_t v);
    void reset_state();
    void parse_placeholder();
    void copy_literal();
    void next();
    C conv() const { return pos_ < end_ ? *pos_ : C(0); }

    string_type fmt_;
    const C* pos_ = nullptr; // null until a format is given
    const C* end_ = nullptr;
    bool placeholder_ = false; // the position stands on an unfilled placeholder's letter
    int width_ = 0;
    int precision_ = -1;
    unsigned flags_ = 0;
    C fill_ = C(' ');
    char prefix_[3] = {};
    int prefix_len_ = 0;
};

// Formats into its own string.
template <class C> class basic_format final : public format_base<C> {
  public:
    using string_type = std::basic_string<C>;
    template <class... A> explicit basic_format(std::basic_string_view<C> fmt, const A&... args) {
        this->start(fmt);
        this->put(args...);
    }
    template <class... A>
    explicit basic_format(const C* fmt, const A&... args)
        : basic_format(std::basic_string_view<C>(fmt ? fmt : empty_()), args...) {}

    void append(C ch, std::size_t count) override { result_.append(count, ch); }
    void append(const C* p, std::size_t n) override { result_.append(p, n); }
    string_type result() const override { return result_; }
    // The finished text, moved out.
    string_type take() {
        this->finish();
        return std::move(result_);
    }

  private:
    static const C* empty_() {
        static const C e[1] = {C(0)};
        return e;
    }
    string_type result_;
};

// Formats into a caller's character buffer of size characters: at most
// size - 1 are written, the rest dropped, and the text is always terminated.
// (There is no wide fixed-buffer formatter.)
template <class C> class basic_sformat;
template <> class basic_sformat<char> final : public format_base<char> {
  public:
    template <class... A>
    basic_sformat(char* buf, std::size_t size, std::string_view fmt, const A&... args)
        : cur_(buf), buf_end_(buf + size) {
        if (size) *buf = 0;
        start(fmt);
        put(args...);
    }
    ~basic_sformat() override { finish(); }

    void append(char ch, std::size_t count) override;
    void append(const char* p, std::size_t n) override;
    // Characters written so far.
    std::size_t length() const noexcept { return written_; }

  private:
    char* cur_;
    char* buf_end_;
    std::size_t written_ = 0;
};

// Appends to a caller's string; the rest of the format is copied when the
// formatter goes out of scope (or by str()).
template <class C> class basic_strformat final : public format_base<C> {
  public:
    using string_type = std::basic_string<C>;
    explicit basic_strformat(string_type& target) : target_(&target) {}
    template <class... A>
    basic_strformat(string_type& target, std::basic_string_view<C> fmt, const A&... args)
        : target_(&target) {
        this->start(fmt);
        this->put(args...);
    }
    ~basic_strformat() override { this->finish(); }

    // Finishes the current format and starts the next one on the same target.
    basic_strformat& set_format(std::basic_string_view<C> fmt) {
        this->finish();
        this->start(fmt);
        return *this;
    }

    void append(C ch, std::size_t count) override { target_->append(count, ch); }
    void append(const C* p, std::size_t n) override { target_->append(p, n); }

  private:
    string_type* target_;
};

using format = basic_format<char>;
using wformat = basic_format<wchar_t>;
using sformat = basic_sformat<char>;
using strformat = basic_strformat<char>;
using wstrformat = basic_strformat<wchar_t>;

// One-call forms.
template <class... A> std::string format_str(std::string_view fmt, const A&... args) {
    return basic_format<char>(fmt, args...).take();
}
template <class... A> std::wstring format_wstr(std::wstring_view fmt, const A&... args) {
    return basic_format<wchar_t>(fmt, args...).take();
}
template <class... A>
void format_append(std::string& target, std::string_view fmt, const A&... args) {
    basic_strformat<char>(target, fmt, args...);
}
template <class... A>
void format_append(std::wstring& target, std::wstring_view fmt, const A&... args) {
    basic_strformat<wchar_t>(target, fmt, args...);
}
// Returns the number of characters written (the buffer is always terminated
// when size > 0).
template <class... A>
std::size_t format_buf(char* buf, std::size_t size, std::string_view fmt, const A&... args) {
    basic_sformat<char> f(buf, size, fmt, args...);
    f.str();
    return f.length();
}

// --- insertion by type --------------------------------------------------------

template <class T> inline constexpr bool format_dependent_false = false;

template <class C> template <guid_like G> format_base<C>& format_base<C>::put_guid(const G& g) {
    char buf[40];
    basic_sformat<char> f(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                          uint32_t(g.data1), uint16_t(g.data2), uint16_t(g.data3));
    for (int i = 0; i < 8; ++i)
        f << uint8_t(g.data4[i]);
    f.str();
    if constexpr (std::is_same_v<C, char>) {
        return put_text(buf, f.length(), false);
    } else {
        wchar_t w[40];
        for (std::size_t i = 0; i <= f.length(); ++i)
            w[i] = wchar_t(static_cast<unsigned char>(buf[i]));
        return put_text(w, f.length(), false);
    }
}

template <class C> template <class T> format_base<C>& format_base<C>::operator<<(const T& v) {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_array_v<U>) {
        using E = std::remove_cv_t<std::remove_extent_t<U>>;
        if constexpr (std::is_same_v<E, char>)
            return put_str(v, -1);
        else if constexpr (std::is_same_v<E, wchar_t>)
            return put_wstr(v, -1);
        else
            return put_ptr(static_cast<const void*>(v));
    } else if constexpr (std::is_same_v<U, bool>) {
        return put_int(v ? 1u : 0u, true);
    } else if constexpr (std::is_same_v<U, char> || std::is_same_v<U, signed char>) {
        return put_int(static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(v))),
                       true);
    } else if constexpr (std::is_same_v<U, wchar_t> || std::is_same_v<U, char8_t> ||
                         std::is_same_v<U, char16_t> || std::is_same_v<U, char32_t>) {
        // Character types print as their unsigned code unless "%c" asks.
        return put_int(static_cast<uint32_t>(v), false);
    } else if constexpr (std::is_enum_v<U>) {
        return *this << static_cast<std::underlying_type_t<U>>(v);
    } else if constexpr (std::is_integral_v<U>) {
        if constexpr (sizeof(U) <= 4) {
            if constexpr (std::is_signed_v<U>)
                return put_int(static_cast<uint32_t>(static_cast<int32_t>(v)), true);
            else
                return put_int(static_cast<uint32_t>(v), false);
        } else {
            return put_int64(static_cast<uint64_t>(v), std::is_signed_v<U>);
        }
    } else if constexpr (std::is_floating_point_v<U>) {
        return put_double(static_cast<double>(v));
    } else if constexpr (std::is_same_v<U, std::nullptr_t>) {
        return put_ptr(nullptr);
    } else if constexpr (std::is_pointer_v<U>) {
        using P = std::remove_cv_t<std::remove_pointer_t<U>>;
        if constexpr (std::is_same_v<P, char>)
            return put_str(v, -1);
        else if constexpr (std::is_same_v<P, wchar_t>)
            return put_wstr(v, -1);
        else
            return put_ptr(reinterpret_cast<const void*>(v));
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
        // An empty view prints nothing, even a default-constructed one.
        std::string_view s = v;
        return put_str(s.data() ? s.data() : "", static_cast<std::ptrdiff_t>(s.size()));
    } else if constexpr (std::is_convertible_v<const U&, std::wstring_view>) {
        std::wstring_view s = v;
        return put_wstr(s.data() ? s.data() : L"", static_cast<std::ptrdiff_t>(s.size()));
    } else if constexpr (std::is_same_v<U, basic_rstring<char>>) {
        return put_str(v.data(), static_cast<std::ptrdiff_t>(v.size()));
    } else if constexpr (std::is_same_v<U, basic_rstring<wchar_t>>) {
        return put_wstr(v.data(), static_cast<std::ptrdiff_t>(v.size()));
    } else if constexpr (guid_like<U>) {
        return put_guid(v);
    } else {
        static_assert(format_dependent_false<T>, "the formatter has no insertion for this type");
    }
}

extern template class format_base<char>;
extern template class format_base<wchar_t>;

} // namespace cl
