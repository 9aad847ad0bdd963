#include "dav/caldav/ical_time.h"

#include "dav/caldav/rrule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <tuple>
#include <unordered_map>

namespace {

bool read_digits(std::string_view s, size_t pos, size_t n, int& value) {
    if (pos + n > s.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// Upper bound of the readings a zone is asked about, so the per-year tables
// stay small whatever a hostile value says.
constexpr int64_t max_zone_year = 9999;

} // namespace

bool is_leap_year(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned days_in_month(int64_t year, unsigned month) {
    static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

ical_seconds seconds_of(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second) {
    return win32::days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

ical_seconds seconds_of(const win32::systemtime& st) {
    return seconds_of(st.year, st.month, st.day, st.hour, st.minute, st.second);
}

int64_t day_number(ical_seconds s) {
    return s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
}

int weekday_of_day(int64_t d) {
    // 1970-01-01 was a Thursday.
    return static_cast<int>(((d % 7) + 7 + 4) % 7);
}

win32::systemtime systemtime_of(ical_seconds s) {
    int64_t d = day_number(s);
    int64_t rest = s - d * 86400;
    int64_t y;
    unsigned m, day;
    win32::civil_from_days(d, y, m, day);
    win32::systemtime st;
    st.year = static_cast<uint16_t>(y);
    st.month = static_cast<uint16_t>(m);
    st.day = static_cast<uint16_t>(day);
    st.day_of_week = static_cast<uint16_t>(weekday_of_day(d));
    st.hour = static_cast<uint16_t>(rest / 3600);
    st.minute = static_cast<uint16_t>(rest / 60 % 60);
    st.second = static_cast<uint16_t>(rest % 60);
    return st;
}

std::string format_utc(ical_seconds s) {
    win32::systemtime st = systemtime_of(s);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u%02u%02uT%02u%02u%02uZ", st.year, st.month, st.day, st.hour,
                  st.minute, st.second);
    return buf;
}

std::string format_date(ical_seconds s) {
    win32::systemtime st = systemtime_of(s);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u%02u%02u", st.year, st.month, st.day);
    return buf;
}

bool parse_ical_datetime(std::string_view text, ical_datetime& out) {
    int year, month, day, hour = 0, minute = 0, second = 0;
    if (text.size() < 8 || !read_digits(text, 0, 4, year) || !read_digits(text, 4, 2, month) ||
        !read_digits(text, 6, 2, day))
        return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 ||
        day > static_cast<int>(days_in_month(year, month)))
        return false;
    out = ical_datetime{};
    if (text.size() == 8) {
        out.is_date = true;
        out.seconds = seconds_of(year, month, day);
        return true;
    }
    if (text.size() < 15 || text[8] != 'T' || !read_digits(text, 9, 2, hour) ||
        !read_digits(text, 11, 2, minute) || !read_digits(text, 13, 2, second))
        return false;
    if (hour > 23 || minute > 59 || second > 60) return false;
    out.seconds = seconds_of(year, month, day, hour, minute, second);
    std::string_view zone = text.substr(15);
    if (zone.empty()) return true;
    if (zone == "Z") {
        out.utc = true;
        return true;
    }
    if (zone[0] != '+' && zone[0] != '-') return false;
    int oh = 0, om = 0;
    std::string_view digits = zone.substr(1);
    if (digits.size() == 2 && read_digits(digits, 0, 2, oh)) {
    } else if (digits.size() == 4 && read_digits(digits, 0, 2, oh) &&
               read_digits(digits, 2, 2, om)) {
    } else if (digits.size() == 5 && digits[2] == ':' && read_digits(digits, 0, 2, oh) &&
               read_digits(digits, 3, 2, om)) {
    } else {
        return false;
    }
    int offset = (oh * 60 + om) * 60;
    out.seconds += zone[0] == '+' ? -offset : offset;
    out.utc = true;
    return true;
}

bool parse_ical_datetime(std::string_view text, win32::systemtime& out) {
    ical_datetime dt;
    if (!parse_ical_datetime(text, dt)) return false;
    out = systemtime_of(dt.seconds);
    return true;
}

std::optional<int> parse_utc_offset(std::string_view text) {
    int h, m, s = 0;
    if (text.size() < 5 || (text[0] != '+' && text[0] != '-') || !read_digits(text, 1, 2, h) ||
        !read_digits(text, 3, 2, m))
        return std::nullopt;
    if (text.size() == 7) {
        if (!read_digits(text, 5, 2, s)) return std::nullopt;
    } else if (text.size() != 5) {
        return std::nullopt;
    }
    if (m > 59 || s > 59) return std::nullopt;
    int v = h * 3600 + m * 60 + s;
    return text[0] == '-' ? -v : v;
}

bool parse_ical_duration(std::string_view text, ical_duration& out) {
    out = {};
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.size() < 3 || text[0] != 'P') return false;
    text.remove_prefix(1);
    bool in_time = false, any = false;
    while (!text.empty()) {
        if (text[0] == 'T') {
            if (in_time || text.size() == 1) return false;
            in_time = true;
            text.remove_prefix(1);
            continue;
        }
        int64_t n = 0;
        size_t i = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + (text[i] - '0');
            if (n > 100000000) return false; // far beyond any calendar's use
            ++i;
        }
        if (i == 0 || i == text.size()) return false;
        char unit = text[i];
        text.remove_prefix(i + 1);
        any = true;
        if (!in_time && unit == 'W')
            out.days += 7 * n;
        else if (!in_time && unit == 'D')
            out.days += n;
        else if (in_time && unit == 'H')
            out.seconds += 3600 * n;
        else if (in_time && unit == 'M')
            out.seconds += 60 * n;
        else if (in_time && unit == 'S')
            out.seconds += n;
        else
            return false;
    }
    if (!any) return false;
    if (negative) {
        out.days = -out.days;
        out.seconds = -out.seconds;
    }
    return true;
}

// ---- time zones ----

bool timezone_rules::load(const ical_properties& table, const std::string& path) {
    observances_.clear();
    years_.clear();
    for (const char* kind : {"/STANDARD", "/DAYLIGHT"}) {
        for (size_t j = 0;; ++j) {
            std::string obs_path = path + kind + instance_suffix(j);
            if (table.find(obs_path) == table.end()) break;
            auto get = [&](const char* name) -> const std::pair<std::string, std::string>* {
                auto it = table.find(obs_path + "," + name);
                return it == table.end() ? nullptr : &it->second;
            };
            auto start = get("DTSTART");
            auto from = get("TZOFFSETFROM");
            auto to = get("TZOFFSETTO");
            ical_datetime dt;
            if (!start || !to || !parse_ical_datetime(start->second, dt)) continue;
            std::optional<int> to_off = parse_utc_offset(to->second);
            if (!to_off) continue;
            std::optional<int> from_off = from ? parse_utc_offset(from->second) : to_off;
            observance o;
            o.start = dt.seconds;
            o.offset_to = *to_off;
            o.offset_from = from_off ? *from_off : *to_off;
            if (auto r = get("RRULE")) o.rrule = r->second;
            for (size_t k = 0;; ++k) {
                auto it = table.find(obs_path + ",RDATE" + instance_suffix(k));
                if (it == table.end()) break;
                std::string_view list = it->second.second;
                while (!list.empty()) {
                    size_t comma = list.find(',');
                    ical_datetime rd;
                    std::string_view item = list.substr(0, comma);
                    if (parse_ical_datetime(item.substr(0, item.find('/')), rd))
                        o.rdates.push_back(rd.seconds);
                    if (comma == std::string_view::npos) break;
                    list.remove_prefix(comma + 1);
                }
            }
            observances_.push_back(std::move(o));
        }
    }
    if (observances_.empty()) return false;
    auto first = std::min_element(observances_.begin(), observances_.end(),
                                  [](auto& a, auto& b) { return a.start < b.start; });
    initial_offset_ = first->offset_from;
    return true;
}

const std::vector<timezone_rules::transition>&
timezone_rules::transitions_of_year(int64_t y) const {
    auto found = years_.find(y);
    if (found != years_.end()) return found->second;
    std::vector<transition> list;
    const ical_seconds from = seconds_of(y, 1, 1);
    const ical_seconds to = seconds_of(y + 1, 1, 1) - 1;
    rrule_limits limits;
    limits.max_results = 64;
    for (const observance& o : observances_) {
        std::vector<ical_seconds> onsets;
        rrule_set rule;
        if (!o.rrule.empty() && rule.parse(o.rrule)) {
            ical_seconds until = ical_max_time;
            if (rule.has_until)
                until = rule.until.utc ? rule.until.seconds + o.offset_from
                                       : rule.until.seconds + (rule.until.is_date ? 86399 : 0);
            rule.expand(o.start, from, to, until, onsets, limits);
        } else if (o.start >= from && o.start <= to) {
            onsets.push_back(o.start);
        }
        for (ical_seconds r : o.rdates)
            if (r >= from && r <= to) onsets.push_back(r);
        for (ical_seconds t : onsets)
            list.push_back({t + std::max(0, o.offset_to - o.offset_from), t - o.offset_from,
                            o.offset_from, o.offset_to});
    }
    std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.utc_onset < b.utc_onset; });
    if (years_.size() > 64) years_.clear();
    return years_.emplace(y, std::move(list)).first->second;
}

