// The program's HTTP client: a session, connections to one host and port,
// and requests on them, with the steps a WinHTTP caller makes (open the
// session, connect, open a request, add headers, send, write the body,
// receive the response, query its headers, read its data, close). Each
// request is driven from the thread that calls it: a call blocks until its
// step is done, failed, or its time-out ran out; no other thread calls back.
//
// Nothing is done behind the caller's back: redirects are not followed,
// content codings are not decoded (chunked framing is), and the request
// target is sent exactly as given.
//
// Every call that can fail returns a Windows error number, 0 on success.
//
// Secure requests check the server's certificate against the system's trust
// store, or against the bundle that SSL_CERT_FILE names when it is set.
#pragma once
#include "core/blocks.h"

#include <boost/container/small_vector.hpp>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace http_client {

// Error numbers of the WinHTTP family, which callers trace and compare.
constexpr uint32_t error_invalid_parameter = 87;
constexpr uint32_t error_not_enough_memory = 8;
constexpr uint32_t error_timeout = 12002;
constexpr uint32_t error_internal_error = 12004;
constexpr uint32_t error_name_not_resolved = 12007;
constexpr uint32_t error_operation_cancelled = 12017;
constexpr uint32_t error_incorrect_handle_state = 12019;
constexpr uint32_t error_cannot_connect = 12029;
constexpr uint32_t error_secure_channel_error = 12157;
constexpr uint32_t error_secure_failure = 12175;
constexpr uint32_t error_connection_error = 12030;
constexpr uint32_t error_invalid_server_response = 12152;

// Session flags and request flags.
constexpr uint32_t access_type_no_proxy = 1;
constexpr uint32_t flag_escape_disable_query = 0x80;
constexpr uint32_t flag_secure = 0x800000;

// add_headers flags.
constexpr uint32_t add_headers_add = 0x20000000;
constexpr uint32_t add_headers_replace = 0x80000000;

// The request's total body length is not known: the body goes out in chunks
// and ends with receive_response.
constexpr uint64_t length_unknown = ~uint64_t(0);

// Time-outs in milliseconds; 0 waits without limit. Connect covers name
// resolution and the TCP (and TLS) set-up; send each write of the body;
// receive the wait for the response head and for each piece of its body.
struct timeouts {
    uint32_t connect_ms = 60000;
    uint32_t send_ms = 30000;
    uint32_t receive_ms = 30000;
};

class session;
class connection;

// The header names the answer's parser knows, by number from 1 up to
// known_name_count() - 1 (any spelling of the name gets its number); empty
// for another number, and 0 stands for a name it does not know.
std::size_t known_name_count();
std::string_view known_name(uint16_t number);

class session {
  public:
    // WinHttpOpen: the agent name goes out as User-Agent unless a request
    // sets its own.
    static std::shared_ptr<session> open(std::string agent, uint32_t access_type, uint32_t& error);
    ~session();
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    const std::string& agent() const { return agent_; }
    // A named proxy ("host:port" or a URL) for the session's requests and the
    // hosts that bypass it (a list separated by ";", "," or blanks; "<local>"
    // stands for names without a dot). Empty: straight to the server.
    void set_proxy(std::string proxy, std::string bypass);
    const std::string& proxy() const { return proxy_; }
    const std::string& proxy_bypass() const { return bypass_; }
    void set_timeouts(const timeouts& t) { timeouts_ = t; }
    const timeouts& get_timeouts() const { return timeouts_; }

  private:
    explicit session(std::string agent) : agent_(std::move(agent)) {}
    std::string agent_;
    std::string proxy_;
    std::string bypass_;
    timeouts timeouts_;
};

// WinHttpConnect: names the server; no traffic until a request is sent.
class connection {
  public:
    connection(std::shared_ptr<session> s, std::string host, uint16_t port);
    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }
    const std::shared_ptr<session>& owner() const { return session_; }

  private:
    std::shared_ptr<session> session_;
    std::string host_;
    uint16_t port_;
};

// One exchange. The calls come in the order of the exchange: add_headers and
// the options, send, write_data while body is left, receive_response, then
// the headers and read_data until it gives 0 bytes. Made and dropped with
// each forwarded request, so it lives in a request block.
class request : public cl::request_sized {
  public:
    // WinHttpOpenRequest: the method, the request target as it goes on the
    // wire ("/path?query"), the Referer (empty: none), the Accept types (each
    // one becomes part of the Accept header) and the flags.
    request(const connection& c, std::string_view method, std::string_view target,
            std::string_view referrer, std::vector<std::string> accept_types, uint32_t flags);
    ~request();
    request(const request&) = delete;
    request& operator=(const request&) = delete;

