#include "platform/khttp/service.h"

#include "core/blocks.h"
#include "platform/khttp/connection.h"
#include "platform/khttp/tls.h"
#include "platform/win32/errors.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace khttp {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

void set_cloexec(int fd) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

uint32_t from_asio(const error_code& ec) {
    if (ec == asio::error::address_in_use) return win32::error_sharing_violation;
    if (ec == asio::error::access_denied) return win32::error_access_denied;
    if (ec.category() == boost::system::system_category()) return win32::from_errno(ec.value());
    return win32::error_gen_failure;
}

} // namespace

service& service::get() {
    static service s;
    return s;
}

service_options service::options() const {
    std::lock_guard<std::mutex> l(m_);
    return options_;
}

void service::set_options(const service_options& o) {
    std::lock_guard<std::mutex> l(m_);
    options_ = o;
    if (options_.io_threads == 0) options_.io_threads = 1;
}

void service::set_idle(std::chrono::milliseconds idle) {
    std::lock_guard<std::mutex> l(m_);
    options_.timeouts.idle = idle;
}

bool service::running() const {
    std::lock_guard<std::mutex> l(m_);
    return !ios_.empty();
}

namespace {
// Set on the service's own threads.
thread_local bool io_thread = false;
thread_local asio::io_context* io_loop = nullptr;
// The request the calling thread answers and its connection: the thread that
// received a request (or runs it on its loop) sends for it without a look-up.
thread_local uint64_t current_request_id = 0;
thread_local std::shared_ptr<connection> current_connection;
} // namespace

bool on_io_thread() {
    return io_thread;
}

asio::io_context* current_loop() {
    return io_loop;
}

void set_current_request(uint64_t id, std::shared_ptr<connection> c) {
    current_request_id = id;
    current_connection = std::move(c);
}

uint32_t service::start() {
    std::lock_guard<std::mutex> l(m_);
    if (init_count_++ > 0) return 0;
    for (std::size_t i = 0; i < options_.io_threads; ++i) {
        // One thread per loop: the scheduler needs no locking of its own.
        ios_.push_back(std::make_unique<asio::io_context>(1));
        work_.emplace_back(ios_.back()->get_executor());
    }
    publish_routes();
    for (std::size_t i = 0; i < ios_.size(); ++i) {
        threads_.emplace_back([io = ios_[i].get()] {
            io_thread = true;
            io_loop = io;
            // A loop holds every request it has read until its answer is out.
            cl::keep_blocks(64);
            for (;;) {
                try {
                    io->run();
                    break;
                } catch (...) {
                    // A fault in one connection's handler must not stop the
                    // service; the handler's connection is left to its timers.
                }
            }
            set_current_request(0, nullptr);
        });
    }
    return 0;
}

uint32_t service::stop() {
    std::vector<std::shared_ptr<connection>> open;
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<asio::io_context>> ios;
    {
        std::lock_guard<std::mutex> l(m_);
        if (init_count_ == 0) return win32::error_invalid_parameter;
        if (--init_count_ > 0) return 0;
        for (auto& [port, lst] : listeners_) {
            error_code ec;
            lst->acceptor->close(ec);
            if (lst->retry) lst->retry->cancel();
        }
        for (auto& [id, w] : connections_)
            if (auto c = w.lock()) open.push_back(c);
        registrations_.clear();
        publish_routes();
        // Server threads still waiting on a queue are let go.
        for (auto& wq : queues_) {
            if (auto q = wq.lock()) {
                std::lock_guard<std::mutex> ql(q->m_);
                q->closed_ = true;
                q->pending_.clear();
                q->cv_.notify_all();
            }
        }
        queues_.clear();
    }
    for (auto& c : open)
        c->abort_from_outside();
    {
        std::lock_guard<std::mutex> l(m_);
        work_.clear();
        threads.swap(threads_);
    }
    // Let the aborts run, then stop whatever is still waiting on a timer.
    for (auto& io : ios_)
        asio::post(*io, [p = io.get()] { p->stop(); });
    for (auto& t : threads)
        t.join();
    // With the I/O threads gone nothing else touches the sockets: close what
    // the aborts did not reach, releasing server threads that wait on them.
    for (auto& c : open)
        c->close_after_stop();
    open.clear();
    {
        std::lock_guard<std::mutex> l(m_);
        for (auto& shard : requests_) {
            std::lock_guard<std::mutex> g(shard.m);
            shard.map.clear();
        }
        connections_.clear();
        listeners_.clear();
        ios.swap(ios_);
    }
    std::lock_guard<std::mutex> l(m_);
    for (auto& io : ios)
        retired_.push_back(std::move(io));
    tls_.reset();
    return 0;
}

