#include "server/dav_host.h"

#include <atomic>

int dav_host::put(http_put_request&) {
    return 501;
}
int dav_host::del(http_delete_request&) {
    return 501;
}
int dav_host::mkcol(http_mkcol_request&) {
    return 501;
}
int dav_host::copy_move(http_copy_move_request&) {
    return 501;
}
int dav_host::lock_unlock(http_lock_unlock_request&) {
    return 501;
}
int dav_host::proppatch(http_proppatch_request&) {
    return 501;
}
int dav_host::propfind(http_propfind_request&) {
    return 501;
}
int dav_host::report(http_report_request&) {
    return 501;
}

namespace {
dav_host default_host;
std::atomic<dav_host*> installed{nullptr};
} // namespace

dav_host& the_dav_host() {
    dav_host* h = installed.load(std::memory_order_acquire);
    return h ? *h : default_host;
}

void set_dav_host(dav_host* host) {
    installed.store(host, std::memory_order_release);
}
