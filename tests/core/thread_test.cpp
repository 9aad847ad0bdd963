#include "core/thread.h"
#include "core/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t bound_ms = 10000;

template <class F> bool eventually(F f) {
    for (int i = 0; i < 2000; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
}

std::atomic<int> g_starts{0}, g_ends{0};
void count_start() {
    ++g_starts;
}
void count_end() {
    ++g_ends;
}

// A body that blocks until woken (stop) or, when `stubborn`, until released.
class sleeper : public cl::thread_obj {
  public:
    explicit sleeper(bool stubborn, std::atomic<bool>* destroyed = nullptr)
        : cl::thread_obj(count_start, count_end), stubborn_(stubborn), destroyed_(destroyed) {}
    ~sleeper() override {
        stop(bound_ms);
        if (destroyed_) *destroyed_ = true;
    }
    void run() override {
        ran = true;
        if (stubborn_)
            release.wait(bound_ms);
        else
            while (!stop_requested())
                woken.wait(bound_ms);
    }
    void wake() override { woken.set(); }

    cl::event woken, release;
    std::atomic<bool> ran{false};

  private:
    bool stubborn_;
    std::atomic<bool>* destroyed_;
};

TEST(thread_obj, start_runs_body_with_hooks_and_stop_ends_it) {
    const int starts = g_starts, ends = g_ends;
    sleeper s(false);
    EXPECT_TRUE(s.stop(0)); // never started: nothing to do
    ASSERT_TRUE(s.start());
    EXPECT_TRUE(s.has_thread());
    EXPECT_TRUE(s.start()); // once only
    // A stop that comes before the body begins skips it; let it begin.
    ASSERT_TRUE(eventually([&] { return s.ran.load(); }));
    EXPECT_TRUE(s.stop(bound_ms));
    EXPECT_FALSE(s.has_thread());
    EXPECT_EQ(g_starts - starts, 1);
    EXPECT_EQ(g_ends - ends, 1);
    EXPECT_TRUE(s.stop(0));
}

TEST(thread_obj, shared_object_that_overruns_its_limit_keeps_itself_alive) {
    std::atomic<bool> destroyed{false};
    auto s = std::make_shared<sleeper>(true, &destroyed);
    ASSERT_TRUE(s->start());
    ASSERT_TRUE(eventually([&] { return s->ran.load(); }));
    cl::event& release = s->release;
    EXPECT_FALSE(s->stop(0)); // left to finish, not killed
    std::weak_ptr<sleeper> weak = s;
    s.reset();
    EXPECT_FALSE(destroyed);
    EXPECT_FALSE(weak.expired());
    release.set();
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
}

TEST(pool, jobs_run_and_idle_threads_are_reused) {
    cl::thread_pool pool;
    cl::event done;
    std::atomic<int> runs{0};
    const auto a = pool.run([&] {
        ++runs;
        done.set();
    });
    EXPECT_NE(a, 0u);
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    for (int i = 0; i < 5; ++i) {
        done.reset();
        const auto id = pool.run([&] {
            ++runs;
            done.set();
        });
        EXPECT_NE(id, a);
        ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
        ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    }
    EXPECT_EQ(runs, 6);
    EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(pool, bound_call_form_runs_the_function_with_its_arguments) {
    cl::thread_pool pool;
    cl::event done;
    std::atomic<int> sum{0};
    auto add = [&](int a, int b) {
        sum = a + b;
        done.set();
    };
    EXPECT_NE(pool.run(add, 2, 3), 0u);
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    EXPECT_EQ(sum, 5);
}

// Runs n jobs that stay busy until released; returns the thread of each.
struct busy_jobs {
    cl::event release;
    std::mutex m;
    std::vector<std::thread::id> threads;
    std::atomic<int> started{0};
    std::vector<cl::thread_pool::job_id> ids;

    void run(cl::thread_pool& pool, int n) {
        threads.assign(static_cast<size_t>(n), std::thread::id());
        for (int i = 0; i < n; ++i)
            ids.push_back(pool.run([this, i] {
                {
                    std::lock_guard lk(m);
                    threads[static_cast<size_t>(i)] = std::this_thread::get_id();
                }
                ++started;
                release.wait(bound_ms);
            }));
        ASSERT_TRUE(eventually([&] { return started.load() == n; }));
    }
    // Lets the jobs end and waits until their threads no longer use us.
    void finish(cl::thread_pool& pool) {
        release.set();
        ASSERT_TRUE(eventually([&] { return pool.idle_count() == pool.thread_count(); }));
    }
};

TEST(pool, cleanup_removes_newest_idle_threads_down_to_the_decaying_peak) {
    cl::thread_pool pool;
    busy_jobs jobs;
    jobs.run(pool, 3);
    EXPECT_EQ(pool.thread_count(), 3u);
    jobs.release.set();
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 3; }));
    // The third job found two busy threads: that is the peak.
    EXPECT_EQ(pool.peak_busy(), 2u);
    const size_t expected[] = {2, 1, 0};
    for (size_t n : expected) {
        pool.cleanup();
        EXPECT_EQ(pool.thread_count(), n);
    }

    // Newest idle first: the oldest thread is the one that stays.
    busy_jobs again;
    again.run(pool, 3);
    again.release.set();
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 3; }));
    pool.cleanup(); // peak 2 -> 2 threads
    pool.cleanup(); // peak 1 -> 1 thread
    ASSERT_EQ(pool.thread_count(), 1u);
    cl::event done;
    std::thread::id where;
    pool.run([&] {
        where = std::this_thread::get_id();
        done.set();
    });
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    EXPECT_EQ(where, again.threads[0]);
}