uint32_t service::open_listener(uint16_t port, bool secure, listener& l) {
    l.port = port;
    l.secure = secure;
    l.acceptor = std::make_unique<tcp::acceptor>(*ios_.front());
    l.retry = std::make_unique<asio::steady_timer>(*ios_.front());
    error_code ec;
    tcp::endpoint ep;
    if (options_.listen_address.empty()) {
        ep = tcp::endpoint(tcp::v6(), port);
        l.acceptor->open(ep.protocol(), ec);
        if (!ec) {
            l.acceptor->set_option(asio::ip::v6_only(false), ec);
        } else {
            ep = tcp::endpoint(tcp::v4(), port);
            ec.clear();
            l.acceptor->open(ep.protocol(), ec);
        }
    } else {
        auto addr = asio::ip::make_address(options_.listen_address, ec);
        if (ec) return win32::error_invalid_parameter;
        ep = tcp::endpoint(addr, port);
        l.acceptor->open(ep.protocol(), ec);
    }
    if (ec) return from_asio(ec);
    set_cloexec(l.acceptor->native_handle());
    // Accepted connections inherit it: each read then also says whether
    // anything is left behind its bytes, the end of the stream included,
    // which spares the read that would only find nothing (connection.cpp).
    // Without it reads simply try once more.
    const int inq = 1;
    ::setsockopt(l.acceptor->native_handle(), SOL_TCP, TCP_INQ, &inq, sizeof inq);
    l.acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    l.acceptor->bind(ep, ec);
    if (!ec) l.acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error_code ignored;
        l.acceptor->close(ignored);
        return from_asio(ec);
    }
    return 0;
}

// Called with the service lock held; the lock also serialises every use of
// an acceptor between server threads and its completion handler.
void service::accept_next(const std::shared_ptr<listener>& l) {
    asio::io_context& io = *ios_[next_loop_++ % ios_.size()];
    auto sock = std::make_shared<tcp::socket>(io);
    l->acceptor->async_accept(*sock, [this, l, sock, &io](const error_code& ec) {
        std::unique_lock<std::mutex> g(m_);
        if (ec == asio::error::operation_aborted || !l->acceptor->is_open()) return;
        if (ec) {
            // Out of descriptors or a similar squeeze: try again shortly.
            l->retry->expires_after(std::chrono::milliseconds(50));
            l->retry->async_wait([this, l](const error_code& e) {
                std::lock_guard<std::mutex> g2(m_);
                if (!e && l->acceptor->is_open()) accept_next(l);
            });
            return;
        }
        asio::ssl::context* tls = l->secure ? tls_.get() : nullptr;
        g.unlock();
        set_cloexec(sock->native_handle());
        if (!l->secure || tls) {
            auto c =
                std::make_shared<connection>(io.get_executor(), std::move(*sock), tls, l->port);
            add_connection(c->id(), c);
            c->start();
        }
        g.lock();
        if (l->acceptor->is_open()) accept_next(l);
    });
}

