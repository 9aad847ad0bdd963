#include "shell/system_integration.h"

#include "platform/firewall/firewall.h"
#include "server/server_settings.h"
#include "server/start_services.h"
#include "shell/globals.h"
#include "shell/language.h"
#include "system/crash_handler.h"
#include "system/maker_service.h"
#include "system/nat_mappings.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

// The firewall the server opens its ports in: the rule store in the
// program-data directory. Stop removes only the rules start made (or found
// under the same names): a rule of the same port that someone else made
// stays.
class store_firewall final : public firewall_ports {
  public:
    store_firewall() : fw_(g_data_dir + L"firewall_rules.txt") {}
    bool init(uint32_t profiles) override { return fw_.open(profiles); }
    bool is_enabled() override { return fw_.is_enabled(); }
    bool add_port(uint32_t port, bool tcp, const std::wstring& rule_name) override {
        if (!fw_.add_port(port, tcp, rule_name)) return false;
        std::lock_guard lk(lock());
        ours()[{port, tcp}] = rule_name;
        return true;
    }
    bool remove_port(uint32_t port, bool tcp) override {
        std::wstring name;
        {
            std::lock_guard lk(lock());
            auto it = ours().find({port, tcp});
            if (it == ours().end()) return true;
            name = it->second;
            ours().erase(it);
        }
        return fw_.remove_port_rule(port, tcp, name);
    }

  private:
    // The names start gave, kept from the start's wrapper to the stop's.
    static std::map<std::pair<uint32_t, bool>, std::wstring>& ours() {
        static std::map<std::pair<uint32_t, bool>, std::wstring> m;
        return m;
    }
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    firewall::wfirewall_vista fw_;
};

std::unique_ptr<firewall_ports> make_store_firewall() {
    return std::make_unique<store_firewall>();
}

bool port_forwarding_started = false;

} // namespace

void install_crash_handler_first() {
    sys::install_crash_handler(g_program_name, sys::crash_mode_ask);
    sys::crash_report_params(L"teskqvel", L"3.07.2407");
    sys::crash_set_upload_host(sys::maker_host);
}

void set_crash_texts_from_language() {
    sys::crash_set_texts(ml_text("crash_msg_crash"), ml_text("crash_msg_virus"),
                         ml_text("crash_msg_virus_clean"), ml_text("crash_msg_hook"),
                         ml_text("crash_msg_terminate"), ml_text("crash_msg_query_upload"));
}

void prepare_system_integration() {
    sys::crash_set_service_mode(g_service_mode);
    set_firewall_factory(&make_store_firewall);
}

void start_port_forwarding() {
    if (!g_enable_port_forwarding || g_service_mode) return;
    port_forwarding_started = true;
    if (!sys::nat_setup()) return;
    const server_values& v = server_settings();
    sys::nat_add_port_mappings(uint16_t(v.server_port), L"TCP", uint16_t(v.server_port),
                               L"Tesk Qvelora HTTP");
    if (v.https_port != 0)
        sys::nat_add_port_mappings(uint16_t(v.https_port), L"TCP", uint16_t(v.https_port),
                                   L"Tesk Qvelora HTTPS");
}

void stop_port_forwarding() {
    if (!port_forwarding_started) return;
    port_forwarding_started = false;
    const server_values& v = server_settings();
    sys::nat_remove_port_mapping(uint16_t(v.server_port), L"TCP");
    if (v.https_port != 0) sys::nat_remove_port_mapping(uint16_t(v.https_port), L"TCP");
    sys::nat_release_globals();
}
