// The one global server object: the front end on the kernel HTTP service
// (URL registration, the receive loop, the connection limit, disconnect
// notices) and the registry of open connections with their transfers and the
// server's totals.
#pragma once
#include "core/sync.h"
#include "core/thread.h"
#include "core/timer.h"
#include "platform/khttp/khttp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct connection_record {
    // One file in transfer. A connection sends one file after another: an
    // ended entry keeps its storage for the next one instead of being freed.
    struct transfer {
        std::wstring path;
        uint32_t progress = 0;
        bool active = false;
    };
    khttp::overlapped overlapped;    // the disconnect wait; status_pending while open
    std::string client;              // "address:port", set when the connection is admitted
    std::string user;                // authenticated user of the latest request
    std::vector<transfer> transfers; // at most one active entry per path
};

// Thrown by _http_server::before_blocking on an event loop: the request's run
// stops and starts again on a pool thread. Not a std::exception, so that no
// handler of failures takes it; a catch-all on its way passes it on.
struct move_to_pool {};

// A thread of its own that can serve a request read by an event loop (a
// script page's worker), held for one request from the moment it said yes.
// Dropped without run(), it lets the thread go again.
class request_runner {
  public:
    virtual ~request_runner() = default;
    // Runs the job on that thread, soon; called at most once.
    virtual void run(std::function<void()> job) = 0;
};

// Runs one received request; owns it from then on.
using request_processor =
    std::function<void(class _http_server& server, std::shared_ptr<khttp::request> request)>;

// A progress of this value ends a transfer.
constexpr uint32_t transfer_done = 0xFFFFFFFFu;

class _http_server {
  public:
    _http_server();
    ~_http_server();
    _http_server(const _http_server&) = delete;
    _http_server& operator=(const _http_server&) = delete;

    // Registers the URLs and starts the receive loop on pool. False when the
    // kernel service or its queue could not be had.
    bool start(uint32_t http_port, uint32_t https_port, const std::wstring& host_name,
               const std::wstring& rel_uri, cl::thread_pool& pool);
    // Ends the loop, removes the URLs and ends the kernel service. Safe after a
    // failed or missing start. Waits at most stop_wait_ms for the requests
    // that loops still run.
    void stop();
    static constexpr uint32_t stop_wait_ms = 15000;

    // The URLs to register, in order.
    static std::vector<std::wstring> url_list(const std::wstring& host_name, uint32_t http_port,
                                              uint32_t https_port, const std::wstring& rel_uri,
                                              const std::wstring& proxy_port);

    void receive_loop();
    // True when a received request may block its thread for long (a body to
    // read, a script, the proxy, a DAV method): anything not known to be
    // short. The others (GET, HEAD and OPTIONS of the served tree without a
    // body) are run by the event loop that read them.
    static bool may_block(const khttp::request& request);
    // Runs a request on the event loop that read it (the service's request
    // handler). False: the request goes to the receive loops, because it may
    // block or because its run met work that may (before_blocking) before
    // anything was sent; request.handler_mark then tells the processor.
    bool run_on_loop(const std::shared_ptr<khttp::request>& request);
    // Called before work that may block. On an event loop, before anything of
    // the answer was sent, the run stops here (an exception that run_on_loop
    // catches) and starts again on a pool thread. On a receiving pool thread:
    // makes sure another thread waits for requests, so the work holds up no
    // other request; a no-op on other threads and when one waits already.
    void before_blocking();
    // Runs the rest of a request that an event loop began on the runner's
    // thread, which sends its answer; stop waits for it as for the loops.
    void run_on_runner(std::shared_ptr<request_runner> runner, std::function<void()> job);
    // The answer of the request that runs on this thread has started.
    static void note_response_started();
    // True while the calling thread runs a request on its event loop.
    static bool running_on_loop();
    // Forgets the connections that have closed and runs their disconnect
    // handlers; every 1000 ms on the "slow" timer.
    void sweep_connections();

    // The processor of received requests; server_start sets the request
    // processor, tests their own. Set before start.
    void set_processor(request_processor processor);
    // Most connections kept open; a new one beyond gets 503.
    void set_max_connections(uint32_t n) { max_connections_.store(n); }

