#include "media/media_server.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "media/con_mgr.h"
#include "media/content_dir.h"
#include "media/dlna_profiles.h"
#include "media/media_access.h"
#include "media/media_store.h"
#include "server/request_thread.h"
#include "server/server_services.h"

#include <mutex>
#include <thread>
#include <unistd.h>

namespace media {

namespace {

const wchar_t description_template[] =
    L"<?xml version=\"1.0\"?>\n"
    L"<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
    L"<specVersion>\n<major>1</major>\n<minor>0</minor>\n</specVersion>\n"
    L"<device>\n"
    L"<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\n"
    L"<friendlyName>Tesk QVel Media Sharing #computername#</friendlyName>\n"
    L"<manufacturer>Tesk Software</manufacturer>\n"
    L"<manufacturerURL>http://www.tesk.example/</manufacturerURL>\n"
    L"<modelName>Tesk Qvelora uPnP</modelName>\n"
    L"<modelNumber>1.0</modelNumber>\n"
    L"<modelURL>http://www.tesk.example/qvel/</modelURL>\n"
    L"<serialNumber>{249eb9ba-9c60-42ca-b18d-a8562db2d1ef}</serialNumber>\n"
    L"<UDN>uuid:RootDevice</UDN>\n"
    L"<iconList>\n<icon>\n"
    L"<mimetype>image/png</mimetype>\n"
    L"<width>32</width><height>32</height>\n"
    L"<depth>32</depth>\n"
    L"<url>qvel_media.png</url>\n"
    L"</icon>\n</iconList>\n"
    L"<serviceList>\n<service>\n"
    L"<serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>\n"
    L"<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>\n"
    L"<controlURL></controlURL>\n<eventSubURL></eventSubURL>\n"
    L"<SCPDURL>content_dir.xml</SCPDURL>\n"
    L"</service>\n<service>\n"
    L"<serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>\n"
    L"<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>\n"
    L"<SCPDURL>con_mgr.xml</SCPDURL>\n"
    L"<controlURL></controlURL>\n<eventSubURL></eventSubURL>\n"
    L"</service>\n</serviceList>\n</device>\n</root>\n";

int g_level = 1;
bool g_enabled = false;
media_server_config g_config;
config_media_access g_access;
std::thread g_watcher_thread; // only when the server pool could not take the job

class content_features : public content_features_provider {
  public:
    std::wstring get_content_features(std::string_view content_type) override {
        return media::get_content_features(content_type);
    }
};
content_features g_features;

void trace1(const std::string& s) {
    if (g_level > 0) cl::trace_out.write(s);
}

} // namespace

int media_trace_level() {
    return g_level;
}

std::wstring media_device_description(const std::wstring& computer_name) {
    std::wstring desc = description_template;
    const std::wstring name = computer_name.empty() ? std::wstring() : L"at " + computer_name;
    const std::wstring escaped = xml_escape_w(name);
    const std::wstring marker = L"#computername#";
    for (std::size_t p = desc.find(marker); p != std::wstring::npos;
         p = desc.find(marker, p + escaped.size()))
        desc.replace(p, marker.size(), escaped);
    return desc;
}

media_server_dco::media_server_dco(uint32_t http_port)
    : automation::iunknown<upnp::device_control_i>(upnp::iid_device_control),
      content_dir_(new content_dir(the_media_store(), http_port)), con_mgr_(new con_mgr) {}

media_server_dco::~media_server_dco() {
    con_mgr_.reset();
    content_dir_.reset();
}

upnp::hresult media_server_dco::initialize(const std::wstring&, const std::wstring& device_id,
                                           const std::wstring& init_string) {
    if (g_level > 1)
        cl::trace_out.write_w(cl::format_wstr(L"DCO init: %? %?\n", device_id, init_string));
    std::shared_ptr<upnp::registrar> reg;
    upnp::hresult hr = upnp::create_registrar(&reg);
    if (automation::failed(hr)) {
        cl::trace_out.write(cl::format_str("unable to create UPnPRegistrar %x\n", uint32_t(hr)));
        return hr;
    }
    std::wstring udn;
    hr = reg->get_unique_device_name(device_id, L"uuid:RootDevice", &udn);
    if (automation::failed(hr)) {
        cl::trace_out.write(cl::format_str("unable to get unique device name %x\n", uint32_t(hr)));
        return hr;
    }
    udn_ = udn;
    return automation::s_ok;
}

upnp::hresult media_server_dco::get_service_object(const std::wstring& udn,
                                                   const std::wstring& service_id,
                                                   automation::idispatch_i** out) {
    if (!out) return automation::e_pointer;
    if (g_level > 1)
        cl::trace_out.write_w(cl::format_wstr(L"DCO GetServiceObject: %? %?\n", udn, service_id));
    if (udn != udn_) {
        cl::trace_out.write_w(
            cl::format_wstr(L"DCO GetServiceObject udn mismatch: %? <-> %?\n", udn, udn_));
        return automation::e_fail;
    }
    if (service_id == L"urn:upnp-org:serviceId:ContentDirectory") {
        content_dir_->add_ref();
        *out = static_cast<content_dir_i*>(content_dir_.get());
        return automation::s_ok;
    }
    if (service_id == L"urn:upnp-org:serviceId:ConnectionManager") {
        con_mgr_->add_ref();
        *out = static_cast<con_mgr_i*>(con_mgr_.get());
        return automation::s_ok;
    }
    cl::trace_out.write_w(
        cl::format_wstr(L"DCO GetServiceObject unknown service: %?\n", service_id));
    return automation::e_nointerface;
}

void start_media_server(const media_server_config& config) {
    fill_dlna_profiles();
    set_content_features_provider(&g_features);
    g_level = config.trace_level;
    media_store::set_trace_level(config.trace_level);
    g_enabled = config.enabled;
    if (!config.enabled) return;
    g_config = config;

    std::wstring computer = config.computer_name;
    if (computer.empty()) {
        char host[256] = {};
        if (gethostname(host, 255) == 0) computer = cl::utf8_to_utf16(host);
    }
    const std::wstring desc = media_device_description(computer);
    automation::com_ptr<media_server_dco> dco(new media_server_dco(config.http_port));
    std::wstring id;
    if (config.ini) id = config.ini->get_string_or(L"param", L"media_server_id", L"");

    std::shared_ptr<upnp::registrar> reg;
    upnp::hresult hr = upnp::create_registrar(&reg);
    if (automation::failed(hr)) {
        trace1(cl::format_str("unable to create UPnPRegistrar %x\n", uint32_t(hr)));
        return;
    }
    bool registered = false;
    if (!id.empty()) {
        hr = reg->reregister_running_device(id, desc, dco.get(), L"init", config.install_dir, 900);
        if (hr == upnp::upnp_e_device_running) {
            unregister_media_server();
            hr = reg->reregister_running_device(id, desc, dco.get(), L"init", config.install_dir,
                                                900);
        }
        registered = automation::succeeded(hr);
    }
    if (!registered) {
        std::wstring new_id;
        hr = reg->register_running_device(desc, dco.get(), L"init", config.install_dir, 900,
                                          &new_id);
        if (automation::failed(hr)) {
            trace1(cl::format_str("unable to register UPnP device %x\n", uint32_t(hr)));
            return;
        }
        if (config.ini) config.ini->set_value(L"param", L"media_server_id", new_id, true);
    }

    media_store& store = the_media_store();
    store.set_folders(config.media_dir, config.public_dir);
    store.set_access(config.access ? config.access : &g_access);
    store.watcher_queued();
    cl::thread_pool* pool = server_pool();
    if (!pool || pool->run([&store] { store.watch(); }) == 0)
        g_watcher_thread = std::thread([&store] { store.watch(); });
}

void unregister_media_server() {
    std::shared_ptr<upnp::registrar> reg;
    const upnp::hresult hr = upnp::create_registrar(&reg);
    if (automation::failed(hr)) {
        trace1(cl::format_str("unable to create UPnPRegistrar %x\n", uint32_t(hr)));
        return;
    }
    if (!g_config.ini) return;
    const std::wstring id = g_config.ini->get_string_or(L"param", L"media_server_id", L"");
    if (id.empty()) return;
    const upnp::hresult u = reg->unregister_device(id, false);
    if (automation::failed(u) && u != upnp::upnp_e_device_not_found)
        trace1(cl::format_str("unable to unregister UPnP device %x\n", uint32_t(u)));
}

void stop_media_server() {
    if (!g_enabled) return;
    the_media_store().stop();
    if (g_watcher_thread.joinable()) g_watcher_thread.join();
    unregister_media_server();
    g_enabled = false;
}

} // namespace media
