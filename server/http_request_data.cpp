#include "server/http_request.h"
#include "server/req_info.h"

#include "core/text.h"

std::string http_request_data::get_header(std::string_view name) const {
    const auto it = unknown_headers.find(name);
    return it == unknown_headers.end() ? std::string() : it->second;
}

bool http_request_data::clear_for_reuse(std::size_t room_limit) {
    // Each member is cleared below: one added to the record must be too.
    static_assert(sizeof(http_request_data) ==
                      sizeof(win32::systemtime) + 2 * sizeof(uint32_t) + sizeof(uint64_t) +
                          sizeof(std::wstring) + 3 * sizeof(std::string) +
                          sizeof(known_headers) + sizeof(unknown_headers),
                  "clear_for_reuse clears every member");
    constexpr std::size_t own_room = std::string().capacity();
    const auto beyond = [](std::size_t capacity, std::size_t own) {
        return capacity > own ? capacity - own : 0;
    };
    std::size_t room = beyond(path.capacity(), std::wstring().capacity()) * sizeof(wchar_t) +
                       beyond(query.capacity(), own_room) + beyond(raw_url.capacity(), own_room) +
                       beyond(method.capacity(), own_room);
    for (const std::string& h : known_headers)
        room += beyond(h.capacity(), own_room);
    if (room > room_limit) return false;
    received = win32::systemtime{};
    flags = 0;
    version = 101;
    request_id = 0;
    path.clear();
    query.clear();
    raw_url.clear();
    method.clear();
    for (std::string& h : known_headers)
        h.clear();
    unknown_headers.clear();
    return true;
}
