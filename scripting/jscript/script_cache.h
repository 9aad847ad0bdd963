// The cache of loaded scripts: per script file one or more workers, each a
// thread with its own engine that ran the script's top-level code once and
// runs `main` per request. Scripts that keep global state are served by one
// worker, one request at a time; others run in parallel on several. A
// worker whose file (or an included file) changed is reloaded.
#pragma once
#include "core/ini_file.h"
#include "core/ref_cnt.h"
#include "core/simple_file.h"
#include "core/sync.h"
#include "core/timer.h"
#include "platform/khttp/khttp.h"
#include "scripting/jscript/script_source.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class request_runner;

namespace scripting {

class shost_file;
class shost_file_adapter;
class jscript_host;

// Settings of the script workers.
struct script_settings {
    // Each run of a script (its load, each request) ends after this long.
    uint32_t run_time_limit_ms = 120000;
    // The longest a request waits for a busy worker of a script with
    // global state before it is answered with an error.
    uint32_t busy_wait_limit_ms = 130000;
    bool timing = false; // "enable_script_timing"
};
void set_script_settings(const script_settings& s);
script_settings get_script_settings();

// Reads [param] script_timeout (seconds, default 120, 0 none) and
// enable_script_timing; scripts run again after a stop.
void configure_scripts(cl::ini_file& ini);
// R, M, W, S pairs and SW, for the stop statistics.
std::array<uint32_t, 9> script_object_counters();

// The program's global INI file for the script objects (null until set).
void set_script_global_ini(cl::ini_file* ini);
cl::ini_file* script_global_ini();

// True from server stop on: runs are ended as they start.
bool scripts_stopping();
// Server stop: ends every run in progress and every later one.
void interrupt_all_scripts();
// Server start: scripts run again.
void allow_scripts();

class shost_thread {
  public:
    shost_thread();
    ~shost_thread();
    shost_thread(const shost_thread&) = delete;
    shost_thread& operator=(const shost_thread&) = delete;

    void start(const std::wstring& path, script_context* context, cl::sh_ptr<config_info> config,
               const automation::guid& class_id);
    automation::hresult wait_loaded();
    // Hands the request to the worker and returns; when the run is over
    // the worker frees itself and tells the file (run_finished).
    void hand_over(const cl::sh_ptr<shost_file_adapter>& adapter, script_context* context,
                   shost_file* file);
    // True when the page or a file it pulled in changed since the load. The
    // page itself is taken as unchanged without a look at the disk when the
    // request's configuration is one under which it was seen unchanged
    // before: the configuration cache makes a new one whenever the file's
    // name in its folder sees a change.
    bool files_changed(const cl::sh_ptr<config_info>& config);
    bool try_take() {
        int32_t expected = 0;
        return busy_.compare_exchange_strong(expected, 1);
    }
    // Frees the worker; requests waiting for a script with global state
    // learn it at once.
    void release();
    // Frees the worker without handing it to a waiting request.
    void release_taken();
    bool global_state() const { return global_state_; }
    // True from start until the load is over: whether the script keeps
    // global state is not known yet, so nobody starts a second worker.
    bool loading() const { return loading_.load(); }
    void end_loading();
    void interrupt();
    const std::wstring& path() const { return path_; }

    // --- requests from an event loop, run on this thread as they come ---
    // Holds the worker for one more job: a taken idle one (true taken), or
    // one that serves jobs and has just started its current one, so that
    // the next request waits a moment rather than for a new thread.
    bool reserve_job(bool taken);
    // Runs the reserved job here (dropped: nothing); the worker is let go
    // once no job is queued or reserved.
    void push_job(std::function<void()> job);
    void drop_job();
    // The worker whose job runs on the calling thread, once, for the page
    // at path: the page then runs right there.
    static shost_thread* inline_worker_for(const std::wstring& path);
    // Runs the page for the file on the calling thread (which is this
    // worker's), the way a handed-over request runs.
    void run_inline(shost_file* file);
    // Jobs queued behind a run that has lasted longer than long_job (a page
    // that may loop): taken from the queue for the pool road.
    std::deque<std::function<void()>> take_stuck_jobs();

  private:
    void thread_proc();
    // One request's run on the engine, then the file learns its end.
    void run_one(jscript_host& host, const cl::sh_ptr<shost_file_adapter>& adapter,
                 script_context* context, shost_file* file);

    std::atomic<int32_t> busy_{0};
    std::atomic<bool> loading_{false};
    std::wstring path_;
    automation::hresult load_result_ = 0;
    std::atomic<bool> stop_{false};
    bool global_state_ = false;
    dependency_map dependencies_;
    cl::sh_ptr<config_info> config_;
    cl::sh_ptr<config_info> verified_config_; // see files_changed
    cl::sh_ptr<shost_file_adapter> current_;
    shost_file* file_ = nullptr; // of the request handed over
    script_context* context_ = nullptr;
    automation::guid class_id_{};
    // Wakes the thread for the state it waits on (changed under m_). Only
    // a sleeping thread costs a system call: a worker busy with a batch of
    // jobs from the loop is not disturbed.
    void wake(bool sleeping);
    // Sleeps until woken; called with g holding m_, which is held again on
    // return.
    void sleep(std::unique_lock<std::mutex>& g);

