// Answers sent with the buffer-data flag: kept together while pieces follow,
// and out on the wire as soon as the answer's last send (empty or not) returns.
#include "platform/khttp/khttp.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

using namespace khttp;
namespace fs = std::filesystem;

namespace {

using tq_test::connect_to;
using tq_test::free_port;

// Bytes the client can read without waiting. Loopback delivers a send within
// the sending call; the few yields only let a deferred delivery finish. A
// socket that holds the bytes back (the fault this guards against) keeps them
// for a timer period, far longer than this loop.
int readable_now(int fd, int want) {
    int n = 0;
    for (int i = 0; i < 200; ++i) {
        ::ioctl(fd, FIONREAD, &n);
        if (n >= want) break;
        ::sched_yield();
    }
    return n;
}

// Reads exactly n bytes (blocking, with the socket's generous time-out).
std::string read_n(int fd, std::size_t n) {
    std::string out;
    char buf[8192];
    for (int i = 0; i < 10000 && out.size() < n; ++i) {
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

class KhttpBufferedSend : public ::testing::Test {
  protected:
    void SetUp() override {
        service_options o;
        o.listen_address = "127.0.0.1";
        const char* base = std::getenv("TQ_TEST_TMP");
        o.tls_directory = fs::path(base ? base : fs::temp_directory_path().string()) /
                          ("khttp_buffered." + std::to_string(::getpid()));
        configure(o);
        ASSERT_EQ(initialize(initialize_server | initialize_config), 0u);
        ASSERT_EQ(create_request_queue(queue_), 0u);
        for (int i = 0; i < 20 && port_ == 0; ++i) {
            uint16_t p = free_port();
            if (add_url(queue_, L"http://+:" + std::to_wstring(p) + L"/") == 0) port_ = p;
        }
        ASSERT_NE(port_, 0);
        fd_ = connect_to(port_, 20);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
        close_request_queue(queue_);
        terminate(initialize_server | initialize_config);
    }

    uint64_t next_request(const std::string& path) {
        std::string head = "GET " + path + " HTTP/1.1\r\nHost: h\r\n\r\n";
        EXPECT_EQ(::send(fd_, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
        request req;
        EXPECT_EQ(receive_request(queue_, 0, 0, req), 0u);
        return req.request_id;
    }

    // The head of an answer with the given body length, as the service
    // renders it, measured once through an unbuffered answer.
    std::size_t head_size(std::size_t body) {
        uint64_t id = next_request("/measure");
        response r;
        r.status = 200;
        r.reason = "OK";
        const std::string length = std::to_string(body);
        r.known_headers[header_content_length] = length;
        EXPECT_EQ(send_response(queue_, id, send_flag_more_data, r), 0u);
        EXPECT_EQ(send_body(queue_, id, 0, std::string(body, 'm').data(), body), 0u);
        std::string all;
        for (int i = 0; i < 4096 && all.find("\r\n\r\n") == std::string::npos; ++i)
            all += read_n(fd_, 1);
        std::size_t size = all.find("\r\n\r\n") + 4;
        EXPECT_EQ(read_n(fd_, size + body - all.size()).size(), size + body - all.size());
        return size;
    }

    response ok(std::size_t body) {
        response r;
        r.status = 200;
        r.reason = "OK";
        // The record holds views: the text lives as long as the fixture.
        r.known_headers[header_content_length] = lengths_.emplace_back(std::to_string(body));
        return r;
    }

    std::deque<std::string> lengths_;
    queue_handle queue_;
    uint16_t port_ = 0;
    int fd_ = -1;
};

} // namespace

TEST_F(KhttpBufferedSend, AnswerEndingInAnEmptySendLeavesAtOnce) {
    const std::size_t head = head_size(5);
    constexpr uint32_t buffered = send_flag_buffer_data | send_flag_more_data;
    for (int round = 0; round < 3; ++round) { // a kept-alive connection, answer after answer
        uint64_t id = next_request("/f");
        ASSERT_EQ(send_response(queue_, id, buffered, ok(5)), 0u);
        ASSERT_EQ(send_body(queue_, id, buffered, "hello", 5), 0u);
        ASSERT_EQ(send_body(queue_, id, send_flag_buffer_data, nullptr, 0), 0u);
        // Readable before the client asks again or the server sends anything else.
        EXPECT_EQ(readable_now(fd_, static_cast<int>(head + 5)), static_cast<int>(head + 5))
            << "round " << round;
        std::string answer = read_n(fd_, head + 5);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_EQ(answer.substr(head), "hello");
    }
}

TEST_F(KhttpBufferedSend, BufferedPiecesKeepTheirOrderAndSize) {
    struct piece_case {
        std::size_t piece;
        int count;
        bool last_empty;
    };
    // Small pieces, pieces that together pass the amount kept back, and one
    // piece larger than it; ending with a piece or with an empty send.
    const piece_case cases[] = {
        {1, 7, true}, {1000, 3, false}, {9000, 12, true}, {9000, 12, false}, {100000, 2, true}};
    constexpr uint32_t buffered = send_flag_buffer_data | send_flag_more_data;
    for (const auto& c : cases) {
        const std::size_t total = c.piece * static_cast<std::size_t>(c.count);
        const std::size_t head = head_size(total);
        uint64_t id = next_request("/p");
        ASSERT_EQ(send_response(queue_, id, buffered, ok(total)), 0u);
        std::string expected;
        for (int i = 0; i < c.count; ++i) {
            std::string piece(c.piece, static_cast<char>('a' + i));
            expected += piece;
            const bool last = i + 1 == c.count && !c.last_empty;
            ASSERT_EQ(send_body(queue_, id, last ? send_flag_buffer_data : buffered, piece.data(),
                                piece.size()),
                      0u);
        }
        if (c.last_empty) {
            ASSERT_EQ(send_body(queue_, id, send_flag_buffer_data, nullptr, 0), 0u);
        }
        std::string answer = read_n(fd_, head + total);
        ASSERT_EQ(answer.size(), head + total) << c.piece << " x " << c.count;
        EXPECT_TRUE(answer.substr(head) == expected) << c.piece << " x " << c.count;
    }
}
