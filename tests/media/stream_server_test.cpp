#include "media/stream_server.h"

#include "core/trace.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <thread>

using namespace media;

namespace {

// Stands in for the sink: counts the calls and queues a marker as the
// stream's opening bytes.
struct fake_owner : stream_owner {
    std::atomic<int> added{0}, started{0}, connected{0}, disconnected{0};
    void add_client(stream_server*) override { ++added; }
    void remove_client(stream_server*) override {}
    void start_client(stream_server* c) override {
        c->queue_bytes("HEAD", 4);
        c->set_started();
        ++started;
    }
    void client_connected(stream_server*) override { ++connected; }
    void client_disconnected(stream_server*) override { ++disconnected; }
    std::string content_type() override { return "video/x-ms-wmv"; }
};

struct trace_capture : cl::trace_base {
    std::mutex lock;
    std::string text;
    trace_capture() { cl::trace_out.add(this); }
    ~trace_capture() override { cl::trace_out.remove(this); }
    void write(std::string_view t, bool) override {
        std::lock_guard hold(lock);
        text.append(t);
    }
    void flush(bool) override {}
    bool has(const std::string& s) {
        std::lock_guard hold(lock);
        return text.find(s) != std::string::npos;
    }
};

const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
const std::string response =
    "HTTP/1.1 200 OK\r\nContent-Type: video/x-ms-wmv\r\nServer: Tesk Stream Server "
    "V0.1\r\nCache-Control: no cache\r\n\r\n";

// Reads until `want` bytes came or the peer closed / the read timed out.
std::string read_n(int fd, size_t want) {
    std::string out;
    char buf[4096];
    while (out.size() < want) {
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// True when the server closed the connection (a read gives 0 or a reset).
bool closed_by_server(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

template <class F> bool eventually(F f) {
    for (int i = 0; i < 1000; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct stream_server_test : ::testing::Test {
    fake_owner owner;
    stream_listener listener;
    uint16_t port = tq_test::free_port();
    void SetUp() override {
        set_max_stream_clients(5000);
        listener.set_owner(&owner);
    }
    void TearDown() override { set_max_stream_clients(5000); }
};

} // namespace

TEST_F(stream_server_test, answers_once_per_request_head_and_starts_the_stream_once) {
    ASSERT_TRUE(listener.start(port));
    const int fd = tq_test::connect_to(port);
    ASSERT_GE(fd, 0);
    // One head cut in two sends, then two heads in one send.
    ::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::send(fd, "\r\n", 2, MSG_NOSIGNAL);
    EXPECT_EQ(read_n(fd, response.size() + 4), response + "HEAD");
    const std::string two = request + request;
    ::send(fd, two.data(), two.size(), MSG_NOSIGNAL);
    EXPECT_EQ(read_n(fd, 2 * response.size()), response + response);
    ::close(fd);
    EXPECT_TRUE(eventually([&] { return owner.disconnected == 1; }));
    EXPECT_EQ(owner.started, 1);
    EXPECT_EQ(owner.connected, 1);
    EXPECT_EQ(owner.added, 1);
}

TEST_F(stream_server_test, refuses_clients_over_the_maximum_and_reuses_idle_slots) {
    set_max_stream_clients(2);
    ASSERT_TRUE(listener.start(port));
    int a = tq_test::connect_to(port), b = tq_test::connect_to(port);
    for (int fd : {a, b}) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ASSERT_EQ(read_n(fd, response.size() + 4), response + "HEAD");
    }
    // Both slots busy: the third is closed without an answer.
    const int c = tq_test::connect_to(port);
    ::send(c, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_server(c));
    ::close(c);
    EXPECT_EQ(listener.client_count(), 2u);

    // A reset peer ends its connection and frees its slot for the next one.
    linger hard{1, 0};
    ::setsockopt(a, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(a);
    ASSERT_TRUE(eventually([&] { return owner.disconnected == 1; }));
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        const int d = tq_test::connect_to(port);
        ::send(d, request.data(), request.size(), MSG_NOSIGNAL);
        served = read_n(d, response.size() + 4) == response + "HEAD";
        ::close(d);
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(listener.client_count(), 2u);
    EXPECT_EQ(owner.added, 2);
    ::close(b);
}

TEST_F(stream_server_test, ends_a_silent_client_after_the_idle_time) {
    trace_capture trace;
    listener.set_idle_timeout_ms(200);
    ASSERT_TRUE(listener.start(port));
    const int fd = tq_test::connect_to(port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closed_by_server(fd));
    ::close(fd);
    EXPECT_TRUE(eventually([&] { return owner.disconnected == 1; }));
    EXPECT_TRUE(trace.has("connection timeout"));
}

// Queues units until the connection refuses one, as a fast producer would.
struct flooding_owner : fake_owner {
    std::atomic<size_t> accepted{0}, queued_at_refusal{0};
    std::atomic<bool> refused{false};
    void start_client(stream_server* c) override {
        const std::string unit(32 * 1024, 'x');
        for (size_t total = 0; total < (8u << 20); total += unit.size()) {
            if (!c->queue_bytes(unit.data(), unit.size())) {
                queued_at_refusal = c->queued_bytes();
                refused = true;
                break;
            }
            accepted += unit.size();
        }
        c->set_started();
    }
};

TEST(stream_server_queue, a_client_that_cannot_keep_up_is_ended_not_buffered) {
    flooding_owner owner;
    stream_listener listener;
    listener.set_owner(&owner);
    listener.set_queue_limit(256 * 1024);
    const uint16_t port = tq_test::free_port();
    ASSERT_TRUE(listener.start(port));
    const int fd = tq_test::connect_to(port);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(eventually([&] { return owner.disconnected == 1; }));
    EXPECT_TRUE(owner.refused);
    EXPECT_LE(owner.queued_at_refusal, 256u * 1024);
    EXPECT_LE(owner.accepted, 256u * 1024);
    ::close(fd);
}

TEST(stream_listener_ports, listens_on_ipv4_when_the_ipv6_port_is_taken) {
    const uint16_t port = tq_test::free_port();
    const int v6 = ::socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(v6, 0);
    int one = 1;
    ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    ASSERT_EQ(::bind(v6, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::atomic<int> v6_problems{0}, v4_problems{0};
    stream_listener::set_bind_problem_handler(
        [&](bool ipv6) { ++(ipv6 ? v6_problems : v4_problems); });
    {
        trace_capture trace;
        stream_listener l;
        ASSERT_TRUE(l.start(port));
        EXPECT_EQ(l.listening_count(), 1u);
        EXPECT_EQ(v6_problems, 1);
        EXPECT_EQ(v4_problems, 0);
        EXPECT_TRUE(trace.has("can't bind socket to port"));
        const std::string answer = tq_test::exchange(port, request, true);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    }
    // With both families taken nothing opens and nothing stays open.
    const int v4 = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in b{};
    b.sin_family = AF_INET;
    b.sin_port = htons(port);
    ASSERT_EQ(::bind(v4, reinterpret_cast<sockaddr*>(&b), sizeof b), 0);
    {
        trace_capture trace;
        stream_listener l;
        EXPECT_FALSE(l.start(port));
        EXPECT_EQ(l.listening_count(), 0u);
        EXPECT_TRUE(trace.has("Unable to create any listening socket"));
    }
    stream_listener::set_bind_problem_handler(nullptr);
    ::close(v4);
    ::close(v6);
}
