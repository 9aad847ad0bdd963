#include "shell/window.h"

#include "core/folders.h"
#include "core/trace.h"
#include "core/trace_sinks.h"
#include "platform/gui/shell_ui.h"

namespace shell {

window::window() = default;

window::~window() {
    destroy();
    signature_ = 0;
}

bool window::create(const std::wstring& title, const std::wstring& class_name) {
    if (wnd_) return false;
    flag_ = false;
    wnd_ = gui::create_window(class_name, title,
                              [this](gui::hwnd, uint32_t m, gui::wparam wp, gui::lparam lp) {
                                  return dispatch(m, wp, lp);
                              });
    return wnd_ != 0;
}

void window::destroy() {
    for (auto& [m, h] : hooks_)
        h->window_ = nullptr;
    if (wnd_) {
        const gui::hwnd w = wnd_;
        wnd_ = 0;
        gui::destroy_window(w);
    }
    hooks_.clear();
}

void window::add_hook(msg_hook* hook, uint32_t message) {
    hooks_.emplace(message, hook);
    hook->window_ = this;
}

void window::remove_hook(msg_hook* hook) {
    for (auto it = hooks_.begin(); it != hooks_.end();)
        it = it->second == hook ? hooks_.erase(it) : std::next(it);
    hook->window_ = nullptr;
}

uint32_t window::register_message(const std::string& name) {
    for (size_t i = 0; i < message_names_.size(); ++i)
        if (message_names_[i] == name) return first_private_message + uint32_t(i);
    message_names_.push_back(name);
    return first_private_message + uint32_t(message_names_.size() - 1);
}

gui::lresult window::dispatch(uint32_t message, gui::wparam wp, gui::lparam lp) {
    struct depth_guard {
        int& d;
        explicit depth_guard(int& v) : d(v) { ++d; }
        ~depth_guard() { --d; }
    } depth(dispatch_depth_);
    // Hooks first, in the order they were added; copied, as a hook may
    // remove itself.
    std::vector<msg_hook*> hs;
    for (auto [it, end] = hooks_.equal_range(message); it != end; ++it)
        hs.push_back(it->second);
    for (msg_hook* h : hs) {
        bool handled = false;
        const gui::lresult r = h->hook(message, wp, lp, handled);
        if (handled) return r;
    }
    switch (message) {
    case wm_show:
        cl::trace_out.write(lp ? "window shown (foreground)\n" : "window shown\n");
        break;
    case wm_hide:
        cl::trace_out.write("window hidden\n");
        break;
    case gui::wm_paint:
        on_paint();
        return 0;
    case gui::wm_queryendsession:
        if (lp == 1) gui::post_quit_message(0);
        return 1;
    case gui::wm_endsession:
        if (parent_ || wp != 1 || end_session_off_) return 0;
        cl::trace_out.write("end session\n");
        if (lp == 1) gui::post_quit_message(0);
        on_quit();
        cl::file_sink().flush(true);
        return 0;
    case gui::wm_power:
        if (wp == 1) return 1;
        if (wp == 2) return 0;
        break;
    case gui::wm_initmenupopup:
        on_popup(true);
        break;
    case gui::wm_exitmenuloop:
        on_popup(false);
        break;
    default:
        break;
    }
    return window_proc(message, wp, lp);
}

void window::message_loop() {
    gui::msg m;
    for (;;) {
        const int r = gui::get_message(m);
        if (r == 0 || r == -1) break;
        if (pre_dispatch(m)) gui::dispatch_message(m);
        if (quit_requested_) break;
    }
    on_quit();
}

// This platform's windows have no default behaviour: closing one in
// particular never destroys it, so its owner decides when it goes.
gui::lresult window::window_proc(uint32_t, gui::wparam, gui::lparam) {
    return 0;
}
bool window::hit_test(int, int, int) {
    return false;
}
void window::on_popup(bool) {}
void window::on_quit() {}
void window::on_paint() {}
bool window::pre_dispatch(const gui::msg&) {
    return true;
}
bool window::consume_test(int, int, int) {
    return false;
}
void window::on_drag_end() {}

int message_box(std::wstring& caption, gui::hwnd owner, const std::wstring& text, uint32_t style,
                int) {
    if (caption.empty()) {
        // The program's own file name.
        caption = cl::get_module_dir();
        caption = caption.empty() ? L"Message" : caption + L"teskqvel";
    }
    return gui::message_box(owner, text, caption, style | 0x10000);
}

} // namespace shell
