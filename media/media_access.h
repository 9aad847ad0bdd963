// The media store's questions to the web server's per-path configuration:
// may a GET reach the path, and what MIME type has a file.
#pragma once
#include "media/media_store.h"

namespace media {

class config_media_access : public media_access {
  public:
    bool allowed(const std::wstring& url_path, bool is_directory, std::string* mime_type) override;
};

} // namespace media
