#include "media/media_access.h"

#include "core/text.h"
#include "server/access_decision.h"
#include "server/config/config_cache.h"

#include <fstream>
#include <sstream>

namespace media {

bool config_media_access::check(const std::wstring& url_path, std::string* mime_type) {
    // A player gives no login: what needs one is not offered.
    access_client client;
    client.method = "GET";
    client.uri = cl::utf16_to_utf8(url_path);
    const access_answer access = decide_access(client, "GET", url_path);
    if (!access.granted() || !access.auth.auth_type_name.empty()) return false;
    const cl::sh_ptr<config_info>& config = access.config;
    if (mime_type) *mime_type = config->mime_type_of_file(url_path);
    return true;
}

bool config_media_access::per_file_sections(const config_info& config) {
    for (const auto& [path, time] : config.file_times) {
        auto it = sections_.find(path);
        if (it == sections_.end() || it->second.first != time) {
            std::ifstream in(cl::utf16_to_utf8(path), std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            std::string text = s.str();
            for (char& c : text)
                if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
            const bool has = text.find("<files") != std::string::npos ||
                             text.find("<location") != std::string::npos;
            it = sections_.insert_or_assign(path, std::make_pair(time, has)).first;
        }
        if (it->second.second) return true;
    }
    return false;
}

bool config_media_access::allowed(const std::wstring& url_path, bool is_directory,
                                  std::string* mime_type) {
    if (is_directory) return check(url_path, nullptr);
    const std::size_t slash = url_path.rfind(L'/');
    const std::wstring dir = url_path.substr(0, slash + 1);
    const std::wstring name = url_path.substr(slash + 1);
    if (dir != dir_url_) {
        dir_url_ = dir;
        dir_config_ = server_config::config_for_path(dir, L"GET");
        dir_allowed_ = dir_config_ && check(dir, nullptr);
        dir_shared_ = dir_config_ && !per_file_sections(*dir_config_);
    }
    if (!dir_shared_) return check(url_path, mime_type);
    // The access file itself is never media, and is protected anyway.
    if (!dir_allowed_ || cl::iequals_w(name, dir_config_->access_filename)) return false;
    if (mime_type) *mime_type = dir_config_->mime_type_of_file(name);
    return true;
}

} // namespace media
