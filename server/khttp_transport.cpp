// The transport of the server's requests: the kernel HTTP service stand-in.
#include "platform/khttp/khttp.h"
#include "server/http_request.h"
#include "server/http_server.h"

static_assert(static_cast<int>(khttp::response_header_count) == http_header_response_maximum,
              "the response header slots of the service and the server agree");
static_assert(static_cast<int>(khttp::request_header_count) == http_header_request_maximum,
              "the request header slots of the service and the server agree");

namespace {

class khttp_transport final : public http_transport {
  public:
    uint32_t send_response(const request_queue_handle& queue, uint64_t request_id, uint32_t flags,
                           const kernel_response& response) override {
        khttp::response r;
        r.status = response.status;
        r.reason = response.reason;
        for (std::size_t i = 0; i < r.known_headers.size(); ++i)
            r.known_headers[i] = response.known_headers[i];
        r.unknown_headers = response.unknown_headers;
        _http_server::note_response_started();
        return khttp::send_response(queue, request_id, flags, r);
    }
    uint32_t send_body(const request_queue_handle& queue, uint64_t request_id, uint32_t flags,
                       const void* data, std::size_t length) override {
        return khttp::send_body(queue, request_id, flags, data, length);
    }
    bool can_send_file() const override { return true; }
    uint32_t send_file(const request_queue_handle& queue, uint64_t request_id, uint32_t flags,
                       int fd, uint64_t offset, uint64_t length,
                       std::shared_ptr<const void> holder) override {
        return khttp::send_file(queue, request_id, flags, fd, offset, length, std::move(holder));
    }
    uint32_t receive_body(const request_queue_handle& queue, uint64_t request_id, uint32_t flags,
                          void* buffer, uint32_t length, uint32_t& received) override {
        return khttp::receive_body(queue, request_id, flags, buffer, length, received);
    }
};

} // namespace

http_transport& kernel_transport() {
    static khttp_transport transport;
    return transport;
}
