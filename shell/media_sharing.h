// Media sharing as the program's start and stop see it: one call each.
#pragma once

// After the HTTP server has started (it knows the folders and the port).
void start_media_sharing();
// Before the HTTP server stops.
void stop_media_sharing();
