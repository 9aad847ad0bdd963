// The services of other subsystems that server start and stop call and that
// stand in this folder until those subsystems provide them: the firewall rule
// store, the type-library check, the HTTP client session and the media
// subsystem's capture streams. The program shell installs the real ones.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

// Opens and closes the server's ports in the firewall.
class firewall_ports {
  public:
    virtual ~firewall_ports() = default;
    // profiles: 7 = all profiles.
    virtual bool init(uint32_t profiles) = 0;
    virtual bool is_enabled() = 0;
    virtual bool add_port(uint32_t port, bool tcp, const std::wstring& rule_name) = 0;
    virtual bool remove_port(uint32_t port, bool tcp) = 0;
};

// Makes the firewall wrapper for one start or stop. Without an installed
// factory there is no firewall to talk to: init succeeds and the firewall
// reports itself not enabled.
using firewall_factory = std::unique_ptr<firewall_ports> (*)();
std::unique_ptr<firewall_ports> make_firewall();
void set_firewall_factory(firewall_factory factory);

// The services the later subsystems install; each default is the stand-in.
class start_services {
  public:
    virtual ~start_services() = default;
    // Whether the program's type library can be loaded; the stand-in has none
    // to miss.
    virtual bool type_library_loads() { return true; }
    // Opens the proxy's HTTP client session; 0 or an error number.
    virtual uint32_t open_http_session();
    virtual void close_http_session();
    // Stops every live capture stream; returns when they are stopped.
    virtual void stop_capture_streams() {}
};
start_services& the_start_services();
void set_start_services(start_services* services);
