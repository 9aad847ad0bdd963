// The request objects of the server: one object per accepted request, of the
// class that its method calls for, holding what was parsed from the kernel
// request, the CGI variables, the response file that supplies the body and
// the state of the answer while it is sent.
#pragma once
#include "core/blocks.h"
#include "core/ref_cnt.h"
#include "core/sync.h"
#include "platform/khttp/khttp.h"
#include "platform/win32/time.h"
#include "server/deflate.h"
#include "server/http_tables.h"
#include "server/response_headers.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cl {
class simple_file;
}
class config_info;
class proxy_exchange;
class request_runner;
struct auth_info;
class named_mutex;
class req_info;

// The kernel service's request queue; the request body is read through it
// and the answer sent through it.
using request_queue_handle = khttp::queue_handle;

// What the request processor took from the kernel request.
struct http_request_data {
    win32::systemtime received{}; // UTC
    uint32_t flags = 0;           // the kernel request's flags
    uint32_t version = 101;       // major * 100 + minor
    uint64_t request_id = 0;
    std::wstring path;   // request path (for a forwarded request the upstream URL)
    std::string query;   // without the "?"
    std::string raw_url; // the request target exactly as received
    std::string method;
    // The headers that the kernel service parses itself, by http_header_id;
    // empty when absent.
    std::array<std::string, http_header_request_maximum> known_headers;
    // Every other header.
    std::map<std::string, std::string, string_iless> unknown_headers;

    const std::string& header(http_header_id id) const { return known_headers[id]; }
    // An unknown header's value (name without regard to case); empty when
    // absent. The known headers are not searched.
    std::string get_header(std::string_view name) const;

    // Empties the record for another request, as a new one would be, its
    // texts keeping their room; false when they hold more than room_limit
    // bytes beyond their own storage (the record should go then).
    bool clear_for_reuse(std::size_t room_limit);
};

// The response record handed to the kernel service: status, reason and the
// headers, known ones by slot (empty: not sent) and the others in order. It
// is the service's own record, so that handing it over copies nothing.
struct kernel_response : khttp::response {
    uint16_t version_major = 1;
    uint16_t version_minor = 1;
};

// How a request reaches the kernel service. The server's one implementation
// talks to the request queue; tests put a recorder in its place.
class http_transport {
  public:
    virtual ~http_transport() = default;
    // Each returns a Windows error number, 0 on success.
    virtual uint32_t send_response(const request_queue_handle& queue, uint64_t request_id,
                                   uint32_t flags, const kernel_response& response) = 0;
    virtual uint32_t send_body(const request_queue_handle& queue, uint64_t request_id,
                               uint32_t flags, const void* data, std::size_t length) = 0;
    // Body bytes straight from an open file, where can_send_file says the
    // transport can. The service keeps a descriptor of its own, unless a
    // holder is given: it keeps the descriptor open until the bytes are sent.
    virtual bool can_send_file() const { return false; }
    virtual uint32_t send_file(const request_queue_handle&, uint64_t, uint32_t, int, uint64_t,
                               uint64_t, std::shared_ptr<const void>) {
        return 50;
    }
    // 38 at the end of the body.
    virtual uint32_t receive_body(const request_queue_handle& queue, uint64_t request_id,
                                  uint32_t flags, void* buffer, uint32_t length,
                                  uint32_t& received) = 0;
};

// The transport of new requests.
http_transport& default_transport();
// The kernel service's transport, the default unless a test set another.
http_transport& kernel_transport();
void set_default_transport(http_transport* transport);

// Send flags of the kernel service.
inline constexpr uint32_t send_flag_disconnect = 1;
inline constexpr uint32_t send_flag_more_data = 2;
inline constexpr uint32_t send_flag_buffer_data = 4;

// Compression switches that one request may set for itself, in place of the
// directory's SetOutputFilter and Deflate* directives and of Accept-Encoding.
struct compression_override {
    bool gzip = false;
    bool deflate = false;
    int level = -1;
    int mem_level = 9;
    int window_bits = 15;
};

class http_request : public cl::request_sized {
  public:
    explicit http_request(cl::sh_ptr<response_headers> headers);
    virtual ~http_request();
    http_request(const http_request&) = delete;
    http_request& operator=(const http_request&) = delete;

    // Produces the whole answer. 0 when it was sent; otherwise the status of
    // the error answer that the caller must send.
    virtual int handle() = 0;

