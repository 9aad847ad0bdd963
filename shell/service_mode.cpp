#include "shell/service_mode.h"

#include "core/format.h"
#include "core/hrtime.h"
#include "core/sync.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/service/service.h"
#include "shell/daemon_wnd.h"
#include "shell/globals.h"
#include "shell/media_sharing.h"
#include "shell/startup.h"

#include <mutex>
#include <thread>

namespace {

service::service_status g_status;
std::thread g_service_thread;
cl::event g_service_done_event;
// How long the main thread waits for the service thread's shut-down before
// it goes on without it: a stop must end.
constexpr uint32_t service_done_timeout_ms = 30000;

const char* state_name(uint32_t s) {
    switch (s) {
    case service::service_stopped:
        return "stopped";
    case service::service_start_pending:
        return "start pending";
    case service::service_stop_pending:
        return "stop pending";
    case service::service_running:
        return "running";
    default:
        return "unknown";
    }
}

// The handler (on the dispatcher's thread) and the service thread both
// change the status.
std::recursive_mutex g_status_lock;

void report() {
    std::lock_guard lk(g_status_lock);
    service::set_status(g_status);
}

void report_stopping() {
    std::lock_guard lk(g_status_lock);
    if (g_status.current_state == service::service_stop_pending ||
        g_status.current_state == service::service_stopped)
        return;
    g_status.win32_exit_code = 0;
    g_status.check_point = 0;
    g_status.current_state = service::service_stop_pending;
    g_status.wait_hint = service_done_timeout_ms;
    report();
}

uint32_t service_handler_ex(uint32_t control, uint32_t) {
    if (g_func_trace > 1) cl::trace_out.write(cl::format_str("srv: HandlerEx 0x%x\n", control));
    std::lock_guard lk(g_status_lock);
    g_status.check_point = 0;
    g_status.wait_hint = 0;
    switch (control) {
    case service::control_stop:
        // Stopped is reported only once the shut-down has run: until then
        // the service is stopping.
        g_status.win32_exit_code = 0;
        g_status.current_state = service::service_stop_pending;
        g_status.wait_hint = service_done_timeout_ms;
        break;
    case service::control_interrogate:
        break;
    default:
        cl::trace_out.write(cl::format_str("unknown service control %?\n", control));
        report();
        return 120;
    }
    report();
    return 0;
}

void service_thread() {
    start_media_sharing();
    create_daemon_window();
    signal_server_ready();
    cl::trace_out.write("service: start loop\n");
    run_daemon_window_loop();
    cl::trace_out.write("service: end loop\n");
    // The window ended on its own ("-d", the menu's End): the service ends
    // with it, as after the manager's stop, rather than stay without a server.
    report_stopping();
    stop_media_sharing();
    g_service_done_event.set();
}

void service_main() {
    cl::trace_out.write("srv: service_start\n");
    g_status = service::service_status{};
    if (!service::register_handler(service_handler_ex)) {
        cl::trace_out.write("RegisterServiceCtrlHandlerEx error 6\n");
        return;
    }
    // Running is told before a service thread that ends at once can tell
    // that it stops.
    std::lock_guard lk(g_status_lock);
    g_status.service_type = service::service_win32;
    g_status.current_state = service::service_start_pending;
    g_status.controls_accepted =
        service::service_accept_stop | service::service_accept_sessionchange;
    if (!service::set_status(g_status)) cl::trace_out.write("1: SetServiceStatus error 6\n");
    g_service_thread = std::thread(service_thread);
    g_status.check_point = 0;
    g_status.wait_hint = 0;
    g_status.current_state = service::service_running;
    if (!service::set_status(g_status)) cl::trace_out.write("2: SetServiceStatus error 6\n");
}

} // namespace

int run_service_mode() {
    uint32_t error = 0;
    if (!service::start_dispatcher(service_main, error)) {
        cl::trace_out.write(cl::format_str("StartServiceCtrlDispatcher error %?\n", error));
        close_server();
        return 1;
    }
    cl::trace_out.write("waiting for service proc...\n");
    // The window may not exist yet when the stop came early: post until the
    // thread is done, within the bound.
    const uint32_t start = cl::get_tick_count();
    bool posted = false;
    while (g_service_done_event.wait(100) != win32::wait_object_0) {
        if (!posted) posted = post_to_daemon_window(gui::wm_close, 0, 0);
        if (cl::get_tick_count() - start >= service_done_timeout_ms) break;
    }
    const bool done = g_service_done_event.wait(0) == win32::wait_object_0;
    cl::trace_out.write(done ? "...done\n" : "...service proc did not end in time\n");
    if (done && g_service_thread.joinable())
        g_service_thread.join();
    else if (g_service_thread.joinable())
        g_service_thread.detach();
    close_server();
    g_status.current_state = service::service_stopped;
    g_status.wait_hint = 0;
    report();
    return done ? 0 : 1;
}

