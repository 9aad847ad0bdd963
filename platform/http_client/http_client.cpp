#include "platform/http_client/http_client.h"

#include "core/blocks.h"
#include "core/text.h"
#include "platform/http_client/loop_exchange.h"

#include <arpa/inet.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace http_client {

namespace {

// What one read of the response body may hold back before the transfer is
// paused: the client's memory stays bounded whatever the server sends.
constexpr std::size_t max_buffered_body = 1024 * 1024;
// The same for an exchange on an event loop, whose taker never waits: it
// takes what is there and comes back when its own output has room.
constexpr std::size_t max_loop_buffered_body = 64 * 1024;

uint32_t error_of(CURLcode c) {
    switch (c) {
    case CURLE_OK:
        return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
        return error_name_not_resolved;
    case CURLE_COULDNT_CONNECT:
        return error_cannot_connect;
    case CURLE_OPERATION_TIMEDOUT:
        return error_timeout;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
        return error_invalid_server_response;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return error_secure_failure;
    case CURLE_SSL_CONNECT_ERROR:
        return error_secure_channel_error;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return error_name_not_resolved;
    case CURLE_OUT_OF_MEMORY:
        return error_not_enough_memory;
    case CURLE_ABORTED_BY_CALLBACK:
        return error_operation_cancelled;
    default:
        return error_connection_error;
    }
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The library handle of one event loop and the sockets and timer it asks the
// loop to watch. Transfers report to it; it calls their owners back once the
// library call that moved them has returned.
struct loop_driver {
    explicit loop_driver(boost::asio::io_context& loop);
    ~loop_driver();
    loop_driver(const loop_driver&) = delete;
    loop_driver& operator=(const loop_driver&) = delete;

    // The calling thread's driver for loop (made on first use).
    static loop_driver& of(boost::asio::io_context& loop);

    struct watched {
        explicit watched(boost::asio::io_context& loop) : d(loop) {}
        boost::asio::posix::stream_descriptor d;
        int what = 0;
        bool reading = false;
        bool writing = false;
        bool gone = false;
    };

    CURL* take_easy();
    void give_back(CURL* easy);
    // A transfer has news for its owner.
    void mark(request::state* s);
    void forget(request::state* s);
    void act(curl_socket_t socket, int events);
    void notify();
    void arm(curl_socket_t socket, const std::shared_ptr<watched>& w);
    static int on_socket(CURL*, curl_socket_t socket, int what, void* p, void*);
    static int on_close_socket(void* p, curl_socket_t socket);
    // A new socket whose number the loop still knows: the one it knew was
    // closed behind the loop's back, and its registration goes.
    void drop_stale(curl_socket_t socket);
    static int on_timer(CURLM*, long timeout_ms, void* p);
    void set_timer(long timeout_ms);
    void on_due();

    boost::asio::io_context& loop_;
    CURLM* multi_ = nullptr;
    boost::asio::steady_timer timer_;
    std::chrono::steady_clock::time_point timer_at_{};
    bool timer_armed_ = false;
    bool due_posted_ = false;
    bool acting_ = false;
    std::unordered_map<curl_socket_t, std::shared_ptr<watched>> sockets_;
    std::vector<CURL*> spare_;
    std::unordered_set<request::state*> active_;
    std::vector<request::state*> dirty_;
    bool notifying_ = false;
    bool notify_posted_ = false;
    // Cleared when the driver goes: handlers still queued on the loop see it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// One multi handle and one easy handle kept per thread and handed to the
// thread's next request: making them anew costs more than a small exchange.
struct thread_handles {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    std::atomic<bool> busy{false};
    ~thread_handles() {
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
    }
};
thread_local thread_handles kept;

} // namespace

std::shared_ptr<session> session::open(std::string agent, uint32_t, uint32_t& error) {
    global_init();
    error = 0;
    return std::shared_ptr<session>(new session(std::move(agent)));
}

session::~session() = default;

void session::set_proxy(std::string proxy, std::string bypass) {
    proxy_ = std::move(proxy);
    // The library takes a comma-separated list; "<local>" has no
    // counterpart there and is dropped.
    std::string list;
    std::size_t i = 0;
    while (i < bypass.size()) {
        const std::size_t end = bypass.find_first_of(";, \t", i);
        const std::string item = bypass.substr(i, end == std::string::npos ? end : end - i);
        if (!item.empty() && item != "<local>") {
            if (!list.empty()) list += ',';
            list += item;
        }
        if (end == std::string::npos) break;
        i = end + 1;
    }
    bypass_ = std::move(list);
}

connection::connection(std::shared_ptr<session> s, std::string host, uint16_t port)
    : session_(std::move(s)), host_(std::move(host)), port_(port) {}

struct request::state : cl::request_sized {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* header_list = nullptr;
    std::string url;
    std::string host; // without brackets
    uint16_t port = 0;
    std::string target;
    std::string method;
    std::string referrer;
    std::string agent;
    std::string proxy;
    std::string no_proxy;
    // The caller's headers in order: their texts one after the other, and
    // each field as places in them (a replaced field leaves its text
    // behind). Inside the request's block for usual headers, so that a
    // request costs no allocation per header: a loop holds a few dozen
    // requests at once.
    struct field_at {
        uint32_t name, name_length, value, value_length;
    };
    boost::container::small_vector<char, 512> header_text;
    boost::container::small_vector<field_at, 16> headers;
    bool secure = false;

    std::string_view name_of(const field_at& f) const {
        return {header_text.data() + f.name, f.name_length};
    }
    std::string_view value_of(const field_at& f) const {
        return {header_text.data() + f.value, f.value_length};
    }
    // With replace a field of the same name goes first.
    void add_field(std::string_view name, std::string_view value, bool replace) {
        if (replace)
            headers.erase(std::remove_if(headers.begin(), headers.end(),
                                         [&](const field_at& f) {
                                             // Most names differ in length already.
                                             return f.name_length == name.size() &&
                                                    cl::iequals(name_of(f), name);
                                         }),
                          headers.end());
        const auto at = static_cast<uint32_t>(header_text.size());
        header_text.resize(at + name.size() + value.size(), boost::container::default_init);
        std::memcpy(header_text.data() + at, name.data(), name.size());
        std::memcpy(header_text.data() + at + name.size(), value.data(), value.size());
        headers.push_back({at, static_cast<uint32_t>(name.size()),
                           at + static_cast<uint32_t>(name.size()),
                           static_cast<uint32_t>(value.size())});
    }

    // Body out: bytes handed over by write_data and not yet taken.
    std::string up;
    std::size_t up_off = 0;
    bool up_end = false;
    bool has_body = false;

    // Response in.
    std::string head;
    uint32_t status = 0;
    std::string reason;
    bool head_done = false;
    std::string down;
    std::size_t down_off = 0;

    bool connected = false;
    bool sent = false;
    bool finished = false;
    CURLcode result = CURLE_OK;
    int paused = 0; // CURLPAUSE_SEND / CURLPAUSE_RECV as set by the callbacks

    thread_handles* lender = nullptr; // whose kept handles these are
    address_check check;
    bool refused = false;

    // Loop mode: the loop's driver and what to call on news.
    loop_driver* driver = nullptr;
    boost::asio::io_context* loop = nullptr;
    std::function<void()> progress;
    bool dirty = false;
    bool* destroyed = nullptr; // set while progress runs
    // Loop mode without the library: a plain request to a numeric address.
    std::shared_ptr<loop_exchange> native;

    ~state() {
        if (destroyed) *destroyed = true;
        if (native) loop_exchange::let_go(std::move(native));
        if (driver) {
            driver->forget(this);
            if (easy) {
                if (sent) curl_multi_remove_handle(multi, easy);
                driver->give_back(easy);
            }
        } else if (lender) {
            if (multi && easy) curl_multi_remove_handle(multi, easy);
            curl_easy_reset(easy);
            lender->busy.store(false);
        } else {
            if (multi && easy) curl_multi_remove_handle(multi, easy);
            if (easy) curl_easy_cleanup(easy);
            if (multi) curl_multi_cleanup(multi);
        }
        if (header_list) curl_slist_free_all(header_list);
    }

    void take_handles() {
        if (driver) {
            multi = driver->multi_;
            easy = driver->take_easy();
            return;
        }
        if (!kept.busy.load()) {
            if (!kept.multi) kept.multi = curl_multi_init();
            if (!kept.easy) kept.easy = curl_easy_init();
            if (kept.multi && kept.easy) {
                kept.busy.store(true);
                lender = &kept;
                multi = kept.multi;
                easy = kept.easy;
                return;
            }
        }
        easy = curl_easy_init();
        multi = curl_multi_init();
    }

    std::size_t buffered_down() const { return down.size() - down_off; }
    std::size_t buffer_limit() const { return driver ? max_loop_buffered_body : max_buffered_body; }

    // Lets the transfer go on in the directions that are no longer held.
    void resume(int wanted) {
        if (!easy || !(paused & ~wanted)) return;
        paused &= wanted;
        curl_easy_pause(easy, paused);
    }

    static std::size_t on_read(char* buffer, std::size_t size, std::size_t n, void* p) {
        state& s = *static_cast<state*>(p);
        const std::size_t room = size * n;
        const std::size_t left = s.up.size() - s.up_off;
        if (left > 0) {
            const std::size_t take = std::min(room, left);
            std::memcpy(buffer, s.up.data() + s.up_off, take);
            s.up_off += take;
            if (s.up_off == s.up.size()) {
                s.up.clear();
                s.up_off = 0;
            }
            return take;
        }
        if (s.up_end) return 0;
        s.paused |= CURLPAUSE_SEND;
        return CURL_READFUNC_PAUSE;
    }

    static std::size_t on_write(char* data, std::size_t size, std::size_t n, void* p) {
        state& s = *static_cast<state*>(p);
        const std::size_t length = size * n;
        if (s.buffered_down() >= s.buffer_limit()) {
            s.paused |= CURLPAUSE_RECV;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (s.down_off > 0 && s.down_off == s.down.size()) {
            s.down.clear();
            s.down_off = 0;
        }
        s.down.append(data, length);
        if (s.driver) s.driver->mark(&s);
        return length;
    }

    static std::size_t on_header(char* data, std::size_t size, std::size_t n, void* p) {
        state& s = *static_cast<state*>(p);
        const std::string_view line(data, size * n);
        if (line.rfind("HTTP/", 0) == 0) {
            // A new head: an interim answer (100 Continue) is forgotten.
            s.head.assign(line);
            s.status = 0;
            s.reason.clear();
            const std::size_t sp = line.find(' ');
            if (sp != std::string_view::npos) {
                std::size_t i = sp + 1;
                while (i < line.size() && line[i] >= '0' && line[i] <= '9' && s.status < 1000)
                    s.status = s.status * 10 + static_cast<uint32_t>(line[i++] - '0');
                if (i < line.size() && line[i] == ' ')
                    s.reason.assign(cl::trimmed(line.substr(i + 1)));
            }
            return line.size();
        }
        if (cl::trimmed(line).empty()) {
            if (s.status >= 200 || s.status == 101) {
                s.head += "\r\n";
                s.head_done = true;
                if (s.driver) s.driver->mark(&s);
            }
            return line.size();
        }
        if (!s.head_done) {
            s.head.append(cl::trimmed(line));
            s.head += "\r\n";
        }
        return line.size();
    }

    static curl_socket_t on_open_socket(void* p, curlsocktype, curl_sockaddr* a) {
        state& s = *static_cast<state*>(p);
        if (s.check && !s.check(&a->addr, a->addrlen)) {
            s.refused = true;
            return CURL_SOCKET_BAD;
        }
        const curl_socket_t fd = ::socket(a->family, a->socktype | SOCK_CLOEXEC, a->protocol);
        if (fd != CURL_SOCKET_BAD && s.driver) s.driver->drop_stale(fd);
        return fd;
    }

    // Before every request, on a new connection and on a kept one alike: a
    // kept connection was checked for the request that opened it, not for
    // this one, whose rules may differ.
    static int on_connected(void* p, char* ip, char*, int port, int) {
        state& s = *static_cast<state*>(p);
        if (s.check && !check_connected(s, ip, port)) {
            s.refused = true;
            return CURL_PREREQFUNC_ABORT;
        }
        s.connected = true;
        return CURL_PREREQFUNC_OK;
    }

    static bool check_connected(state& s, const char* ip, int port) {
        sockaddr_in6 a6{};
        sockaddr_in a4{};
        if (ip && ::inet_pton(AF_INET, ip, &a4.sin_addr) == 1) {
            a4.sin_family = AF_INET;
            a4.sin_port = htons(static_cast<uint16_t>(port));
            return s.check(reinterpret_cast<const sockaddr*>(&a4), sizeof a4);
        }
        if (ip && ::inet_pton(AF_INET6, ip, &a6.sin6_addr) == 1) {
            a6.sin6_family = AF_INET6;
            a6.sin6_port = htons(static_cast<uint16_t>(port));
            return s.check(reinterpret_cast<const sockaddr*>(&a6), sizeof a6);
        }
        return false;
    }
};

namespace {

loop_driver::loop_driver(boost::asio::io_context& loop) : loop_(loop), timer_(loop) {
    global_init();
    multi_ = curl_multi_init();
    if (!multi_) return;
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &loop_driver::on_socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &loop_driver::on_timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

loop_driver::~loop_driver() {
    *alive_ = false;
    // Transfers still running when the loop's thread ends are ended for
    // their owners, who let go of them.
    std::vector<request::state*> left(active_.begin(), active_.end());
    for (request::state* s : left) {
        if (!active_.count(s)) continue;
        if (!s->finished) {
            s->finished = true;
            s->result = CURLE_ABORTED_BY_CALLBACK;
        }
        mark(s);
    }
    notify();
    for (request::state* s : std::vector<request::state*>(active_.begin(), active_.end())) {
        if (s->easy && s->sent) curl_multi_remove_handle(multi_, s->easy);
        s->sent = false;
        s->driver = nullptr;
        s->multi = nullptr;
    }
    active_.clear();
    timer_.cancel();
    if (multi_) curl_multi_cleanup(multi_);
    for (auto& [socket, w] : sockets_) {
        w->gone = true;
        boost::system::error_code ec;
        w->d.cancel(ec);
        w->d.release();
    }
    for (CURL* e : spare_)
        curl_easy_cleanup(e);
}

loop_driver& loop_driver::of(boost::asio::io_context& loop) {
    // A thread runs one loop; a second loop on the same thread (a test's)
    // replaces the first once that one has no transfer left.
    thread_local std::unique_ptr<loop_driver> mine;
    if (!mine || (&mine->loop_ != &loop && mine->active_.empty()))
        mine = std::make_unique<loop_driver>(loop);
    return *mine;
}

CURL* loop_driver::take_easy() {
    if (spare_.empty()) return curl_easy_init();
    CURL* e = spare_.back();
    spare_.pop_back();
    return e;
}

void loop_driver::give_back(CURL* easy) {
    if (spare_.size() >= 256) {
        curl_easy_cleanup(easy);
        return;
    }
    curl_easy_reset(easy);
    spare_.push_back(easy);
}

void loop_driver::mark(request::state* s) {
    if (!s->dirty) {
        s->dirty = true;
        dirty_.push_back(s);
    }
    if (notifying_ || acting_ || notify_posted_) return;
    notify_posted_ = true;
    boost::asio::post(loop_, [this, alive = alive_] {
        if (!*alive) return;
        notify_posted_ = false;
        notify();
    });
}

void loop_driver::forget(request::state* s) {
    active_.erase(s);
    if (s->dirty) dirty_.erase(std::find(dirty_.begin(), dirty_.end(), s));
    s->dirty = false;
}

void loop_driver::notify() {
    if (notifying_) return;
    notifying_ = true;
    while (!dirty_.empty()) {
        request::state* s = dirty_.front();
        dirty_.erase(dirty_.begin());
        s->dirty = false;
        if (!s->progress) continue;
        // The owner may destroy the request from its progress call.
        bool destroyed = false;
        s->destroyed = &destroyed;
        std::function<void()> f = std::move(s->progress);
        try {
            f();
        } catch (...) {
        }
        if (!destroyed) {
            s->destroyed = nullptr;
            s->progress = std::move(f);
        }
    }
    notifying_ = false;
}

void loop_driver::act(curl_socket_t socket, int events) {
    int running = 0;
    // News that arrives during the call is passed on right after it.
    acting_ = true;
    curl_multi_socket_action(multi_, socket, events, &running);
    acting_ = false;
    int queued = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_, &queued)) {
        if (m->msg != CURLMSG_DONE) continue;
        request::state* s = nullptr;
        curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &s);
        if (!s || !active_.count(s)) continue;
        s->finished = true;
        s->result = m->data.result;
        mark(s);
    }
    notify();
}

void loop_driver::arm(curl_socket_t socket, const std::shared_ptr<watched>& w) {
    using d = boost::asio::posix::stream_descriptor;
    const auto fire = [this, socket, w, alive = alive_](bool in) {
        return [this, socket, w, alive, in](const boost::system::error_code& ec) {
            (in ? w->reading : w->writing) = false;
            if (ec || w->gone || !*alive) return;
            act(socket, in ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
            if (!w->gone && *alive) arm(socket, w);
        };
    };
    if ((w->what & CURL_POLL_IN) && !w->reading) {
        w->reading = true;
        w->d.async_wait(d::wait_read, fire(true));
    }
    if ((w->what & CURL_POLL_OUT) && !w->writing) {
        w->writing = true;
        w->d.async_wait(d::wait_write, fire(false));
    }
}

int loop_driver::on_socket(CURL*, curl_socket_t socket, int what, void* p, void*) {
    loop_driver& self = *static_cast<loop_driver*>(p);
    auto it = self.sockets_.find(socket);
    if (what == CURL_POLL_REMOVE) {
        // A connection kept for the next transfer stays known to the loop
        // until the library closes it (on_close_socket): a transfer on a
        // kept connection costs no new registration. A wait still pending
        // meets no transfer and ends there.
        if (it != self.sockets_.end()) it->second->what = 0;
        return 0;
    }
    if (it == self.sockets_.end()) {
        auto w = std::make_shared<watched>(self.loop_);
        boost::system::error_code ec;
        w->d.assign(socket, ec);
        if (ec) return -1;
        it = self.sockets_.emplace(socket, std::move(w)).first;
    }
    it->second->what = what;
    self.arm(socket, it->second);
    return 0;
}

// Every socket of the loop's connections is closed here, so the loop lets go
// of it before its number can be given to another.
int loop_driver::on_close_socket(void* p, curl_socket_t socket) {
    loop_driver& self = *static_cast<loop_driver*>(p);
    auto it = self.sockets_.find(socket);
    if (it == self.sockets_.end()) return ::close(socket);
    it->second->gone = true;
    boost::system::error_code ec;
    it->second->d.close(ec);
    self.sockets_.erase(it);
    return ec ? -1 : 0;
}

void loop_driver::drop_stale(curl_socket_t socket) {
    auto it = sockets_.find(socket);
    if (it == sockets_.end()) return;
    it->second->gone = true;
    it->second->d.release();
    sockets_.erase(it);
}

int loop_driver::on_timer(CURLM*, long timeout_ms, void* p) {
    static_cast<loop_driver*>(p)->set_timer(timeout_ms);
    return 0;
}

// The loop's timer only ever moves earlier: a later deadline waits for the
// earlier one, after which the library's next deadline is asked for. So a
// transfer does not reset the loop's timer at each step; a wait the library
// no longer needs ends in a call that finds nothing due.
void loop_driver::set_timer(long timeout_ms) {
    if (timeout_ms < 0) return;
    if (timeout_ms == 0) {
        if (due_posted_) return;
        due_posted_ = true;
        boost::asio::post(loop_, [this, alive = alive_] {
            if (!*alive) return;
            due_posted_ = false;
            on_due();
        });
        return;
    }
    const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (timer_armed_ && at >= timer_at_) return;
    timer_armed_ = true;
    timer_at_ = at;
    timer_.expires_at(at);
    timer_.async_wait([this, alive = alive_](const boost::system::error_code& ec) {
        if (ec || !*alive) return;
        timer_armed_ = false;
        on_due();
    });
}

void loop_driver::on_due() {
    act(CURL_SOCKET_TIMEOUT, 0);
    long next = -1;
    if (curl_multi_timeout(multi_, &next) == CURLM_OK) set_timer(next);
}

// The address of a host given as a numeric address (no name to resolve).
// The answer for the last host is kept per thread: a loop sends request
// after request to the same upstream.
bool numeric_address(const std::string& host, uint16_t port, ip_address& a, socklen_t& length) {
    struct last_host {
        std::string host;
        ip_address address{};
        socklen_t length = 0; // 0: no numeric address
    };
    thread_local last_host last;
    if (last.host.empty() || last.host != host) {
        last.host = host;
        last.address = {};
        last.length = 0;
        sockaddr_in& a4 = last.address.v4;
        sockaddr_in6& a6 = last.address.v6;
        if (::inet_pton(AF_INET, host.c_str(), &a4.sin_addr) == 1) {
            a4.sin_family = AF_INET;
            last.length = sizeof a4;
        } else if (::inet_pton(AF_INET6, host.c_str(), &a6.sin6_addr) == 1) {
            a6.sin6_family = AF_INET6;
            last.length = sizeof a6;
        }
    }
    if (last.length == 0) return false;
    a = last.address;
    length = last.length;
    if (a.any.sa_family == AF_INET)
        a.v4.sin_port = htons(port);
    else
        a.v6.sin6_port = htons(port);
    return true;
}

} // namespace

// The request head, built once: the request line, Host, User-Agent and
// Referer unless the caller gave its own, the caller's lines in order (an
// empty value sends nothing), and the connection's fate. Written into room
// sized for the longest head the parts can make, then cut to what was
// written.
static std::string loop_head(const request::state& s, bool keep_alive) {
    bool has_host = false;
    bool has_agent = false;
    // The fixed texts and a port take less than the slack.
    std::size_t size =
        s.method.size() + s.target.size() + s.host.size() + s.agent.size() + s.referrer.size() + 96;
    for (const auto& f : s.headers) {
        const std::string_view name = s.name_of(f);
        size += name.size() + f.value_length + 4;
        has_host = has_host || (name.size() == 4 && cl::iequals(name, "Host"));
        has_agent = has_agent || (name.size() == 10 && cl::iequals(name, "User-Agent"));
    }
    std::string h = take_text(text_use::head);
    h.resize(size);
    char* p = h.data();
    const auto put = [&p](std::string_view t) {
        std::memcpy(p, t.data(), t.size());
        p += t.size();
    };
    put(s.method);
    put(" ");
    put(s.target);
    put(" HTTP/1.1\r\n");
    if (!has_host) {
        const bool v6 = s.host.find(':') != std::string::npos;
        put("Host: ");
        if (v6) put("[");
        put(s.host);
        if (v6) put("]");
        if (s.port != 80) {
            put(":");
            put(std::to_string(s.port));
        }
        put("\r\n");
    }
    const auto line = [&put](std::string_view name, std::string_view value) {
        if (value.empty()) return;
        put(name);
        put(": ");
        put(value);
        put("\r\n");
    };
    if (!has_agent) line("User-Agent", s.agent);
    line("Referer", s.referrer);
    for (const auto& f : s.headers)
        line(s.name_of(f), s.value_of(f));
    if (!keep_alive) put("Connection: close\r\n");
    put("\r\n");
    h.resize(static_cast<std::size_t>(p - h.data()));
    return h;
}

request::request(const connection& c, std::string_view method, std::string_view target,
                 std::string_view referrer, std::vector<std::string> accept_types, uint32_t flags)
    // Default-initialised: every member sets its own start, and zeroing the
    // whole state first (the header room with it) would be paid per request.
    : s_(new state), timeouts_(c.owner() ? c.owner()->get_timeouts() : timeouts()) {
    s_->secure = (flags & flag_secure) != 0;
    s_->host = c.host();
    if (s_->host.size() > 1 && s_->host.front() == '[' && s_->host.back() == ']')
        s_->host = s_->host.substr(1, s_->host.size() - 2);
    s_->port = c.port();
    s_->method.assign(method);
    s_->target.assign(target.empty() ? std::string_view("/") : target);
    s_->referrer.assign(referrer);
    if (const session* owner = c.owner().get()) {
        s_->agent = owner->agent();
        // The bypass list means nothing without a proxy.
        if (!owner->proxy().empty()) {
            s_->proxy = owner->proxy();
            s_->no_proxy = owner->proxy_bypass();
        }
    }
    std::string accept;
    for (const std::string& t : accept_types) {
        if (t.empty()) continue;
        if (!accept.empty()) accept += ", ";
        accept += t;
    }
    // Without Accept types none is sent (the library would add its own).
    s_->add_field("Accept", accept, false);
}

request::~request() {
    // The head came from the thread's spare texts in loop mode: its room
    // serves the next exchange.
    if (s_->native) give_text(std::move(raw_headers_), text_use::head);
}

void request::set_address_check(address_check check) {
    s_->check = std::move(check);
}

bool request::address_refused() const {
    return s_->refused || (s_->native && s_->native->refused());
}

uint32_t request::add_headers(std::string_view lines, uint32_t flags) {
    if (s_->sent) return error_incorrect_handle_state;
    // Nothing is taken from a block with a bad line: the lines are read and
    // checked first (on the stack for a usual block), then added.
    boost::container::small_vector<std::pair<std::string_view, std::string_view>, 24> read;
    const auto each = [lines, &read] {
        std::size_t pos = 0;
        while (pos < lines.size()) {
            std::size_t end = cl::find_crlf(lines, pos);
            if (end == std::string_view::npos) end = lines.size();
            const std::string_view line = lines.substr(pos, end - pos);
            pos = end + 2;
            if (line.empty()) continue;
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) return false;
            const std::string_view name = cl::trimmed(line.substr(0, colon));
            const std::string_view value = cl::trimmed(line.substr(colon + 1));
            if (name.empty()) return false;
            if (!cl::is_field_name(name))
                for (const char c : name)
                    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
            if (cl::has_control(value))
                for (const char c : value)
                    if (c == '\r' || c == '\n') return false;
            read.emplace_back(name, value);
        }
        return true;
    };
    if (!each()) return error_invalid_parameter;
    for (const auto& [name, value] : read)
        s_->add_field(name, value, (flags & add_headers_replace) != 0);
    return 0;
}

uint32_t request::add_checked_fields(std::span<const field> fields, uint32_t flags) {
    if (s_->sent) return error_incorrect_handle_state;
    for (const auto& [name, value] : fields)
        s_->add_field(name, cl::trimmed(value), (flags & add_headers_replace) != 0);
    return 0;
}

std::string request::primary_ip() const {
    if (s_->native) return s_->native->peer_text();
    char* ip = nullptr;
    if (!s_->easy || !s_->sent ||
        curl_easy_getinfo(s_->easy, CURLINFO_PRIMARY_IP, &ip) != CURLE_OK || !ip)
        return {};
    return ip;
}

std::string request::certificate_subject() const {
    curl_certinfo* info = nullptr;
    if (!s_->easy || !s_->sent || !s_->secure ||
        curl_easy_getinfo(s_->easy, CURLINFO_CERTINFO, &info) != CURLE_OK || !info ||
        info->num_of_certs < 1)
        return {};
    // The first certificate of the chain is the server's own.
    for (curl_slist* f = info->certinfo[0]; f; f = f->next) {
        std::string_view line = f->data;
        if (line.substr(0, 8) == "Subject:") return std::string(cl::trimmed(line.substr(8)));
    }
    return {};
}

uint32_t request::failure() const {
    const uint32_t e = error_of(s_->result);
    return e ? e : error_connection_error;
}

uint32_t request::pump_until(bool (*done)(const state&), uint32_t timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    state& s = *s_;
    for (;;) {
        int running = 0;
        const CURLMcode mc = curl_multi_perform(s.multi, &running);
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(s.multi, &queued)) {
            if (m->msg == CURLMSG_DONE) {
                s.finished = true;
                s.result = m->data.result;
            }
        }
        if (done(s)) return 0;
        if (s.finished) return s.result == CURLE_OK ? 0 : failure();
        if (mc != CURLM_OK) return error_internal_error;
        int wait_ms = 1000;
        if (timeout_ms != 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now())
                    .count();
            if (left <= 0) return error_timeout;
            wait_ms = static_cast<int>(std::min<long long>(left, wait_ms));
        }
        curl_multi_poll(s.multi, nullptr, 0, wait_ms, nullptr);
    }
}

