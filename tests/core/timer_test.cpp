#include "core/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

constexpr uint32_t bound_ms = 10000; // generous bound for waits that must succeed

// A timer whose clock moves only when the test says so.
struct fake_clock_timer {
    std::shared_ptr<std::atomic<uint32_t>> tick;
    std::unique_ptr<cl::passive_timer> timer;

    explicit fake_clock_timer(uint32_t start = 1000)
        : tick(std::make_shared<std::atomic<uint32_t>>(start)) {
        auto t = tick;
        timer = std::make_unique<cl::passive_timer>("test", [t] { return t->load(); });
    }
    // Moves the clock and waits for a full sweep that saw it.
    void advance(uint32_t ms) {
        tick->fetch_add(ms);
        ASSERT_TRUE(timer->sync(bound_ms));
    }
    cl::passive_timer& operator*() { return *timer; }
    cl::passive_timer* operator->() { return timer.get(); }
};

// Polls a condition a bounded number of times.
template <class F> bool eventually(F f) {
    for (int i = 0; i < 2000; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
}

TEST(timer, one_shot_runs_once_when_due_and_is_removed) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    t->set_timer(
        id, [&] { ++runs; }, 100, cl::timer_one_shot);
    EXPECT_TRUE(id.armed());
    t.advance(99);
    EXPECT_EQ(runs, 0);
    t.advance(1);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(id.armed());
    t.advance(1000);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(t->entry_count(), 0u);
    EXPECT_FALSE(id.kill(true));
}

TEST(timer, periodic_runs_each_period) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    t->set_timer(
        id, [&] { ++runs; }, 100);
    for (int i = 1; i <= 5; ++i) {
        t.advance(100);
        EXPECT_EQ(runs, i);
    }
    EXPECT_TRUE(id.kill(true));
    t.advance(1000);
    EXPECT_EQ(runs, 5);
}

TEST(timer, periodic_catch_up_after_stall_is_bounded) {
    struct row {
        int32_t period;
        uint32_t stall;
        int min_runs, max_runs;
    };
    // Under an hour the backlog is clamped to three periods; from an hour on
    // every missed period is run.
    const row rows[] = {{1000, 10000, 4, 5}, {3600000, 36000000, 10, 10}};
    for (const auto& r : rows) {
        fake_clock_timer t;
        cl::timer_id id;
        std::atomic<int> runs{0};
        t->set_timer(
            id, [&] { ++runs; }, r.period);
        t.advance(static_cast<uint32_t>(r.period));
        ASSERT_EQ(runs, 1);
        t.advance(r.stall);
        EXPECT_GE(runs - 1, r.min_runs) << r.period;
        EXPECT_LE(runs - 1, r.max_runs) << r.period;
        // Back to its rhythm: one run per period.
        const int before = runs;
        t.advance(static_cast<uint32_t>(r.period));
        EXPECT_EQ(runs, before + 1) << r.period;
    }
}

TEST(timer, fixed_delay_runs_once_after_stall_then_one_period_later) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    t->set_timer(
        id, [&] { ++runs; }, 100, cl::timer_fixed_delay);
    t.advance(1000);
    EXPECT_EQ(runs, 1);
    t.advance(99);
    EXPECT_EQ(runs, 1);
    t.advance(1);
    EXPECT_EQ(runs, 2);
}

TEST(timer, one_shot_flag_wins_over_fixed_delay) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    t->set_timer(
        id, [&] { ++runs; }, 10, cl::timer_one_shot | cl::timer_fixed_delay);
    t.advance(100);
    t.advance(100);
    EXPECT_EQ(runs, 1);
}

TEST(timer, arming_an_armed_id_without_replace_keeps_period_and_due_time) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> first{0}, second{0};
    t->set_timer(
        id, [&] { ++first; }, 100);
    t.advance(50);
    t->set_timer(
        id, [&] { ++second; }, 500, 0, false);
    t.advance(50);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    // With replace the new period counts from now.
    t->set_timer(
        id, [&] { ++second; }, 500, 0, true);
    t.advance(100);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    t.advance(400);
    EXPECT_EQ(second, 1);
}

