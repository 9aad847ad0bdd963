// The internet gateway of the local network, asked through UPnP (miniupnpc)
// to forward ports to this computer. A gateway is found by discovery on the
// local network, or reached directly by the URL of its device description.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace nat {

// A mapping as the gateway reports it.
struct mapping_entry {
    std::string internal_client;
    uint16_t internal_port = 0;
    std::string description;
    bool enabled = false;
    uint32_t lease_seconds = 0;
};

class gateway {
  public:
    ~gateway();
    gateway(const gateway&) = delete;
    gateway& operator=(const gateway&) = delete;

    // SSDP discovery, waiting up to delay_ms for answers; null when no
    // gateway answered.
    static std::unique_ptr<gateway> discover(int delay_ms);
    // The gateway whose device description is at the URL; null when the
    // description cannot be read or names no connection service.
    static std::unique_ptr<gateway> from_url(const std::string& description_url);

    // This computer's address on the side that faces the gateway.
    const std::string& lan_address() const { return lan_address_; }

    // UPnP results: 0 on success, else the gateway's error code (718 a
    // conflicting mapping, 725 only permanent leases) or a negative
    // miniupnpc error.
    int add(uint16_t external_port, const std::string& protocol, uint16_t internal_port,
            const std::string& internal_client, const std::string& description,
            uint32_t lease_seconds);
    int remove(uint16_t external_port, const std::string& protocol);
    int get(uint16_t external_port, const std::string& protocol, mapping_entry& entry);

    struct impl;

  private:
    explicit gateway(std::unique_ptr<impl> p);
    std::unique_ptr<impl> impl_;
    std::string lan_address_;
};

} // namespace nat
