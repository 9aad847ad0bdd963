// The bytes the service itself writes: response heads rendered from the
// caller's record, and the answers it gives on its own (malformed requests,
// unknown URLs, a full queue).
#pragma once
#include "platform/khttp/khttp.h"

#include <string>
#include <string_view>

namespace khttp {

// What a response head means for the connection.
struct framing {
    bool no_body = false;        // HEAD, 1xx, 204, 304: body bytes are dropped
    int64_t content_length = -1; // from the Content-Length header, -1 without
    bool chunked = false;        // Transfer-Encoding: chunked (the caller frames)
    bool close = false;          // the connection ends after this response
};

struct head_context {
    bool head_request = false;
    bool client_keep_alive = true; // the request allows the connection to stay
    bool final = false;            // no body follows this head
    bool disconnect = false;       // the caller asked to close after the response
};

// Appends the head to out; 87 (nothing appended) when a header name, value or
// the reason holds CR, LF or NUL, or the status or Content-Length is malformed.
uint32_t render_response_head(const response& r, const head_context& ctx, std::string& out,
                              framing& f);

// A complete answer of the service ("Connection: close" when close is set).
std::string render_service_answer(unsigned status, bool close, bool head_request = false);

// The Date header's text for now; valid on the calling thread until its next call.
const std::string& http_date_now();

khttp::verb verb_from_method(std::string_view method);

} // namespace khttp
