// The user look-ups of the logins: a user's stored value in a user hash-list
// file, with stored passwords kept enciphered in the file.
#pragma once
#include <string>

namespace scripting {

// The value of the key in the hash-list file (taken with a cache time of
// 900 s and read again when the file changes on disk). When the key equals
// the field name (ignoring case) the value is a stored password: a plain one
// is enciphered and written back at once, an enciphered one ("!" and hex) is
// deciphered. Empty when the file or the key is missing, and for a file path
// that is not absolute or holds "." or ".." components or control characters.
std::string get_user_value(const std::wstring& file, const std::string& key,
                           const std::string& field);
std::string get_user_password(const std::wstring& file, const std::string& key);

// True when the path may be opened as a user file.
bool is_safe_user_file(const std::wstring& file);

} // namespace scripting
