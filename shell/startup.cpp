#include "shell/startup.h"

#include "core/folders.h"
#include "core/format.h"
#include "core/hrtime.h"
#include "core/ini_file.h"
#include "core/lcg_random.h"
#include "core/os_version.h"
#include "core/reg_key.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/trace_sinks.h"
#include "platform/win32/local_socket.h"
#include "server/server_start.h"
#include "shell/daemon_wnd.h"
#include "shell/globals.h"
#include "shell/instance.h"
#include "shell/media_sharing.h"
#include "shell/system_integration.h"
#include "system/crash_handler.h"

#include <atomic>
#include <sys/stat.h>

void find_directories() {
    if (!cl::get_install_dir(g_program_name, g_install_dir)) g_install_dir = cl::get_module_dir();
    g_data_dir = cl::get_common_app_data_dir(g_program_name);
}

void open_global_ini() {
    g_global_ini_path = g_data_dir + L"global.ini";
    g_global_ini.set_path(g_global_ini_path, false);
}

void init_trace() {
    auto& sink = cl::file_sink();
    if (!g_global_ini.get_bool(L"param", L"trace", true)) {
        cl::trace_out.remove(&sink);
        cl::trace_err.remove(&sink);
        cl::trace_net.remove(&sink);
        sink.drop_buffer(true);
    } else {
        sink.set_file_name(g_data_dir + L"trace.txt");
        const int32_t max_size = g_global_ini.get_int(L"param", L"max_trace_size", 67108864);
        // A negative size would wrap to a huge limit: it counts as no value.
        const uint32_t limit = uint32_t(max_size < 0 ? 67108864 : max_size) + 131072u;
        sink.set_old_file(g_data_dir + L"trace_old.txt", limit, 0);
        sink.set_sizes(4096, 67108864, 2048);
        sink.set_write_through(false);
        sink.set_time_flags(true, true);
        sink.rotate_if_larger(67108864);
        sys::crash_set_trace_file(g_data_dir + L"trace.txt");
    }
    cl::trace_out.write_w(L"install dir: " + g_install_dir + L"\n");
    cl::trace_out.write_w(L"program data dir: " + g_data_dir + L"\n");
}

bool is_already_loaded() {
    g_single_instance_mutex = take_instance_lock(g_data_dir, 1000);
    if (g_single_instance_mutex >= 0) return false;
    cl::trace_out.write("already loaded\n");
    return true;
}

std::string init_master_pwd(const std::wstring& data_dir) {
    const std::wstring ini_path = data_dir + L"master_pwd.ini";
    const std::wstring key_path = cl::company_key_path(g_program_name);
    cl::ini_file ini;
    ini.set_path(ini_path, false);
    std::string pwd = ini.get_narrow_string_or(L"param", L"master_pwd", std::string());
    bool write_file = false;
    if (pwd.empty()) {
        cl::reg_key key;
        if (key.open(0, key_path, registry::key_read)) {
            key.query_string(L"master_pwd", pwd);
            write_file = !pwd.empty();
        }
    } else {
        // No installer made the key here: create it rather than lose the copy.
        cl::reg_key key;
        if (key.create(key_path, 0, registry::reg_option_non_volatile, registry::key_write))
            key.set_string_a(L"master_pwd", pwd);
    }
    if (pwd.empty()) {
        pwd = cl::format_str("%x%?", machine_hash(false),
                             cl::current_unix_time(1) + int64_t(cl::lcg_random()));
        write_file = true;
    }
    if (write_file) {
        ini.write_value(L"param", L"master_pwd", cl::utf8_to_utf16(pwd));
        // The key protects stored passwords: only the owner may read it.
        ::chmod(cl::utf16_to_utf8(ini_path).c_str(), 0600);
    }
    return pwd;
}

void read_global_settings() {
    g_func_trace = g_global_ini.get_int(L"param", L"func_trace", g_func_trace);
    g_enable_port_forwarding = g_global_ini.get_bool(L"param", L"enable_port_forwarding", false);
    g_enable_media_server = g_global_ini.get_bool(L"param", L"enable_media_server", false);
}

std::string start_event_path(const std::wstring& data_dir) {
    return cl::utf16_to_utf8(data_dir) + "TeskQVel Start Event";
}

void signal_server_ready() {
    cl::trace_out.write("***teskqvel server ready***\n");
    cl::trace_out.flush();
    // An installer or another program that waits for the start has made the
    // event; the program never makes it.
    win32::set_named_event(start_event_path(g_data_dir));
}

void close_server() {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;
    show_closing_balloon();
    // In service mode the service thread stops it after its loop.
    if (!g_service_mode) stop_media_sharing();
    stop_port_forwarding();
    server_stop();
    remove_tray_icon();
    destroy_daemon_window();
    release_instance_lock(g_single_instance_mutex);
    g_global_ini.flush();
}
