// The HTTP client against a scripted server on loopback: what goes on the
// wire, bodies in both directions, and every way a server can fail.
#include "platform/http_client/http_client.h"
#include "tests/common/loopback.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <cstring>
#include <functional>
#include <poll.h>
#include <thread>

namespace {

// A listening socket on loopback and the thread that serves it; each
// server below ends its thread in its own destructor, while its members
// still stand.
class loopback_listener {
  public:
    uint16_t port() const { return port_; }

  protected:
    loopback_listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 4);
    }
    ~loopback_listener() { ::close(fd_); }
    void finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Reads more bytes into in; false at the end or on stop.
    bool more(int c, std::string& in) {
        for (int i = 0; i < 1000 && !stop_; ++i) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[65536];
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) return false;
            in.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        return false;
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// Accepts one connection, reads one request (head and body, chunked or by
// length), then answers with the given bytes; with hang it answers nothing
// and holds the connection until the test ends.
class scripted_server : public loopback_listener {
  public:
    explicit scripted_server(std::string answer, bool hang = false)
        : answer_(std::move(answer)), hang_(hang) {
        thread_ = std::thread([this] { serve(); });
    }
    ~scripted_server() { finish(); }
    std::string head() {
        thread_done_wait();
        return head_;
    }
    std::string body() {
        thread_done_wait();
        return body_;
    }