TEST(timer, tick_wrap_is_handled_by_signed_difference) {
    fake_clock_timer t(0xFFFFFF00u);
    cl::timer_id once, every;
    std::atomic<int> once_runs{0}, every_runs{0};
    t->set_timer(
        once, [&] { ++once_runs; }, 0x200, cl::timer_one_shot);
    t->set_timer(
        every, [&] { ++every_runs; }, 0x100);
    t.advance(0xF0); // 0xFFFFFFF0: nothing due yet
    EXPECT_EQ(once_runs, 0);
    EXPECT_EQ(every_runs, 0);
    t.advance(0x10); // exactly 0: the periodic entry is due
    EXPECT_EQ(every_runs, 1);
    EXPECT_EQ(once_runs, 0);
    t.advance(0xFF); // 0xFF: one short
    EXPECT_EQ(once_runs, 0);
    t.advance(1); // 0x100, across the wrap
    EXPECT_EQ(once_runs, 1);
    EXPECT_EQ(every_runs, 2);
}

TEST(timer, period_zero_runs_at_the_minimum_period_without_spinning) {
    for (uint32_t flags : {0u, cl::timer_fixed_delay}) {
        fake_clock_timer t;
        cl::timer_id id;
        std::atomic<int> runs{0};
        t->set_timer(
            id, [&] { ++runs; }, 0, flags);
        // The clock stands still: a zero period would be due on every pass
        // and the sweep would never end.
        t.advance(0);
        EXPECT_EQ(runs, 0);
        t.advance(cl::timer_min_period);
        EXPECT_EQ(runs, 1);
        t.advance(0);
        EXPECT_EQ(runs, 1);
        t.advance(cl::timer_min_period);
        EXPECT_EQ(runs, 2);
    }
}

TEST(timer, one_shot_with_zero_delay_runs_once_at_once) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    t->set_timer(
        id, [&] { ++runs; }, 0, cl::timer_one_shot);
    t.advance(0);
    t.advance(0);
    EXPECT_EQ(runs, 1);
}

TEST(timer, one_shot_rearmed_inside_its_callback_stays_alive) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    std::atomic<bool> armed_inside{true};
    std::function<void()> cb = [&] {
        armed_inside = id.armed();
        if (++runs < 3) t->set_timer(id, cb, 50, cl::timer_one_shot);
    };
    t->set_timer(id, cb, 100, cl::timer_one_shot);
    t.advance(100);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(armed_inside); // the id reads "not armed" inside its one-shot callback
    EXPECT_TRUE(id.armed());
    t.advance(50);
    EXPECT_EQ(runs, 2);
    t.advance(50);
    EXPECT_EQ(runs, 3);
    EXPECT_FALSE(id.armed());
    t.advance(50);
    EXPECT_EQ(runs, 3);
}

TEST(timer, kill_with_wait_from_own_callback_returns_and_entry_goes) {
    fake_clock_timer t;
    cl::timer_id id;
    std::atomic<int> runs{0};
    std::atomic<bool> killed{false};
    t->set_timer(
        id,
        [&] {
            ++runs;
            killed = id.kill(true);
        },
        100);
    t.advance(100);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(killed);
    EXPECT_FALSE(id.armed());
    t.advance(100);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(t->entry_count(), 0u);
}

TEST(timer, kill_and_wait_returns_only_after_the_callback_ends) {
    for (bool one_shot : {false, true}) {
        fake_clock_timer t;
        auto id = std::make_unique<cl::timer_id>();
        cl::event entered, release;
        std::atomic<bool> finished{false};
        t->set_timer(
            *id,
            [&] {
                entered.set();
                release.wait(bound_ms);
                finished = true;
            },
            100, one_shot ? cl::timer_one_shot : 0);
        t.tick->fetch_add(100);
        t->wake();
        ASSERT_EQ(entered.wait(bound_ms), win32::wait_object_0);

        const uint32_t kills_before = t->stats().kill_calls;
        std::atomic<bool> finished_at_return{false};
        // For a one-shot entry the id already reads "not armed"; destroying
        // it must still wait for the callback.
        std::thread killer([&] {
            if (one_shot)
                id.reset();
            else
                id->kill(true);
            finished_at_return = finished.load();
        });
        ASSERT_TRUE(eventually([&] { return t->stats().kill_calls > kills_before; }));
        release.set();
        killer.join();
        EXPECT_TRUE(finished_at_return) << one_shot;
    }
}

TEST(timer, event_entry_fires_once_per_signal_and_resets_the_event) {
    fake_clock_timer t;
    cl::timer_id id;
    cl::event ev, fired;
    std::atomic<int> runs{0};
    t->set_timer(
        id,
        [&] {
            ++runs;
            fired.set();
        },
        ev);
    for (int i = 1; i <= 3; ++i) {
        fired.reset();
        ev.set();
        ASSERT_EQ(fired.wait(bound_ms), win32::wait_object_0);
        ASSERT_TRUE(t->sync(bound_ms));
        EXPECT_EQ(runs, i);
        EXPECT_FALSE(ev.is_set());
    }
    EXPECT_TRUE(id.kill(true));
}

