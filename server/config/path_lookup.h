// Turning request paths into local paths safely: normalising URL-like paths,
// validating local file names, percent-decoding and percent-encoding.
// Every local file name that a request, a script or an include uses passes
// check_filename before it is opened.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace server_config {

// Modes of check_filename.
inline constexpr int filename_any_dir = 0;     // anywhere
inline constexpr int filename_public_only = 1; // inside the public directory
inline constexpr int filename_public_or_private = 2;

// A URL-like path as a normalised relative path: "\" is a separator like
// "/", empty and "." components go, ".." removes the component before it.
// A leading and a trailing "/" are kept. Empty when the path would leave
// its root (a ".." with nothing before it to remove).
std::wstring resolve_relative_path(std::wstring_view path);
// The same as a view: into path itself when it is plain already (the usual
// case, which then copies nothing), else into storage.
std::wstring_view resolve_relative_path(std::wstring_view path, std::wstring& storage);

// True when the path is an acceptable local file name: absolute, at most 260
// characters, no character below 32 nor < > " | ? * : after the first, no
// "..", no empty, "." or DOS-device component, no component ending in "." or
// a blank, not a device, fifo or socket. Mode 1: the path lies inside the
// public directory; mode 2: inside the public or the private directory
// (exact, case-sensitive prefixes). When false and the trace level is above 1
// "illegal filename: [%?], %?\n" is traced with the path and the mode.
bool check_filename(int mode, std::wstring_view path);
// The same with explicit base directories and trace level (tests and the
// check above).
bool check_filename_in(int mode, std::wstring_view path, std::wstring_view public_dir,
                       std::wstring_view private_dir, int trace_level);

// check_filename_in for any directory at the given trace level.
inline bool check_any_filename(std::wstring_view path, int trace_level) {
    return check_filename_in(filename_any_dir, path, {}, {}, trace_level);
}

// True when the text holds a character below 32 or one of < > " | ? * :.
bool has_invalid_path_char(std::wstring_view text);

// Percent-decoding of a URL path: "%" and two hexadecimal digits become the
// byte; anything else is copied. False (and nothing) when a "%" is not
// followed by two hexadecimal digits.
bool url_decode(std::string_view text, std::string& out);

// Percent-encoding for hrefs and redirect targets: a leading "http://" or
// "https://" and the host part after it are copied; letters, digits, "." and
// "~" and "/" stay, "\" becomes "/", every other byte becomes "%" and two
// lower-case hexadecimal digits.
std::string url_escape_path(std::string_view text);

// The last-write time (FILETIME) of a file that can be opened for reading;
// -1 when it cannot.
int64_t file_last_write_time(const std::wstring& path);

} // namespace server_config
