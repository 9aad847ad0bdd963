#include "system/nat_mappings.h"

#include "core/format.h"
#include "core/text.h"
#include "core/timer.h"
#include "core/trace.h"

#include <mutex>
#include <vector>

namespace sys {

namespace {

struct own_mapping {
    uint16_t external_port;
    std::string protocol;
    uint16_t internal_port;
    std::string client;
    std::string description;
};

struct nat_state {
    std::mutex lock;
    std::unique_ptr<nat::gateway> gateway;
    std::vector<own_mapping> mappings;
    cl::timer_id renewal;
};

nat_state& state() {
    static nat_state s;
    return s;
}

// A gateway that keeps only permanent mappings refuses a lease (725): then
// the mapping is asked for without one, and removed at stop as before.
int add_with_lease(nat::gateway& g, const own_mapping& m) {
    int rc = g.add(m.external_port, m.protocol, m.internal_port, m.client, m.description,
                   nat_lease_seconds);
    if (rc == 725)
        rc = g.add(m.external_port, m.protocol, m.internal_port, m.client, m.description, 0);
    return rc;
}

void arm_renewal(nat_state& s) {
    if (!cl::global_timers_running() || s.renewal.armed()) return;
    cl::slow_timer().set_timer(
        s.renewal, [] { nat_renew_mappings(); }, int32_t(nat_lease_seconds / 2 * 1000), 0);
}

} // namespace

bool nat_setup() {
    return nat_setup_with(nat::gateway::discover(2000));
}

bool nat_setup_with(std::unique_ptr<nat::gateway> gateway) {
    auto& s = state();
    std::lock_guard lk(s.lock);
    s.gateway = std::move(gateway);
    return s.gateway != nullptr;
}

bool nat_add_port_mappings(uint16_t port, const std::wstring& protocol, uint16_t internal_port,
                           const std::wstring& description) {
    auto& s = state();
    std::unique_lock lk(s.lock);
    if (!s.gateway || s.gateway->lan_address().empty()) return false;
    own_mapping m{port, cl::utf16_to_utf8(protocol), internal_port, s.gateway->lan_address(),
                  cl::utf16_to_utf8(description)};
    if (add_with_lease(*s.gateway, m) != 0) return false;
    for (auto& old : s.mappings)
        if (old.external_port == port && old.protocol == m.protocol) {
            old = m;
            return true;
        }
    s.mappings.push_back(std::move(m));
    arm_renewal(s);
    return true;
}

bool nat_remove_port_mapping(uint16_t port, const std::wstring& protocol) {
    auto& s = state();
    std::lock_guard lk(s.lock);
    if (!s.gateway) return false;
    const std::string proto = cl::utf16_to_utf8(protocol);
    for (auto it = s.mappings.begin(); it != s.mappings.end(); ++it) {
        if (it->external_port != port || it->protocol != proto) continue;
        const own_mapping m = *it;
        s.mappings.erase(it);
        nat::mapping_entry now;
        // Someone else may have taken the port since (our lease ran out):
        // their mapping is not ours to remove.
        if (s.gateway->get(port, proto, now) != 0 || now.internal_client != m.client ||
            now.internal_port != m.internal_port)
            return false;
        return s.gateway->remove(port, proto) == 0;
    }
    return false;
}

void nat_renew_mappings() {
    auto& s = state();
    std::lock_guard lk(s.lock);
    if (!s.gateway) return;
    for (const auto& m : s.mappings) {
        const int rc = add_with_lease(*s.gateway, m);
        if (rc != 0)
            cl::trace_out.write(cl::format_str("port mapping %? %? not renewed: %?\n", m.protocol,
                                               m.external_port, rc));
    }
}

void nat_release_globals() {
    auto& s = state();
    // The renewal takes the lock: it is stopped before the lock is taken.
    s.renewal.kill(true);
    std::lock_guard lk(s.lock);
    s.gateway.reset();
    s.mappings.clear();
}

std::size_t nat_mapping_count() {
    auto& s = state();
    std::lock_guard lk(s.lock);
    return s.mappings.size();
}

} // namespace sys
