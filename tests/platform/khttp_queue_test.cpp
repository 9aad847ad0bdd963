#include "platform/khttp/khttp.h"
#include "platform/khttp/service.h"
#include "platform/khttp/tls.h"
#include "platform/win32/errors.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace khttp;
namespace fs = std::filesystem;

namespace {

using tq_test::connect_to;
using tq_test::free_port;

// Returns once a receiver sleeps on the queue, so closing it really has to
// wake one (bounded: a receiver that never sleeps fails the test).
void wait_until_asleep(request_queue& q) {
    for (int i = 0; i < 2000 && q.waiting_receivers() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(q.waiting_receivers(), 1);
}

fs::path temp_dir(const char* name) {
    const char* base = std::getenv("TQ_TEST_TMP");
    fs::path p = fs::path(base ? base : fs::temp_directory_path().string()) /
                 (std::string(name) + "." + std::to_string(::getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (int i = 0; i < 1000; ++i) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

class KhttpQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        service_options o;
        o.listen_address = "127.0.0.1";
        o.tls_directory = temp_dir("khttp_queue");
        o.timeouts.idle = std::chrono::milliseconds(2000);
        configure(o);
        ASSERT_EQ(initialize(initialize_server | initialize_config), 0u);
        ASSERT_EQ(create_request_queue(queue_), 0u);
    }
    void TearDown() override {
        close_request_queue(queue_);
        terminate(initialize_server | initialize_config);
    }
    uint16_t add_free(const std::wstring& rel = L"/") {
        for (int i = 0; i < 20; ++i) {
            uint16_t p = free_port();
            if (add_url(queue_, L"http://+:" + std::to_wstring(p) + rel) == 0) return p;
        }
        return 0;
    }
    queue_handle queue_;
};

} // namespace

TEST_F(KhttpQueue, RegistrationErrors) {
    uint16_t port = add_free(L"/a/");
    ASSERT_NE(port, 0);
    std::wstring url = L"http://+:" + std::to_wstring(port) + L"/a/";
    EXPECT_EQ(add_url(queue_, url), win32::error_already_exists);
    EXPECT_EQ(add_url(queue_, L"http://+:" + std::to_wstring(port) + L"/b/"), 0u);
    EXPECT_EQ(add_url(queue_, L"https://+:" + std::to_wstring(port) + L"/c/"),
              win32::error_invalid_parameter);
    EXPECT_EQ(add_url(queue_, L"http://+:80"), win32::error_invalid_parameter);
    EXPECT_EQ(remove_url(queue_, url), 0u);
    EXPECT_EQ(remove_url(queue_, url), win32::error_file_not_found);

    // A port that another socket holds.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    EXPECT_EQ(add_url(queue_, L"http://+:" + std::to_wstring(ntohs(a.sin_port)) + L"/"),
              win32::error_sharing_violation);
    ::close(fd);
}

TEST_F(KhttpQueue, UnknownIdsAndClosedQueue) {
    char buf[16];
    uint32_t got = 7;
    EXPECT_EQ(receive_body(queue_, 12345, 0, buf, sizeof buf, got), error_connection_invalid);
    EXPECT_EQ(got, 0u);
    response r;
    EXPECT_EQ(send_response(queue_, 12345, 0, r), error_connection_invalid);
    EXPECT_EQ(send_body(queue_, 12345, 0, "x", 1), error_connection_invalid);
    overlapped o;
    EXPECT_EQ(wait_for_disconnect(queue_, 999, o), 0u);
    EXPECT_EQ(o.status(), 0u);

    auto blocked = std::async(std::launch::async, [&] {
        request req;
        return receive_request(queue_, 0, 0, req);
    });
    wait_until_asleep(*queue_);
    close_request_queue(queue_);
    EXPECT_EQ(blocked.get(), win32::error_operation_aborted);
    request req;
    EXPECT_EQ(receive_request(queue_, 0, 0, req), win32::error_operation_aborted);
}

TEST_F(KhttpQueue, RequestRoundTripWithDisconnectNotice) {
    uint16_t port = add_free(L"/");
    ASSERT_NE(port, 0);
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    std::string head = "PUT /x/%41?q HTTP/1.0\r\nHost: h\r\nContent-Length: 3\r\n"
                       "X-One: 1\r\nAccept: a\r\nAccept: b\r\n\r\nabc";
    ASSERT_EQ(::send(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));

    request req;
    ASSERT_EQ(receive_request(queue_, 0, 0, req), 0u);
    EXPECT_EQ(req.verb, verb::put);
    EXPECT_EQ(req.abs_path, L"/x/A");
    EXPECT_EQ(req.raw_url, "/x/%41?q");
    EXPECT_EQ(req.query, "q");
    EXPECT_EQ(req.version_minor, 0);
    EXPECT_EQ(req.flags, request_flag_more_entity_body);
    EXPECT_EQ(req.known_headers[header_accept], "a, b");
    ASSERT_EQ(req.unknown_headers.size(), 1u);
    EXPECT_EQ(req.unknown_headers[0].first, "X-One");
    EXPECT_EQ(req.remote_address.ss_family, AF_INET);
    sockaddr_in client{};
    socklen_t client_size = sizeof client;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&client), &client_size), 0);
    EXPECT_EQ(req.remote_text.host + ":" + req.remote_text.port,
              "127.0.0.1:" + std::to_string(ntohs(client.sin_port)));
    EXPECT_EQ(req.local_text.port, std::to_string(port));
    EXPECT_FALSE(req.secure);

    overlapped notice;
    EXPECT_EQ(wait_for_disconnect(queue_, req.connection_id, notice), win32::error_io_pending);
    EXPECT_EQ(notice.status(), status_pending);

    char buf[2];
    uint32_t got = 0;
    std::string body;
    uint32_t e;
    while ((e = receive_body(queue_, req.request_id, 0, buf, sizeof buf, got)) == 0)
        body.append(buf, got);
    EXPECT_EQ(e, win32::error_handle_eof);
    EXPECT_EQ(body, "abc");

    response r;
    r.status = 200;
    r.reason = "OK";
    r.known_headers[header_content_length] = "2";
    EXPECT_EQ(send_response(queue_, req.request_id, send_flag_more_data, r), 0u);
    EXPECT_EQ(send_response(queue_, req.request_id, send_flag_more_data, r),
              win32::error_invalid_parameter);
    EXPECT_EQ(send_body(queue_, req.request_id, send_flag_more_data, "hi", 2), 0u);
    EXPECT_EQ(send_body(queue_, req.request_id, 0, nullptr, 0), 0u); // the final, empty send
    EXPECT_EQ(send_body(queue_, req.request_id, 0, "hi", 2), error_connection_invalid);

    // HTTP/1.0 without keep-alive: the service closes after the answer.
    std::string answer = read_all(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(answer.substr(answer.size() - 2), "hi");
    ::close(fd);
    for (int i = 0; i < 200 && notice.status() == status_pending; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(notice.status(), 0u);
}

// A chunked body whose bytes come one at a time, the last chunk first
// among them or after one with data, its trailer after it: every body
// arrives whole, and the service lives on to answer.
TEST_F(KhttpQueue, ChunkedBodiesInPieces) {
    uint16_t port = add_free(L"/");
    ASSERT_NE(port, 0);
    for (const std::string chunks : {"0\r\nT: 1\r\n\r\n", "3\r\nabc\r\n0\r\nT: 1\r\n\r\n"}) {
        int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        const std::string head = "POST /c HTTP/1.1\r\nHost: h\r\nConnection: "
                                 "close\r\nTransfer-Encoding: chunked\r\n\r\n";
        ASSERT_EQ(::send(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
        // The request comes to the queue once its body is in, which the
        // service decodes from pieces of a byte.
        std::thread sender([&] {
            for (const char c : chunks) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                (void)::send(fd, &c, 1, MSG_NOSIGNAL);
            }
        });
        request req;
        ASSERT_EQ(receive_request(queue_, 0, 0, req), 0u);
        char buf[16];
        uint32_t got = 0, e;
        std::string body;
        while ((e = receive_body(queue_, req.request_id, 0, buf, sizeof buf, got)) == 0)
            body.append(buf, got);
        sender.join();
        EXPECT_EQ(e, win32::error_handle_eof);
        EXPECT_EQ(body, chunks[0] == '0' ? "" : "abc");
        response r;
        r.status = 204;
        r.reason = "No Content";
        EXPECT_EQ(send_response(queue_, req.request_id, 0, r), 0u);
        EXPECT_EQ(read_all(fd).rfind("HTTP/1.1 204 No Content\r\n", 0), 0u);
        ::close(fd);
    }
}

TEST_F(KhttpQueue, TerminateReleasesWaitingReceivers) {
    auto blocked = std::async(std::launch::async, [&] {
        request req;
        return receive_request(queue_, 0, 0, req);
    });
    wait_until_asleep(*queue_);
    terminate(initialize_server | initialize_config);
    EXPECT_EQ(blocked.get(), win32::error_operation_aborted);
    ASSERT_EQ(initialize(initialize_server | initialize_config), 0u); // for TearDown
}

TEST(KhttpTls, GeneratesOnceAndKeepsThePair) {
    fs::path dir = temp_dir("khttp_tls") / "sub";
    uint32_t e = 0;
    auto ctx = make_tls_context(dir, e);
    ASSERT_TRUE(ctx) << e;
    struct stat st {};
    ASSERT_EQ(::stat((dir / tls_key_file).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(dir / tls_certificate_file);
    std::string first((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(first.find("BEGIN CERTIFICATE"), std::string::npos);
    ctx = make_tls_context(dir, e);
    ASSERT_TRUE(ctx);
    std::ifstream again(dir / tls_certificate_file);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), first);

    // Half a pair is refused rather than overwritten.
    fs::remove(dir / tls_key_file);
    EXPECT_FALSE(make_tls_context(dir, e));
    EXPECT_NE(e, 0u);
    EXPECT_TRUE(fs::exists(dir / tls_certificate_file));
    // A damaged file is refused too.
    fs::remove(dir / tls_certificate_file);
    ASSERT_TRUE(make_tls_context(dir, e));
    std::ofstream(dir / tls_certificate_file) << "garbage";
    EXPECT_FALSE(make_tls_context(dir, e));
    EXPECT_EQ(e, static_cast<uint32_t>(win32::error_invalid_data));
}
