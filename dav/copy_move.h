// COPY and MOVE.
#pragma once
#include <string>
#include <string_view>
#include <vector>

class http_copy_move_request;

// 0 when it answered, else the status of the error answer still to be sent.
int dav_copy_move(http_copy_move_request& request);

// The names and ports under which a client reaches this server (host names
// and addresses in lower case).
struct own_names {
    std::vector<std::string> hosts;
    std::vector<std::string> ports;
    // Adds the host and port of an authority ("name", "name:port", "[v6]:port").
    void add(std::string_view authority);
    // True when the authority (port by default the scheme's) is one of them.
    bool names(std::string_view authority, bool secure) const;
};

// The URL path of a Destination header: an absolute http or https URL
// (scheme and host dropped) or an absolute path, without query or fragment,
// still percent-encoded. 0, or 400 when the header names no usable path
// (bad escapes, invalid UTF-8, characters no file name may hold, a path
// climbing above the root), or 502 for an absolute URL whose authority is not
// one of own (when given): a resource of another server. folder_spelling:
// whether the decoded path ends in a slash.
int destination_url_path(std::string_view header, std::string& path, const own_names* own = nullptr,
                         bool* folder_spelling = nullptr);
