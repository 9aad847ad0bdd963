// The header fields of one HTTP answer before they are sent: fields kept in
// name order (without regard to case) in which adding a name again replaces
// its value, and a separate list of "Set-Cookie" values, of which any number
// may be sent.
#pragma once
#include "core/blocks.h"
#include "core/ref_cnt.h"
#include "core/text.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

// Case-insensitive order of narrow names (ASCII letters folded).
struct string_iless {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        // The first letters tell most header names apart, without a call.
        if (!a.empty() && !b.empty()) {
            const auto x = static_cast<unsigned char>(cl::to_lower_char(a[0]));
            const auto y = static_cast<unsigned char>(cl::to_lower_char(b[0]));
            if (x != y) return x < y;
        }
        return cl::compare_range(a.data(), a.size(), b.data(), b.size()) < 0;
    }
};

// The interface through which the script host's header providers are reached.
class response_headers_base : public cl::ref_cnt_shared {
  public:
    ~response_headers_base() override = default;
    virtual void copy_out(std::vector<std::wstring>& names, std::vector<std::wstring>& values) = 0;
    virtual void add_wide(const std::wstring& name, const std::wstring& value) {
        (void)name;
        (void)value;
    }
    virtual void remove(const std::wstring& name) { (void)name; }
    virtual void hook() {}
};

// Every answer fills one of these with about ten short fields: their texts
// and the list itself live in storage inside the object, so that a plain
// answer allocates nothing for them, and a field is moved by copying two
// views. An answer with more or longer fields spills to the heap. A replaced
// value leaves its old text behind until the object goes. A field of a known
// name has the place of its number, so that adding, replacing and finding it
// costs no search; the fields of other names are kept in name order.
class response_headers : public response_headers_base, public cl::request_sized {
  public:
    struct field {
        std::string_view name;
        std::string_view value;
        int id; // the known-header number of the name, -1 for another name
    };
    using field_list = std::pmr::vector<field>;
    using cookie_list = std::pmr::vector<std::string_view>;

    response_headers();
    ~response_headers() override;
    response_headers(const response_headers&) = delete;
    response_headers& operator=(const response_headers&) = delete;

    // "Set-Cookie" (any case) appends a cookie; any other name creates or
    // replaces its field, which keeps the spelling it was first added with.
    void add(std::string_view name, std::string_view value);
    // The same with the name's known-header number (response_header_id of
    // the name) worked out by the caller once.
    void add(int id, std::string_view name, std::string_view value);
    // The same for a value the caller has already found free of control
    // characters (an upstream head's parser does): the sender need not
    // look at it again. Any later add of the name forgets that.
    void add_checked(int id, std::string_view name, std::string_view value);
    // The same for a name and value whose texts outlive these headers
    // (constants): they are kept where they are, and count as checked.
    void add_lasting(int id, std::string_view name, std::string_view value);
    // The known slots whose values were added checked, a bit per number.
    uint64_t checked_slots() const { return checked_mask_ & known_mask_; }
    void add_wide(const std::wstring& name, const std::wstring& value) override;
    // Erases the field; cookies cannot be removed this way.
    void remove(const std::wstring& name) override;
    void remove(std::string_view name);
    void copy_out(std::vector<std::wstring>& names, std::vector<std::wstring>& values) override;
    // Adds every field of other (its cookies stay behind).
    void add_all(const response_headers& other);
    void add_if_absent(std::string_view name, std::string_view value);
    // The field's value, empty when there is none (cookies not searched).
    std::string get(std::string_view name) const;
    // The same without a copy; valid while this object lives.
    std::string_view view(std::string_view name) const;
    bool has(std::string_view name) const;
    // A known header by its number (an http_header_id below
    // http_header_response_maximum).
    std::string_view view(int id) const;
    bool has(int id) const;
    // "name: value\n" per field, then "Set-Cookie: value\n" per cookie.
    std::string to_text() const;

    // Whether a field has a name of no known-header number.
    bool has_other_names() const { return !others_.empty(); }
    // Every field in name order, listed when asked for (its views stay
    // valid while this object lives).
    field_list fields() const;
    // The fields of known names by number, and those of the other names in
    // name order: what a sender needs, without putting them in one order.
    template <class F> void for_each_known(F&& f) const {
        for (uint64_t m = known_mask_; m != 0; m &= m - 1) {
            const int id = std::countr_zero(m);
            const slot& s = known_[id];
            f(field{{s.name, s.name_size}, {s.value, s.value_size}, id});
        }
    }
    const field_list& other_fields() const { return others_; }
    const cookie_list& cookies() const { return cookies_; }

  private:
    // Where a field of another name is, or would go.
    field_list::iterator place_of(std::string_view name);
    field_list::const_iterator place_of(std::string_view name) const;
    enum class how : uint8_t { copied, checked, lasting };
    void put(int id, std::string_view name, std::string_view value, how h);
    // A copy of the text in the object's storage.
    std::string_view keep(std::string_view text);

    // A known field: a slot whose bit is set in known_mask_. The slots are
    // not initialized; a set bit says its slot was written.
    struct slot {
        const char* name;
        const char* value;
        uint32_t name_size;
        uint32_t value_size;
    };
    static constexpr int known_count = 30;
    slot known_[known_count];
    uint64_t known_mask_ = 0;
    uint64_t checked_mask_ = 0;

    // Room for the texts of a usual answer, taken from the front; what does
    // not fit goes to the arena.
    char texts_[512];
    uint32_t texts_used_ = 0;
    // Room for the lists of a usual answer; what does not fit goes to the heap.
    alignas(std::max_align_t) std::byte storage_[512];
    std::pmr::monotonic_buffer_resource arena_{storage_, sizeof storage_};
    field_list others_{&arena_};
    cookie_list cookies_{&arena_};
};

inline std::string_view response_headers::keep(std::string_view text) {
    if (text.empty()) return std::string_view();
    char* at;
    if (text.size() <= sizeof texts_ - texts_used_) {
        at = texts_ + texts_used_;
        texts_used_ += static_cast<uint32_t>(text.size());
    } else {
        at = static_cast<char*>(arena_.allocate(text.size(), 1));
    }
    std::memcpy(at, text.data(), text.size());
    return std::string_view(at, text.size());
}

// Headers made only once something is added: most holders (the challenge
// and the success headers of a login check) stay empty, and every request
// makes a few.
class lazy_headers {
  public:
    // The headers, or empty ones when none were made.
    const response_headers& operator*() const { return p_ ? *p_ : none(); }
    const response_headers* operator->() const { return &**this; }
    response_headers& make() {
        if (!p_) p_ = std::make_unique<response_headers>();
        return *p_;
    }

  private:
    static const response_headers& none();
    std::unique_ptr<response_headers> p_;
};
