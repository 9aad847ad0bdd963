// Stand-in for the class library's pseudo-random source (see ../README.md).
#pragma once
#include <cstdint>

namespace cl {

uint64_t lcg_random64();
uint32_t lcg_random();
void lcg_seed(uint64_t seed);

} // namespace cl