int timezone_rules::offset_at(ical_seconds t, bool local) const {
    if (observances_.size() == 1 && observances_[0].rrule.empty() && observances_[0].rdates.empty())
        return t >= (local ? observances_[0].start
                           : observances_[0].start - observances_[0].offset_from)
                   ? observances_[0].offset_to
                   : initial_offset_;
    int64_t y = systemtime_of(t).year;
    if (t < seconds_of(1, 1, 1)) return initial_offset_;
    y = std::min<int64_t>(y, max_zone_year);
    // The year cache may be dropped by the second lookup, so the best change
    // is kept by value, never as a pointer into a cached list.
    std::optional<ical_seconds> best_change;
    int best_offset = 0;
    for (int64_t year : {y - 1, y}) {
        for (const transition& tr : transitions_of_year(year)) {
            ical_seconds onset = local ? tr.local_onset : tr.utc_onset;
            if (onset <= t && (!best_change || onset >= *best_change)) {
                best_change = onset;
                best_offset = tr.offset_to;
            }
        }
    }
    if (best_change) return best_offset;
    // No change in the two years around the reading: the observance that
    // started last before it still holds (a zone that stopped changing, or a
    // fixed offset since an early DTSTART).
    ical_seconds best_onset = ical_min_time;
    int offset = initial_offset_;
    rrule_limits limits;
    limits.max_results = 20000;
    for (const observance& o : observances_) {
        std::vector<ical_seconds> onsets{o.start};
        onsets.insert(onsets.end(), o.rdates.begin(), o.rdates.end());
        rrule_set rule;
        if (!o.rrule.empty() && rule.parse(o.rrule)) {
            std::vector<ical_seconds> r;
            ical_seconds until = ical_max_time;
            if (rule.has_until)
                until = rule.until.utc ? rule.until.seconds + o.offset_from
                                       : rule.until.seconds + (rule.until.is_date ? 86399 : 0);
            rule.expand(o.start, o.start, local ? t : t + o.offset_from, until, r, limits);
            if (!r.empty()) onsets.push_back(r.back());
        }
        for (ical_seconds s : onsets) {
            ical_seconds onset =
                local ? s + std::max(0, o.offset_to - o.offset_from) : s - o.offset_from;
            if (onset <= t && onset >= best_onset) {
                best_onset = onset;
                offset = o.offset_to;
            }
        }
    }
    return offset;
}

