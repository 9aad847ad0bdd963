#include "dav/dav_requests.h"

#include "dav/copy_move.h"
#include "dav/lock_unlock.h"
#include "dav/propfind.h"
#include "dav/proppatch.h"
#include "dav/put_delete_mkcol.h"
#include "dav/xml_document.h"
#include "server/access_checker.h"
#include "server/method_table.h"

http_put_request::http_put_request(cl::sh_ptr<response_headers> h) : http_request(std::move(h)) {}
int http_put_request::handle() {
    return dav_put(*this);
}
http_delete_request::http_delete_request(cl::sh_ptr<response_headers> h)
    : http_request(std::move(h)) {}
int http_delete_request::handle() {
    return dav_delete(*this);
}
http_mkcol_request::http_mkcol_request(cl::sh_ptr<response_headers> h)
    : http_request(std::move(h)) {}
int http_mkcol_request::handle() {
    return dav_mkcol(*this);
}
http_copy_move_request::http_copy_move_request(cl::sh_ptr<response_headers> h, bool c)
    : http_request(std::move(h)), copy(c) {}
int http_copy_move_request::handle() {
    return dav_copy_move(*this);
}
http_lock_unlock_request::http_lock_unlock_request(cl::sh_ptr<response_headers> h, bool l)
    : http_get_request(std::move(h), mode_get), lock(l) {}
int http_lock_unlock_request::handle() {
    return dav_lock_unlock(*this);
}
http_proppatch_request::http_proppatch_request(cl::sh_ptr<response_headers> h)
    : http_get_request(std::move(h), mode_get) {}
http_proppatch_request::~http_proppatch_request() = default;
int http_proppatch_request::handle() {
    return proppatch_handle(*this);
}

http_prop_base_request::http_prop_base_request(cl::sh_ptr<response_headers> h)
    : http_get_request(std::move(h), mode_get) {}
http_prop_base_request::~http_prop_base_request() = default;
// The body, the Depth header and the answer are read and written by the DAV
// handlers above the server, which need the XML document model.
int http_prop_base_request::handle() {
    return answer_request();
}

http_propfind_request::http_propfind_request(cl::sh_ptr<response_headers> h)
    : http_prop_base_request(std::move(h)) {}
int http_propfind_request::answer_request() {
    return run_prop_frame(
        *this, [this](xml_document& document) { return propfind_answer(*this, document); });
}

http_report_request::http_report_request(cl::sh_ptr<response_headers> h)
    : http_prop_base_request(std::move(h)) {}
int http_report_request::answer_request() {
    return run_prop_frame(
        *this, [this](xml_document& document) { return report_answer(*this, document); });
}

namespace {

template <class R> std::unique_ptr<http_request> make(cl::sh_ptr<response_headers> h) {
    return std::make_unique<R>(std::move(h));
}
template <class R, bool Flag> std::unique_ptr<http_request> make(cl::sh_ptr<response_headers> h) {
    return std::make_unique<R>(std::move(h), Flag);
}

} // namespace

void add_dav_methods() {
    // In the order "Allow" names them. Every one may block: each reads or
    // writes the tree, most read a body.
    static constexpr method_row rows[] = {
        {"PROPFIND", make<http_propfind_request>, true},
        {"COPY", make<http_copy_move_request, true>, true},
        {"REPORT", make<http_report_request>, true},
        {"PUT", make<http_put_request>, true},
        {"MKCOL", make<http_mkcol_request>, true},
        {"PROPPATCH", make<http_proppatch_request>, true},
        {"LOCK", make<http_lock_unlock_request, true>, true},
        {"UNLOCK", make<http_lock_unlock_request, false>, true},
        {"DELETE", make<http_delete_request>, true},
        {"MOVE", make<http_copy_move_request, false>, true},
    };
    add_methods(rows, std::size(rows));
}
