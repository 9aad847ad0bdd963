#include "shell/daemon_wnd.h"

#include "core/format.h"
#include "core/hrtime.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/gui/shell_ui.h"
#include "shell/desktop.h"
#include "shell/globals.h"
#include "shell/instance.h"
#include "shell/language.h"
#include "shell/startup.h"
#include "system/system_helpers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <ifaddrs.h>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <thread>

_daemon_wnd* g_daemon_wnd = nullptr;
uint32_t g_wm_context = 0;
uint32_t g_wm_signal_dispids = 0;

namespace {

_main_menu_class& main_menu() {
    static _main_menu_class m;
    return m;
}
_languages_menu_class& languages_menu() {
    static _languages_menu_class m;
    return m;
}

std::atomic<void (*)(gui::lparam)> g_dispids_handler{nullptr};
gui::remote_endpoint g_endpoint;
std::thread g_signal_thread;
std::atomic<bool> g_signal_watch{false};
// A daemon window destroyed while it handled a message of its own, kept
// until its loop has returned.
std::unique_ptr<_daemon_wnd> g_retired_wnd;

void run_setup(const char* which) {
    const std::string prog = cl::utf16_to_utf8(g_install_dir) + "setup";
    if (!sys::run_process({prog, which}, std::string(), false, false))
        cl::trace_out.write(cl::format_str("unable to start %? %?\n", prog, which));
}

std::wstring local_addresses() {
    std::wstring v4, v6;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return L"";
    std::vector<std::string> seen4, seen6;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || (a->ifa_flags & IFF_LOOPBACK)) continue;
        char buf[INET6_ADDRSTRLEN] = {};
        const std::string name = a->ifa_name ? a->ifa_name : "";
        if (a->ifa_addr->sa_family == AF_INET) {
            if (std::find(seen4.begin(), seen4.end(), name) != seen4.end()) continue;
            seen4.push_back(name);
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, buf,
                      sizeof buf);
            v4 += cl::format_wstr(L"IPv4 Address: %? (%?)\n", std::string(buf), name);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            if (std::find(seen6.begin(), seen6.end(), name) != seen6.end()) continue;
            seen6.push_back(name);
            const auto* b = reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr.s6_addr;
            std::wstring t;
            for (int i = 0; i < 8; ++i)
                t += cl::format_wstr(i ? L":%x" : L"%x", (b[2 * i] << 8) | b[2 * i + 1]);
            v6 += cl::format_wstr(L"IPv6 Address: %? (%?)\n", t, name);
        }
    }
    ::freeifaddrs(list);
    return v4.empty() ? v6 : v4 + L"\n" + v6;
}

} // namespace

_tb_icon_class& tb_icon() {
    static _tb_icon_class icon;
    return icon;
}

gui::lresult _daemon_wnd::window_proc(uint32_t message, gui::wparam wp, gui::lparam lp) {
    if (message == gui::wm_close) {
        gui::post_quit_message(0);
    } else if (message == gui::wm_rbuttondown) {
        gui::post_message(handle(), g_wm_context, wp, lp);
    } else if (message == g_wm_context && g_wm_context) {
        // The configuration programs the menu starts read the current file.
        g_global_ini.flush();
        main_menu().build(handle());
    } else if (message == g_wm_signal_dispids && g_wm_signal_dispids) {
        if (auto h = g_dispids_handler.load()) h(lp);
    }
    return shell::window::window_proc(message, wp, lp);
}

void _daemon_wnd::on_quit() {
    close_server();
}

void _tb_icon_class::on_left_down(gui::wparam, gui::lparam) {
    if (g_daemon_wnd) g_daemon_wnd->dispatch(gui::wm_rbuttondown, 0, 0);
}

void _tb_icon_class::on_context(gui::wparam wp, gui::lparam lp) {
    on_left_down(wp, lp);
}

void _main_menu_class::build(gui::hwnd owner) {
    clear();
    create_menu();
    add_item(gui::mf_string, g_version_title, [] {
        std::wstring caption;
        shell::message_box(caption, 0, about_text(), 0x40);
    });
    add_item(gui::mf_string, ml_text("mainurl_name"),
             [] { open_url(ml_text("teskqvel_mainurl")); });
    gui::set_menu_default_item(menu(), uint32_t(gui::get_menu_item_count(menu()) - 1));
    add_separator();
    add_item(gui::mf_string, ml_text("show_home_dir"), [] { open_server_url(L""); });
    add_item(gui::mf_string, ml_text("current_connections"),
             [] { open_server_url(L"/users/connections.htm"); });
    add_item(gui::mf_string, ml_text("publish_file"), [] {
        cl::trace_out.write("publish_file.tkhta: there is no host for HTML applications here\n");
    });
    add_item(gui::mf_string, ml_text("settings"), [] { run_setup("-config"); });
    add_item(gui::mf_string, ml_text("connectivity_test"), [] { run_setup("-connectivity"); });
    add_item(gui::mf_string, ml_text("user_administration"),
             [] { open_server_url(L"/users/index.htm"); });
    add_separator();
    add_item(gui::mf_string, ml_text("upgrade"), [] { open_url(ml_text("teskqvel_updateurl")); });
    // The sub-menu keeps the record that names it; its old items go here.
    languages_menu().clear();
    add_built_submenu(languages_menu(), ml_text("select_language"), owner);
    add_item(gui::mf_string, ml_text("end_program"), [] { end_program(); });
    track(owner);
}

