// One request through a real kernel-service queue on a loopback port, with a
// raw socket as the client.
#include "platform/khttp/khttp.h"
#include "request_test_support.h"
#include "server/run_request.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace request_test;

namespace {

using tq_test::exchange;
using tq_test::free_port;

class KernelQueue : public request_fixture {
  protected:
    void SetUp() override {
        request_fixture::SetUp();
        khttp::service_options o;
        o.listen_address = "127.0.0.1";
        o.tls_directory = dir_ / "tls";
        o.timeouts.idle = std::chrono::milliseconds(2000);
        khttp::configure(o);
        ASSERT_EQ(khttp::initialize(khttp::initialize_server | khttp::initialize_config), 0u);
        ASSERT_EQ(khttp::create_request_queue(queue_), 0u);
        for (int i = 0; i < 20 && port_ == 0; ++i) {
            const uint16_t p = free_port();
            if (khttp::add_url(queue_, L"http://+:" + std::to_wstring(p) + L"/") == 0) port_ = p;
        }
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        khttp::close_request_queue(queue_);
        khttp::terminate(khttp::initialize_server | khttp::initialize_config);
        request_fixture::TearDown();
    }

    // Serves one request from the queue as a static GET or HEAD.
    void serve_one() {
        khttp::request in;
        ASSERT_EQ(khttp::receive_request(queue_, 0, 0, in), 0u);
        auto data = std::make_shared<http_request_data>();
        data->request_id = in.request_id;
        data->version = in.version_major * 100u + in.version_minor;
        data->method = in.verb == khttp::verb::head ? "HEAD" : "GET";
        data->path = in.abs_path;
        data->received = win32::get_system_time();
        for (std::size_t i = 0; i < in.known_headers.size(); ++i)
            data->known_headers[i] = in.known_headers[i];
        for (const auto& [n, v] : in.unknown_headers)
            data->unknown_headers[n] = v;
        http_get_request r(cl::make_sh<response_headers>(),
                           in.verb == khttp::verb::head ? mode_head : mode_get);
        r.transport = &kernel_transport();
        auto info = cl::make_sh<req_info>();
        info->config = config_for(cl::utf16_to_utf8(in.abs_path.substr(1)));
        info->set("REQUEST_METHOD", data->method);
        EXPECT_EQ(run_request(r, queue_, data, info, false), 0);
    }

    khttp::queue_handle queue_;
    uint16_t port_ = 0;
};

TEST_F(KernelQueue, RangeAndHeadOverTheWire) {
    write_file(pub_path() / "f.txt", "0123456789abcdefghij");
    std::thread server([this] {
        serve_one();
        serve_one();
    });
    const std::string ranged = exchange(
        port_,
        "GET /f.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=5-9\r\nConnection: close\r\n\r\n");
    const std::string head =
        exchange(port_, "HEAD /f.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    server.join();

    EXPECT_EQ(ranged.rfind("HTTP/1.1 206", 0), 0u) << ranged;
    EXPECT_NE(ranged.find("Content-Range: bytes 5-9/20\r\n"), std::string::npos) << ranged;
    EXPECT_EQ(ranged.substr(ranged.size() - 5), "56789") << ranged;
    EXPECT_EQ(ranged.find("Keep-Alive"), std::string::npos) << ranged;

    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: 20\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << head;
}

} // namespace
