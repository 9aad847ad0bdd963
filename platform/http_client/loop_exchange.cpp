#include "platform/http_client/loop_exchange.h"
#include "core/blocks.h"
#include "platform/win32/socket_calls.h"
#include "platform/win32/time.h"

#include <arpa/inet.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
// After the above: the reactor's own headers need the scheduler complete.
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

namespace http_client {

namespace {

namespace http = boost::beast::http;
using clock_type = std::chrono::steady_clock;

// One read takes at most this much; a head may grow the input to its limit.
constexpr std::size_t read_room = 16 * 1024;
constexpr std::size_t head_limit = 64 * 1024;
// Body bytes held for a taker that does not keep up before reading stops.
constexpr std::size_t max_buffered = 64 * 1024;
// Kept connections per loop, and how long one may wait for its next request.
constexpr std::size_t max_idle = 64;
constexpr auto idle_life = std::chrono::seconds(60);
// How often the deadlines of running exchanges are looked at.
constexpr auto sweep_every = std::chrono::milliseconds(200);

// The time for deadlines and idle times, to a few milliseconds: they are
// looked at every 200 ms, and the coarse clock is read without the timer.
clock_type::time_point coarse_now() {
    return win32::coarse_steady_now();
}

bool same_address(const ip_address& a, socklen_t al, const ip_address& b, socklen_t bl) {
    return al == bl && std::memcmp(&a, &b, al) == 0;
}

// A socket made here: non-blocking from the start and never shared with
// another descriptor. The loop is told so, which spares a system call to set
// the mode before its first wait and one to unregister it before its close.
class owned_socket : public boost::asio::ip::tcp::socket {
  public:
    using boost::asio::ip::tcp::socket::basic_stream_socket;
    void adopt(int family, int fd, boost::system::error_code& ec) {
        namespace ops = boost::asio::detail::socket_ops;
        assign(family == AF_INET6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4(), fd,
               ec);
        if (ec) return;
        auto& impl = impl_.get_implementation();
        impl.state_ |= ops::internal_non_blocking;
        impl.state_ &= static_cast<ops::state_type>(~ops::possible_dup);
    }
    // Queues a wait for input with the loop's reactor. A wait that is not
    // fresh makes the reactor look at the socket again (a system call), as
    // input may have been announced while nobody waited, or the end may wait
    // behind bytes a short read took. A fresh one costs no call and hears
    // only of what comes after it: for a connection made, or written to with
    // nothing read, in this same turn of the loop.
    void wait_input(boost::asio::detail::reactor& reactor, boost::asio::detail::reactor_op* op,
                    bool fresh) {
        auto& impl = impl_.get_implementation();
        reactor.start_op(boost::asio::detail::reactor::read_op, impl.socket_, impl.reactor_data_,
                         op, false, fresh);
    }
};

// The one wait for input of a connection, kept in the connection: it holds
// the connection while it is queued and hands it to on_input when the
// socket has input, an error or an end (or the wait was cancelled).
class input_wait : public boost::asio::detail::reactor_op {
  public:
    using handler = void (*)(const std::shared_ptr<loop_exchange::connection>&,
                             const boost::system::error_code&);
    explicit input_wait(handler h)
        : reactor_op(boost::system::error_code(), &perform, &complete), on_input_(h) {}

    std::shared_ptr<loop_exchange::connection> holder;
    // The reactor tries a fresh wait at once; that first try says "not yet".
    bool first_try = false;

  private:
    static status perform(reactor_op* base) {
        auto* w = static_cast<input_wait*>(base);
        if (w->first_try) {
            w->first_try = false;
            return not_done;
        }
        return done;
    }
    static void complete(void* owner, boost::asio::detail::operation* base,
                         const boost::system::error_code&, std::size_t);

