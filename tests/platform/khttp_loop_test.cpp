// Requests run on the event loop that read them (the queue's request handler)
// and bodies sent straight from a file descriptor.
#include "platform/khttp/khttp.h"
#include "platform/win32/errors.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

using namespace khttp;
namespace fs = std::filesystem;

namespace {

using tq_test::connect_to;
using tq_test::free_port;

fs::path temp_dir(const char* name) {
    const char* base = std::getenv("TQ_TEST_TMP");
    fs::path p = fs::path(base ? base : fs::temp_directory_path().string()) /
                 (std::string(name) + "." + std::to_string(::getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// Reads until n bytes came or the server closed (bounded by the socket's
// receive time-out).
std::string read_n(int fd, std::size_t n) {
    std::string out;
    char buf[65536];
    for (int i = 0; i < 100000 && out.size() < n; ++i) {
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

std::string read_until_close(int fd) {
    return read_n(fd, std::size_t(1) << 30);
}

class KhttpLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temp_dir("khttp_loop");
        service_options o;
        o.listen_address = "127.0.0.1";
        o.tls_directory = dir_;
        o.io_threads = 1;
        configure(o);
        ASSERT_EQ(initialize(initialize_server | initialize_config), 0u);
        ASSERT_EQ(create_request_queue(queue_), 0u);
        // A file of known bytes: byte i is i * 7 mod 251.
        content_.resize(3 * 1024 * 1024 + 5);
        for (std::size_t i = 0; i < content_.size(); ++i)
            content_[i] = static_cast<char>(i * 7 % 251);
        std::ofstream(dir_ / "f.bin", std::ios::binary).write(content_.data(), content_.size());
    }
    void TearDown() override {
        close_request_queue(queue_);
        terminate(initialize_server | initialize_config);
        fs::remove_all(dir_);
    }
    uint16_t add_free() {
        for (int i = 0; i < 20; ++i) {
            uint16_t p = free_port();
            if (add_url(queue_, L"http://+:" + std::to_wstring(p) + L"/") == 0) return p;
        }
        return 0;
    }
    // Answers with `length` bytes of the file from `offset`, announced as
    // `announced` bytes.
    uint32_t answer_with_file(uint64_t id, uint64_t offset, uint64_t length, uint64_t announced) {
        response r;
        const std::string announced_text = std::to_string(announced);
        r.known_headers[header_content_length] = announced_text;
        if (uint32_t e = send_response(queue_, id, send_flag_more_data | send_flag_buffer_data, r))
            return e;
        const int fd = ::open((dir_ / "f.bin").c_str(), O_RDONLY | O_CLOEXEC);
        // The service keeps its own descriptor: ours may close at once.
        const uint32_t e = send_file(queue_, id, 0, fd, offset, length);
        ::close(fd);
        return e;
    }

    fs::path dir_;
    std::string content_;
    queue_handle queue_;
};

TEST_F(KhttpLoop, QuickRequestsRunOnTheLoopOthersReachTheQueue) {
    std::atomic<int> on_loop{0}, off_loop{0};
    ASSERT_EQ(set_request_handler(queue_,
                                  [&](const std::shared_ptr<request>& r) {
                                      (on_io_thread() ? on_loop : off_loop)++;
                                      // Paths under /pool/ are given back.
                                      if (r->abs_path.rfind(L"/pool/", 0) == 0) return false;
                                      response a;
                                      a.known_headers[header_content_length] = "5";
                                      send_response(queue_, r->request_id, send_flag_more_data, a);
                                      send_body(queue_, r->request_id, 0, "quick", 5);
                                      return true;
                                  }),
              0u);
    const uint16_t port = add_free();
    ASSERT_NE(port, 0);
    std::thread pool([&] {
        for (int i = 0; i < 2; ++i) {
            request r;
            if (receive_request(queue_, 0, 0, r) != 0) return;
            EXPECT_FALSE(on_io_thread());
            response a;
            a.known_headers[header_content_length] = "4";
            send_response(queue_, r.request_id, send_flag_more_data, a);
            send_body(queue_, r.request_id, 0, "pool", 4);
        }
    });
    const int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    const std::string ask = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"
                            "GET /pool/b HTTP/1.1\r\nHost: x\r\n\r\n"
                            "GET /c HTTP/1.1\r\nHost: x\r\n\r\n"
                            "GET /pool/d HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ask.size()));
    const std::string got = read_until_close(fd);
    ::close(fd);
    pool.join();
    // In order, each body after its own head.
    std::size_t at = 0;
    for (const char* body : {"quick", "pool", "quick", "pool"}) {
        at = got.find("\r\n\r\n", at);
        ASSERT_NE(at, std::string::npos) << got;
        at += 4;
        EXPECT_EQ(got.compare(at, std::strlen(body), body), 0) << got;
    }
    EXPECT_EQ(on_loop.load(), 4);
    EXPECT_EQ(off_loop.load(), 0);
}

TEST_F(KhttpLoop, FileBodiesAreByteExactOnTheLoopAndOffIt) {
    struct piece {
        uint64_t offset, length;
    };
    const piece pieces[] = {{0, content_.size()}, {1, 1}, {4096, 700000}, {content_.size() - 9, 9}};
    std::atomic<int> next{0};
    ASSERT_EQ(set_request_handler(
                  queue_,
                  [&](const std::shared_ptr<request>& r) {
                      // Every other request is answered by a pool thread.
                      if (r->abs_path == L"/pool") return false;
                      const piece& p = pieces[next++ % 4];
                      EXPECT_EQ(answer_with_file(r->request_id, p.offset, p.length, p.length), 0u);
                      return true;
                  }),
              0u);
    const uint16_t port = add_free();
    ASSERT_NE(port, 0);
    std::thread pool([&] {
        for (int i = 0; i < 4; ++i) {
            request r;
            if (receive_request(queue_, 0, 0, r) != 0) return;
            const piece& p = pieces[next++ % 4];
            EXPECT_EQ(answer_with_file(r.request_id, p.offset, p.length, p.length), 0u);
        }
    });
    const int fd = connect_to(port, 30);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 8; ++i) {
        const std::string ask =
            std::string("GET ") + (i % 2 ? "/pool" : "/loop") + " HTTP/1.1\r\nHost: x\r\n\r\n";
        ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            const std::string c = read_n(fd, 1);
            ASSERT_EQ(c.size(), 1u) << head;
            head += c;
        }
        const auto cl = head.find("Content-Length: ");
        ASSERT_NE(cl, std::string::npos) << head;
        const std::size_t n = std::stoull(head.substr(cl + 16));
        const std::string body = read_n(fd, n);
        ASSERT_EQ(body.size(), n);
        // Which piece it was is found from its length; its bytes must match.
        bool matched = false;
        for (const piece& p : pieces)
            if (p.length == n && body == content_.substr(p.offset, p.length)) matched = true;
        EXPECT_TRUE(matched) << "answer " << i << " of " << n << " bytes";
    }
    ::close(fd);
    pool.join();
}

TEST_F(KhttpLoop, AFileShorterThanAnnouncedEndsTheConnection) {
    ASSERT_EQ(set_request_handler(queue_,
                                  [&](const std::shared_ptr<request>& r) {
                                      // 100 bytes more than the file holds.
                                      EXPECT_EQ(answer_with_file(r->request_id, 0,
                                                                 content_.size() + 100,
                                                                 content_.size() + 100),
                                                0u);
                                      return true;
                                  }),
              0u);
    const uint16_t port = add_free();
    ASSERT_NE(port, 0);
    const int fd = connect_to(port, 30);
    ASSERT_GE(fd, 0);
    const std::string ask = "GET /f HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    const std::string got = read_until_close(fd);
    ::close(fd);
    const auto end = got.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    // What the file had, then the end of the connection: never a hang.
    EXPECT_EQ(got.substr(end + 4), content_);
}

TEST_F(KhttpLoop, ABodyReceiveThatWouldWaitFailsOnTheLoop) {
    std::atomic<uint32_t> result{0};
    ASSERT_EQ(set_request_handler(queue_,
                                  [&](const std::shared_ptr<request>& r) {
                                      char buf[16];
                                      uint32_t got = 0;
                                      result = receive_body(queue_, r->request_id, 0, buf,
                                                            sizeof buf, got);
                                      response a;
                                      a.known_headers[header_content_length] = "0";
                                      send_response(queue_, r->request_id, send_flag_disconnect, a);
                                      return true;
                                  }),
              0u);
    const uint16_t port = add_free();
    ASSERT_NE(port, 0);
    const int fd = connect_to(port, 30);
    ASSERT_GE(fd, 0);
    // The body never comes: a loop that waited for it would hang here. (The
    // client waits to be told to go on, so its request is not held back for
    // its body.)
    const std::string ask = "POST /f HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n"
                            "Expect: 100-continue\r\n\r\n";
    ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    const std::string got = read_until_close(fd);
    ::close(fd);
    const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
    EXPECT_EQ(got.rfind(go_on + "HTTP/1.1 200", 0), 0u) << got;
    EXPECT_EQ(result.load(), error_connection_invalid);
}

} // namespace
