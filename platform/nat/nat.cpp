#include "platform/nat/nat.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <cstdlib>
#include <cstring>

// The calls below follow the library's interface of versions 10 to 17;
// version 18 added the gateway's WAN address to the IGD look-up.
#if !defined(MINIUPNPC_API_VERSION) || MINIUPNPC_API_VERSION < 10
#error "miniupnpc API version 10 or later is needed"
#endif

namespace nat {

struct gateway::impl {
    UPNPUrls urls{};
    IGDdatas data{};
    ~impl() { FreeUPNPUrls(&urls); }
};

gateway::gateway(std::unique_ptr<impl> p) : impl_(std::move(p)) {}
gateway::~gateway() = default;

std::unique_ptr<gateway> gateway::discover(int delay_ms) {
    int error = 0;
    UPNPDev* devices = upnpDiscover(delay_ms, nullptr, nullptr, 0, 0, 2, &error);
    if (!devices) return nullptr;
    auto p = std::make_unique<impl>();
    char lan[64] = {};
#if MINIUPNPC_API_VERSION >= 18
    char wan[64] = {};
    const int found =
        UPNP_GetValidIGD(devices, &p->urls, &p->data, lan, sizeof(lan), wan, sizeof(wan));
#else
    const int found = UPNP_GetValidIGD(devices, &p->urls, &p->data, lan, sizeof(lan));
#endif
    freeUPNPDevlist(devices);
    // 1: a connected gateway. Other answers are devices that are not
    // gateways, or gateways without an outside connection.
    if (found != 1) return nullptr;
    std::unique_ptr<gateway> g(new gateway(std::move(p)));
    g->lan_address_ = lan;
    return g;
}

std::unique_ptr<gateway> gateway::from_url(const std::string& description_url) {
    auto p = std::make_unique<impl>();
    char lan[64] = {};
    if (!UPNP_GetIGDFromUrl(description_url.c_str(), &p->urls, &p->data, lan, sizeof(lan)))
        return nullptr;
    if (!p->urls.controlURL || !*p->urls.controlURL || !p->data.first.servicetype[0])
        return nullptr;
    std::unique_ptr<gateway> g(new gateway(std::move(p)));
    g->lan_address_ = lan;
    return g;
}

int gateway::add(uint16_t external_port, const std::string& protocol, uint16_t internal_port,
                 const std::string& internal_client, const std::string& description,
                 uint32_t lease_seconds) {
    const std::string ext = std::to_string(external_port);
    const std::string in = std::to_string(internal_port);
    const std::string lease = std::to_string(lease_seconds);
    return UPNP_AddPortMapping(impl_->urls.controlURL, impl_->data.first.servicetype, ext.c_str(),
                               in.c_str(), internal_client.c_str(), description.c_str(),
                               protocol.c_str(), nullptr, lease.c_str());
}

int gateway::remove(uint16_t external_port, const std::string& protocol) {
    const std::string ext = std::to_string(external_port);
    return UPNP_DeletePortMapping(impl_->urls.controlURL, impl_->data.first.servicetype,
                                  ext.c_str(), protocol.c_str(), nullptr);
}

int gateway::get(uint16_t external_port, const std::string& protocol, mapping_entry& entry) {
    const std::string ext = std::to_string(external_port);
    // Sizes the library writes into: 16 for the client and port, 80 for the
    // description, 4 for the flag, 16 for the lease.
    char client[40] = {}, port[16] = {}, desc[96] = {}, enabled[8] = {}, lease[16] = {};
    const int rc = UPNP_GetSpecificPortMappingEntry(
        impl_->urls.controlURL, impl_->data.first.servicetype, ext.c_str(), protocol.c_str(),
        nullptr, client, port, desc, enabled, lease);
    if (rc != 0) return rc;
    entry.internal_client = client;
    entry.internal_port = uint16_t(std::strtoul(port, nullptr, 10));
    entry.description = desc;
    entry.enabled = std::strcmp(enabled, "1") == 0;
    entry.lease_seconds = uint32_t(std::strtoul(lease, nullptr, 10));
    return 0;
}

} // namespace nat
