#include "server/http_request.h"
#include "server/req_info.h"

#include "core/text.h"

bool header_name_less::operator()(std::string_view a, std::string_view b) const noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char x = cl::to_lower_char(a[i]);
        const char y = cl::to_lower_char(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

std::string http_request_data::get_header(std::string_view name) const {
    const auto it = unknown_headers.find(name);
    return it == unknown_headers.end() ? std::string() : it->second;
}
