// Context menus whose items carry their command handlers. Command ids come
// from one process-wide counter and one registry maps them to handlers, so
// menus and sub-menus need no id tables; every menu is torn down after a
// command ran, and built again before it is shown next.
#pragma once
#include "platform/gui/shell_ui.h"
#include "shell/window.h"

#include <functional>
#include <string>
#include <vector>

namespace shell {

class popup_menu : public msg_hook {
  public:
    using handler = std::function<void()>;

    popup_menu();
    ~popup_menu() override;

    void add_item(uint32_t flags, const std::wstring& text, handler h);
    void add_submenu(popup_menu& sub, const std::wstring& text);
    void add_built_submenu(popup_menu& sub, const std::wstring& text, gui::hwnd owner);
    void add_separator();
    void track(gui::hwnd owner);
    void clear();
    // Attaches the menu to its owner for WM_COMMAND and WM_INITMENUPOPUP.
    void attach(window& owner);

    gui::hmenu menu() const { return menu_; }
    void create_menu();
    void destroy_menu();

    gui::lresult hook(uint32_t message, gui::wparam wp, gui::lparam lp, bool& handled) override;
    virtual void on_init_popup(gui::lparam) {}
    virtual void build(gui::hwnd owner) = 0;

    // The registry, for tests: number of records, and the id counter.
    static size_t registry_size();
    static uint32_t next_id();
    static void run_command(uint32_t id);

  private:
    gui::hmenu menu_ = 0;
    std::vector<std::wstring> texts_;
};

} // namespace shell
