// Timers: a table of one-shot, periodic, fixed-delay and event-triggered
// entries under one lock, swept by a worker thread that runs the due
// callbacks with the lock released. Clients arm and cancel entries through a
// `timer_id` they own.
#pragma once
#include "core/sync.h"
#include "core/thread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace cl {

class base_timer;
class passive_timer;

// The client's handle on one entry. The timer keys the entry by the address
// of this object, so it must not move while armed. Destroying it cancels the
// entry and waits for a running callback.
class timer_id {
  public:
    timer_id() = default;
    ~timer_id();
    timer_id(const timer_id&) = delete;
    timer_id& operator=(const timer_id&) = delete;

    // False when not armed or when the timer no longer accepts; else cancels
    // the entry (with `wait`: and waits until its callback is not running on
    // another thread) and says whether a live entry was found.
    bool kill(bool wait = true);
    bool armed() const { return timer_.load() != nullptr; }
    base_timer* timer() const { return timer_.load(); }

  private:
    friend class base_timer;
    std::atomic<base_timer*> timer_{nullptr};
    // The timer running this id's callback right now, also for a one-shot
    // entry whose id already reads "not armed", so that destroying the id
    // still waits for the callback.
    std::atomic<base_timer*> running_on_{nullptr};
};

// Arming flags.
constexpr uint32_t timer_one_shot = 1;
constexpr uint32_t timer_fixed_delay = 2;
constexpr uint32_t timer_event = 16;

// Periodic and fixed-delay entries asked for a period below this run at this
// period instead: a period of 0 would keep the worker busy for ever.
constexpr int32_t timer_min_period = 10;

struct timer_stat {
    uint32_t count = 0;
    uint64_t sum = 0;
    uint32_t min = 0xFFFFFFFFu;
    uint32_t max = 0;
    void add(uint32_t v) {
        ++count;
        sum += v;
        if (v < min) min = v;
        if (v > max) max = v;
    }
};

struct timer_stats {
    timer_stat next_wait, lateness, due_per_pass, entries_per_pass, pass_duration;
    uint32_t idle_passes = 0, infinite_waits = 0, arm_calls = 0, kill_calls = 0, event_firings = 0,
             already_signalled = 0, sweeps = 0;
    uint32_t total_callback_ms = 0, callbacks_run = 0;
};

using timer_tick_source = std::function<uint32_t()>;

class base_timer {
  public:
    using callback = std::function<void()>;
    static constexpr uint32_t wait_forever = 0xFFFFFFFFu;

    // `tick` gives 32-bit wrapping milliseconds; the monotonic tick counter
    // when empty.
    explicit base_timer(std::string name = std::string(),
                        timer_tick_source tick = timer_tick_source());
    virtual ~base_timer();
    base_timer(const base_timer&) = delete;
    base_timer& operator=(const base_timer&) = delete;

    // Arms a time entry: ms is the period or delay; flags as above (1 wins
    // over 2). An armed entry is changed only with `replace`, or when it is
    // finishing. No effect when not accepting or the callback is empty.
    void set_timer(timer_id& id, callback cb, int32_t ms, uint32_t flags = 0, bool replace = true);
    // Arms an entry that runs the callback whenever `ev` is signalled (and
    // resets it). The event must outlive the entry: kill it with wait first.
    void set_timer(timer_id& id, callback cb, event& ev, uint32_t flags = 0, bool replace = true);
    bool kill_timer(timer_id& id, bool wait);
    // kill_timer with wait, for an id that is going away: its entries forget
    // it, so nothing writes to it afterwards.
    void release_id(timer_id& id);

    const std::string& name() const { return name_; }
    bool accepting();
    timer_stats stats();
    size_t entry_count();

    // Runs one pass over the table and the due callbacks; returns the next
    // wait in ms (wait_forever for none, 0 for "pass again now"). `handles`
    // receives the events to wait on.
    uint32_t run_sweep(std::vector<event_handle>& handles);