    // --- the response state, operations of the sender (http_response.cpp) ---
    void set_response_status(int status);
    // Sends the prepared response file (head included when not yet sent).
    void send_body();
    void choose_body_encoding();
    // The coding a body of the size would get from choose_body_encoding when
    // the headers permit compression: false when it goes out as it is.
    bool plan_compression(int64_t size, bool& gzip, int& level, int& mem_level,
                          int& window_bits) const;
    // The entity tag of that coding: the file's tag with the coding's suffix
    // inside its quotes, or the tag itself for an uncompressed body.
    std::string coded_etag(const std::string& etag, int64_t size) const;
    void add_policy_headers();
    void send_header(bool last);
    // One piece of body at buffer + offset; 7 bytes of room must precede it
    // and 2 follow it. Length 0 ends the body; so does a last piece of a
    // plain body, which then goes out with the end in one send.
    void send_piece(char* buffer, std::size_t offset, std::size_t length, bool last = false);
    void do_send(const void* data, std::size_t length);
    void send_simple_response(int status);
    int transmit_string(int status, const std::string& content_type);
    // The answer's head as the service takes it: views of the headers' texts,
    // valid while the headers stay as they are. Made on the caller's stack
    // for each send, which keeps the request record small.
    kernel_response build_http_response_headers() const;
    // True when the answer may carry no body: a HEAD request, 1xx, 204, 304.
    bool body_forbidden() const;
    // Replaces the response file (null makes it an empty nul_file).
    void set_file(std::unique_ptr<cl::simple_file> file);
    cl::simple_file& file() { return *file_; }
    // Gives the response file one reference of the response headers (a
    // script file writes its own headers into them).
    void hand_headers_to_file();
    // The request's configuration (the one of its req_info); null before the
    // request runs.
    config_info* config() const;
    // A CGI variable of the request; empty without req_info.
    std::string variable(std::string_view name) const;
    // Marks work handed to another thread: the destructor waits for
    // work_done before it frees anything.
    void work_started();
    void work_done();
    bool destroying() const { return destroying_; }
    // The server-wide send flags (buffer-data when kernel streaming is on).
    static uint32_t server_send_flags();
    static void set_server_send_flags(uint32_t flags);

    // --- fields ---
    request_queue_handle queue;
    std::shared_ptr<http_request_data> data;
    cl::sh_ptr<req_info> info;
    std::shared_ptr<named_mutex> request_mutex; // null when none was taken
    cl::sh_ptr<response_headers> headers;
    http_transport* transport;

    // Response state.
    uint16_t status_code = 0;
    std::string reason;
    int status = 0;
    bool headers_sent = false;
    // The head is another server's answer: nothing describing the resource
    // is added to it.
    bool forwarded_head = false;
    // The head could not be written (err): an error answer and a close.
    void head_refused(uint32_t err);
    bool body_done = false;
    bool send_failed = false; // a send of the answer failed: the client left
    bool length_known = false;
    bool chunked = false;
    bool compressing = false;
    bool close_connection = false;
    uint64_t bytes_sent = 0;
    std::string text_body;
    deflate_stream compressor;
    // Copied from the request for the access log.
    std::string referer;
    std::string user_agent;
    // Per-request switches (set by the processor or a script).
    std::unique_ptr<compression_override> compression;
    bool drain_after_head = false; // HEAD/OPTIONS read the response file to its end
    // The served path and connection, reported to the transfer registry.
    std::wstring transfer_path;

  protected:
    std::unique_ptr<cl::simple_file> file_;
    // Work handed to another thread is under way; a lock and a condition
    // rather than an event, which would cost an allocation per request.
    std::mutex idle_lock_;
    std::condition_variable idle_changed_;
    bool busy_ = false;
    // Set before work is first handed to another thread, by the thread that
    // hands it: until then the destructor has nothing to wait for.
    std::atomic<bool> ever_busy_{false};
    bool destroying_ = false;
};

// Byte ranges of a Range header: inclusive first and last positions.
using byte_range_list = std::vector<std::pair<int64_t, int64_t>>;

enum get_mode : uint32_t { mode_get = 0, mode_head = 1, mode_options = 2 };

class http_get_request : public http_request {
  public:
    http_get_request(cl::sh_ptr<response_headers> headers, uint32_t mode);
    ~http_get_request() override;
    int handle() override;

