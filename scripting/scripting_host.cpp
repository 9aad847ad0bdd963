#include "scripting/scripting_host.h"

#include "scripting/config_cache.h"
#include "scripting/hashlist.h"
#include "scripting/hashlist_users.h"
#include "scripting/path_lookup.h"
#include "scripting/server_settings.h"

namespace scripting {

bool scripting_host::check_filename(const std::wstring& path, int trace_level) {
    return check_filename_in(filename_any_dir, path, {}, {}, trace_level);
}

std::wstring scripting_host::resolve_relative_path(std::wstring_view path) {
    return scripting::resolve_relative_path(path);
}

std::string scripting_host::url_escape_path(std::string_view text) {
    return scripting::url_escape_path(text);
}

std::string scripting_host::get_user_value(const std::wstring& file, const std::string& key,
                                           const std::string& field) {
    return scripting::get_user_value(file, key, field);
}

void scripting_host::close_all_hashlists() {
    scripting::close_all_hashlists();
}

cl::sh_ptr<config_info> scripting_host::get_config_info(std::wstring_view path,
                                                        std::wstring_view method) {
    return scripting::get_config_info_checked(path, method);
}

cl::sh_ptr<config_info> scripting_host::get_url_config_info(std::string_view url,
                                                            std::wstring_view method) {
    return scripting::get_url_config_info(url, method);
}

void scripting_host::clear_config_info_cache() {
    scripting::clear_config_info_cache();
}

void scripting_host::read_server_dirs() {
    scripting::read_server_dirs(ini_);
    the_config_info_cache().start_sweep();
}

} // namespace scripting
