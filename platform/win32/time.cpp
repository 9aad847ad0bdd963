#include "platform/win32/time.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace win32 {

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

namespace {
constexpr int64_t days_1601_to_1970 = 134774;

bool is_leap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
unsigned days_in_month(unsigned y, unsigned m) {
    static const unsigned dim[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : dim[m - 1];
}
} // namespace

bool filetime_to_systemtime(filetime ft, systemtime& st) {
    // Windows refuses values with the top bit set.
    if (ft >= 0x8000000000000000ull) return false;
    const uint64_t ms_total = ft / 10000;
    const int64_t days = static_cast<int64_t>(ms_total / 86400000ull) - days_1601_to_1970;
    uint64_t ms_of_day = ms_total % 86400000ull;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    if (y > 30827) return false;
    st.year = static_cast<uint16_t>(y);
    st.month = static_cast<uint16_t>(m);
    st.day = static_cast<uint16_t>(d);
    // 1601-01-01 was a Monday; days counts from 1970-01-01, a Thursday.
    st.day_of_week = static_cast<uint16_t>(((days % 7) + 7 + 4) % 7);
    st.hour = static_cast<uint16_t>(ms_of_day / 3600000);
    ms_of_day %= 3600000;
    st.minute = static_cast<uint16_t>(ms_of_day / 60000);
    ms_of_day %= 60000;
    st.second = static_cast<uint16_t>(ms_of_day / 1000);
    st.milliseconds = static_cast<uint16_t>(ms_of_day % 1000);
    return true;
}

bool systemtime_to_filetime(const systemtime& st, filetime& ft) {
    if (st.year < 1601 || st.year > 30827 || st.month < 1 || st.month > 12 || st.day < 1 ||
        st.day > days_in_month(st.year, st.month) || st.hour > 23 || st.minute > 59 ||
        st.second > 59 || st.milliseconds > 999)
        return false;
    const int64_t days = days_from_civil(st.year, st.month, st.day) + days_1601_to_1970;
    const uint64_t ms = static_cast<uint64_t>(days) * 86400000ull + st.hour * 3600000ull +
                        st.minute * 60000ull + st.second * 1000ull + st.milliseconds;
    ft = ms * 10000;
    return true;
}

filetime filetime_from_timespec(const struct timespec& ts) {
    const int64_t t = static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 +
                      static_cast<int64_t>(filetime_unix_epoch);
    return t < 0 ? 0 : static_cast<filetime>(t);
}

struct timespec timespec_from_filetime(filetime ft) {
    const int64_t rel = static_cast<int64_t>(ft) - static_cast<int64_t>(filetime_unix_epoch);
    int64_t sec = rel / 10000000;
    int64_t rem = rel % 10000000;
    if (rem < 0) {
        rem += 10000000;
        --sec;
    }
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
}

filetime filetime_from_unix(int64_t seconds) {
    const int64_t t = seconds * 10000000 + static_cast<int64_t>(filetime_unix_epoch);
    return t < 0 ? 0 : static_cast<filetime>(t);
}

int64_t unix_from_filetime(filetime ft) {
    return (static_cast<int64_t>(ft) - static_cast<int64_t>(filetime_unix_epoch)) / 10000000;
}

filetime get_system_time_as_filetime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return filetime_from_timespec(ts);
}

systemtime get_system_time() {
    // Every request reads the time: the calendar is worked out once a second.
    thread_local uint64_t cached_second = ~uint64_t{0};
    thread_local systemtime cached;
    const filetime now = get_system_time_as_filetime();
    const uint64_t ms_total = now / 10000;
    if (ms_total / 1000 != cached_second) {
        if (!filetime_to_systemtime(now, cached)) return systemtime{};
        cached_second = ms_total / 1000;
    }
    systemtime st = cached;
    st.milliseconds = static_cast<uint16_t>(ms_total % 1000);
    return st;
}

bool filetime_to_local_filetime(filetime utc, filetime& local) {
    const struct timespec ts = timespec_from_filetime(utc);
    struct tm tm {};
    if (!localtime_r(&ts.tv_sec, &tm)) return false;
    const int64_t off = tm.tm_gmtoff;
    const int64_t r = static_cast<int64_t>(utc) + off * 10000000;
    if (r < 0) return false;
    local = static_cast<filetime>(r);
    return true;
}

bool local_filetime_to_filetime(filetime local, filetime& utc) {
    // Guess with the offset at the local value read as UTC, then correct once
    // with the offset at the result (enough across a daylight-saving change).
    filetime probe;
    if (!filetime_to_local_filetime(local, probe)) return false;
    int64_t off = static_cast<int64_t>(probe) - static_cast<int64_t>(local);
    int64_t guess = static_cast<int64_t>(local) - off;
    if (guess < 0) return false;
    if (!filetime_to_local_filetime(static_cast<filetime>(guess), probe)) return false;
    off = static_cast<int64_t>(probe) - guess;
    guess = static_cast<int64_t>(local) - off;
    if (guess < 0) return false;
    utc = static_cast<filetime>(guess);
    return true;
}

systemtime get_local_time() {
    filetime local;
    systemtime st;
    if (!filetime_to_local_filetime(get_system_time_as_filetime(), local))
        local = get_system_time_as_filetime();
    filetime_to_systemtime(local, st);
    return st;
}

uint64_t get_tick_count64() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

uint32_t get_tick_count() {
    return static_cast<uint32_t>(get_tick_count64());
}

std::chrono::steady_clock::time_point coarse_steady_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
}

int64_t query_performance_counter() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t query_performance_frequency() {
    return 1000000000;
}

void sleep_ms(uint32_t ms) {
    struct timespec req {
        static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000
    };
    while (nanosleep(&req, &req) == -1 && errno == EINTR) {
    }
}

} // namespace win32