uint32_t service::add(const queue_handle& q, const std::wstring& text, uint64_t context) {
    auto p = parse_url_prefix(text);
    if (!p) return win32::error_invalid_parameter;
    std::lock_guard<std::mutex> g(m_);
    if (ios_.empty()) return win32::error_invalid_function;
    {
        std::lock_guard<std::mutex> ql(q->m_);
        if (q->closed_) return win32::error_invalid_handle;
    }
    for (auto& r : registrations_) {
        if (r.prefix.secure == p->secure && r.prefix.host == p->host && r.prefix.port == p->port &&
            r.prefix.path == p->path)
            return win32::error_already_exists;
    }
    auto it = listeners_.find(p->port);
    if (it != listeners_.end() && it->second->secure != p->secure)
        return win32::error_invalid_parameter;
    if (p->secure && !tls_) {
        uint32_t e = 0;
        tls_ = make_tls_context(options_.tls_directory, e);
        if (!tls_) return e ? e : win32::error_gen_failure;
    }
    if (it == listeners_.end()) {
        auto l = std::make_shared<listener>();
        if (uint32_t e = open_listener(p->port, p->secure, *l)) return e;
        it = listeners_.emplace(p->port, l).first;
        accept_next(l);
    }
    ++it->second->users;
    registration r;
    r.prefix = *p;
    r.text = text;
    r.queue = q;
    r.owner = q.get();
    r.context = context;
    registrations_.push_back(std::move(r));
    publish_routes();
    return 0;
}

void service::publish_routes() {
    routes_.store(std::make_shared<const std::vector<registration>>(registrations_));
    routes_generation_.fetch_add(1, std::memory_order_release);
}

void service::release_listener(uint16_t port) {
    auto it = listeners_.find(port);
    if (it == listeners_.end() || --it->second->users > 0) return;
    error_code ec;
    it->second->acceptor->close(ec);
    it->second->retry->cancel();
    listeners_.erase(it);
}

uint32_t service::remove(const queue_handle& q, const std::wstring& text) {
    auto p = parse_url_prefix(text);
    if (!p) return win32::error_invalid_parameter;
    std::lock_guard<std::mutex> g(m_);
    for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
        if (it->owner == q.get() && it->prefix.secure == p->secure && it->prefix.host == p->host &&
            it->prefix.port == p->port && it->prefix.path == p->path) {
            uint16_t port = it->prefix.port;
            registrations_.erase(it);
            release_listener(port);
            publish_routes();
            return 0;
        }
    }
    return win32::error_file_not_found;
}

void service::close_queue(const queue_handle& q) {
    std::list<queued_request> dropped;
    {
        std::lock_guard<std::mutex> ql(q->m_);
        q->closed_ = true;
        dropped.swap(q->pending_);
        q->cv_.notify_all();
    }
    std::vector<std::shared_ptr<connection>> open;
    {
        std::lock_guard<std::mutex> g(m_);
        for (auto it = registrations_.begin(); it != registrations_.end();) {
            if (it->owner == q.get()) {
                uint16_t port = it->prefix.port;
                it = registrations_.erase(it);
                release_listener(port);
            } else {
                ++it;
            }
        }
        publish_routes();
        for (auto& [id, w] : connections_)
            if (auto c = w.lock()) open.push_back(c);
    }
    for (auto& c : open)
        c->abort_if_queue(q.get());
}

std::optional<route> service::find_route(bool secure, uint16_t port, std::string_view host,
                                         std::wstring_view path) {
    // Each thread keeps the snapshot it read last: the routes change seldom,
    // and a load of the shared snapshot costs a lock and two counts.
    thread_local uint64_t seen_generation = ~uint64_t{0};
    thread_local std::shared_ptr<const std::vector<registration>> seen;
    const uint64_t generation = routes_generation_.load(std::memory_order_acquire);
    if (generation != seen_generation) {
        seen = routes_.load();
        seen_generation = generation;
    }
    const std::vector<registration>* routes = seen.get();
    if (!routes) return std::nullopt;
    const registration* best = nullptr;
    long best_rank = -1;
    for (auto& r : *routes) {
        long rank = match_rank(r.prefix, secure, port, host, path);
        if (rank > best_rank) {
            best_rank = rank;
            best = &r;
        }
    }
    if (!best) return std::nullopt;
    auto q = best->queue.lock();
    if (!q) return std::nullopt;
    return route{q, best->context};
}

void service::add_connection(uint64_t id, const std::shared_ptr<connection>& c) {
    std::lock_guard<std::mutex> g(m_);
    connections_[id] = c;
}