int timezone_rules::offset_for_local(ical_seconds local) const {
    return offset_at(local, true);
}
int timezone_rules::offset_for_utc(ical_seconds utc) const {
    return offset_at(utc, false);
}

namespace {

// ---- compiled zones (TZif) ----

uint32_t big_endian32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

int64_t big_endian64(const unsigned char* p) {
    return static_cast<int64_t>(uint64_t(big_endian32(p)) << 32 | big_endian32(p + 4));
}

struct tzif_counts {
    uint32_t isut, isstd, leap, time, type, chars;
    // The bytes of the data block that follows the header.
    size_t data_size(size_t time_size) const {
        return size_t(time) * time_size + time + size_t(type) * 6 + chars +
               size_t(leap) * (time_size + 4) + isstd + isut;
    }
};

bool read_tzif_header(std::string_view bytes, size_t pos, size_t time_size, char& version,
                      tzif_counts& c) {
    if (bytes.size() < pos + 44 || bytes.substr(pos, 4) != "TZif") return false;
    auto p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
    version = static_cast<char>(p[4]);
    c = {big_endian32(p + 20), big_endian32(p + 24), big_endian32(p + 28),
         big_endian32(p + 32), big_endian32(p + 36), big_endian32(p + 40)};
    // The format's own bounds; a file beyond them is no zone.
    return c.type >= 1 && c.type <= 256 && c.time <= 100000 && c.chars <= 65536 &&
           c.leap <= 10000 && (c.isut == 0 || c.isut == c.type) &&
           (c.isstd == 0 || c.isstd == c.type) && bytes.size() >= pos + 44 + c.data_size(time_size);
}

// A POSIX TZ offset ("-1", "5:30", "+3:00:00"): hours west of Greenwich,
// given back as seconds east.
bool posix_offset(std::string_view& s, int& east) {
    int sign = 1;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        sign = s[0] == '-' ? -1 : 1;
        s.remove_prefix(1);
    }
    int parts[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        size_t n = 0;
        int v = 0;
        while (n < s.size() && n < 3 && s[n] >= '0' && s[n] <= '9')
            v = v * 10 + (s[n++] - '0');
        if (n == 0) return false;
        parts[i] = v;
        s.remove_prefix(n);
        if (i == 2 || s.empty() || s[0] != ':') break;
        s.remove_prefix(1);
    }
    east = -sign * (parts[0] * 3600 + parts[1] * 60 + parts[2]);
    return true;
}

