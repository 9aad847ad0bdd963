#include "server/script_host.h"

#include "server/access_log.h"

#include <atomic>

namespace {

// Knows no user, so a server whose script host is not connected lets nobody
// log in.
class refusing_script_host final : public script_host {
  public:
    std::string get_user_value(const std::wstring&, const std::string&,
                               const std::string&) override {
        return {};
    }
};

refusing_script_host refusing_host;
std::atomic<script_host*> installed{nullptr};

} // namespace

script_host& the_script_host() {
    script_host* h = installed.load(std::memory_order_acquire);
    return h ? *h : refusing_host;
}

void set_script_host(script_host* host) {
    installed.store(host, std::memory_order_release);
}

// The least the server needs until the script host adds the rotation: the
// log file and its flush.
void script_host::schedule_daily_maintenance(const std::wstring& log_dir) {
    the_access_log().open(log_dir);
    if (cl::global_timers_running()) the_access_log().arm_flush(cl::slow_timer());
}
