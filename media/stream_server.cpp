#include "media/stream_server.h"

#include "core/format.h"
#include "core/trace.h"
#include "platform/win32/errors.h"
#include "server/server_dirs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace media {

namespace {

std::atomic<uint32_t> g_max_clients{5000};

std::mutex g_bind_problem_lock;
stream_listener::bind_problem_fn g_bind_problem;

template <class... A> void trace(std::string_view fmt, const A&... args) {
    cl::trace_out.write(cl::format_str(fmt, args...));
}

uint32_t last_error() {
    return win32::from_errno(errno);
}

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr size_t receive_size = 65536;

} // namespace

uint32_t max_stream_clients() {
    return g_max_clients.load();
}
void set_max_stream_clients(uint32_t n) {
    g_max_clients.store(n);
}

// --- socket_operator_base ---

bool socket_operator_base::queue_block(const block_ptr& block) {
    if (!block) return false;
    std::lock_guard hold(queue_lock_);
    if (!attached_.load()) return false;
    const size_t n = block->length();
    if (queue_bytes_ + n > queue_limit_) {
        // Dropping bytes out of the middle would corrupt the stream; the
        // client is ended instead and may join again.
        request_end();
        return false;
    }
    queue_.push_back(block);
    queue_bytes_ += n;
    return true;
}

bool socket_operator_base::queue_bytes(const void* p, size_t n) {
    block_ptr b(cl::transfer_block::create(n));
    b->append(p, n);
    return queue_block(b);
}

size_t socket_operator_base::queued_bytes() {
    std::lock_guard hold(queue_lock_);
    return queue_bytes_;
}

bool socket_operator_base::has_queued() {
    std::lock_guard hold(queue_lock_);
    return !queue_.empty();
}

void socket_operator_base::attach(int socket, bool stream, int64_t now_ms) {
    std::lock_guard hold(queue_lock_);
    socket_ = socket;
    stream_ = stream;
    end_.store(false);
    last_activity_ms_.store(now_ms);
    attached_.store(true);
}

int socket_operator_base::detach() {
    std::deque<block_ptr> dropped;
    {
        std::lock_guard hold(queue_lock_);
        attached_.store(false);
        dropped.swap(queue_);
        queue_bytes_ = 0;
    }
    // The blocks are released here, without the lock.
    dropped.clear();
    return std::exchange(socket_, -1);
}

bool socket_operator_base::send_some() {
    block_ptr block;
    {
        std::lock_guard hold(queue_lock_);
        if (queue_.empty()) return true;
        block = queue_.front();
    }
    // Only this thread takes blocks off the queue, so the front stays ours.
    const size_t left = block->length();
    ssize_t sent =
        left == 0 ? 0 : ::send(socket_, block->data(), left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        return false;
    }
    block->consume(static_cast<size_t>(sent));
    std::lock_guard hold(queue_lock_);
    queue_bytes_ -= std::min(queue_bytes_, static_cast<size_t>(sent));
    if (block->length() == 0 && !queue_.empty() && queue_.front().get() == block.get())
        queue_.pop_front();
    return true;
}

// --- stream_server ---

void stream_server::on_receive(const uint8_t* data, size_t n) {
    // The response goes out once per request head, however the head was cut
    // into blocks on the way.
    head_.append(reinterpret_cast<const char*>(data), n);
    for (;;) {
        const size_t end = head_.find("\r\n\r\n");
        if (end == std::string::npos) break;
        head_.erase(0, end + 4);
        std::string text = "HTTP/1.1 200 OK\r\nContent-Type: ";
        if (owner_) text += owner_->content_type();
        text += "\r\nServer: Tesk Stream Server V0.1\r\nCache-Control: no cache\r\n\r\n";
        queue_bytes(text.data(), text.size());
        if (!started() && owner_) owner_->start_client(this);
    }
    if (head_.size() > max_request_head) request_end();
}

void stream_server::on_connect() {
    if (owner_) owner_->client_connected(this);
}

void stream_server::on_disconnect() {
    started_ = false;
    head_.clear();
    if (owner_) owner_->client_disconnected(this);
}

// --- socket_client ---

template <class S>
socket_client<S>::socket_client(stream_listener& listener) : listener_(listener) {}

template <class S> socket_client<S>::~socket_client() {
    stop();
}

template <class S> void socket_client<S>::start_thread(int socket) {
    {
        std::lock_guard hold(wake_lock_);
        next_socket_ = socket;
        exit_ = false;
        idle_ = false;
        wake_ = true;
    }
    thread_ = std::thread([this] { run(); });
}

