// The desktop shell's services: the notification-area icon with its tips and
// balloons, popup menus, the clipboard and message boxes. Without a desktop
// session they are headless: every effect is written to the main trace, and
// the notification area behaves as a shell that shows every balloon at once
// and hides it when the next one replaces it or it is closed, so the owner
// gets the same notifications it would get from a real shell.
#pragma once
#include "platform/gui/gui.h"

#include <cstdint>
#include <string>
#include <vector>

namespace gui {

// Notification-area icon operations and their flags.
constexpr uint32_t nim_add = 0;
constexpr uint32_t nim_modify = 1;
constexpr uint32_t nim_delete = 2;
constexpr uint32_t nif_message = 1;
constexpr uint32_t nif_icon = 2;
constexpr uint32_t nif_tip = 4;
constexpr uint32_t nif_info = 16;
constexpr uint32_t niif_info = 1;
// Balloon notifications in lParam of the icon's callback message.
constexpr uint32_t nin_balloonshow = 1026;
constexpr uint32_t nin_balloonhide = 1027;
constexpr uint32_t nin_balloontimeout = 1028;
constexpr uint32_t nin_balloonusrclick = 1029;

struct notify_icon_data {
    hwnd wnd = 0;
    uint32_t id = 0;
    uint32_t flags = 0;
    uint32_t callback_message = 0;
    uintptr_t icon = 0; // an image handle of icon_image
    std::wstring tip;
    std::wstring info;
    std::wstring info_title;
    uint32_t timeout = 0;
    uint32_t info_flags = 0;
};

// Adds, changes or removes an icon; false when the operation does not fit
// the icon's state (a modify or delete of an icon that is not there, an add
// of one that is).
bool shell_notify_icon(uint32_t op, const notify_icon_data& d);
// The user clicks the open balloon of the icon: it closes, and the owner
// hears of the click. False when the icon shows no balloon.
bool click_balloon(hwnd wnd, uint32_t id);
// Whether the icon (owner window, number) is in the notification area now.
bool notify_icon_shown(hwnd wnd, uint32_t id);

// Icon images: a handle naming an image file; 0 when the file cannot be read.
uintptr_t load_icon_file(const std::wstring& path);
// A handle for a built-in image of that role; never 0.
uintptr_t builtin_icon(const std::wstring& role);
std::wstring icon_name(uintptr_t icon);
void destroy_icon(uintptr_t icon);

// Popup menus.
using hmenu = uintptr_t;
constexpr uint32_t mf_string = 0;
constexpr uint32_t mf_popup = 16;
constexpr uint32_t mf_separator = 0x800;
constexpr uint32_t mf_byposition = 1024;
constexpr uint32_t tpm_rightalign = 8;

hmenu create_popup_menu();
bool destroy_menu(hmenu m);
bool is_menu(hmenu m);
// id is the command id, or the sub-menu's handle with mf_popup.
bool append_menu(hmenu m, uint32_t flags, uintptr_t id, const std::wstring& text);
bool remove_menu(hmenu m, uint32_t position, uint32_t flags);
int get_menu_item_count(hmenu m);
bool set_menu_default_item(hmenu m, uint32_t position);

struct menu_item {
    uint32_t flags = 0;
    uintptr_t id = 0; // command id, or the sub-menu's handle
    std::wstring text;
    bool is_default = false;
};
std::vector<menu_item> menu_items(hmenu m);

// Shows the menu for the owner. Headless there is nobody to choose: the
// items are traced, one line each ("menu: <id> <text>", a sub-menu's items
// indented below it), and the choice can arrive later as WM_COMMAND.
bool track_popup_menu(hmenu m, uint32_t flags, int x, int y, hwnd owner);
void get_cursor_pos(int& x, int& y);

// The clipboard's text. It is kept in a file, so that what one run of the
// program puts there outlives it; the file is replaced whole.
void set_clipboard_store(const std::string& path);
bool get_clipboard_text(std::string& text);
bool set_clipboard_text(const std::string& text);

// Message boxes: headless, the caption and text go to standard error and the
// main trace, and the answer is IDOK.
constexpr int idok = 1;
int message_box(hwnd owner, const std::wstring& text, const std::wstring& caption, uint32_t style);

} // namespace gui
