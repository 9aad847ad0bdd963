#include "dav/dav_methods.h"

#include "server/http_request.h"

int dav_methods::put(http_put_request&) {
    return 501;
}
int dav_methods::del(http_delete_request&) {
    return 501;
}
int dav_methods::mkcol(http_mkcol_request&) {
    return 501;
}
int dav_methods::copy_move(http_copy_move_request&) {
    return 501;
}
int dav_methods::lock_unlock(http_lock_unlock_request&) {
    return 501;
}
