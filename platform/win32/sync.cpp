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

// One thread's wait: its condition variable and, per event waited on, whether
// that event was destroyed meanwhile (a waiter woken by set() may not have left
// the wait yet when the setter destroys the event).
struct wait_record {
    std::condition_variable cv;
    bool gone[64] = {};
    bool gone_set[64] = {}; // the event's state when it went
};

event_object::event_object(bool manual_reset, bool initially_set)
    : manual_(manual_reset), signaled_(initially_set) {}

event_object::~event_object() {
    std::lock_guard lk(event_lock());
    for (auto& [w, i] : waiters_) {
        w->gone[i] = true;
        w->gone_set[i] = signaled_;
        w->cv.notify_all();
    }
}

void event_object::set() {
    std::lock_guard lk(event_lock());
    signaled_ = true;
    for (auto& [w, i] : waiters_)
        w->cv.notify_all();
}

void event_object::reset() {
    std::lock_guard lk(event_lock());
    signaled_ = false;
}

size_t event_object::waiter_count() const {
    std::lock_guard lk(event_lock());
    return waiters_.size();
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
    wait_record rec;
    auto try_take = [&]() -> int {
        if (wait_all) {
            for (size_t i = 0; i < events.size(); ++i)
                if (rec.gone[i] ? !rec.gone_set[i] : !events[i]->signaled_) return -1;
            for (size_t i = 0; i < events.size(); ++i)
                if (!rec.gone[i] && !events[i]->manual_) events[i]->signaled_ = false;
            return 0;
        }
        for (size_t i = 0; i < events.size(); ++i) {
            if (rec.gone[i]) {
                if (rec.gone_set[i]) return static_cast<int>(i);
                continue;
            }
            if (events[i]->signaled_) {
                if (!events[i]->manual_) events[i]->signaled_ = false;
                return static_cast<int>(i);
            }
        }
        return -1;
    };

    int r = try_take();
    if (r >= 0 || ms == 0) return r >= 0 ? wait_object_0 + static_cast<uint32_t>(r) : wait_timeout;

    for (size_t i = 0; i < events.size(); ++i)
        events[i]->waiters_.emplace_back(&rec, i);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (ms == infinite)
            rec.cv.wait(lk);
        else if (rec.cv.wait_until(lk, deadline) == std::cv_status::timeout) {
            r = try_take();
            break;
        }
        r = try_take();
        if (r >= 0) break;
        bool all_gone = true;
        for (size_t i = 0; i < events.size(); ++i)
            all_gone = all_gone && rec.gone[i];
        if (all_gone) break; // nothing left that could ever be set
    }
    for (size_t i = 0; i < events.size(); ++i) {
        if (rec.gone[i]) continue;
        auto& v = events[i]->waiters_;
        auto it = std::find(v.begin(), v.end(), std::make_pair(&rec, i));
        if (it != v.end()) v.erase(it);
    }
    return r >= 0 ? wait_object_0 + static_cast<uint32_t>(r) : wait_timeout;
}

} // namespace win32
