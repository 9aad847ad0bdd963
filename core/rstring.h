// A non-owning (pointer, length) view of text. Tokens, header values and
// configuration words are handed around as views into the text that holds
// them, so splitting never copies.
#pragma once
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <type_traits>

namespace cl {

template <class C> class basic_rstring {
  public:
    using value_type = C;
    using size_type = std::size_t;
    static constexpr std::ptrdiff_t npos = -1;

    constexpr basic_rstring() noexcept = default;
    constexpr basic_rstring(const C* p, std::size_t n) noexcept : ptr_(p), len_(n) {}
    // From a zero-terminated text; a null pointer gives the empty view.
    basic_rstring(const C* p) noexcept : ptr_(p), len_(p ? std::char_traits<C>::length(p) : 0) {}
    basic_rstring(const std::basic_string<C>& s) noexcept : ptr_(s.data()), len_(s.size()) {}
    constexpr basic_rstring(std::basic_string_view<C> s) noexcept
        : ptr_(s.data()), len_(s.size()) {}

    constexpr const C* data() const noexcept { return ptr_; }
    constexpr std::size_t size() const noexcept { return len_; }
    constexpr std::size_t length() const noexcept { return len_; }
    constexpr bool empty() const noexcept { return len_ == 0; }
    constexpr const C* begin() const noexcept { return ptr_; }
    constexpr const C* end() const noexcept { return ptr_ + len_; }
    constexpr C operator[](std::size_t i) const noexcept { return ptr_[i]; }

    constexpr std::basic_string_view<C> view() const noexcept { return {ptr_, len_}; }
    constexpr operator std::basic_string_view<C>() const noexcept { return view(); }
    std::basic_string<C> str() const {
        return len_ ? std::basic_string<C>(ptr_, len_) : std::basic_string<C>();
    }

    // count characters from pos, clipped to the end; a position at or past
    // the end gives the empty view (null, 0).
    basic_rstring substr(std::size_t pos, std::size_t count = std::size_t(-1)) const noexcept {
        if (pos >= len_) return {};
        std::size_t n = len_ - pos;
        if (count < n) n = count;
        return {ptr_ + pos, n};
    }

    // Three-way comparison of min(count, size - pos) characters from pos with
    // (s, n), character values unsigned; the shorter side is less when the
    // common part is equal. Result -1, 0 or 1.
    int compare_at(std::size_t pos, std::size_t count, const C* s, std::size_t n) const noexcept {
        std::size_t mine = pos < len_ ? len_ - pos : 0;
        if (count < mine) mine = count;
        const C* a = mine ? ptr_ + pos : nullptr;
        std::size_t common = mine < n ? mine : n;
        for (std::size_t i = 0; i < common; ++i) {
            auto x = unsigned_of(a[i]), y = unsigned_of(s[i]);
            if (x != y) return x < y ? -1 : 1;
        }
        if (mine == n) return 0;
        return mine < n ? -1 : 1;
    }
    int compare(basic_rstring other) const noexcept {
        return compare_at(0, len_, other.ptr_, other.len_);
    }

    // Copies min(count, size - pos) characters without terminator and returns
    // that number; a position past the end copies nothing.
    std::size_t copy(C* buf, std::size_t count, std::size_t pos = 0) const noexcept {
        if (pos >= len_) return 0;
        std::size_t n = len_ - pos;
        if (count < n) n = count;
        std::char_traits<C>::copy(buf, ptr_ + pos, n);
        return n;
    }

    // Index of the first ch at or after pos; -1 when there is none.
    std::ptrdiff_t find(C ch, std::size_t pos = 0) const noexcept {
        for (std::size_t i = pos; i < len_; ++i)
            if (ptr_[i] == ch) return static_cast<std::ptrdiff_t>(i);
        return npos;
    }

    C front() const noexcept { return len_ ? ptr_[0] : C(0); }
    void pop_front() noexcept {
        if (len_) {
            ++ptr_;
            --len_;
        }
    }
    void remove_prefix(std::size_t n) noexcept {
        if (n > len_) n = len_;
        ptr_ += n;
        len_ -= n;
    }
    void remove_suffix(std::size_t n) noexcept { len_ = n > len_ ? 0 : len_ - n; }

    friend bool operator==(basic_rstring a, basic_rstring b) noexcept { return a.compare(b) == 0; }

  private:
    static constexpr auto unsigned_of(C c) noexcept {
        return static_cast<std::make_unsigned_t<C>>(c);
    }

    const C* ptr_ = nullptr;
    std::size_t len_ = 0;
};

using rstring = basic_rstring<char>;
using wrstring = basic_rstring<wchar_t>;

inline wrstring rstring_from_wstring(const std::wstring& s) noexcept {
    return {s.data(), s.size()};
}
// First character; 0 for an empty view.
inline wchar_t rstring_front_w(wrstring r) noexcept {
    return r.front();
}
inline void rstring_pop_front_w(wrstring& r) noexcept {
    r.pop_front();
}

// Three views one after another, the room reserved once.
inline std::wstring rstring_concat3_str(wrstring a, wrstring b, wrstring c) {
    std::wstring s;
    s.reserve(a.size() + b.size() + c.size() + 1);
    s.append(a.data() ? a.data() : L"", a.size());
    s.append(b.data() ? b.data() : L"", b.size());
    s.append(c.data() ? c.data() : L"", c.size());
    return s;
}

} // namespace cl
