#include "scripting/daily_maintenance.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "scripting/config_commands.h"
#include "server/access_log_rotation.h"

#include <cstdlib>
#include <cstring>

namespace scripting {

namespace {

constexpr int32_t day_s = 86400;

int32_t time_of_day(const win32::systemtime& t) {
    return t.hour * 3600 + t.minute * 60 + t.second;
}

} // namespace

int64_t daily_maintenance::first_delay_ms(int32_t now) {
    int64_t s = seconds_until_maintenance(ini_, now);
    if (s < 300) s += day_s;
    return s * 1000;
}

void daily_maintenance::schedule(const std::wstring& log_dir, cl::base_timer& timer) {
    {
        cl::cs_lock g(lock_);
        log_dir_ = log_dir;
        timer_ = &timer;
    }
    log_.open(log_dir);
    int64_t delay = first_delay_ms(time_of_day(win32::get_local_time()));
    int64_t test_delay = 0;
    win32::systemtime date;
    if (maintenance_test_setting(test_delay, date)) {
        inject(test_delay, date);
        delay = test_delay;
    }
    arm(delay);
    log_.arm_flush(timer);
}

void daily_maintenance::inject(int64_t delay_ms, const win32::systemtime& date) {
    cl::cs_lock g(lock_);
    injected_ = date;
    if (timer_) arm(delay_ms);
}

void daily_maintenance::arm(int64_t delay_ms) {
    cl::cs_lock g(lock_);
    if (!timer_) return;
    timer_->set_timer(
        log_.daily_timer(), [this] { on_timer(); },
        static_cast<int32_t>(std::min<int64_t>(delay_ms, INT32_MAX)), 1);
}

void daily_maintenance::on_timer() {
    win32::systemtime local = win32::get_local_time();
    {
        cl::cs_lock g(lock_);
        if (injected_) {
            const win32::systemtime clock = local;
            local = *injected_;
            local.hour = clock.hour;
            local.minute = clock.minute;
            local.second = clock.second;
            injected_.reset();
        }
    }
    try {
        run(local);
    } catch (const std::exception& e) {
        cl::trace_out.write(cl::format_str("daily maintenance: %?\n", e.what()));
    }
}

bool daily_maintenance::run(const win32::systemtime& local) {
    std::wstring dir;
    bool armed;
    {
        cl::cs_lock g(lock_);
        dir = log_dir_;
        armed = timer_ != nullptr;
    }
    const bool renamed = log_.rotate_to(rotated_log_name(dir, local));
    if (armed) {
        // From the clock, not the injected date: the next run is tomorrow's.
        const int32_t now = time_of_day(win32::get_local_time());
        arm((int64_t(seconds_until_maintenance(ini_, now)) + day_s) * 1000);
    }
    std::wstring script = ini_.get_string_or(L"param", L"daily_maintenance", L"");
    cl::trim_w(script);
    if (!script.empty() && start_script_) start_script_(cl::utf16_to_utf8(script));
    return renamed;
}

bool maintenance_test_setting(int64_t& delay_ms, win32::systemtime& date) {
    const char* v = std::getenv("TESKQVEL_TEST_MAINTENANCE");
    if (!v || !*v) return false;
    long long delay = 0;
    unsigned y = 0, m = 0, d = 0;
    if (std::sscanf(v, "%lld %4u%2u%2u", &delay, &y, &m, &d) != 4 || delay < 0 || m < 1 || m > 12 ||
        d < 1 || d > 31)
        return false;
    delay_ms = delay;
    date = win32::systemtime{};
    date.year = static_cast<uint16_t>(y);
    date.month = static_cast<uint16_t>(m);
    date.day = static_cast<uint16_t>(d);
    return true;
}

} // namespace scripting
