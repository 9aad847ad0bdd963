#include "platform/win32/sync.h"

#include <algorithm>
#include <chrono>

namespace win32 {

// All event state is guarded by one lock. Events change state rarely compared
// with the work they coordinate, and a single lock makes a wait on several
// events (any or all) atomic without ordering problems between locks.
namespace {
std::mutex& event_lock() {
    static std::mutex m;
    return m;
}
} // namespace

event_object::event_object(bool manual_reset, bool initially_set)
    : manual_(manual_reset), signaled_(initially_set) {}

event_object::~event_object() = default;

void event_object::set() {
    std::lock_guard lk(event_lock());
    signaled_ = true;
    for (auto* cv : waiters_) cv->notify_all();
}

void event_object::reset() {
    std::lock_guard lk(event_lock());
    signaled_ = false;
}

bool event_object::is_set() const {
    std::lock_guard lk(event_lock());
    return signaled_;
}

uint32_t event_object::wait(uint32_t ms) {
    event_object* one = this;
    return wait_for_multiple(std::span<event_object* const>(&one, 1), false, ms);
}

uint32_t wait_for_multiple(std::span<event_object* const> events, bool wait_all, uint32_t ms) {
    if (events.empty() || events.size() > 64) return wait_failed;
    for (auto* e : events)
        if (!e) return wait_failed;

    std::unique_lock lk(event_lock());
    auto try_take = [&]() -> int {
        if (wait_all) {
            for (auto* e : events)
                if (!e->signaled_) return -1;
            for (auto* e : events)
                if (!e->manual_) e->signaled_ = false;
            return 0;
        }
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i]->signaled_) {
                if (!events[i]->manual_) events[i]->signaled_ = false;
                return static_cast<int>(i);
            }
        }
        return -1;
    };

    int r = try_take();
    if (r >= 0 || ms == 0) return r >= 0 ? wait_object_0 + static_cast<uint32_t>(r) : wait_timeout;

    std::condition_variable cv;
    for (auto* e : events) e->waiters_.push_back(&cv);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (ms == infinite)
            cv.wait(lk);
        else if (cv.wait_until(lk, deadline) == std::cv_status::timeout) {
            r = try_take();
            break;
        }
        r = try_take();
        if (r >= 0) break;
    }
    for (auto* e : events) {
        auto it = std::find(e->waiters_.begin(), e->waiters_.end(), &cv);
        if (it != e->waiters_.end()) e->waiters_.erase(it);
    }
    return r >= 0 ? wait_object_0 + static_cast<uint32_t>(r) : wait_timeout;
}

} // namespace win32