    std::mutex m_;
    std::condition_variable cv_; // loaded_, for wait_loaded
    std::atomic<uint32_t> wake_seq_{0};
    bool sleeping_ = false; // under m_
    bool run_ = false, loaded_ = false, done_ = false;
    std::deque<std::function<void()>> jobs_; // under m_
    uint32_t reserved_ = 0;                  // jobs promised, not yet queued
    bool serving_ = false;                   // taken for jobs from a loop
    bool in_job_ = false;
    std::chrono::steady_clock::time_point job_start_;
    bool timing_ = false;
    std::mutex host_lock_;
    jscript_host* host_ = nullptr; // while the thread lives
    std::thread thread_;
};

class shost_cache {
  public:
    // A taken worker for the path, loaded and current; null when the script
    // failed to load (the context holds why) or a busy one stayed busy.
    shost_thread* acquire(const std::wstring& path, script_context* context,
                          const cl::sh_ptr<config_info>& config, const automation::guid& class_id);
    void clear();
    void interrupt_all();
    std::size_t size();
    // A worker of a script with global state was let go.
    void note_freed();
    // Requests queued on a worker whose run has gone on too long go the
    // pool's way (another worker, or the wait for the busy one with its
    // bound); a periodic check while workers take requests from loops.
    void move_stuck_jobs();

    // On an event loop: a worker of the loaded, unchanged page at path held
    // for the request (see shost_thread::reserve_job), or null.
    shost_thread* reserve_for_loop(const std::wstring& path, const cl::sh_ptr<config_info>& config);

    // --- requests from loops that wait for the one worker of a page with
    // global state: entries of the page's queue, not threads ---
    struct waiting_request {
        std::function<void()> job;
        cl::sh_ptr<config_info> config;
        khttp::request_ref client;
        std::chrono::steady_clock::time_point since;
    };
    // True when the page at path is served by one loaded worker that keeps
    // global state: a request from a loop that found it taken waits in line.
    bool serves_one_at_a_time(const std::wstring& path);
    // Queues the request for the page's worker (over the bound it is given
    // up at once); the worker takes it when free.
    void enqueue(const std::wstring& path, waiting_request w);
    // Called by a freed worker of a page with global state: the first
    // request in its queue takes it.
    void dispatch_waiting(shost_thread* t);
    // Requests whose client has left, whose wait is over or that wait as
    // the server stops are answered "busy"; a periodic check.
    void sweep_waiting();
    // Every waiting request is answered "busy" (server stop).
    void give_up_waiting();

  private:
    // Starts the new worker t, taken and entered under path, and loads it
    // without the cache lock (which g holds on entry and on return), so
    // that a slow load or a looping top level holds up no other script.
    // The loaded worker, or null (it is gone from the cache then).
    shost_thread* load_unlocked(std::unique_lock<std::mutex>& g, shost_thread* t,
                                const std::wstring& path, script_context* context,
                                const cl::sh_ptr<config_info>& config,
                                const automation::guid& class_id);

    // A worker that took a queued job: the check for runs stuck in front
    // of queued requests is armed. Returns t.
    shost_thread* arm_stuck_check(shost_thread* t);
    uint64_t free_generation();
    // Until a worker is let go after `seen` was read, or at most `ms`.
    void wait_freed(uint64_t seen, uint32_t ms);

    std::mutex lock_;
    int loads_ = 0; // loads in progress without the lock
    std::condition_variable loads_done_;
    // Requests waiting for the busy worker of a script with global state
    // sleep here instead of polling; the worker wakes them when freed.
    std::mutex free_lock_;
    std::condition_variable free_cv_;
    uint64_t free_generation_ = 0;
    std::atomic<int> free_waiters_{0};
    std::atomic<bool> stuck_check_armed_{false};
    cl::timer_id stuck_timer_;
    std::multimap<std::wstring, std::unique_ptr<shost_thread>> map_;

    struct page_queue {
        std::deque<waiting_request> entries;
        // The worker last went to this queue while requests on pool threads
        // waited too: the next free moment is theirs.
        bool queue_had_turn = false;
    };
    // With g holding wait_lock_: hands t, when it can be taken, to the first
    // entry; entries that have to go another way are put in `elsewhere`.
    void dispatch_locked(shost_thread* t, page_queue& q, std::vector<waiting_request>& elsewhere);
    // The global-state worker of path in map_ (lock_ held), or null.
    shost_thread* one_worker_of(const std::wstring& path);
    void arm_wait_sweep();
    // Taken after lock_ where both are held.
    std::mutex wait_lock_;
    std::map<std::wstring, page_queue> waiting_;
    std::atomic<bool> wait_sweep_armed_{false};
    cl::timer_id wait_sweep_timer_;
};

shost_cache& the_shost_cache();

// For a request on an event loop: a runner on a worker of the page at path
// that can take the request now, or null.
std::shared_ptr<request_runner> loop_runner(const std::wstring& path,
                                            const cl::sh_ptr<config_info>& config);

// Takes a worker for the started file (loading the script when needed) and
// hands the request over; the file's run is finished when the worker is
// done, or at once when no worker could be had (the error text is its body).
void script_exec(shost_file* file);
void clear_shost_cache();

} // namespace scripting
