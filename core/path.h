// Taking local paths apart. Paths are POSIX paths: "/" is the only separator;
// there are no drive letters. The names keep the library's Windows-era
// vocabulary ("backslash" is the path separator) so callers read the same.
#pragma once
#include <string>
#include <string_view>
#include <utility>

namespace cl {

inline constexpr wchar_t path_sep_w = L'/';
inline constexpr char path_sep = '/';

// The server's own temporary files in the tree (new content on its way to
// replacing a file): ".tq-" and 16 hex digits, then ".tmp". Never a
// resource: neither listed nor served, and removed when found at start.
inline bool is_write_temp_name(std::string_view leaf) {
    return leaf.size() == 24 && leaf.starts_with(".tq-") && leaf.ends_with(".tmp");
}

// Adds the separator unless the path is empty or already ends with one.
void append_backslash(std::wstring& path);
void append_backslash(std::string& path);
std::wstring with_backslash(std::wstring_view path);
std::string with_backslash(std::string_view path);
// Copy without its trailing separator, except for the root "/".
std::wstring remove_backslash(std::wstring_view path);
std::string remove_backslash(std::string_view path);

// Text after the last "." of the file name; empty when there is none.
std::wstring file_extension(std::wstring_view path);
std::string file_extension(std::string_view path);
// (base, extension with its "."), split at the last "." of the file name.
std::pair<std::wstring, std::wstring> split_extension(std::wstring_view path);
std::pair<std::string, std::string> split_extension(std::string_view path);
// (directory with its trailing separator, file name); no separator gives an
// empty directory.
std::pair<std::wstring, std::wstring> split_path(std::wstring_view path);
std::pair<std::string, std::string> split_path(std::string_view path);
// Up to and including the last separator; empty when there is none.
std::wstring dir_part(std::wstring_view path);
std::string dir_part(std::string_view path);
// After the last separator; the whole text when there is none.
std::wstring file_name_part(std::wstring_view path);
std::string file_name_part(std::string_view path);
// The same part as a view into path.
std::wstring_view file_name_view(std::wstring_view path) noexcept;
// Cuts the path in place after its last separator (empty when there is none).
void strip_file_name(std::wstring& path);
void strip_file_name(std::string& path);
// Removes in place everything up to and including the last separator.
void strip_dir_part(std::wstring& path);
void strip_dir_part(std::string& path);
// False for an empty path and for one starting with the separator.
bool is_relative_path(std::wstring_view path) noexcept;
bool is_relative_path(std::string_view path) noexcept;

// Puts the text between double quotes in place unless it has at least two
// characters and already starts and ends with one.
void add_quotes(std::wstring& s);
// Removes one pair of surrounding double quotes in place.
void strip_quotes(std::wstring& s);
void strip_quotes(std::string& s);

} // namespace cl
