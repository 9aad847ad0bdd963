#include "shell/taskbar_icon.h"

#include "core/format.h"
#include "core/hrtime.h"
#include "core/text.h"
#include "core/trace.h"

#include <atomic>
#include <map>
#include <mutex>

namespace shell {
namespace {

std::atomic<uint32_t> g_icon_counter{0};
std::mutex g_map_lock;
std::map<uint32_t, taskbar_icon*>& icon_map() {
    static auto* m = new std::map<uint32_t, taskbar_icon*>;
    return *m;
}

} // namespace

taskbar_icon::taskbar_icon() = default;

taskbar_icon::~taskbar_icon() {
    balloon_timer_.kill(true);
    if (current_ != not_shown) notify(not_shown);
    if (loaded_)
        for (auto i : icons_)
            if (i) gui::destroy_icon(i);
    if (hooked_window()) hooked_window()->remove_hook(this);
    std::lock_guard<std::mutex> lk(g_map_lock);
    for (auto it = icon_map().begin(); it != icon_map().end();)
        it = it->second == this ? icon_map().erase(it) : std::next(it);
}

bool taskbar_icon::create(window* owner, const std::wstring& tip, const wchar_t* icon_name,
                          uint32_t icon_count, bool load) {
    owner_ = owner;
    data_ = gui::notify_icon_data{};
    data_.wnd = owner->handle();
    data_.id = g_icon_counter++;
    {
        std::lock_guard<std::mutex> lk(g_map_lock);
        icon_map()[data_.id] = this;
    }
    data_.callback_message =
        owner->register_message("taskbar_icon" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    tip_ = tip;
    update_tip();
    icons_.assign(icon_count, 0);
    bool ok = true;
    if (icon_name) {
        loaded_ = true;
        for (uint32_t i = 0; i < icon_count; ++i) {
            std::wstring name = icon_name;
            if (icon_count > 1) name += std::to_wstring(i);
            icons_[i] = load_icon(name, load, true, false);
            ok = ok && icons_[i] != 0;
        }
    }
    taskbar_created_ = gui::register_window_message("TaskbarCreated");
    owner->add_hook(this, data_.callback_message);
    owner->add_hook(this, taskbar_created_);
    return ok;
}

bool taskbar_icon::send(uint32_t op, gui::notify_icon_data d) {
    if (op == gui::nim_modify && re_add_) {
        op = gui::nim_add;
        re_add_ = false;
    }
    const bool ok = gui::shell_notify_icon(op, d);
    if (op == gui::nim_add && !ok) re_add_ = true;
    return ok;
}

void taskbar_icon::notify(uint32_t index, bool force) {
    if (!force && index == current_) return;
    gui::notify_icon_data d = data_;
    d.flags = gui::nif_message | gui::nif_icon | gui::nif_tip;
    if (index == not_shown) {
        if (current_ != not_shown) send(gui::nim_delete, d);
        current_ = not_shown;
        return;
    }
    if (index >= icons_.size()) return;
    d.icon = data_.icon = icons_[index];
    send(current_ != not_shown ? gui::nim_modify : gui::nim_add, d);
    current_ = index;
}

void taskbar_icon::update_tip() {
    data_.tip = tip_on_ ? tip_.substr(0, 128) : std::wstring();
    if (current_ == not_shown) return;
    gui::notify_icon_data d = data_;
    d.flags = gui::nif_tip;
    send(gui::nim_modify, d);
}

void taskbar_icon::set_tip(const std::wstring& tip) {
    tip_ = tip;
    update_tip();
}

void taskbar_icon::set_tip_on(bool on) {
    tip_on_ = on;
    update_tip();
}

void taskbar_icon::balloon(const std::wstring& title, const std::wstring& text, uint32_t timeout_ms,
                           balloon_callback callback, void* argument) {
    {
        cl::cs_lock lk(lock_);
        balloons_.push_back(entry{std::move(callback), argument, timeout_ms});
    }
    if (current_ == not_shown) notify(0);
    gui::notify_icon_data d = data_;
    d.flags = gui::nif_info;
    d.info = text.substr(0, 255);
    d.info_title = title.substr(0, 63);
    d.timeout = timeout_ms;
    d.info_flags = gui::niif_info;
    send(gui::nim_modify, d);
}

void taskbar_icon::close_balloon() {
    if (current_ == not_shown) notify(0);
    gui::notify_icon_data d = data_;
    d.flags = gui::nif_info;
    send(gui::nim_modify, d);
}

size_t taskbar_icon::queued_balloons() {
    cl::cs_lock lk(lock_);
    return balloons_.size();
}

void taskbar_icon::drop_oldest(bool run) {
    entry e{};
    {
        cl::cs_lock lk(lock_);
        if (balloons_.empty()) return;
        e = std::move(balloons_.front());
        balloons_.pop_front();
    }
    if (run && e.cb) e.cb(e.arg);
}

gui::lresult taskbar_icon::hook(uint32_t message, gui::wparam wp, gui::lparam lp, bool& handled) {
    if (message == taskbar_created_ && message != data_.callback_message) {
        if (current_ != not_shown) {
            const uint32_t shown = current_;
            current_ = not_shown;
            notify(shown);
        }
        return 0;
    }
    handled = true;
    {
        std::lock_guard<std::mutex> lk(g_map_lock);
        auto it = icon_map().find(uint32_t(wp));
        if (it == icon_map().end() || it->second != this) return 0;
    }
    switch (uint32_t(lp)) {
    case gui::wm_mousemove:
        on_mouse_move(wp, lp);
        break;
    case gui::wm_lbuttondown:
        on_left_down(wp, lp);
        break;
    case gui::wm_lbuttonup:
        on_left_up(wp, lp);
        break;
    case gui::wm_lbuttondblclk:
    case gui::wm_mbuttondown:
        on_other_click(wp, lp);
        break;
    case gui::wm_rbuttondown:
    case gui::wm_contextmenu:
        on_context(wp, lp);
        break;
    case gui::nin_balloonshow: {
        uint32_t timeout = 0;
        {
            cl::cs_lock lk(lock_);
            if (balloons_.empty()) break;
            timeout = balloons_.front().timeout;
        }
        if (cl::global_timers_running())
            cl::slow_timer().set_timer(
                balloon_timer_, [this] { close_balloon(); }, int32_t(timeout + 1000),
                cl::timer_one_shot);
        break;
    }
    case gui::nin_balloonhide:
    case gui::nin_balloontimeout:
    case gui::nin_balloonusrclick:
        balloon_timer_.kill(true);
        drop_oldest(uint32_t(lp) == gui::nin_balloonusrclick);
        break;
    default:
        break;
    }
    return 0;
}

uintptr_t taskbar_icon::load_icon(const std::wstring& name, bool from_file, bool, bool retry) {
    for (int attempt = 0;; ++attempt) {
        const uintptr_t h = from_file ? gui::load_icon_file(name) : gui::builtin_icon(name);
        if (h || !retry || attempt >= 2) return h;
        cl::trace_out.write_w(cl::format_wstr(L"load_icon(%?) error %?\n", name, 2));
        cl::sleep_ms(2000);
    }
}

} // namespace shell