  protected:
    virtual void on_wait(uint32_t) {}
    virtual void on_sweep_start() {}
    virtual void on_sweep_end() {}
    virtual void on_scan_done() {}
    virtual void wake() = 0;
    // Called with the lock held (once); releases it while it waits until the
    // worker has rebuilt its wait list, and takes it again.
    virtual void wait_scan() = 0;

    void set_accepting(bool on);
    uint32_t now() const { return tick_(); }
    critical_section lock_;
    timer_stats stats_;

  private:
    enum class mode : uint32_t {
        periodic = 0,
        one_shot = 1,
        fixed_delay = 2,
        finishing = 3,
        killed = 4
    };
    struct timer_entry {
        uint32_t total_time = 0;
        uint32_t runs = 0;
        timer_id* id = nullptr;
        int32_t period = 0;
        event* ev = nullptr;
        int64_t remaining = 0; // wider than the period, so sums cannot overflow
        callback cb;
        std::thread::id running;
        mode md = mode::periodic;
        bool event_entry = false;
    };

    void arm(timer_id& id, callback cb, int32_t ms, event* ev, uint32_t flags, bool replace);
    bool kill(timer_id& id, bool wait, bool forget);
    void wait_callback(cs_lock& lk, const timer_id* id);
    timer_entry* find_entry(const timer_id* id);
    bool running_elsewhere(const timer_id* id) const;

    timer_tick_source tick_;
    uint32_t base_tick_;
    std::list<std::unique_ptr<timer_entry>> entries_;
    event done_;
    std::thread::id callback_thread_;
    uint32_t callback_start_ = 0;
    uint32_t pass_tick_ = 0;
    bool accepting_ = false;
    std::string name_;
};

// Waits for any (or all) of the events; the index of the signalled one, or
// -1 on time-out or failure. More than 64 events cannot be waited on: then it
// sleeps 100 ms and returns -1, so the events are polled by the caller.
int wait_for_handles(const std::vector<event_handle>& handles, uint32_t ms, bool wait_all);

class passive_timer;

// An event that a timer signals at a point of its sweep; registers itself on
// construction and unregisters on destruction, both under the timer's lock.
class timer_waiter {
  public:
    // `after`: signalled only once that waiter is signalled (a sweep end
    // counts only for a sweep whose start was seen).
    timer_waiter(passive_timer& timer, std::vector<timer_waiter*>& list,
                 timer_waiter* after = nullptr);
    ~timer_waiter();
    timer_waiter(const timer_waiter&) = delete;
    timer_waiter& operator=(const timer_waiter&) = delete;
    event ev;

  private:
    friend class passive_timer;
    passive_timer& timer_;
    std::vector<timer_waiter*>& list_;
    timer_waiter* after_;
};

// A timer with its own worker thread, woken through an event.
class passive_timer : public base_timer, public thread_obj {
  public:
    explicit passive_timer(std::string name = std::string(),
                           timer_tick_source tick = timer_tick_source());
    ~passive_timer() override;

    // Returns once the worker has started one more pass and finished one
    // more sweep; false when that did not happen within ms, when the worker
    // is not running, or when asked from the worker itself.
    bool sync(uint32_t ms);
    void wake() override;
    bool running();

  protected:
    void on_sweep_start() override;
    void on_sweep_end() override;
    void on_scan_done() override;
    void wait_scan() override;

  private:
    friend class timer_waiter;
    void run() override;
    static void signal(std::vector<timer_waiter*>& list);

    event wake_event_;
    std::vector<timer_waiter*> scan_done_, sweep_start_, sweep_end_;
    event_handle last_handle_ = nullptr;
};

// The process-wide timers "slow" and "fast". They exist between
// start_global_timers and stop_global_timers (called once each, in that
// order, by the library's start-up and exit); the accessors must not be used
// outside that span.
void start_global_timers();
void stop_global_timers();
bool global_timers_running();
passive_timer& slow_timer();
passive_timer& fast_timer();

} // namespace cl