bool posix_name(std::string_view& s) {
    size_t n = 0;
    if (!s.empty() && s[0] == '<') {
        n = s.find('>');
        if (n == std::string_view::npos) return false;
        ++n;
    } else {
        while (n < s.size() && ((s[n] >= 'A' && s[n] <= 'Z') || (s[n] >= 'a' && s[n] <= 'z')))
            ++n;
    }
    if (n < 3) return false;
    s.remove_prefix(n);
    return true;
}

// One change of a POSIX rule, "Mm.w.d[/time]": the d-th weekday of week w
// (5: the last) of month m, at a local time of day.
struct posix_change {
    int month = 0, week = 0, weekday = 0, time = 7200;
};

bool posix_change_of(std::string_view& s, posix_change& c) {
    int fields[3];
    if (s.empty() || s[0] != 'M') return false; // day-of-year forms are not used by the database
    s.remove_prefix(1);
    for (int i = 0; i < 3; ++i) {
        size_t n = 0;
        fields[i] = 0;
        while (n < s.size() && n < 2 && s[n] >= '0' && s[n] <= '9')
            fields[i] = fields[i] * 10 + (s[n++] - '0');
        if (n == 0) return false;
        s.remove_prefix(n);
        if (i < 2) {
            if (s.empty() || s[0] != '.') return false;
            s.remove_prefix(1);
        }
    }
    c = {fields[0], fields[1], fields[2], 7200};
    if (c.month < 1 || c.month > 12 || c.week < 1 || c.week > 5 || c.weekday > 6) return false;
    if (!s.empty() && s[0] == '/') {
        s.remove_prefix(1);
        int east = 0;
        if (!posix_offset(s, east)) return false;
        c.time = -east;
    }
    return true;
}

// The local reading of a change in `year`.
ical_seconds posix_change_in(const posix_change& c, int64_t year) {
    const int64_t first = win32::days_from_civil(year, c.month, 1);
    int64_t day = first + (c.weekday - weekday_of_day(first) + 7) % 7 + 7 * (c.week - 1);
    while (day >= first + days_in_month(year, c.month))
        day -= 7;
    return day * 86400 + c.time;
}

const char* const rrule_weekdays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

// Most objects of a calendar carry the same few VTIMEZONE definitions: each
// thread keeps the zones it read, keyed by their full text, so their
// transitions are worked out once and not once per object.
std::shared_ptr<const timezone_rules> shared_zone(const ical_properties& table,
                                                  const std::string& path) {
    std::string text;
    for (auto it = table.lower_bound(path); it != table.end() && it->first.starts_with(path);
         ++it) {
        std::string_view rest = std::string_view(it->first).substr(path.size());
        if (!rest.empty() && rest[0] != ',' && rest[0] != '/') continue;
        text.append(rest).append(1, '\x1f').append(it->second.first).append(1, '\x1f');
        text.append(it->second.second).append(1, '\x1e');
    }
    thread_local std::unordered_map<std::string, std::shared_ptr<const timezone_rules>> cache;
    auto found = cache.find(text);
    if (found != cache.end()) return found->second;
    auto rules = std::make_shared<timezone_rules>();
    std::shared_ptr<const timezone_rules> result;
    if (rules->load(table, path)) result = std::move(rules);
    if (cache.size() >= 64) cache.clear();
    cache.emplace(std::move(text), result);
    return result;
}

} // namespace

