// The server directories and prefixes read from the global INI file at
// server start: the public directory (the document root), the media and
// private directories, the CalDAV and CardDAV prefixes and the server
// software text. They are stored as the server's own settings, which the
// path mapping, the CGI variables and the DAV stores read.
#pragma once
#include "core/ini_file.h"

#include <string>

namespace server_config {

// Reads section [Param] of the INI file: "public_dir" (default "pub/" in the
// program-data directory), "media_dir" (default "media/" in the public
// directory; an empty value means none), "private_dir" (default "private/" in
// the program-data directory), "caldav_prefix" (default "caldav_") and
// "carddav_prefix" (default "carddav_"). Directories become absolute plain
// paths ending in "/". Traces "public dir: ", "media dir: " and "private
// dir: ", then loads the block list. Does not start the cache sweep (the
// host's read_server_dirs does).
void read_server_dirs(cl::ini_file& ini);

// "teskqvel/<version>".
std::string server_software_text();

} // namespace server_config
