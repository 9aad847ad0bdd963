// The socket server of a live stream: listeners on every local IPv4 and IPv6
// address of one port, an accept thread, and one thread per client slot that
// moves bytes with short poll steps. Slots are reused: a finished connection
// parks its thread until the accept thread hands it the next socket.
#pragma once
#include "core/ref_cnt.h"
#include "core/transfer_block.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace media {

class stream_server;

// What a stream's connections see of the sink that owns them.
class stream_owner {
  public:
    virtual ~stream_owner() = default;
    virtual void add_client(stream_server* client) = 0;
    virtual void remove_client(stream_server* client) = 0;
    // Queue what a new client must see before the live data. Sets the
    // client's started flag under the same lock that orders the data, so
    // no unit is missed or sent twice.
    virtual void start_client(stream_server* client) = 0;
    virtual void client_connected(stream_server* client) = 0;
    virtual void client_disconnected(stream_server* client) = 0;
    virtual std::string content_type() = 0;
};

// The most clients any one stream serves at once; every accept thread reads it.
uint32_t max_stream_clients();
void set_max_stream_clients(uint32_t n);

// One connection over one socket, with its queue of blocks to send.
class socket_operator_base : public cl::ref_cnt_shared {
  public:
    using block_ptr = cl::sh_ptr<cl::transfer_block>;

    socket_operator_base() = default;
    socket_operator_base(const socket_operator_base&) = delete;
    socket_operator_base& operator=(const socket_operator_base&) = delete;

    // Appends the block to the send queue. False (nothing queued) when the
    // connection is not attached, or when the queue would pass its byte
    // limit: a client that cannot keep up is ended instead of being
    // buffered without bound.
    bool queue_block(const block_ptr& block);
    bool queue_bytes(const void* p, size_t n);
    size_t queued_bytes();
    void set_queue_limit(size_t bytes) { queue_limit_ = bytes; }

    virtual void on_receive(const uint8_t* data, size_t n) = 0;
    virtual void on_connect() = 0;
    virtual void on_disconnect() = 0;
    virtual std::wstring describe() const { return L"Unnamed connection"; }

  protected:
    void attach(int socket, bool stream, int64_t now_ms);
    // Drops the queue and returns the socket, now detached.
    int detach();
    // Sends what the socket takes of the oldest block. False when the send
    // failed for a reason other than a full socket buffer.
    bool send_some();
    bool has_queued();
    // Ending the connection was asked for (overflow, bad request).
    bool should_end() const { return end_.load(); }
    void request_end() { end_.store(true); }

    int socket_ = -1;
    bool stream_ = true;
    int family_ = 0;
    std::atomic<int64_t> last_activity_ms_{0};

  private:
    std::mutex queue_lock_;
    std::deque<block_ptr> queue_;
    size_t queue_bytes_ = 0;
    size_t queue_limit_ = 16u << 20;
    std::atomic<bool> attached_{false};
    std::atomic<bool> end_{false};
};

// A stream client: answers each request with the stream's response header and
// asks the owner to start the stream for it once per connection.
class stream_server : public socket_operator_base {
  public:
    // A request head longer than this ends the connection.
    static constexpr size_t max_request_head = 16384;

    void set_owner(stream_owner* owner) { owner_ = owner; }
    bool started() const { return started_; }
    // Called by the owner under its data lock.
    void set_started() { started_ = true; }

    void on_receive(const uint8_t* data, size_t n) override;
    void on_connect() override;
    void on_disconnect() override;

  protected:
    stream_owner* owner_ = nullptr;

  private:
    std::atomic<bool> started_{false};
    // Bytes of the request head not yet ended by an empty line.
    std::string head_;
};

class stream_listener;

// A client slot with a thread of its own.
template <class S> class socket_client final : public S {
  public:
    explicit socket_client(stream_listener& listener);
    ~socket_client() override;
    void start_thread(int socket);
    // Hands a new socket to an idle slot.
    void resume(int socket);
    bool idle() const { return idle_.load(); }
    void set_family(int f) { this->family_ = f; }
    void set_stream(bool s) { next_stream_ = s; }
    // Ends the current connection and the thread, and waits for it.
    void stop();

  private:
    void run();
    bool io_step();

    stream_listener& listener_;
    std::thread thread_;
    std::mutex wake_lock_;
    std::condition_variable wake_cv_;
    bool wake_ = false;
    std::atomic<bool> exit_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> idle_{false};
    bool next_stream_ = true;
    int next_socket_ = -1;
};

using stream_client = socket_client<stream_server>;

class stream_listener {
  public:
    using clock_fn = std::function<int64_t()>; // milliseconds, monotonic
    using bind_problem_fn = std::function<void(bool ipv6)>;

    stream_listener();
    ~stream_listener();
    stream_listener(const stream_listener&) = delete;
    stream_listener& operator=(const stream_listener&) = delete;

    void set_owner(stream_owner* owner) { owner_ = owner; }
    // Shown to the user when a port cannot be bound; installed by the shell.
    static void set_bind_problem_handler(bind_problem_fn fn);
    // A silent client that takes no data is ended after this time.
    void set_idle_timeout_ms(int64_t ms) { idle_timeout_ms_ = ms; }
    void set_clock(clock_fn fn) { clock_ = std::move(fn); }
    void set_queue_limit(size_t bytes) { queue_limit_ = bytes; }

    // A negative port opens datagram sockets on its absolute value. False
    // when no socket could be opened (then nothing is left open).
    bool start(int port);
    // Ends accepting and closes the listening sockets; running connections
    // go on until they end.
    void stop();
    // Ends every connection and waits for the client threads.
    void stop_clients();

    size_t listening_count() const { return sockets_.size(); }
    size_t client_count();
    int port() const { return port_; }

    int64_t now_ms() const { return clock_(); }
    int64_t idle_timeout_ms() const { return idle_timeout_ms_; }

  private:
    void open_sockets(int port, bool stream);
    void accept_loop();
    void accepted(int listen_socket, int socket);
    cl::sh_ptr<stream_client> new_client();

    std::thread accept_thread_;
    std::atomic<bool> stop_{false};
    std::vector<int> sockets_;
    std::vector<int> families_;
    int port_ = 0;
    bool stream_mode_ = true;
    std::mutex clients_lock_;
    std::vector<cl::sh_ptr<stream_client>> clients_;
    stream_owner* owner_ = nullptr;
    int64_t idle_timeout_ms_ = 300000;
    size_t queue_limit_ = 16u << 20;
    clock_fn clock_;
};

} // namespace media