  private:
    void thread_done_wait() {
        for (int i = 0; i < 1000 && !served_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void serve() {
        int c = -1;
        for (int i = 0; i < 1000 && !stop_ && c < 0; ++i) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) c = ::accept(fd_, nullptr, nullptr);
        }
        if (c < 0) return;
        std::string in;
        while (in.find("\r\n\r\n") == std::string::npos && more(c, in)) {
        }
        const std::size_t end = in.find("\r\n\r\n");
        head_ = in.substr(0, end == std::string::npos ? in.size() : end + 4);
        std::string rest = end == std::string::npos ? std::string() : in.substr(end + 4);
        std::string lower = head_;
        for (char& ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const std::size_t cl = lower.find("\r\ncontent-length:");
        if (lower.find("transfer-encoding: chunked") != std::string::npos) {
            for (;;) {
                std::size_t eol;
                while ((eol = rest.find("\r\n")) == std::string::npos && more(c, rest)) {
                }
                if (eol == std::string::npos) break;
                const std::size_t n = std::stoul(rest.substr(0, eol), nullptr, 16);
                while (rest.size() < eol + 2 + n + 2 && more(c, rest)) {
                }
                if (n == 0) break;
                body_ += rest.substr(eol + 2, n);
                rest.erase(0, eol + 2 + n + 2);
            }
        } else if (cl != std::string::npos) {
            const std::size_t n = std::stoul(head_.substr(cl + 17));
            while (rest.size() < n && more(c, rest)) {
            }
            body_ = rest;
        }
        served_ = true;
        if (!hang_) (void)::send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        while (hang_ && !stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(c);
    }

    std::string answer_;
    bool hang_;
    std::atomic<bool> served_{false};
    std::string head_, body_;
};

std::shared_ptr<http_client::session> new_session() {
    uint32_t err = 1;
    auto s = http_client::session::open("teskqvel", http_client::access_type_no_proxy, err);
    EXPECT_EQ(err, 0u);
    http_client::timeouts t;
    t.connect_ms = 5000;
    t.send_ms = 5000;
    t.receive_ms = 700;
    s->set_timeouts(t);
    return s;
}

// Reads the whole body; the error of the read that failed, 0 at a clean end.
uint32_t read_all(http_client::request& r, std::string& out) {
    char buf[3000];
    for (int i = 0; i < 100000; ++i) {
        std::size_t got = 0;
        if (const uint32_t e = r.read_data(buf, sizeof buf, got)) return e;
        if (got == 0) return 0;
        out.append(buf, got);
    }
    return 1;
}

TEST(http_client, get_sends_target_and_headers_as_given_and_follows_nothing) {
    scripted_server server(
        "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Encoding: gzip\r\n"
        "X-Odd: a%0d%0aInjected: no\r\nContent-Length: 4\r\n\r\n\x1f\x8b"
        "AB");
    http_client::connection c(new_session(), "127.0.0.1", server.port());
    http_client::request r(c, "GET", "/a/../b%2F/c?x=%41&y", "http://ref/", {"text/html", "*/*"},
                           http_client::flag_escape_disable_query);
    ASSERT_EQ(r.add_headers("Host: upstream.test:81\r\nX-One: 1\r\n",
                            http_client::add_headers_add | http_client::add_headers_replace),
              0u);
    // A block with a bad line gives nothing, not even its good lines.
    EXPECT_EQ(r.add_headers("X-Two: 2\r\nBad: a\nb", http_client::add_headers_add),
              http_client::error_invalid_parameter);
    const http_client::request::field checked[] = {{"X-Three", " 3\t"}};
    ASSERT_EQ(r.add_checked_fields(checked, http_client::add_headers_add), 0u);
    ASSERT_EQ(r.send("", 0), 0u);
    ASSERT_EQ(r.receive_response(), 0u);
    EXPECT_EQ(r.status_code(), 302u);
    std::string body;
    ASSERT_EQ(read_all(r, body), 0u);
    EXPECT_EQ(body, "\x1f\x8b"
                    "AB"); // not decoded
    EXPECT_TRUE(r.complete());
    const auto list = r.header_list();
    bool odd = false;
    for (const auto& [n, v] : list)
        if (n == "X-Odd") odd = v == "a%0d%0aInjected: no";
    EXPECT_TRUE(odd);
    ASSERT_EQ(r.header_fields().size(), list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(r.header_fields()[i].first, list[i].first);
        EXPECT_EQ(r.header_fields()[i].second, list[i].second);
    }
    EXPECT_EQ(r.raw_headers().rfind("HTTP/1.1 302 Found\r\n", 0), 0u);

    const std::string head = server.head();
    EXPECT_EQ(head.rfind("GET /a/../b%2F/c?x=%41&y HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nHost: upstream.test:81\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-One: 1\r\n"), std::string::npos);
    EXPECT_NE(head.find("\r\nX-Three: 3\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nAccept: text/html, */*\r\n"), std::string::npos);
    EXPECT_NE(head.find("\r\nReferer: http://ref/\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Bad:"), std::string::npos);
    EXPECT_EQ(head.find("X-Two:"), std::string::npos);
    EXPECT_EQ(head.find("Expect:"), std::string::npos);
}

TEST(http_client, bodies_of_unknown_and_known_length_arrive_whole) {
    std::string big(200 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    for (const bool known : {false, true}) {
        scripted_server server("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok");
        http_client::connection c(new_session(), "127.0.0.1", server.port());
        http_client::request r(c, "POST", "/in", "", {}, 0);
        ASSERT_EQ(r.send("", known ? big.size() : http_client::length_unknown), 0u);
        for (std::size_t off = 0; off < big.size(); off += 4096) {
            std::size_t written = 0;
            const std::size_t n = std::min<std::size_t>(4096, big.size() - off);
            ASSERT_EQ(r.write_data(big.data() + off, n, written), 0u);
            EXPECT_EQ(written, n);
        }
        ASSERT_EQ(r.receive_response(), 0u);
        EXPECT_EQ(r.status_code(), 201u);
        std::string body;
        EXPECT_EQ(read_all(r, body), 0u);
        EXPECT_EQ(body, "ok");
        EXPECT_EQ(server.body().size(), big.size());
        EXPECT_TRUE(server.body() == big) << "known length " << known;
        const std::string head = server.head();
        EXPECT_EQ(head.find("Transfer-Encoding: chunked") != std::string::npos, !known) << head;
    }
}

TEST(http_client, failures_are_told_apart) {
    // No Content-Length: the body ends with the connection, cleanly.
    {
        std::string body(100000, 'z');
        scripted_server server("HTTP/1.0 200 OK\r\n\r\n" + body);
        http_client::connection c(new_session(), "127.0.0.1", server.port());
        http_client::request r(c, "GET", "/", "", {}, 0);
        ASSERT_EQ(r.send("", 0), 0u);
        ASSERT_EQ(r.receive_response(), 0u);
        std::string got;
        EXPECT_EQ(read_all(r, got), 0u);
        EXPECT_EQ(got, body);
    }
    // A body cut short of its length is an error, after the bytes that came.
    {
        scripted_server server("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this");
        http_client::connection c(new_session(), "127.0.0.1", server.port());
        http_client::request r(c, "GET", "/", "", {}, 0);
        ASSERT_EQ(r.send("", 0), 0u);
        ASSERT_EQ(r.receive_response(), 0u);
        std::string got;
        EXPECT_EQ(read_all(r, got), http_client::error_connection_error);
        EXPECT_EQ(got, "only this");
        EXPECT_FALSE(r.complete());
    }
    // Nobody listening.
    {
        const uint16_t dead = tq_test::free_port();
        http_client::connection c(new_session(), "127.0.0.1", dead);
        http_client::request r(c, "GET", "/", "", {}, 0);
        uint32_t e = r.send("", 0);
        if (e == 0) e = r.receive_response();
        EXPECT_EQ(e, http_client::error_cannot_connect);
    }
    // A server that takes the request and never answers.
    {
        scripted_server server("", true);
        http_client::connection c(new_session(), "127.0.0.1", server.port());
        http_client::request r(c, "GET", "/", "", {}, 0);
        ASSERT_EQ(r.send("", 0), 0u);
        EXPECT_EQ(r.receive_response(), http_client::error_timeout);
    }
    // Not HTTP at all.
    {
        scripted_server server("SSH-2.0-nothing here\r\n\r\n");
        http_client::connection c(new_session(), "127.0.0.1", server.port());
        http_client::request r(c, "GET", "/", "", {}, 0);
        ASSERT_EQ(r.send("", 0), 0u);
        EXPECT_NE(r.receive_response(), 0u);
    }
}

// What one exchange driven on an event loop gave its owner.
struct loop_result {
    uint32_t send_error = 0;
    uint32_t status = 0;
    std::string head;
    std::string body;
    bool ended = false;
    uint32_t end_error = 0;
};

// Drives requests one after another on a loop of its own thread, as the
// proxy does: takes the head once it is there and the body as it comes,
// until the end; then the next request starts.
std::vector<loop_result> exchanges_on_loop(uint16_t port, const std::string& method, int count,
                                           bool keep_alive) {
    std::vector<loop_result> out(static_cast<std::size_t>(count));
    std::thread t([&] {
        boost::asio::io_context loop(1);
        auto work = boost::asio::make_work_guard(loop);
        (void)work;
        const auto session = new_session();
        std::unique_ptr<http_client::request> r;
        std::function<void(int)> start;
        const auto next = [&](int i) {
            r.reset();
            if (i + 1 < count)
                boost::asio::post(loop, [&, i] { start(i + 1); });
            else
                loop.stop(); // kept connections would hold it
        };
        start = [&](int i) {
            loop_result& o = out[static_cast<std::size_t>(i)];
            http_client::connection c(session, "127.0.0.1", port);
            r = std::make_unique<http_client::request>(c, method, "/x", "http://ref/",
                                                       std::vector<std::string>{"*/*"}, 0);
            const http_client::request::field fields[] = {{"X-One", " 1"}, {"accept", ""}};
            r->add_checked_fields(fields, http_client::add_headers_replace);
            if (!keep_alive) r->disable_keep_alive();
            r->drive_on_loop(loop, [&, i] {
                loop_result& o = out[static_cast<std::size_t>(i)];
                if (r->head_arrived() && o.head.empty() && r->receive_response() == 0) {
                    o.status = r->status_code();
                    o.head = r->raw_headers();
                }
                char buf[1000];
                for (int k = 0; k < 100000; ++k) {
                    const std::size_t n = r->take_data(buf, sizeof buf);
                    if (n == 0) break;
                    o.body.append(buf, n);
                }
                if (!r->ended()) return;
                o.ended = true;
                o.end_error = r->end_error();
                next(i);
            });
            o.send_error = r->send("", 0);
            if (o.send_error) next(i);
        };
        start(0);
        loop.run_for(std::chrono::seconds(20));
        r.reset();
    });
    t.join();
    return out;
}

loop_result exchange_on_loop(uint16_t port, const std::string& method) {
    return exchanges_on_loop(port, method, 1, false)[0];
}

// Answers "ok" to every request on every connection it takes, one
// connection at a time; after an answer it keeps the connection, closes it,
// or closes it on the second request there without answering.
class keeping_server : public loopback_listener {
  public:
    enum class mode { keep, close_after_answer, close_on_second };
    explicit keeping_server(mode m) : mode_(m) {
        thread_ = std::thread([this] { serve(); });
    }
    ~keeping_server() { finish(); }
    std::atomic<int> connections{0};
    std::atomic<int> requests{0};

  private:
    void serve() {
        for (int round = 0; round < 1000 && !stop_; ++round) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            ++connections;
            std::string in;
            for (int here = 1; here < 100; ++here) {
                while (in.find("\r\n\r\n") == std::string::npos && more(c, in)) {
                }
                const std::size_t end = in.find("\r\n\r\n");
                if (end == std::string::npos) break;
                in.erase(0, end + 4);
                ++requests;
                if (mode_ == mode::close_on_second && here == 2) break;
                const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
                (void)::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                if (mode_ == mode::close_after_answer) break;
            }
            ::close(c);
        }
    }
    mode mode_;
};

TEST(http_client, a_loop_keeps_connections_and_goes_round_those_the_server_closed) {
    using mode = keeping_server::mode;
    struct row {
        const char* what;
        mode m;
        int connections;
        int requests;
    };
    const row rows[] = {
        {"kept and used again", mode::keep, 1, 3},
        {"closed after each answer", mode::close_after_answer, 3, 3},
        // The request sent on a connection the server then closes without a
        // word goes again on a new one.
        {"closed on the next request", mode::close_on_second, 3, 5},
    };
    for (const row& w : rows) {
        keeping_server server(w.m);
        const std::vector<loop_result> got = exchanges_on_loop(server.port(), "GET", 3, true);
        for (const loop_result& r : got) {
            EXPECT_EQ(r.send_error, 0u) << w.what;
            EXPECT_EQ(r.status, 200u) << w.what;
            EXPECT_EQ(r.body, "ok") << w.what;
            EXPECT_EQ(r.end_error, 0u) << w.what;
        }
        EXPECT_EQ(server.connections.load(), w.connections) << w.what;
        EXPECT_EQ(server.requests.load(), w.requests) << w.what;
    }
}

TEST(http_client, answers_on_the_loop_are_framed_and_ended_as_the_server_sent_them) {
    const std::string big(300 * 1024, 'q');
    struct row {
        const char* what;
        const char* method;
        std::string answer;
        uint32_t status;
        std::string body;
        uint32_t end_error;
    };
    const row rows[] = {
        {"length", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, "hello", 0},
        {"interim then final", "GET",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Made\r\nContent-Length: 2\r\n\r\nok", 201, "ok",
         0},
        {"chunked with trailers", "GET",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n"
         "4\r\ndefg\r\n0\r\nX-Sum: 7\r\n\r\n",
         200, "abcdefg", 0},
        {"to the end of the connection", "GET", "HTTP/1.0 200 OK\r\n\r\n" + big, 200, big, 0},
        {"head has no body", "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", 200, "", 0},
        {"cut mid-body", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly", 200, "only",
         http_client::error_connection_error},
        {"cut mid-chunk", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nshort",
         200, "short", http_client::error_connection_error},
        {"bad chunk size", "GET",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", 200, "",
         http_client::error_invalid_server_response},
        {"head over the limit", "GET",
         "HTTP/1.1 200 OK\r\nX-Big: " + std::string(200 * 1024, 'h') + "\r\n\r\n", 0, "",
         http_client::error_invalid_server_response},
        {"not http", "GET", "SSH-2.0-nothing here\r\n\r\n", 0, "",
         http_client::error_invalid_server_response},
        {"nothing at all", "GET", "", 0, "", http_client::error_connection_error},
    };
    for (const row& w : rows) {
        scripted_server server(w.answer);
        const loop_result r = exchange_on_loop(server.port(), w.method);
        EXPECT_EQ(r.send_error, 0u) << w.what;
        EXPECT_TRUE(r.ended) << w.what;
        EXPECT_EQ(r.status, w.status) << w.what;
        EXPECT_TRUE(r.body == w.body) << w.what << ": " << r.body.size() << " bytes";
        EXPECT_EQ(r.end_error, w.end_error) << w.what;
        if (w.status == 200 && std::string(w.method) == "GET") {
            EXPECT_EQ(r.head, w.answer.substr(0, w.answer.find("\r\n\r\n") + 4)) << w.what;
        }
        // The head names the server, then the caller's fields in order; a
        // field replaced by an empty one is not sent.
        EXPECT_EQ(server.head(), std::string(w.method) + " /x HTTP/1.1\r\nHost: 127.0.0.1:" +
                                     std::to_string(server.port()) +
                                     "\r\nUser-Agent: teskqvel\r\nReferer: http://ref/\r\n"
                                     "X-One: 1\r\nConnection: close\r\n\r\n");
    }
    // Nobody listening: the send says so at once.
    const loop_result dead = exchange_on_loop(tq_test::free_port(), "GET");
    EXPECT_EQ(dead.send_error, http_client::error_cannot_connect);
}

} // namespace