// A rule such as "CET-1CEST,M3.5.0,M10.5.0/3" as two yearly observances from
// `first_year` on; a rule without summer time only sets the offset from
// then, where it differs from `before`.
bool timezone_rules::add_posix_rule(std::string_view s, int64_t first_year, int before) {
    int standard = 0, summer = 0;
    if (!posix_name(s) || !posix_offset(s, standard)) return false;
    if (s.empty()) {
        if (standard != before) {
            observance o;
            o.start = seconds_of(first_year, 1, 1) + before;
            o.offset_from = before;
            o.offset_to = standard;
            observances_.push_back(std::move(o));
        }
        return true;
    }
    if (!posix_name(s)) return false;
    summer = standard + 3600;
    if (!s.empty() && s[0] != ',' && !posix_offset(s, summer)) return false;
    posix_change on, off;
    if (s.empty() || s[0] != ',') return false;
    s.remove_prefix(1);
    if (!posix_change_of(s, on) || s.empty() || s[0] != ',') return false;
    s.remove_prefix(1);
    if (!posix_change_of(s, off) || !s.empty()) return false;
    // A change at a time outside the day would move the rule's weekday to
    // another date; such zones keep their listed transitions only.
    if (on.time < 0 || on.time >= 86400 || off.time < 0 || off.time >= 86400) return false;
    for (const auto& [change, from, to] :
         {std::tuple{on, standard, summer}, std::tuple{off, summer, standard}}) {
        observance o;
        o.start = posix_change_in(change, first_year);
        o.offset_from = from;
        o.offset_to = to;
        o.rrule = "FREQ=YEARLY;BYMONTH=" + std::to_string(change.month) +
                  ";BYDAY=" + (change.week == 5 ? std::string("-1") : std::to_string(change.week)) +
                  rrule_weekdays[change.weekday];
        observances_.push_back(std::move(o));
    }
    return true;
}

bool timezone_rules::load_tzif(std::string_view bytes) {
    observances_.clear();
    years_.clear();
    char version = 0;
    tzif_counts c{};
    if (!read_tzif_header(bytes, 0, 4, version, c)) return false;
    size_t pos = 44;
    size_t time_size = 4;
    if (version != '\0') {
        // Version 2 and later repeat the data with 64-bit times: use those.
        pos += c.data_size(4);
        if (!read_tzif_header(bytes, pos, 8, version, c)) return false;
        pos += 44;
        time_size = 8;
    }
    auto p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
    const unsigned char* types = p + size_t(c.time) * time_size;
    const unsigned char* infos = types + c.time;
    auto offset_of = [&](size_t type) {
        return static_cast<int32_t>(big_endian32(infos + 6 * type));
    };
    for (uint32_t i = 0; i < c.time; ++i)
        if (types[i] >= c.type) return false;
    initial_offset_ = offset_of(0);
    int before = initial_offset_;
    int64_t last_year = 1969;
    for (uint32_t i = 0; i < c.time; ++i) {
        const int64_t at = time_size == 8 ? big_endian64(p + 8 * size_t(i))
                                          : static_cast<int32_t>(big_endian32(p + 4 * size_t(i)));
        const int after = offset_of(types[i]);
        last_year = systemtime_of(at).year;
        if (after == before) continue; // a new name or summer flag, the same clock
        observance o;
        o.start = at + before;
        o.offset_from = before;
        o.offset_to = after;
        observances_.push_back(std::move(o));
        before = after;
    }
    if (time_size == 8) {
        // The footer: the rule for the times after the last transition.
        const size_t footer = pos + c.data_size(8);
        std::string_view rest = bytes.substr(footer);
        if (rest.size() >= 2 && rest[0] == '\n') {
            rest = rest.substr(1, rest.find('\n', 1) - 1);
            add_posix_rule(rest, last_year + 1, before);
        }
    }
    if (observances_.empty()) {
        // A zone that never changed: one offset at all times.
        observance o;
        o.start = ical_min_time;
        o.offset_from = o.offset_to = before;
        observances_.push_back(std::move(o));
    }
    return true;
}

