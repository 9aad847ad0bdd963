#include "core/hrtime.h"

#include "core/cpu_info.h"
#include "core/format.h"
#include "core/os_version.h"
#include "core/trace.h"
#include "platform/win32/time.h"

#include <map>

#if defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#define TQ_HAVE_RDTSC 1
#endif

namespace cl {

namespace {

struct info_table {
    std::mutex lock;
    std::map<std::string, std::string> texts;
};

info_table& infos() {
    static info_table t;
    return t;
}

// How long a wait for the tick counter to move may spin before the counter
// is taken as broken.
constexpr uint32_t tick_stall_limit = 10000000;

bool known_mode(int mode) {
    return mode == hrtime::mode_tsc || mode == hrtime::mode_tsc_raw ||
           mode == hrtime::mode_perf_counter || mode == hrtime::mode_tick_count ||
           mode == hrtime::mode_multimedia;
}

} // namespace

void set_system_info_text(const std::string& name, const std::string& text) {
    auto& t = infos();
    std::lock_guard<std::mutex> g(t.lock);
    t.texts[name] = text;
}

std::string system_info_text(const std::string& name) {
    auto& t = infos();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.texts.find(name);
    return it == t.texts.end() ? std::string() : it->second;
}

hrtime::sources hrtime::native_sources() {
    sources s;
#ifdef TQ_HAVE_RDTSC
    s.tsc = [] { return uint64_t(__rdtsc()); };
    s.tsc_eligible = cpu_info::instance().tsc_eligible();
#endif
    s.perf_counter = [] { return win32::query_performance_counter(); };
    s.perf_frequency = win32::query_performance_frequency();
    s.tick_count = [] { return win32::get_tick_count64(); };
    s.sleep = [](uint32_t ms) { win32::sleep_ms(ms); };
    uint32_t procs = os_version::instance().processors;
    s.processors = procs ? procs : 1;
    s.multimedia = false; // there is no multimedia timer device here
    return s;
}

hrtime::hrtime(int mode) : hrtime(mode, native_sources()) {}

hrtime::hrtime(int mode, sources src) : src_(std::move(src)), requested_(mode) {
    if (!src_.tsc) src_.tsc_eligible = false;
    if (mode != mode_auto) {
        select(mode);
    }
}

hrtime::~hrtime() {
    // A multimedia period is never begun here, so there is none to end.
    mm_period_ = false;
}

hrtime& hrtime::global() {
    static hrtime clock(mode_auto);
    return clock;
}

uint64_t hrtime::read() {
    if (!selected_.load(std::memory_order_acquire)) {
        // Two threads making the first read at once select only once.
        std::call_once(once_, [this] {
            if (!selected_.load(std::memory_order_acquire)) select(requested_);
        });
    }
    return (this->*read_)();
}

uint64_t hrtime::read_tsc_monotonic() {
    cs_lock hold(lock_);
    uint64_t v = src_.tsc();
    if (v <= last_tsc_) correction_ += last_tsc_ - v + 1;
    last_tsc_ = v;
    return v + correction_;
}

bool hrtime::take_sample(sample& s) {
    // Start on a fresh tick so the millisecond count is as exact as it gets.
    uint64_t t0 = src_.tick_count();
    uint64_t t = t0;
    for (uint32_t i = 0; t == t0; ++i) {
        if (i >= tick_stall_limit) return false;
        t = src_.tick_count();
    }
    s.tsc = src_.tsc();
    s.tick = t;
    return true;
}

bool hrtime::calibrate() {
    if (!src_.tsc) return false;
    if (calibrations_ > 0 && tsc_calibrated_) {
        // Later calibrations only stretch the first measurement.
        sample now{};
        if (!take_sample(now)) return false;
        ++calibrations_;
        uint64_t ms = now.tick - first_.tick;
        if (ms == 0 || now.tsc <= first_.tsc) return false;
        tsc_freq_ = uint64_t((unsigned __int128)(now.tsc - first_.tsc) * 1000 / ms);
        freq_ = tsc_freq_;
        return true;
    }
    ++calibrations_;
    sample a{}, b{}, c{};
    if (!take_sample(a)) return false;
    src_.sleep(100);
    if (!take_sample(b)) return false;
    uint64_t t = src_.tick_count();
    uint64_t last = t;
    uint32_t stalled = 0;
    while (t - b.tick < 100) {
        t = src_.tick_count();
        if (t != last) {
            last = t;
            stalled = 0;
        } else if (++stalled >= tick_stall_limit) {
            return false;
        }
    }
    if (!take_sample(c)) return false;

    auto rate = [](const sample& from, const sample& to) -> uint64_t {
        uint64_t ms = to.tick - from.tick;
        if (ms == 0 || to.tsc <= from.tsc) return 0;
        return uint64_t((unsigned __int128)(to.tsc - from.tsc) * 1000 / ms);
    };
    uint64_t whole = rate(a, c);
    uint64_t p1 = rate(a, b);
    uint64_t p2 = rate(b, c);
    tsc_part1_ = p1;
    tsc_part2_ = p2;
    if (p2 < 60000000) return false;
    uint64_t small = p1 < p2 ? p1 : p2;
    uint64_t large = p1 < p2 ? p2 : p1;
    if (large == 0) return false;
    congruence_ = uint32_t(small * 100000 / large);
    if (congruence_ < 99000) return false;
    tsc_freq_ = whole;
    freq_ = whole;
    first_ = a;
    tsc_calibrated_ = true;
    return true;
}

bool hrtime::tsc_usable_single() {
    return src_.tsc_eligible && src_.processors == 1 && (tsc_calibrated_ || calibrate());
}

void hrtime::use(int mode) {
    switch (mode) {
    case mode_tsc:
        read_ = &hrtime::read_tsc_monotonic;
        freq_ = tsc_freq_;
        break;
    case mode_tsc_raw:
        read_ = &hrtime::read_tsc_raw;
        freq_ = tsc_freq_;
        break;
    case mode_perf_counter:
        read_ = &hrtime::read_perf;
        freq_ = perf_freq_;
        break;
    case mode_tick_count:
    case mode_multimedia:
        read_ = &hrtime::read_tick;
        freq_ = 1000;
        break;
    default:
        read_ = &hrtime::read_none;
        break;
    }
    mode_ = mode;
}

bool hrtime::select(int mode) {
    perf_freq_ = src_.perf_frequency > 0 && src_.perf_counter ? uint64_t(src_.perf_frequency) : 0;
    bool perf = perf_freq_ != 0;
    bool mm = src_.multimedia;
    mm_period_ = false; // any period held is ended

    if (!known_mode(mode)) {
        if (perf)
            mode = mode_perf_counter;
        else if (tsc_usable_single())
            mode = mode_tsc;
        else if (mm)
            mode = mode_multimedia;
        else
            mode = mode_tick_count;
    }

    int chosen = 0;
    switch (mode) {
    case mode_tsc:
    case mode_tsc_raw:
        if (tsc_calibrated_ || (src_.tsc_eligible && calibrate())) {
            chosen = mode;
        } else {
            trace_out.write("Cannot use TSC!\n");
            chosen = perf ? mode_perf_counter : mm ? mode_multimedia : mode_tick_count;
        }
        break;
    case mode_perf_counter:
        if (perf) {
            if (src_.tsc_eligible && !tsc_calibrated_) calibrate();
            chosen = mode_perf_counter;
        } else {
            trace_out.write("OS performance counter not available\n");
            chosen = tsc_usable_single() ? mode_tsc : mm ? mode_multimedia : mode_tick_count;
        }
        break;
    case mode_tick_count:
        chosen = mode_tick_count;
        break;
    case mode_multimedia:
        if (mm) {
            mm_period_ = true;
            chosen = mode_multimedia;
        } else {
            trace_out.write("multimedia timer not available\n");
            chosen = perf ? mode_perf_counter : tsc_usable_single() ? mode_tsc : mode_tick_count;
        }
        break;
    default:
        chosen = 0;
        break;
    }
    use(chosen);
    description_ = describe();
    set_system_info_text("hrtime", description_);
    selected_.store(true, std::memory_order_release);
    return chosen != 0;
}

std::string hrtime::describe() const {
    switch (mode_) {
    case mode_tsc:
    case mode_tsc_raw:
        return format_str("Using %?CPU TSC running at %#,.3? MHz; congruence=%#,.3?%%\n",
                          mode_ == mode_tsc ? "" : "raw ", freq_ / 1000, congruence_);
    case mode_perf_counter: {
        std::string s =
            format_str("Using performance counter running at %#,.3? MHz", perf_freq_ / 1000);
        if (tsc_calibrated_)
            format_append(s, "; TSC=%?/%? MHz", tsc_part1_ / 1000000, tsc_part2_ / 1000000);
        return s;
    }
    case mode_tick_count:
        return format_str("Using OS tick counter, granularity %? Hz\n", freq_);
    case mode_multimedia: {
        timer_resolution res;
        uint32_t units = res.query();
        // No resolution, no rate: never divide by it.
        uint64_t milli_hz = units ? 10000000000ull / units : 0;
        return format_str("Using multimedia timer at %#,.3? Hz\n", milli_hz);
    }
    default:
        return "No high-resolution timer found.\n";
    }
}

// --- calendar helpers -----------------------------------------------------------

int64_t make_unix_time(int year, int month, int day, int hour, int minute, int second) {
    static const int before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    if (month < 1 || month > 12) return 0;
    int64_t y = year;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int64_t days = (y - 1970) * 365 + (y - 1969) / 4 - (y - 1601) / 100 + (y - 1601) / 400 + 3 +
                   before[month - 1] + ((leap && month > 2) ? 1 : 0) + day - 1;
    return ((days * 24 + hour) * 60 + minute) * 60 + second;
}

int64_t current_unix_time(int utc) {
    win32::systemtime st = utc == 1 ? win32::get_system_time() : win32::get_local_time();
    return make_unix_time(st.year, st.month, st.day, st.hour, st.minute, st.second);
}

int64_t today_unix_time() {
    win32::systemtime st = win32::get_local_time();
    return make_unix_time(st.year, st.month, st.day, 0, 0, 0);
}

namespace {

template <class C> int64_t parse_date(std::basic_string_view<C> text) {
    if (text.size() < 8) return 0;
    int v[8];
    for (int i = 0; i < 8; ++i) {
        C c = text[i];
        if (c < C('0') || c > C('9')) return 0;
        v[i] = int(c - C('0'));
    }
    int year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    int month = v[4] * 10 + v[5];
    int day = v[6] * 10 + v[7];
    return make_unix_time(year, month, day, 0, 0, 0);
}

} // namespace

int64_t parse_yyyymmdd(std::string_view text) {
    return parse_date(text);
}
int64_t parse_yyyymmdd(std::wstring_view text) {
    return parse_date(text);
}

uint32_t get_tick_count() {
    return win32::get_tick_count();
}
void sleep_ms(uint32_t ms) {
    win32::sleep_ms(ms);
}

} // namespace cl
