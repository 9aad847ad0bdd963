#include "dav/caldav/ical_expand.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

constexpr int64_t day_seconds = 86400;

std::string_view strip_digits(std::string_view s) {
    while (!s.empty() && s.back() >= '0' && s.back() <= '9')
        s.remove_suffix(1);
    return s;
}

const std::pair<std::string, std::string>* find(const ical_properties& t, const std::string& key) {
    auto it = t.find(key);
    return it == t.end() ? nullptr : &it->second;
}

// The start times of the RECURRENCE-ID overrides that share the UID of the
// master at `path`: those instances of the master are replaced by them.
std::set<ical_seconds> overridden_ids(const ical_properties& table, const ical_zones& zones,
                                      const std::string& path, std::string_view name) {
    std::set<ical_seconds> ids;
    auto uid = find(table, path + ",UID");
    if (!uid) return ids;
    const std::string base = path.substr(0, path.rfind('/') + 1) + std::string(name);
    for (size_t k = 0;; ++k) {
        std::string sibling = base + instance_suffix(k);
        if (!table.count(sibling)) break;
        if (sibling == path) continue;
        auto other = find(table, sibling + ",UID");
        if (!other || other->second != uid->second) continue;
        if (auto t = property_utc_time(table, zones, sibling + ",RECURRENCE-ID")) ids.insert(*t);
    }
    return ids;
}

struct length {
    int64_t days = 0; // nominal: wall-clock days
    int64_t secs = 0; // exact
    int64_t approx() const { return days * day_seconds + secs; }
};

bool todo_without_start(const ical_properties& table, const ical_zones& zones,
                        const std::string& path, std::vector<component_instance>& out) {
    component_instance inst;
    auto due = property_utc_time(table, zones, path + ",DUE");
    auto created = property_utc_time(table, zones, path + ",CREATED");
    auto completed = property_utc_time(table, zones, path + ",COMPLETED");
    if (due) {
        inst.rule = overlap_rule::todo_due_only;
        inst.start = inst.end = *due;
    } else if (created && completed) {
        inst.rule = overlap_rule::todo_created_completed;
        inst.start = *created;
        inst.end = *completed;
    } else if (completed) {
        inst.rule = overlap_rule::todo_completed;
        inst.start = inst.end = *completed;
    } else if (created) {
        inst.rule = overlap_rule::todo_created;
        inst.start = inst.end = *created;
    } else {
        inst.rule = overlap_rule::always;
    }
    out.push_back(inst);
    return true;
}

bool alarm_instances(const ical_properties& table, const ical_zones& zones, const std::string& path,
                     const time_range& window, std::vector<component_instance>& out,
                     const rrule_limits& limits) {
    auto trigger = find(table, path + ",TRIGGER");
    if (!trigger) return true;
    std::vector<ical_seconds> offsets{0};
    if (auto rep = find(table, path + ",REPEAT")) {
        ical_duration every;
        int n = std::atoi(rep->second.c_str());
        auto dur = find(table, path + ",DURATION");
        if (n > 0 && dur && parse_ical_duration(dur->second, every) && every.total() > 0)
            for (int i = 1; i <= std::min(n, 1000); ++i)
                offsets.push_back(i * every.total());
    }
    auto push = [&](ical_seconds t) {
        for (ical_seconds o : offsets) {
            component_instance inst;
            inst.start = inst.end = inst.recurrence_id = t + o;
            inst.rule = overlap_rule::instant;
            out.push_back(inst);
        }
    };
    ical_datetime absolute;
    if (parse_ical_datetime(trigger->second, absolute)) {
        push(zones.to_utc(absolute, {}));
        return true;
    }
    ical_duration d;
    if (!parse_ical_duration(trigger->second, d)) return true;
    const std::string parent = path.substr(0, path.rfind('/'));
    const std::string_view parent_name =
        strip_digits(std::string_view(parent).substr(parent.rfind('/') + 1));
    const int64_t reach = std::abs(d.total()) + offsets.back() + day_seconds;
    time_range wide{window.start - reach, window.end + reach};
    std::vector<component_instance> anchors;
    bool whole = component_instances(table, zones, parent, parent_name, wide, anchors, limits);
    const bool at_end = ascii_iequals(ical_param_value(trigger->first, "RELATED"), "END");
    for (const component_instance& a : anchors)
        push((at_end ? a.end : a.start) + d.total());
    return whole;
}

} // namespace