uint32_t request::send(std::string_view extra_headers, uint64_t total_length) {
    state& s = *s_;
    if (s.sent) return error_incorrect_handle_state;
    if (!extra_headers.empty()) {
        if (const uint32_t e = add_headers(extra_headers, add_headers_add | add_headers_replace))
            return e;
    }
    if (s.loop && !s.secure && s.proxy.empty() && total_length == 0) {
        loop_exchange_setup setup;
        if (numeric_address(s.host, s.port, setup.address, setup.length)) {
            setup.head = loop_head(s, keep_alive_);
            setup.keep_alive = keep_alive_;
            setup.head_only = std::string_view(s.method) == "HEAD";
            setup.connect_ms = timeouts_.connect_ms;
            setup.receive_ms = timeouts_.receive_ms;
            setup.check = &s.check;
            s.sent = true;
            return loop_exchange::start(*s.loop, std::move(setup), std::move(s.progress), s.native);
        }
    }
    if (s.loop) s.driver = &loop_driver::of(*s.loop);
    s.take_handles();
    if (!s.easy || !s.multi) return error_not_enough_memory;
    CURL* e = s.easy;
    {
        std::string host = s.host;
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        s.url = std::string(s.secure ? "https://" : "http://") + host + ":" +
                std::to_string(s.port) + "/";
    }
    curl_easy_setopt(e, CURLOPT_URL, s.url.c_str());
    // Through a proxy a plain request names the whole URL; a secure one goes
    // through a tunnel and names only the path.
    if (!s.proxy.empty() && !s.secure) {
        std::string absolute = s.url;
        absolute.pop_back();
        absolute += s.target;
        s.target = std::move(absolute);
    }
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, s.target.c_str());
    curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_PROXY, s.proxy.c_str());
    if (!s.proxy.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, s.no_proxy.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts_.connect_ms));
    if (s.check || s.driver) {
        curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &state::on_open_socket);
        curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &s);
    }
    if (s.driver) {
        // The connection keeps these for its whole life, past this request.
        curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &loop_driver::on_close_socket);
        curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, s.driver);
    }
    // A request head goes out in one write: Nagle's wait never applies,
    // and the option costs a system call per connection.
    if (s.driver) curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 0L);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &state::on_connected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &s);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &state::on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &state::on_write);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &s);
    if (!keep_alive_) curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    if (!s.referrer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, s.referrer.c_str());
    if (!s.agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, s.agent.c_str());
    if (s.secure) {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (want_certificate_) {
            curl_easy_setopt(e, CURLOPT_CERTINFO, 1L);
            curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        }
        if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca)
            curl_easy_setopt(e, CURLOPT_CAINFO, ca);
    }

    s.has_body = total_length != 0;
    if (s.method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (s.has_body) {
        curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &state::on_read);
        curl_easy_setopt(e, CURLOPT_READDATA, &s);
        if (total_length != length_unknown)
            curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(total_length));
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, s.method.c_str());
    } else if (s.method != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, s.method.c_str());
    }

    // The header list: what the caller gave, in order; an empty value
    // removes the library's own header of that name. The library never waits
    // for "100 Continue" on its own.
    bool has_expect = false;
    for (const auto& f : s.headers) {
        const std::string_view name = s.name_of(f);
        const std::string_view value = s.value_of(f);
        if (cl::iequals(name, "Expect")) has_expect = true;
        std::string line(name);
        line += value.empty() ? ":" : ": ";
        line += value;
        s.header_list = curl_slist_append(s.header_list, line.c_str());
    }
    if (!has_expect) s.header_list = curl_slist_append(s.header_list, "Expect:");
    if (!keep_alive_) s.header_list = curl_slist_append(s.header_list, "Connection: close");
    if (!s.header_list) return error_not_enough_memory;
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.header_list);

    if (s.driver) {
        // No wait on the loop: a server that stops sending is cut off after
        // the receive time-out without a byte (a paused transfer is not).
        if (timeouts_.receive_ms) {
            curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                             static_cast<long>(std::max<uint32_t>(1, timeouts_.receive_ms / 1000)));
        }
        curl_easy_setopt(e, CURLOPT_PRIVATE, &s);
        if (curl_multi_add_handle(s.multi, e) != CURLM_OK) return error_internal_error;
        s.sent = true;
        s.driver->active_.insert(&s);
        return 0;
    }
    if (curl_multi_add_handle(s.multi, e) != CURLM_OK) return error_internal_error;
    s.sent = true;
    // Sent once the connection stands: the head goes out with the next turn.
    const uint32_t rc = pump_until([](const state& st) { return st.connected || st.head_done; },
                                   timeouts_.connect_ms ? timeouts_.connect_ms + 1000 : 0);
    if (rc == 0 && !s.connected && !s.head_done && s.finished) return failure();
    return rc;
}