template <class S> void socket_client<S>::resume(int socket) {
    {
        std::lock_guard hold(wake_lock_);
        next_socket_ = socket;
        idle_ = false;
        wake_ = true;
    }
    wake_cv_.notify_one();
}

template <class S> void socket_client<S>::stop() {
    {
        std::lock_guard hold(wake_lock_);
        exit_ = true;
        done_ = true;
        wake_ = true;
    }
    wake_cv_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

template <class S> void socket_client<S>::run() {
    for (;;) {
        int socket;
        bool stream;
        {
            std::unique_lock hold(wake_lock_);
            wake_cv_.wait(hold, [this] { return wake_ || exit_.load(); });
            if (exit_.load()) {
                // A socket handed over just before the end is not served.
                if (next_socket_ >= 0 && next_stream_) ::close(next_socket_);
                next_socket_ = -1;
                return;
            }
            socket = std::exchange(next_socket_, -1);
            stream = next_stream_;
            wake_ = false;
        }
        this->attach(socket, stream, listener_.now_ms());
        done_ = false;
        while (!done_.load() && !exit_.load()) {
            try {
                if (!io_step()) done_ = true;
            } catch (const std::exception& e) {
                trace("stream client error: %?\n", e.what());
                done_ = true;
            }
        }
        const int s = this->detach();
        try {
            this->on_disconnect();
        } catch (const std::exception& e) {
            trace("stream client error: %?\n", e.what());
        }
        // A datagram slot serves on the listening socket, which the listener owns.
        if (stream && s >= 0) ::close(s);
        idle_ = true;
    }
}

template <class S> bool socket_client<S>::io_step() {
    const int s = this->socket_;
    pollfd p{s, static_cast<short>(POLLIN | (this->has_queued() ? POLLOUT : 0)), 0};
    const int r = ::poll(&p, 1, 10);
    if (r < 0) {
        if (errno == EINTR) return true;
        if (trace_level() > 1) trace("socket select error %? (%?)\n", s, last_error());
        return false;
    }
    if (this->should_end()) return false;
    if (p.revents & POLLNVAL) return false;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        uint8_t buffer[receive_size];
        ssize_t n;
        if (this->stream_) {
            n = ::recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
        } else {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            n = ::recvfrom(s, buffer, sizeof buffer, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&peer), &len);
        }
        this->last_activity_ms_.store(listener_.now_ms());
        if (n == 0 && this->stream_) {
            if (trace_level() > 1) trace("socket closed %?\n", s);
            return false;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                trace("receive failed %? %?\n", s, last_error());
                return false;
            }
        } else if (n > 0) {
            this->on_receive(buffer, static_cast<size_t>(n));
            if (this->should_end()) return false;
        }
    }
    if (p.revents & POLLOUT) {
        this->last_activity_ms_.store(listener_.now_ms());
        // A failed send does not end the connection: a peer that is gone
        // shows up on the next read, a silent one at the time-out.
        if (!this->send_some()) trace("send failed %? %?\n", s, last_error());
    }
    if (listener_.now_ms() - this->last_activity_ms_.load() > listener_.idle_timeout_ms()) {
        if (trace_level() > 0)
            trace("socket %x, connection timeout\n", reinterpret_cast<uintptr_t>(this));
        return false;
    }
    return true;
}

template class socket_client<stream_server>;

// --- stream_listener ---

stream_listener::stream_listener() : clock_(steady_ms) {}

stream_listener::~stream_listener() {
    stop();
    stop_clients();
}

void stream_listener::set_bind_problem_handler(bind_problem_fn fn) {
    std::lock_guard hold(g_bind_problem_lock);
    g_bind_problem = std::move(fn);
}

void stream_listener::open_sockets(int port, bool stream) {
    sockets_.clear();
    families_.clear();
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* res = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(nullptr, service.c_str(), &hints, &res);
    if (rc != 0) {
        trace("getaddrinfo failed; error %?\n", rc);
        return;
    }
    for (addrinfo* a = res; a && sockets_.size() < 64; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            trace("can't create socket; error %?\n", last_error());
            continue;
        }
        int size = 4096, one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        if (::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            (a->ai_family == AF_INET6 &&
             ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)) {
            trace("setsockopt failed; error %?\n", last_error());
            ::close(s);
            continue;
        }
        if (::bind(s, a->ai_addr, a->ai_addrlen) != 0) {
            trace("can't bind socket to port; error %?, family %?\n", last_error(), a->ai_family);
            ::close(s);
            std::lock_guard hold(g_bind_problem_lock);
            if (g_bind_problem) g_bind_problem(a->ai_family == AF_INET6);
            continue;
        }
        if (stream && ::listen(s, 4) != 0) {
            trace("can't listen on port %?; error %?\n", port, last_error());
            ::close(s);
            continue;
        }
        sockets_.push_back(s);
        families_.push_back(a->ai_family);
        trace("listening to socket %?, port=%?, family=%?\n", s, port, a->ai_family);
    }
    ::freeaddrinfo(res);
}

