#include "core/thread.h"

#include "core/format.h"
#include "core/impersonation.h"
#include "core/timer.h"
#include "core/trace.h"

#include "platform/win32/time.h"

#include <exception>

namespace cl {

// ---------------------------------------------------------------- thread_obj

thread_obj::thread_obj(thread_hook start_hook, thread_hook end_hook)
    : start_hook_(start_hook), end_hook_(end_hook) {}

thread_obj::~thread_obj() {
    // Normally stopped by the derived destructor already. When the last
    // reference of a detached body is dropped on its own thread, the thread
    // was detached before, so there is nothing to join here.
    std::unique_lock lk(m_);
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            stop_ = true;
            std::thread t = std::move(thread_);
            lk.unlock();
            t.join();
        }
    }
}

bool thread_obj::start() {
    {
        std::lock_guard lk(m_);
        if (thread_.joinable() || self_) return true;
        if (finished_) return false; // a thread object runs once
        try {
            thread_ = std::thread([this] { entry(); });
        } catch (const std::exception& e) {
            trace_err.write(format_str("CreateThread failed: %?\n", e.what()));
            return false;
        }
        id_ = thread_.get_id();
    }
    started_.wait();
    return true;
}

void thread_obj::entry() {
    // A thread made while its maker impersonates must not inherit that user.
    restore_process_ids();
    started_.set();
    if (!stop_) {
        if (start_hook_) start_hook_();
        run();
        if (end_hook_) end_hook_();
    }
    std::shared_ptr<thread_obj> keep;
    {
        std::lock_guard lk(m_);
        finished_ = true;
        keep = std::move(self_);
        ended_.set();
    }
    // Dropping `keep` may destroy this object here, on its own thread; the
    // thread was detached when `keep` was taken, so that is safe.
}

void thread_obj::request_stop() {
    stop_ = true;
    wake();
}

bool thread_obj::stop(uint32_t ms) {
    {
        std::lock_guard lk(m_);
        if (!thread_.joinable()) return !self_;
    }
    request_stop();
    const bool own = on_own_thread();
    if (!own) ended_.wait(ms);

    std::unique_lock lk(m_);
    if (finished_ && !own) {
        std::thread t = std::move(thread_);
        lk.unlock();
        if (t.joinable()) t.join();
        return true;
    }
    // Still running (or asked from inside its own body): leave it to finish.
    // A shared object keeps itself alive through self_ until the body ends.
    std::shared_ptr<thread_obj> self = weak_from_this().lock();
    if (self) {
        self_ = std::move(self);
        if (thread_.joinable()) thread_.detach();
        return false;
    }
    if (own) return false; // the owner joins once the body has returned
    std::thread t = std::move(thread_);
    lk.unlock();
    t.join();
    return true;
}

bool thread_obj::has_thread() const {
    std::lock_guard lk(m_);
    return thread_.joinable() || self_;
}

bool thread_obj::on_own_thread() const {
    std::lock_guard lk(m_);
    return id_ == std::this_thread::get_id();
}

std::thread::id thread_obj::thread_id() const {
    std::lock_guard lk(m_);
    return id_;
}

// ------------------------------------------------------ pool thread objects

thread_pool::thread_obj_ex::thread_obj_ex(thread_hook start_hook, thread_hook end_hook,
                                          uint32_t stop_limit, job j, job_id id)
    : thread_obj(start_hook, end_hook), stop_limit_(stop_limit), job_(std::move(j)), job_id_(id) {}

thread_pool::thread_obj_ex::~thread_obj_ex() {
    quit_ = true;
    stop(stop_limit_);
}

void thread_pool::thread_obj_ex::give(job j, job_id id) {
    job_ = std::move(j);
    job_id_ = id;
    idle_ = false;
    signal();
}

void thread_pool::thread_obj_ex::signal() {
    {
        std::lock_guard<std::mutex> g(wake_m_);
        wake_set_ = true;
    }
    wake_cv_.notify_one();
}

void thread_pool::thread_obj_ex::run() {
    while (!quit_ && !stop_requested()) {
        job j = std::move(job_);
        job_ = nullptr;
        try {
            if (j) j();
        } catch (const std::exception& e) {
            trace_err.write(format_str("thread_pool: job failed: %?\n", e.what()));
        } catch (...) {
            trace_err.write("thread_pool: job failed: unknown exception\n");
        }
        // The job's bound state goes before the thread says it is idle, so
        // that nothing of it outlives the job on an idle thread.
        j = nullptr;
        if (quit_ || stop_requested()) break;
        idle_ = true;
        std::unique_lock<std::mutex> l(wake_m_);
        wake_cv_.wait(l, [this] { return wake_set_; });
        wake_set_ = false;
    }
}

