// One client connection of the HTTP service. Socket work runs in the
// connection's own handlers on its event loop (one thread per loop, so they
// never overlap); the server's threads call in (body receive, sends) under
// the connection's lock and wait on its condition variable, so a blocking
// call never holds an I/O thread. A queue with a request handler gets its
// requests in a handler of the connection, outside the lock: sends made there
// never wait, the loop writes what the socket did not take.
#pragma once
#include "platform/khttp/request_parser.h"
#include "platform/khttp/service.h"
#include "platform/khttp/tls.h"
#include "platform/khttp/wire.h"

#include <boost/asio/detail/reactor_fwd.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <deque>
#include <memory>
#include <unistd.h>

namespace khttp {

class connection : public std::enable_shared_from_this<connection> {
  public:
    using tcp = boost::asio::ip::tcp;
    using loop_type = boost::asio::io_context::executor_type;

    connection(loop_type loop, tcp::socket socket, boost::asio::ssl::context* tls, uint16_t port);
    ~connection();

    uint64_t id() const { return id_; }
    void start();

    uint32_t receive_body(uint64_t request_id, void* buffer, uint32_t length, uint32_t& got);
    uint32_t send_response(uint64_t request_id, uint32_t flags, const response& r,
                           uint32_t* bytes_sent);
    uint32_t send_body(uint64_t request_id, uint32_t flags, const void* data, std::size_t length,
                       uint32_t* bytes_sent);
    // Without a holder the connection sends from a descriptor of its own;
    // with one, from `fd`, which the holder keeps open.
    uint32_t send_file(uint64_t request_id, uint32_t flags, int fd, uint64_t offset,
                       uint64_t length, std::shared_ptr<const void> holder, uint32_t* bytes_sent);
    // For a sender on the event loop: ready runs on the loop once less than
    // limit bytes of output wait (true) or the connection has ended (false).
    uint32_t when_output_below(uint64_t request_id, std::size_t limit,
                               std::function<void(bool)> ready);
    std::size_t output_waiting(uint64_t request_id);
    // True once the request is over or its client has ended its sending side.
    bool client_ended(uint64_t request_id);
    // 997 when registered, 0 when the connection has closed already.
    uint32_t watch(const std::shared_ptr<overlapped::state>& s);
    // Ends the connection if its latest request came from the queue.
    void abort_if_queue(request_queue* q);
    void abort_from_outside();
    // Only once the I/O threads have ended.
    void close_after_stop();

  private:
    enum class phase { handshake, waiting_head, in_request, draining, closing, lingering, closed };
    using parser_type = request_parser;
    using lock = std::unique_lock<std::mutex>;

    // While one lasts, the calling thread runs a handler of the connection:
    // socket work may start at once (see mine). Nested ones form a chain,
    // as a handler may run another connection's handler.
    struct in_handler {
        explicit in_handler(const connection* c);
        ~in_handler();
        in_handler(const in_handler&) = delete;
        in_handler& operator=(const in_handler&) = delete;
        const connection* c;
        in_handler* up;
    };
    static thread_local in_handler* handler_chain_;
    // True inside a handler of this connection, on its loop.
    bool mine() const;
    // f as a handler of the connection.
    template <class F> auto as_handler(F f) {
        return [c = this, f = std::move(f)](auto&&... a) mutable {
            in_handler h(c);
            f(std::forward<decltype(a)>(a)...);
        };
    }
    // f, later, as a handler of the connection on its loop.
    template <class F> void post_as_handler(F f) {
        boost::asio::post(loop_, as_handler(std::move(f)));
    }
    // Runs a step under the lock in a handler of the connection.
    void post_locked(void (connection::*step)(lock&));
    void post_pump();
    void pump(lock& l);
    bool needs_pump() const;
    void send_now(lock& l, bool hold = false);
    void hold_for_a_while();
    void on_hold_timer(const boost::system::error_code& ec);
    void start_read(lock& l);
    void on_read(const boost::system::error_code& ec, std::size_t n);
    class read_op; // the connection's one read, see connection.cpp
    void start_write(lock& l);
    void write_some();
    void write_file(lock& l);
    void on_file_writable(const boost::system::error_code& ec);
    void arm_write_timer();
    std::size_t queued_output() const;
    // Calls a waiting when_output_below on the loop when its time has come.
    void check_output_ready();
    bool has_output() const {
        return !out_.empty() || !pieces_.empty() || !tls_io_.sealed.empty() ||
               write_off_ < writing_.size();
    }
    // Direct non-blocking writes of the output on the calling thread; false
    // when the connection failed.
    bool write_directly();
    // The same under TLS: the output is encrypted into records as the socket
    // takes them (a file a piece at a time), and the records sent.
    bool write_sealed_directly();
    // Encrypts output while little ciphertext waits; false when a file read failed.
    bool seal_some();
    void on_handshake_read(lock& l, const boost::system::error_code& ec, std::size_t n);
    // Decrypts what the socket gave into in_.
    void open_records(std::size_t n);
    // Body bytes the framing lets through of length; ends the body when flags
    // say it is complete (after the caller added its bytes).
    std::size_t body_room(std::size_t length);
    void end_body(lock& l, uint32_t flags);
    // A request whose body is on its way waits here, not on a thread: its
    // decoded body is gathered into spool_ until it is complete or the
    // spool is full, and only then is the request handed on.
    void spool_step(lock& l);
    void open_gate(lock& l);
    void hand_on(lock& l, std::shared_ptr<request> req, std::shared_ptr<request_queue> q);
    // The body clock while the connection waits for body bytes: the gap
    // between pieces, and the rate.
    void arm_body_wait();
    void body_too_slow(lock& l);
    void dispatch(lock& l);
    void post_dispatch();
    void enqueue(lock& l, const request& req, request_queue& q);
    void on_write(const boost::system::error_code& ec, std::size_t n);
    using clock = std::chrono::steady_clock;
    void arm(std::chrono::milliseconds d);
    void set_deadline(clock::time_point t);
    void disarm();
    void on_timer(const boost::system::error_code& ec);
    // When the body is late by the rate rule (max: no rule).
    clock::time_point rate_deadline() const;