void service::remove_connection(uint64_t id) {
    std::lock_guard<std::mutex> g(m_);
    connections_.erase(id);
}

std::shared_ptr<connection> service::find_connection(uint64_t id) {
    std::lock_guard<std::mutex> g(m_);
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.lock();
}

void service::add_request(uint64_t id, const std::shared_ptr<connection>& c,
                          request_map::node_type& node) {
    auto& shard = requests_[id % request_shards];
    if (node.empty()) {
        std::lock_guard<std::mutex> g(shard.m);
        shard.map[id] = c;
        return;
    }
    node.key() = id;
    node.mapped() = c;
    std::lock_guard<std::mutex> g(shard.m);
    shard.map.insert(std::move(node));
}

void service::remove_request(uint64_t id, request_map::node_type* node) {
    if (current_request_id == id) set_current_request(0, nullptr);
    auto& shard = requests_[id % request_shards];
    request_map::node_type taken;
    {
        std::lock_guard<std::mutex> g(shard.m);
        taken = shard.map.extract(id);
    }
    if (taken.empty()) return;
    // The entry must not keep its connection alive while it waits for reuse.
    taken.mapped().reset();
    if (node) *node = std::move(taken);
}

std::shared_ptr<connection> service::find_request(uint64_t id) {
    if (id != 0 && id == current_request_id && current_connection) return current_connection;
    auto& shard = requests_[id % request_shards];
    std::lock_guard<std::mutex> g(shard.m);
    auto it = shard.map.find(id);
    return it == shard.map.end() ? nullptr : it->second;
}

// ---- the public calls ------------------------------------------------------

overlapped::overlapped() : state_(std::make_shared<state>()) {}
uint32_t overlapped::status() const {
    return state_->status.load();
}
void overlapped::reset() {
    state_ = std::make_shared<state>();
}

void configure(const service_options& options) {
    service::get().set_options(options);
}

uint32_t set_idle_connection_timeout(uint16_t seconds) {
    service::get().set_idle(std::chrono::seconds(seconds));
    return 0;
}

uint32_t initialize(uint32_t flags) {
    if (flags & ~(initialize_server | initialize_config)) return win32::error_invalid_parameter;
    return (flags & initialize_server) ? service::get().start() : 0;
}

uint32_t terminate(uint32_t flags) {
    if (flags & ~(initialize_server | initialize_config)) return win32::error_invalid_parameter;
    return (flags & initialize_server) ? service::get().stop() : 0;
}

void service::add_queue(const queue_handle& q) {
    std::lock_guard<std::mutex> g(m_);
    std::erase_if(queues_, [](auto& w) { return w.expired(); });
    queues_.push_back(q);
}

uint32_t create_request_queue(queue_handle& queue) {
    if (!service::get().running()) return win32::error_invalid_function;
    queue = std::make_shared<request_queue>();
    service::get().add_queue(queue);
    return 0;
}

uint32_t close_request_queue(const queue_handle& queue) {
    if (!queue) return win32::error_invalid_handle;
    service::get().close_queue(queue);
    return 0;
}

uint32_t set_request_handler(const queue_handle& queue, request_handler handler) {
    if (!queue) return win32::error_invalid_handle;
    std::lock_guard<std::mutex> l(queue->m_);
    queue->handler_ = std::move(handler);
    return 0;
}

uint32_t add_url(const queue_handle& queue, const std::wstring& prefix, uint64_t context) {
    if (!queue) return win32::error_invalid_handle;
    return service::get().add(queue, prefix, context);
}

uint32_t remove_url(const queue_handle& queue, const std::wstring& prefix) {
    if (!queue) return win32::error_invalid_handle;
    return service::get().remove(queue, prefix);
}

