// The program's entry point: brings the system up in a fixed order, waits
// until it is asked to stop, and takes it down again in the reverse order.
#include "core/folders.h"
#include "core/format.h"
#include "core/hrtime.h"
#include "core/os_version.h"
#include "core/static_objects.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/trace_sinks.h"
#include "dav/dav_requests.h"
#include "dav/locks.h"
#include "media/capture_streams.h"
#include "platform/service/service.h"
#include "platform/xml/xml.h"
#include "scripting/script_files.h"
#include "scripting/scripting_host.h"
#include "server/script_host.h"
#include "server/server_settings.h"
#include "server/server_start.h"
#include "shell/command_line.h"
#include "shell/daemon_wnd.h"
#include "shell/globals.h"
#include "shell/instance.h"
#include "shell/language.h"
#include "shell/media_sharing.h"
#include "shell/publish.h"
#include "shell/service_mode.h"
#include "shell/startup.h"
#include "shell/system_integration.h"
#include "system/crash_handler.h"

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace {

// The program's shared caption: empty at first, so the program's file name.
std::wstring g_caption;

void message_box(const std::wstring& text, uint32_t style = 0) {
    shell::message_box(g_caption, 0, text, style);
}

// The signals that stop the program are taken by the main thread only: they
// are blocked here, before any other thread starts, so every thread inherits
// the mask, and the main thread waits for them with sigwait.
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The full path of the program's own file.
std::wstring program_file() {
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? cl::get_module_dir() + g_program_name : p.wstring();
}

// The new copy runs the program's own file under the name it was started
// by, so it is known by that name (ps, pgrep, the service manager) as the
// old one was; the process link serves only when the file has gone.
void start_new_copy(const char* argv0) {
    std::string file = cl::utf16_to_utf8(program_file());
    if (file.empty() || ::access(file.c_str(), X_OK) != 0) file = "/proc/self/exe";
    std::string name = argv0 && *argv0 ? argv0 : file;
    char* const args[] = {name.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, file.c_str(), nullptr, nullptr, args, environ) != 0)
        cl::trace_out.write("the new copy cannot be started\n");
}

// What the server reads from the shell before it starts.
void hand_over_to_server() {
    shell_values& v = shell_settings();
    v.install_dir = g_install_dir;
    v.data_dir = g_data_dir;
    v.global_ini = &g_global_ini;
    v.product_name = g_product_name;
    v.master_password = g_master_pwd;
    v.enable_media_server = g_enable_media_server;
    v.dump_request_body = g_dump_request_body;
    v.enable_script_debugging = g_enable_script_debugging;
    v.func_trace = g_func_trace;
}

int run(int argc, char** argv) {
    install_crash_handler_first();

    const std::wstring command_line = join_command_line(argc, argv);
    const command_switches switches = parse_switches(command_line);
    if (switches.mbox) message_box(L"started");

    if (!os_version::instance().is_nt5) {
        message_box(L"This program requires " + std::wstring(required_os_name()) + L" or later",
                    0x2010);
        return 1;
    }

    find_directories();
    open_global_ini();
    init_trace();

    if (first_ending_switch(switches) == ending_switch::close_running)
        return close_running_window(g_data_dir, 3000) ? 0 : 1;

    g_fulllangid = uint32_t(g_global_ini.get_int(L"all", L"fulllangid", 1033));
    if (!load_program_languages(uint16_t(g_fulllangid))) {
        message_box(L"Fatal error in multilingual support!", 0x2010);
        return 1;
    }
    ml_table().set_placeholder(L"p", g_product_name);
    set_crash_texts_from_language();

    switch (first_ending_switch(switches)) {
    case ending_switch::publish:
        return publish_file(switches.publish_text);
    case ending_switch::start_service:
        return install_service(g_program_name, L"teskqvel web server", ml_text("service_desc"),
                               L"\"" + program_file() + L"\" -service",
                               service::service_win32_own_process, true)
                   ? 0
                   : 1;
    case ending_switch::stop_service:
        // A failed removal is a failure the caller should see.
        return install_service(g_program_name, L"", L"", L"", 0, false) ? 0 : 1;
    default:
        break;
    }
    if (switches.script_debugging) g_enable_script_debugging = true;
    if (switches.dump_request_body) g_dump_request_body = true;
    if (switches.service) g_service_mode = true;

    if (is_already_loaded()) return 0;

    g_master_pwd = init_master_pwd(g_data_dir);
    // GDI+: not part of this build.
    read_global_settings();
    // Mail component registration and COM: not part of this build.

    // The server calls up into the scripting host only through the interface
    // it owns; this is where the two meet. The host lives until the process ends.
    static scripting::scripting_host host(g_global_ini);
    set_script_host(&host);
    static scripting::script_files script_files(g_global_ini);
    set_script_file_factory(&script_files);
    add_dav_methods();
    install_lock_tokens();
    media::install_capture_streams();
    media::stream_listener::set_bind_problem_handler(report_bind_problem);
    // The XML parser's global tables are built here, on the main thread,
    // before the pool threads that parse request bodies exist.
    xml::init_parser();
    hand_over_to_server();
    prepare_system_integration();
    server_start();

    if (g_service_mode) {
        const int rc = run_service_mode();
        stop_lock_expiry_timer();
        return rc;
    }

    create_daemon_window();
    start_media_sharing();
    start_port_forwarding();
    signal_server_ready();
    start_stop_signal_watch();
    run_daemon_window_loop();
    stop_stop_signal_watch();
    stop_lock_expiry_timer();

    if (g_restart) {
        cl::trace_out.write("restarting...\n");
        cl::sleep_ms(1000);
        start_new_copy(argc > 0 ? argv[0] : nullptr);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A reader that went away (a closed trace pipe, a CGI child) is an error
    // of that one write, never the end of the server.
    std::signal(SIGPIPE, SIG_IGN);
    // The crash watchdog is forked while this is the only thread.
    sys::start_crash_watchdog();

    // The program's own trace defaults, set before the library wires its
    // sinks: milliseconds as "~%03?", and no separator rule on the net channel.
    cl::trace_prefix_settings().ms_format = "~%03?";
    cl::trace_prefix_settings().separator = false;
    cl::library_init();

    int rc = 0;
    try {
        rc = run(argc, argv);
    } catch (const std::exception& e) {
        cl::trace_err.write(cl::format_str("fatal: %?\n", e.what()));
        rc = 1;
    }
    cl::library_shutdown();
    return rc;
}
