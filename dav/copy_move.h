// COPY and MOVE.
#pragma once
#include <string>
#include <string_view>

class http_copy_move_request;

// 0 when it answered, else the status of the error answer still to be sent.
int dav_copy_move(http_copy_move_request& request);

// The URL path of a Destination header: an absolute http or https URL
// (scheme and host dropped) or an absolute path, without query or fragment,
// still percent-encoded. 0, or 400 when the header names no usable path
// (bad escapes, invalid UTF-8, characters no file name may hold, a path
// climbing above the root).
int destination_url_path(std::string_view header, std::string& path);
