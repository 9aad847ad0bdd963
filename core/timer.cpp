#include "core/timer.h"
#include "core/format.h"
#include "core/trace.h"

#include "platform/win32/sync.h"
#include "platform/win32/time.h"

#include <algorithm>
#include <exception>

namespace cl {

namespace {
// Signed difference of two wrapping 32-bit tick counts.
int64_t tick_diff(uint32_t later, uint32_t earlier) {
    return static_cast<int32_t>(later - earlier);
}

constexpr int32_t no_clamp_period = 3600000;
} // namespace

// ------------------------------------------------------------------ timer_id

timer_id::~timer_id() {
    base_timer* t = timer_.load();
    if (!t) t = running_on_.load();
    if (t) t->release_id(*this);
}

bool timer_id::kill(bool wait) {
    base_timer* t = timer_.load();
    if (t) return t->kill_timer(*this, wait);
    // A one-shot entry's id reads "not armed" while its callback runs; a
    // waiting kill still has to wait for that callback.
    if (wait && (t = running_on_.load()) != nullptr) t->kill_timer(*this, true);
    return false;
}

// ---------------------------------------------------------------- base_timer

base_timer::base_timer(std::string name, timer_tick_source tick)
    : tick_(tick ? std::move(tick) : timer_tick_source(&win32::get_tick_count)),
      base_tick_(tick_()), name_(std::move(name)) {}

base_timer::~base_timer() {
    cs_lock lk(lock_);
    accepting_ = false;
    // Ids of live entries still name this timer; they must not reach it
    // once it is gone.
    for (auto& e : entries_) {
        if (!e->id) continue;
        if (e->id->timer_.load() == this) e->id->timer_ = nullptr;
        if (e->id->running_on_.load() == this) e->id->running_on_ = nullptr;
    }
    entries_.clear();
}

bool base_timer::accepting() {
    cs_lock lk(lock_);
    return accepting_;
}

void base_timer::set_accepting(bool on) {
    cs_lock lk(lock_);
    accepting_ = on;
}

timer_stats base_timer::stats() {
    cs_lock lk(lock_);
    return stats_;
}

size_t base_timer::entry_count() {
    cs_lock lk(lock_);
    return entries_.size();
}

base_timer::timer_entry* base_timer::find_entry(const timer_id* id) {
    for (auto& e : entries_)
        if (e->id == id && e->md != mode::killed) return e.get();
    return nullptr;
}

bool base_timer::running_elsewhere(const timer_id* id) const {
    const auto me = std::this_thread::get_id();
    for (auto& e : entries_)
        if (e->id == id && e->running != std::thread::id() && e->running != me) return true;
    return false;
}

void base_timer::set_timer(timer_id& id, callback cb, int32_t ms, uint32_t flags, bool replace) {
    arm(id, std::move(cb), ms, nullptr, flags & ~timer_event, replace);
}

void base_timer::set_timer(timer_id& id, callback cb, event& ev, uint32_t flags, bool replace) {
    arm(id, std::move(cb), 0, &ev, flags | timer_event, replace);
}

void base_timer::arm(timer_id& id, callback cb, int32_t ms, event* ev, uint32_t flags,
                     bool replace) {
    cs_lock lk(lock_);
    if (!accepting_ || !cb) return;
    timer_entry* e = find_entry(&id);
    if (e && e->md != mode::finishing && !replace) return;
    if (!e) {
        entries_.push_back(std::make_unique<timer_entry>());
        e = entries_.back().get();
        e->id = &id;
    }
    const mode md = (flags & timer_one_shot)      ? mode::one_shot
                    : (flags & timer_fixed_delay) ? mode::fixed_delay
                                                  : mode::periodic;
    // A repeating entry with a period of 0 would be due on every pass for
    // ever and keep the worker spinning.
    if (md != mode::one_shot && ms < timer_min_period) ms = timer_min_period;
    e->period = ms;
    e->ev = ev;
    e->md = md;
    e->event_entry = (flags & timer_event) != 0;
    e->remaining = tick_diff(tick_(), base_tick_) + ms;
    e->total_time = 0;
    e->runs = 0;
    e->cb = std::move(cb);
    id.timer_ = nullptr;
    id.timer_ = this;
    ++stats_.arm_calls;
    wake();
}

bool base_timer::kill_timer(timer_id& id, bool wait) {
    return kill(id, wait, false);
}

void base_timer::release_id(timer_id& id) {
    kill(id, true, true);
}

void base_timer::wait_callback(cs_lock& lk, const timer_id* id) {
    // done_ is set under the lock after every callback, and reset here under
    // the lock while the callback still runs, so no completion is missed.
    while (running_elsewhere(id)) {
        done_.reset();
        lk.unlock();
        done_.wait();
        lk.lock();
    }
}

bool base_timer::kill(timer_id& id, bool wait, bool forget) {
    cs_lock lk(lock_);
    if (!accepting_) {
        // The worker has ended, so no callback runs; still, the entry must
        // not keep the address of an id that may go away now.
        for (auto& e : entries_)
            if (e->id == &id) {
                e->md = mode::killed;
                e->id = nullptr;
            }
        if (forget) {
            if (id.timer_.load() == this) id.timer_ = nullptr;
            if (id.running_on_.load() == this) id.running_on_ = nullptr;
        }
        return false;
    }
    ++stats_.kill_calls;
    timer_entry* e = find_entry(&id);
    const bool found = e != nullptr;
    if (e) {
        e->md = e->running != std::thread::id() ? mode::finishing : mode::killed;
        if (wait && e->event_entry) {
            const auto me = std::this_thread::get_id();
            // From a callback of this timer the worker cannot be waiting on
            // the event right now, and waiting for it would wait for ourselves.
            if (e->running != me && callback_thread_ != me) wait_scan();
        }
    }
    if (wait) wait_callback(lk, &id);
    id.timer_ = nullptr;
    if (forget) {
        // Only the own callback can still be running here (it killed its own
        // id); it must not write to the id after returning.
        for (auto& x : entries_)
            if (x->id == &id) x->id = nullptr;
        id.running_on_ = nullptr;
    }
    return found;
}

uint32_t base_timer::run_sweep(std::vector<event_handle>& handles) {
    cs_lock lk(lock_);
    ++stats_.sweeps;
    stats_.entries_per_pass.add(static_cast<uint32_t>(entries_.size()));
    const uint32_t t = tick_();
    pass_tick_ = t;
    const int64_t elapsed = std::max<int64_t>(0, tick_diff(t, base_tick_));
    base_tick_ = t;
    on_sweep_start();
    handles.clear();
    uint32_t next_wait = wait_forever;
    std::vector<timer_entry*> due;

    for (auto it = entries_.begin(); it != entries_.end();) {
        timer_entry* e = it->get();
        if (e->md == mode::killed) {
            it = entries_.erase(it);
            continue;
        }
        ++it;
        if (e->md == mode::finishing) continue;
        if (!e->event_entry) {
            e->remaining -= elapsed;
            if (e->remaining < 1) {
                stats_.lateness.add(
                    static_cast<uint32_t>(std::min<int64_t>(-e->remaining, 0xFFFFFFFFll)));
                due.push_back(e);
                if (e->md == mode::one_shot) continue;
                if (e->md == mode::fixed_delay)
                    e->remaining = e->period;
                else
                    e->remaining += e->period;
            }
            if (e->remaining < 1) {
                next_wait = 0;
                // Catch up at most three periods after a stall.
                const int64_t floor = -3 * static_cast<int64_t>(e->period);
                if (e->remaining < floor && e->period < no_clamp_period) e->remaining = floor;
            } else {
                next_wait = static_cast<uint32_t>(std::min<int64_t>(next_wait, e->remaining));
            }
        } else {
            if (e->ev->wait(0) == win32::wait_object_0) {
                ++stats_.event_firings;
                due.push_back(e);
                e->ev->reset();
                if (e->md == mode::one_shot) continue;
            }
            handles.push_back(e->ev->handle());
        }
    }

    stats_.due_per_pass.add(static_cast<uint32_t>(due.size()));
    if (due.empty()) ++stats_.idle_passes;
    on_scan_done();

    // Entries are erased only by the scan above, so the pointers stay valid
    // while the lock is dropped around each callback.
    const auto me = std::this_thread::get_id();
    for (timer_entry* e : due) {
        if (e->md == mode::killed || e->md == mode::finishing || !e->id) continue;
        if (e->md == mode::one_shot) {
            e->md = mode::finishing;
            e->id->timer_ = nullptr;
        }
        callback_thread_ = me;
        e->running = me;
        e->id->running_on_ = this;
        // A copy: the client may re-arm (and so replace the callback) while
        // this one runs.
        callback cb = e->cb;
        callback_start_ = tick_();
        const uint32_t start = callback_start_;
        lk.unlock();
        try {
            cb();
        } catch (const std::exception& ex) {
            trace_err.write(format_str("timer %?: callback failed: %?\n", name_, ex.what()));
        } catch (...) {
            trace_err.write(format_str("timer %?: callback failed: unknown exception\n", name_));
        }
        cb = nullptr;
        lk.lock();
        const uint32_t spent = tick_() - start;
        stats_.total_callback_ms += spent;
        ++stats_.callbacks_run;
        e->total_time += spent;
        ++e->runs;
        callback_thread_ = std::thread::id();
        e->running = std::thread::id();
        if (e->id && e->id->running_on_.load() == this) e->id->running_on_ = nullptr;
        if (e->md == mode::finishing) e->md = mode::killed;
        done_.set();
    }

    const int64_t spent = std::max<int64_t>(0, tick_diff(tick_(), pass_tick_));
    uint32_t wait = next_wait;
    if (next_wait != wait_forever)
        wait = spent < next_wait ? next_wait - static_cast<uint32_t>(spent) : 0;
    stats_.pass_duration.add(static_cast<uint32_t>(spent));
    // Something is due again: the worker passes again at once, after a look
    // at its stop flag.
    if (wait == 0) return 0;
    on_sweep_end();
    if (wait == wait_forever) {
        ++stats_.infinite_waits;
    } else {
        stats_.next_wait.add(wait);
        on_wait(wait);
    }
    return wait;
}

// ----------------------------------------------------------------- waiting

int wait_for_handles(const std::vector<event_handle>& handles, uint32_t ms, bool wait_all) {
    constexpr size_t max_handles = 64;
    if (handles.size() > max_handles) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            trace_err.write(format_str("waiting for %? objects; max allowed is %?!\n",
                                       handles.size(), max_handles));
        }
        win32::sleep_ms(100);
        return -1;
    }
    if (handles.empty()) {
        if (ms != win32::infinite) win32::sleep_ms(ms);
        return -1;
    }
    const uint32_t r = win32::wait_for_multiple(
        std::span<event_handle const>(handles.data(), handles.size()), wait_all, ms);
    if (r >= win32::wait_object_0 && r < win32::wait_object_0 + handles.size())
        return static_cast<int>(r - win32::wait_object_0);
    return -1;
}

