// The class library's process-wide objects. `library_init` builds them in a
// fixed order before the program's own work starts: the random source's
// seed, the trace sinks and their wiring to the channels, the DLL registry,
// the "slow" and "fast" timers (their worker threads start here), the system
// information texts, the OS description, the high-resolution clock, the
// clock mode names, the static identifiers, the generator state and the
// processor description. `library_shutdown` takes down what needs an orderly
// end in the reverse order: the timers are synchronised and stopped, the
// trace file is flushed. The rest are function-local statics, built here in
// this order and so destroyed in the reverse one when the process exits.
#pragma once
#include "core/ip_addr.h"

#include <cstdint>
#include <string>

namespace cl {

// Call once each, first and last thing of the program's entry point, while
// no other thread runs (library_init starts the timer threads itself).
void library_init();
void library_shutdown();
bool library_running();

// The first 8 bytes of the machine's entropy digest read as a little-endian
// number: the seed of the library's random generator.
uint64_t entropy_seed_word();

// The next value of a process-wide counter, starting at 0. Static
// initialisers use it to number per-object information slots.
uint32_t allocate_static_id();

// The name of a clock mode of `hrtime`; "unknown" for a mode that is not one.
std::string clock_mode_name(int mode);
bool is_known_clock_mode(int mode);

// Well-known IPv6 addresses.
inline constexpr ipv6_addr ipv6_all_dhcp_agents{0xff02, 0, 0, 0, 0, 0, 1, 2};  // ff02::1:2
inline constexpr ipv6_addr ipv6_all_dhcp_servers{0xff05, 0, 0, 0, 0, 0, 1, 3}; // ff05::1:3
inline constexpr ipv6_addr ipv6_all_nodes{0xff02, 0, 0, 0, 0, 0, 0, 1};        // ff02::1
inline constexpr ipv6_addr ipv6_all_routers{0xff02, 0, 0, 0, 0, 0, 0, 2};      // ff02::2
inline constexpr ipv6_addr ipv6_unspecified{};                                 // ::
inline constexpr ipv6_addr ipv6_link_local_prefix{0xfe80, 0, 0, 0};            // fe80::

} // namespace cl
