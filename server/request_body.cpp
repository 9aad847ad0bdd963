#include "server/request_body.h"

#include "core/simple_file.h"
#include "core/trace.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/server_settings.h"
#include "system/system_helpers.h"

#include <vector>

int read_request_body(http_request& request, uint32_t* end_code) {
    constexpr uint32_t piece = 32768;
    std::vector<char> buffer(piece);
    request.work_started();
    const uint64_t id = request.data ? request.data->request_id : 0;
    uint32_t rc = 0;
    for (;;) {
        uint32_t received = 0;
        rc = request.transport->receive_body(request.queue, id, 0, buffer.data(), piece, received);
        if (received > 0) {
            if (server_settings().dump_request_body) {
                cl::trace_out.write("post/put dump:\n");
                sys::trace_hex_dump(buffer.data(), received);
            }
            request.file().write(buffer.data(), received);
            the_http_server().add_bytes_received(received);
        }
        if (rc != 0) break;
        if (request.destroying()) {
            rc = 995; // cancelled
            break;
        }
    }
    if (end_code) *end_code = rc;
    const int result = request.file().close();
    request.work_done();
    return result;
}
