#include "core/hrtime.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

TEST(unix_time, make_unix_time_values) {
    struct row {
        int y, mo, d, h, mi, s;
        int64_t expected;
    } rows[] = {
        {1970, 1, 1, 0, 0, 0, 0},
        {2000, 3, 1, 0, 0, 0, 951868800},
        {2000, 2, 29, 0, 0, 0, 951782400},
        {1970, 1, 2, 1, 2, 3, 86400 + 3723},
        {2100, 3, 1, 0, 0, 0, 4107542400},   // 2100 is not a leap year
        {2038, 1, 19, 3, 14, 8, 2147483648}, // past the signed 32-bit range
        {2106, 2, 7, 6, 28, 16, 4294967296}, // past the unsigned 32-bit range
        {2200, 1, 1, 0, 0, 0, 7258118400},
        {2400, 12, 31, 23, 59, 59, 13601087999},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cl::make_unix_time(r.y, r.mo, r.d, r.h, r.mi, r.s), r.expected)
            << r.y << "-" << r.mo << "-" << r.d;
}

TEST(unix_time, month_out_of_range_gives_zero) {
    EXPECT_EQ(cl::make_unix_time(2020, 0, 1, 0, 0, 0), 0);
    EXPECT_EQ(cl::make_unix_time(2020, 13, 1, 0, 0, 0), 0);
    EXPECT_EQ(cl::make_unix_time(2020, -5, 1, 0, 0, 0), 0);
}

TEST(unix_time, parse_yyyymmdd) {
    EXPECT_EQ(cl::parse_yyyymmdd("20000301"), 951868800);
    EXPECT_EQ(cl::parse_yyyymmdd("19700102T120000Z"), 86400);
    EXPECT_EQ(cl::parse_yyyymmdd(L"20000301"), 951868800);
    EXPECT_EQ(cl::parse_yyyymmdd("21060208"), 4295030400);
    EXPECT_EQ(cl::parse_yyyymmdd("2000030"), 0); // too short
    EXPECT_EQ(cl::parse_yyyymmdd("2000-03-01"), 0);
    EXPECT_EQ(cl::parse_yyyymmdd("20001301"), 0); // no month 13
    EXPECT_EQ(cl::parse_yyyymmdd(""), 0);
}

TEST(unix_time, current_and_today_agree) {
    int64_t today = cl::today_unix_time();
    EXPECT_EQ(today % 86400, 0);
    int64_t local = cl::current_unix_time(0);
    // Read around a possible midnight: today is at most a day behind.
    EXPECT_GE(local + 1, today);
    EXPECT_LT(local - today, 2 * 86400);
    EXPECT_GT(cl::current_unix_time(1), 1600000000);
}

// A fake machine: the tick counter moves one millisecond per read, sleeping
// moves it on, and the time-stamp counter runs at 1 GHz of fake time until
// the test makes it return a script of values.
struct fake_machine {
    uint64_t ms = 5000;
    uint64_t tsc_per_ms = 1000000;
    std::vector<uint64_t> script;
    std::size_t next = 0;
};

cl::hrtime::sources make_sources(const std::shared_ptr<fake_machine>& m, bool perf, bool tsc,
                                 uint32_t procs) {
    cl::hrtime::sources s;
    s.tick_count = [m] { return ++m->ms; };
    s.sleep = [m](uint32_t d) { m->ms += d; };
    if (tsc) {
        s.tsc = [m]() -> uint64_t {
            if (m->next < m->script.size()) return m->script[m->next++];
            return m->ms * m->tsc_per_ms;
        };
        s.tsc_eligible = true;
    }
    if (perf) {
        s.perf_counter = [m] { return int64_t(m->ms * 1000); };
        s.perf_frequency = 1000000;
    }
    s.processors = procs;
    return s;
}

TEST(hrtime, performance_counter_wins_when_no_mode_is_asked) {
    auto m = std::make_shared<fake_machine>();
    cl::hrtime h(cl::hrtime::mode_auto, make_sources(m, true, true, 1));
    uint64_t first = h.read(); // the first read chooses
    EXPECT_EQ(first, m->ms * 1000);
    EXPECT_EQ(h.mode(), cl::hrtime::mode_perf_counter);
    EXPECT_EQ(h.frequency(), 1000000u);
    EXPECT_EQ(h.description(), "Using performance counter running at 1 MHz; TSC=1000/1000 MHz");
    EXPECT_EQ(cl::system_info_text("hrtime"), h.description());
}