uint32_t request::write_data(const void* data, std::size_t length, std::size_t& written) {
    written = 0;
    state& s = *s_;
    if (!s.sent || !s.has_body || s.up_end) return error_incorrect_handle_state;
    if (s.finished) return s.result == CURLE_OK ? error_connection_error : failure();
    s.up.append(static_cast<const char*>(data), length);
    s.resume(s.paused & CURLPAUSE_RECV);
    const uint32_t rc =
        pump_until([](const state& st) { return st.up.empty(); }, timeouts_.send_ms);
    if (rc != 0) return rc;
    if (!s.up.empty()) return s.result == CURLE_OK ? error_connection_error : failure();
    written = length;
    return 0;
}

uint32_t request::receive_response() {
    state& s = *s_;
    if (!s.sent) return error_incorrect_handle_state;
    if (s.native) {
        loop_exchange& x = *s.native;
        if (!x.head_done())
            return !x.finished() ? error_incorrect_handle_state
                   : x.error()   ? x.error()
                                 : error_invalid_server_response;
        // Taken, not copied; a second call keeps what the first took.
        status_ = x.status();
        reason_ = x.reason();
        const loop_exchange::field_spans& spans = x.spans();
        // The parser's places are trusted only when each lies inside the
        // head that is taken: a field never reads a byte beside it.
        const std::size_t size = x.head().size();
        const bool placed =
            !spans.empty() && std::all_of(spans.begin(), spans.end(), [size](const auto& f) {
                return std::size_t(f.name) + f.name_length <= size &&
                       std::size_t(f.value) + f.value_length <= size;
            });
        if (!placed) {
            if (!x.head().empty()) raw_headers_ = x.take_head();
            split_fields();
            return 0;
        }
        raw_headers_ = x.take_head();
        // The parser has found the fields already, and checked them.
        fields_checked_ = true;
        fields_.clear();
        numbers_.clear();
        fields_.reserve(spans.size());
        numbers_.reserve(spans.size());
        const char* h = raw_headers_.data();
        for (const auto& f : spans) {
            fields_.emplace_back(std::string_view(h + f.name, f.name_length),
                                 std::string_view(h + f.value, f.value_length));
            numbers_.push_back(f.known);
        }
        return 0;
    }
    if (s.driver) {
        if (!s.head_done)
            return s.finished ? (s.result == CURLE_OK ? error_invalid_server_response : failure())
                              : error_incorrect_handle_state;
        raw_headers_ = s.head;
        status_ = s.status;
        reason_ = s.reason;
        split_fields();
        return 0;
    }
    s.up_end = true;
    s.resume(s.paused & CURLPAUSE_RECV);
    uint32_t rc = pump_until([](const state& st) { return st.head_done; }, timeouts_.receive_ms);
    if (rc == 0 && !s.head_done)
        rc = s.finished && s.result != CURLE_OK ? failure() : error_invalid_server_response;
    if (rc != 0) return rc;
    raw_headers_ = s.head;
    status_ = s.status;
    reason_ = s.reason;
    split_fields();
    return 0;
}

