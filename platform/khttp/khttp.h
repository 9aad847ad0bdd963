// The kernel HTTP service of this program: URL-prefix registration, one request
// queue with blocking receive, request-body receive, response and body sends
// with flags, disconnect notification and connection time-outs. The server's
// pool threads block on these calls; sockets, TLS and time-outs run on one
// event loop per I/O thread, so an idle keep-alive connection costs no thread.
// A queue may also take its requests on the I/O thread that read them (a
// request handler), so that quick answers cost no hand-over between threads.
//
// Every call returns a Windows error number (0 on success), as the server's
// callers trace and compare them.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/socket.h>

namespace boost::asio {
class io_context;
}

namespace khttp {

// Error numbers beyond the common table of platform/win32/errors.h.
constexpr uint32_t error_connection_invalid = 1229;
constexpr uint32_t status_pending = 259;

// initialize / terminate flags.
constexpr uint32_t initialize_server = 1;
constexpr uint32_t initialize_config = 2;

// send_response / send_body flags.
constexpr uint32_t send_flag_disconnect = 1;
constexpr uint32_t send_flag_more_data = 2;
constexpr uint32_t send_flag_buffer_data = 4;

// request::flags: a body is still to be received.
constexpr uint32_t request_flag_more_entity_body = 1;

// The head of a request may not exceed this (request line and headers); the
// client gets 431 over it.
constexpr std::size_t max_request_head = 128 * 1024;

enum class verb : uint32_t {
    unparsed,
    unknown,
    invalid,
    options,
    get,
    head,
    post,
    put,
    del,
    trace,
    connect,
    track,
    move,
    copy,
    propfind,
    proppatch,
    mkcol,
    lock,
    unlock,
    search,
};

// Request headers the service knows by index (their names: request_header_name).
enum request_header : std::size_t {
    header_cache_control,
    header_connection,
    header_date,
    header_keep_alive,
    header_pragma,
    header_trailer,
    header_transfer_encoding,
    header_upgrade,
    header_via,
    header_warning,
    header_allow,
    header_content_length,
    header_content_type,
    header_content_encoding,
    header_content_language,
    header_content_location,
    header_content_md5,
    header_content_range,
    header_expires,
    header_last_modified,
    header_accept,
    header_accept_charset,
    header_accept_encoding,
    header_accept_language,
    header_authorization,
    header_cookie,
    header_expect,
    header_from,
    header_host,
    header_if_match,
    header_if_modified_since,
    header_if_none_match,
    header_if_range,
    header_if_unmodified_since,
    header_max_forwards,
    header_proxy_authorization,
    header_referer,
    header_range,
    header_te,
    header_translate,
    header_user_agent,
    request_header_count
};

// Response headers known by index: the first 20 are those of the request list,
// then these.
enum response_header : std::size_t {
    header_accept_ranges = 20,
    header_age,
    header_etag,
    header_location,
    header_proxy_authenticate,
    header_retry_after,
    header_server,
    header_set_cookie,
    header_vary,
    header_www_authenticate,
    response_header_count
};

// Canonical wire spelling of a header index ("Content-Type", "ETag").
const char* request_header_name(std::size_t index);
const char* response_header_name(std::size_t index);
// Index of a header name (compared without regard to case), or -1.
int find_request_header(std::string_view name);
int find_response_header(std::string_view name);

// The numeric host and port of an address, as getnameinfo with
// NI_NUMERICHOST | NI_NUMERICSERV writes them; 0, or the EAI_ error.
int numeric_address(const sockaddr_storage& address, std::string& host, std::string& port);

// An address of a connection as numeric_address wrote it: its texts when
// error is 0.
struct address_text {
    std::string host;
    std::string port;
    int error = 0;
};

struct request {
    uint64_t connection_id = 0;
    uint64_t request_id = 0;
    uint64_t url_context = 0; // of the registered prefix that matched
    uint32_t flags = 0;
    khttp::verb verb = verb::unknown;
    std::string unknown_verb; // the method as sent, when verb is unknown
    uint16_t version_major = 1;
    uint16_t version_minor = 1;
    std::string raw_url;       // the request target exactly as received
    std::wstring host;         // host of the Host header (or of an absolute URL)
    std::wstring abs_path;     // canonical: decoded, "/" separators, dot segments resolved
    std::string abs_path_utf8; // the same in UTF-8
    std::string query;         // after the "?", as received; empty without one
    std::array<std::string, request_header_count> known_headers;      // empty when absent
    std::vector<std::pair<std::string, std::string>> unknown_headers; // in order
    sockaddr_storage remote_address{};
    sockaddr_storage local_address{};
    // The same two as text, made once for the connection.
    address_text remote_text;
    address_text local_text;
    bool secure = false;
    // Free for the queue's handler: kept as it is when the handler gives the
    // request back to the queue (what it got done so far, say).
    uint32_t handler_mark = 0;
    // The request's number on its connection: 1 for the first. A later one
    // comes only after an earlier was answered without ending the connection.
    uint32_t sequence = 0;
    // The service's own: the known-header slots its last head wrote in this
    // record, and the connection whose addresses it holds (0: none), so that
    // the next head built in it clears and copies no more than that.
    uint64_t filled_headers = 0;
    uint64_t filled_addresses = 0;
};

// An answer's head, as views of the caller's texts: send_response renders it
// before it returns, so the texts need to last only that long, and handing
// over a head copies none of them.
struct response {
    uint16_t status = 200;
    std::string_view reason;
    std::array<std::string_view, response_header_count> known_headers; // empty: not sent
    std::vector<std::pair<std::string_view, std::string_view>> unknown_headers;
    // A bit for each known slot the sender wrote, when it keeps count, so
    // that the head is made from those slots alone; 0: every slot is read.
    uint64_t written_slots = 0;
    // A bit for each known slot whose value the sender has checked already
    // (no CR, LF or NUL): the head is made without looking at it again.
    uint64_t checked_slots = 0;
};

// The outcome of an asynchronous disconnect wait: status() stays status_pending
// while the connection is open and becomes 0 once it has closed (also when it
// was closed because its queue was). Copies share the outcome.
class overlapped {
  public:
    overlapped();
    uint32_t status() const;
    void reset();
    struct state;
    std::shared_ptr<state> state_;
};

struct timeouts {
    std::chrono::milliseconds idle{120'000};       // keep-alive connection without a request
    std::chrono::milliseconds head{30'000};        // from the first byte to the end of the head
    std::chrono::milliseconds body{60'000};        // between pieces of a body, in or out
    std::chrono::milliseconds close_linger{2'000}; // reading what a refused client still sends
    // A request body must come at body_min_rate bytes a second on average
    // once body_grace has passed since its head, or it is answered 408: a
    // client cannot stretch a body by sending a byte a minute. 0: no rate.
    std::chrono::milliseconds body_grace{20'000};
    uint32_t body_min_rate = 500;
};

struct service_options {
    // Address the listeners bind; empty: every address (IPv6 and IPv4).
    std::string listen_address;
    // Directory of the TLS certificate and key (tls_certificate_file, tls_key_file).
    std::filesystem::path tls_directory;
    khttp::timeouts timeouts;
    std::size_t io_threads = 2;
    // An unread request body up to this size is read and dropped so that the
    // connection can be reused; a larger one closes it.
    uint64_t drain_limit = 1024 * 1024;
    // Requests waiting in the queue beyond this are answered 503.
    std::size_t max_queued_requests = 5000;
};

constexpr const char* tls_certificate_file = "khttp_certificate.pem";
constexpr const char* tls_key_file = "khttp_private_key.pem";

// Applies to listeners and connections made afterwards; call before initialize.
void configure(const service_options& options);
// The keep-alive idle time-out in seconds (the service's IdleConnectionTimeout).
uint32_t set_idle_connection_timeout(uint16_t seconds);

uint32_t initialize(uint32_t flags);
uint32_t terminate(uint32_t flags);

class request_queue;
using queue_handle = std::shared_ptr<request_queue>;

uint32_t create_request_queue(queue_handle& queue);

// Runs on the I/O thread that read a request of the queue, with no lock of the
// service held, before the request is queued. True: the handler took the
// request (it answers it, now or later through any thread); false: the request
// goes to the queue for receive_request as without a handler. The handler must
// not wait: an I/O thread serves many connections. Sends made on an I/O thread
// never wait for the client (what the socket does not take goes out from the
// loop afterwards), body receives that would wait fail with 1229, and
// on_io_thread tells the handler where it runs. Of the request the handler
// may change handler_mark only: the connection fills the same record for its
// next request and clears just what it wrote there.
using request_handler = std::function<bool(const std::shared_ptr<request>&)>;
// Set once, before the queue's first add_url.
uint32_t set_request_handler(const queue_handle& queue, request_handler handler);
// True on a thread of the service's event loops.
bool on_io_thread();
// The event loop of the calling thread; null on a thread that is not one.
boost::asio::io_context* current_loop();
// For a sender on an event loop, whose sends never wait: ready runs on the
// loop of the request's connection once less than limit bytes of its output
// wait to go out (true), or once the connection has ended (false); a later
// call replaces an earlier one. 1229 when the request is over already.
uint32_t when_output_below(const queue_handle& queue, uint64_t request_id, std::size_t limit,
                           std::function<void(bool)> ready);
// Bytes of the request's connection that wait to go out (0 when the request
// is over).
std::size_t output_waiting(const queue_handle& queue, uint64_t request_id);
class connection;
// A request and its connection, taken where the calling thread answers the
// request (its handler, a received request, a request_scope): a sender that
// goes on later keeps one, and its scope then needs no look-up either. It
// keeps the connection's object, not the connection open: once the request
// is over, calls for it fail as they do by number.
struct request_ref {
    uint64_t request_id = 0;
    std::shared_ptr<connection> owner;
};
// The request the calling thread answers now; empty when there is none.
request_ref current_request();
// True once the request is over or its client has ended its sending side. A
// server that holds a request back (it waits for something busy) takes such
// a client as gone: it sends nothing more, and mostly it has closed and reads
// nothing either. False for an empty reference.
bool client_ended(const request_ref& ref);
// While it lasts, the calling thread's calls for the request find its
// connection without a look-up, as they do on the loop that runs the
// request's handler: for a sender that goes on later on its loop.
class request_scope {
  public:
    request_scope(const queue_handle& queue, uint64_t request_id);
    explicit request_scope(const request_ref& ref);
    ~request_scope();
    request_scope(const request_scope&) = delete;
    request_scope& operator=(const request_scope&) = delete;

  private:
    bool engaged_ = false;
    uint64_t previous_id_ = 0;
    std::shared_ptr<connection> previous_;
};
// Ends the queue: waiting receives return 995, its prefixes are removed and its
// connections closed.
uint32_t close_request_queue(const queue_handle& queue);

// Prefix "http://HOST:PORT/REL/" or "https://HOST:PORT/REL/"; HOST "+" or "*"
// matches any host. 183 when the prefix is registered already, 87 when it is
// malformed, 32 when the port is taken by another program.
uint32_t add_url(const queue_handle& queue, const std::wstring& prefix, uint64_t context = 0);
uint32_t remove_url(const queue_handle& queue, const std::wstring& prefix);

// Blocks for the next request (request_id 0: any). 995 once the queue is closed.
uint32_t receive_request(const queue_handle& queue, uint64_t request_id, uint32_t flags,
                         request& out);

// Receives the next piece of the request body (decoded from chunks). 38 at the
// end of the body (with 0 bytes); 1229 when the connection is gone. A
// request with a body reaches its queue once the body is complete or its
// first read_ahead bytes are in (unless the client waits for 100 Continue):
// a client that is slow to send costs no thread meanwhile, and what came is
// received without waiting.
uint32_t receive_body(const queue_handle& queue, uint64_t request_id, uint32_t flags, void* buffer,
                      uint32_t length, uint32_t& bytes_received);

// Sends the head. Without send_flag_more_data the response is complete.
uint32_t send_response(const queue_handle& queue, uint64_t request_id, uint32_t flags,
                       const response& r, uint32_t* bytes_sent = nullptr);
// Sends body bytes as they are (the caller frames chunks itself).
uint32_t send_body(const queue_handle& queue, uint64_t request_id, uint32_t flags, const void* data,
                   std::size_t length, uint32_t* bytes_sent = nullptr);

// Sends `length` bytes of the open file `fd` from `offset` as body bytes,
// after whatever was sent before and before whatever is sent after. The service
// keeps a descriptor of its own (the caller may close its one at once) and
// sends the bytes as the client takes them: with sendfile on a plain
// connection, read and written through TLS on a secure one. The call itself
// never waits for the client. A file that turns out shorter than `length` ends
// the connection, as the announced length can no longer be kept.
uint32_t send_file(const queue_handle& queue, uint64_t request_id, uint32_t flags, int fd,
                   uint64_t offset, uint64_t length, uint32_t* bytes_sent = nullptr);
// The same without a descriptor of the service's own when `holder` is given:
// it keeps `fd` open until the bytes are sent, and the service reads it by
// offset only. A null holder is the call above.
uint32_t send_file(const queue_handle& queue, uint64_t request_id, uint32_t flags, int fd,
                   uint64_t offset, uint64_t length, std::shared_ptr<const void> holder,
                   uint32_t* bytes_sent = nullptr);

// Called on the sending thread just before a send waits for the client to
// take earlier output, with no lock of the caller's held: the server makes
// sure another thread receives meanwhile. Null: no call. Set before sends.
void set_before_send_wait(void (*hook)());

// What the service tells of a request body it ended for coming too slowly.
struct slow_body {
    const address_text& remote;
    std::string_view method{};
    std::string_view target{};   // the request target as received
    uint64_t received = 0;       // bytes read since the head
    int64_t content_length = -1; // -1: chunked
    std::chrono::milliseconds after{0};
};
// Called on an event loop, with no lock of the service held, each time the
// service answers a body 408 for its rate. Null: no call. Set before start.
void set_slow_body_notice(void (*notice)(const slow_body&));

// Starts an asynchronous wait for the end of the connection. 997 (pending) or 0
// when the connection is already closed (the outcome is then set at once).
uint32_t wait_for_disconnect(const queue_handle& queue, uint64_t connection_id, overlapped& notice);

} // namespace khttp