    handler on_input_;
};

// Input buffers of read_room bytes that closed connections left, kept on
// their thread for the next connection: one is wanted per request.
struct spare_rooms {
    std::vector<std::unique_ptr<char[]>> list;
    ~spare_rooms();
};
thread_local bool spares_gone = false; // the thread is ending
thread_local spare_rooms spares;
spare_rooms::~spare_rooms() {
    spares_gone = true;
}

std::unique_ptr<char[]> take_room() {
    if (!spares_gone && !spares.list.empty()) {
        std::unique_ptr<char[]> room = std::move(spares.list.back());
        spares.list.pop_back();
        return room;
    }
    return std::unique_ptr<char[]>(new char[read_room]);
}

void give_room(std::unique_ptr<char[]> room) {
    constexpr std::size_t most = 16;
    if (!spares_gone && spares.list.size() < most) spares.list.push_back(std::move(room));
}

// The texts, by use: how many are kept and how large a room may be. A body
// grows to what is held for a slow taker, and a read, at most.
struct spare_texts {
    std::vector<std::string> heads;
    std::vector<std::string> bodies;
    ~spare_texts();
};
constexpr std::size_t most_heads = 64;
constexpr std::size_t largest_head = 8 * 1024;
constexpr std::size_t most_bodies = 16;
constexpr std::size_t largest_body = max_buffered + read_room;
thread_local bool texts_gone = false;
thread_local spare_texts texts;
spare_texts::~spare_texts() {
    texts_gone = true;
}

} // namespace

std::size_t known_name_count() {
    return static_cast<std::size_t>(http::field::xref) + 1;
}

std::string_view known_name(uint16_t number) {
    if (number == 0 || number >= known_name_count()) return {};
    const boost::beast::string_view name = http::to_string(static_cast<http::field>(number));
    return {name.data(), name.size()};
}

std::string take_text(text_use use) {
    if (texts_gone) return {};
    std::vector<std::string>& list = use == text_use::head ? texts.heads : texts.bodies;
    if (list.empty()) return {};
    std::string text = std::move(list.back());
    list.pop_back();
    return text;
}

void give_text(std::string&& text, text_use use) {
    const bool head = use == text_use::head;
    const std::size_t room = text.capacity();
    // A room inside the text itself is no room to keep.
    if (texts_gone || room <= std::string().capacity() ||
        room > (head ? largest_head : largest_body))
        return;
    std::vector<std::string>& list = head ? texts.heads : texts.bodies;
    if (list.size() >= (head ? most_heads : most_bodies)) return;
    text.clear();
    list.push_back(std::move(text));
}

// A connection to an upstream: the socket, the bytes read and not yet
// parsed, and who reads it now (an exchange, or nobody while it is kept).
struct loop_exchange::connection {
    connection(boost::asio::io_context& loop, boost::asio::detail::reactor& r)
        : d(loop), reactor(r), wait(&loop_exchange::on_input) {}
    ~connection() {
        if (in && in_size == read_room) give_room(std::move(in));
    }
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    owned_socket d;
    boost::asio::detail::reactor& reactor; // the loop's
    input_wait wait;
    ip_address address{};
    socklen_t length = 0;
    // Bytes read and not yet parsed; never cleared, only overwritten.
    std::unique_ptr<char[]> in;
    std::size_t in_size = 0;
    std::size_t in_len = 0;
    loop_exchange* owner = nullptr;
    bool reading = false; // a wait for input is pending
    bool kept = false;    // waits in the driver's pool
    driver* pool = nullptr;
    bool reused = false;
    clock_type::time_point idle_since{};

    int fd() { return d.native_handle(); }
    void close() {
        owner = nullptr;
        kept = false;
        boost::system::error_code ec;
        d.close(ec);
    }
};

void input_wait::complete(void* owner, boost::asio::detail::operation* base,
                          const boost::system::error_code&, std::size_t) {
    auto* w = static_cast<input_wait*>(base);
    // Without an owner the loop is ending: only the hold goes.
    if (!owner || !w->holder) {
        w->holder.reset();
        return;
    }
    // The hold lasts while on_input runs, and a wait queued again from
    // there keeps it: the connection is not counted down and up again for
    // each wait. Let go last, as it may end the connection, this wait with
    // it.
    const std::shared_ptr<loop_exchange::connection>& c = w->holder;
    w->on_input_(c, w->ec_);
    if (!c->reading) w->holder.reset();
}

// The answer's framing; the body goes straight to the exchange's buffer and
// the head is taken as the bytes the server sent.
class loop_exchange::parser : public http::basic_parser<false>, public cl::request_sized {
  public:
    explicit parser(loop_exchange& x) : x_(x) {
        header_limit(static_cast<std::uint32_t>(head_limit));
        // No limit: the body streams through and is never held whole.
        body_limit(std::numeric_limits<std::uint64_t>::max());
        if (x.setup_.head_only) skip(true);
    }

