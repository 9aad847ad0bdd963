#include "server/http_request.h"
#include "server/req_info.h"

#include "core/text.h"

std::string http_request_data::get_header(std::string_view name) const {
    const auto it = unknown_headers.find(name);
    return it == unknown_headers.end() ? std::string() : it->second;
}

bool http_request_data::clear_for_reuse(std::size_t room_limit) {
    // Each member is cleared below: one added to the record must be too.
    static_assert(sizeof(http_request_data) == sizeof(win32::systemtime) + 2 * sizeof(uint32_t) +
                                                   sizeof(uint64_t) + sizeof(std::wstring) +
                                                   3 * sizeof(std::string) + sizeof(known_headers) +
                                                   sizeof(unknown_headers),
                  "clear_for_reuse clears every member");
    // One pass clears the texts and adds up their room: a record found too
    // large is dropped anyway, so what it holds then does not matter.
    const std::size_t own_room = std::string().capacity();
    const std::size_t own_wide_room = std::wstring().capacity();
    std::size_t room = (path.capacity() - own_wide_room) * sizeof(wchar_t) + query.capacity() +
                       raw_url.capacity() + method.capacity() - 3 * own_room;
    path.clear();
    query.clear();
    raw_url.clear();
    method.clear();
    for (std::string& h : known_headers) {
        room += h.capacity() - own_room;
        h.clear();
    }
    unknown_headers.clear();
    received = win32::systemtime{};
    flags = 0;
    version = 101;
    request_id = 0;
    return room <= room_limit;
}