void request::split_fields() {
    fields_checked_ = false;
    fields_.clear();
    numbers_.clear();
    // A line that begins with a space or a tab goes on with the field before
    // it (obsolete line folding): each fold becomes spaces, so the value
    // arrives whole rather than cut at the fold.
    for (std::size_t i = cl::find_crlf(raw_headers_);
         i != std::string::npos && i + 2 < raw_headers_.size();
         i = cl::find_crlf(raw_headers_, i + 2))
        if (raw_headers_[i + 2] == ' ' || raw_headers_[i + 2] == '\t')
            raw_headers_[i] = raw_headers_[i + 1] = ' ';
    std::string_view h(raw_headers_);
    fields_.reserve(static_cast<std::size_t>(std::count(h.begin(), h.end(), '\n')));
    std::size_t pos = cl::find_crlf(h);
    while (pos != std::string_view::npos && pos + 2 < h.size()) {
        pos += 2;
        std::size_t end = cl::find_crlf(h, pos);
        if (end == std::string_view::npos) end = h.size();
        const std::string_view line = h.substr(pos, end - pos);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0)
            fields_.emplace_back(cl::trimmed(line.substr(0, colon)),
                                 cl::trimmed(line.substr(colon + 1)));
        pos = end;
    }
}

std::vector<std::pair<std::string, std::string>> request::header_list() const {
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(fields_.size());
    for (const auto& [name, value] : fields_)
        out.emplace_back(name, value);
    return out;
}