void _languages_menu_class::build(gui::hwnd) {
    create_menu();
    list_ = language_file_list();
    if (!enumerate_language_files(language_main_file(), language_file_pattern(), list_)) {
        add_item(gui::mf_string, L"none", [] {});
        return;
    }
    for (const auto& l : list_.languages) {
        if (l.langids.empty()) continue;
        const uint16_t id = l.langids[0];
        add_item(gui::mf_string, l.name, [id] { select_language(id); });
        if (id == g_fulllangid)
            gui::set_menu_default_item(menu(), uint32_t(gui::get_menu_item_count(menu()) - 1));
    }
    const std::wstring translator = ml_text("translator_name");
    if (!translator.empty()) {
        add_separator();
        text_ = ml_text("translator_msg");
        add_item(gui::mf_string, L"translator " + translator, [this] {
            if (text_.empty()) return;
            std::wstring caption;
            shell::message_box(caption, 0, text_, 0);
        });
    }
    add_separator();
    add_item(gui::mf_string, ml_text("other_languages"),
             [] { open_url(ml_text("teskqvel_langurl")); });
}

bool create_daemon_window() {
    uintptr_t normal =
        shell::taskbar_icon::load_icon(g_install_dir + L"teskqvel_sm.ico", true, true, false);
    if (!normal) normal = shell::taskbar_icon::load_icon(L"IDI_ICONSM", false, true, false);
    uintptr_t active = shell::taskbar_icon::load_icon(g_install_dir + L"teskqvel_sm_active.ico",
                                                      true, true, false);
    if (!active) active = shell::taskbar_icon::load_icon(L"IDI_ICONSM_ACTIVE", false, true, false);

    g_daemon_wnd = new _daemon_wnd;
    if (!g_daemon_wnd->create(g_window_title, daemon_class_name)) return false;
    g_wm_context = g_daemon_wnd->register_message("wm_context");
    g_wm_signal_dispids = g_daemon_wnd->register_message("wm_signal_dispids");
    tb_icon().create(g_daemon_wnd, g_window_title, nullptr, 2, false);
    tb_icon().icons()[0] = normal;
    tb_icon().icons()[1] = active;
    tb_icon().notify(0);
    main_menu().attach(*g_daemon_wnd);
    if (!g_endpoint.open(window_socket_path(g_data_dir)))
        cl::trace_out.write("the window cannot be reached by other copies\n");
    cl::trace_out.write("daemon window created\n");
    return true;
}

void show_closing_balloon() {
    if (!g_daemon_wnd) return;
    tb_icon().balloon(g_window_title, ml_text("closing_server"), 60000);
}

void remove_tray_icon() {
    if (g_daemon_wnd) tb_icon().notify(shell::taskbar_icon::not_shown);
}

void destroy_daemon_window() {
    g_endpoint.close();
    if (!g_daemon_wnd) return;
    // Unhooked before the window goes: they are process-wide objects.
    g_daemon_wnd->remove_hook(&tb_icon());
    g_daemon_wnd->remove_hook(&main_menu());
    if (g_daemon_wnd->dispatching()) {
        // The shut-down runs inside one of the window's own messages (the
        // end of the session): the window goes now, the object once its
        // handler and the loop have returned.
        g_daemon_wnd->destroy();
        g_daemon_wnd->request_quit();
        g_retired_wnd.reset(g_daemon_wnd);
    } else {
        delete g_daemon_wnd;
    }
    g_daemon_wnd = nullptr;
    cl::trace_out.write("daemon window destroyed\n");
}

void run_daemon_window_loop() {
    // The loop ends with the shut-down (the window's on_quit).
    if (g_daemon_wnd) g_daemon_wnd->message_loop();
    g_retired_wnd.reset();
}

bool post_to_daemon_window(uint32_t message, gui::wparam wp, gui::lparam lp) {
    // By class, so a thread that posts while the window goes finds nothing.
    return gui::post_message(gui::find_window(daemon_class_name), message, wp, lp);
}

