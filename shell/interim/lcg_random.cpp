#include "core/lcg_random.h"

#include <mutex>

namespace cl {

namespace {
std::mutex lock_;
uint64_t x_ = 0, y_ = 0;
} // namespace

void lcg_seed(uint64_t seed) {
    std::lock_guard lk(lock_);
    x_ = seed % 714025u;
    y_ = (seed / 714025u) % 312500u;
}

uint32_t lcg_random() {
    std::lock_guard lk(lock_);
    x_ = (x_ * 4096u + 150889u) % 714025u;
    return static_cast<uint32_t>(x_);
}

uint64_t lcg_random64() {
    std::lock_guard lk(lock_);
    x_ = (x_ * 4096u + 150889u) % 714025u;
    y_ = (y_ * 741u + 66037u) % 312500u;
    return x_ * 312500u + y_;
}

} // namespace cl
