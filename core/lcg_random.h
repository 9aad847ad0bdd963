// The class library's pseudo-random source: two linear congruential
// generators combined into one 64-bit value. Not for secrets: temporary file
// names and nonces only need numbers that differ.
#pragma once
#include <cstdint>

namespace cl {

// x = (x * 4096 + 150889) mod 714025, y = (y * 741 + 66037) mod 312500;
// returns x * 312500 + y. Seeded from the system time at first use.
uint64_t lcg_random64();
// The first generator alone: returns the new x.
uint32_t lcg_random();
// Sets the state: x = seed mod 714025, y = (seed / 714025) mod 312500.
void lcg_seed(uint64_t seed);
// The modulus of the first generator, 714025.
constexpr uint32_t lcg_modulus() {
    return 714025;
}

} // namespace cl
