#include "scripting/jscript/script_cache.h"

#include "core/format.h"
#include "core/path.h"
#include "core/trace.h"
#include "platform/automation/com_objects.h"
#include "scripting/jscript/jscript_host.h"
#include "scripting/jscript/shost_file.h"
#include "server/config/config_cache.h"
#include "server/http_server.h"
#include "server/run_request.h"
#include "server/script_file.h"
#include "server/server_dirs.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <exception>
#include <set>
#include <utility>

using namespace automation;

namespace scripting {

namespace {

std::mutex settings_lock;
script_settings settings;
std::atomic<cl::ini_file*> global_ini{nullptr};
std::atomic<bool> stopping{false};

// Every worker alive, so that stop can reach a script that loads while the
// cache lock is held.
std::mutex live_lock;
std::set<shost_thread*> live;

// The worker whose job from an event loop runs on this thread, until the
// job's page claims it.
thread_local shost_thread* job_worker = nullptr;
// A worker serving requests from event loops queues the next one only while
// its current run is this young, and at most this many: a longer run leaves
// later requests to other workers.
constexpr auto young_job = std::chrono::milliseconds(2);
constexpr std::size_t job_queue_limit = 8;
// Workers serving requests from event loops, over all scripts. Beyond one
// per core a further worker runs nothing sooner: it only adds a wake-up and
// a switch per request, so a request joins a serving worker's queue then.
std::atomic<std::size_t> serving_workers{0};

// A run this long sends the requests queued behind it to the pool.
constexpr auto long_job = std::chrono::milliseconds(50);
// How often queues behind long runs are looked at.
constexpr int32_t long_job_check_ms = 50;

// Set while a request runs that was taken from behind a run that went on
// too long: it waits for a busy worker only briefly.
thread_local bool moved_from_long_run = false;
constexpr uint32_t moved_wait_limit_ms = 2000;

void run_on_pool(std::function<void()> job) {
    cl::thread_pool* pool = the_http_server().pool();
    auto moved = [job = std::move(job)] {
        moved_from_long_run = true;
        job();
        moved_from_long_run = false;
    };
    if (pool && pool->run(moved) != 0) return;
    moved();
}

// Holds a worker for a request that an event loop hands over.
class worker_runner : public request_runner {
  public:
    explicit worker_runner(shost_thread* t) : t_(t) {}
    ~worker_runner() override {
        if (t_) t_->drop_job();
    }
    void run(std::function<void()> job) override {
        std::exchange(t_, nullptr)->push_job(std::move(job));
    }

  private:
    shost_thread* t_;
};

// Requests from loops that wait for one page with global state, at most; a
// further one is answered busy at once.
constexpr std::size_t waiting_limit = 1024;
// How often the waiting requests are looked at for clients that have left.
constexpr int32_t wait_sweep_ms = 250;
// Set on the thread that answers requests given up: they are answered busy
// without a look for a worker.
thread_local bool giving_up = false;

// Holds nothing: the request waits in the page's queue, on no thread, until
// the page's one worker takes it.
class queued_runner : public request_runner {
  public:
    queued_runner(std::wstring path, cl::sh_ptr<config_info> config, khttp::request_ref client)
        : path_(std::move(path)), config_(std::move(config)), client_(std::move(client)) {}
    void run(std::function<void()> job) override {
        the_shost_cache().enqueue(path_, {std::move(job), std::move(config_), std::move(client_),
                                          std::chrono::steady_clock::now()});
    }

