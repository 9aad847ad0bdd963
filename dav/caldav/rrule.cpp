#include "dav/caldav/rrule.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::string_view freq_words[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                                           "WEEKLY",   "MONTHLY",  "YEARLY"};
constexpr std::string_view weekday_words[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

int word_index(std::string_view word, const std::string_view* table, int n) {
    for (int i = 0; i < n; ++i)
        if (table[i] == word) return i;
    return -1;
}

bool parse_int(std::string_view s, int& v) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

// A comma list of integers, each within [lo, hi] and, when `signed_range`,
// also within [-hi, -lo]; zero only when lo is 0.
bool parse_int_list(std::string_view s, int lo, int hi, bool signed_range, std::vector<int>& out) {
    out.clear();
    while (true) {
        size_t comma = s.find(',');
        int v;
        if (!parse_int(s.substr(0, comma), v)) return false;
        bool ok = (v >= lo && v <= hi) || (signed_range && v <= -std::max(lo, 1) && v >= -hi);
        if (!ok) return false;
        out.push_back(v);
        if (comma == std::string_view::npos) return true;
        s.remove_prefix(comma + 1);
    }
}

int64_t floor_div(int64_t a, int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

bool contains(const std::vector<int>& v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

// The first day of week 1 of `year` (the first week with four days or more
// in the year) for weeks that start on `wkst`.
int64_t week1_start(int64_t year, int wkst) {
    int64_t jan1 = win32::days_from_civil(year, 1, 1);
    int off = (weekday_of_day(jan1) - wkst + 7) % 7;
    return off <= 3 ? jan1 - off : jan1 + 7 - off;
}

// State of one expansion: the rule, DTSTART's fields and the work budget.
class expander {
  public:
    expander(const rrule_set& r, ical_seconds dtstart, const rrule_limits& limits)
        : r_(r), ds_(systemtime_of(dtstart)), limits_(limits),
          started_(std::chrono::steady_clock::now()) {
        auto list_or = [](const std::vector<int>& v, int fallback) {
            std::vector<int> out = v.empty() ? std::vector<int>{fallback} : v;
            std::sort(out.begin(), out.end());
            out.erase(std::unique(out.begin(), out.end()), out.end());
            return out;
        };
        hours_ = list_or(r.byhour, ds_.hour);
        minutes_ = list_or(r.byminute, ds_.minute);
        seconds_ = list_or(r.bysecond, ds_.second);
        if (r.freq >= rrule_set::daily)
            for (int h : hours_)
                for (int m : minutes_)
                    for (int s : seconds_)
                        times_.push_back(h * 3600 + m * 60 + s);
        no_day_parts_ =
            r.byweekno.empty() && r.byyearday.empty() && r.bymonthday.empty() && r.byday.empty();
    }

    bool out_of_budget() {
        if (++work_ > limits_.max_work) return exhausted_ = true;
        if ((work_ & 1023) == 0) {
            auto now = std::chrono::steady_clock::now();
            if (now - started_ > limits_.max_time || limits_.out_of_time(now))
                return exhausted_ = true;
        }
        return false;
    }
    bool exhausted() const { return exhausted_; }

    // The candidates of one period, ascending, BYSETPOS applied.
    void period(int64_t index, std::vector<ical_seconds>& out);
    // The first second of period `index` (for the stop test).
    ical_seconds period_start(int64_t index) const;
    // The period that holds reading `t`.
    int64_t period_of(ical_seconds t) const;

  private:
    bool day_ok(int64_t d, int64_t y, unsigned m, unsigned md);
    void add_day(int64_t d, int64_t y, unsigned m, unsigned md, int64_t first_second_of_period,
                 std::vector<ical_seconds>& out);
    void add_day(int64_t d, int64_t first_second_of_period, std::vector<ical_seconds>& out) {
        int64_t y;
        unsigned m, md;
        win32::civil_from_days(d, y, m, md);
        add_day(d, y, m, md, first_second_of_period, out);
    }

    const rrule_set& r_;
    win32::systemtime ds_;
    rrule_limits limits_;
    std::chrono::steady_clock::time_point started_;
    std::vector<int> hours_, minutes_, seconds_, times_;
    bool no_day_parts_;
    size_t work_ = 0;
    bool exhausted_ = false;
};

ical_seconds expander::period_start(int64_t index) const {
    int64_t step = index * r_.interval;
    ical_seconds base = seconds_of(ds_);
    switch (r_.freq) {
    case rrule_set::yearly:
        return seconds_of(ds_.year + step, 1, 1);
    case rrule_set::monthly: {
        int64_t m = int64_t(ds_.year) * 12 + ds_.month - 1 + step;
        return seconds_of(floor_div(m, 12), unsigned(m - floor_div(m, 12) * 12 + 1), 1);
    }
    case rrule_set::weekly: {
        int64_t d = day_number(base);
        int64_t start = d - (weekday_of_day(d) - r_.wkst + 7) % 7;
        return (start + 7 * step) * 86400;
    }
    case rrule_set::daily:
        return (day_number(base) + step) * 86400;
    case rrule_set::hourly:
        return floor_div(base, 3600) * 3600 + step * 3600;
    case rrule_set::minutely:
        return floor_div(base, 60) * 60 + step * 60;
    default:
        return base + step;
    }
}

int64_t expander::period_of(ical_seconds t) const {
    ical_seconds base = seconds_of(ds_);
    win32::systemtime st = systemtime_of(t);
    int64_t units;
    switch (r_.freq) {
    case rrule_set::yearly:
        units = int64_t(st.year) - ds_.year;
        break;
    case rrule_set::monthly:
        units = (int64_t(st.year) * 12 + st.month) - (int64_t(ds_.year) * 12 + ds_.month);
        break;
    case rrule_set::weekly:
        units = floor_div(day_number(t) - day_number(period_start(0)), 7);
        break;
    case rrule_set::daily:
        units = day_number(t) - day_number(base);
        break;
    case rrule_set::hourly:
        units = floor_div(t, 3600) - floor_div(base, 3600);
        break;
    case rrule_set::minutely:
        units = floor_div(t, 60) - floor_div(base, 60);
        break;
    default:
        units = t - base;
    }
    return floor_div(units, r_.interval);
}

bool expander::day_ok(int64_t d, int64_t y, unsigned m, unsigned md) {
    int mlen = static_cast<int>(days_in_month(y, m));
    if (!r_.bymonth.empty() && !contains(r_.bymonth, int(m)) && !contains(r_.bymonth, int(m) - 13))
        return false;
    // Day of the year, only where a part needs it.
    const bool need_yd = !r_.byyearday.empty() ||
                         (!r_.byday.empty() && r_.freq != rrule_set::monthly && r_.bymonth.empty());
    int yd = need_yd ? static_cast<int>(d - win32::days_from_civil(y, 1, 1)) + 1 : 0;
    int ylen = is_leap_year(y) ? 366 : 365;
    if (!r_.byweekno.empty()) {
        int64_t w1 = week1_start(y, r_.wkst);
        int weeks = static_cast<int>((week1_start(y + 1, r_.wkst) - w1) / 7);
        int n = static_cast<int>(floor_div(d - w1, 7)) + 1;
        if (n < 1 || n > weeks ||
            (!contains(r_.byweekno, n) && !contains(r_.byweekno, n - weeks - 1)))
            return false;
    }
    if (!r_.byyearday.empty() && !contains(r_.byyearday, yd) &&
        !contains(r_.byyearday, yd - ylen - 1))
        return false;
    if (!r_.bymonthday.empty() && !contains(r_.bymonthday, int(md)) &&
        !contains(r_.bymonthday, int(md) - mlen - 1))
        return false;
    if (!r_.byday.empty()) {
        int wd = weekday_of_day(d);
        bool month_scope = r_.freq == rrule_set::monthly || !r_.bymonth.empty();
        int pos = month_scope ? int(md) : yd;
        int len = month_scope ? mlen : ylen;
        int forward = (pos - 1) / 7 + 1;
        int backward = -((len - pos) / 7 + 1);
        bool any = false;
        for (auto [n, w] : r_.byday)
            if (w == wd && (n == 0 || n == forward || n == backward)) {
                any = true;
                break;
            }
        if (!any) return false;
    }
    // Parts that DTSTART implies when the rule names no day of its own.
    switch (r_.freq) {
    case rrule_set::yearly:
        if (no_day_parts_ && ((r_.bymonth.empty() && m != ds_.month) || md != ds_.day))
            return false;
        break;
    case rrule_set::monthly:
        if (r_.bymonthday.empty() && r_.byday.empty() && md != ds_.day) return false;
        break;
    case rrule_set::weekly:
        if (r_.byday.empty() && weekday_of_day(d) != ds_.day_of_week) return false;
        break;
    default:
        break;
    }
    return true;
}

void expander::add_day(int64_t d, int64_t y, unsigned m, unsigned md, ical_seconds first,
                       std::vector<ical_seconds>& out) {
    if (out_of_budget() || !day_ok(d, y, m, md)) return;
    ical_seconds day = d * 86400;
    switch (r_.freq) {
    case rrule_set::hourly: {
        int h = static_cast<int>((first - day) / 3600);
        if (!r_.byhour.empty() && !contains(r_.byhour, h)) return;
        for (int m : minutes_)
            for (int s : seconds_)
                out.push_back(first + m * 60 + s);
        return;
    }
    case rrule_set::minutely: {
        int h = static_cast<int>((first - day) / 3600),
            mi = static_cast<int>((first - day) / 60 % 60);
        if ((!r_.byhour.empty() && !contains(r_.byhour, h)) ||
            (!r_.byminute.empty() && !contains(r_.byminute, mi)))
            return;
        for (int s : seconds_)
            out.push_back(first + s);
        return;
    }
    case rrule_set::secondly: {
        int rest = static_cast<int>(first - day);
        if ((!r_.byhour.empty() && !contains(r_.byhour, rest / 3600)) ||
            (!r_.byminute.empty() && !contains(r_.byminute, rest / 60 % 60)) ||
            (!r_.bysecond.empty() && !contains(r_.bysecond, rest % 60)))
            return;
        out.push_back(first);
        return;
    }
    default:
        for (int t : times_) {
            if (out_of_budget()) return;
            out.push_back(day + t);
        }
    }
}

void expander::period(int64_t index, std::vector<ical_seconds>& out) {
    out.clear();
    ical_seconds first = period_start(index);
    int64_t d0 = day_number(first);
    switch (r_.freq) {
    case rrule_set::yearly: {
        int64_t y = systemtime_of(first).year;
        for (unsigned m = 1; m <= 12 && !exhausted_; ++m) {
            if (!r_.bymonth.empty() && !contains(r_.bymonth, int(m)) &&
                !contains(r_.bymonth, int(m) - 13))
                continue;
            if (no_day_parts_ && r_.bymonth.empty() && m != ds_.month) continue;
            int64_t start = win32::days_from_civil(y, m, 1);
            for (unsigned i = 0; i < days_in_month(y, m); ++i)
                add_day(start + i, y, m, i + 1, first, out);
        }
        break;
    }
    case rrule_set::monthly: {
        win32::systemtime st = systemtime_of(first);
        for (unsigned i = 0; i < days_in_month(st.year, st.month); ++i)
            add_day(d0 + i, st.year, st.month, i + 1, first, out);
        break;
    }
    case rrule_set::weekly:
        for (int i = 0; i < 7; ++i)
            add_day(d0 + i, first, out);
        break;
    default:
        add_day(d0, first, out);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    if (r_.setpos_values.empty() || out.empty()) return;
    std::vector<ical_seconds> picked;
    const int n = static_cast<int>(out.size());
    for (int pos : r_.setpos_values) {
        int i = pos > 0 ? pos - 1 : n + pos;
        if (i >= 0 && i < n) picked.push_back(out[i]);
    }
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    out.swap(picked);
}

} // namespace

bool rrule_set::parse_part(std::string_view name, std::string_view value) {
    if (value.empty()) return false;
    auto once = [](const std::vector<int>& v) { return v.empty(); };
    if (name == "FREQ") {
        if (freq >= 0) return false;
        freq = word_index(value, freq_words, 7);
        return freq >= 0;
    }
    if (name == "INTERVAL") {
        if (interval_given_) return false;
        interval_given_ = true;
        return parse_int(value, interval) && interval >= 1 && interval <= 1000000;
    }
    if (name == "COUNT") {
        if (count >= 0 || has_until) return false;
        return parse_int(value, count) && count >= 1;
    }
    if (name == "UNTIL") {
        if (count >= 0 || has_until) return false;
        has_until = true;
        return parse_ical_datetime(value, until);
    }
    if (name == "WKST") {
        if (wkst_given_) return false;
        wkst_given_ = true;
        wkst = word_index(value, weekday_words, 7);
        return wkst >= 0;
    }
    if (name == "BYSECOND") return once(bysecond) && parse_int_list(value, 0, 60, false, bysecond);
    if (name == "BYMINUTE") return once(byminute) && parse_int_list(value, 0, 59, false, byminute);
    if (name == "BYHOUR") return once(byhour) && parse_int_list(value, 0, 23, false, byhour);
    if (name == "BYMONTHDAY")
        return once(bymonthday) && parse_int_list(value, 1, 31, true, bymonthday);
    if (name == "BYYEARDAY")
        return once(byyearday) && parse_int_list(value, 1, 366, true, byyearday);
    if (name == "BYWEEKNO") return once(byweekno) && parse_int_list(value, 1, 53, true, byweekno);
    if (name == "BYMONTH") return once(bymonth) && parse_int_list(value, 1, 12, true, bymonth);
    if (name == "BYSETPOS")
        return once(setpos_values) && parse_int_list(value, 1, 366, true, setpos_values);
    if (name == "BYDAY") {
        if (!byday.empty()) return false;
        while (true) {
            size_t comma = value.find(',');
            std::string_view item = value.substr(0, comma);
            if (item.size() < 2) return false;
            int w = word_index(item.substr(item.size() - 2), weekday_words, 7);
            int n = 0;
            std::string_view ord = item.substr(0, item.size() - 2);
            if (w < 0 || (!ord.empty() && (!parse_int(ord, n) || n == 0 || n > 53 || n < -53)))
                return false;
            byday.emplace_back(n, w);
            if (comma == std::string_view::npos) return true;
            value.remove_prefix(comma + 1);
        }
    }
    // Extension parts are allowed and carry no meaning here.
    return name.starts_with("X-");
}

bool rrule_set::check() const {
    if (freq < 0) return false;
    bool ordinals = std::any_of(byday.begin(), byday.end(), [](auto& d) { return d.first != 0; });
    if (ordinals && (freq < monthly || (freq == yearly && !byweekno.empty()))) return false;
    if (!bymonthday.empty() && freq == weekly) return false;
    if (!byyearday.empty() && (freq == daily || freq == weekly || freq == monthly)) return false;
    if (!byweekno.empty() && freq != yearly) return false;
    return true;
}

bool rrule_set::parse(std::string_view value) {
    *this = rrule_set();
    while (!value.empty()) {
        size_t semi = value.find(';');
        std::string_view part = value.substr(0, semi);
        value = semi == std::string_view::npos ? std::string_view() : value.substr(semi + 1);
        if (part.empty()) continue;
        size_t eq = part.find('=');
        if (eq == std::string_view::npos || eq == 0 ||
            !parse_part(part.substr(0, eq), part.substr(eq + 1)))
            return false;
    }
    return check();
}

bool rrule_set::expand(ical_seconds dtstart, ical_seconds from, ical_seconds to,
                       ical_seconds until_limit, std::vector<ical_seconds>& out,
                       const rrule_limits& limits) const {
    if (freq < 0 || to < from) return true;
    if (limits.out_of_time(std::chrono::steady_clock::now())) return false;
    expander ex(*this, dtstart, limits);
    const ical_seconds last = std::min(to, until_limit);
    const ical_seconds max_reading = seconds_of(9999, 12, 31, 23, 59, 59);
    size_t produced = 0;
    int64_t counted = 0;
    auto emit = [&](ical_seconds t) {
        ++counted;
        if (t >= from && t <= to) {
            out.push_back(t);
            ++produced;
        }
    };
    // DTSTART is the first instance whether or not the rule would make it.
    if (dtstart > last) return true;
    emit(dtstart);
    if (count >= 0 && counted >= count) return true;
    int64_t index = 0;
    if (count < 0) {
        // Without COUNT the instances before the range need not be counted:
        // start at the period that holds the range start, on the series' own
        // INTERVAL grid, one period early for sets that reach back.
        index = std::max<int64_t>(0, ex.period_of(std::max(from, dtstart)) - 1);
    }
    std::vector<ical_seconds> set;
    for (;; ++index) {
        ical_seconds ps = ex.period_start(index);
        if (ps > last || ps > max_reading) return true;
        ex.period(index, set);
        if (ex.exhausted()) return false;
        for (ical_seconds t : set) {
            if (t <= dtstart) continue;
            if (t > last) return true;
            emit(t);
            if (count >= 0 && counted >= count) return true;
            if (produced >= limits.max_results) return false;
        }
        if (ex.out_of_budget()) return false;
    }
}
