#include "dav/dav_methods.h"

#include "dav/propfind.h"
#include "dav/proppatch.h"
#include "server/http_request.h"

int dav_methods::propfind(http_propfind_request& request) {
    return run_prop_frame(
        request, [&](xml_document& document) { return propfind_answer(request, document); });
}
int dav_methods::proppatch(http_proppatch_request& request) {
    return proppatch_handle(request);
}
int dav_methods::report(http_report_request& request) {
    return run_prop_frame(request,
                          [&](xml_document& document) { return report_answer(request, document); });
}
