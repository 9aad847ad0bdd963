#include "server/run_request.h"

#include "core/format.h"
#include "core/impersonation.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/time.h"
#include "server/config/config_cache.h"
#include "server/config_info.h"
#include "server/directives/directives.h"
#include "server/http_server.h"
#include "server/named_mutex.h"
#include "server/req_info.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <atomic>
#include <exception>
#include <map>
#include <mutex>

namespace {

class thread_impersonator final : public request_impersonator {
  public:
    bool impersonate(const std::wstring& user, const std::wstring& password) override {
        cl::impersonation_state& state = thread_impersonation();
        state.set_trace_level(trace_level());
        return state.impersonate_user(user, password, cl::logon32_logon_interactive);
    }
};

thread_impersonator the_thread_impersonator;
std::atomic<request_impersonator*> current_impersonator{nullptr};

request_impersonator& impersonator() {
    request_impersonator* i = current_impersonator.load();
    return i ? *i : the_thread_impersonator;
}

// The configuration of a request that the processor answered before it had
// one: the cached one of its path, and for a path that has none (invalid or
// blocked) the defaults and the global directive file, then the document
// root's access file.
cl::sh_ptr<config_info> fallback_config(const http_request_data& data) {
    if (cl::sh_ptr<config_info> cached =
            server_config::config_for_path(data.path, cl::utf8_to_utf16(data.method)))
        return cached;
    cl::sh_ptr<config_info> config(new config_info(cl::utf8_to_utf16(data.method)));
    config->directory = public_dir();
    config->directory_utf8 = cl::utf16_to_utf8(config->directory);
    config->local_path = config->directory;
    parse_config_file(*config, public_dir());
    return config;
}

struct timing_entry {
    int64_t start_us = 0;
    uint64_t word = 0;
    bool running = false;
};

std::mutex timing_lock;
std::map<std::string, timing_entry>& timing_table() {
    static std::map<std::string, timing_entry> table;
    return table;
}

int64_t now_microseconds() {
    const int64_t count = win32::query_performance_counter();
    const int64_t freq = win32::query_performance_frequency();
    if (freq <= 0) return 0;
    // Whole seconds and the remainder apart, so the product cannot overflow.
    return (count / freq) * 1000000 + (count % freq) * 1000000 / freq;
}

} // namespace

cl::impersonation_state& thread_impersonation() {
    thread_local cl::impersonation_state state;
    return state;
}

void set_request_impersonator(request_impersonator* i) {
    current_impersonator.store(i);
}

bool impersonate_request_user(const config_info& config) {
    // The password is read on every run: the configuration is shared by
    // every thread and never changed once built, and the user file is
    // cached by the script host.
    std::wstring password;
    if (!config.userpwd.empty())
        password = cl::utf8_to_utf16(
            the_script_host().get_user_password(config.userpwd, cl::utf16_to_utf8(config.user)));
    return impersonator().impersonate(config.user, password);
}

namespace {

// Runs step, a request's work: what it throws is traced, and gives 500
// unless the answer had started.
template <typename step_fn> int guarded(http_request& request, step_fn step) {
    try {
        return step();
    } catch (const move_to_pool&) {
        throw;
    } catch (const std::exception& e) {
        cl::trace_out.write(cl::format_str("request failed: %?\n", e.what()));
    } catch (...) {
        cl::trace_out.write("request failed\n");
    }
    // An answer that had started cannot be replaced by an error page.
    if (request.headers_sent) return 0;
    return 500;
}

} // namespace

int resume_request(http_get_request& request) {
    return guarded(request, [&] {
        // The loop's thread was impersonated for the look-up; the rest runs
        // as the configured user here too.
        if (!impersonate_request_user(*request.info->config)) return 403;
        return request.resume();
    });
}

int run_request(http_request& request, const request_queue_handle& queue,
                std::shared_ptr<http_request_data> data, cl::sh_ptr<req_info> info,
                bool impersonate) {
    return guarded(request, [&] {
        request.queue = queue;
        request.data = std::move(data);
        if (!info) {
            info = cl::make_sh<req_info>();
            if (request.data) info->config = fallback_config(*request.data);
        }
        if (!info->data) info->data = request.data.get();
        if (!info->config) info->config.reset(new config_info());
        request.info = std::move(info);
        config_info& config = *request.info->config;

        // A log-on reads the user files and a request mutex may be held by
        // a long request: work for a pool thread.
        if ((impersonate && !config.user.empty() && !cl::iequals_w(config.user, L"anonymous")) ||
            !config.lock_file.empty())
            the_http_server().before_blocking();
        if (impersonate && !impersonate_request_user(config)) return 403;

        if (!config.lock_file.empty())
            request.request_mutex = named_mutex::create(
                std::wstring(request_mutex_prefix) + config.lock_file, &request, true);

        set_request_variables(request);
        return request.handle();
    });
}

void script_timing_start(const std::string& name) {
    const int64_t now = now_microseconds();
    std::lock_guard<std::mutex> hold(timing_lock);
    timing_entry& entry = timing_table()[name];
    entry.running = true;
    entry.start_us = now;
}

uint64_t script_timing_stop(const std::string& name) {
    const int64_t now = now_microseconds();
    std::lock_guard<std::mutex> hold(timing_lock);
    auto it = timing_table().find(name);
    if (it == timing_table().end() || !it->second.running) return 0;
    it->second.running = false;
    return static_cast<uint64_t>(now - it->second.start_us);
}
