// Internal parts of the HTTP service: the one service object with its I/O
// threads, listeners and registrations, and the request queue.
#pragma once
#include "platform/khttp/khttp.h"
#include "platform/khttp/url.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace khttp {

class connection;

struct overlapped::state {
    std::atomic<uint32_t> status{0};
};

// A queued request and the connection it came on, so that the thread that
// receives it finds the connection without a look-up.
struct queued_request {
    request r;
    std::shared_ptr<connection> c;
};

class request_queue {
  public:
    std::mutex m_;
    std::condition_variable cv_;
    std::list<queued_request> pending_;
    // Entries whose requests were received, kept (a few) for the next ones:
    // their strings keep their room, so a queued request costs no allocation
    // once the queue is warm.
    std::list<queued_request> spare_;
    static constexpr std::size_t spare_limit = 64;
    bool closed_ = false;
    int waiting_ = 0; // receivers asleep on cv_
    // Set before the queue's prefixes are added and never changed after:
    // read by the I/O threads without the lock.
    request_handler handler_;

    // Receivers asleep in receive_request now.
    int waiting_receivers() {
        std::lock_guard<std::mutex> l(m_);
        return waiting_;
    }
};

struct registration {
    url_prefix prefix;
    std::wstring text;
    std::weak_ptr<request_queue> queue;
    request_queue* owner = nullptr;
    uint64_t context = 0;
};

struct listener {
    uint16_t port = 0;
    bool secure = false;
    int users = 0; // registrations on this port
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
    std::unique_ptr<boost::asio::steady_timer> retry;
};

struct route {
    std::shared_ptr<request_queue> queue;
    uint64_t context = 0;
};

// Makes id the calling thread's current request (0: none).
void set_current_request(uint64_t id, std::shared_ptr<connection> c);

class service {
  public:
    static service& get();

    // Options and time-outs, read by connections as they need them.
    service_options options() const;
    void set_options(const service_options& o);
    void set_idle(std::chrono::milliseconds idle);

    uint32_t start();
    uint32_t stop();
    bool running() const;

    uint32_t add(const queue_handle& q, const std::wstring& text, uint64_t context);
    uint32_t remove(const queue_handle& q, const std::wstring& text);
    void close_queue(const queue_handle& q);

    // Without the service lock: registrations are read from a snapshot that
    // every change replaces.
    std::optional<route> find_route(bool secure, uint16_t port, std::string_view host,
                                    std::wstring_view path);

    void add_queue(const queue_handle& q);

    uint64_t next_connection_id() { return next_connection_++; }
    uint64_t next_request_id() { return next_request_++; }

    void add_connection(uint64_t id, const std::shared_ptr<connection>& c);
    void remove_connection(uint64_t id);
    std::shared_ptr<connection> find_connection(uint64_t id);
    using request_map = std::unordered_map<uint64_t, std::shared_ptr<connection>>;
    // node: an entry of an earlier request to reuse (empty: a new one), or
    // where the entry goes when it is removed, so that a connection's
    // requests come and go without allocating.
    void add_request(uint64_t id, const std::shared_ptr<connection>& c,
                     request_map::node_type& node);
    void remove_request(uint64_t id, request_map::node_type* node = nullptr);
    // The calling thread's current request first (the one it received or
    // runs on its I/O loop), then the shared table.
    std::shared_ptr<connection> find_request(uint64_t id);

  private:
    service() = default;
    uint32_t open_listener(uint16_t port, bool secure, listener& l);
    void accept_next(const std::shared_ptr<listener>& l);
    void release_listener(uint16_t port);
    // Publishes registrations_ to the snapshot find_route reads (lock held).
    void publish_routes();

    // The requests in flight, spread over locks of their own: threads that
    // answer requests on different connections do not meet on one lock.
    struct request_shard {
        std::mutex m;
        request_map map;
    };
    static constexpr std::size_t request_shards = 64;
    std::array<request_shard, request_shards> requests_;
    std::atomic<std::shared_ptr<const std::vector<registration>>> routes_;
    std::atomic<uint64_t> routes_generation_{0}; // counts the snapshots published

    mutable std::mutex m_;
    service_options options_;
    int init_count_ = 0;
    // One event loop per I/O thread: the acceptors run on the first, each
    // accepted connection is given to the loops in turn and stays there.
    std::vector<std::unique_ptr<boost::asio::io_context>> ios_;
    std::vector<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::size_t next_loop_ = 0;
    std::vector<std::thread> threads_;
    std::unique_ptr<boost::asio::ssl::context> tls_;
    std::map<uint16_t, std::shared_ptr<listener>> listeners_;
    std::vector<registration> registrations_;
    std::vector<std::weak_ptr<request_queue>> queues_;
    // I/O contexts of earlier runs: a server thread may still hold a
    // connection of one, so they live until the program ends.
    std::vector<std::unique_ptr<boost::asio::io_context>> retired_;
    std::unordered_map<uint64_t, std::weak_ptr<connection>> connections_;
    std::atomic<uint64_t> next_connection_{0x1000};
    std::atomic<uint64_t> next_request_{0x2000};
};

} // namespace khttp
