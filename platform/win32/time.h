// SYSTEMTIME and FILETIME as the rest of the program knows them, the tick
// counter and the high-resolution counter, on the POSIX clocks.
#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>

namespace win32 {

struct systemtime {
    uint16_t year = 0;
    uint16_t month = 0;       // 1..12
    uint16_t day_of_week = 0; // 0 = Sunday
    uint16_t day = 0;         // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

// 100 ns units since 1601-01-01 00:00:00 UTC.
using filetime = uint64_t;

constexpr filetime filetime_unix_epoch = 116444736000000000ull; // 1970-01-01 as a filetime
constexpr filetime filetime_per_second = 10000000ull;

// The current UTC time.
filetime get_system_time_as_filetime();
systemtime get_system_time();
systemtime get_local_time();

// Exact conversions; false for a value outside what the other side can hold
// (a systemtime field out of range, a filetime past year 30827).
bool filetime_to_systemtime(filetime ft, systemtime& st);
bool systemtime_to_filetime(const systemtime& st, filetime& ft);

// UTC <-> local time through the C library's time-zone rules.
bool filetime_to_local_filetime(filetime utc, filetime& local);
bool local_filetime_to_filetime(filetime local, filetime& utc);

filetime filetime_from_timespec(const struct timespec& ts);
struct timespec timespec_from_filetime(filetime ft);
filetime filetime_from_unix(int64_t seconds);
int64_t unix_from_filetime(filetime ft);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);
void civil_from_days(int64_t days, int64_t& year, unsigned& month, unsigned& day);

// Milliseconds from the monotonic clock; the 32-bit form wraps after 49.7 days
// like GetTickCount.
uint32_t get_tick_count();
uint64_t get_tick_count64();

// The steady clock's time to a few milliseconds behind, read without the
// time source (as GetTickCount is): for deadlines and ages on hot paths.
std::chrono::steady_clock::time_point coarse_steady_now();

// A monotonic counter and its frequency in counts per second.
int64_t query_performance_counter();
int64_t query_performance_frequency();

void sleep_ms(uint32_t ms);

} // namespace win32
