#include "server/http_request.h"
#include "server/req_info.h"

#include "core/text.h"

std::string http_request_data::get_header(std::string_view name) const {
    const auto it = unknown_headers.find(name);
    return it == unknown_headers.end() ? std::string() : it->second;
}
