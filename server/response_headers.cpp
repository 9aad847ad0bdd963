#include "server/response_headers.h"

#include "core/text.h"
#include "server/http_tables.h"

#include <algorithm>
#include <cstring>

static_assert(http_header_response_maximum == 30, "a slot for each known response header");

response_headers::response_headers() = default;

response_headers::~response_headers() = default;

// The other fields are kept in name order: a look-up is a binary search, so
// an answer of many fields costs no search of all the others for each.
response_headers::field_list::iterator response_headers::place_of(std::string_view name) {
    return std::lower_bound(
        others_.begin(), others_.end(), name,
        [](const field& f, std::string_view n) { return string_iless()(f.name, n); });
}

response_headers::field_list::const_iterator
response_headers::place_of(std::string_view name) const {
    return const_cast<response_headers*>(this)->place_of(name);
}

void response_headers::add(std::string_view name, std::string_view value) {
    add(response_header_id(name), name, value);
}

void response_headers::add(int id, std::string_view name, std::string_view value) {
    put(id, name, value, how::copied);
}

void response_headers::add_checked(int id, std::string_view name, std::string_view value) {
    put(id, name, value, how::checked);
}

void response_headers::add_lasting(int id, std::string_view name, std::string_view value) {
    put(id, name, value, how::lasting);
}

void response_headers::put(int id, std::string_view name, std::string_view value, how h) {
    const bool lasting = h == how::lasting;
    if (id == http_header_set_cookie) {
        cookies_.push_back(lasting ? value : keep(value));
        return;
    }
    const std::string_view kept_value = lasting ? value : keep(value);
    if (id >= 0) {
        slot& s = known_[id];
        const uint64_t bit = uint64_t{1} << id;
        if (h == how::copied)
            checked_mask_ &= ~bit;
        else
            checked_mask_ |= bit;
        if (!(known_mask_ & bit)) {
            // A known name in the server's own spelling needs no copy.
            std::string_view kept_name = name;
            if (!lasting) {
                const std::string_view own = response_header_name(id);
                kept_name = own == name ? own : keep(name);
            }
            s.name = kept_name.data();
            s.name_size = static_cast<uint32_t>(kept_name.size());
            known_mask_ |= bit;
        }
        s.value = kept_value.data();
        s.value_size = static_cast<uint32_t>(kept_value.size());
        return;
    }
    // Answers add most of their fields in name order: the end is tried first.
    auto at = others_.end();
    if (!others_.empty() && !string_iless()(others_.back().name, name)) at = place_of(name);
    if (at != others_.end() && !string_iless()(name, at->name)) {
        at->value = kept_value;
        return;
    }
    others_.insert(at, field{lasting ? name : keep(name), kept_value, -1});
}

void response_headers::add_wide(const std::wstring& name, const std::wstring& value) {
    add(cl::utf16_to_utf8(name), cl::utf16_to_utf8(value));
}

void response_headers::remove(const std::wstring& name) {
    remove(std::string_view(cl::utf16_to_utf8(name)));
}

void response_headers::remove(std::string_view name) {
    const int id = response_header_id(name);
    if (id == http_header_set_cookie) return;
    if (id >= 0) {
        known_mask_ &= ~(uint64_t{1} << id);
        return;
    }
    const auto at = place_of(name);
    if (at != others_.end() && !string_iless()(name, at->name)) others_.erase(at);
}

response_headers::field_list response_headers::fields() const {
    // Known names by their place in the name order, merged with the others.
    field_list all;
    all.reserve(static_cast<std::size_t>(std::popcount(known_mask_)) + others_.size());
    for_each_known([&all](const field& f) { all.push_back(f); });
    std::sort(all.begin(), all.end(), [](const field& a, const field& b) {
        return response_header_rank[static_cast<std::size_t>(a.id)] <
               response_header_rank[static_cast<std::size_t>(b.id)];
    });
    const auto known = static_cast<std::ptrdiff_t>(all.size());
    all.insert(all.end(), others_.begin(), others_.end());
    std::inplace_merge(
        all.begin(), all.begin() + known, all.end(),
        [](const field& a, const field& b) { return string_iless()(a.name, b.name); });
    return all;
}

void response_headers::copy_out(std::vector<std::wstring>& names,
                                std::vector<std::wstring>& values) {
    const field_list& all = fields();
    names.reserve(names.size() + all.size());
    values.reserve(values.size() + all.size());
    for (const field& f : all) {
        names.push_back(cl::utf8_to_utf16(f.name));
        values.push_back(cl::utf8_to_utf16(f.value));
    }
    for (const auto& c : cookies_) {
        names.emplace_back(L"Set-Cookie");
        values.push_back(cl::utf8_to_utf16(c));
    }
}

void response_headers::add_all(const response_headers& other) {
    other.for_each_known([this](const field& f) { add(f.id, f.name, f.value); });
    for (const field& f : other.others_)
        add(-1, f.name, f.value);
}

void response_headers::add_if_absent(std::string_view name, std::string_view value) {
    if (!has(name)) add(name, value);
}

std::string response_headers::get(std::string_view name) const {
    return std::string(view(name));
}

std::string_view response_headers::view(std::string_view name) const {
    const int id = response_header_id(name);
    if (id >= 0) return id == http_header_set_cookie ? std::string_view() : view(id);
    const auto at = place_of(name);
    return at != others_.end() && !string_iless()(name, at->name) ? at->value : std::string_view();
}

bool response_headers::has(std::string_view name) const {
    const int id = response_header_id(name);
    if (id >= 0) return id != http_header_set_cookie && has(id);
    const auto at = place_of(name);
    return at != others_.end() && !string_iless()(name, at->name);
}

std::string_view response_headers::view(int id) const {
    if (!has(id)) return std::string_view();
    return std::string_view(known_[id].value, known_[id].value_size);
}

bool response_headers::has(int id) const {
    return id >= 0 && id < known_count && id != http_header_set_cookie &&
           (known_mask_ >> id & 1u) != 0;
}

std::string response_headers::to_text() const {
    std::string s;
    for (const field& f : fields())
        s.append(f.name).append(": ").append(f.value).append("\n");
    for (const auto& c : cookies_)
        s.append("Set-Cookie: ").append(c).append("\n");
    return s;
}

const response_headers& lazy_headers::none() {
    static const response_headers empty;
    return empty;
}
