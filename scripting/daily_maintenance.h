// The daily maintenance: at "maintenance_time" of [param] the access log is
// renamed to its dated file and a new one begun, then the script named by
// "daily_maintenance" of [param] runs on the server's pool.
#pragma once
#include "core/ini_file.h"
#include "core/timer.h"
#include "platform/win32/time.h"
#include "server/access_log.h"

#include <functional>
#include <optional>
#include <string>

namespace scripting {

class daily_maintenance {
  public:
    using script_starter = std::function<void(const std::string& url)>;

    daily_maintenance(cl::ini_file& ini, access_log& log, script_starter start_script)
        : ini_(ini), log_(log), start_script_(std::move(start_script)) {}

    // Opens the log in log_dir, arms its flush and the first rotation: at the
    // maintenance time today, or tomorrow when that is less than five
    // minutes away (or past).
    void schedule(const std::wstring& log_dir, cl::base_timer& timer);
    // The first delay, in ms, for a local time of day (seconds).
    int64_t first_delay_ms(int32_t time_of_day);
    // One rotation as at the given local time; re-arms the next one when a
    // timer is armed. True when the log was renamed.
    bool run(const win32::systemtime& local);

    // For tests: the next timer-driven run comes after delay_ms and takes
    // the given date instead of the clock's.
    void inject(int64_t delay_ms, const win32::systemtime& date);

  private:
    void on_timer();
    void arm(int64_t delay_ms);

    cl::ini_file& ini_;
    access_log& log_;
    script_starter start_script_;
    cl::critical_section lock_;
    std::wstring log_dir_;
    cl::base_timer* timer_ = nullptr;
    std::optional<win32::systemtime> injected_;
};

// "delay_ms YYYYMMDD" of the variable TESKQVEL_TEST_MAINTENANCE, when set.
bool maintenance_test_setting(int64_t& delay_ms, win32::systemtime& date);

} // namespace scripting