  private:
    std::wstring path_;
    cl::sh_ptr<config_info> config_;
    khttp::request_ref client_;
};

// The requests answered busy, one after another on one pool thread: each
// is quick, and a thousand leaving clients must not cost a thousand threads.
void give_up(std::vector<shost_cache::waiting_request> list) {
    if (list.empty()) return;
    auto batch = std::make_shared<std::vector<shost_cache::waiting_request>>(std::move(list));
    auto answer = [batch] {
        giving_up = true;
        for (shost_cache::waiting_request& w : *batch) {
            std::function<void()> job = std::move(w.job);
            job();
        }
        giving_up = false;
        batch->clear();
    };
    cl::thread_pool* pool = the_http_server().pool();
    if (pool && pool->run(answer) != 0) return;
    answer();
}

void run_all_on_pool(std::vector<shost_cache::waiting_request> list) {
    for (shost_cache::waiting_request& w : list)
        run_on_pool(std::move(w.job));
}

std::wstring hresult_hex(hresult hr) {
    return cl::format_wstr(L"%x", static_cast<uint32_t>(hr));
}

} // namespace

void set_script_settings(const script_settings& s) {
    std::lock_guard g(settings_lock);
    settings = s;
}

script_settings get_script_settings() {
    std::lock_guard g(settings_lock);
    return settings;
}

void configure_scripts(cl::ini_file& ini) {
    script_settings s;
    const int32_t seconds = ini.get_int(L"param", L"script_timeout", 120);
    s.run_time_limit_ms = seconds > 0 ? static_cast<uint32_t>(seconds) * 1000 : 0;
    s.busy_wait_limit_ms = s.run_time_limit_ms ? s.run_time_limit_ms + 10000 : 0xFFFFFFFFu;
    s.timing = ini.get_int(L"param", L"enable_script_timing", 0) != 0;
    set_script_settings(s);
    allow_scripts();
}

std::array<uint32_t, 9> script_object_counters() {
    auto& c = automation::g_com_stats;
    return {static_cast<uint32_t>(c.require_objects.created.load()),
            static_cast<uint32_t>(c.require_objects.destroyed.load()),
            static_cast<uint32_t>(c.main_objects.created.load()),
            static_cast<uint32_t>(c.main_objects.destroyed.load()),
            static_cast<uint32_t>(c.webservers.created.load()),
            static_cast<uint32_t>(c.webservers.destroyed.load()),
            static_cast<uint32_t>(c.hosts.created.load()),
            static_cast<uint32_t>(c.hosts.destroyed.load()),
            static_cast<uint32_t>(c.global_state_waits.load())};
}

void set_script_global_ini(cl::ini_file* ini) {
    global_ini.store(ini);
}

cl::ini_file* script_global_ini() {
    return global_ini.load();
}

bool scripts_stopping() {
    return stopping.load();
}

void interrupt_all_scripts() {
    stopping.store(true);
    {
        std::lock_guard g(live_lock);
        for (shost_thread* t : live)
            t->interrupt();
    }
    the_shost_cache().give_up_waiting();
}

void allow_scripts() {
    stopping.store(false);
}

// --- shost_thread ---

shost_thread::shost_thread() {
    std::lock_guard g(live_lock);
    live.insert(this);
}

shost_thread::~shost_thread() {
    {
        std::lock_guard g(m_);
        stop_ = true;
        run_ = true;
    }
    interrupt();
    wake(true);
    if (thread_.joinable()) thread_.join();
    if (serving_) serving_workers.fetch_sub(1);
    std::lock_guard g(live_lock);
    live.erase(this);
}

void shost_thread::wake(bool sleeping) {
    if (!sleeping) return;
    wake_seq_.fetch_add(1);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wake_seq_), FUTEX_WAKE_PRIVATE, INT_MAX,
              nullptr, nullptr, 0);
}

void shost_thread::sleep(std::unique_lock<std::mutex>& g) {
    const uint32_t seen = wake_seq_.load();
    sleeping_ = true;
    g.unlock();
    // Returns at once when a wake came after `seen` was read.
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wake_seq_), FUTEX_WAIT_PRIVATE, seen, nullptr,
              nullptr, 0);
    g.lock();
    sleeping_ = false;
}

void shost_thread::interrupt() {
    std::lock_guard g(host_lock_);
    if (host_) host_->interrupt();
}

void shost_thread::start(const std::wstring& path, script_context* context,
                         cl::sh_ptr<config_info> config, const automation::guid& class_id) {
    loading_.store(true);
    stop_ = false;
    run_ = loaded_ = done_ = false;
    context_ = context;
    config_ = std::move(config);
    path_ = path;
    // The request's configuration was taken before the worker reads the
    // page: it vouches for the version about to be loaded.
    verified_config_ = config_ && config_->local_path == path ? config_ : nullptr;
    class_id_ = class_id;
    thread_ = std::thread([this] { thread_proc(); });
}

