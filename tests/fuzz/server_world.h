// The server's surroundings for targets that reach code above the HTTP
// layer: a program-data folder with a document root and a private folder
// in the scratch folder, the directive table, and the real script host.
#pragma once
#include <string>

namespace fuzz {

struct server_world {
    std::string data; // program-data folder, ends in "/"
    std::string pub;  // document root below it, ends in "/"
};

inline constexpr const char* default_directives =
    "Require all granted\nDirectoryIndex index.html\nAddHandler server-parsed .shtml\n";
inline constexpr const char* default_mime_types =
    "text/html html htm\ntext/plain txt\napplication/octet-stream bin\n";

// Made on the first call; traces are off.
const server_world& set_up_server();

} // namespace fuzz