uint32_t receive_request(const queue_handle& queue, uint64_t request_id, uint32_t, request& out) {
    if (!queue) return win32::error_invalid_handle;
    std::unique_lock<std::mutex> l(queue->m_);
    for (;;) {
        if (queue->closed_) return win32::error_operation_aborted;
        for (auto it = queue->pending_.begin(); it != queue->pending_.end(); ++it) {
            if (request_id == 0 || it->r.request_id == request_id) {
                // The caller's old record goes back with the entry for reuse.
                std::swap(out, it->r);
                auto c = std::move(it->c);
                if (queue->spare_.size() < request_queue::spare_limit)
                    queue->spare_.splice(queue->spare_.begin(), queue->pending_, it);
                else
                    queue->pending_.erase(it);
                l.unlock();
                set_current_request(out.request_id, std::move(c));
                return 0;
            }
        }
        ++queue->waiting_;
        queue->cv_.wait(l);
        --queue->waiting_;
    }
}

uint32_t receive_body(const queue_handle& queue, uint64_t request_id, uint32_t, void* buffer,
                      uint32_t length, uint32_t& bytes_received) {
    bytes_received = 0;
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_request(request_id);
    if (!c) return error_connection_invalid;
    return c->receive_body(request_id, buffer, length, bytes_received);
}

uint32_t send_response(const queue_handle& queue, uint64_t request_id, uint32_t flags,
                       const response& r, uint32_t* bytes_sent) {
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_request(request_id);
    if (!c) return error_connection_invalid;
    return c->send_response(request_id, flags, r, bytes_sent);
}

uint32_t send_body(const queue_handle& queue, uint64_t request_id, uint32_t flags, const void* data,
                   std::size_t length, uint32_t* bytes_sent) {
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_request(request_id);
    if (!c) return error_connection_invalid;
    return c->send_body(request_id, flags, data, length, bytes_sent);
}

uint32_t when_output_below(const queue_handle& queue, uint64_t request_id, std::size_t limit,
                           std::function<void(bool)> ready) {
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_request(request_id);
    if (!c) return error_connection_invalid;
    return c->when_output_below(request_id, limit, std::move(ready));
}

std::size_t output_waiting(const queue_handle& queue, uint64_t request_id) {
    if (!queue) return 0;
    auto c = service::get().find_request(request_id);
    return c ? c->output_waiting(request_id) : 0;
}

request_scope::request_scope(const queue_handle& queue, uint64_t request_id) {
    if (!queue || request_id == 0 || request_id == current_request_id) return;
    auto c = service::get().find_request(request_id);
    if (!c) return;
    engaged_ = true;
    previous_id_ = current_request_id;
    previous_ = current_connection;
    set_current_request(request_id, std::move(c));
}

request_ref current_request() {
    if (current_request_id == 0 || !current_connection) return {};
    return {current_request_id, current_connection};
}

request_scope::request_scope(const request_ref& ref) {
    if (ref.request_id == 0 || !ref.owner || ref.request_id == current_request_id) return;
    engaged_ = true;
    previous_id_ = current_request_id;
    previous_ = std::move(current_connection);
    set_current_request(ref.request_id, ref.owner);
}

request_scope::~request_scope() {
    if (engaged_) set_current_request(previous_id_, std::move(previous_));
}

uint32_t send_file(const queue_handle& queue, uint64_t request_id, uint32_t flags, int fd,
                   uint64_t offset, uint64_t length, uint32_t* bytes_sent) {
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_request(request_id);
    if (!c) return error_connection_invalid;
    return c->send_file(request_id, flags, fd, offset, length, nullptr, bytes_sent);
}

uint32_t send_file(const queue_handle& queue, uint64_t request_id, uint32_t flags, int fd,
                   uint64_t offset, uint64_t length, std::shared_ptr<const void> holder,
                   uint32_t* bytes_sent) {
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_request(request_id);
    if (!c) return error_connection_invalid;
    return c->send_file(request_id, flags, fd, offset, length, std::move(holder), bytes_sent);
}

bool client_ended(const request_ref& ref) {
    return ref.owner && ref.owner->client_ended(ref.request_id);
}

uint32_t wait_for_disconnect(const queue_handle& queue, uint64_t connection_id,
                             overlapped& notice) {
    if (!queue) return win32::error_invalid_handle;
    auto c = service::get().find_connection(connection_id);
    if (!c) {
        notice.state_->status.store(0);
        return 0;
    }
    return c->watch(notice.state_);
}

} // namespace khttp