bool parse_time_range(std::string_view start, std::string_view end, time_range& out) {
    out = time_range{};
    ical_datetime dt;
    if (!start.empty()) {
        if (!parse_ical_datetime(start, dt)) return false;
        out.start = dt.seconds;
    }
    if (!end.empty()) {
        if (!parse_ical_datetime(end, dt)) return false;
        out.end = dt.seconds;
    }
    return true;
}

bool instance_overlaps(const component_instance& i, const time_range& r) {
    switch (i.rule) {
    case overlap_rule::interval:
        return i.start < r.end && i.end > r.start;
    case overlap_rule::instant:
        return r.start <= i.start && i.start < r.end;
    case overlap_rule::freebusy:
        return r.start <= i.end && r.end > i.start;
    case overlap_rule::todo_duration:
        return r.start <= i.end && (r.end > i.start || r.end >= i.end);
    case overlap_rule::todo_due:
        return (r.start < i.end || r.start <= i.start) && (r.end > i.start || r.end >= i.end);
    case overlap_rule::todo_due_only:
        return r.start < i.end && r.end >= i.end;
    case overlap_rule::todo_created_completed:
        return (r.start <= i.start || r.start <= i.end) && (r.end >= i.start || r.end >= i.end);
    case overlap_rule::todo_completed:
        return r.start <= i.end && r.end >= i.end;
    case overlap_rule::todo_created:
        return r.end > i.start;
    case overlap_rule::always:
        return true;
    }
    return false;
}

