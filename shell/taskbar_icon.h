// One icon in the notification area, owned by a window and hooked on it:
// the shell's notifications arrive as a private message of the owner and
// become virtual calls. Balloons queue their click actions; an entry leaves
// the queue when its balloon is clicked, hidden or timed out, so a later
// click never runs the action of a balloon that is gone.
#pragma once
#include "core/sync.h"
#include "core/timer.h"
#include "platform/gui/shell_ui.h"
#include "shell/window.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace shell {

class taskbar_icon : public msg_hook {
  public:
    static constexpr uint32_t not_shown = 0xFFFFFFFFu;
    using balloon_callback = std::function<void(void*)>;

    taskbar_icon();
    ~taskbar_icon() override;

    // Prepares the icon (not shown yet); false when an image failed to load.
    bool create(window* owner, const std::wstring& tip, const wchar_t* icon_name,
                uint32_t icon_count, bool load);
    // Shows image index (adding or modifying), or removes the icon for not_shown.
    void notify(uint32_t index, bool force = false);
    void set_tip(const std::wstring& tip);
    void set_tip_on(bool on);
    void balloon(const std::wstring& title, const std::wstring& text, uint32_t timeout_ms,
                 balloon_callback callback = {}, void* argument = nullptr);
    static uintptr_t load_icon(const std::wstring& name, bool from_file, bool small, bool retry);

    std::vector<uintptr_t>& icons() { return icons_; }
    uint32_t current() const { return current_; }
    uint32_t id() const { return data_.id; }
    uint32_t callback_message() const { return data_.callback_message; }
    size_t queued_balloons();

    gui::lresult hook(uint32_t message, gui::wparam wp, gui::lparam lp, bool& handled) override;
    virtual void on_mouse_move(gui::wparam, gui::lparam) {}
    virtual void on_left_down(gui::wparam, gui::lparam) {}
    virtual void on_left_up(gui::wparam, gui::lparam) {}
    virtual void on_context(gui::wparam, gui::lparam) {}
    virtual void on_other_click(gui::wparam, gui::lparam) {}

  private:
    bool send(uint32_t op, gui::notify_icon_data d);
    void update_tip();
    void close_balloon();
    void drop_oldest(bool run);

    gui::notify_icon_data data_;
    std::vector<uintptr_t> icons_;
    uint32_t current_ = not_shown;
    window* owner_ = nullptr;
    bool loaded_ = false;
    bool tip_on_ = true;
    bool re_add_ = false;
    std::wstring tip_;
    uint32_t taskbar_created_ = 0;
    struct entry {
        balloon_callback cb;
        void* arg;
        uint32_t timeout;
    };
    std::deque<entry> balloons_;
    cl::critical_section lock_;
    cl::timer_id balloon_timer_;
};

} // namespace shell