TEST(pool, cleanup_never_removes_a_busy_thread) {
    cl::thread_pool pool;
    busy_jobs jobs;
    jobs.run(pool, 1);
    cl::event done;
    pool.run([&] { done.set(); });
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    for (int i = 0; i < 4; ++i)
        pool.cleanup();
    EXPECT_EQ(pool.thread_count(), 1u);
    EXPECT_EQ(pool.idle_count(), 0u);
    jobs.finish(pool);
}

TEST(pool, cleanup_runs_on_the_given_timer) {
    auto tick = std::make_shared<std::atomic<uint32_t>>(5000);
    cl::passive_timer timer("pool", [tick] { return tick->load(); });
    cl::thread_pool pool(nullptr, nullptr, &timer);
    cl::event done;
    pool.run([&] { done.set(); });
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    EXPECT_EQ(timer.entry_count(), 1u);
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    tick->fetch_add(2000);
    ASSERT_TRUE(timer.sync(bound_ms));
    EXPECT_EQ(pool.thread_count(), 0u);
}

TEST(pool, kill_thread_ignores_unknown_and_finished_jobs) {
    cl::thread_pool pool;
    cl::event done;
    const auto first = pool.run([&] { done.set(); });
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    EXPECT_FALSE(pool.kill_thread(0, 0));
    EXPECT_FALSE(pool.kill_thread(first + 100, 0));
    // The same thread now serves another job: the stale id must not reach it.
    busy_jobs jobs;
    jobs.run(pool, 1);
    EXPECT_EQ(pool.thread_count(), 1u);
    EXPECT_FALSE(pool.kill_thread(first, 0));
    EXPECT_EQ(pool.thread_count(), 1u);
    EXPECT_EQ(pool.idle_count(), 0u);
    jobs.finish(pool);
}

TEST(pool, kill_thread_of_a_busy_job_removes_it_without_killing_it) {
    const int ends = g_ends;
    cl::thread_pool pool(count_start, count_end);
    pool.set_stop_limit(10);
    busy_jobs jobs;
    jobs.run(pool, 1);
    EXPECT_TRUE(pool.kill_thread(jobs.ids[0], 0));
    EXPECT_EQ(pool.thread_count(), 0u);
    EXPECT_EQ(g_ends, ends); // still finishing its job
    jobs.release.set();
    EXPECT_TRUE(eventually([&] { return g_ends.load() == ends + 1; }));
}

TEST(pool, job_ending_its_own_thread_does_not_deadlock) {
    const int ends = g_ends;
    cl::thread_pool pool(count_start, count_end);
    cl::event id_known, killed;
    std::atomic<cl::thread_pool::job_id> own{0};
    std::atomic<bool> result{false};
    own = pool.run([&] {
        id_known.wait(bound_ms);
        result = pool.kill_thread(own, bound_ms);
        killed.set();
    });
    id_known.set();
    ASSERT_EQ(killed.wait(bound_ms), win32::wait_object_0);
    EXPECT_TRUE(result);
    EXPECT_TRUE(eventually([&] { return g_ends.load() == ends + 1; }));
    EXPECT_EQ(pool.thread_count(), 0u);
    // The pool goes on with new threads.
    cl::event done;
    pool.run([&] { done.set(); });
    EXPECT_EQ(done.wait(bound_ms), win32::wait_object_0);
}

TEST(pool, job_exceptions_are_caught_and_the_thread_goes_on) {
    cl::thread_pool pool;
    pool.run([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    pool.run([] { throw 7; });
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    cl::event done;
    pool.run([&] { done.set(); });
    ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
    EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(pool, destruction_with_busy_threads_leaves_them_to_finish) {
    const int ends = g_ends;
    busy_jobs jobs;
    {
        cl::thread_pool pool(count_start, count_end);
        pool.set_stop_limit(10);
        jobs.run(pool, 2);
        cl::event done;
        pool.run([&] { done.set(); }); // a third, idle thread
        ASSERT_EQ(done.wait(bound_ms), win32::wait_object_0);
        ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    }
    // The idle thread has ended; the busy ones still run their jobs.
    EXPECT_TRUE(eventually([&] { return g_ends.load() >= ends + 1; }));
    jobs.release.set();
    EXPECT_TRUE(eventually([&] { return g_ends.load() == ends + 3; }));
}

} // namespace
