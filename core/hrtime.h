// The program's high-resolution clock and small calendar helpers.
//
// At its first read the clock picks the best counting source of the machine
// (time-stamp counter, the monotonic performance counter, or the tick
// counter), calibrates it where needed, and files a one-line description of
// its choice in the system information texts under "hrtime".
#pragma once
#include "core/sync.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace cl {

// The table of system information texts that the system report reads.
void set_system_info_text(const std::string& name, const std::string& text);
// Empty when nothing was filed under the name.
std::string system_info_text(const std::string& name);

class hrtime {
  public:
    static constexpr int mode_tsc = 1;          // time-stamp counter, read monotonically
    static constexpr int mode_perf_counter = 2; // the monotonic clock
    static constexpr int mode_tick_count = 3;   // milliseconds
    static constexpr int mode_tsc_raw = 5;      // time-stamp counter as it comes
    static constexpr int mode_multimedia = 7;   // never available here
    static constexpr int mode_auto = -1;

    // The machine as the clock sees it. Tests hand in fakes.
    struct sources {
        std::function<uint64_t()> tsc; // empty when there is no time-stamp counter
        std::function<int64_t()> perf_counter;
        int64_t perf_frequency = 0;           // 0: no performance counter
        std::function<uint64_t()> tick_count; // milliseconds, 64-bit so it never wraps
        std::function<void(uint32_t)> sleep;
        bool tsc_eligible = false;
        uint32_t processors = 1;
        bool multimedia = false;
    };
    // The real machine: CLOCK_MONOTONIC, the tick counter, rdtsc on x86.
    static sources native_sources();

    // mode_auto chooses at the first read; any other value chooses at once.
    explicit hrtime(int mode = mode_auto);
    hrtime(int mode, sources src);
    ~hrtime();
    hrtime(const hrtime&) = delete;
    hrtime& operator=(const hrtime&) = delete;

    // The process-wide clock, choosing at its first read.
    static hrtime& global();

    // Chooses a source; false when none was found.
    bool select(int mode);
    // The current count of the chosen source; 0 when there is none.
    uint64_t read();
    // Counts per second of the chosen source.
    uint64_t frequency() const { return freq_; }
    int mode() const { return mode_; }
    // The text filed under "hrtime" at the last selection.
    const std::string& description() const { return description_; }
    // Measurements of the time-stamp counter (0 until calibrated).
    uint64_t tsc_frequency() const { return tsc_freq_; }
    uint32_t congruence() const { return congruence_; }

  private:
    struct sample {
        uint64_t tick;
        uint64_t tsc;
    };

    bool calibrate();
    bool take_sample(sample& s);
    bool tsc_usable_single();
    void use(int mode);
    std::string describe() const;

    uint64_t read_tsc_monotonic();
    uint64_t read_tsc_raw() { return src_.tsc(); }
    uint64_t read_perf() { return uint64_t(src_.perf_counter()); }
    uint64_t read_tick() { return src_.tick_count(); }
    uint64_t read_none() { return 0; }

    critical_section lock_;
    uint64_t freq_ = 10000000;
    uint64_t (hrtime::*read_)() = &hrtime::read_none;
    uint64_t tsc_freq_ = 0;
    uint64_t tsc_part1_ = 0;
    uint64_t tsc_part2_ = 0;
    uint64_t perf_freq_ = 0;
    uint64_t last_tsc_ = 0;
    uint64_t correction_ = 0;
    uint32_t calibrations_ = 0;
    int mode_ = 0;
    uint32_t congruence_ = 0;
    bool mm_period_ = false;
    uint32_t mm_period_ms_ = 0;

    sources src_;
    bool tsc_calibrated_ = false;
    sample first_{};
    int requested_ = mode_auto;
    std::once_flag once_;
    std::atomic<bool> selected_{false};
    std::string description_;
};

// Seconds since 1970-01-01 of the current UTC time (utc == 1) or local time.
int64_t current_unix_time(int utc);
// Seconds since 1970-01-01 of a calendar time; 0 for a month outside 1..12.
int64_t make_unix_time(int year, int month, int day, int hour, int minute, int second);
// Today's local date at 00:00:00.
int64_t today_unix_time();
// "YYYYMMDD..." as make_unix_time; 0 when the text does not start with eight digits.
int64_t parse_yyyymmdd(std::string_view text);
int64_t parse_yyyymmdd(std::wstring_view text);

uint32_t get_tick_count();
void sleep_ms(uint32_t ms);

} // namespace cl
