#include "platform/khttp/connection.h"

#include "platform/win32/errors.h"
#include "platform/win32/socket_calls.h"
#include "platform/win32/time.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <openssl/err.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace khttp {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

// Output waiting beyond this makes a sender wait for the client.
constexpr std::size_t send_backlog = 256 * 1024;
// Input read ahead while a request runs (pipelined requests, disconnect notice).
constexpr std::size_t read_ahead = 64 * 1024;
// What a refused client may still send before the connection is cut.
constexpr uint64_t linger_limit = 256 * 1024;
// A buffer-data send is kept back while less than this waits, so a head and a
// small body leave in one write...
constexpr std::size_t hold_limit = 32 * 1024;
// ...and for no longer than this when the sender pauses between pieces.
constexpr std::chrono::milliseconds hold_time{200};

void to_sockaddr(const asio::ip::tcp::endpoint& ep, sockaddr_storage& out) {
    std::memset(&out, 0, sizeof out);
    auto addr = ep.address();
    if (addr.is_v6() && addr.to_v6().is_v4_mapped())
        addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
    if (addr.is_v4()) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&out);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(ep.port());
        auto bytes = addr.to_v4().to_bytes();
        std::memcpy(&sin->sin_addr, bytes.data(), 4);
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(ep.port());
        auto bytes = addr.to_v6().to_bytes();
        std::memcpy(&sin6->sin6_addr, bytes.data(), 16);
        sin6->sin6_scope_id = addr.to_v6().scope_id();
    }
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

// The host of a Host header, without its port, in lower case (in place).
void lower_host(std::string& host_port) {
    std::string_view h = host_port;
    if (!h.empty() && h[0] == '[') {
        auto end = h.find(']');
        h = end == h.npos ? h : h.substr(0, end + 1);
    } else {
        h = h.substr(0, h.find(':'));
    }
    host_port.resize(h.size());
    for (auto& c : host_port)
        if (c >= 'A' && c <= 'Z') c += 32;
}

// True when the request line ends in a syntactically sound "HTTP/x.y", so a
// version the parser refused is one we do not speak rather than garbage.
bool well_formed_version(std::string_view buf) {
    auto eol = buf.find("\r\n");
    if (eol == buf.npos) return false;
    auto line = buf.substr(0, eol);
    auto sp = line.rfind(' ');
    if (sp == line.npos) return false;
    auto v = line.substr(sp + 1);
    if (v.size() < 8 || v.substr(0, 5) != "HTTP/") return false;
    v.remove_prefix(5);
    auto dot = v.find('.');
    if (dot == 0 || dot == v.npos || dot + 1 == v.size()) return false;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (i != dot && (v[i] < '0' || v[i] > '9')) return false;
    return true;
}

// SSL_get_error reads this thread's error queue, so an error some other
// caller left there would turn "would block" into a failure. Clearing an
// empty queue costs several times a look.
void clear_stale_errors() {
    if (ERR_peek_error() != 0) ERR_clear_error();
}

// The socket's state as the loop's reactor knows it.
auto& reactor_state(asio::ip::tcp::socket& s) {
    struct access : asio::ip::tcp::socket {
        static constexpr auto member() { return &access::impl_; }
    };
    return (s.*access::member()).get_implementation();
}

} // namespace

// The connection's one read, kept with it and queued with the loop's reactor
// directly. A read that leaves the socket empty, its end not come either
// (the kernel tells so beside the bytes, see service::open_listener), says
// so to the reactor: the next read then waits for the loop to hear of more
// instead of trying first, which would only meet "would block". Any input
// or end after that read wakes the loop, which lets reads try again.
class connection::read_op : public asio::detail::reactor_op {
  public:
    read_op() : reactor_op(error_code(), &perform, &complete) {}
    std::shared_ptr<connection> holder; // while queued
    int fd = -1;
    char* buffer = nullptr;
    std::size_t size = 0;

