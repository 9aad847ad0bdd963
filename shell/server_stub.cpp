// Placeholder start and stop of the HTTP server while the server's own are
// not part of the build. Weak, so the real definitions win wherever both are
// linked; this file goes once they are.
#include "server/server_start.h"

__attribute__((weak)) bool server_start() {
    return true;
}
__attribute__((weak)) void server_stop() {}