TEST(timer, one_shot_event_entry_fires_once) {
    fake_clock_timer t;
    cl::timer_id id;
    cl::event ev;
    std::atomic<int> runs{0};
    t->set_timer(
        id, [&] { ++runs; }, ev, cl::timer_one_shot);
    ev.set();
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    ev.set();
    ASSERT_TRUE(t->sync(bound_ms));
    ASSERT_TRUE(t->sync(bound_ms));
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(ev.is_set()); // no longer watched
}

TEST(timer, killed_event_entry_lets_the_event_be_destroyed) {
    fake_clock_timer t;
    for (int i = 0; i < 20; ++i) {
        cl::timer_id id;
        auto ev = std::make_unique<cl::event>();
        t->set_timer(
            id, [] {}, *ev);
        ASSERT_TRUE(t->sync(bound_ms)); // the worker now waits on the event
        EXPECT_TRUE(id.kill(true));
        ev.reset(); // no wait may still refer to it
    }
    ASSERT_TRUE(t->sync(bound_ms));
}

TEST(timer, callback_exceptions_are_caught_and_the_timer_goes_on) {
    fake_clock_timer t;
    cl::timer_id bad, good;
    std::atomic<int> bad_runs{0}, good_runs{0};
    t->set_timer(
        bad,
        [&] {
            ++bad_runs;
            throw std::runtime_error("boom");
        },
        100);
    t->set_timer(
        good,
        [&] {
            ++good_runs;
            throw 42;
        },
        100);
    t.advance(100);
    t.advance(100);
    EXPECT_EQ(bad_runs, 2);
    EXPECT_EQ(good_runs, 2);
}

TEST(timer, callbacks_run_with_the_lock_released) {
    fake_clock_timer t;
    cl::timer_id id, other;
    std::atomic<bool> done{false};
    std::atomic<bool> sync_inside{true};
    t->set_timer(
        id,
        [&] {
            // Another thread arms and kills on the same timer while we run.
            std::thread th([&] {
                t->set_timer(
                    other, [] {}, 100);
                other.kill(true);
            });
            th.join();
            sync_inside = t->sync(10); // from the worker itself: refused, no deadlock
            done = true;
        },
        100, cl::timer_one_shot);
    t.advance(100);
    EXPECT_TRUE(done);
    EXPECT_FALSE(sync_inside);
}

TEST(timer, ids_outliving_their_timer_and_unarmed_kills_are_safe) {
    cl::timer_id outlives;
    {
        fake_clock_timer t;
        cl::timer_id never;
        EXPECT_FALSE(never.kill(true));
        EXPECT_FALSE(never.kill(false));
        t->set_timer(
            outlives, [] {}, 100);
        t->set_timer(never, cl::base_timer::callback(), 100); // empty callback: ignored
        EXPECT_FALSE(never.armed());
        EXPECT_TRUE(outlives.armed());
    }
    EXPECT_FALSE(outlives.armed());
    EXPECT_FALSE(outlives.kill(true));
}

TEST(timer, global_slow_and_fast_timers) {
    cl::start_global_timers();
    ASSERT_TRUE(cl::global_timers_running());
    EXPECT_EQ(cl::slow_timer().name(), "slow");
    EXPECT_EQ(cl::fast_timer().name(), "fast");
    {
        cl::timer_id id;
        cl::event fired;
        cl::fast_timer().set_timer(
            id, [&] { fired.set(); }, 1, cl::timer_one_shot);
        EXPECT_EQ(fired.wait(bound_ms), win32::wait_object_0);
    }
    cl::stop_global_timers();
    EXPECT_FALSE(cl::global_timers_running());
}

TEST(timer, wait_for_handles_reports_index_or_minus_one) {
    cl::event a, b;
    std::vector<cl::event_handle> hs{a.handle(), b.handle()};
    EXPECT_EQ(cl::wait_for_handles(hs, 0, false), -1);
    b.set();
    EXPECT_EQ(cl::wait_for_handles(hs, 0, false), 1);
    EXPECT_EQ(cl::wait_for_handles(hs, 0, true), -1);
    a.set();
    EXPECT_EQ(cl::wait_for_handles(hs, 0, true), 0);
    std::vector<cl::event_handle> many(65, a.handle());
    EXPECT_EQ(cl::wait_for_handles(many, 0, false), -1);
}

} // namespace