    // --- registry ---
    void set_client_text(uint64_t connection_id, const std::string& client);
    void set_transfer_file(uint64_t connection_id, const std::string& user);
    void set_transfer_progress(uint64_t connection_id, const std::wstring& path, uint32_t progress);
    void list_connections(std::vector<std::wstring>& keys, std::vector<std::wstring>& values);
    // Paths below public_dir are listed relative to it.
    void list_downloads(std::vector<std::wstring>& keys, std::vector<std::wstring>& values,
                        const std::wstring& public_dir);
    std::size_t connection_count();
    bool has_connection(uint64_t connection_id);

    void add_bytes_sent(uint64_t n) { bytes_sent_.fetch_add(n); }
    void add_bytes_received(uint64_t n) { bytes_received_.fetch_add(n); }
    void count_request() { requests_.fetch_add(1); }
    uint64_t bytes_sent() const { return bytes_sent_.load(); }
    uint64_t bytes_received() const { return bytes_received_.load(); }
    uint64_t requests() const { return requests_.load(); }

    // Set once stop() begins: long work of requests (parses, expansions,
    // matches) looks at it and ends early.
    const std::atomic<bool>& stop_flag() const { return stopping_; }

    const khttp::queue_handle& queue() const { return queue_; }
    std::vector<std::wstring> registered_urls();
    cl::thread_pool* pool() const { return pool_; }
    uint32_t http_port() const { return http_port_; }
    uint32_t https_port() const { return https_port_; }

  private:
    void process(std::shared_ptr<khttp::request> request);
    // Starts one more receive loop on the pool.
    bool start_receiver();
    void answer_over_limit(const khttp::request& request);
    // Notes a new connection (and its disconnect wait); false when it is one
    // over max_connections.
    bool admit(const khttp::request& request);
    void send_failure(uint64_t request_id);

    cl::timer_id sweep_timer_;
    uint32_t http_port_ = 0;
    uint32_t https_port_ = 0;
    std::wstring host_name_;
    std::wstring rel_uri_;
    // Found by id several times per request, by requests on every core at
    // once: split by id so that they rarely meet on one lock. Listed in id
    // order with every part locked.
    struct connection_shard {
        cl::critical_section lock;
        std::unordered_map<uint64_t, connection_record> connections;
    };
    static constexpr std::size_t connection_shard_count = 16;
    connection_shard& shard_of(uint64_t id) { return shards_[id % connection_shard_count]; }
    // Holds every part's lock, taken in order, for as long as it lives.
    class all_shards_lock {
      public:
        explicit all_shards_lock(_http_server& s);
        ~all_shards_lock();
        all_shards_lock(const all_shards_lock&) = delete;
        all_shards_lock& operator=(const all_shards_lock&) = delete;

      private:
        _http_server& s_;
    };
    // Only with every part locked.
    std::vector<const std::pair<const uint64_t, connection_record>*> connections_in_order() const;
    connection_shard shards_[connection_shard_count];
    std::atomic<std::size_t> connection_total_{0};
    cl::critical_section lock_; // the URL list
    std::vector<std::wstring> urls_;
    khttp::queue_handle queue_;
    std::atomic<bool> stopping_{false};
    bool initialized_ = false;
    bool loop_running_ = false;
    cl::event loop_ended_;
    // Receive loops: running, and asleep on the queue. Requests that cannot
    // block run on the loop that received them; at least `receivers_` loops
    // stay (one per core), more are started only when a loop's request may
    // block while none waits, and leave again once enough wait.
    std::atomic<uint32_t> loops_running_{0};
    std::atomic<uint32_t> loops_waiting_{0};
    // Requests handed from an event loop to a runner and not yet done; stop
    // waits for them as for the loops.
    std::atomic<uint32_t> runner_requests_{0};
    uint32_t receivers_ = 1;
    std::atomic<uint64_t> bytes_sent_{0};
    std::atomic<uint64_t> bytes_received_{0};
    std::atomic<uint64_t> requests_{0};
    std::atomic<uint32_t> max_connections_{5000};
    cl::thread_pool* pool_ = nullptr;
    request_processor processor_;
};

// The cores the process may run on (its CPU affinity), at least one: the
// number of receive loops and of the HTTP service's I/O threads.
std::size_t http_usable_cores();

// The one server object of the process.
_http_server& the_http_server();

// The scripts that asked to be told when a connection closes.
struct disconnect_handler {
    std::string script_url;
    std::wstring parameter;
    uint64_t connection_id = 0;
};
void add_disconnect_handler(disconnect_handler handler);
// Runs, once each and in registration order, the handlers of the connection;
// the list's lock is not held while a script runs.
void run_disconnect_handlers(uint64_t connection_id);
std::size_t disconnect_handler_count();
