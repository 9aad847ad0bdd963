// Media sharing start and stop: the DLNA profile table, the device
// description with the friendly name, the registration with the device host
// (its identifier kept in the settings), the device control object that
// hands the host the two services, and the media store's watcher.
#pragma once
#include "core/ini_file.h"
#include "platform/automation/com_objects.h"
#include "platform/upnp/upnp.h"

#include <string>

namespace media {

class content_dir;
class con_mgr;
class media_access;

struct media_server_config {
    bool enabled = false;
    std::wstring media_dir;   // absolute, ending in "/"
    std::wstring public_dir;  // the document root, ending in "/"
    std::wstring install_dir; // where the service descriptions and the icon are
    uint32_t http_port = 80;
    int trace_level = 1;
    cl::cached_ini* ini = nullptr;  // [param] "media_server_id"
    std::wstring computer_name;     // empty: asked of the system
    media_access* access = nullptr; // null: the web server's configuration
};

void start_media_server(const media_server_config& config);
void stop_media_server();
void unregister_media_server();
int media_trace_level();

// The device description with its friendly name filled in.
std::wstring media_device_description(const std::wstring& computer_name);

class media_server_dco : public automation::iunknown<upnp::device_control_i> {
  public:
    media_server_dco(uint32_t http_port);
    ~media_server_dco() override;
    upnp::hresult initialize(const std::wstring& xml_desc, const std::wstring& device_id,
                             const std::wstring& init_string) override;
    upnp::hresult get_service_object(const std::wstring& udn, const std::wstring& service_id,
                                     automation::idispatch_i** out) override;
    const std::wstring& udn() const { return udn_; }

  private:
    automation::com_ptr<content_dir> content_dir_;
    automation::com_ptr<con_mgr> con_mgr_;
    std::wstring udn_;
};

} // namespace media
