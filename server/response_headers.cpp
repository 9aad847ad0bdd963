#include "server/response_headers.h"

#include "core/text.h"
#include "server/http_tables.h"

#include <algorithm>
#include <cstring>

response_headers::response_headers() {
    fields_.reserve(16);
}

response_headers::~response_headers() = default;

// The fields are kept in name order (a known name's number stands for its
// text compared without regard to case): a look-up is a binary search, so
// an answer of many fields costs no search of all the others for each.
response_headers::field_list::iterator response_headers::place_of(std::string_view name) {
    return std::lower_bound(
        fields_.begin(), fields_.end(), name,
        [](const field& f, std::string_view n) { return string_iless()(f.name, n); });
}

namespace {

// Whether f goes before a field of the name with the number id: two known
// names by their places in the order alone.
bool goes_before(const response_headers::field& f, int id, std::string_view name) {
    if (f.id >= 0 && id >= 0) return response_header_rank[f.id] < response_header_rank[id];
    return string_iless()(f.name, name);
}

} // namespace

response_headers::field* response_headers::find(std::string_view name) {
    const auto at = place_of(name);
    return at != fields_.end() && !string_iless()(name, at->name) ? &*at : nullptr;
}

const response_headers::field* response_headers::find(std::string_view name) const {
    return const_cast<response_headers*>(this)->find(name);
}

std::string_view response_headers::keep(std::string_view text) {
    if (text.empty()) return std::string_view();
    auto* at = static_cast<char*>(arena_.allocate(text.size(), 1));
    std::memcpy(at, text.data(), text.size());
    return std::string_view(at, text.size());
}

void response_headers::add(std::string_view name, std::string_view value) {
    add(response_header_id(name), name, value);
}

void response_headers::add(int id, std::string_view name, std::string_view value) {
    if (id == http_header_set_cookie) {
        cookies_.push_back(keep(value));
        return;
    }
    // Answers add most of their fields in name order: the end is tried first.
    auto at = fields_.end();
    if (!fields_.empty() && !goes_before(fields_.back(), id, name))
        at = std::lower_bound(fields_.begin(), fields_.end(), name,
                              [id](const field& f, std::string_view n) {
                                  return goes_before(f, id, n);
                              });
    if (at != fields_.end() &&
        (id >= 0 && at->id >= 0 ? at->id == id : !string_iless()(name, at->name))) {
        at->value = keep(value);
        return;
    }
    // A known name in the server's own spelling needs no copy.
    const std::string_view own = response_header_name(id);
    const std::string_view kept_name = id >= 0 && own == name ? own : keep(name);
    fields_.insert(at, field{kept_name, keep(value), id});
    if (id < 0) ++other_names_;
}

void response_headers::add_wide(const std::wstring& name, const std::wstring& value) {
    add(cl::utf16_to_utf8(name), cl::utf16_to_utf8(value));
}

void response_headers::remove(const std::wstring& name) {
    remove(std::string_view(cl::utf16_to_utf8(name)));
}

void response_headers::remove(std::string_view name) {
    if (const field* f = find(name)) {
        if (f->id < 0) --other_names_;
        fields_.erase(fields_.begin() + (f - fields_.data()));
    }
}

void response_headers::copy_out(std::vector<std::wstring>& names,
                                std::vector<std::wstring>& values) {
    names.reserve(names.size() + fields_.size());
    values.reserve(values.size() + fields_.size());
    for (const field& f : fields_) {
        names.push_back(cl::utf8_to_utf16(f.name));
        values.push_back(cl::utf8_to_utf16(f.value));
    }
    for (const auto& c : cookies_) {
        names.emplace_back(L"Set-Cookie");
        values.push_back(cl::utf8_to_utf16(c));
    }
}

void response_headers::add_all(const response_headers& other) {
    for (const field& f : other.fields_)
        add(f.name, f.value);
}

void response_headers::add_if_absent(std::string_view name, std::string_view value) {
    if (!find(name)) add(name, value);
}

std::string response_headers::get(std::string_view name) const {
    return std::string(view(name));
}

std::string_view response_headers::view(std::string_view name) const {
    const field* f = find(name);
    return f ? f->value : std::string_view();
}

std::string_view response_headers::view(int id) const {
    for (const field& f : fields_)
        if (f.id == id) return f.value;
    return std::string_view();
}

bool response_headers::has(int id) const {
    for (const field& f : fields_)
        if (f.id == id) return true;
    return false;
}

std::string response_headers::to_text() const {
    std::string s;
    for (const field& f : fields_)
        s.append(f.name).append(": ").append(f.value).append("\n");
    for (const auto& c : cookies_)
        s.append("Set-Cookie: ").append(c).append("\n");
    return s;
}

const response_headers& lazy_headers::none() {
    static const response_headers empty;
    return empty;
}
