// The daemon window: the program's one hidden top-level window. It owns the
// tray icon and its menus, carries messages of other threads and of other
// copies (through its socket in the program-data directory) to the thread
// that owns it, and its WM_CLOSE ends the program.
#pragma once
#include "platform/gui/remote.h"
#include "shell/ml.h"
#include "shell/popup_menu.h"
#include "shell/taskbar_icon.h"
#include "shell/window.h"

#include <cstdint>
#include <string>

inline const wchar_t* const daemon_class_name = L"TESKqvel_CLASS";

class _daemon_wnd : public shell::window {
  public:
    gui::lresult window_proc(uint32_t message, gui::wparam wp, gui::lparam lp) override;
    void on_quit() override;
};

class _tb_icon_class : public shell::taskbar_icon {
  public:
    void on_left_down(gui::wparam, gui::lparam) override;
    void on_context(gui::wparam, gui::lparam) override;
};

class _languages_menu_class : public shell::popup_menu {
  public:
    void build(gui::hwnd owner) override;

  private:
    language_file_list list_;
    std::wstring text_;
};

class _main_menu_class : public shell::popup_menu {
  public:
    void build(gui::hwnd owner) override;
};

extern _daemon_wnd* g_daemon_wnd;
extern uint32_t g_wm_context;
extern uint32_t g_wm_signal_dispids;
_tb_icon_class& tb_icon();

// Creates the window with its tray icon and menus on the calling thread,
// and opens the socket through which other copies reach it.
bool create_daemon_window();
// Shut-down steps: the closing balloon, the tray icon removed, the window
// destroyed (on its own thread) and its socket closed.
void show_closing_balloon();
void remove_tray_icon();
void destroy_daemon_window();
// Runs the daemon window's message loop on the calling thread until the
// shut-down, then frees whatever of the window is left.
void run_daemon_window_loop();

bool post_to_daemon_window(uint32_t message, gui::wparam wp, gui::lparam lp);
// The media server's state changes, handled on the window's thread.
void set_signal_dispids_handler(void (*handler)(gui::lparam));
bool post_signal_dispids(gui::lparam list);
void show_script_balloon(const std::wstring& title, const std::wstring& text,
                         const std::wstring& url_path);
void report_bind_problem(bool ipv6);

// Menu commands.
void select_language(uint16_t langid);
void restart_program();
void end_program();
void open_url(const std::wstring& url);
void open_server_url(const std::wstring& path);
std::wstring about_text();

// The socket of the running copy's window in a program-data directory.
std::string window_socket_path(const std::wstring& data_dir);
// "-d": posts WM_CLOSE to the running copy's window every 100 ms until it
// is gone or the time is up; true when no copy's window is left.
bool close_running_window(const std::wstring& data_dir, uint32_t timeout_ms);

// Stop signals (SIGINT, SIGTERM, blocked in every thread) close the daemon
// window while the desktop loop runs.
void start_stop_signal_watch();
void stop_stop_signal_watch();