// -------------------------------------------------------------- waiters

timer_waiter::timer_waiter(passive_timer& timer, std::vector<timer_waiter*>& list,
                           timer_waiter* after)
    : timer_(timer), list_(list), after_(after) {
    cs_lock lk(timer_.lock_);
    list_.push_back(this);
}

timer_waiter::~timer_waiter() {
    cs_lock lk(timer_.lock_);
    list_.erase(std::remove(list_.begin(), list_.end(), this), list_.end());
}

void passive_timer::signal(std::vector<timer_waiter*>& list) {
    for (timer_waiter* w : list)
        if (!w->after_ || w->after_->ev.is_set()) w->ev.set();
}

// ------------------------------------------------------------ passive_timer

passive_timer::passive_timer(std::string name, timer_tick_source tick)
    : base_timer(std::move(name), std::move(tick)) {
    // Without a worker nothing would ever fire, and waiting kills would
    // wait for ever: such a timer accepts nothing.
    if (start()) set_accepting(true);
}

passive_timer::~passive_timer() {
    sync(5000);
    // The worker ends at its next look at the stop flag; one stuck in a
    // callback is waited for, because the entries it uses live here.
    stop(5000);
}

bool passive_timer::running() {
    return has_thread() && !stop_requested() && accepting();
}

void passive_timer::wake() {
    wake_event_.set();
}

