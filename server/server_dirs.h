// Server-wide values that the directive language and the access check read:
// the public directory (document root), the program-data directory and the
// trace level. Server start sets them once before any request; tests set them
// freely.
#pragma once
#include <cstdint>
#include <string>

// The document root, ending in "/".
std::wstring public_dir();
void set_public_dir(const std::wstring& dir);
// Changes with every set_public_dir: a reader that keeps something made of
// the public directory compares this instead of the text.
uint64_t public_dir_generation();
// The program-data directory, ending in "/": home of the global directive
// file, "mime.types" and "blocklist.txt".
std::wstring data_dir();
void set_data_dir(const std::wstring& dir);
// The media directory, ending in "/"; empty when there is none.
std::wstring media_dir();
void set_media_dir(const std::wstring& dir);
// The private directory (private hash lists and the like), ending in "/".
std::wstring private_dir();
void set_private_dir(const std::wstring& dir);
// UTF-8 copies of the three directories (DOCUMENT_ROOT and the like).
std::string public_dir_utf8();
std::string media_dir_utf8();
std::string private_dir_utf8();
// Name prefixes of calendar and address-book collections; empty switches
// that kind of store off.
std::wstring caldav_prefix();
void set_caldav_prefix(const std::wstring& prefix);
std::wstring carddav_prefix();
void set_carddav_prefix(const std::wstring& prefix);
// The "SERVER_SOFTWARE" text.
std::string server_software();
void set_server_software(const std::string& text);
// The global trace level ("func_trace"); 1 by default.
int trace_level();
void set_trace_level(int level);
