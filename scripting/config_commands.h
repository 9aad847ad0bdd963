// The one-line configuration commands that other local programs send to the
// running server: queries anyone may make, and the changing commands (block
// list, settings lines of access files, dynamic-address names) that only the
// users named in "command_users" of [param] may run. The caller is named by
// whoever delivered the line (the peer of the command socket), never by the
// account the server runs as.
#pragma once
#include "core/ini_file.h"
#include "core/ref_cnt.h"
#include "server/config_info.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace scripting {

// The account name of a user id; empty when the system knows none.
std::wstring user_name_of_uid(uid_t uid);
// The account the calling process runs as.
std::wstring current_user_name();

// The result text of a command line from the named caller. A leading "@"
// keeps the line out of the trace. Never throws.
std::wstring run_server_command(cl::ini_file& ini, std::wstring_view line,
                                const std::wstring& caller);
// The changing commands, after the check of the caller against "command_users".
std::wstring run_protected_command(cl::ini_file& ini, std::wstring_view line,
                                   const std::wstring& caller);

// The effective configuration of a directory inside the document tree. The
// path is resolved first (".." and links), so a name that only looks inside
// is refused. Empty on success, else the error text.
std::wstring get_directory_config(const std::wstring& path, cl::sh_ptr<config_info>& out);

// Deletes every line of the directory's access file that begins (without
// regard to case) with the setting, or appends the setting line. The file is
// replaced only once its new content is complete and on disk. The result
// text: "OK" ("OK FALSE" for a delete that matched nothing) or the reason.
std::wstring edit_access_file(std::wstring_view arguments, bool insert);

// Seconds from the time of day (in seconds) to "maintenance_time" of
// [param] ("hh:mm:ss", default midnight); negative once it has passed. A
// time not made of three parts counts as midnight.
int32_t seconds_until_maintenance(cl::ini_file& ini, int32_t time_of_day);

// The first word of a command argument, taken from the front of text: in
// double quotes (inside them a backslash escapes a quote or a backslash) or
// up to the first blank.
std::wstring take_path_argument(std::wstring_view& text);

} // namespace scripting
