// The UPnP device host: a program registers a running device (its
// description and a device control object) and the host owns everything on
// the wire: SSDP announcements and answers, the description and service
// documents, SOAP control calls turned into dispatch calls on the service
// objects, and GENA subscriptions fed by the services' event sources.
//
// The host speaks on its own sockets: HTTP on TCP 2869 (the port the
// firewall rule opens for UPnP) and SSDP on UDP 1900, on every interface,
// loopback included.
#pragma once
#include "platform/automation/dispatch.h"
#include "platform/automation/unknown.h"

#include <cstdint>
#include <memory>
#include <string>

namespace upnp {

using automation::hresult;

constexpr hresult upnp_e_device_running = static_cast<hresult>(0x8004A031);
constexpr hresult upnp_e_device_not_found = static_cast<hresult>(0x8004A032);
constexpr hresult upnp_e_invalid_document = static_cast<hresult>(0x80040207);
constexpr hresult upnp_e_network_error = static_cast<hresult>(0x80040221);
// An action that fails with base + n answers the control point with UPnP
// error 600 + n (701 "No such object" is base + 101).
constexpr hresult upnp_e_action_specific_base = static_cast<hresult>(0x80040300);
constexpr hresult upnp_e_action_specific_max = static_cast<hresult>(0x800403FF);
constexpr hresult action_error(int upnp_code) {
    return static_cast<hresult>(static_cast<uint32_t>(upnp_e_action_specific_base) +
                                static_cast<uint32_t>(upnp_code - 600));
}

inline constexpr automation::guid iid_device_control{
    0x204810BA, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
inline constexpr automation::guid iid_event_source{
    0x204810B5, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
inline constexpr automation::guid iid_event_sink{
    0x204810B4, 0x73B2, 0x11D4, {0xBF, 0x42, 0x00, 0xB0, 0xD0, 0x11, 0x8B, 0x56}};
inline constexpr automation::guid iid_remote_endpoint_info{
    0xC92EB863, 0x0269, 0x4AFF, {0x9C, 0x72, 0x75, 0x32, 0x1B, 0xBA, 0x29, 0x52}};

// Implemented by the program: the host hands it the device identity and asks
// it for one dispatch object per service.
struct device_control_i : automation::iunknown_i {
    virtual hresult initialize(const std::wstring& xml_desc, const std::wstring& device_id,
                               const std::wstring& init_string) = 0;
    virtual hresult get_service_object(const std::wstring& udn, const std::wstring& service_id,
                                       automation::idispatch_i** out) = 0;

  protected:
    ~device_control_i() = default;
};

// Implemented by the host: a service tells it which state variables changed
// (by dispid); the host reads them through the service's dispatch interface.
struct event_sink_i : automation::iunknown_i {
    virtual hresult on_state_changed(uint32_t count, const automation::dispid* ids) = 0;

  protected:
    ~event_sink_i() = default;
};

// Implemented by a service object that has evented state variables.
struct event_source_i : automation::iunknown_i {
    virtual hresult advise(automation::iunknown_i* subscriber) = 0;
    virtual hresult unadvise(automation::iunknown_i* subscriber) = 0;

  protected:
    ~event_source_i() = default;
};

// Out arguments are the call's trailing arguments: the member writes each
// into its slot. A text may be written as a text (BSTR) or, for long ones, as
// its UTF-8 bytes (a byte array), which the host sends as they are.

// Handed by the host as the first argument of an action whose member takes
// one more argument than the service description lists: who is calling.
// String values: "RemoteAddress" (the control point's address, IPv4 dotted
// or IPv6 text) and "LocalAddress" (the address it reached the host on).
struct remote_endpoint_info_i : automation::iunknown_i {
    virtual hresult get_string_value(const std::wstring& name, std::wstring* out) = 0;

  protected:
    ~remote_endpoint_info_i() = default;
};

// Where the host listens. Tests move the ports; the program keeps the defaults.
struct host_options {
    uint16_t http_port = 2869;
    uint16_t ssdp_port = 1900;
    // Announcements go out again after this share of the lifetime.
    double renew_share = 0.5;
};
void set_host_options(const host_options& options);
host_options get_host_options();

// The registrar of the host (both the registration and the re-registration
// interface). Registering the first device opens the host's sockets;
// unregistering the last one closes them.
class registrar {
  public:
    virtual ~registrar() = default;
    // The description's UDN element is a template that the host replaces
    // with the device's own; empty controlURL and eventSubURL elements are
    // filled in; SCPDURL and icon url name files in resource_path.
    virtual hresult register_running_device(const std::wstring& xml_desc, device_control_i* control,
                                            const std::wstring& init_string,
                                            const std::wstring& resource_path, int32_t lifetime,
                                            std::wstring* device_id) = 0;
    // The same under an identifier from an earlier registration.
    // UPNP_E_DEVICE_RUNNING when that device is registered now.
    virtual hresult
    reregister_running_device(const std::wstring& device_id, const std::wstring& xml_desc,
                              device_control_i* control, const std::wstring& init_string,
                              const std::wstring& resource_path, int32_t lifetime) = 0;
    // "uuid:..." of the device for the template UDN of its description.
    virtual hresult get_unique_device_name(const std::wstring& device_id,
                                           const std::wstring& template_udn, std::wstring* udn) = 0;
    // Sends the byebye announcements and forgets the device.
    virtual hresult unregister_device(const std::wstring& device_id, bool permanent) = 0;
};

// The process's registrar (UPnPRegistrar); fails with E_FAIL only when the
// host cannot run at all.
hresult create_registrar(std::shared_ptr<registrar>* out);

// The URL path of a registered device's description ("/upnphost/<id>/desc.xml").
std::string description_path(const std::wstring& device_id);

} // namespace upnp
