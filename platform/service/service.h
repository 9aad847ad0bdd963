// The service manager, systemd style. A service process is one that the
// manager started with $NOTIFY_SOCKET set: it reports its state there
// ("READY=1" once running, "STOPPING=1" when it begins to stop), and the
// manager's stop request is SIGTERM. Installing writes a unit file and hands
// it to the manager through systemctl; removing stops it and deletes the file.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace service {

constexpr uint32_t service_win32_own_process = 0x10;
constexpr uint32_t service_win32 = 0x30;
constexpr uint32_t service_stopped = 1;
constexpr uint32_t service_start_pending = 2;
constexpr uint32_t service_stop_pending = 3;
constexpr uint32_t service_running = 4;
constexpr uint32_t service_accept_stop = 1;
constexpr uint32_t service_accept_sessionchange = 0x80;
constexpr uint32_t control_stop = 1;
constexpr uint32_t control_interrogate = 4;
constexpr uint32_t control_sessionchange = 14;

constexpr uint32_t error_file_not_found = 2;
constexpr uint32_t error_access_denied = 5;
constexpr uint32_t error_service_does_not_exist = 1060;
constexpr uint32_t error_service_request_timeout = 1053;
constexpr uint32_t error_failed_service_controller_connect = 1063;

struct service_status {
    uint32_t service_type = 0;
    uint32_t current_state = 0;
    uint32_t controls_accepted = 0;
    uint32_t win32_exit_code = 0;
    uint32_t service_specific_exit_code = 0;
    uint32_t check_point = 0;
    uint32_t wait_hint = 0;
};

using control_handler = std::function<uint32_t(uint32_t control, uint32_t event_type)>;

// Sends one message to $NOTIFY_SOCKET; false when there is none or it fails.
bool notify(const std::string& text);
// Whether the process was started by a service manager.
bool started_by_manager();

// Runs the service: calls main on a thread of its own and answers the
// manager's stop request (SIGTERM or SIGINT, which the caller has blocked in
// every thread) by calling the handler with control_stop on the calling
// thread. Returns once a stop has been handled and the status is stop-pending
// or stopped. False at once with error 1063 when no manager started us.
bool start_dispatcher(const std::function<void()>& main, uint32_t& error);
// The handler of the running service; false when no dispatcher runs.
bool register_handler(control_handler handler);
// Reports the status to the manager: running is "READY=1", stop-pending and
// stopped are "STOPPING=1" (once), each with a STATUS line.
bool set_status(const service_status& s);

// Installation.
struct manager_config {
    std::string systemctl = "systemctl";
    std::string unit_dir = "/etc/systemd/system";
    // Exists while systemd runs.
    std::string runtime_dir = "/run/systemd/system";
};
manager_config& manager();

// False with the error when the manager does not run or cannot be reached.
bool open_manager(uint32_t& error);
bool service_installed(const std::string& name);
// Writes the unit file (whole or not at all) and reloads the manager.
bool create_service(const std::string& name, const std::string& display_name,
                    const std::string& command_line, uint32_t& error);
bool set_description(const std::string& name, const std::string& description, uint32_t& error);
bool start_service(const std::string& name, uint32_t& error);
bool control_stop_service(const std::string& name, uint32_t& error);
// The state as service_stopped ... service_running; false when unknown.
bool query_state(const std::string& name, uint32_t& state);
bool delete_service(const std::string& name, uint32_t& error);
std::string unit_path(const std::string& name);

// Runs a program with the arguments (no shell) and waits; its exit code, or
// -1 when it could not be started.
int run_program(const std::string& program, const std::vector<std::string>& args);

} // namespace service
