#include "server/request_processor.h"

#include "server/http_server.h"
#include "server/http_tables.h"

// Until the request classes are part of the server every request is answered
// 501, so the front end can be run and measured on its own.
void process_request(_http_server& server, std::shared_ptr<khttp::request> request) {
    server.count_request();
    khttp::response r;
    r.status = 501;
    r.reason = std::string(status_text(501));
    r.known_headers[khttp::header_content_length] = "0";
    khttp::send_response(server.queue(), request->request_id, 0, r);
}
