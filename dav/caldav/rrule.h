// Recurrence rules (RRULE values): parsing with range checks, and the
// occurrences of a series, always counted from its DTSTART so that COUNT and
// INTERVAL give the same instances whatever range is asked for.
#pragma once
#include "dav/caldav/ical_time.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// Bounds of one expansion, so a hostile rule cannot stall a request.
struct rrule_limits {
    size_t max_results = 30000; // occurrences handed out
    size_t max_work = 300000;   // candidate days and times looked at
    std::chrono::milliseconds max_time{250};
    // A deadline shared by every expansion of one request (a report over
    // thousands of objects), so the request as a whole stays bounded too.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // The server's stop flag: a set flag ends every expansion at once.
    const std::atomic<bool>* stop = nullptr;

    bool out_of_time(std::chrono::steady_clock::time_point now) const {
        return (deadline && now > *deadline) || (stop && stop->load(std::memory_order_relaxed));
    }
};

class rrule_set {
  public:
    enum frequency { secondly, minutely, hourly, daily, weekly, monthly, yearly };

    int freq = -1;
    int interval = 1;
    int count = -1; // -1: not given
    int wkst = 1;   // 0 = SU ... 6 = SA
    bool has_until = false;
    ical_datetime until;
    std::vector<int> bysecond, byminute, byhour, bymonthday, byyearday, byweekno, bymonth,
        setpos_values;
    std::vector<std::pair<int, int>> byday; // (ordinal or 0, weekday 0 = SU)

    // The whole value ("FREQ=...;..."). Refuses unknown or repeated parts,
    // values out of range (BYMONTH=13, BYHOUR=25, INTERVAL=0, BYMONTHDAY=0),
    // COUNT together with UNTIL, and parts the frequency does not allow.
    bool parse(std::string_view value);

    // Occurrences of the series that starts at `dtstart` (a wall-clock
    // reading; DTSTART itself is always the first one and counts towards
    // COUNT), in ascending order, those within [from, to] appended to `out`.
    // `until_limit` is UNTIL as a reading of the same clock (ical_max_time
    // without UNTIL). Returns false when a limit cut the expansion short.
    bool expand(ical_seconds dtstart, ical_seconds from, ical_seconds to, ical_seconds until_limit,
                std::vector<ical_seconds>& out, const rrule_limits& limits = {}) const;

  private:
    bool parse_part(std::string_view name, std::string_view value);
    bool check() const;

    bool interval_given_ = false;
    bool wkst_given_ = false;
};
