// What the HTTP server needs of the script host. The script host lives above
// the server, so the server owns this interface and the script host
// implements it; the program shell installs the implementation at start-up.
#pragma once
#include "core/ref_cnt.h"
#include "server/config_info.h"

#include <string>
#include <string_view>

class script_host {
  public:
    virtual ~script_host() = default;
    // True when the path is a usable file-system path; traces
    // "illegal filename: [%?], %?\n" itself when false and the level is above 1.
    virtual bool check_filename(const std::wstring& path, int trace_level) = 0;
    // A URL-like path as a relative local path: doubled separators reduced,
    // "." and ".." components removed.
    virtual std::wstring resolve_relative_path(std::wstring_view path) = 0;
    // Percent-encoded text for hrefs and redirect targets.
    virtual std::string url_escape_path(std::string_view text) = 0;
    // The value of a key in a user hash-list file (decrypted when the key
    // equals the field name); empty when the file or key is missing.
    virtual std::string get_user_value(const std::wstring& file, const std::string& key,
                                       const std::string& field) = 0;
    // The configuration of a path relative to the document root for the
    // request method, shared and cached; null for a path that leaves the root,
    // is blocked or holds a character below 32 or one of < > " | ? * :.
    virtual cl::sh_ptr<config_info> get_config_info(std::wstring_view, std::wstring_view) {
        return nullptr;
    }
    // The same for a URL path as a client sent it (UTF-8, percent-encoded).
    virtual cl::sh_ptr<config_info> get_url_config_info(std::string_view, std::wstring_view) {
        return nullptr;
    }
    // Empties the configuration cache; returns when done.
    virtual void clear_config_info_cache() {}
    // Reads the server directories and prefixes from the global INI file
    // into the settings of server_dirs.h and loads the block list.
    virtual void read_server_dirs() {}
    std::string get_user_password(const std::wstring& file, const std::string& key) {
        return get_user_value(file, key, "password");
    }
};

// The installed script host. Until one is installed a refusing stand-in
// answers: no file name is valid and no user has a password.
script_host& the_script_host();
// Installs the host (null restores the stand-in). Called once at start-up,
// before any request, and by tests.
void set_script_host(script_host* host);