std::shared_ptr<const timezone_rules> system_zone(const std::string& name) {
    // Only names the database could hold: letters, digits and "_+-" in
    // "/"-separated parts, none of them "." or "..".
    if (name.empty() || name.size() > 64 || name.front() == '/' || name.back() == '/')
        return nullptr;
    size_t part = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/') {
            if (i == part || name[part] == '.') return nullptr;
            part = i + 1;
            continue;
        }
        const char ch = name[i];
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
              ch == '_' || ch == '+' || ch == '-' || ch == '.'))
            return nullptr;
    }
    // Zones read are kept per thread (their year tables are filled as they
    // are used), names that are no zone too.
    thread_local std::unordered_map<std::string, std::shared_ptr<const timezone_rules>> zones;
    auto found = zones.find(name);
    if (found != zones.end()) return found->second;
    std::shared_ptr<const timezone_rules> result;
    const std::string path = "/usr/share/zoneinfo/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        struct stat st {};
        // The largest zones of the database are a few kilobytes.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= 256 * 1024) {
            std::string bytes(static_cast<size_t>(st.st_size), '\0');
            size_t got = 0;
            while (got < bytes.size()) {
                const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            bytes.resize(got);
            auto rules = std::make_shared<timezone_rules>();
            if (rules->load_tzif(bytes)) result = std::move(rules);
        }
        ::close(fd);
    }
    if (zones.size() >= 64) zones.clear();
    zones.emplace(name, result);
    return result;
}

const timezone_rules* ical_zones::find(const std::string& tzid) const {
    auto it = zones_.find(tzid);
    if (it != zones_.end()) return it->second.get();
    std::shared_ptr<const timezone_rules> rules;
    for (size_t k = 0;; ++k) {
        std::string path = "/VCALENDAR/VTIMEZONE" + instance_suffix(k);
        if (table_.find(path) == table_.end()) break;
        auto id = table_.find(path + ",TZID");
        if (id == table_.end() || id->second.second != tzid) continue;
        rules = shared_zone(table_, path);
        break;
    }
    // Many clients name a zone of the database without sending its
    // VTIMEZONE: read the time there rather than as UTC.
    if (!rules) rules = system_zone(tzid);
    return zones_.emplace(tzid, std::move(rules)).first->second.get();
}

ical_seconds ical_zones::to_utc(const ical_datetime& dt, const std::string& tzid) const {
    if (dt.utc) return dt.seconds;
    const timezone_rules* z = tzid.empty() ? floating_ : find(tzid);
    return z ? z->to_utc(dt.seconds) : dt.seconds;
}

ical_seconds ical_zones::to_local(ical_seconds utc, const std::string& tzid) const {
    const timezone_rules* z = tzid.empty() ? floating_ : find(tzid);
    return z ? z->to_local(utc) : utc;
}

std::optional<ical_seconds> property_utc_time(const ical_properties& table, const ical_zones& zones,
                                              const std::string& key, ical_datetime* parsed,
                                              std::string* tzid) {
    auto it = table.find(key);
    if (it == table.end()) return std::nullopt;
    ical_datetime dt;
    if (!parse_ical_datetime(it->second.second, dt)) return std::nullopt;
    std::string zone =
        dt.utc || dt.is_date ? std::string() : ical_param_value(it->second.first, "TZID");
    if (parsed) *parsed = dt;
    ical_seconds utc = zones.to_utc(dt, zone);
    if (tzid) *tzid = std::move(zone);
    return utc;
}

void parse_period_list(std::string_view value, std::string_view params, const ical_zones& zones,
                       std::optional<int64_t> default_length, std::vector<ical_period>& out) {
    std::string tzid = ical_param_value(params, "TZID");
    while (!value.empty()) {
        size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (item.empty()) continue;
        size_t slash = item.find('/');
        ical_datetime start;
        if (!parse_ical_datetime(item.substr(0, slash), start)) continue;
        std::string zone = start.utc || start.is_date ? std::string() : tzid;
        ical_period p;
        p.start = zones.to_utc(start, zone);
        if (slash == std::string_view::npos) {
            p.end = p.start + (default_length ? *default_length : start.is_date ? 86400 : 0);
        } else {
            std::string_view second = item.substr(slash + 1);
            ical_duration d;
            ical_datetime end;
            if (!second.empty() && (second[0] == 'P' || second[0] == '+' || second[0] == '-')) {
                if (!parse_ical_duration(second, d)) continue;
                p.end = zones.to_utc({start.seconds + d.days * 86400, false, start.utc}, zone) +
                        d.seconds;
            } else if (parse_ical_datetime(second, end)) {
                p.end = zones.to_utc(end, end.utc ? std::string() : tzid);
            } else {
                continue;
            }
        }
        out.push_back(p);
    }
}

void collect_periods(const ical_properties& table, const ical_zones& zones, const std::string& key,
                     std::optional<int64_t> default_length, std::vector<ical_period>& out) {
    for (size_t k = 0;; ++k) {
        auto it = table.find(key + instance_suffix(k));
        if (it == table.end()) break;
        parse_period_list(it->second.second, it->second.first, zones, default_length, out);
    }
}
