// Thread objects whose body is a virtual operation, and the pool that runs
// jobs on reusable threads and trims idle ones on a timer.
#pragma once
#include "core/sync.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace cl {

class base_timer;
class timer_id;

// Called on a new thread before and after its body (per-thread set-up).
using thread_hook = void (*)();

// One operating-system thread running the virtual `run`. Threads are never
// killed from outside: `stop` sets the stop flag and calls `wake`, and the
// body is expected to notice. A thread that does not end within the limit is
// left to finish: an object owned through std::shared_ptr is detached and
// keeps itself alive until its body returns; any other object is waited for,
// because freeing it under a running body is not an option. Derived classes
// stop the thread in their own destructor.
class thread_obj : public std::enable_shared_from_this<thread_obj> {
  public:
    explicit thread_obj(thread_hook start_hook = nullptr, thread_hook end_hook = nullptr);
    virtual ~thread_obj();
    thread_obj(const thread_obj&) = delete;
    thread_obj& operator=(const thread_obj&) = delete;

    // Creates and starts the thread once; returns when it has begun to run.
    // False when there is no thread afterwards.
    bool start();
    // Asks the thread to end and waits up to ms for it. True when it has
    // ended (or never ran); false when it was left to finish on its own.
    bool stop(uint32_t ms);
    // Sets the stop flag and wakes the body, without waiting.
    void request_stop();

    virtual void run() = 0;
    // Makes a blocked body notice the stop flag.
    virtual void wake() {}

    bool has_thread() const;
    bool stop_requested() const { return stop_.load(); }
    bool on_own_thread() const;
    std::thread::id thread_id() const;

  private:
    void entry();

    event started_;
    event ended_;
    thread_hook start_hook_;
    thread_hook end_hook_;
    mutable std::mutex m_; // guards thread_, self_, finished_
    std::thread thread_;
    std::thread::id id_;
    std::shared_ptr<thread_obj> self_; // held while a detached body runs
    bool finished_ = false;
    std::atomic<bool> stop_{false};
};

class thread_pool {
  public:
    using job = std::function<void()>;
    // Names one job handed to the pool; never reused, 0 for none. A pool
    // thread serves many jobs, so the id of a finished job never reaches the
    // thread's later work.
    using job_id = uint64_t;

    class thread_obj_ex : public thread_obj {
      public:
        thread_obj_ex(thread_hook start_hook, thread_hook end_hook, uint32_t stop_limit, job j,
                      job_id id);
        ~thread_obj_ex() override;
        void run() override;
        void wake() override { signal(); }

        uint32_t stop_limit() const { return stop_limit_; }
        bool idle() const { return idle_.load(); }
        job_id current_job() const { return job_id_; }

      private:
        friend class thread_pool;
        // Hands over the next job; the pool calls it under its lock on an
        // idle thread only.
        void give(job j, job_id id);
        void signal();

        uint32_t stop_limit_;
        job job_;
        // The idle thread's wake-up, private to the pair (not an event: an
        // event wakes its waiter into the lock the setter still holds, which
        // costs a second sleep and wake per job). The setter notifies after
        // letting the lock go.
        std::mutex wake_m_;
        std::condition_variable wake_cv_;
        bool wake_set_ = false;
        std::atomic<bool> idle_{false};
        std::atomic<bool> quit_{false};
        job_id job_id_; // written under the pool lock
    };

    // The clean-up runs on `cleanup_timer`; null means the global "slow"
    // timer when it is running.
    explicit thread_pool(thread_hook start_hook = nullptr, thread_hook end_hook = nullptr,
                         base_timer* cleanup_timer = nullptr);
    ~thread_pool();
    thread_pool(const thread_pool&) = delete;
    thread_pool& operator=(const thread_pool&) = delete;

    // Hands the job to an idle thread or a new one; 0 when no thread could
    // be started (the job then does not run).
    job_id run(job j);
    template <class F, class A0, class... A> job_id run(F&& f, A0&& a0, A&&... a) {
        return run(job(std::bind(std::forward<F>(f), std::forward<A0>(a0), std::forward<A>(a)...)));
    }

    // Ends the thread running the job (cooperatively, waiting up to ms) and
    // removes it from the pool. False when the job is unknown or finished.
    // A job may end its own thread: the call returns at once and the thread
    // ends when the job returns.
    bool kill_thread(job_id id, uint32_t ms);

    // Removes idle threads beyond the peak of busy threads since the last
    // clean-up, newest idle first, then halves the peak.
    void cleanup();

    size_t thread_count();
    size_t idle_count();
    uint32_t peak_busy();
    void set_cleanup_period(uint32_t ms);
    void set_stop_limit(uint32_t ms);
    void set_trace(bool on);

  private:
    using thread_ptr = std::shared_ptr<thread_obj_ex>;
    static void stop_all(std::vector<thread_ptr>& threads);

    thread_hook start_hook_;
    thread_hook end_hook_;
    base_timer* cleanup_timer_;
    critical_section lock_;
    std::vector<thread_ptr> threads_;
    std::unique_ptr<timer_id> cleanup_id_; // on the heap: the word must not move
    uint32_t peak_busy_ = 0;
    uint32_t created_ = 0;
    bool cleanup_armed_ = false;
    uint32_t cleanup_period_ = 2000;
    uint32_t stop_limit_ = 1000;
    bool trace_ = false;
    job_id next_job_ = 0;
};

} // namespace cl
