// The front end on the kernel HTTP service: URL lists, the connection limit,
// the sweep of closed connections, a receive loop that outlives failing
// requests, the connection registry's listings and the disconnect handlers.
#include "core/timer.h"
#include "platform/khttp/khttp.h"
#include "server/http_server.h"
#include "server/script_host.h"
#include "server/server_settings.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using tq_test::free_port;

TEST(front_urls, registered_urls_by_settings) {
    const struct {
        const wchar_t* host;
        uint32_t http, https;
        const wchar_t* rel;
        const wchar_t* proxy;
        std::vector<std::wstring> expected;
    } cases[] = {
        {L"+", 80, 0, L"", L"", {L"http://+:80/"}},
        {L"+", 80, 0, L"dav", L"", {L"http://+:80/dav/"}},
        {L"+", 80, 0, L"dav/", L"", {L"http://+:80/dav/"}},
        {L"+", 80, 443, L"", L"", {L"http://+:80/", L"https://+:443/"}},
        {L"+", 80, 80, L"", L"", {L"http://+:80/"}},
        {L"", 80, 443, L"", L"8080", {L"http://+:8080/"}},
        {L"127.0.0.1",
         8080,
         8443,
         L"a",
         L"3128",
         {L"http://127.0.0.1:8080/a/", L"https://127.0.0.1:8443/a/", L"http://+:3128/"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(_http_server::url_list(c.host, c.http, c.https, c.rel, c.proxy), c.expected);
}

class recording_host : public script_host {
  public:
    std::string get_user_value(const std::wstring&, const std::string&,
                               const std::string&) override {
        return {};
    }
    void run_script_discard_output(const std::string& url, const std::wstring& param) override {
        ran.push_back(url + ":" + std::string(param.begin(), param.end()));
    }
    std::vector<std::string> ran;
};

TEST(front_registry, disconnect_handlers_run_once_for_their_connection) {
    recording_host host;
    set_script_host(&host);
    add_disconnect_handler({"/a.jss", L"1", 7});
    add_disconnect_handler({"/b.jss", L"2", 8});
    add_disconnect_handler({"/c.jss", L"3", 7});
    run_disconnect_handlers(7);
    EXPECT_EQ(host.ran, (std::vector<std::string>{"/a.jss:1", "/c.jss:3"}));
    run_disconnect_handlers(7);
    EXPECT_EQ(host.ran.size(), 2u);
    EXPECT_EQ(disconnect_handler_count(), 1u);
    run_disconnect_handlers(8);
    EXPECT_EQ(host.ran.back(), "/b.jss:2");
    EXPECT_EQ(disconnect_handler_count(), 0u);
    set_script_host(nullptr);
}

TEST(front_registry, listings_of_connections_and_downloads) {
    _http_server server;
    std::vector<std::wstring> keys, values;
    server.list_connections(keys, values);
    ASSERT_EQ(keys, std::vector<std::wstring>{L"-1"});
    EXPECT_EQ(values[0], L"0,0,0,0,0");
    keys.clear();
    values.clear();
    server.list_downloads(keys, values, L"/srv/pub/");
    EXPECT_TRUE(keys.empty());

    server.set_transfer_file(5, "ann");
    server.set_client_text(5, "127.0.0.1:4000");
    server.set_transfer_progress(5, L"/srv/pub/a/b.txt", 40);
    server.set_transfer_progress(5, L"/else/c\\d.txt", 10);
    server.set_transfer_progress(6, L"/srv/pub/none", 1); // no record: ignored
    server.add_bytes_received(10);
    server.add_bytes_sent(20);
    server.count_request();

    keys.clear();
    values.clear();
    server.list_connections(keys, values);
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"-1", L"0"}));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"10,20,1,1,0", L"127.0.0.1:4000,ann"}));

    keys.clear();
    values.clear();
    server.list_downloads(keys, values, L"/srv/pub/");
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"0,127.0.0.1:4000,ann", L"1,127.0.0.1:4000,ann"}));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"10,/else/c/d.txt", L"40,a/b.txt"}));

    server.set_transfer_progress(5, L"/srv/pub/a/b.txt", transfer_done);
    keys.clear();
    values.clear();
    server.list_downloads(keys, values, L"/srv/pub/");
    EXPECT_EQ(values, (std::vector<std::wstring>{L"10,/else/c/d.txt"}));

    // Later transfers of the connection, one of them reported twice: each
    // path is listed once, with its latest progress, in path order.
    server.set_transfer_progress(5, L"/srv/pub/z.txt", 5);
    server.set_transfer_progress(5, L"/srv/pub/0.txt", 7);
    server.set_transfer_progress(5, L"/srv/pub/z.txt", 60);
    server.set_transfer_progress(5, L"/else/c\\d.txt", transfer_done);
    server.set_transfer_progress(5, L"/srv/pub/z.txt", transfer_done);
    server.set_transfer_progress(5, L"/srv/pub/m.txt", 1);
    server.set_transfer_progress(5, L"/srv/pub/z.txt", 2);
    keys.clear();
    values.clear();
    server.list_downloads(keys, values, L"/srv/pub/");
    EXPECT_EQ(values, (std::vector<std::wstring>{L"7,0.txt", L"1,m.txt", L"2,z.txt"}));

    // Connections are listed in the order of their ids, whatever the order
    // they came in.
    for (const uint64_t id : {9, 2}) {
        server.set_transfer_file(id, "bob");
        server.set_client_text(id, "10.0.0." + std::to_string(id) + ":1");
        server.set_transfer_progress(id, L"/srv/pub/b.txt", 3);
    }
    keys.clear();
    values.clear();
    server.list_connections(keys, values);
    EXPECT_EQ(
        std::vector<std::wstring>(values.begin() + 1, values.end()),
        (std::vector<std::wstring>{L"10.0.0.2:1,bob", L"127.0.0.1:4000,ann", L"10.0.0.9:1,bob"}));
    keys.clear();
    values.clear();
    server.list_downloads(keys, values, L"/srv/pub/");
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"0,10.0.0.2:1,bob", L"1,127.0.0.1:4000,ann",
                                               L"2,127.0.0.1:4000,ann", L"3,127.0.0.1:4000,ann",
                                               L"4,10.0.0.9:1,bob"}));
}

