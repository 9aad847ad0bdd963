#include "dav/copy_move.h"
#include "dav/dav_methods.h"
#include "dav/lock_unlock.h"
#include "dav/put_delete_mkcol.h"

#include "server/http_request.h"

int dav_methods::put(http_put_request& request) {
    return dav_put(request);
}
int dav_methods::del(http_delete_request& request) {
    return dav_delete(request);
}
int dav_methods::mkcol(http_mkcol_request& request) {
    return dav_mkcol(request);
}
int dav_methods::copy_move(http_copy_move_request& request) {
    return dav_copy_move(request);
}
int dav_methods::lock_unlock(http_lock_unlock_request& request) {
    return dav_lock_unlock(request);
}