bool component_instances(const ical_properties& table, const ical_zones& zones,
                         const std::string& path, std::string_view name, const time_range& window,
                         std::vector<component_instance>& out, const rrule_limits& limits) {
    if (name == "VALARM") return alarm_instances(table, zones, path, window, out, limits);
    if (name == "VFREEBUSY") {
        auto s = property_utc_time(table, zones, path + ",DTSTART");
        auto e = property_utc_time(table, zones, path + ",DTEND");
        if (s && e) {
            out.push_back({*s, *e, *s, overlap_rule::freebusy});
            return true;
        }
        std::vector<ical_period> periods;
        collect_periods(table, zones, path + ",FREEBUSY", std::nullopt, periods);
        for (const ical_period& p : periods)
            out.push_back({p.start, p.end, p.start,
                           p.end > p.start ? overlap_rule::interval : overlap_rule::instant});
        return true;
    }
    ical_datetime dt;
    std::string tzid;
    auto start = property_utc_time(table, zones, path + ",DTSTART", &dt, &tzid);
    if (!start) {
        if (name == "VTODO") return todo_without_start(table, zones, path, out);
        return true;
    }
    length len;
    overlap_rule rule = overlap_rule::instant;
    ical_duration dur;
    const bool has_duration = [&] {
        auto d = find(table, path + ",DURATION");
        return d && parse_ical_duration(d->second, dur);
    }();
    if (name == "VTODO") {
        if (has_duration) {
            rule = overlap_rule::todo_duration;
            len = {dur.days, dur.seconds};
        } else if (auto due = property_utc_time(table, zones, path + ",DUE")) {
            rule = overlap_rule::todo_due;
            len.secs = std::max<int64_t>(0, *due - *start);
        }
    } else if (name == "VJOURNAL") {
        if (dt.is_date) {
            rule = overlap_rule::interval;
            len.days = 1;
        }
    } else if (auto end = property_utc_time(table, zones, path + ",DTEND")) {
        if (*end > *start) {
            rule = overlap_rule::interval;
            len.secs = *end - *start;
        }
    } else if (has_duration) {
        if (dur.total() > 0) {
            rule = overlap_rule::interval;
            len = {dur.days, dur.seconds};
        }
    } else if (dt.is_date) {
        rule = overlap_rule::interval;
        len.days = 1;
    }

    auto make = [&](ical_seconds wall) {
        component_instance inst;
        ical_datetime reading{wall, dt.is_date, dt.utc};
        inst.start = inst.recurrence_id = zones.to_utc(reading, tzid);
        inst.end =
            len.days
                ? zones.to_utc({wall + len.days * day_seconds, dt.is_date, dt.utc}, tzid) + len.secs
                : inst.start + len.secs;
        inst.rule = rule;
        inst.is_date = dt.is_date;
        return inst;
    };

    const bool is_override = table.count(path + ",RECURRENCE-ID") != 0;
    const bool has_rrule = table.count(path + ",RRULE") != 0;
    const bool has_rdate = table.count(path + ",RDATE") != 0;
    if (is_override || (!has_rrule && !has_rdate)) {
        out.push_back(make(dt.seconds));
        return true;
    }

    // Recurring: expand in the wall clock of DTSTART over the window widened
    // by the instance length (an instance that starts before the range can
    // run into it) and a day for the zone offset.
    const int64_t reach = std::max<int64_t>(0, len.approx()) + 2 * day_seconds;
    const ical_seconds from_wall =
        window.start == ical_min_time ? ical_min_time : window.start - reach;
    const ical_seconds to_wall =
        window.end == ical_max_time ? ical_max_time : window.end + day_seconds;
    bool whole = true;
    std::vector<ical_seconds> walls;
    std::vector<ical_seconds> excluded;
    auto expand_rules = [&](const char* prop, std::vector<ical_seconds>& readings) {
        for (size_t k = 0;; ++k) {
            auto r = find(table, path + "," + prop + instance_suffix(k));
            if (!r) break;
            rrule_set rs;
            if (!rs.parse(r->second)) continue;
            ical_seconds until = ical_max_time;
            if (rs.has_until)
                until = rs.until.utc
                            ? (dt.utc ? rs.until.seconds : zones.to_local(rs.until.seconds, tzid))
                        : rs.until.is_date ? rs.until.seconds + day_seconds - 1
                                           : rs.until.seconds;
            // The bound on instances holds for the component, not per rule.
            if (readings.size() >= limits.max_results) {
                whole = false;
                break;
            }
            rrule_limits left = limits;
            left.max_results = limits.max_results - readings.size();
            if (!rs.expand(dt.seconds, from_wall, to_wall, until, readings, left)) whole = false;
        }
    };
    expand_rules("RRULE", walls);
    if (dt.seconds >= from_wall && dt.seconds <= to_wall) walls.push_back(dt.seconds);
    std::vector<ical_seconds> exrule_walls;
    expand_rules("EXRULE", exrule_walls);
    for (ical_seconds w : exrule_walls)
        excluded.push_back(make(w).start);
    std::vector<ical_period> exdates;
    collect_periods(table, zones, path + ",EXDATE", std::nullopt, exdates);
    for (const ical_period& p : exdates)
        excluded.push_back(p.start);
    for (ical_seconds id : overridden_ids(table, zones, path, name))
        excluded.push_back(id);
    std::sort(excluded.begin(), excluded.end());

    std::vector<component_instance> list;
    list.reserve(walls.size());
    for (ical_seconds w : walls) {
        component_instance inst = make(w);
        inst.recurring = true;
        list.push_back(inst);
    }
    std::vector<ical_period> rdates;
    collect_periods(table, zones, path + ",RDATE",
                    len.approx() > 0 || !dt.is_date ? std::optional<int64_t>(len.approx())
                                                    : std::nullopt,
                    rdates);
    for (const ical_period& p : rdates) {
        if (window.end != ical_max_time && p.start > window.end + day_seconds) continue;
        if (window.start != ical_min_time && p.end < window.start - day_seconds) continue;
        component_instance inst;
        inst.start = inst.recurrence_id = p.start;
        inst.end = p.end;
        inst.rule = (rule == overlap_rule::interval || rule == overlap_rule::instant)
                        ? (p.end > p.start ? overlap_rule::interval : overlap_rule::instant)
                        : rule;
        inst.is_date = dt.is_date;
        inst.recurring = inst.from_rdate = true;
        list.push_back(inst);
    }
    // One instance per start; an RDATE period wins over the rule's instance.
    std::stable_sort(list.begin(), list.end(), [](auto& a, auto& b) {
        return a.start != b.start ? a.start < b.start : a.from_rdate > b.from_rdate;
    });
    ical_seconds last = ical_min_time;
    bool first = true;
    for (const component_instance& inst : list) {
        if (!first && inst.start == last) continue;
        first = false;
        last = inst.start;
        if (std::binary_search(excluded.begin(), excluded.end(), inst.start)) continue;
        out.push_back(inst);
    }
    return whole;
}

bool component_time_range_test(const ical_properties& table, const ical_zones& zones,
                               const std::string& path, std::string_view name,
                               const time_range& range, const rrule_limits& limits) {
    std::vector<component_instance> instances;
    component_instances(table, zones, path, name, range, instances, limits);
    return std::any_of(instances.begin(), instances.end(),
                       [&](const component_instance& i) { return instance_overlaps(i, range); });
}