uint32_t request::query_data_available(std::size_t& available) {
    available = 0;
    state& s = *s_;
    if (!s.head_done || s.native) return error_incorrect_handle_state;
    if (s.buffered_down() == 0) {
        s.resume(s.paused & CURLPAUSE_SEND);
        const uint32_t rc = pump_until([](const state& st) { return st.buffered_down() > 0; },
                                       timeouts_.receive_ms);
        if (rc != 0) return rc;
    }
    available = s.buffered_down();
    return 0;
}

uint32_t request::read_data(void* buffer, std::size_t length, std::size_t& got) {
    got = 0;
    std::size_t available = 0;
    if (const uint32_t rc = query_data_available(available)) return rc;
    state& s = *s_;
    got = std::min(length, available);
    std::memcpy(buffer, s.down.data() + s.down_off, got);
    s.down_off += got;
    if (s.down_off == s.down.size()) {
        s.down.clear();
        s.down_off = 0;
    }
    // Room again: let the transfer go on.
    if (s.buffered_down() < max_buffered_body) s.resume(s.paused & CURLPAUSE_SEND);
    return 0;
}

bool request::complete() const {
    if (s_->native)
        return s_->native->finished() && !s_->native->error() && s_->native->buffered() == 0;
    return s_->finished && s_->result == CURLE_OK && s_->buffered_down() == 0;
}