// ---------------------------------------------------------------- the pool

thread_pool::thread_pool(thread_hook start_hook, thread_hook end_hook, base_timer* cleanup_timer)
    : start_hook_(start_hook), end_hook_(end_hook), cleanup_timer_(cleanup_timer),
      cleanup_id_(std::make_unique<timer_id>()) {}

thread_pool::~thread_pool() {
    // The clean-up callback may be running on the timer thread; wait for it
    // before the threads go.
    cleanup_id_->kill(true);
    std::vector<thread_ptr> threads;
    {
        cs_lock lk(lock_);
        threads.swap(threads_);
    }
    stop_all(threads);
}

void thread_pool::stop_all(std::vector<thread_ptr>& threads) {
    // Ask all at once, so that the limits run side by side; busy threads that
    // overrun are left to finish their job and then end by themselves.
    for (auto& t : threads) {
        t->quit_ = true;
        t->request_stop();
    }
    const uint64_t start = win32::get_tick_count64();
    for (auto& t : threads) {
        const uint64_t spent = win32::get_tick_count64() - start;
        const uint32_t limit = t->stop_limit();
        t->stop(spent >= limit ? 0 : static_cast<uint32_t>(limit - spent));
    }
    threads.clear();
}

thread_pool::job_id thread_pool::run(job j) {
    cs_lock lk(lock_);
    const job_id id = ++next_job_;
    uint32_t busy = 0;
    thread_obj_ex* idle = nullptr;
    for (auto& t : threads_) {
        if (!t->idle())
            ++busy;
        else if (!idle)
            idle = t.get();
    }
    if (busy > peak_busy_) peak_busy_ = busy;
    if (idle) {
        idle->give(std::move(j), id);
        return id;
    }

    ++created_;
    auto t = std::make_shared<thread_obj_ex>(start_hook_, end_hook_, stop_limit_, std::move(j), id);
    threads_.push_back(t);
    if (!t->start()) {
        // No thread, so the job cannot run; a thread object that never ran
        // must not count as busy for ever.
        threads_.pop_back();
        return 0;
    }
    if (!cleanup_armed_) {
        base_timer* timer = cleanup_timer_;
        if (!timer && global_timers_running()) timer = &slow_timer();
        if (timer) {
            cleanup_armed_ = true;
            timer->set_timer(
                *cleanup_id_, [this] { cleanup(); }, cleanup_period_, 0, false);
        }
    }
    return id;
}

bool thread_pool::kill_thread(job_id id, uint32_t ms) {
    if (id == 0) return false;
    thread_ptr victim;
    {
        cs_lock lk(lock_);
        for (auto it = threads_.begin(); it != threads_.end(); ++it) {
            // Only the thread still running this very job: a finished job's
            // thread may serve another job by now.
            if ((*it)->current_job() == id && !(*it)->idle()) {
                victim = *it;
                threads_.erase(it);
                break;
            }
        }
    }
    if (!victim) return false;
    // Outside the pool lock: a job that overruns must not hold up the pool.
    victim->quit_ = true;
    victim->stop(ms);
    return true;
}

void thread_pool::cleanup() {
    std::vector<thread_ptr> removed;
    {
        cs_lock lk(lock_);
        std::vector<size_t> idle;
        for (size_t i = 0; i < threads_.size(); ++i)
            if (threads_[i]->idle()) idle.push_back(i);
        while (threads_.size() > peak_busy_ && !idle.empty()) {
            const size_t i = idle.back();
            idle.pop_back();
            removed.push_back(threads_[i]);
            threads_.erase(threads_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (trace_ && (created_ || !removed.empty())) {
            trace_out.write(format_str("thread_cleanup: threads %?, max %?, create %?, del %?\n",
                                       threads_.size(), peak_busy_, created_, removed.size()));
        }
        peak_busy_ >>= 1;
        created_ = 0;
    }
    stop_all(removed);
}

size_t thread_pool::thread_count() {
    cs_lock lk(lock_);
    return threads_.size();
}

size_t thread_pool::idle_count() {
    cs_lock lk(lock_);
    size_t n = 0;
    for (auto& t : threads_)
        if (t->idle()) ++n;
    return n;
}

uint32_t thread_pool::peak_busy() {
    cs_lock lk(lock_);
    return peak_busy_;
}

void thread_pool::set_cleanup_period(uint32_t ms) {
    cs_lock lk(lock_);
    cleanup_period_ = ms;
}

void thread_pool::set_stop_limit(uint32_t ms) {
    cs_lock lk(lock_);
    stop_limit_ = ms;
}

void thread_pool::set_trace(bool on) {
    cs_lock lk(lock_);
    trace_ = on;
}

} // namespace cl