    // handle() returns this when an event loop found a page whose own thread
    // takes the request now: the caller gives take_runner() a job that calls
    // resume(), which answers the request from where the loop stopped.
    static constexpr int continues_on_runner = -2;
    std::shared_ptr<request_runner> take_runner() { return std::move(runner_); }
    int resume();

    // Finds and opens the response file of the request's path: 0, 404 or 403.
    int lookup_request_file();
    // True when the target's folder asks for a login the request has not
    // given: its missing files then answer 401 like its existing ones.
    bool needs_login_first();
    // Prepares the answer of the response file: 304 or 412 from the
    // conditions, 206 for a range, 200 for OPTIONS, else the given status.
    int transmit_file(int status, const std::string& content_type);
    // Reads what is left of the response file and drops it.
    void drain_file(std::size_t piece);
    // drain_file after the body went out, where something can be left.
    void drain_after_send();

    // Conditions and ranges (http_conditions.cpp).
    int check_preconditions(int status, const std::wstring& path, bool use_path);
    bool if_header_allows_write();
    void parse_range_header(int64_t size);
    void add_range(int64_t first, int64_t last);
    bool modified_since(const std::string& date, const std::wstring& path);
    bool check_if_condition(const std::wstring& resource, bool is_lock_token,
                            const std::string& token);

    uint32_t mode;
    std::string content_type;
    byte_range_list ranges;
    std::wstring file_path; // the path of the response file
    // Lock tokens met in an If header (the lock handlers read them).
    std::vector<std::string> submitted_lock_tokens;

  private:
    // The rest of handle() once the response file was looked up.
    int answer_found(int found);
    bool may_hand_over_ = false; // set by handle() for its look-up
    std::shared_ptr<request_runner> runner_;
};

class http_post_request : public http_get_request {
  public:
    explicit http_post_request(cl::sh_ptr<response_headers> headers);
    int handle() override;
};

class http_error_request : public http_get_request {
  public:
    http_error_request(cl::sh_ptr<response_headers> headers, int status);
    ~http_error_request() override;
    int handle() override;

    int error_status;
    bool no_body;
    std::string redirect_to;
};

class http_script_request : public http_request {
  public:
    http_script_request(cl::sh_ptr<response_headers> headers, std::wstring script_target);
    ~http_script_request() override;
    int handle() override;
    std::wstring script_target;
};

// What the request cache keeps of a forwarded request (server/request_cache.h).
struct proxy_cache_record {
    uint16_t port = 0;
    std::string key; // Host header followed by the forwarding URL
    std::string request_headers;
    std::string referer;
    std::string host;
    bool on_this_machine = false; // the upstream is this machine, loopback or link-local
};

// Forwards the request to the server its Host header names (server/proxy.cpp).
class proxy_request : public http_request {
  public:
    explicit proxy_request(cl::sh_ptr<response_headers> headers);
    ~proxy_request() override;
    int handle() override;

    // handle() returns this when the exchange goes on on the event loop
    // that read the request: the caller hands the request over with go_on.
    static constexpr int continues_on_loop = -1;
    // Runs on the loop when the exchange has ended, with 0 or the status of
    // the error answer still to be sent.
    using ended_call = std::function<void(std::unique_ptr<proxy_request>, int status)>;
    static void go_on(std::unique_ptr<proxy_request> r, ended_call done);
    std::shared_ptr<proxy_exchange> loop_exchange;
    // Kept for the end of a run on the loop (its log line), so that the
    // call that ends it carries nothing of its own.
    std::shared_ptr<khttp::request> kernel_request;
    bool log_at_end = false;

    std::string forward_url; // path and query as received
    uint64_t remaining_body = 0;
    bool chunked_body = false; // a body of unknown length follows
    uint32_t piece_size = 4096;
    bool use_cache = false;
    proxy_cache_record cache_record;
    bool error = false;
    // This server's login applied to the request: its credential is this
    // server's, never the upstream's.
    bool login_consumed = false;
};

// Runs a request on the calling pool thread: attaches queue, data and
// variables, impersonates when asked, takes the configured request mutex and
// calls the handler. 0 when the handler answered; otherwise the status of the
// error answer still to be sent (403 when impersonation failed).
int run_request(http_request& request, const request_queue_handle& queue,
                std::shared_ptr<http_request_data> data, cl::sh_ptr<req_info> info,
                bool impersonate);
// Goes on with a request whose handle() returned continues_on_runner, on the
// runner's thread; the same result as run_request.
int resume_request(http_get_request& request);
