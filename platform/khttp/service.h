// Internal parts of the HTTP service: the one service object with its I/O
// threads, listeners and registrations, and the request queue.
#pragma once
#include "platform/khttp/khttp.h"
#include "platform/khttp/url.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <condition_variable>
#include <deque>
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

class request_queue {
  public:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<request> pending_;
    bool closed_ = false;
    int waiting_ = 0; // receivers asleep on cv_

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

    std::optional<route> find_route(bool secure, uint16_t port, std::string_view host,
                                    std::wstring_view path);

    void add_queue(const queue_handle& q);

    uint64_t next_connection_id() { return next_connection_++; }
    uint64_t next_request_id() { return next_request_++; }

    void add_connection(uint64_t id, const std::shared_ptr<connection>& c);
    void remove_connection(uint64_t id);
    std::shared_ptr<connection> find_connection(uint64_t id);
    void add_request(uint64_t id, const std::shared_ptr<connection>& c);
    void remove_request(uint64_t id);
    std::shared_ptr<connection> find_request(uint64_t id);

  private:
    service() = default;
    uint32_t open_listener(uint16_t port, bool secure, listener& l);
    void accept_next(const std::shared_ptr<listener>& l);
    void release_listener(uint16_t port);

    mutable std::mutex m_;
    service_options options_;
    int init_count_ = 0;
    std::unique_ptr<boost::asio::io_context> io_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::vector<std::thread> threads_;
    std::unique_ptr<boost::asio::ssl::context> tls_;
    std::map<uint16_t, std::shared_ptr<listener>> listeners_;
    std::vector<registration> registrations_;
    std::vector<std::weak_ptr<request_queue>> queues_;
    // I/O contexts of earlier runs: a server thread may still hold a
    // connection of one, so they live until the program ends.
    std::vector<std::unique_ptr<boost::asio::io_context>> retired_;
    std::unordered_map<uint64_t, std::weak_ptr<connection>> connections_;
    std::unordered_map<uint64_t, std::shared_ptr<connection>> requests_;
    std::atomic<uint64_t> next_connection_{0x1000};
    std::atomic<uint64_t> next_request_{0x2000};
};

} // namespace khttp