bool stream_listener::start(int port) {
    stream_mode_ = port >= 0;
    port_ = port < 0 ? -port : port;
    open_sockets(port_, stream_mode_);
    if (sockets_.empty()) {
        trace("Unable to create any listening socket\n");
        return false;
    }
    stop_ = false;
    if (stream_mode_) {
        try {
            accept_thread_ = std::thread([this] { accept_loop(); });
        } catch (const std::system_error&) {
            trace("Cannot create accept thread\n");
            stop();
            return false;
        }
        return true;
    }
    for (size_t i = 0; i < sockets_.size(); ++i) {
        auto c = new_client();
        c->set_stream(false);
        c->set_family(families_[i]);
        c->start_thread(sockets_[i]);
        std::lock_guard hold(clients_lock_);
        clients_.push_back(c);
    }
    return true;
}

cl::sh_ptr<stream_client> stream_listener::new_client() {
    cl::sh_ptr<stream_client> c(new stream_client(*this));
    c->set_queue_limit(queue_limit_);
    if (owner_) {
        c->set_owner(owner_);
        owner_->add_client(c.get());
    }
    if (trace_level() > 1) trace("created client %x\n", reinterpret_cast<uintptr_t>(c.get()));
    return c;
}

void stream_listener::accept_loop() {
    std::vector<pollfd> fds;
    for (int s : sockets_)
        fds.push_back(pollfd{s, POLLIN, 0});
    while (!stop_.load()) {
        // A short wait keeps stop() quick.
        const int r = ::poll(fds.data(), fds.size(), 200);
        if (stop_.load()) break;
        if (r <= 0) continue;
        for (auto& p : fds) {
            if (!(p.revents & POLLIN)) continue;
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            const int s = ::accept4(p.fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
            if (s < 0) {
                trace("accept failed on socket %?; error %?\n", p.fd, last_error());
                continue;
            }
            if (trace_level() > 0) {
                sockaddr_storage local{};
                socklen_t llen = sizeof local;
                char lhost[1025] = "", lserv[32] = "", phost[1025] = "", pserv[32] = "";
                if (::getsockname(p.fd, reinterpret_cast<sockaddr*>(&local), &llen) == 0 &&
                    ::getnameinfo(reinterpret_cast<sockaddr*>(&local), llen, lhost, sizeof lhost,
                                  lserv, sizeof lserv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
                    lhost[0] = lserv[0] = 0;
                if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), len, phost, sizeof phost,
                                  pserv, sizeof pserv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
                    phost[0] = pserv[0] = 0;
                trace("socket %? (%? %?) accepted %? (%?)\n", p.fd, lhost, lserv, phost, pserv);
            }
            try {
                accepted(peer.ss_family, s);
            } catch (const std::exception& e) {
                trace("accept failed on socket %?; %?\n", p.fd, e.what());
                ::close(s);
            }
        }
    }
}

void stream_listener::accepted(int family, int socket) {
    std::lock_guard hold(clients_lock_);
    for (auto& c : clients_) {
        if (!c->idle()) continue;
        if (trace_level() > 1) trace("resuming %x\n", reinterpret_cast<uintptr_t>(c.get()));
        c->set_family(family);
        c->on_connect();
        c->resume(socket);
        return;
    }
    if (clients_.size() >= max_stream_clients()) {
        ::close(socket);
        return;
    }
    auto c = new_client();
    c->set_family(family);
    c->on_connect();
    c->start_thread(socket);
    clients_.push_back(c);
}

void stream_listener::stop() {
    stop_ = true;
    // Datagram slots serve on the listening sockets themselves.
    if (!stream_mode_) stop_clients();
    if (accept_thread_.joinable()) accept_thread_.join();
    for (int s : sockets_)
        ::close(s);
    sockets_.clear();
    families_.clear();
}

void stream_listener::stop_clients() {
    std::vector<cl::sh_ptr<stream_client>> clients;
    {
        std::lock_guard hold(clients_lock_);
        clients.swap(clients_);
    }
    for (auto& c : clients)
        c->stop();
}

size_t stream_listener::client_count() {
    std::lock_guard hold(clients_lock_);
    return clients_.size();
}

} // namespace media