  private:
    void on_request_impl(http::verb, boost::beast::string_view, boost::beast::string_view, int,
                         boost::beast::error_code&) override {}
    void on_response_impl(int code, boost::beast::string_view reason, int,
                          boost::beast::error_code&) override {
        x_.status_ = static_cast<uint32_t>(code);
        x_.reason_.assign(reason.data(), reason.size());
    }
    // The fields as the head's bytes hold them, for the reader of the head,
    // which then need not split it again.
    void on_field_impl(http::field known, boost::beast::string_view name,
                       boost::beast::string_view value, boost::beast::error_code&) override {
        // Fields after the body (a chunked answer's trailer) are no part of
        // the head, and their bytes lie in another put.
        if (is_header_done()) return;
        const auto inside = [this](boost::beast::string_view s) {
            return s.data() >= base_ && s.data() + s.size() <= end_;
        };
        if (folded_ || !inside(name) || !inside(value)) {
            folded_ = true;
            return;
        }
        x_.spans_.push_back({static_cast<uint32_t>(name.data() - base_),
                             static_cast<uint32_t>(name.size()),
                             static_cast<uint32_t>(value.data() - base_),
                             static_cast<uint32_t>(value.size()), static_cast<uint16_t>(known)});
    }
    void on_header_impl(boost::beast::error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&,
                           boost::beast::error_code&) override {}
    std::size_t on_body_impl(boost::beast::string_view body, boost::beast::error_code&) override {
        x_.down_.append(body.data(), body.size());
        return body.size();
    }
    void on_chunk_header_impl(std::uint64_t, boost::beast::string_view,
                              boost::beast::error_code&) override {}
    std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                                   boost::beast::error_code&) override {
        x_.down_.append(body.data(), body.size());
        return body.size();
    }
    void on_finish_impl(boost::beast::error_code&) override {}

    loop_exchange& x_;

  public:
    // The bytes of the put under way, where the head begins.
    const char* base_ = nullptr;
    const char* end_ = nullptr;
    bool folded_ = false;
};

// A loop's exchanges: those running (for their deadlines and for the
// loop's end) and the connections kept for the next request. It lives as
// long as the loop, whichever thread ends that.
struct loop_exchange::driver {
    explicit driver(boost::asio::io_context& loop)
        : loop_(loop), reactor_(boost::asio::use_service<boost::asio::detail::reactor>(loop)),
          timer_(loop) {}
    ~driver();

    static driver& of(boost::asio::io_context& loop);

    void add(loop_exchange* x) {
        x->slot_ = running_.size();
        running_.push_back(x);
        if (!sweeping_) {
            sweeping_ = true;
            timer_.expires_after(sweep_every);
            timer_.async_wait([this, alive = alive_](const boost::system::error_code& ec) {
                if (*alive) sweep(ec);
            });
        }
    }
    void remove(loop_exchange* x) {
        if (x->slot_ >= running_.size() || running_[x->slot_] != x) return;
        running_[x->slot_] = running_.back();
        running_[x->slot_]->slot_ = x->slot_;
        running_.pop_back();
    }
    void sweep(const boost::system::error_code& ec);

    // A kept connection to the address, or none.
    // now: the time of the event that asks.
    std::shared_ptr<connection> reuse(const ip_address& a, socklen_t length,
                                      clock_type::time_point now);
    void keep(std::shared_ptr<connection>&& c, bool fresh, clock_type::time_point now);
    void drop(const std::shared_ptr<connection>& c);

