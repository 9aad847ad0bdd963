#include "server/start_services.h"

#include "server/proxy.h"

#include <atomic>

namespace {

class no_firewall final : public firewall_ports {
  public:
    bool init(uint32_t) override { return true; }
    bool is_enabled() override { return false; }
    bool add_port(uint32_t, bool, const std::wstring&) override { return false; }
    bool remove_port(uint32_t, bool) override { return false; }
};

std::atomic<firewall_factory> installed_factory{nullptr};
start_services default_services;
std::atomic<start_services*> installed_services{nullptr};

} // namespace

std::unique_ptr<firewall_ports> make_firewall() {
    const firewall_factory f = installed_factory.load();
    if (f) return f();
    return std::make_unique<no_firewall>();
}

void set_firewall_factory(firewall_factory factory) {
    installed_factory.store(factory);
}

uint32_t start_services::open_http_session() {
    return open_proxy_session();
}

void start_services::close_http_session() {
    close_proxy_session();
}

start_services& the_start_services() {
    start_services* s = installed_services.load();
    return s ? *s : default_services;
}

void set_start_services(start_services* services) {
    installed_services.store(services);
}
