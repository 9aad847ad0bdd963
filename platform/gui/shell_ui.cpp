#include "platform/gui/shell_ui.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"

#include "platform/win32/replace_file.h"
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace gui {
namespace {

std::mutex g_lock;

struct tray_state {
    bool shown = false;
    bool balloon_open = false;
    uint32_t callback_message = 0;
    std::wstring tip;
};

std::map<std::pair<hwnd, uint32_t>, tray_state>& icons() {
    static auto* m = new std::map<std::pair<hwnd, uint32_t>, tray_state>;
    return *m;
}

std::map<uintptr_t, std::wstring>& images() {
    static auto* m = new std::map<uintptr_t, std::wstring>;
    return *m;
}
uintptr_t g_next_image = 0x7000;

struct menu_rec {
    std::vector<menu_item> items;
};
std::map<hmenu, menu_rec>& menus() {
    static auto* m = new std::map<hmenu, menu_rec>;
    return *m;
}
hmenu g_next_menu = 0x3000;

std::string g_clipboard_path;
std::string g_clipboard_memory;

void trace_w(const std::wstring& s) {
    cl::trace_out.write_w(s);
}

std::wstring image_text(uintptr_t icon) {
    auto it = images().find(icon);
    return it == images().end() ? L"none" : it->second;
}

void notify_owner(const tray_state& t, hwnd wnd, uint32_t id, uint32_t what) {
    if (t.callback_message) post_message(wnd, t.callback_message, id, lparam(what));
}

void trace_menu(hmenu m, int depth) {
    auto it = menus().find(m);
    if (it == menus().end() || depth > 8) return;
    const std::wstring indent(size_t(depth) * 2, L' ');
    for (const auto& i : it->second.items) {
        if (i.flags & mf_separator) {
            trace_w(L"menu: " + indent + L"-\n");
        } else if (i.flags & mf_popup) {
            trace_w(L"menu: " + indent + L"> " + i.text + L"\n");
            trace_menu(hmenu(i.id), depth + 1);
        } else {
            trace_w(cl::format_wstr(L"menu: %?%?%? %?\n", indent, i.is_default ? L"*" : L"",
                                    uint32_t(i.id), i.text));
        }
    }
}

} // namespace

bool shell_notify_icon(uint32_t op, const notify_icon_data& d) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto& t = icons()[{d.wnd, d.id}];
    if (op == nim_delete) {
        if (!t.shown) return false;
        if (t.balloon_open) notify_owner(t, d.wnd, d.id, nin_balloonhide);
        icons().erase({d.wnd, d.id});
        trace_w(cl::format_wstr(L"tray: icon %? removed\n", d.id));
        return true;
    }
    if (op == nim_add && t.shown) return false;
    if (op == nim_modify && !t.shown) return false;
    if (op != nim_add && op != nim_modify) return false;
    if (d.flags & nif_message) t.callback_message = d.callback_message;
    if (op == nim_add) {
        t.shown = true;
        t.tip = d.tip;
        trace_w(cl::format_wstr(L"tray: icon %? added, image %?, tip '%?'\n", d.id,
                                image_text(d.icon), d.tip));
    } else {
        if ((d.flags & nif_icon) && d.icon)
            trace_w(cl::format_wstr(L"tray: icon %? image %?\n", d.id, image_text(d.icon)));
        if ((d.flags & nif_tip) && d.tip != t.tip) {
            t.tip = d.tip;
            trace_w(cl::format_wstr(L"tray: icon %? tip '%?'\n", d.id, d.tip));
        }
    }
    if (d.flags & nif_info) {
        if (t.balloon_open) {
            t.balloon_open = false;
            notify_owner(t, d.wnd, d.id, nin_balloonhide);
            trace_w(cl::format_wstr(L"tray: icon %? balloon hidden\n", d.id));
        }
        if (!d.info.empty() || !d.info_title.empty()) {
            t.balloon_open = true;
            trace_w(cl::format_wstr(L"tray: icon %? balloon '%?' '%?' %? ms\n", d.id, d.info_title,
                                    d.info, d.timeout));
            notify_owner(t, d.wnd, d.id, nin_balloonshow);
        }
    }
    return true;
}

bool click_balloon(hwnd wnd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = icons().find({wnd, id});
    if (it == icons().end() || !it->second.balloon_open) return false;
    it->second.balloon_open = false;
    trace_w(cl::format_wstr(L"tray: icon %? balloon clicked\n", id));
    notify_owner(it->second, wnd, id, nin_balloonusrclick);
    return true;
}