void request::drive_on_loop(boost::asio::io_context& loop, std::function<void()> progress) {
    s_->loop = &loop;
    s_->progress = std::move(progress);
}

bool request::head_arrived() const {
    return s_->native ? s_->native->head_done() : s_->head_done;
}

bool request::ended() const {
    return s_->native ? s_->native->finished() : s_->finished;
}

uint32_t request::end_error() const {
    if (s_->native) return s_->native->finished() ? s_->native->error() : 0;
    if (!s_->finished || s_->result == CURLE_OK) return 0;
    return failure();
}

std::size_t request::take_data(void* buffer, std::size_t length) {
    state& s = *s_;
    if (s.native) return s.native->take(buffer, length);
    const std::size_t got = std::min(length, s.buffered_down());
    std::memcpy(buffer, s.down.data() + s.down_off, got);
    s.down_off += got;
    if (s.down_off == s.down.size()) {
        s.down.clear();
        s.down_off = 0;
    }
    // Room again: the library may hand over what it holds at once, which
    // reaches the owner as news.
    if (s.buffered_down() < s.buffer_limit() && (s.paused & CURLPAUSE_RECV)) {
        s.resume(s.paused & CURLPAUSE_SEND);
        if (s.driver && s.buffered_down() > 0) s.driver->mark(&s);
    }
    return got;
}

} // namespace http_client