hresult shost_thread::wait_loaded() {
    std::unique_lock g(m_);
    cv_.wait(g, [this] { return loaded_; });
    if (failed(load_result_) && context_ && context_->error_text.empty())
        context_->error_text = cl::format_wstr(
            L"script %? load error %?: %?", path_, hresult_hex(load_result_),
            load_result_ == regdb_e_classnotreg ? L"Class not registered" : L"Unspecified error");
    return load_result_;
}

bool shost_thread::files_changed(const cl::sh_ptr<config_info>& config) {
    const bool vouched = config && config.get() == verified_config_.get();
    for (const auto& [file, time] : dependencies_) {
        if (vouched && file == path_) continue;
        if (file_write_time(file) != time) return true;
    }
    // Taken after the configuration was: a later change makes a new one.
    if (!vouched && config && config->local_path == path_) verified_config_ = config;
    return false;
}

void shost_thread::end_loading() {
    loading_.store(false);
}

void shost_thread::release() {
    busy_.store(0);
    if (!global_state_) return;
    the_shost_cache().note_freed();
    the_shost_cache().dispatch_waiting(this);
}

void shost_thread::release_taken() {
    busy_.store(0);
    if (global_state_) the_shost_cache().note_freed();
}

void shost_thread::hand_over(const cl::sh_ptr<shost_file_adapter>& adapter, script_context* context,
                             shost_file* file) {
    bool sleeping = false;
    {
        std::lock_guard g(m_);
        current_ = adapter;
        context_ = context;
        file_ = file;
        done_ = false;
        run_ = true;
        sleeping = sleeping_;
    }
    wake(sleeping);
}

void shost_thread::run_one(jscript_host& host, const cl::sh_ptr<shost_file_adapter>& adapter,
                           script_context* context, shost_file* file) {
    const auto start = std::chrono::steady_clock::now();
    if (scripts_stopping()) host.interrupt();
    try {
        host.run(adapter, context);
    } catch (const std::exception& x) {
        cl::trace_out.write(cl::format_str("script run: %?\n", x.what()));
        file->end_response();
    }
    host.after_run();
    adapter->detach();
    if (timing_)
        cl::trace_out.write_w(cl::format_wstr(L"script %? took %? usec\n", path_,
                                              std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::steady_clock::now() - start)
                                                  .count()));
}

bool shost_thread::reserve_job(bool taken) {
    std::lock_guard g(m_);
    if (taken) {
        if (!std::exchange(serving_, true)) serving_workers.fetch_add(1);
        ++reserved_;
        return true;
    }
    // A page with global state takes requests from loops in the order they
    // came, through its queue (shost_cache::enqueue).
    if (global_state_ || !serving_ || jobs_.size() + reserved_ >= job_queue_limit) return false;
    if (in_job_ && std::chrono::steady_clock::now() - job_start_ > young_job) return false;
    ++reserved_;
    return true;
}

void shost_thread::push_job(std::function<void()> job) {
    bool sleeping = false;
    {
        std::lock_guard g(m_);
        --reserved_;
        jobs_.push_back(std::move(job));
        sleeping = sleeping_;
    }
    wake(sleeping);
}

void shost_thread::drop_job() {
    bool sleeping = false;
    {
        std::lock_guard g(m_);
        --reserved_;
        sleeping = sleeping_;
    }
    wake(sleeping);
}

std::deque<std::function<void()>> shost_thread::take_stuck_jobs() {
    std::deque<std::function<void()>> stuck;
    std::lock_guard g(m_);
    if (in_job_ && !jobs_.empty() && std::chrono::steady_clock::now() - job_start_ > long_job)
        stuck.swap(jobs_);
    return stuck;
}

shost_thread* shost_thread::inline_worker_for(const std::wstring& path) {
    shost_thread* t = job_worker;
    if (!t || t->path_ != path) return nullptr;
    job_worker = nullptr;
    return t;
}

void shost_thread::run_inline(shost_file* file) {
    jscript_host* host = nullptr;
    {
        std::lock_guard g(host_lock_);
        host = host_;
    }
    if (host) {
        run_one(*host, cl::make_sh<shost_file_adapter>(file), &file->context(), file);
    } else {
        file->end_response();
    }
    file->run_finished();
}