    boost::asio::io_context& loop_;
    boost::asio::detail::reactor& reactor_;
    boost::asio::steady_timer timer_;
    bool sweeping_ = false;
    std::vector<loop_exchange*> running_;
    std::vector<std::shared_ptr<connection>> idle_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

namespace {

// The driver as a service of its loop: made on the loop's first exchange,
// ended when the loop ends, before the loop's sockets and timers go.
struct driver_service : boost::asio::execution_context::service {
    using key_type = driver_service;
    static inline boost::asio::execution_context::id id;
    explicit driver_service(boost::asio::execution_context& context)
        : service(context), d(std::make_unique<loop_exchange::driver>(
                                static_cast<boost::asio::io_context&>(context))) {}
    void shutdown() override { d.reset(); }
    std::unique_ptr<loop_exchange::driver> d;
};

// The calling thread's loop and its driver, found once.
thread_local boost::asio::io_context* cached_loop = nullptr;
thread_local loop_exchange::driver* cached_driver = nullptr;

} // namespace

loop_exchange::driver& loop_exchange::driver::of(boost::asio::io_context& loop) {
    if (cached_loop != &loop || !cached_driver) {
        cached_driver = boost::asio::use_service<driver_service>(loop).d.get();
        cached_loop = &loop;
    }
    return *cached_driver;
}

loop_exchange::driver::~driver() {
    *alive_ = false;
    if (cached_driver == this) {
        cached_driver = nullptr;
        cached_loop = nullptr;
    }
    // The loop ends: what still runs ends with it, and its owner is told.
    std::vector<std::shared_ptr<loop_exchange>> left;
    for (loop_exchange* x : running_)
        left.push_back(x->hold());
    for (auto& x : left) {
        x->driver_ = nullptr;
        if (x->abandoned_ || x->finished_) continue;
        x->fail(error_operation_cancelled);
        x->notify();
    }
    running_.clear();
    for (auto& c : idle_)
        c->close();
    idle_.clear();
    boost::system::error_code ec;
    timer_.cancel(ec);
}

void loop_exchange::driver::sweep(const boost::system::error_code& ec) {
    sweeping_ = false;
    if (ec || running_.empty()) return;
    const auto now = coarse_now();
    std::vector<std::shared_ptr<loop_exchange>> due;
    for (loop_exchange* x : running_)
        if (x->timing_ && now >= x->deadline_) due.push_back(x->hold());
    for (auto& x : due) {
        if (x->abandoned_ || x->finished_ || !x->timing_) continue;
        x->fail(error_timeout);
        x->notify();
    }
    if (!running_.empty() && !sweeping_) {
        sweeping_ = true;
        timer_.expires_after(sweep_every);
        timer_.async_wait([this, alive = alive_](const boost::system::error_code& e) {
            if (*alive) sweep(e);
        });
    }
}

std::shared_ptr<loop_exchange::connection>
loop_exchange::driver::reuse(const ip_address& a, socklen_t length, clock_type::time_point now) {
    for (std::size_t i = idle_.size(); i-- > 0;) {
        if (!same_address(idle_[i]->address, idle_[i]->length, a, length)) continue;
        std::shared_ptr<connection> c = std::move(idle_[i]);
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
        c->kept = false;
        if (now - c->idle_since > idle_life) {
            c->close();
            continue;
        }
        c->reused = true;
        return c;
    }
    return nullptr;
}

// fresh: the answer was read in this turn of the loop. An end of the
// connection that came with its last bytes then goes unheard until the
// connection is taken again, where the request is sent once more on a new
// one; that is cheaper than a look at every kept connection.
void loop_exchange::driver::keep(std::shared_ptr<connection>&& c, bool fresh,
                                 clock_type::time_point now) {
    if (idle_.size() >= max_idle) {
        idle_.front()->close();
        idle_.erase(idle_.begin());
    }
    c->owner = nullptr;
    c->kept = true;
    c->pool = this;
    c->idle_since = now;
    watch(c, fresh);
    idle_.push_back(std::move(c));
}

// A connection is watched for input by one wait at a time, whoever reads
// it: its exchange, or, while it is kept, the pool, where the server
// closing it (or sending what nobody asked for) ends it. A kept connection
// that is taken again hands its pending wait to the new exchange.
void loop_exchange::watch(const std::shared_ptr<connection>& c, bool fresh) {
    if (c->reading) return;
    c->reading = true;
    input_wait& w = c->wait;
    w.ec_ = boost::system::error_code();
    w.bytes_transferred_ = 0;
    w.holder = c;
    w.first_try = fresh;
    c->d.wait_input(c->reactor, &w, fresh);
    w.first_try = false;
}

void loop_exchange::on_input(const std::shared_ptr<connection>& c,
                             const boost::system::error_code& ec) {
    c->reading = false;
    if (ec) return;
    // An owner that lets go of the exchange while it is told of news
    // leaves its hold until the telling is over (notify), so the exchange
    // outlives this call without a hold of its own.
    if (c->owner) {
        c->owner->on_readable();
        return;
    }
    if (c->kept) c->pool->drop(c);
}

void loop_exchange::driver::drop(const std::shared_ptr<connection>& c) {
    for (std::size_t i = 0; i < idle_.size(); ++i)
        if (idle_[i] == c) {
            idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    c->close();
}

loop_exchange::loop_exchange(boost::asio::io_context& loop, loop_exchange_setup&& setup,
                             std::function<void()>&& progress)
    : loop_(loop), setup_(std::move(setup)), progress_(std::move(progress)),
      down_(take_text(text_use::body)) {}

loop_exchange::~loop_exchange() {
    if (driver_) driver_->remove(this);
    if (c_) c_->close();
    give_text(std::move(setup_.head), text_use::head);
    give_text(std::move(head_), text_use::head);
    give_text(std::move(down_), text_use::body);
}

uint32_t loop_exchange::start(boost::asio::io_context& loop, loop_exchange_setup&& setup,
                              std::function<void()>&& progress,
                              std::shared_ptr<loop_exchange>& owner) {
    // One block for the exchange and its count.
    struct made : loop_exchange {
        made(boost::asio::io_context& l, loop_exchange_setup&& s, std::function<void()>&& p)
            : loop_exchange(l, std::move(s), std::move(p)) {}
    };
    owner = std::allocate_shared<made>(cl::block_allocator<made>(), loop, std::move(setup),
                                       std::move(progress));
    loop_exchange* x = owner.get();
    x->owner_ = &owner;
    x->driver_ = &driver::of(loop);
    x->driver_->add(x);
    x->stamp();
    const uint32_t error = x->begin();
    if (error) {
        x->fail(error);
        x->news_ = false;
    }
    return error;
}

void loop_exchange::let_go(std::shared_ptr<loop_exchange>&& x) {
    x->abandon();
    if (x->telling_) {
        loop_exchange& self = *x;
        self.parked_ = std::move(x);
    }
}

void loop_exchange::abandon() {
    abandoned_ = true;
    owner_ = nullptr;
    if (driver_) driver_->remove(this);
    driver_ = nullptr;
    if (c_) {
        c_->close();
        c_.reset();
    }
}

std::string loop_exchange::peer_text() const {
    char text[INET6_ADDRSTRLEN] = {};
    const ip_address& a = setup_.address;
    if (a.any.sa_family == AF_INET)
        ::inet_ntop(AF_INET, &a.v4.sin_addr, text, sizeof text);
    else if (a.any.sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &a.v6.sin6_addr, text, sizeof text);
    return text;
}

bool loop_exchange::address_allowed() const {
    const request::address_check* check = setup_.check;
    return !check || !*check || (*check)(&setup_.address.any, setup_.length);
}

uint32_t loop_exchange::begin() {
    parser_ = std::make_unique<parser>(*this);
    if (setup_.keep_alive) {
        c_ = driver_->reuse(setup_.address, setup_.length, now_);
        if (c_) {
            // Checked for the request that opened it; this one's rules may
            // differ (another client), so it is asked again.
            if (!address_allowed()) {
                refused_ = true;
                driver_->keep(std::move(c_), false, now_);
                c_.reset();
                return error_operation_cancelled;
            }
            c_->owner = this;
            write_head(true);
            // A write that failed here (and on the new connection it was
            // retried on) is the sender's to report: no wait will.
            return finished_ ? error_ : 0;
        }
    }
    return open_new();
}

uint32_t loop_exchange::open_new() {
    if (!driver_) return error_operation_cancelled; // the loop has ended
    if (!address_allowed()) {
        refused_ = true;
        return error_cannot_connect;
    }
    const int fd =
        ::socket(setup_.address.any.sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return error_cannot_connect;
    if (::connect(fd, &setup_.address.any, setup_.length) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return error_cannot_connect;
    }
    auto c = std::make_shared<connection>(loop_, driver_->reactor_);
    boost::system::error_code ec;
    c->d.adopt(setup_.address.any.sa_family, fd, ec);
    if (ec) {
        ::close(fd);
        return error_cannot_connect;
    }
    c->address = setup_.address;
    c->length = setup_.length;
    c->in = take_room();
    c->in_size = read_room;
    c->owner = this;
    c_ = std::move(c);
    refresh_deadline(setup_.connect_ms);
    // The connected address, before the request goes out on it.
    if (!address_allowed()) {
        refused_ = true;
        return error_cannot_connect;
    }
    // The head goes out at once: on a connection still being made the write
    // is refused for now and waits for it; a made one costs no wait.
    write_head(true);
    return finished_ ? error_ : 0;
}

void loop_exchange::stamp() {
    now_ = coarse_now();
}

void loop_exchange::refresh_deadline(uint32_t ms) {
    timing_ = ms != 0;
    if (timing_) deadline_ = now_ + std::chrono::milliseconds(ms);
}

void loop_exchange::write_head(bool fresh) {
    const std::string& h = setup_.head;
    while (written_ < h.size()) {
        const ssize_t n =
            win32::send_plain(c_->fd(), h.data() + written_, h.size() - written_, MSG_NOSIGNAL);
        if (n > 0) {
            written_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_writable();
            return;
        }
        if (retry_on_new()) return;
        fail(c_->reused || written_ > 0 ? error_connection_error : error_cannot_connect);
        return;
    }
    refresh_deadline(setup_.receive_ms);
    watch(c_, fresh);
}

void loop_exchange::wait_writable() {
    c_->d.async_wait(boost::asio::socket_base::wait_write,
                     [x = hold(), c = c_](const boost::system::error_code& ec) {
                         if (x->abandoned_ || x->finished_ || x->c_ != c) return;
                         if (ec) {
                             x->fail(error_connection_error);
                         } else {
                             x->stamp();
                             x->write_head(false);
                         }
                         x->notify();
                     });
}

void loop_exchange::on_readable() {
    if (abandoned_ || finished_ || !c_) return;
    // Held back by the taker: what is there is read once it has room.
    if (paused_) {
        more_ = true;
        return;
    }
    stamp();
    read_more();
    notify();
}

// Reads while bytes come and the taker has room, then waits for the next;
// called when the socket may hold bytes.
void loop_exchange::read_more() {
    more_ = true;
    for (int round = 0; round < 64 && more_; ++round) {
        if (buffered() >= max_buffered) {
            paused_ = true;
            timing_ = false;
            return;
        }
        connection& c = *c_;
        if (c.in_size - c.in_len < read_room / 4) {
            if (c.in_size >= head_limit + read_room) {
                fail(error_invalid_server_response);
                return;
            }
            const std::size_t size = std::min(c.in_size * 2, head_limit + read_room);
            std::unique_ptr<char[]> bigger(new char[size]);
            std::memcpy(bigger.get(), c.in.get(), c.in_len);
            c.in = std::move(bigger);
            c.in_size = size;
        }
        const std::size_t room = c.in_size - c.in_len;
        const ssize_t n = win32::recv_plain(c.fd(), c.in.get() + c.in_len, room, 0);
        if (n > 0) {
            c.in_len += static_cast<std::size_t>(n);
            answer_started_ = true;
            refresh_deadline(setup_.receive_ms);
            // A short read took all there was: the next bytes come with a wait.
            more_ = static_cast<std::size_t>(n) == room;
            if (!parse(true) || paused_) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            more_ = false;
            break;
        }
        if (n == 0 && head_done_) {
            // The end of the connection ends a body that runs to it.
            boost::beast::error_code ec;
            parser_->put_eof(ec);
            if (!ec && parser_->is_done()) {
                finish_ok(true);
                return;
            }
        }
        if (retry_on_new()) return;
        fail(error_connection_error);
        return;
    }
    if (finished_ || paused_) return;
    if (more_) {
        resume();
        return;
    }
    if (!timing_) refresh_deadline(setup_.receive_ms);
    // The server's end may have come with the last bytes read.
    watch(c_, false);
}

// Feeds the bytes read to the parser; false once the exchange ended.
// The parser takes a head in as many puts as it arrives in, and tells the
// fields of each as views into that put's bytes: so the bytes of a head stay
// where they are in the input, from its first byte on, until the head is
// complete and copied whole, and each field is recorded as an offset from
// the head's start.
bool loop_exchange::parse(bool fresh) {
    connection& c = *c_;
    const std::size_t before = buffered();
    std::size_t off = 0;          // bytes done with, dropped at the end
    std::size_t pos = head_kept_; // where the parser goes on
    while (pos < c.in_len) {
        if (head_done_ && buffered() >= max_buffered) {
            paused_ = true;
            timing_ = false;
            break;
        }
        boost::beast::error_code ec;
        parser_->base_ = c.in.get() + off;
        parser_->end_ = c.in.get() + c.in_len;
        const std::size_t used =
            parser_->put(boost::asio::const_buffer(c.in.get() + pos, c.in_len - pos), ec);
        if (ec == http::error::need_more) {
            pos += used;
            if (head_done_) off = pos;
            break;
        }
        if (ec) {
            fail(error_invalid_server_response);
            return false;
        }
        pos += used;
        if (!head_done_ && parser_->is_header_done()) {
            if (status_ >= 100 && status_ < 200 && status_ != 101) {
                // An interim answer (100 Continue) is forgotten.
                off = pos;
                parser_ = std::make_unique<parser>(*this);
                status_ = 0;
                reason_.clear();
                spans_.clear();
                continue;
            }
            const std::size_t length = pos - off;
            // The request's head is done with once the answer has begun (it
            // is never sent again then): its room takes the answer's head.
            if (head_.capacity() < length && answer_started_) head_ = std::move(setup_.head);
            head_.assign(c.in.get() + off, length);
            if (parser_->folded_) spans_.clear();
            head_done_ = true;
            news();
        }
        if (head_done_) off = pos;
        if (parser_->is_done()) {
            c.in_len -= off;
            if (c.in_len) std::memmove(c.in.get(), c.in.get() + off, c.in_len);
            head_kept_ = 0;
            finish_ok(fresh);
            return false;
        }
        if (used == 0) break;
    }
    c.in_len -= off;
    if (c.in_len && off) std::memmove(c.in.get(), c.in.get() + off, c.in_len);
    head_kept_ = head_done_ ? 0 : pos - off;
    if (buffered() != before) news();
    return true;
}

void loop_exchange::resume() {
    if (resume_posted_) return;
    resume_posted_ = true;
    boost::asio::post(loop_, [x = hold()] {
        x->resume_posted_ = false;
        if (x->abandoned_ || x->finished_ || !x->c_) return;
        x->paused_ = false;
        x->stamp();
        if (x->c_->in_len > 0 && (!x->parse(false) || x->paused_)) {
            x->notify();
            return;
        }
        if (x->more_) {
            x->read_more();
        } else {
            x->refresh_deadline(x->setup_.receive_ms);
            watch(x->c_, false);
        }
        x->notify();
    });
}

std::size_t loop_exchange::take(void* buffer, std::size_t length) {
    const std::size_t got = std::min(length, buffered());
    std::memcpy(buffer, down_.data() + down_off_, got);
    down_off_ += got;
    if (down_off_ == down_.size()) {
        down_.clear();
        down_off_ = 0;
    }
    // Room again: reading goes on with the next turn of the loop.
    if (paused_ && buffered() < max_buffered && !finished_ && !abandoned_) resume();
    return got;
}

// A kept connection the server had closed meanwhile fails before any byte
// of the answer: the request goes once more, on a new connection.
bool loop_exchange::retry_on_new() {
    if (!c_ || !c_->reused || answer_started_ || retried_) return false;
    retried_ = true;
    head_kept_ = 0;
    c_->close();
    c_.reset();
    written_ = 0;
    if (const uint32_t e = open_new()) fail(e);
    return true;
}

void loop_exchange::finish_ok(bool fresh) {
    finished_ = true;
    timing_ = false;
    news();
    driver* d = driver_;
    driver_ = nullptr;
    if (d) d->remove(this);
    const bool reusable =
        setup_.keep_alive && d && c_ && c_->in_len == 0 && status_ != 101 && parser_->keep_alive();
    if (reusable) {
        d->keep(std::move(c_), fresh, now_);
    } else if (c_) {
        // Closed once the loop has done what else was ready (this answer
        // passed on among it), not at once: measured on loopback, that costs
        // about 3% less CPU per forwarded request with a new connection each.
        // Should the loop end first, the socket closes as the handler goes.
        c_->owner = nullptr;
        boost::asio::post(loop_, [c = std::move(c_)] { c->close(); });
    }
    c_.reset();
}

void loop_exchange::fail(uint32_t error) {
    finished_ = true;
    timing_ = false;
    error_ = error;
    news();
    if (driver_) driver_->remove(this);
    driver_ = nullptr;
    if (c_) {
        c_->close();
        c_.reset();
    }
}

void loop_exchange::notify() {
    if (!news_ || abandoned_ || !progress_) return;
    news_ = false;
    // May destroy the request, which abandons this exchange and parks its
    // hold here (let_go): let go of once nothing looks at the exchange.
    const bool outer = telling_;
    telling_ = true;
    progress_();
    telling_ = outer;
    if (!outer && parked_) {
        const std::shared_ptr<loop_exchange> last = std::move(parked_);
    }
}

} // namespace http_client
