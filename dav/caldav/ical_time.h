// iCalendar DATE and DATE-TIME values, durations and periods, and the
// conversion of local times through VTIMEZONE components.
//
// Times are counted in whole seconds since 1970-01-01 00:00:00 (negative
// before it), either as UTC instants or as wall-clock readings of some zone;
// the calendar is the proleptic Gregorian one, so birthdays in 1950 and
// observances from 1601 are ordinary values.
#pragma once
#include "dav/caldav/ical_properties.h"
#include "platform/win32/time.h"

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using ical_seconds = int64_t;

constexpr ical_seconds ical_min_time = std::numeric_limits<int64_t>::min() / 4;
constexpr ical_seconds ical_max_time = std::numeric_limits<int64_t>::max() / 4;

// A parsed DATE or DATE-TIME.
struct ical_datetime {
    ical_seconds seconds = 0; // the reading, moved to UTC when `utc`
    bool is_date = false;     // YYYYMMDD only
    bool utc = false;         // "Z" or an explicit offset
};

// YYYYMMDD, optionally "T" HHMMSS and "Z" or a +hh[[:]mm] offset. Years
// 0001-9999; the day must exist in its month.
bool parse_ical_datetime(std::string_view text, ical_datetime& out);
// The same into SYSTEMTIME fields (the reading; an offset moved to UTC).
bool parse_ical_datetime(std::string_view text, win32::systemtime& out);

// +hhmm[ss] / -hhmm[ss] in seconds; nullopt when malformed.
std::optional<int> parse_utc_offset(std::string_view text);

// An iCalendar duration ([+-]P[nW][nD][T[nH][nM][nS]]) split into its
// nominal days and its exact seconds, both signed.
struct ical_duration {
    int64_t days = 0;
    int64_t seconds = 0;
    int64_t total() const { return days * 86400 + seconds; }
};
bool parse_ical_duration(std::string_view text, ical_duration& out);

// Civil fields of a second count and back; day numbers count from 1970-01-01.
win32::systemtime systemtime_of(ical_seconds s);
ical_seconds seconds_of(const win32::systemtime& st);
ical_seconds seconds_of(int64_t year, unsigned month, unsigned day, unsigned hour = 0,
                        unsigned minute = 0, unsigned second = 0);
int64_t day_number(ical_seconds s);
int weekday_of_day(int64_t day_number); // 0 = Sunday
bool is_leap_year(int64_t year);
unsigned days_in_month(int64_t year, unsigned month);

// "YYYYMMDDTHHMMSSZ" of a UTC instant, "YYYYMMDD" of a date.
std::string format_utc(ical_seconds s);
std::string format_date(ical_seconds s);

// One VTIMEZONE turned into its transitions. Local readings convert to UTC
// with the offset in force; a reading in a spring-forward gap takes the offset
// before the gap, a reading that repeats in autumn its first occurrence.
class timezone_rules {
  public:
    // Reads the VTIMEZONE at `path` of `table`; false when it holds no
    // usable observance.
    bool load(const ical_properties& table, const std::string& path);

    // Reads a compiled zone of the system's time-zone database (the TZif
    // format: its transitions, and the rule of its footer for the years
    // after them); false when the bytes are no such zone.
    bool load_tzif(std::string_view bytes);

    // Seconds to add to UTC to get the local reading.
    int offset_for_local(ical_seconds local) const;
    int offset_for_utc(ical_seconds utc) const;
    ical_seconds to_utc(ical_seconds local) const { return local - offset_for_local(local); }
    ical_seconds to_local(ical_seconds utc) const { return utc + offset_for_utc(utc); }

  private:
    struct observance {
        ical_seconds start = 0; // DTSTART, local reading before the change
        int offset_from = 0;
        int offset_to = 0;
        std::string rrule;
        std::vector<ical_seconds> rdates;
    };
    struct transition {
        ical_seconds local_onset; // reading at which the new offset applies
        ical_seconds utc_onset;
        int offset_from;
        int offset_to;
    };
    const std::vector<transition>& transitions_of_year(int64_t year) const;
    bool add_posix_rule(std::string_view rule, int64_t first_year, int before);
    int offset_at(ical_seconds t, bool local) const;

    std::vector<observance> observances_;
    int initial_offset_ = 0;
    mutable std::map<int64_t, std::vector<transition>> years_;
};

// The time zones a calendar object can refer to: its own VTIMEZONE components
// by TZID, and the zone for floating times (a request's calendar-timezone,
// else UTC). Built once per object, zones read on first use.
class ical_zones {
  public:
    explicit ical_zones(const ical_properties& table, const timezone_rules* floating = nullptr)
        : table_(table), floating_(floating) {}

    // The zone of a TZID: the object's VTIMEZONE of that TZID, else the zone
    // of that name in the system's time-zone database; null when neither
    // knows it (the reading is then taken as UTC).
    const timezone_rules* find(const std::string& tzid) const;
    const timezone_rules* floating() const { return floating_; }

    // UTC instant of a parsed value with its TZID (empty: floating).
    ical_seconds to_utc(const ical_datetime& dt, const std::string& tzid) const;
    ical_seconds to_local(ical_seconds utc, const std::string& tzid) const;

  private:
    const ical_properties& table_;
    const timezone_rules* floating_;
    mutable std::map<std::string, std::shared_ptr<const timezone_rules>> zones_;
};

// The zone of a name of the system's time-zone database ("Europe/Berlin"),
// read from /usr/share/zoneinfo once per thread; null for a name that is no
// zone there or that could lead out of that folder.
std::shared_ptr<const timezone_rules> system_zone(const std::string& name);

// A property's value as a UTC instant (the TZID parameter or the floating
// zone applied); nullopt when absent or unparsable.
std::optional<ical_seconds> property_utc_time(const ical_properties& table, const ical_zones& zones,
                                              const std::string& key,
                                              ical_datetime* parsed = nullptr,
                                              std::string* tzid = nullptr);

// A half-open span [start, end) in UTC seconds.
struct ical_period {
    ical_seconds start = 0;
    ical_seconds end = 0;
    bool operator==(const ical_period&) const = default;
};

// The periods of a list property (RDATE, EXDATE, FREEBUSY): comma lists of
// dates, date-times and start/end or start/duration periods, through the
// property's TZID. `default_length` applies to items without an end.
void parse_period_list(std::string_view value, std::string_view params, const ical_zones& zones,
                       std::optional<int64_t> default_length, std::vector<ical_period>& out);
// The same over a property and its numbered repeats (key, key2, key3, ...).
void collect_periods(const ical_properties& table, const ical_zones& zones, const std::string& key,
                     std::optional<int64_t> default_length, std::vector<ical_period>& out);