void shost_thread::thread_proc() {
    // A request handed over does not preempt the event loop that hands it:
    // the loop reads what else is ready first, and the worker then runs the
    // whole batch on one wake-up. On an idle core it starts at once.
    const sched_param batch{};
    ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &batch);
    const script_settings s = get_script_settings();
    timing_ = s.timing;
    if (config_ && !impersonate_request_user(*config_)) {
        load_result_ = e_fail;
        cl::trace_out.write_w(
            cl::format_wstr(L"shost thread: unable to impersonate [%?]\n", path_));
        std::lock_guard g(m_);
        loaded_ = done_ = true;
        cv_.notify_all();
        return;
    }
    try {
        jscript_host host;
        host.set_run_time_limit(s.run_time_limit_ms);
        {
            std::lock_guard g(host_lock_);
            host_ = &host;
        }
        load_context params;
        params.request_context = context_;
        params.dependencies = &dependencies_;
        params.config = config_;
        params.class_id = class_id_;
        params.base_dir = cl::dir_part(path_);
        if (config_) params.module_dirs = config_->module_paths;
        if (scripts_stopping()) host.interrupt();
        load_result_ = host.load(path_, params);
        if (succeeded(load_result_)) {
            global_state_ = host.has_global_state();
        } else if (trace_level() > 0) {
            cl::trace_out.write_w(
                cl::format_wstr(L"load script %? failed: %?\n", path_, hresult_hex(load_result_)));
            if (context_ && !context_->error_text.empty())
                cl::trace_out.write_w(context_->error_text + L"\n");
        }
        {
            std::lock_guard g(m_);
            loaded_ = true;
            if (failed(load_result_)) done_ = true;
        }
        cv_.notify_all();
        while (succeeded(load_result_)) {
            std::unique_lock g(m_);
            while (!(run_ || !jobs_.empty() || (serving_ && reserved_ == 0)))
                sleep(g);
            if (!jobs_.empty()) {
                // A request from an event loop: it runs here from its start,
                // and its page runs inline (see inline_worker_for).
                std::function<void()> job = std::move(jobs_.front());
                jobs_.pop_front();
                in_job_ = true;
                job_start_ = std::chrono::steady_clock::now();
                g.unlock();
                job_worker = this;
                job();
                job_worker = nullptr;
                g.lock();
                in_job_ = false;
                if (std::chrono::steady_clock::now() - job_start_ > long_job && !jobs_.empty()) {
                    // Requests that queued behind a long run take the way of
                    // any other: another worker, or the wait with its limit.
                    std::deque<std::function<void()>> later;
                    later.swap(jobs_);
                    g.unlock();
                    for (std::function<void()>& j : later)
                        run_on_pool(std::move(j));
                    g.lock();
                }
                continue;
            }
            if (serving_ && reserved_ == 0) {
                serving_ = false;
                serving_workers.fetch_sub(1);
                g.unlock();
                release();
                continue;
            }
            run_ = false;
            cl::sh_ptr<shost_file_adapter> adapter = std::move(current_);
            current_ = nullptr;
            shost_file* file = std::exchange(file_, nullptr);
            script_context* context = context_;
            if (stop_) {
                // A request handed over as the worker ends gets an empty answer.
                if (file) {
                    file->end_response();
                    if (adapter) adapter->detach();
                    file->run_finished();
                }
                done_ = true;
                cv_.notify_all();
                break;
            }
            g.unlock();
            if (!file) continue;
            run_one(host, adapter, context, file);
            {
                std::lock_guard lg(m_);
                done_ = true;
            }
            // Free for the next request before the file learns the end, so
            // that a client's next request finds the worker free.
            release();
            file->run_finished();
        }
        std::lock_guard g(host_lock_);
        host_ = nullptr;
    } catch (const std::exception& x) {
        {
            std::lock_guard g(host_lock_);
            host_ = nullptr;
        }
        cl::trace_out.write(cl::format_str("script worker: %?\n", x.what()));
        std::lock_guard g(m_);
        if (!loaded_) load_result_ = e_fail;
        loaded_ = done_ = true;
        cv_.notify_all();
    }
}

// --- shost_cache ---

shost_cache& the_shost_cache() {
    static shost_cache cache;
    return cache;
}

