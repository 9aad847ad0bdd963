// Server-wide values that the directive language and the access check read:
// the public directory (document root), the program-data directory and the
// trace level. Server start sets them once before any request; tests set them
// freely.
#pragma once
#include <string>

// The document root, ending in "/".
std::wstring public_dir();
void set_public_dir(const std::wstring& dir);
// The program-data directory, ending in "/": home of the global directive
// file, "mime.types" and "blocklist.txt".
std::wstring data_dir();
void set_data_dir(const std::wstring& dir);
// The global trace level ("func_trace"); 1 by default.
int trace_level();
void set_trace_level(int level);
