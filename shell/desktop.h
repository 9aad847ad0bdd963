// What other parts of the program use of the desktop: a balloon on the
// program's tray icon, and the clipboard's text.
#pragma once
#include <string>

// A balloon with the title and text for 60 s; clicking it opens the local
// server's URL with the path. Any thread may call it; without the tray icon
// it does nothing.
void show_tray_balloon(const std::wstring& title, const std::wstring& text,
                       const std::wstring& url_path);
bool clipboard_get_text(std::string& text);
bool clipboard_set_text(const std::string& text);