shost_thread* shost_cache::acquire(const std::wstring& path, script_context* context,
                                   const cl::sh_ptr<config_info>& config,
                                   const automation::guid& class_id) {
    const script_settings s = get_script_settings();
    const uint32_t wait_limit = moved_from_long_run
                                    ? std::min(s.busy_wait_limit_ms, moved_wait_limit_ms)
                                    : s.busy_wait_limit_ms;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_limit);
    // Registered as a waiter before the scan that finds the worker busy, so
    // that its release either is seen by the scan or wakes the wait.
    struct waiter {
        std::atomic<int>& count;
        bool on = false;
        ~waiter() {
            if (on) --count;
        }
    } w{free_waiters_};
    // A request that waits here on its own thread (one with a body, one
    // moved from a loop) is given up, too, once its client has left.
    const khttp::request_ref client = khttp::current_request();
    uint64_t seen = 0;
    std::unique_lock g(lock_);
    for (;;) {
        if (w.on) seen = free_generation();
        bool wait_for_busy = false;
        auto range = map_.equal_range(path);
        for (auto it = range.first; it != range.second; ++it) {
            shost_thread* t = it->second.get();
            if (t->try_take()) {
                if (!t->files_changed(config)) return t;
                // Changed: a fresh worker takes the entry's place (the old
                // one is idle, so its end is quick).
                it->second = std::make_unique<shost_thread>();
                it->second->try_take();
                return load_unlocked(g, it->second.get(), path, context, config, class_id);
            }
            if (t->global_state() || t->loading()) {
                wait_for_busy = true;
                break;
            }
        }
        if (!wait_for_busy) break;
        if (!w.on) {
            ++automation::g_com_stats.global_state_waits;
            ++free_waiters_;
            w.on = true;
            continue;
        }
        // The one worker of a script with global state is busy (or still
        // loading): wait for it without the lock, so that other scripts go
        // on meanwhile.
        g.unlock();
        if (std::chrono::steady_clock::now() >= deadline || scripts_stopping() ||
            khttp::client_ended(client)) {
            if (context) {
                context->busy = true;
                context->error_text =
                    cl::format_wstr(L"script %? stayed busy; the request was given up", path);
            }
            return nullptr;
        }
        // Bounded, so that the limit and a server stop are seen in time.
        wait_freed(seen, 50);
        g.lock();
    }
    if (trace_level() > 0)
        cl::trace_out.write_w(
            cl::format_wstr(L"shost_cache: create thread %? (%?)\n", path, map_.size()));
    auto fresh = std::make_unique<shost_thread>();
    shost_thread* t = fresh.get();
    t->try_take();
    map_.emplace(path, std::move(fresh));
    return load_unlocked(g, t, path, context, config, class_id);
}

shost_thread* shost_cache::load_unlocked(std::unique_lock<std::mutex>& g, shost_thread* t,
                                         const std::wstring& path, script_context* context,
                                         const cl::sh_ptr<config_info>& config,
                                         const automation::guid& class_id) {
    t->start(path, context, config, class_id);
    ++loads_;
    g.unlock();
    const bool loaded = succeeded(t->wait_loaded());
    g.lock();
    t->end_loading();
    if (--loads_ == 0) loads_done_.notify_all();
    // Requests waiting for this path look again: at a worker of a script
    // with global state, or at none so that they start their own.
    note_freed();
    if (loaded) return t;
    auto range = map_.equal_range(path);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second.get() == t) {
            map_.erase(it);
            break;
        }
    return nullptr;
}

shost_thread* shost_cache::reserve_for_loop(const std::wstring& path,
                                            const cl::sh_ptr<config_info>& config) {
    // Requests waiting on pool threads for a worker to be let go come first:
    // a steady stream from the loops must not keep it taken for ever.
    if (scripts_stopping() || free_waiters_.load() > 0) return nullptr;
    static const std::size_t cores = http_usable_cores();
    std::lock_guard g(lock_);
    auto range = map_.equal_range(path);
    if (serving_workers.load() >= cores)
        for (auto it = range.first; it != range.second; ++it)
            if (!it->second->loading() && it->second->reserve_job(false))
                return arm_stuck_check(it->second.get());
    for (auto it = range.first; it != range.second; ++it) {
        shost_thread* t = it->second.get();
        if (t->loading()) return nullptr;
        if (!t->try_take()) continue;
        if (t->files_changed(config)) {
            // Reloaded by a request on a pool thread.
            t->release();
            return nullptr;
        }
        t->reserve_job(true);
        return t;
    }
    for (auto it = range.first; it != range.second; ++it)
        if (it->second->reserve_job(false)) return arm_stuck_check(it->second.get());
    return nullptr;
}

