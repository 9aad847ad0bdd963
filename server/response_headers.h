// The header fields of one HTTP answer before they are sent: a map from name
// to value in which adding a name again replaces its value, and a separate
// list of "Set-Cookie" values, of which any number may be sent.
#pragma once
#include "core/ref_cnt.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

// Case-insensitive order of narrow names (ASCII letters folded).
struct string_iless {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
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

class response_headers : public response_headers_base {
  public:
    using header_map = std::map<std::string, std::string, string_iless>;

    response_headers() = default;
    ~response_headers() override = default;

    // "Set-Cookie" (any case) appends a cookie; any other name creates or
    // replaces its map entry, which keeps the spelling it was first added with.
    void add(std::string_view name, std::string_view value);
    void add_wide(const std::wstring& name, const std::wstring& value) override;
    // Erases the map entry; cookies cannot be removed this way.
    void remove(const std::wstring& name) override;
    void copy_out(std::vector<std::wstring>& names, std::vector<std::wstring>& values) override;
    void add_all(const header_map& headers);
    void add_if_absent(std::string_view name, std::string_view value);
    // The map value of the name, empty when there is none (cookies not searched).
    std::string get(const std::string& name) const;
    // "name: value\n" per map entry, then "Set-Cookie: value\n" per cookie.
    std::string to_text() const;

    const header_map& headers() const { return headers_; }
    const std::vector<std::string>& cookies() const { return cookies_; }

    // Texts kept alive while the sender's header record points at them; filled
    // when the answer is sent.
    std::vector<std::string> kernel_names;
    std::vector<std::string> kernel_values;

  private:
    header_map headers_;
    std::vector<std::string> cookies_;
};