bool property_time_range_test(const ical_properties& table, const ical_zones& zones,
                              const std::string& key, const time_range& range) {
    auto entry = find(table, key);
    if (!entry) return false;
    std::string_view name = strip_digits(std::string_view(key).substr(key.rfind(',') + 1));
    auto meets = [&](ical_seconds s, ical_seconds e) {
        return e > s ? s < range.end && e > range.start : range.start <= s && s < range.end;
    };
    if (name == "RDATE" || name == "EXDATE" || name == "FREEBUSY") {
        std::vector<ical_period> periods;
        parse_period_list(entry->second, entry->first, zones, std::nullopt, periods);
        return std::any_of(periods.begin(), periods.end(),
                           [&](const ical_period& p) { return meets(p.start, p.end); });
    }
    static constexpr std::string_view timed[] = {"COMPLETED",     "CREATED",      "DTEND",
                                                 "DUE",           "DTSTART",      "DTSTAMP",
                                                 "LAST-MODIFIED", "RECURRENCE-ID"};
    bool is_timed =
        std::find(std::begin(timed), std::end(timed), name) != std::end(timed) ||
        (name == "TRIGGER" && ascii_iequals(ical_param_value(entry->first, "VALUE"), "DATE-TIME"));
    if (!is_timed) return true;
    ical_datetime dt;
    auto t = property_utc_time(table, zones, key, &dt);
    if (!t) return false;
    return meets(*t, dt.is_date ? zones.to_utc({dt.seconds + day_seconds, true, false}, {}) : *t);
}