    // Header lines "Name: value" separated by CR LF. With replace a header of
    // the same name is replaced; otherwise added. An empty value removes a
    // header the client would add itself. A line with a CR or LF inside its
    // value or without a name is refused (87).
    uint32_t add_headers(std::string_view lines, uint32_t flags);
    // The same for fields already split, whose caller made sure that each
    // name is one cl::is_field_name allows and that no value holds a control
    // byte but a tab: they are not read or checked again. Values are trimmed
    // of blanks as add_headers trims them. The texts are copied.
    using field = std::pair<std::string_view, std::string_view>;
    uint32_t add_checked_fields(std::span<const field> fields, uint32_t flags);
    void set_timeouts(const timeouts& t) { timeouts_ = t; }
    // The server's certificate is wanted after send: the request gets a
    // connection of its own, as a reused one no longer has it.
    void want_certificate() { want_certificate_ = true; }
    // Follows no redirect (always so) and sends "Connection: close".
    void disable_keep_alive() { keep_alive_ = false; }
    // Asked with every address the request is about to connect to, after the
    // name was resolved (so every spelling of an address arrives as the
    // address itself), and again with the connected address before the
    // request goes out on it, new or kept; false refuses that address, and a
    // request left with no address fails with address_refused().
    using address_check = std::function<bool(const sockaddr* address, socklen_t length)>;
    void set_address_check(address_check check);
    bool address_refused() const;

    // WinHttpSendRequest: extra header lines, and the body length
    // (length_unknown for a body of unknown length). Returns when the
    // connection is made and the head is on its way, or with the error.
    uint32_t send(std::string_view extra_headers, uint64_t total_length);
    // Passes body bytes on; returns when they are taken (written counts them).
    uint32_t write_data(const void* data, std::size_t length, std::size_t& written);
    // Ends the body and waits for the head of the final response.
    uint32_t receive_response();

    // The status line and header lines, each ended by CR LF, then an empty
    // line; as the server sent them.
    const std::string& raw_headers() const { return raw_headers_; }
    // The header lines without the status line, split into name and value
    // (value trimmed of blanks), in order.
    std::vector<std::pair<std::string, std::string>> header_list() const;
    // The same as views into raw_headers, valid while the request lives.
    // Inside the request for a usual head.
    using field_views = boost::container::small_vector<field, 24>;
    const field_views& header_fields() const { return fields_; }
    // For each of header_fields, the parser's number for its name (see
    // known_name), when the parser that split the head gave them; else
    // empty.
    using field_numbers = boost::container::small_vector<uint16_t, 24>;
    const field_numbers& header_numbers() const { return numbers_; }
    // True when the answer's parser has checked every field: each name is a
    // token, and no value holds a control byte but a tab.
    bool fields_checked() const { return fields_checked_; }
    uint32_t status_code() const { return status_; }
    std::string status_text() const { return reason_; }
    // Body bytes that can be read now without waiting; waits for more when
    // none are there (0 at the end of the body).
    uint32_t query_data_available(std::size_t& available);
    // Reads up to length body bytes; got 0 at the end of the body.
    uint32_t read_data(void* buffer, std::size_t length, std::size_t& got);
    // True once the whole response has been received.
    bool complete() const;

    // Driven by an event loop instead of by the caller: send and the calls
    // after it never wait. The loop's thread (the caller's, which must run
    // `loop`) moves the transfer on with one library handle per loop, so
    // that many exchanges cost no thread each, and calls `progress` whenever
    // the head, body bytes or the end arrived; never from inside a library
    // call, so progress may destroy the request. For requests without a body;
    // call before send.
    void drive_on_loop(boost::asio::io_context& loop, std::function<void()> progress);
    // Loop mode: the head has arrived (receive_response then takes it
    // without waiting); the transfer has ended, with 0 or its error.
    bool head_arrived() const;
    bool ended() const;
    uint32_t end_error() const;
    // Loop mode: takes up to length of the body bytes that arrived, without
    // waiting. Bytes not taken hold the transfer back once a little is
    // buffered: a client that reads slowly holds the server back instead of
    // filling memory.
    std::size_t take_data(void* buffer, std::size_t length);
    // The address the connection went to (or was last tried), as text;
    // empty before send.
    std::string primary_ip() const;
    // The subject of the server's certificate ("CN=..., O=..."), for a
    // secure request once it is connected; empty otherwise.
    std::string certificate_subject() const;

    struct state;

  private:
    uint32_t pump_until(bool (*done)(const state&), uint32_t timeout_ms);
    uint32_t failure() const;
    void split_fields();

    std::unique_ptr<state> s_;
    timeouts timeouts_;
    bool keep_alive_ = true;
    bool want_certificate_ = false;
    std::string raw_headers_;
    field_views fields_;
    field_numbers numbers_;
    bool fields_checked_ = false;
    std::string reason_;
    uint32_t status_ = 0;
};

} // namespace http_client