  private:
    static status perform(reactor_op* base) {
        auto* o = static_cast<read_op*>(base);
        iovec iov{o->buffer, o->size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        for (;;) {
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = win32::recvmsg_plain(o->fd, &m, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return not_done;
            if (n < 0) {
                o->ec_ = error_code(errno, asio::error::get_system_category());
                o->bytes_transferred_ = 0;
                return done;
            }
            o->bytes_transferred_ = static_cast<std::size_t>(n);
            if (n == 0) {
                o->ec_ = asio::error::eof;
                return done_and_exhausted;
            }
            int left = -1;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == SOL_TCP && c->cmsg_type == TCP_CM_INQ)
                    std::memcpy(&left, CMSG_DATA(c), sizeof left);
            return left == 0 ? done_and_exhausted : done;
        }
    }
    static void complete(void* owner, asio::detail::operation* base, const error_code&,
                         std::size_t) {
        auto* o = static_cast<read_op*>(base);
        std::shared_ptr<connection> c = std::move(o->holder);
        // Without an owner the loop is ending: only the hold goes.
        if (owner == nullptr || !c) return;
        const error_code ec = o->ec_;
        const std::size_t n = o->bytes_transferred_;
        in_handler h(c.get());
        c->on_read(ec, n);
    }
};

thread_local connection::in_handler* connection::handler_chain_ = nullptr;

connection::in_handler::in_handler(const connection* x) : c(x), up(handler_chain_) {
    handler_chain_ = this;
}

connection::in_handler::~in_handler() {
    handler_chain_ = up;
}

bool connection::mine() const {
    for (const in_handler* h = handler_chain_; h != nullptr; h = h->up)
        if (h->c == this) return true;
    return false;
}

connection::connection(loop_type loop, tcp::socket socket, asio::ssl::context* tls, uint16_t port)
    : id_(service::get().next_connection_id()), port_(port), secure_(tls != nullptr),
      opts_(service::get().options()), loop_(loop), timer_(loop_), write_timer_(loop_),
      hold_timer_(loop_) {
    error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    // Direct writes and sendfile on any thread must never wait.
    socket.native_non_blocking(true, ec);
    auto r = socket.remote_endpoint(ec);
    if (!ec) to_sockaddr(r, remote_);
    auto l = socket.local_endpoint(ec);
    if (!ec) to_sockaddr(l, local_);
    remote_text_.error = numeric_address(remote_, remote_text_.host, remote_text_.port);
    local_text_.error = numeric_address(local_, local_text_.host, local_text_.port);
    socket_ = std::make_unique<tcp::socket>(std::move(socket));
    read_op_ = std::make_unique<read_op>();
    read_op_->fd = socket_->native_handle();
    reactor_ = &asio::use_service<asio::detail::reactor>(loop_.context());
    // Without a session the handshake fails at once and the connection ends.
    if (tls) tls_ = new_tls_session(tls->native_handle(), tls_io_);
}

connection::~connection() {
    drop_pieces();
}

int connection::out_piece::send_to(int socket) {
    while (left > 0) {
        off_t off = static_cast<off_t>(offset);
        const ssize_t n = ::sendfile(socket, fd, &off, std::min<uint64_t>(left, 1u << 30));
        if (n > 0) {
            offset += static_cast<uint64_t>(n);
            left -= static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return -1; // the file ended early or the connection failed
    }
    return 1;
}

void connection::drop_pieces() {
    for (auto& p : pieces_)
        p.release_fd();
    pieces_.clear();
}

void connection::start() {
    auto self = shared_from_this();
    post_as_handler([self] {
        lock l(self->m_);
        if (self->secure_) {
            if (!self->tls_) {
                self->close_now(l);
                return;
            }
            self->arm(self->opts_.timeouts.head);
            self->start_read(l);
        } else {
            self->new_head(l);
            self->pump(l);
            self->dispatch(l);
        }
    });
}

void connection::post_locked(void (connection::*step)(lock&)) {
    auto self = shared_from_this();
    post_as_handler([self, step] {
        lock l(self->m_);
        ((*self).*step)(l);
    });
}

void connection::post_pump() {
    post_locked(&connection::pump);
}

// Starts whatever socket work the state calls for. Socket operations start
// only in the connection's handlers, so any other caller hands over.
void connection::pump(lock& l) {
    if (!mine()) {
        if (needs_pump()) post_pump();
        return;
    }
    if (phase_ == phase::closed) return;
    if (phase_ == phase::handshake) {
        if (!write_pending_ && has_output()) start_write(l);
        if (phase_ == phase::handshake && !reading_ && !read_closed_) start_read(l);
        return;
    }
    if (!write_pending_ && has_output() && !held_) start_write(l);
    if (!write_pending_ && !has_output() && close_after_write_ && phase_ == phase::closing) {
        // Everything is out: end our side and read what the client still
        // sends for a while, so that it sees the answer rather than a reset.
        error_code ec;
        socket_->shutdown(tcp::socket::shutdown_send, ec);
        phase_ = phase::lingering;
        lingered_ = 0;
        arm(opts_.timeouts.close_linger);
        if (read_closed_) {
            close_now(l);
            return;
        }
    }
    check_output_ready();
    bool need_read = false;
    switch (phase_) {
    case phase::waiting_head:
    case phase::draining:
    case phase::lingering:
        need_read = true;
        break;
    case phase::in_request:
        need_read = want_data_ || gated_ || buffered() < read_ahead;
        // While the input is full the client is held back by us, not slow:
        // its body's clock stops meanwhile.
        if (!need_read) {
            if (stalled_since_ == clock::time_point::max())
                stalled_since_ = win32::coarse_steady_now();
        } else if (stalled_since_ != clock::time_point::max()) {
            body_start_ += win32::coarse_steady_now() - stalled_since_;
            stalled_since_ = clock::time_point::max();
        }
        break;
    case phase::closing:
        need_read = buffered() < read_ahead;
        break;
    default:
        break;
    }
    if (need_read && !reading_ && !read_closed_) start_read(l);
}

bool connection::needs_pump() const {
    if (phase_ == phase::closed || phase_ == phase::handshake) return false;
    if (!write_pending_ && has_output() && !held_) return true;
    if (close_after_write_ && phase_ == phase::closing) return true;
    if (reading_ || read_closed_) return false;
    return phase_ != phase::in_request || want_data_ || gated_ || buffered() < read_ahead;
}

// On a plain connection with nothing in flight a server thread writes at once
// (a non-blocking send on the descriptor, which touches no I/O object state);
// what the socket does not take goes out through the loop.
//
// With hold set (a buffer-data send that more pieces follow) small output is
// kept here rather than corked in the kernel: a corked socket sends only when
// more bytes come or after 200 ms, and an answer that ends with an empty send
// brings no more bytes. Kept here, the last send of the answer, empty or not,
// writes everything in one call.
void connection::send_now(lock& l, bool hold) {
    if (hold && phase_ != phase::closed && out_.size() < hold_limit) {
        if (!held_) {
            held_ = true;
            held_since_ = clock::now();
            hold_for_a_while();
        }
        return;
    }
    held_ = false;
    if (!write_pending_ && phase_ != phase::closed && phase_ != phase::lingering && has_output() &&
        !(tls_ ? write_sealed_directly() : write_directly())) {
        abort_from_outside();
        return;
    }
    pump(l);
}

bool connection::write_directly() {
    const int fd = socket_->native_handle();
    while (!pieces_.empty()) {
        out_piece& p = pieces_.front();
        if (p.fd < 0) {
            // Bytes just before a file go out with its first pages.
            const int more = pieces_.size() > 1 ? MSG_MORE : 0;
            std::size_t done = 0;
            while (done < p.bytes.size()) {
                ssize_t n = win32::send_plain(fd, p.bytes.data() + done, p.bytes.size() - done,
                                              MSG_NOSIGNAL | MSG_DONTWAIT | more);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
                break;
            }
            p.bytes.erase(0, done);
            if (!p.bytes.empty()) return true;
            pieces_.pop_front();
            continue;
        }
        const int sent = p.send_to(fd);
        if (sent <= 0) return sent == 0;
        p.release_fd();
        pieces_.pop_front();
    }
    std::size_t done = 0;
    while (done < out_.size()) {
        ssize_t n = win32::send_plain(fd, out_.data() + done, out_.size() - done,
                                      MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            out_.clear();
            return false;
        }
        break;
    }
    out_.erase(0, done);
    return true;
}

// One hold timer per connection, armed only when none is pending: a busy
// keep-alive connection whose answers are each complete long before the
// timer fires costs one timer call per hold_time, not one per answer.
void connection::hold_for_a_while() {
    if (hold_timer_pending_) return;
    hold_timer_pending_ = true;
    hold_timer_.expires_at(held_since_ + hold_time);
    auto self = shared_from_this();
    hold_timer_.async_wait(as_handler([self](const error_code& ec) { self->on_hold_timer(ec); }));
}

void connection::on_hold_timer(const error_code&) {
    lock l(m_);
    hold_timer_pending_ = false;
    if (!held_ || phase_ == phase::closed) return;
    if (clock::now() < held_since_ + hold_time) {
        hold_for_a_while(); // a later hold than the one this timer was set for
        return;
    }
    held_ = false;
    wake();
    pump(l);
}

void connection::start_read(lock&) {
    reading_ = true;
    auto self = shared_from_this();
    if (tls_ && (SSL_get_shutdown(tls_.get()) & SSL_RECEIVED_SHUTDOWN)) {
        // The client's close_notify came with its last records: now that they
        // are taken, its stream has ended.
        post_as_handler([self] { self->on_read(asio::error::eof, 0); });
        return;
    }
    read_op& r = *read_op_;
    r.ec_ = error_code();
    r.bytes_transferred_ = 0;
    r.buffer = read_chunk_.data();
    r.size = read_chunk_.size();
    r.holder = std::move(self);
    auto& state = reactor_state(*socket_);
    reactor_->start_op(asio::detail::reactor::read_op, state.socket_, state.reactor_data_, &r,
                       false, true);
}

void connection::on_handshake_read(lock& l, const error_code& ec, std::size_t n) {
    if (ec) {
        close_now(l);
        return;
    }
    tls_io_.feed = {read_chunk_.data(), n};
    clear_stale_errors();
    const int r = SSL_do_handshake(tls_.get());
    if (r != 1) {
        const int e = SSL_get_error(tls_.get(), r);
        tls_io_.feed = {};
        if (e != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            // The alert tells the client why; it goes if the socket takes it.
            if (!write_pending_) write_sealed_directly();
            close_now(l);
            return;
        }
        pump(l);
        return;
    }
    // The client's first request may have come with its last handshake message.
    open_records(0);
    new_head(l);
    pump(l);
    dispatch(l);
}

// A close_notify ends the client's sending like the end of the stream; one
// that came with records is taken after them, at the next read, as a plain
// stream's end comes after its last bytes. A socket that ends without one (a
// truncated stream) is no failure either: HTTP framing tells whether a body
// is whole.
void connection::open_records(std::size_t n) {
    if (n > 0) tls_io_.feed = {read_chunk_.data(), n};
    char plain[16384];
    bool got_any = false;
    clear_stale_errors();
    for (;;) {
        std::size_t got = 0;
        const int r = SSL_read_ex(tls_.get(), plain, sizeof plain, &got);
        if (r == 1) {
            in_.append(plain, got);
            got_any = true;
            // Nothing left to decrypt: spare the call that would say so.
            if (tls_io_.feed.empty() && !SSL_has_pending(tls_.get())) break;
            continue;
        }
        const int e = SSL_get_error(tls_.get(), r);
        if (e == SSL_ERROR_WANT_READ) break;
        if (e == SSL_ERROR_ZERO_RETURN) {
            if (!got_any) read_closed_ = true;
            break;
        }
        ERR_clear_error();
        read_closed_ = read_failed_ = true;
        break;
    }
    tls_io_.feed = {};
}

void connection::on_read(const error_code& ec, std::size_t n) {
    lock l(m_);
    reading_ = false;
    if (phase_ == phase::closed) return;
    if (phase_ == phase::handshake) {
        on_handshake_read(l, ec, n);
        return;
    }
    if (ec) {
        read_closed_ = true;
        read_failed_ = ec != asio::error::eof;
    } else if (phase_ == phase::lingering) {
        lingered_ += n;
    } else {
        if (phase_ == phase::in_request) body_in_ += n;
        if (in_pos_ > 0 && in_pos_ == in_.size()) {
            in_.clear();
            in_pos_ = 0;
        }
        if (tls_)
            open_records(n);
        else
            in_.append(read_chunk_.data(), n);
    }
    wake();
    switch (phase_) {
    case phase::waiting_head:
        if (read_closed_) {
            close_now(l);
            return;
        }
        try_parse_head(l);
        break;
    case phase::in_request:
        // A client that goes away before its body is complete is gone; one
        // that only ended its sending side still gets its answer.
        if (read_closed_ && (read_failed_ || !body_complete_in_hand())) {
            abort(l);
            return;
        }
        if (gated_) spool_step(l);
        break;
    case phase::draining:
        if (read_closed_) {
            abort(l);
            return;
        }
        drain_step(l);
        break;
    case phase::lingering:
        if (read_closed_ || lingered_ > linger_limit) {
            close_now(l);
            return;
        }
        break;
    case phase::closing:
        if (read_failed_) {
            abort(l);
            return;
        }
        break;
    default:
        break;
    }
    pump(l);
    dispatch(l);
}

void connection::start_write(lock& l) {
    if (tls_) {
        if (!write_sealed_directly()) {
            abort(l);
            return;
        }
        wake();
        if (write_off_ < writing_.size()) {
            write_pending_ = true;
            write_some();
        }
        return;
    }
    if (!pieces_.empty()) {
        out_piece& p = pieces_.front();
        if (p.fd < 0) {
            writing_.swap(p.bytes);
            pieces_.pop_front();
        } else {
            write_pending_ = true;
            write_file(l);
            return;
        }
    } else {
        writing_.swap(out_);
        out_.clear();
    }
    write_off_ = 0;
    write_pending_ = true;
    write_some();
}

bool connection::seal_some() {
    // Ciphertext waits in writing_ (not in flight: no write is pending) and
    // in sealed_; a file is read and encrypted no faster than the client takes it.
    constexpr std::size_t sealed_limit = 64 * 1024;
    auto waiting = [&] { return writing_.size() - write_off_ + tls_io_.sealed.size(); };
    auto seal = [&](const char* data, std::size_t length) {
        std::size_t done = 0;
        if (SSL_write_ex(tls_.get(), data, length, &done) == 1) return true;
        ERR_clear_error();
        return false;
    };
    std::unique_ptr<char[]> chunk;
    clear_stale_errors();
    while (waiting() < sealed_limit && (!pieces_.empty() || !out_.empty())) {
        if (pieces_.empty()) {
            if (!seal(out_.data(), out_.size())) return false;
            out_.clear();
            continue;
        }
        out_piece& p = pieces_.front();
        if (p.fd < 0) {
            if (!p.bytes.empty() && !seal(p.bytes.data(), p.bytes.size())) return false;
            pieces_.pop_front();
            continue;
        }
        // One read per round rather than per record.
        if (!chunk) chunk = std::make_unique<char[]>(sealed_limit);
        ssize_t n = -1;
        do {
            n = ::pread(p.fd, chunk.get(), std::min<uint64_t>(p.left, sealed_limit),
                        static_cast<off_t>(p.offset));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false; // the file ended early or cannot be read
        if (!seal(chunk.get(), static_cast<std::size_t>(n))) return false;
        p.offset += static_cast<uint64_t>(n);
        p.left -= static_cast<uint64_t>(n);
        if (p.left == 0) {
            p.release_fd();
            pieces_.pop_front();
        }
    }
    return true;
}

bool connection::write_sealed_directly() {
    const int fd = socket_->native_handle();
    for (;;) {
        if (!seal_some()) return false;
        if (write_off_ == writing_.size()) {
            writing_.clear();
            write_off_ = 0;
            writing_.swap(tls_io_.sealed);
        } else {
            writing_.append(tls_io_.sealed);
            tls_io_.sealed.clear();
        }
        while (write_off_ < writing_.size()) {
            ssize_t n =
                win32::send_plain(fd, writing_.data() + write_off_, writing_.size() - write_off_,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                write_off_ += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            return false;
        }
        writing_.clear();
        write_off_ = 0;
        if (out_.empty() && pieces_.empty()) return true;
    }
}

void connection::arm_write_timer() {
    auto self = shared_from_this();
    write_timer_.expires_after(opts_.timeouts.body);
    write_timer_.async_wait(as_handler([self](const error_code& ec) {
        if (ec) return;
        lock l(self->m_);
        if (self->write_pending_) self->abort(l);
    }));
}

// A file on a plain connection: sendfile as far as the socket takes it, then
// a wait for room.
void connection::write_file(lock& l) {
    out_piece& p = pieces_.front();
    const int sent = p.send_to(socket_->native_handle());
    if (sent == 0) {
        arm_write_timer();
        auto self = shared_from_this();
        socket_->async_wait(tcp::socket::wait_write, as_handler([self](const error_code& ec) {
                                self->on_file_writable(ec);
                            }));
        return;
    }
    if (sent < 0) {
        write_pending_ = false;
        abort(l);
        return;
    }
    p.release_fd();
    pieces_.pop_front();
    write_pending_ = false;
    write_timer_.cancel();
    wake();
    pump(l);
}

void connection::on_file_writable(const error_code& ec) {
    lock l(m_);
    if (phase_ == phase::closed || pieces_.empty() || pieces_.front().fd < 0) {
        write_pending_ = false;
        return;
    }
    if (ec) {
        write_pending_ = false;
        abort(l);
        return;
    }
    write_file(l);
}

// Writes in pieces so that the send time-out measures progress, not the
// whole backlog.
void connection::write_some() {
    auto self = shared_from_this();
    arm_write_timer();
    socket_->async_write_some(
        asio::buffer(writing_.data() + write_off_, writing_.size() - write_off_),
        as_handler([self](const error_code& ec, std::size_t n) { self->on_write(ec, n); }));
}

void connection::on_write(const error_code& ec, std::size_t n) {
    lock l(m_);
    if (phase_ == phase::closed) {
        write_pending_ = false;
        return;
    }
    if (ec) {
        write_pending_ = false;
        abort(l);
        return;
    }
    write_off_ += n;
    if (write_off_ < writing_.size()) {
        wake();
        write_some();
        return;
    }
    write_pending_ = false;
    write_timer_.cancel();
    writing_.clear();
    write_off_ = 0;
    wake();
    pump(l);
}

void connection::arm(std::chrono::milliseconds d) {
    // Deadlines lie seconds ahead: a few milliseconds early do no harm.
    set_deadline(win32::coarse_steady_now() + d);
}

// One deadline per connection. Moving it later costs nothing: the pending
// wait fires early and waits again; only an earlier deadline re-arms the
// timer, so a busy keep-alive connection makes no timer call per request.
void connection::set_deadline(clock::time_point t) {
    deadline_ = t;
    if (timer_pending_ && armed_ <= t) return;
    armed_ = t;
    timer_pending_ = true;
    timer_.expires_at(t);
    auto self = shared_from_this();
    timer_.async_wait(as_handler([self](const error_code& ec) { self->on_timer(ec); }));
}

void connection::disarm() {
    deadline_ = clock::time_point::max();
}

void connection::on_timer(const error_code& ec) {
    lock l(m_);
    if (ec == asio::error::operation_aborted) return; // replaced by an earlier one
    timer_pending_ = false;
    if (phase_ == phase::closed || deadline_ == clock::time_point::max()) return;
    auto now = clock::now();
    if (now < deadline_) {
        set_deadline(deadline_);
        return;
    }
    deadline_ = clock::time_point::max();
    switch (phase_) {
    case phase::waiting_head:
        if (!head_started_ && now < idle_until_) {
            set_deadline(idle_until_);
            return;
        }
        abort(l);
        break;
    case phase::in_request:
        // The body clock runs only while someone waits for the body.
        if (!want_data_ && !gated_) return;
        if (now >= rate_deadline())
            body_too_slow(l);
        else
            abort(l);
        break;
    case phase::lingering:
        close_now(l);
        break;
    default:
        abort(l);
        break;
    }
}

void connection::new_head(lock& l) {
    parser_.reset();
    parser_.emplace(head_);
    parser_->header_limit(static_cast<std::uint32_t>(max_request_head));
    // Beast 1.74 compares a length against an empty limit as "exceeded", so
    // the bound is given as the largest value instead of none.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    queue_ = nullptr;
    request_id_ = 0;
    head_request_ = false;
    client_keep_alive_ = true;
    expect_continue_ = continue_sent_ = want_data_ = false;
    response_started_ = response_done_ = false;
    framing_ = framing{};
    body_sent_ = drained_ = 0;
    gated_.reset();
    gated_queue_.reset();
    // A large body's room is not kept for a connection that may idle long.
    if (spool_.capacity() > 4096) std::string().swap(spool_);
    spool_.clear();
    spool_pos_ = 0;
    if (in_pos_ > 0) {
        in_.erase(0, in_pos_);
        in_pos_ = 0;
    }
    phase_ = phase::waiting_head;
    head_started_ = false;
    head_bytes_ = 0;
    head_prefix_.clear();
    if (buffered() > 0) try_parse_head(l);
    if (phase_ == phase::waiting_head && !head_started_ && read_closed_) {
        // The client ended its side with this request (its body was in hand
        // and has been drained): no other comes, so the answer goes out and
        // the connection ends, instead of idling until its time-out.
        close_after_write_ = true;
        phase_ = phase::closing;
        disarm();
        pump(l);
        return;
    }
    // Nothing of a head yet (or empty lines only): the connection idles.
    if (phase_ == phase::waiting_head && !head_started_) {
        // The time-out is checked at the shorter of the two bounds so that
        // the first byte of a head needs no timer call.
        auto now = win32::coarse_steady_now();
        idle_until_ = now + opts_.timeouts.idle;
        set_deadline(now + std::min(opts_.timeouts.idle, opts_.timeouts.head));
    }
}

// The rest of the body is read already (waiting in the input for its
// reader): a client that then ends its sending side is still answered.
bool connection::body_complete_in_hand() const {
    if (!parser_) return false;
    if (parser_->is_done()) return true;
    const auto remaining = parser_->content_length_remaining();
    return remaining && *remaining <= buffered();
}

void connection::try_parse_head(lock& l) {
    if (head_bytes_ == 0) {
        // Empty lines before a request line (after a body, say) are ignored.
        while (buffered() > 0 && (in_[in_pos_] == '\r' || in_[in_pos_] == '\n'))
            ++in_pos_;
    }
    if (buffered() == 0) {
        if (read_closed_) close_now(l);
        return;
    }
    // The method's first bytes, kept for the refusal of a head the parser
    // gives up on (a HEAD request's refusal carries no body).
    for (std::size_t i = in_pos_; i < in_.size() && head_prefix_.size() < 5; ++i)
        head_prefix_ += in_[i];
    // The head's clock starts with its first bytes; a head that is complete
    // in them never needs it.
    const bool first_bytes = !head_started_;
    head_started_ = true;
    error_code ec;
    std::size_t n = 0;
    try {
        n = parser_->put(asio::buffer(in_.data() + in_pos_, buffered()), ec);
    } catch (const std::length_error&) {
        // The parser stores a field of 64 KiB or more nowhere: too large.
        refuse(l, 431);
        return;
    } catch (const std::exception&) {
        refuse(l, 400);
        return;
    }
    in_pos_ += n;
    head_bytes_ += n;
    if (ec == http::error::need_more) {
        if (first_bytes) arm(opts_.timeouts.head);
        // The parser waits for a whole line; a head already over the limit
        // is refused now rather than when its line ends.
        if (head_bytes_ + buffered() > max_request_head) {
            refuse(l, 431);
        } else if (read_closed_) {
            close_now(l);
        }
        return;
    }
    if (ec == http::error::bad_version && well_formed_version(in_)) {
        refuse(l, 505);
        return;
    }
    if (ec) {
        refuse(l, ec == http::error::header_limit ? 431 : 400);
        return;
    }
    if (parser_->is_header_done()) on_head(l);
}

void connection::on_head(lock& l) {
    const head_store& h = head_;
    const int version = h.version;
    if (version != 10 && version != 11) {
        refuse(l, 505);
        return;
    }
    int hosts = 0, codings = 0;
    bool only_chunked = true;
    std::string_view host_field, expect_field;
    for (const auto& f : h.fields) {
        const std::string_view name = h.name(f);
        if (iequals(name, "Host")) {
            if (hosts++ == 0) host_field = h.value(f);
        } else if (iequals(name, "Transfer-Encoding")) {
            ++codings;
            if (!iequals(h.value(f), "chunked")) only_chunked = false;
        } else if (expect_field.empty() && iequals(name, "Expect")) {
            expect_field = h.value(f);
        }
    }
    if (codings > 0 && !only_chunked) {
        refuse(l, 501);
        return;
    }
    if ((version == 11 && hosts == 0) || hosts > 1) {
        refuse(l, 400);
        return;
    }
    const std::string_view target = h.target_string();
    std::shared_ptr<request> reuse = std::move(spare_);
    // A request the handler still holds somewhere stays as it is.
    if (!reuse || reuse.use_count() != 1) reuse = std::make_shared<request>();
    request& req = *reuse;
    if (!split_target(target, host_, path_, req.query)) {
        refuse(l, 400);
        return;
    }
    if (!canonicalize_path(path_, req.abs_path_utf8, req.abs_path)) {
        refuse(l, 400);
        return;
    }
    if (host_.empty()) host_.assign(host_field);
    lower_host(host_);

    disarm();
    const std::string_view method = h.method_string();
    head_request_ = method == "HEAD";
    client_keep_alive_ = parser_->keep_alive();
    phase_ = phase::in_request;
    bool more_body = !parser_->is_done();
    expect_continue_ = version == 11 && more_body && iequals(expect_field, "100-continue");

    auto r = service::get().find_route(secure_, port_, host_, req.abs_path);
    if (!r) {
        spare_ = std::move(reuse);
        response_started_ = true;
        framing_.close = !client_keep_alive_;
        out_ += render_service_answer(404, framing_.close, head_request_);
        finish_request(l);
        return;
    }

    req.connection_id = id_;
    req.url_context = r->context;
    req.flags = more_body ? request_flag_more_entity_body : 0;
    req.verb = verb_from_method(method);
    if (req.verb == verb::unknown)
        req.unknown_verb.assign(method);
    else
        req.unknown_verb.clear();
    req.version_major = static_cast<uint16_t>(version / 10);
    req.version_minor = static_cast<uint16_t>(version % 10);
    req.raw_url.assign(target);
    utf8_to_wide(host_, req.host);
    static_assert(request_header_count <= 64);
    // A record from a few dozen requests ago is cold: only what its last
    // head wrote is touched.
    for (uint64_t m = req.filled_headers; m != 0; m &= m - 1)
        req.known_headers[static_cast<std::size_t>(std::countr_zero(m))].clear();
    req.filled_headers = 0;
    // The unknown headers are written over those of the last request, whose
    // strings keep their room.
    std::size_t unknown = 0;
    for (const auto& f : h.fields) {
        const std::string_view name = h.name(f), value = h.value(f);
        int idx = find_request_header(name);
        if (idx < 0) {
            if (unknown < req.unknown_headers.size()) {
                req.unknown_headers[unknown].first.assign(name);
                req.unknown_headers[unknown].second.assign(value);
            } else {
                req.unknown_headers.emplace_back(name, value);
            }
            ++unknown;
            continue;
        }
        req.filled_headers |= uint64_t{1} << idx;
        auto& slot = req.known_headers[static_cast<std::size_t>(idx)];
        if (!slot.empty()) slot += idx == header_cookie ? "; " : ", ";
        slot += value;
    }
    req.unknown_headers.resize(unknown);
    if (req.filled_addresses != id_) {
        req.remote_address = remote_;
        req.local_address = local_;
        req.remote_text = remote_text_;
        req.local_text = local_text_;
        req.filled_addresses = id_;
    }
    req.secure = secure_;
    req.handler_mark = 0;
    req.sequence = ++requests_;

    request_id_ = service::get().next_request_id();
    req.request_id = request_id_;
    queue_ = r->queue.get();
    service::get().add_request(request_id_, shared_from_this(), request_node_);
    body_start_ = win32::coarse_steady_now();
    stalled_since_ = clock::time_point::max();
    body_in_ = buffered(); // what came with the head
    // A client that waits for 100 Continue sends nothing before a reader
    // asks for the body: its request goes on at once.
    if (more_body && !expect_continue_) {
        gated_ = std::move(reuse);
        gated_queue_ = std::move(r->queue);
        spool_step(l);
        return;
    }
    hand_on(l, std::move(reuse), std::move(r->queue));
}

void connection::hand_on(lock& l, std::shared_ptr<request> req, std::shared_ptr<request_queue> q) {
    if (q->handler_) {
        // Run outside the lock by the dispatch loop: at the end of the
        // connection's current handler, or posted from any other caller.
        ready_ = std::move(req);
        ready_queue_ = std::move(q);
        if (!mine()) post_dispatch();
        return;
    }
    enqueue(l, *req, *q);
    spare_ = std::move(req);
}

void connection::spool_step(lock& l) {
    char piece[16384];
    while (gated_ && buffered() > 0 && !parser_->is_done() && spool_.size() < read_ahead) {
        auto& body = parser_->body();
        const std::size_t room = std::min(sizeof piece, read_ahead - spool_.size());
        body.data = piece;
        body.size = room;
        body.more = true;
        error_code ec;
        const std::size_t n = safe_put(ec);
        in_pos_ += n;
        spool_.append(piece, room - body.size);
        body.data = nullptr;
        body.size = 0;
        if (ec && ec != http::error::need_more && ec != http::error::need_buffer) {
            refuse(l, 400); // broken chunk framing
            return;
        }
        if (n == 0) break; // a chunk header still in pieces
    }
    if (!gated_) return;
    if (parser_->is_done() || spool_.size() >= read_ahead)
        open_gate(l);
    else
        arm_body_wait();
}

void connection::open_gate(lock& l) {
    disarm();
    std::shared_ptr<request> req = std::move(gated_);
    std::shared_ptr<request_queue> q = std::move(gated_queue_);
    hand_on(l, std::move(req), std::move(q));
}

connection::clock::time_point connection::rate_deadline() const {
    const uint32_t rate = opts_.timeouts.body_min_rate;
    if (rate == 0) return clock::time_point::max();
    // Each byte buys the time it takes at the lowest rate allowed.
    const uint64_t ms = std::min<uint64_t>(body_in_, uint64_t{1} << 40) * 1000 / rate;
    return body_start_ + opts_.timeouts.body_grace + std::chrono::milliseconds(ms);
}

void connection::arm_body_wait() {
    set_deadline(std::min(win32::coarse_steady_now() + opts_.timeouts.body, rate_deadline()));
}

namespace {
std::atomic<void (*)(const slow_body&)> slow_body_notice{nullptr};
} // namespace

void set_slow_body_notice(void (*notice)(const slow_body&)) {
    slow_body_notice.store(notice);
}

void connection::body_too_slow(lock& l) {
    const auto length = parser_->content_length();
    const std::string method(head_.method_string()), target(head_.target_string());
    slow_body what{remote_text_};
    what.method = method;
    what.target = target;
    what.received = body_in_;
    what.content_length = length ? static_cast<int64_t>(*length) : int64_t{-1};
    what.after = std::chrono::duration_cast<std::chrono::milliseconds>(win32::coarse_steady_now() -
                                                                       body_start_);
    gated_.reset();
    gated_queue_.reset();
    if (response_started_)
        abort(l);
    else
        refuse(l, 408);
    l.unlock();
    if (auto notice = slow_body_notice.load()) notice(what);
    l.lock();
}

void connection::enqueue(lock& l, const request& req, request_queue& q) {
    std::size_t limit = opts_.max_queued_requests;
    std::unique_lock<std::mutex> ql(q.m_);
    if (q.closed_ || q.pending_.size() >= limit) {
        ql.unlock();
        refuse(l, 503);
        return;
    }
    if (q.spare_.empty())
        q.pending_.emplace_back();
    else
        q.pending_.splice(q.pending_.end(), q.spare_, q.spare_.begin());
    // A copy into the entry's strings: both keep their room.
    q.pending_.back().r = req;
    q.pending_.back().c = shared_from_this();
    // Woken after the unlock, the receiver finds the queue free instead of
    // going back to sleep on its lock at once.
    ql.unlock();
    q.cv_.notify_one();
}

void connection::post_dispatch() {
    post_locked(&connection::dispatch);
}

// Hands ready requests to their queue's handler, one after the other: a
// handler that answers at once lets the next pipelined request be parsed,
// which the loop then takes too.
void connection::dispatch(lock& l) {
    if (dispatching_) return;
    dispatching_ = true;
    while (ready_) {
        std::shared_ptr<request> req = std::move(ready_);
        std::shared_ptr<request_queue> q = std::move(ready_queue_);
        if (phase_ == phase::closed || !request_matches(req->request_id)) continue;
        l.unlock();
        set_current_request(req->request_id, shared_from_this());
        bool taken = true;
        bool failed = false;
        try {
            taken = q->handler_(req);
        } catch (...) {
            failed = true;
        }
        set_current_request(0, nullptr);
        l.lock();
        if (failed)
            abort(l);
        else if (!taken && request_matches(req->request_id))
            enqueue(l, *req, *q);
        // Its room serves the next request unless the handler kept it.
        spare_ = std::move(req);
    }
    dispatching_ = false;
    pump(l);
}

// Answers a request the service will not pass on, and ends the connection.
void connection::refuse(lock& l, unsigned status) {
    disarm();
    bool head = head_request_ || head_prefix_ == "HEAD ";
    out_ += render_service_answer(status, true, head);
    close_after_write_ = true;
    phase_ = phase::closing;
    gated_.reset();
    gated_queue_.reset();
    if (request_id_) service::get().remove_request(request_id_, &request_node_);
    request_id_ = 0;
    response_done_ = response_started_ = true;
    wake();
    pump(l);
}

// The response is complete: decide between the next request and the end.
void connection::finish_request(lock& l) {
    response_done_ = true;
    want_data_ = false;
    if (request_id_) service::get().remove_request(request_id_, &request_node_);
    wake();
    bool body_left = parser_ && !parser_->is_done();
    // A client that ended its side after sending more requests gets those
    // answered before the connection closes.
    bool close = framing_.close || (read_closed_ && (read_failed_ || buffered() == 0));
    if (!close && body_left) {
        // The client may hold its body back until told to go on.
        if (expect_continue_ && !continue_sent_) close = true;
        auto remaining = parser_->content_length_remaining();
        if (remaining && *remaining > opts_.drain_limit) close = true;
    }
    if (close) {
        close_after_write_ = true;
        phase_ = phase::closing;
        disarm();
        return;
    }
    if (body_left) {
        phase_ = phase::draining;
        arm(opts_.timeouts.body);
        drain_step(l);
        return;
    }
    new_head(l);
}

// The parser throws on a trailer field too large to store; that is broken
// framing like any other.
std::size_t connection::safe_put(error_code& ec) {
    try {
        return parser_->put(asio::buffer(in_.data() + in_pos_, buffered()), ec);
    } catch (const std::exception&) {
        ec = http::error::bad_field;
        return 0;
    }
}

void connection::drain_step(lock& l) {
    char scratch[8192];
    while (buffered() > 0 && !parser_->is_done()) {
        parser_->body().data = scratch;
        parser_->body().size = sizeof scratch;
        parser_->body().more = true;
        error_code ec;
        std::size_t n = safe_put(ec);
        in_pos_ += n;
        drained_ += sizeof scratch - parser_->body().size;
        if (ec == http::error::need_more) break;
        if (ec && ec != http::error::need_buffer) {
            abort(l);
            return;
        }
        if (drained_ > opts_.drain_limit) {
            close_after_write_ = true;
            phase_ = phase::closing;
            disarm();
            pump(l);
            return;
        }
        if (n == 0 && ec != http::error::need_buffer) break;
    }
    if (parser_->is_done()) {
        disarm();
        new_head(l);
    } else {
        arm(opts_.timeouts.body);
    }
}

void connection::abort(lock& l) {
    if (phase_ == phase::closed) return;
    if (!mine()) {
        // The socket (and a TLS stream's state) is closed in a handler only.
        abort_from_outside();
        return;
    }
    close_now(l);
}

void connection::close_now(lock&) {
    if (phase_ == phase::closed) return;
    phase_ = phase::closed;
    disarm();
    timer_.cancel();
    write_timer_.cancel();
    hold_timer_.cancel();
    held_ = false;
    drop_pieces();
    ready_.reset();
    ready_queue_.reset();
    gated_.reset();
    gated_queue_.reset();
    error_code ec;
    socket_->shutdown(tcp::socket::shutdown_both, ec);
    socket_->close(ec);
    if (request_id_) service::get().remove_request(request_id_, &request_node_);
    request_id_ = 0;
    service::get().remove_connection(id_);
    for (auto& w : watchers_)
        w->status.store(0);
    watchers_.clear();
    out_.clear();
    check_output_ready();
    wake();
}

void connection::abort_if_queue(request_queue* q) {
    auto self = shared_from_this();
    post_as_handler([self, q] {
        lock l(self->m_);
        if (self->queue_ == q) self->abort(l);
    });
}

void connection::abort_from_outside() {
    auto self = shared_from_this();
    post_as_handler([self] {
        lock l(self->m_);
        self->abort(l);
    });
}

void connection::close_after_stop() {
    lock l(m_);
    close_now(l);
}

bool connection::request_matches(uint64_t request_id) const {
    return request_id != 0 && request_id == request_id_ && phase_ == phase::in_request;
}

bool connection::client_ended(uint64_t request_id) {
    lock l(m_);
    return !request_matches(request_id) || read_closed_;
}

uint32_t connection::watch(const std::shared_ptr<overlapped::state>& s) {
    lock l(m_);
    if (phase_ == phase::closed) {
        s->status.store(0);
        return 0;
    }
    s->status.store(status_pending);
    watchers_.push_back(s);
    return win32::error_io_pending;
}

uint32_t connection::receive_body(uint64_t request_id, void* buffer, uint32_t length,
                                  uint32_t& got) {
    got = 0;
    lock l(m_);
    if (!request_matches(request_id)) return error_connection_invalid;
    if (spool_pos_ < spool_.size() && length > 0) {
        got = static_cast<uint32_t>(std::min<std::size_t>(length, spool_.size() - spool_pos_));
        std::memcpy(buffer, spool_.data() + spool_pos_, got);
        spool_pos_ += got;
        return 0;
    }
    if (parser_->is_done()) return win32::error_handle_eof;
    if (length == 0) return win32::error_invalid_parameter;
    if (expect_continue_ && !continue_sent_ && !response_started_) {
        continue_sent_ = true;
        out_ += "HTTP/1.1 100 Continue\r\n\r\n";
        post_pump();
    }
    auto& body = parser_->body();
    for (;;) {
        if (!request_matches(request_id)) return error_connection_invalid;
        if (buffered() > 0) {
            body.data = buffer;
            body.size = length;
            body.more = true;
            error_code ec;
            std::size_t n = safe_put(ec);
            in_pos_ += n;
            got = length - static_cast<uint32_t>(body.size);
            body.data = nullptr;
            body.size = 0;
            if (ec && ec != http::error::need_more && ec != http::error::need_buffer) {
                // Broken chunk framing: the request cannot go on.
                got = 0;
                if (!response_started_)
                    refuse(l, 400);
                else
                    abort(l);
                return error_connection_invalid;
            }
            if (got > 0) break;
            if (parser_->is_done()) return win32::error_handle_eof;
            if (n > 0) continue; // framing only (a chunk header); look again
        }
        if (read_closed_) return error_connection_invalid;
        // An event loop that waited here would stop the very reads it waits for.
        if (on_io_thread()) return error_connection_invalid;
        want_data_ = true;
        std::size_t before = buffered();
        arm_body_wait();
        pump(l);
        wait_until(l, [&] {
            return !request_matches(request_id) || buffered() != before || read_closed_;
        });
        want_data_ = false;
    }
    disarm(); // the body clock runs again with the next wait
    return 0;
}

namespace {
std::atomic<void (*)()> before_send_wait{nullptr};
} // namespace

void set_before_send_wait(void (*hook)()) {
    before_send_wait.store(hook);
}

std::size_t connection::queued_output() const {
    std::size_t queued = out_.size() + (writing_.size() - write_off_) + tls_io_.sealed.size();
    for (const auto& p : pieces_)
        queued += p.bytes.size();
    return queued;
}

void connection::check_output_ready() {
    if (!output_ready_) return;
    const bool open = phase_ != phase::closed;
    if (open && queued_output() >= output_limit_) return;
    // The sender's next sends may start socket work at once, as in any
    // handler of the connection, which the hold keeps alive till then.
    post_as_handler(
        [self = shared_from_this(), ready = std::move(output_ready_), open] { ready(open); });
    output_ready_ = nullptr;
}

uint32_t connection::when_output_below(uint64_t request_id, std::size_t limit,
                                       std::function<void(bool)> ready) {
    lock l(m_);
    if (!request_matches(request_id)) return error_connection_invalid;
    output_ready_ = std::move(ready);
    output_limit_ = limit;
    check_output_ready();
    return 0;
}

std::size_t connection::output_waiting(uint64_t request_id) {
    lock l(m_);
    return request_matches(request_id) ? queued_output() : 0;
}

void connection::wait_backlog(lock& l) {
    const auto taken = [&] { return phase_ == phase::closed || queued_output() < send_backlog; };
    // An event loop never waits: its own writes would be the ones to wait for.
    if (on_io_thread() || taken()) return;
    if (auto hook = before_send_wait.load()) {
        // The hook may start threads: not under the connection's lock.
        l.unlock();
        hook();
        l.lock();
    }
    wait_until(l, taken);
}

uint32_t connection::send_response(uint64_t request_id, uint32_t flags, const response& r,
                                   uint32_t* bytes_sent) {
    if (bytes_sent) *bytes_sent = 0;
    lock l(m_);
    if (!request_matches(request_id)) return error_connection_invalid;
    if (response_started_) return win32::error_invalid_parameter;
    head_context ctx;
    ctx.head_request = head_request_;
    ctx.client_keep_alive = client_keep_alive_ && !(read_closed_ && buffered() == 0);
    ctx.final = !(flags & send_flag_more_data);
    ctx.disconnect = flags & send_flag_disconnect;
    if (ctx.final && !parser_->is_done()) {
        // The body will stay unread: say now whether draining it can keep the
        // connection, so the client is not surprised by the close.
        auto remaining = parser_->content_length_remaining();
        if ((expect_continue_ && !continue_sent_) || (remaining && *remaining > opts_.drain_limit))
            ctx.client_keep_alive = false;
    }
    framing f;
    const std::size_t before = out_.size();
    if (uint32_t e = render_response_head(r, ctx, out_, f)) return e;
    response_started_ = true;
    framing_ = f;
    if (bytes_sent) *bytes_sent = static_cast<uint32_t>(out_.size() - before);
    if (ctx.final) finish_request(l);
    send_now(l, (flags & send_flag_buffer_data) && !ctx.final);
    wait_backlog(l);
    return 0;
}

std::size_t connection::body_room(std::size_t length) {
    std::size_t take = length;
    if (framing_.no_body) {
        take = 0;
    } else if (framing_.content_length >= 0) {
        uint64_t room =
            static_cast<uint64_t>(framing_.content_length) -
            std::min<uint64_t>(body_sent_, static_cast<uint64_t>(framing_.content_length));
        if (take > room) {
            // Bytes beyond the announced length would be read as the next
            // response; drop them and end the connection instead.
            take = static_cast<std::size_t>(room);
            framing_.close = true;
        }
    }
    return take;
}

void connection::end_body(lock& l, uint32_t flags) {
    if (flags & send_flag_more_data) return;
    if (flags & send_flag_disconnect) framing_.close = true;
    if (!framing_.no_body && framing_.content_length >= 0 &&
        body_sent_ != static_cast<uint64_t>(framing_.content_length))
        framing_.close = true;
    finish_request(l);
}

uint32_t connection::send_body(uint64_t request_id, uint32_t flags, const void* data,
                               std::size_t length, uint32_t* bytes_sent) {
    if (bytes_sent) *bytes_sent = 0;
    lock l(m_);
    if (!request_matches(request_id) || response_done_) return error_connection_invalid;
    if (!response_started_) return win32::error_invalid_parameter;
    const std::size_t take = body_room(length);
    if (take > 0) out_.append(static_cast<const char*>(data), take);
    body_sent_ += take;
    if (bytes_sent) *bytes_sent = static_cast<uint32_t>(length);
    end_body(l, flags);
    send_now(l, (flags & send_flag_buffer_data) && (flags & send_flag_more_data));
    wait_backlog(l);
    return 0;
}

uint32_t connection::send_file(uint64_t request_id, uint32_t flags, int fd, uint64_t offset,
                               uint64_t length, std::shared_ptr<const void> holder,
                               uint32_t* bytes_sent) {
    if (bytes_sent) *bytes_sent = 0;
    lock l(m_);
    if (!request_matches(request_id) || response_done_) return error_connection_invalid;
    if (!response_started_) return win32::error_invalid_parameter;
    const std::size_t take =
        body_room(static_cast<std::size_t>(std::min<uint64_t>(length, SIZE_MAX)));
    if (take > 0) {
        const int own = holder ? fd : ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (own < 0) return win32::from_errno(errno);
        if (!out_.empty()) {
            pieces_.push_back(out_piece{std::move(out_), -1, 0, 0, nullptr});
            out_.clear();
        }
        pieces_.push_back(out_piece{std::string(), own, offset, take, std::move(holder)});
    }
    body_sent_ += take;
    if (bytes_sent) *bytes_sent = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
    end_body(l, flags);
    send_now(l, false);
    wait_backlog(l);
    return 0;
}

} // namespace khttp