namespace {

// Writes the instance's own times into `dst` in UTC (dates stay dates).
std::pair<std::string, std::string> time_value(const component_instance& inst, ical_seconds utc,
                                               ical_seconds wall) {
    if (inst.is_date) return {"VALUE=DATE", format_date(wall)};
    return {std::string(), format_utc(utc)};
}

std::string duration_text(int64_t secs) {
    std::string out = "P";
    if (secs > day_seconds) {
        out += std::to_string(secs / day_seconds) + "D";
        secs %= day_seconds;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "T%lldH%lldM%lldS", static_cast<long long>(secs / 3600),
                  static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    return out + buf;
}

// A date-valued start takes a length in whole days (a time part would make
// clients disagree on where the instance ends): the wall-clock days between
// the dates, at least one.
std::string day_duration_text(const component_instance& inst, const ical_zones& zones) {
    const int64_t wall_start = zones.to_local(inst.start, {});
    const int64_t wall_end = zones.to_local(inst.end, {});
    const int64_t days =
        std::max<int64_t>(1, (wall_end - wall_start + day_seconds / 2) / day_seconds);
    return "P" + std::to_string(days) + "D";
}

bool is_recurrence_or_time(std::string_view name) {
    static constexpr std::string_view names[] = {"RRULE",    "RDATE",   "EXRULE",
                                                 "EXDATE",   "DTSTART", "DTEND",
                                                 "DURATION", "DUE",     "RECURRENCE-ID"};
    name = strip_digits(name);
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// Copies the properties and sub-components of `src` under `dst`; with
// `skip_times`, the recurrence and time properties are left out.
void copy_component(const ical_properties& table, const std::string& src, const std::string& dst,
                    bool skip_times, ical_properties& out) {
    out.emplace(dst, std::pair<std::string, std::string>());
    for (auto it = table.lower_bound(src); it != table.end() && it->first.starts_with(src); ++it) {
        if (it->first.size() == src.size()) continue;
        char sep = it->first[src.size()];
        if (sep != ',' && sep != '/') continue;
        if (skip_times && sep == ',' && is_recurrence_or_time(it->first.substr(src.size() + 1)))
            continue;
        out.emplace(dst + it->first.substr(src.size()), it->second);
    }
}

} // namespace

ical_properties expand_calendar_data(const ical_properties& table, const ical_zones& zones,
                                     const time_range& range, const rrule_limits& limits,
                                     bool* complete) {
    // Each instance is a copy of its component: the object as a whole gets
    // the instance bound of one rule and a bound on the bytes it copies.
    std::size_t instances_left = limits.max_results;
    std::size_t bytes_left = expanded_bytes_limit;
    bool whole = true;
    ical_properties out;
    out.emplace("/VCALENDAR", std::pair<std::string, std::string>());
    const std::string top = "/VCALENDAR";
    for (auto it = table.lower_bound(top + ",");
         it != table.end() && it->first.starts_with(top + ","); ++it)
        out.emplace(it->first, it->second);
    std::map<std::string, size_t> next;
    auto new_key = [&](std::string_view kind) {
        std::string base = top + "/" + std::string(kind);
        return base + instance_suffix(next[base]++);
    };
    bool keep_timezones = false;
    for (auto it = table.lower_bound(top + "/"); it != table.end(); ++it) {
        const std::string& key = it->first;
        if (!key.starts_with(top + "/")) break;
        std::string_view rest = std::string_view(key).substr(top.size() + 1);
        if (rest.find_first_of("/,") != std::string_view::npos) continue;
        std::string_view kind = strip_digits(rest);
        if (kind != "VEVENT" && kind != "VTODO" && kind != "VJOURNAL" && kind != "VFREEBUSY")
            continue;
        std::vector<component_instance> all;
        if (!component_instances(table, zones, key, kind, range, all, limits)) whole = false;
        std::vector<component_instance> hits;
        for (const component_instance& i : all)
            if (instance_overlaps(i, range)) hits.push_back(i);
        const bool recurring =
            std::any_of(all.begin(), all.end(), [](auto& i) { return i.recurring; });
        if (hits.empty()) {
            // An instance of a series (an override moved elsewhere) outside
            // the range is no part of the expansion, as the series' own
            // instances there are not.
            if (recurring || table.count(key + ",RECURRENCE-ID")) continue;
            // Nothing of it in the range: it travels as it is, with the zones
            // its local times name.
            copy_component(table, key, new_key(kind), false, out);
            keep_timezones = true;
            continue;
        }
        ical_datetime start_reading;
        std::string tzid;
        property_utc_time(table, zones, key + ",DTSTART", &start_reading, &tzid);
        auto duration = find(table, key + ",DURATION");
        const bool has_dtend = table.count(key + ",DTEND") != 0;
        const bool has_due = table.count(key + ",DUE") != 0;
        std::size_t component_bytes = 0;
        for (auto c = table.lower_bound(key + ","); c != table.end() && c->first.starts_with(key);
             ++c) {
            const char after = c->first.size() > key.size() ? c->first[key.size()] : 0;
            if (after != ',' && after != '/') break;
            component_bytes += c->first.size() + c->second.first.size() + c->second.second.size();
        }
        for (const component_instance& inst : hits) {
            if (instances_left == 0 || bytes_left < component_bytes) {
                whole = false;
                break;
            }
            --instances_left;
            bytes_left -= component_bytes;
            std::string dst = new_key(kind);
            copy_component(table, key, dst, true, out);
            ical_seconds wall = inst.is_date ? zones.to_local(inst.start, {}) : inst.start;
            out[dst + ",DTSTART"] = time_value(inst, inst.start, wall);
            if (recurring || table.count(key + ",RECURRENCE-ID")) {
                ical_seconds id = inst.recurrence_id;
                if (!recurring) {
                    // An override names the instance it replaces.
                    if (auto rid = property_utc_time(table, zones, key + ",RECURRENCE-ID"))
                        id = *rid;
                }
                out[dst + ",RECURRENCE-ID"] =
                    time_value(inst, id, inst.is_date ? zones.to_local(id, {}) : id);
            }
            if (kind == "VTODO") {
                if (duration)
                    out[dst + ",DURATION"] = *duration;
                else if (has_due)
                    out[dst + ",DUE"] = time_value(
                        inst, inst.end, inst.is_date ? zones.to_local(inst.end, {}) : inst.end);
            } else if (inst.from_rdate || (!recurring && has_dtend)) {
                out[dst + ",DTEND"] = time_value(
                    inst, inst.end, inst.is_date ? zones.to_local(inst.end, {}) : inst.end);
            } else if (duration) {
                out[dst + ",DURATION"] = *duration;
            } else if (has_dtend && inst.end > inst.start) {
                out[dst + ",DURATION"] = {std::string(),
                                          inst.is_date ? day_duration_text(inst, zones)
                                                       : duration_text(inst.end - inst.start)};
            }
        }
    }
    if (keep_timezones) {
        for (size_t k = 0;; ++k) {
            std::string tz = top + "/VTIMEZONE" + instance_suffix(k);
            if (!table.count(tz)) break;
            copy_component(table, tz, tz, false, out);
        }
    }
    if (complete) *complete = whole;
    return out;
}
