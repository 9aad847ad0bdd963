#include "media/media_access.h"

#include "scripting/config_cache.h"
#include "server/access_checker.h"

namespace media {

bool config_media_access::allowed(const std::wstring& url_path, bool is_directory,
                                  std::string* mime_type) {
    cl::sh_ptr<config_info> config = scripting::get_config_info_checked(url_path, L"GET");
    if (!config) return false;
    if (!check_require("GET", *config, nullptr)) return false;
    auth_info info;
    info.method = "GET";
    info.uri = cl::utf16_to_utf8(url_path);
    access_checker checker(config, info, std::string());
    // A login would be asked for: a player has none to give.
    if (!checker.result() || checker.auth_applies()) return false;
    if (!is_directory && mime_type) *mime_type = config->mime_type_of_file(url_path);
    return true;
}

} // namespace media