TEST(hrtime, calibrated_tsc_on_one_processor) {
    auto m = std::make_shared<fake_machine>();
    cl::hrtime h(cl::hrtime::mode_auto, make_sources(m, false, true, 1));
    EXPECT_TRUE(h.select(cl::hrtime::mode_auto));
    EXPECT_EQ(h.mode(), cl::hrtime::mode_tsc);
    EXPECT_EQ(h.frequency(), 1000000000u);
    EXPECT_EQ(h.congruence(), 100000u);
    EXPECT_EQ(h.description(), "Using CPU TSC running at 1000 MHz; congruence=100%\n");

    EXPECT_TRUE(h.select(cl::hrtime::mode_tsc_raw));
    EXPECT_EQ(h.description(), "Using raw CPU TSC running at 1000 MHz; congruence=100%\n");
}

TEST(hrtime, fallbacks) {
    auto m = std::make_shared<fake_machine>();
    // Two processors: the counter is not trusted, the tick counter serves.
    cl::hrtime two(cl::hrtime::mode_auto, make_sources(m, false, true, 2));
    EXPECT_TRUE(two.select(-1));
    EXPECT_EQ(two.mode(), cl::hrtime::mode_tick_count);
    EXPECT_EQ(two.description(), "Using OS tick counter, granularity 1000 Hz\n");

    // A counter that runs far too slowly fails calibration.
    auto slow = std::make_shared<fake_machine>();
    slow->tsc_per_ms = 1000; // 1 MHz
    cl::hrtime h(cl::hrtime::mode_auto, make_sources(slow, true, true, 1));
    EXPECT_TRUE(h.select(cl::hrtime::mode_tsc));
    EXPECT_EQ(h.mode(), cl::hrtime::mode_perf_counter);
    EXPECT_EQ(h.description(), "Using performance counter running at 1 MHz");

    // No multimedia timer here: the next best source.
    cl::hrtime mm(cl::hrtime::mode_auto, make_sources(m, true, false, 1));
    EXPECT_TRUE(mm.select(cl::hrtime::mode_multimedia));
    EXPECT_EQ(mm.mode(), cl::hrtime::mode_perf_counter);

    // No performance counter, no usable counter: the tick counter.
    cl::hrtime tick(cl::hrtime::mode_auto, make_sources(m, false, false, 1));
    EXPECT_TRUE(tick.select(cl::hrtime::mode_perf_counter));
    EXPECT_EQ(tick.mode(), cl::hrtime::mode_tick_count);
}

TEST(hrtime, frozen_tick_counter_does_not_hang_calibration) {
    auto m = std::make_shared<fake_machine>();
    auto s = make_sources(m, false, true, 1);
    s.tick_count = [] { return uint64_t(42); };
    cl::hrtime h(cl::hrtime::mode_auto, s);
    EXPECT_TRUE(h.select(cl::hrtime::mode_tsc));
    EXPECT_EQ(h.mode(), cl::hrtime::mode_tick_count);
}

TEST(hrtime, monotonic_tsc_never_goes_backwards) {
    auto m = std::make_shared<fake_machine>();
    cl::hrtime h(cl::hrtime::mode_tsc, make_sources(m, false, true, 1));
    ASSERT_EQ(h.mode(), cl::hrtime::mode_tsc);
    m->script = {1000, 2000, 1500, 1500, 10, 20, 0, 5000};
    uint64_t last = 0;
    for (std::size_t i = 0; i < m->script.size(); ++i) {
        uint64_t v = h.read();
        EXPECT_GT(v, last) << "read " << i;
        last = v;
    }
}

TEST(hrtime, native_clock_reads) {
    cl::hrtime& h = cl::hrtime::global();
    uint64_t a = h.read();
    uint64_t b = h.read();
    EXPECT_NE(h.mode(), 0);
    EXPECT_GT(h.frequency(), 0u);
    EXPECT_GE(b, a);
    EXPECT_FALSE(cl::system_info_text("hrtime").empty());
}

} // namespace
