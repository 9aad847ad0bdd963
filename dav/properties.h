// The d:response element of one file or folder for a plain WebDAV PROPFIND:
// a fixed set of properties read from the file system, whatever the client
// asked for, in one propstat with status 200.
#pragma once
#include "core/simple_file.h"

#include <cstdint>
#include <string>
#include <string_view>

class config_info;
struct xml_document;

struct dav_property_context {
    const config_info* config = nullptr; // MIME types of the request's configuration
    const xml_document* document = nullptr;
    std::wstring user_folder;
    // Reads the calendar and address-book prefixes once per request.
    std::wstring caldav_prefix;
    std::wstring carddav_prefix;
};

// Appends the response of the local path (a folder's path ends in "/") with
// the href given (already escaped for XML). `top` marks the request's target,
// which alone may carry d:current-user-principal. True when the path is a
// folder.
bool write_dav_properties(std::string& out, const dav_property_context& context,
                          const std::wstring& path, const std::string& href, bool top);

// What the file system said of one entry (statx, without opening it).
struct dav_entry {
    std::string path; // UTF-8; a folder's ends in "/"
    cl::file_information info;
    uint32_t mode = 0;
    bool ok = false;
    // The open folder and the name in it, when the entry comes from a listing.
    int dir_fd = -1;
    const char* name = nullptr;
};
// The same for an entry already looked at; the wide path gives the MIME type.
bool write_dav_properties(std::string& out, const dav_property_context& context,
                          const dav_entry& entry, std::wstring_view path, const std::string& href,
                          bool top);

// An href from a URL path (UTF-8 of a wide path): percent-encoded and escaped
// for XML.
std::string dav_href(const std::wstring& url_path);