shost_thread* shost_cache::arm_stuck_check(shost_thread* t) {
    if (!stuck_check_armed_.exchange(true) && cl::global_timers_running())
        cl::slow_timer().set_timer(
            stuck_timer_, [this] { move_stuck_jobs(); }, long_job_check_ms);
    return t;
}

void shost_cache::move_stuck_jobs() {
    std::deque<std::function<void()>> stuck;
    {
        std::lock_guard g(lock_);
        for (auto& [path, t] : map_)
            for (std::function<void()>& j : t->take_stuck_jobs())
                stuck.push_back(std::move(j));
    }
    for (std::function<void()>& j : stuck)
        run_on_pool(std::move(j));
}

std::shared_ptr<request_runner> loop_runner(const std::wstring& path,
                                            const cl::sh_ptr<config_info>& config) {
    shost_cache& cache = the_shost_cache();
    if (shost_thread* t = cache.reserve_for_loop(path, config))
        return std::make_shared<worker_runner>(t);
    // The one worker of a page with global state is taken: the request
    // waits in line for it without a thread of its own.
    if (scripts_stopping() || !cache.serves_one_at_a_time(path)) return nullptr;
    return std::make_shared<queued_runner>(path, config, khttp::current_request());
}

shost_thread* shost_cache::one_worker_of(const std::wstring& path) {
    auto range = map_.equal_range(path);
    for (auto it = range.first; it != range.second; ++it) {
        shost_thread* t = it->second.get();
        if (!t->loading() && t->global_state()) return t;
    }
    return nullptr;
}

bool shost_cache::serves_one_at_a_time(const std::wstring& path) {
    std::lock_guard g(lock_);
    return one_worker_of(path) != nullptr;
}

void shost_cache::enqueue(const std::wstring& path, waiting_request w) {
    std::vector<waiting_request> refused, elsewhere;
    {
        std::lock_guard g(lock_);
        std::lock_guard q(wait_lock_);
        page_queue& pq = waiting_[path];
        if (scripts_stopping() || pq.entries.size() >= waiting_limit) {
            refused.push_back(std::move(w));
        } else {
            ++automation::g_com_stats.global_state_waits;
            pq.entries.push_back(std::move(w));
        }
        // Free meanwhile, it takes the request now; gone (reloaded), the
        // sweep sends the queue the pool's way.
        if (shost_thread* t = one_worker_of(path)) dispatch_locked(t, pq, elsewhere);
    }
    arm_wait_sweep();
    give_up(std::move(refused));
    run_all_on_pool(std::move(elsewhere));
}

void shost_cache::dispatch_waiting(shost_thread* t) {
    std::vector<waiting_request> elsewhere;
    {
        std::lock_guard q(wait_lock_);
        auto it = waiting_.find(t->path());
        if (it == waiting_.end()) return;
        dispatch_locked(t, it->second, elsewhere);
    }
    run_all_on_pool(std::move(elsewhere));
}

void shost_cache::dispatch_locked(shost_thread* t, page_queue& q,
                                  std::vector<waiting_request>& elsewhere) {
    if (q.entries.empty()) return;
    // Requests on pool threads wait for a freed worker too: every other
    // free moment is left to them (the sweep looks again soon).
    if (free_waiters_.load() > 0 && q.queue_had_turn) {
        q.queue_had_turn = false;
        return;
    }
    if (!t->try_take()) return; // its release comes back here
    waiting_request w = std::move(q.entries.front());
    q.entries.pop_front();
    q.queue_had_turn = true;
    if (t->files_changed(w.config)) {
        // The page is loaded afresh on the pool's road; released without
        // dispatch_waiting, whose lock is held here.
        t->release_taken();
        elsewhere.push_back(std::move(w));
        return;
    }
    t->reserve_job(true);
    t->push_job(std::move(w.job));
}

