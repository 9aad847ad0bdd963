#include "core/static_objects.h"

#include "core/cpu_info.h"
#include "core/dll_registry.h"
#include "core/hrtime.h"
#include "core/lcg_random.h"
#include "core/os_version.h"
#include "core/timer.h"
#include "core/trace.h"
#include "core/trace_sinks.h"

#include <atomic>
#include <map>

namespace cl {

namespace {

std::atomic<uint32_t> static_id_counter{0};
std::atomic<bool> running{false};

const std::map<int, std::string>& mode_names() {
    static const std::map<int, std::string> names = {
        {hrtime::mode_tsc, "tsc"},
        {hrtime::mode_perf_counter, "performance counter"},
        {hrtime::mode_tick_count, "tick count"},
        {hrtime::mode_tsc_raw, "raw tsc"},
        {hrtime::mode_multimedia, "multimedia timer"},
    };
    return names;
}

} // namespace

// The first 8 bytes of the entropy digest as a little-endian number.
uint64_t entropy_seed_word() {
    uint8_t digest[16];
    entropy_seed(digest);
    uint64_t t = 0;
    for (int i = 7; i >= 0; --i)
        t = (t << 8) | digest[i];
    return t;
}

uint32_t allocate_static_id() {
    return static_id_counter.fetch_add(1);
}

std::string clock_mode_name(int mode) {
    const auto& m = mode_names();
    auto it = m.find(mode);
    return it == m.end() ? std::string("unknown") : it->second;
}

bool is_known_clock_mode(int mode) {
    return mode_names().count(mode) != 0;
}

bool library_running() {
    return running.load();
}

void library_init() {
    if (running.exchange(true)) return;
    // The program start value: the one generator state (x and y) from the
    // machine's entropy digest, so numbers differ between runs.
    lcg_seed(entropy_seed_word());
    // Built now, so they outlive everything constructed after them; the
    // program has set its prefix settings before calling here.
    (void)console_sink();
    (void)debug_sink();
    (void)file_sink();
    (void)stderr_sink();
    (void)stdout_sink();
    trace_startup();
    (void)dll_registry::instance();
    start_global_timers(); // "slow", then "fast"
    (void)system_info_text(std::string());
    (void)os_version::instance();
    (void)hrtime::global();
    (void)mode_names();
    (void)cpu_info::instance();
}

void library_shutdown() {
    if (!running.exchange(false)) return;
    if (global_timers_running()) {
        // A timer whose worker does not finish its pass in time is still
        // stopped: its destructor ends the worker thread.
        fast_timer().sync(5000);
        slow_timer().sync(5000);
        stop_global_timers();
    }
    trace_out.flush();
    trace_err.flush();
    file_sink().flush(true);
}

} // namespace cl