bool install_service(const std::wstring& name_w, const std::wstring& display_name,
                     const std::wstring& description, const std::wstring& image_path, uint32_t,
                     bool install) {
    const std::string name = cl::utf16_to_utf8(name_w);
    cl::trace_out.write(cl::format_str("%?nstalling service+ (%?)\n", install ? "I" : "Dei", name));
    uint32_t err = 0;
    bool ok = false;
    if (!service::open_manager(err)) {
        cl::trace_out.write(cl::format_str("OpenSCManager failed: %?\n", err));
        return false;
    }
    cl::trace_out.write("opening service+\n");
    const bool there = service::service_installed(name);
    if (install) {
        do {
            if (!there) {
                cl::trace_out.write("creating service+\n");
                if (!service::create_service(name, cl::utf16_to_utf8(display_name),
                                             cl::utf16_to_utf8(image_path), err)) {
                    cl::trace_out.write(cl::format_str("CreateService failed: %?\n", err));
                    break;
                }
                cl::trace_out.write("creating service-\n");
            } else {
                cl::trace_out.write("not creating service, service already there!\n");
            }
            service::set_description(name, cl::utf16_to_utf8(description), err);
            cl::trace_out.write("starting service+\n");
            if (!service::start_service(name, err)) {
                cl::trace_out.write(cl::format_str("StartService failed: %?\n", err));
                break;
            }
            cl::trace_out.write("starting service-\n");
            cl::trace_out.write("opening service-\n");
            ok = true;
        } while (false);
    } else if (!there) {
        ok = true;
    } else {
        do {
            cl::trace_out.write("stopping service\n");
            uint32_t state = 0;
            if (!service::query_state(name, state)) {
                cl::trace_out.write("Error querying service state\n");
                break;
            }
            cl::trace_out.write(cl::format_str("Service status is %?\n", state_name(state)));
            if (state != service::service_stopped) {
                if (state != service::service_stop_pending &&
                    !service::control_stop_service(name, err)) {
                    cl::trace_out.write("Error sending stop control to service\n");
                    break;
                }
                const uint32_t start = cl::get_tick_count();
                bool stopped = false;
                while (!stopped) {
                    if (!service::query_state(name, state)) {
                        cl::trace_out.write("Error querying service state\n");
                        break;
                    }
                    stopped = state == service::service_stopped;
                    if (stopped) break;
                    cl::sleep_ms(100);
                    if (cl::get_tick_count() - start > 10000) {
                        cl::trace_out.write("Timeout waiting for service stop\n");
                        break;
                    }
                }
                if (!stopped) {
                    cl::trace_out.write("stop_service failed: 258\n");
                    break;
                }
                cl::trace_out.write("Service is stopped now\n");
            }
            cl::trace_out.write("deleting service\n");
            if (!service::delete_service(name, err)) {
                cl::trace_out.write(cl::format_str("DeleteService failed: %?\n", err));
                break;
            }
            cl::trace_out.write("opening service-\n");
            ok = wait_service_deleted(name) == 0;
        } while (false);
        if (!ok) {
            const bool gone = service::delete_service(name, err);
            cl::trace_out.write(
                cl::format_str("service deleted manually, returns %?\n", gone ? "ok" : "error"));
        }
    }
    cl::trace_out.write(cl::format_str("%?nstalling service-\n", install ? "I" : "Dei"));
    uint32_t state = 0;
    if (service::query_state(name, state))
        cl::trace_out.write(cl::format_str("%? service: status %?, win32 exit code %?\n", name,
                                           state_name(state), 0));
    else
        cl::trace_out.write(cl::format_str("%?: service: status query failed\n", name));
    return ok;
}

int wait_service_deleted(const std::string& name) {
    int32_t budget = 30000;
    uint32_t step = 100;
    for (;;) {
        if (budget < 1) {
            cl::trace_out.write("service still there!\n");
            return 1;
        }
        cl::sleep_ms(step);
        budget -= int32_t(step);
        if (!service::service_installed(name)) {
            cl::trace_out.write("service deleted and gone\n");
            return 0;
        }
        step += 500;
    }
}
