// Start and stop of the HTTP server, called by the program shell: start once
// on the main thread during start-up, stop once during shut-down.
#pragma once

bool server_start();
void server_stop();
