// The server's ports forwarded by the internet gateway. Only the address
// that faces the gateway is mapped; the mappings that succeeded are
// remembered, their finite lease is renewed while the program runs, and at
// stop only those are removed, and only while the gateway still has them
// pointing at this computer.
#pragma once
#include "platform/nat/nat.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sys {

// The lease asked for; renewed at half of it.
constexpr uint32_t nat_lease_seconds = 3600;

// Finds the gateway by discovery on the local network (waits up to 2 s).
bool nat_setup();
// Uses the given gateway (one reached by its description URL).
bool nat_setup_with(std::unique_ptr<nat::gateway> gateway);
// Maps the port on the address facing the gateway; true when added.
bool nat_add_port_mappings(uint16_t port, const std::wstring& protocol, uint16_t internal_port,
                           const std::wstring& description);
// Removes a mapping added by nat_add_port_mappings when the gateway still
// forwards it to this computer; true when it was removed.
bool nat_remove_port_mapping(uint16_t port, const std::wstring& protocol);
// Asks for every remembered mapping again, which renews its lease.
void nat_renew_mappings();
// Forgets the gateway and stops the renewal; mappings not removed stay
// until their lease runs out.
void nat_release_globals();
// How many mappings are remembered as ours.
std::size_t nat_mapping_count();

} // namespace sys