void passive_timer::on_sweep_start() {
    signal(sweep_start_);
}
void passive_timer::on_sweep_end() {
    signal(sweep_end_);
}
void passive_timer::on_scan_done() {
    signal(scan_done_);
}

void passive_timer::wait_scan() {
    // Called with the lock held once; the waiter takes it again itself.
    timer_waiter w(*this, scan_done_);
    wake_event_.set();
    lock_.leave();
    w.ev.wait();
    lock_.enter();
}

bool passive_timer::sync(uint32_t ms) {
    if (!has_thread() || stop_requested() || on_own_thread()) return false;
    if (!accepting()) return false;
    timer_waiter started(*this, sweep_start_);
    timer_waiter ended(*this, sweep_end_, &started);
    wake_event_.set();
    return started.ev.wait(ms) == win32::wait_object_0 && ended.ev.wait(ms) == win32::wait_object_0;
}

void passive_timer::run() {
    set_accepting(true);
    uint32_t prev_wait = wait_forever;
    std::vector<event_handle> handles;
    for (;;) {
        if (stop_requested()) {
            cs_lock lk(lock_);
            signal(scan_done_);
            set_accepting(false);
            return;
        }
        handles.push_back(wake_event_.handle());
        if (wake_event_.is_set()) {
            cs_lock lk(lock_);
            ++stats_.already_signalled;
            last_handle_ = wake_event_.handle();
        } else {
            const int i = wait_for_handles(handles, prev_wait, false);
            cs_lock lk(lock_);
            last_handle_ = i >= 0 ? handles[static_cast<size_t>(i)] : nullptr;
        }
        wake_event_.reset();
        prev_wait = run_sweep(handles);
    }
}

// ----------------------------------------------------------- global timers

namespace {
std::unique_ptr<passive_timer>& slow_ptr() {
    static std::unique_ptr<passive_timer> p;
    return p;
}
std::unique_ptr<passive_timer>& fast_ptr() {
    static std::unique_ptr<passive_timer> p;
    return p;
}
} // namespace

void start_global_timers() {
    if (!slow_ptr()) slow_ptr() = std::make_unique<passive_timer>("slow");
    if (!fast_ptr()) fast_ptr() = std::make_unique<passive_timer>("fast");
}

void stop_global_timers() {
    fast_ptr().reset();
    slow_ptr().reset();
}

bool global_timers_running() {
    return slow_ptr() && fast_ptr();
}

passive_timer& slow_timer() {
    return *slow_ptr();
}
passive_timer& fast_timer() {
    return *fast_ptr();
}

} // namespace cl