void shost_cache::sweep_waiting() {
    const script_settings s = get_script_settings();
    const bool bounded = s.busy_wait_limit_ms != 0xFFFFFFFFu;
    const auto oldest =
        std::chrono::steady_clock::now() - std::chrono::milliseconds(s.busy_wait_limit_ms);
    const bool stop = scripts_stopping();
    std::vector<waiting_request> given_up, elsewhere;
    {
        std::lock_guard g(lock_);
        std::lock_guard q(wait_lock_);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            page_queue& pq = it->second;
            std::deque<waiting_request> kept;
            for (waiting_request& w : pq.entries)
                if (stop || (bounded && w.since < oldest) || khttp::client_ended(w.client))
                    given_up.push_back(std::move(w));
                else
                    kept.push_back(std::move(w));
            pq.entries.swap(kept);
            if (!pq.entries.empty()) {
                if (shost_thread* t = one_worker_of(it->first)) {
                    dispatch_locked(t, pq, elsewhere);
                } else {
                    // No longer one worker with global state (changed, or
                    // loading afresh): the ordinary road.
                    for (waiting_request& w : pq.entries)
                        elsewhere.push_back(std::move(w));
                    pq.entries.clear();
                }
            }
            if (pq.entries.empty())
                it = waiting_.erase(it);
            else
                ++it;
        }
    }
    give_up(std::move(given_up));
    run_all_on_pool(std::move(elsewhere));
}

void shost_cache::give_up_waiting() {
    std::vector<waiting_request> given_up;
    {
        std::lock_guard q(wait_lock_);
        for (auto& [path, pq] : waiting_)
            for (waiting_request& w : pq.entries)
                given_up.push_back(std::move(w));
        waiting_.clear();
    }
    give_up(std::move(given_up));
}

void shost_cache::arm_wait_sweep() {
    if (!wait_sweep_armed_.exchange(true) && cl::global_timers_running())
        cl::slow_timer().set_timer(
            wait_sweep_timer_, [this] { sweep_waiting(); }, wait_sweep_ms);
}

uint64_t shost_cache::free_generation() {
    std::lock_guard f(free_lock_);
    return free_generation_;
}

void shost_cache::wait_freed(uint64_t seen, uint32_t ms) {
    std::unique_lock f(free_lock_);
    free_cv_.wait_for(f, std::chrono::milliseconds(ms), [&] { return free_generation_ != seen; });
}

void shost_cache::note_freed() {
    if (free_waiters_.load() == 0) return;
    {
        std::lock_guard f(free_lock_);
        ++free_generation_;
    }
    free_cv_.notify_all();
}

void shost_cache::clear() {
    stuck_timer_.kill(true);
    stuck_check_armed_.store(false);
    wait_sweep_timer_.kill(true);
    wait_sweep_armed_.store(false);
    give_up_waiting();
    std::multimap<std::wstring, std::unique_ptr<shost_thread>> old;
    {
        std::unique_lock g(lock_);
        // A worker that loads belongs to its request until the load is over
        // (at stop it is interrupted, so that is soon).
        loads_done_.wait(g, [this] { return loads_ == 0; });
        old.swap(map_);
    }
    old.clear();
}

std::size_t shost_cache::size() {
    std::lock_guard g(lock_);
    return map_.size();
}

void clear_shost_cache() {
    the_shost_cache().clear();
}

// --- running a request ---

void script_exec(shost_file* file) {
    script_context& context = file->context();
    try {
        const cl::sh_ptr<req_info>& info = file->info();
        shost_thread* t = nullptr;
        if (giving_up) {
            // It waited in a page's queue and is answered without a run.
            context.busy = true;
            context.error_text =
                cl::format_wstr(L"script %? stayed busy; the request was given up", file->path());
        } else {
            t = the_shost_cache().acquire(file->path(), &context,
                                          info ? info->config : cl::sh_ptr<config_info>(),
                                          file->class_id());
        }
        if (t) {
            t->hand_over(cl::make_sh<shost_file_adapter>(file), &context, file);
            return;
        }
        if (context.busy) {
            // Not served: the client may try again once the run in the way
            // has had its time.
            const uint32_t limit = get_script_settings().run_time_limit_ms;
            file->headers().add("Status", "503 Service Unavailable");
            file->headers().add("Retry-After", std::to_string(limit ? (limit + 999) / 1000 : 120));
        }
        const std::string text = cl::utf16_to_utf8(context.error_text);
        std::size_t done = 0;
        while (done < text.size()) {
            const int64_t n = file->write_response(text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    } catch (const std::exception& x) {
        cl::trace_out.write(cl::format_str("script_exec: %?\n", x.what()));
    }
    file->end_response();
    file->run_finished();
}

} // namespace scripting
