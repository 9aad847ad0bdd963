#include "dav/dav_request.h"
#include "dav/dav_requests.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/access_checker.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/request_body.h"
#include "server/response_files.h"
#include "server/server_dirs.h"
#include "server/server_services.h"

#include <algorithm>
#include <limits>

int dav_prologue(http_get_request& request, auth_info& auth) {
    config_info* cfg = request.config();
    if (!cfg || !request.data) return 500;
    const http_request_data& d = *request.data;
    const std::string& encoding = d.header(http_header_content_encoding);
    if (!d.header(http_header_content_range).empty() ||
        (!encoding.empty() && !cl::iequals(cl::trimmed(encoding), "identity")))
        return 501;
    const access_answer a = decide_access_config(access_client_of(request), d.method,
                                                 cl::sh_ptr<config_info>(cfg), access_use::request);
    auth = a.auth;
    if (!a.granted()) {
        const int s = answer_refusal(request, a);
        return s ? s : dav_answered;
    }
    record_login(request, a, cfg->local_path);
    const int pre = request.check_preconditions(0, cfg->local_path, true);
    if (pre == 412 || pre == 304) return pre;
    return 0;
}

int read_dav_body(http_get_request& request, std::string& body) {
    body.clear();
    if (!request.data) return 0;
    const std::string& length = request.data->header(http_header_content_length);
    if (!length.empty()) {
        uint64_t n = 0;
        for (char c : cl::trimmed(length)) {
            if (c < '0' || c > '9' || n > std::numeric_limits<uint64_t>::max() / 10) return 400;
            n = n * 10 + static_cast<uint64_t>(c - '0');
        }
        if (n > dav_body_limit) return 413;
    }
    // One byte more than the limit tells a body that is too long from one
    // that just fits.
    auto file = std::make_unique<writeable_string_file>(dav_body_limit + 1);
    writeable_string_file* target = file.get();
    request.set_file(std::move(file));
    if (request.data->flags & khttp::request_flag_more_entity_body) read_request_body(request);
    const int64_t size = target->size();
    if (size > static_cast<int64_t>(dav_body_limit)) {
        request.set_file(nullptr);
        return 413;
    }
    body.resize(static_cast<std::size_t>(size));
    if (size > 0) target->read(body.data(), size);
    request.set_file(nullptr);
    return 0;
}

void send_dav_answer(http_get_request& request, int status, const std::string& body) {
    constexpr std::size_t piece = 256 * 1024;
    if (body.size() <= piece) {
        request.text_body = body;
        request.send_simple_response(status);
        return;
    }
    request.headers->add("Content-Length", cl::format_str("%?", body.size()));
    request.set_response_status(status);
    if (trace_level() > 1)
        cl::trace_out.write(cl::format_str("   %? %?\n", request.status_code, request.reason));
    request.headers_sent = true;
    const uint64_t id = request.data ? request.data->request_id : 0;
    const uint32_t err = request.transport->send_response(
        request.queue, id, send_flag_more_data | http_request::server_send_flags(),
        request.build_http_response_headers());
    if (err != 0) {
        request.head_refused(err);
        return;
    }
    if (request.body_forbidden()) {
        request.body_done = true;
        request.do_send(nullptr, 0);
        return;
    }
    for (std::size_t at = 0; at < body.size() && !request.body_done; at += piece) {
        const std::size_t n = std::min(piece, body.size() - at);
        request.body_done = at + n == body.size();
        request.do_send(body.data() + at, n);
    }
}
