// The media store's questions to the web server's per-path configuration:
// may a GET reach the path, and what MIME type has a file.
#pragma once
#include "media/media_store.h"
#include "server/config_info.h"

#include <map>

namespace media {

// The files of a folder whose directive files hold no section that applies
// to single files (Files, FilesMatch, Location, LocationMatch) share the
// folder's configuration, so a scan builds one configuration per folder, not
// one per file. Used by one scanning thread at a time.
class config_media_access : public media_access {
  public:
    bool allowed(const std::wstring& url_path, bool is_directory, std::string* mime_type) override;
    void begin_scan() override {
        dir_url_.clear();
        dir_config_ = nullptr;
    }

  private:
    bool per_file_sections(const config_info& config);
    bool check(const std::wstring& url_path, std::string* mime_type);

    std::wstring dir_url_; // the folder of the last file asked about
    cl::sh_ptr<config_info> dir_config_;
    bool dir_allowed_ = false;
    bool dir_shared_ = false; // its files may use the folder's configuration
    std::map<std::wstring, std::pair<uint64_t, bool>> sections_; // file -> (time, has sections)
};

} // namespace media
