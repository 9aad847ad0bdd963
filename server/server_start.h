// Bringing the HTTP server up and down. The program shell fills
// shell_settings() (server/server_settings.h) and installs the script host,
// then calls server_start once on its main thread and server_stop once at
// the end.
#pragma once

// False only when the start had to stop early (no thread-local slot, no type
// library); the program goes on either way, and server_stop may be called.
bool server_start();
void server_stop();
