// The instances of calendar components (RRULE, RDATE, EXDATE, EXRULE and
// RECURRENCE-ID overrides), their overlap with a time range as CalDAV defines
// it, and the expansion of an object into one component per instance.
#pragma once
#include "dav/caldav/ical_properties.h"
#include "dav/caldav/ical_time.h"
#include "dav/caldav/rrule.h"

#include <string>
#include <string_view>
#include <vector>

// A time range [start, end) in UTC; an open side is ical_min_time /
// ical_max_time.
struct time_range {
    ical_seconds start = ical_min_time;
    ical_seconds end = ical_max_time;
};

// The "start" and "end" attribute texts of a time-range element (each may be
// empty); false when a non-empty one is not a date-time.
bool parse_time_range(std::string_view start, std::string_view end, time_range& out);

// How an instance meets a range, by the component's kind and which of its
// time properties are present.
enum class overlap_rule {
    interval,      // start < range end and end > range start
    instant,       // range start <= start < range end
    freebusy,      // range start <= end and range end > start
    todo_duration, // DTSTART with DURATION
    todo_due,      // DTSTART with DUE
    todo_due_only, // DUE alone
    todo_created_completed,
    todo_completed,
    todo_created,
    always,
};

struct component_instance {
    ical_seconds start = 0; // UTC (for VTODO rules: DTSTART, DUE or CREATED)
    ical_seconds end = 0;   // UTC (the end, DUE or COMPLETED)
    ical_seconds recurrence_id = 0;
    overlap_rule rule = overlap_rule::instant;
    bool is_date = false;    // DTSTART is a DATE (all-day)
    bool recurring = false;  // made by RRULE or RDATE
    bool from_rdate = false; // an RDATE with a period of its own
    bool operator<(const component_instance& o) const { return start < o.start; }
};

bool instance_overlaps(const component_instance& inst, const time_range& range);

// The instances of the component at `path` (a VEVENT, VTODO, VJOURNAL,
// VFREEBUSY or VALARM, `name` its kind) that may meet `window`: ascending
// for the first three, free-busy periods and alarm repeats in the order
// the object lists them; instances replaced by a RECURRENCE-ID override of
// the same UID are left out. False when a bound cut the expansion short.
bool component_instances(const ical_properties& table, const ical_zones& zones,
                         const std::string& path, std::string_view name, const time_range& window,
                         std::vector<component_instance>& out, const rrule_limits& limits = {});

// True when the component or one of its instances meets the range.
bool component_time_range_test(const ical_properties& table, const ical_zones& zones,
                               const std::string& path, std::string_view name,
                               const time_range& range, const rrule_limits& limits = {});

// True when a property of the component (its value, or for RDATE, EXDATE and
// FREEBUSY one of its periods) meets the range; properties that hold no
// time pass.
bool property_time_range_test(const ical_properties& table, const ical_zones& zones,
                              const std::string& key, const time_range& range);

// A copy of a calendar object in which every instance of a recurring
// component that meets `range` is a component of its own in UTC, keeping the
// master's other properties (UID, SUMMARY, ...) and its alarms.
// The expansion of one object holds at most limits.max_results instances and
// about expanded_bytes_limit bytes of copied components; `complete` (when
// given) is set false when a bound cut it short.
inline constexpr std::size_t expanded_bytes_limit = 32 * 1024 * 1024;
ical_properties expand_calendar_data(const ical_properties& table, const ical_zones& zones,
                                     const time_range& range, const rrule_limits& limits = {},
                                     bool* complete = nullptr);
