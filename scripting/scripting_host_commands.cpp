#include "core/format.h"
#include "core/trace.h"
#include "scripting/config_command_object.h"
#include "scripting/dynip_notify.h"
#include "scripting/event_scripts.h"
#include "scripting/scripting_host.h"
#include "server/access_log.h"
#include "server/http_server.h"
#include "server/server_dirs.h"

#include <climits>
#include <unistd.h>

namespace scripting {

namespace {

std::wstring module_path() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? cl::utf8_to_utf16(std::string(buf, static_cast<std::size_t>(n))) : L"";
}

} // namespace

void scripting_host::schedule_daily_maintenance(const std::wstring& log_dir) {
    if (!cl::global_timers_running()) {
        script_host::schedule_daily_maintenance(log_dir);
        return;
    }
    if (!maintenance_)
        maintenance_ = std::make_unique<daily_maintenance>(
            ini_, the_access_log(), [this](const std::string& url) {
                if (!spawn_script(url, L""))
                    cl::trace_out.write(
                        cl::format_str("daily maintenance: unable to start %?\n", url));
            });
    maintenance_->schedule(log_dir, cl::slow_timer());
}

void scripting_host::run_event_scripts(const std::wstring& event) {
    scripting::run_event_scripts(ini_, event,
                                 [this](const std::string& url, const std::wstring& param) {
                                     run_script_discard_output(url, param);
                                 });
}

void scripting_host::register_config_command_object(bool on) {
    config_command_options options;
    options.ini = &ini_;
    options.data_dir = data_dir();
    options.module_path = module_path();
    scripting::register_config_command_object(on, options);
}

void scripting_host::dynip_call(const std::string& address, const std::string& client, int family) {
    // The wait that follows holds this thread: no other request waits for it.
    the_http_server().before_blocking();
    scripting::dynip_call(ini_, address, client, family);
}

} // namespace scripting
