// What the HTTP server needs of the script host. The script host lives above
// the server, so the server owns this interface and the script host
// implements it; the program shell installs the implementation at start-up.
#pragma once
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
