// Critical sections, events and waits on several events, with the semantics
// of their Windows namesakes (recursive sections; manual- and auto-reset events;
// WAIT_OBJECT_0 + index or WAIT_TIMEOUT as the result of a wait).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace win32 {

constexpr uint32_t infinite = 0xFFFFFFFFu;
constexpr uint32_t wait_object_0 = 0;
constexpr uint32_t wait_timeout = 258;
constexpr uint32_t wait_failed = 0xFFFFFFFFu;

class critical_section {
  public:
    void enter() { m_.lock(); }
    bool try_enter() { return m_.try_lock(); }
    void leave() { m_.unlock(); }
    // For std::lock_guard and friends.
    void lock() { enter(); }
    void unlock() { leave(); }

  private:
    std::recursive_mutex m_;
};

class event_object {
  public:
    event_object(bool manual_reset, bool initially_set);
    ~event_object();
    event_object(const event_object&) = delete;
    event_object& operator=(const event_object&) = delete;

    void set();
    void reset();
    bool is_set() const;
    bool manual_reset() const { return manual_; }
    // Threads blocked in a wait on this event right now.
    size_t waiter_count() const;

    // wait_object_0 when the event was (or became) set within ms milliseconds,
    // else wait_timeout. An auto-reset event is reset by the wait it releases.
    uint32_t wait(uint32_t ms);

  private:
    friend uint32_t wait_for_multiple(std::span<event_object* const>, bool, uint32_t);
    bool manual_;
    bool signaled_;
    // Threads blocked on this event, each with its own wait record and the
    // event's index in it; guarded by the global event lock.
    std::vector<std::pair<struct wait_record*, size_t>> waiters_;
};

// Waits for any (wait_all false: result wait_object_0 + index of the first set
// event) or all (wait_all true: result wait_object_0) of the events; wait_timeout
// when ms passed first; wait_failed for an empty or oversized list (64 at most).
uint32_t wait_for_multiple(std::span<event_object* const> events, bool wait_all, uint32_t ms);

} // namespace win32
