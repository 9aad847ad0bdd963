#include "shell/popup_menu.h"

#include <memory>

namespace shell {
namespace {

struct item_record {
    popup_menu* menu;
    popup_menu::handler h;
    uint16_t id;
};

// Menus live on their owner window's thread: no lock.
size_t g_instances = 0;
uint32_t g_counter = 0;
std::unique_ptr<std::vector<item_record>> g_registry;

uint16_t take_id() {
    return uint16_t(g_counter++ % 0x10000);
}

} // namespace

popup_menu::popup_menu() {
    if (g_instances++ == 0) g_registry = std::make_unique<std::vector<item_record>>();
}

popup_menu::~popup_menu() {
    destroy_menu();
    clear();
    if (hooked_window()) hooked_window()->remove_hook(this);
    if (--g_instances == 0) g_registry.reset();
}

void popup_menu::create_menu() {
    if (!menu_) menu_ = gui::create_popup_menu();
}

void popup_menu::destroy_menu() {
    if (menu_) gui::destroy_menu(menu_);
    menu_ = 0;
}

void popup_menu::add_item(uint32_t flags, const std::wstring& text, handler h) {
    create_menu();
    texts_.push_back(text);
    const uint16_t id = take_id();
    g_registry->push_back(item_record{this, std::move(h), id});
    gui::append_menu(menu_, flags, id, texts_.back());
}

void popup_menu::add_submenu(popup_menu& sub, const std::wstring& text) {
    create_menu();
    texts_.push_back(text);
    sub.create_menu();
    const uint16_t id = take_id();
    g_registry->push_back(item_record{&sub, {}, id});
    gui::append_menu(menu_, gui::mf_popup, sub.menu_, texts_.back());
}

void popup_menu::add_built_submenu(popup_menu& sub, const std::wstring& text, gui::hwnd owner) {
    add_submenu(sub, text);
    sub.build(owner);
}

void popup_menu::add_separator() {
    create_menu();
    gui::append_menu(menu_, gui::mf_separator, 0, L"");
}

void popup_menu::track(gui::hwnd owner) {
    int x = 0, y = 0;
    gui::get_cursor_pos(x, y);
    gui::track_popup_menu(menu_, gui::tpm_rightalign, x, y, owner);
    gui::post_message(owner, gui::wm_null, 0, 0);
}

void popup_menu::clear() {
    texts_.clear();
    if (g_registry) {
        auto& r = *g_registry;
        for (auto it = r.begin(); it != r.end();)
            it = it->menu == this ? r.erase(it) : std::next(it);
    }
    if (menu_) {
        const int n = gui::get_menu_item_count(menu_);
        for (int i = 0; i < n; ++i)
            gui::remove_menu(menu_, 0, gui::mf_byposition);
    }
}

void popup_menu::attach(window& owner) {
    owner.add_hook(this, gui::wm_initmenupopup);
    owner.add_hook(this, gui::wm_command);
}

void popup_menu::run_command(uint32_t id) {
    if (!g_registry) return;
    popup_menu::handler h;
    for (auto& r : *g_registry)
        if (r.id == id) {
            h = r.h;
            break;
        }
    if (h) h();
    // Every menu goes, whatever ran.
    while (g_registry && !g_registry->empty()) {
        popup_menu* m = g_registry->front().menu;
        m->destroy_menu();
        m->clear();
    }
}

gui::lresult popup_menu::hook(uint32_t message, gui::wparam wp, gui::lparam lp, bool& handled) {
    if (message == gui::wm_command) {
        run_command(uint32_t(wp & 0xFFFF));
        handled = true;
        return 0;
    }
    if (message == gui::wm_initmenupopup && g_registry) {
        for (auto& r : *g_registry)
            if (r.menu->menu_ == gui::hmenu(wp)) {
                r.menu->on_init_popup(lp);
                break;
            }
    }
    return 0;
}

size_t popup_menu::registry_size() {
    return g_registry ? g_registry->size() : 0;
}
uint32_t popup_menu::next_id() {
    return g_counter;
}

} // namespace shell
