#include "server/response_headers.h"

#include "core/text.h"

bool string_iless::operator()(std::string_view a, std::string_view b) const noexcept {
    return cl::compare_range(a.data(), a.size(), b.data(), b.size()) < 0;
}

void response_headers::add(std::string_view name, std::string_view value) {
    if (cl::iequals(name, "set-cookie")) {
        cookies_.emplace_back(value);
        return;
    }
    auto it = headers_.find(name);
    if (it != headers_.end())
        it->second = value;
    else
        headers_.emplace(std::string(name), std::string(value));
}

void response_headers::add_wide(const std::wstring& name, const std::wstring& value) {
    add(cl::utf16_to_utf8(name), cl::utf16_to_utf8(value));
}

void response_headers::remove(const std::wstring& name) {
    auto it = headers_.find(cl::utf16_to_utf8(name));
    if (it != headers_.end()) headers_.erase(it);
}

void response_headers::copy_out(std::vector<std::wstring>& names,
                                std::vector<std::wstring>& values) {
    names.reserve(names.size() + headers_.size());
    values.reserve(values.size() + headers_.size());
    for (const auto& [n, v] : headers_) {
        names.push_back(cl::utf8_to_utf16(n));
        values.push_back(cl::utf8_to_utf16(v));
    }
    for (const auto& c : cookies_) {
        names.emplace_back(L"Set-Cookie");
        values.push_back(cl::utf8_to_utf16(c));
    }
}

void response_headers::add_all(const header_map& headers) {
    for (const auto& [n, v] : headers)
        add(n, v);
}

void response_headers::add_if_absent(std::string_view name, std::string_view value) {
    if (headers_.find(name) == headers_.end()) add(name, value);
}

std::string response_headers::get(const std::string& name) const {
    auto it = headers_.find(name);
    return it == headers_.end() ? std::string() : it->second;
}

std::string response_headers::to_text() const {
    std::string s;
    for (const auto& [n, v] : headers_)
        s.append(n).append(": ").append(v).append("\n");
    for (const auto& c : cookies_)
        s.append("Set-Cookie: ").append(c).append("\n");
    return s;
}