    void new_head(lock& l);
    void try_parse_head(lock& l);
    bool body_complete_in_hand() const;
    void on_head(lock& l);
    void refuse(lock& l, unsigned status);
    void finish_request(lock& l);
    void drain_step(lock& l);
    std::size_t safe_put(boost::system::error_code& ec);
    void abort(lock& l);
    void close_now(lock& l);
    bool request_matches(uint64_t request_id) const;
    void wait_backlog(lock& l);
    std::size_t buffered() const { return in_.size() - in_pos_; }

    const uint64_t id_;
    const uint16_t port_;
    const bool secure_;
    const service_options opts_; // as configured when the connection came
    loop_type loop_;
    // Under TLS the socket carries the records of tls_: the session is driven
    // here, on whichever thread holds the lock, never by a stream object.
    std::unique_ptr<tcp::socket> socket_;
    tls_buffers tls_io_;
    tls_session tls_;
    boost::asio::steady_timer timer_;
    boost::asio::steady_timer write_timer_;
    boost::asio::steady_timer hold_timer_;
    sockaddr_storage remote_{};
    sockaddr_storage local_{};
    // Their texts, which every request of the connection carries.
    address_text remote_text_;
    address_text local_text_;

    std::mutex m_;
    std::condition_variable cv_;
    // Threads waiting on cv_ (under m_): a connection served on its loop
    // alone has none, and its state changes wake nobody.
    int cv_waiters_ = 0;
    void wake() {
        if (cv_waiters_ > 0) cv_.notify_all();
    }
    template <class Done> void wait_until(lock& l, Done done) {
        ++cv_waiters_;
        cv_.wait(l, done);
        --cv_waiters_;
    }
    phase phase_ = phase::handshake;
    std::string in_;
    std::size_t in_pos_ = 0;
    std::array<char, 16384> read_chunk_{};
    std::unique_ptr<read_op> read_op_;
    boost::asio::detail::reactor* reactor_ = nullptr; // the loop's
    bool reading_ = false;
    bool read_closed_ = false;   // the peer sent its end or the read failed
    bool read_failed_ = false;   // the read failed (reset), not a clean end
    bool head_started_ = false;  // bytes of the next head have arrived
    std::size_t head_bytes_ = 0; // of the head, taken by the parser so far
    std::string head_prefix_;    // its first bytes
    clock::time_point deadline_ = clock::time_point::max();
    clock::time_point armed_ = clock::time_point::max();
    clock::time_point idle_until_{};
    bool timer_pending_ = false;
    uint64_t lingered_ = 0;

    std::optional<parser_type> parser_;
    // Kept from request to request so that a warmed connection parses and
    // builds its requests without allocating.
    head_store head_;
    std::string host_, path_;
    std::shared_ptr<request> spare_; // the last request, if nobody else holds it
    service::request_map::node_type request_node_;
    request_queue* queue_ = nullptr;
    uint64_t request_id_ = 0;
    uint32_t requests_ = 0; // heads handed on so far
    bool head_request_ = false;
    bool client_keep_alive_ = true;
    bool expect_continue_ = false;
    bool continue_sent_ = false;
    bool want_data_ = false;
    bool response_started_ = false;
    bool response_done_ = false;
    framing framing_;
    std::shared_ptr<request> gated_;
    std::shared_ptr<request_queue> gated_queue_;
    std::string spool_;
    std::size_t spool_pos_ = 0;
    clock::time_point body_start_{};
    clock::time_point stalled_since_ = clock::time_point::max();
    uint64_t body_in_ = 0; // bytes read since the head
    uint64_t body_sent_ = 0;
    uint64_t drained_ = 0;

    // Output before out_, in order: bytes that preceded a file, and files
    // (a descriptor, the next offset and the bytes left). The descriptor is
    // our own unless a holder keeps it open for us.
    struct out_piece {
        std::string bytes;
        int fd = -1;
        uint64_t offset = 0;
        uint64_t left = 0;
        std::shared_ptr<const void> holder;
        void release_fd() {
            if (fd >= 0 && !holder) ::close(fd);
            fd = -1;
            holder.reset();
        }
        // sendfile to `socket` until the file's part is sent (1), the socket
        // takes no more for now (0) or it fails or the file ends early (-1).
        int send_to(int socket);
    };
    std::deque<out_piece> pieces_;
    void drop_pieces();

    // A request for the queue's handler, taken over by the dispatch loop.
    std::shared_ptr<request> ready_;
    std::shared_ptr<request_queue> ready_queue_;
    bool dispatching_ = false;

    std::string out_;
    std::string writing_;
    bool write_pending_ = false;
    std::size_t write_off_ = 0;
    bool close_after_write_ = false;
    // out_ is kept back for the sender's next piece (buffer-data sends): the
    // next send, a full hold or the hold timer lets it go.
    bool held_ = false;
    clock::time_point held_since_{};
    bool hold_timer_pending_ = false;

    std::vector<std::shared_ptr<overlapped::state>> watchers_;
    std::function<void(bool)> output_ready_;
    std::size_t output_limit_ = 0;
};

} // namespace khttp
