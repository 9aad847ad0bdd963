#include "dav/dav_methods.h"

#include "server/http_request.h"

int dav_methods::propfind(http_propfind_request&) {
    return 501;
}
int dav_methods::proppatch(http_proppatch_request&) {
    return 501;
}
int dav_methods::report(http_report_request&) {
    return 501;
}