bool notify_icon_shown(hwnd wnd, uint32_t id) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = icons().find({wnd, id});
    return it != icons().end() && it->second.shown;
}

uintptr_t load_icon_file(const std::wstring& path) {
    if (::access(cl::utf16_to_utf8(path).c_str(), R_OK) != 0) return 0;
    std::lock_guard<std::mutex> lk(g_lock);
    const uintptr_t h = g_next_image++;
    images()[h] = path;
    return h;
}

uintptr_t builtin_icon(const std::wstring& role) {
    std::lock_guard<std::mutex> lk(g_lock);
    for (auto& [h, name] : images())
        if (name == role) return h;
    const uintptr_t h = g_next_image++;
    images()[h] = role;
    return h;
}

std::wstring icon_name(uintptr_t icon) {
    std::lock_guard<std::mutex> lk(g_lock);
    return image_text(icon);
}

void destroy_icon(uintptr_t icon) {
    std::lock_guard<std::mutex> lk(g_lock);
    images().erase(icon);
}

hmenu create_popup_menu() {
    std::lock_guard<std::mutex> lk(g_lock);
    const hmenu m = g_next_menu++;
    menus()[m];
    return m;
}

bool destroy_menu(hmenu m) {
    std::lock_guard<std::mutex> lk(g_lock);
    return menus().erase(m) != 0;
}

bool is_menu(hmenu m) {
    std::lock_guard<std::mutex> lk(g_lock);
    return menus().count(m) != 0;
}

bool append_menu(hmenu m, uint32_t flags, uintptr_t id, const std::wstring& text) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = menus().find(m);
    if (it == menus().end()) return false;
    it->second.items.push_back(menu_item{flags, id, text, false});
    return true;
}

bool remove_menu(hmenu m, uint32_t position, uint32_t flags) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = menus().find(m);
    if (it == menus().end()) return false;
    auto& items = it->second.items;
    if (flags & mf_byposition) {
        if (position >= items.size()) return false;
        items.erase(items.begin() + position);
        return true;
    }
    for (auto i = items.begin(); i != items.end(); ++i)
        if (i->id == position && !(i->flags & mf_popup)) {
            items.erase(i);
            return true;
        }
    return false;
}

int get_menu_item_count(hmenu m) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = menus().find(m);
    return it == menus().end() ? -1 : int(it->second.items.size());
}

bool set_menu_default_item(hmenu m, uint32_t position) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = menus().find(m);
    if (it == menus().end() || position >= it->second.items.size()) return false;
    for (auto& i : it->second.items)
        i.is_default = false;
    it->second.items[position].is_default = true;
    return true;
}

std::vector<menu_item> menu_items(hmenu m) {
    std::lock_guard<std::mutex> lk(g_lock);
    auto it = menus().find(m);
    return it == menus().end() ? std::vector<menu_item>() : it->second.items;
}

bool track_popup_menu(hmenu m, uint32_t, int x, int y, hwnd owner) {
    std::lock_guard<std::mutex> lk(g_lock);
    if (!menus().count(m)) return false;
    trace_w(cl::format_wstr(L"menu: shown at %?,%? for window %x\n", x, y, owner));
    trace_menu(m, 0);
    return true;
}

void get_cursor_pos(int& x, int& y) {
    x = y = 0;
}

void set_clipboard_store(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_clipboard_path = path;
}

bool get_clipboard_text(std::string& text) {
    std::lock_guard<std::mutex> lk(g_lock);
    text.clear();
    if (g_clipboard_path.empty()) {
        text = g_clipboard_memory;
        return true;
    }
    FILE* f = std::fopen(g_clipboard_path.c_str(), "rb");
    if (!f) return true; // an empty clipboard
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return true;
}

bool set_clipboard_text(const std::string& text) {
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_clipboard_path.empty()) {
        g_clipboard_memory = text;
        return true;
    }
    return win32::replace_file_contents(g_clipboard_path, text, 0600);
}

int message_box(hwnd, const std::wstring& text, const std::wstring& caption, uint32_t style) {
    const std::string line = cl::utf16_to_utf8(caption + L": " + text) + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    cl::trace_out.write(cl::format_str("message box (style 0x%x): %?", style, line));
    return idok;
}

} // namespace gui