// --- the live front end on loopback ---

class client {
  public:
    explicit client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~client() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    void send(const std::string& s) { (void)::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
    // Reads one response head (and its body when it has a Content-Length).
    std::string response() {
        std::string got;
        char buf[4096];
        for (int i = 0; i < 1000; ++i) {
            const std::size_t head_end = got.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                std::size_t length = 0;
                const std::size_t cl = got.find("Content-Length: ");
                if (cl != std::string::npos && cl < head_end)
                    length = std::stoul(got.substr(cl + 16));
                if (got.size() >= head_end + 4 + length) {
                    rest_ = got.substr(head_end + 4 + length);
                    return got.substr(0, head_end + 4 + length);
                }
            }
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    // True when the server closed the connection.
    bool closed_by_peer() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

  private:
    int fd_ = -1;
    std::string rest_;
};

std::string status_line(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

class live_front : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!cl::global_timers_running()) {
            cl::start_global_timers();
            started_timers_ = true;
        }
        khttp::service_options o;
        o.listen_address = "127.0.0.1";
        khttp::configure(o);
        port_ = free_port();
        pool_ = std::make_unique<cl::thread_pool>();
        server_ = std::make_unique<_http_server>();
        server_->set_processor([this](_http_server& s, std::shared_ptr<khttp::request> r) {
            const int n = ++served_;
            if (r->abs_path == L"/throw") throw std::runtime_error("failing request");
            khttp::response resp;
            resp.status = 200;
            resp.reason = "OK";
            const std::string body = "served " + std::to_string(n);
            const std::string length = std::to_string(body.size());
            resp.known_headers[khttp::header_content_length] = length;
            khttp::send_response(s.queue(), r->request_id, khttp::send_flag_more_data, resp);
            khttp::send_body(s.queue(), r->request_id, 0, body.data(), body.size());
        });
    }
    void TearDown() override {
        server_->stop();
        server_.reset();
        pool_.reset();
        if (started_timers_) cl::stop_global_timers();
    }
    void start(uint32_t max_connections) {
        server_->set_max_connections(max_connections);
        ASSERT_TRUE(server_->start(port_, 0, L"127.0.0.1", L"", *pool_));
        ASSERT_EQ(server_->registered_urls().size(), 1u);
    }
    std::string get(client& c, const std::string& path = "/") {
        c.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return c.response();
    }

    uint16_t port_ = 0;
    std::unique_ptr<cl::thread_pool> pool_;
    std::unique_ptr<_http_server> server_;
    std::atomic<int> served_{0};
    bool started_timers_ = false;
};

TEST_F(live_front, second_client_over_the_limit_gets_503_and_the_first_is_still_served) {
    start(1);
    client first(port_);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(status_line(get(first)), "HTTP/1.1 200 OK");

    client second(port_);
    ASSERT_TRUE(second.ok());
    const std::string refused = get(second);
    EXPECT_EQ(status_line(refused), "HTTP/1.1 503 Service Unavailable ");
    EXPECT_TRUE(second.closed_by_peer());

    EXPECT_EQ(status_line(get(first)), "HTTP/1.1 200 OK");
    EXPECT_EQ(status_line(get(first)), "HTTP/1.1 200 OK");
    EXPECT_EQ(server_->connection_count(), 1u);

    // Once the first client has gone, the sweep frees its place.
    first.close();
    for (int i = 0; i < 100 && server_->connection_count() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server_->connection_count(), 0u);
    client third(port_);
    EXPECT_EQ(status_line(get(third)), "HTTP/1.1 200 OK");
}

TEST_F(live_front, a_failing_request_does_not_end_the_loop) {
    start(100);
    {
        client c(port_);
        c.send("GET /throw HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        // The request that failed before any answer still gets one.
        EXPECT_EQ(status_line(c.response()), "HTTP/1.1 500 Internal Server Error");
    }
    {
        client bad(port_);
        bad.send("GARBAGE\r\n\r\n");
        const std::string r = bad.response();
        EXPECT_EQ(r.substr(0, 12), "HTTP/1.1 400");
    }
    client c(port_);
    const std::string r = get(c);
    EXPECT_EQ(status_line(r), "HTTP/1.1 200 OK");
    EXPECT_GE(server_->requests() + static_cast<uint64_t>(served_.load()), 2u);
}

TEST_F(live_front, stop_without_start_and_twice) {
    _http_server idle;
    idle.stop();
    idle.stop();
    start(10);
    server_->stop();
    server_->stop();
    EXPECT_TRUE(server_->registered_urls().empty());
}

} // namespace
