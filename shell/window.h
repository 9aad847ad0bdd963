// The window framework: a window object bound to one window of the gui
// layer, message hooks that see a message before the window does, window-
// private message numbers by name, and the message loop of the thread that
// owns the window.
#pragma once
#include "platform/gui/gui.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace shell {

class window;

class msg_hook {
  public:
    virtual ~msg_hook() = default;
    // The message's result; sets handled when nothing else may see it.
    virtual gui::lresult hook(uint32_t message, gui::wparam wp, gui::lparam lp, bool& handled) = 0;
    window* hooked_window() const { return window_; }

  private:
    friend class window;
    window* window_ = nullptr;
};

// The dispatcher's own messages.
constexpr uint32_t wm_show = 0x800;
constexpr uint32_t wm_hide = 0x801;
constexpr uint32_t first_private_message = 2051;

class window {
  public:
    static constexpr uint32_t live_signature = 0xab494001;

    window();
    virtual ~window();
    window(const window&) = delete;
    window& operator=(const window&) = delete;

    bool create(const std::wstring& title, const std::wstring& class_name);
    // Destroys the window and detaches every hook.
    void destroy();
    void add_hook(msg_hook* hook, uint32_t message);
    void remove_hook(msg_hook* hook);
    uint32_t register_message(const std::string& name);
    gui::lresult dispatch(uint32_t message, gui::wparam wp, gui::lparam lp);
    // Runs the calling thread's loop until WM_QUIT or a quit request, then
    // on_quit. Nothing of the object is touched after on_quit, which may
    // delete it.
    void message_loop();
    void request_quit() { quit_requested_ = true; }
    // True while one of the window's messages is being handled: the object
    // must outlive that handler, so its owner destroys it only later.
    bool dispatching() const { return dispatch_depth_ > 0; }
    gui::hwnd handle() const { return wnd_; }
    uint32_t signature() const { return signature_; }

    virtual gui::lresult window_proc(uint32_t message, gui::wparam wp, gui::lparam lp);
    virtual bool hit_test(int x, int y, int kind);
    virtual void on_popup(bool shown);
    virtual void on_quit();
    virtual void on_paint();
    virtual bool pre_dispatch(const gui::msg& m);
    virtual bool consume_test(int x, int y, int kind);
    virtual void on_drag_end();
    virtual bool flag() const { return flag_; }

  private:
    uint32_t signature_ = live_signature;
    std::multimap<uint32_t, msg_hook*> hooks_;
    std::vector<std::string> message_names_;
    bool quit_requested_ = false;
    int dispatch_depth_ = 0;
    gui::hwnd wnd_ = 0;
    bool flag_ = false;
    bool end_session_off_ = false;
    window* parent_ = nullptr;
};

// A message box; an empty caption becomes the program's file name.
int message_box(std::wstring& caption, gui::hwnd owner, const std::wstring& text, uint32_t style,
                int icon_id = 0);

} // namespace shell