void set_signal_dispids_handler(void (*handler)(gui::lparam)) {
    g_dispids_handler = handler;
}

bool post_signal_dispids(gui::lparam list) {
    return post_to_daemon_window(g_wm_signal_dispids, 0, list);
}

void show_script_balloon(const std::wstring& title, const std::wstring& text,
                         const std::wstring& url_path) {
    if (!g_daemon_wnd) return;
    auto* path = new std::wstring(url_path);
    tb_icon().balloon(
        title, text, 60000,
        [](void* p) {
            std::unique_ptr<std::wstring> owned(static_cast<std::wstring*>(p));
            open_server_url(*owned);
        },
        path);
}

void show_tray_balloon(const std::wstring& title, const std::wstring& text,
                       const std::wstring& url_path) {
    show_script_balloon(title, text, url_path);
}

namespace {
// The clipboard outlives a run ("-publish" ends at once): it is kept in the
// program-data directory.
void use_clipboard_store() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!g_data_dir.empty())
            gui::set_clipboard_store(cl::utf16_to_utf8(g_data_dir) + "clipboard.txt");
    });
}
} // namespace

bool clipboard_get_text(std::string& text) {
    use_clipboard_store();
    return gui::get_clipboard_text(text);
}

bool clipboard_set_text(const std::string& text) {
    use_clipboard_store();
    return gui::set_clipboard_text(text);
}

void report_bind_problem(bool ipv6) {
    gui::message_box(0, ml_text(ipv6 ? "ipv6_bind_problem" : "ipv4_bind_problem"), g_window_title,
                     0);
}

void select_language(uint16_t langid) {
    if (load_program_languages(langid)) {
        g_global_ini.write_value(L"All", L"fulllangid", std::to_wstring(langid));
        g_global_ini.flush();
    } else {
        gui::message_box(0, L"Error selecting language", g_window_title, 0);
    }
    restart_program();
}

void restart_program() {
    g_restart = true;
    gui::post_message(gui::find_window(daemon_class_name), gui::wm_close, 0, 0);
}

void end_program() {
    g_restart = false;
    gui::post_message(gui::find_window(daemon_class_name), gui::wm_close, 0, 0);
}

void open_url(const std::wstring& url) {
    cl::trace_out.write_w(L"open url: " + url + L"\n");
    if (!sys::open_url(cl::utf16_to_utf8(url)))
        cl::trace_out.write(cl::format_str("unable to start %?\n", sys::url_opener()));
}

void open_server_url(const std::wstring& path) {
    const int32_t port = g_global_ini.get_int(L"param", L"server_port", 80);
    std::wstring p = path;
    if (p.empty() || p[0] != L'/') p = L"/" + p;
    open_url(cl::format_wstr(L"http://127.0.0.1:%?%?", port, p));
}

std::wstring about_text() {
    std::wstring t = g_window_title + L".2407\n\nTesk Qvelora\n\nWeb site: " +
                     ml_text("teskqvel_mainurl") + L"\n\n" + ml_text("install_dir") +
                     g_install_dir + L"\n\n" + local_addresses();
    return t;
}

std::string window_socket_path(const std::wstring& data_dir) {
    return cl::utf16_to_utf8(data_dir) + "window.sock";
}

bool close_running_window(const std::wstring& data_dir, uint32_t timeout_ms) {
    const std::string path = window_socket_path(data_dir);
    const uint32_t start = cl::get_tick_count();
    bool reached = false;
    for (;;) {
        const gui::remote_result r = gui::remote_post(path, daemon_class_name, gui::wm_close, 0, 0);
        reached = reached || r == gui::remote_result::posted;
        // Nobody listening means "gone" only when no copy holds the data
        // directory's lock, or once our message has reached its window.
        if (r == gui::remote_result::no_window ||
            (r == gui::remote_result::no_listener && (reached || !instance_running(data_dir))))
            return true;
        if (cl::get_tick_count() - start >= timeout_ms) {
            if (!reached) cl::trace_out.write("the running copy cannot be reached\n");
            return false;
        }
        cl::sleep_ms(100);
    }
}

void start_stop_signal_watch() {
    g_signal_watch = true;
    g_signal_thread = std::thread([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        while (g_signal_watch) {
            timespec ts{0, 200 * 1000 * 1000};
            const int sig = sigtimedwait(&set, nullptr, &ts);
            if (sig <= 0) continue;
            cl::trace_out.write(cl::format_str("stop signal %?\n", sig));
            post_to_daemon_window(gui::wm_close, 0, 0);
        }
    });
}

void stop_stop_signal_watch() {
    g_signal_watch = false;
    if (g_signal_thread.joinable()) g_signal_thread.join();
}
