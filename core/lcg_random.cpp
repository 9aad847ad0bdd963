#include "core/lcg_random.h"

#include "platform/win32/time.h"

#include <mutex>

namespace cl {

namespace {

struct lcg_state {
    std::mutex lock; // two threads must not draw the same number
    uint64_t x = 0, y = 0;
    bool seeded = false;
};

lcg_state& state() {
    static lcg_state s;
    return s;
}

void seed_locked(lcg_state& s, uint64_t seed) {
    s.x = seed % 714025u;
    s.y = (seed / 714025u) % 312500u;
    s.seeded = true;
}

void step_locked(lcg_state& s) {
    if (!s.seeded) seed_locked(s, win32::get_system_time_as_filetime());
    s.x = (s.x * 4096u + 150889u) % 714025u;
    s.y = (s.y * 741u + 66037u) % 312500u;
}

} // namespace

uint64_t lcg_random64() {
    auto& s = state();
    std::lock_guard lk(s.lock);
    step_locked(s);
    return s.x * 312500u + s.y;
}

uint32_t lcg_random() {
    auto& s = state();
    std::lock_guard lk(s.lock);
    if (!s.seeded) seed_locked(s, win32::get_system_time_as_filetime());
    s.x = (s.x * 4096u + 150889u) % 714025u;
    return static_cast<uint32_t>(s.x);
}

void lcg_seed(uint64_t seed) {
    auto& s = state();
    std::lock_guard lk(s.lock);
    seed_locked(s, seed);
}

} // namespace cl
