#include "system/winhttp_client.h"

#include "../common/temp_dir.h"
#include "core/trace.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace {

// Collects what the network trace channel receives.
class net_trace : public cl::trace_base {
  public:
    net_trace() { cl::trace_net.add(this); }
    ~net_trace() override { cl::trace_net.remove(this); }
    void write(std::string_view text, bool) override {
        std::lock_guard lk(lock_);
        text_ += text;
    }
    void flush(bool) override {}
    std::string text() {
        std::lock_guard lk(lock_);
        return text_;
    }
    std::size_t count(std::string_view what) {
        const std::string t = text();
        std::size_t n = 0;
        for (auto i = t.find(what); i != std::string::npos; i = t.find(what, i + 1))
            ++n;
        return n;
    }

  private:
    std::mutex lock_;
    std::string text_;
};

class winhttp_client : public tq_test::temp_dir_test {
  protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        const std::string cmd = std::string("exec python3 ") + TQ_TEST_SOURCE_DIR +
                                "/http_double.py '" + (dir_ / "proxy.log").string() + "' '" +
                                dir_.string() + "'";
        pipe_ = ::popen(cmd.c_str(), "r");
        ASSERT_TRUE(pipe_);
        ASSERT_EQ(std::fscanf(pipe_, "%d %d %d %d", &origin_, &proxy_, &https_, &pid_), 4)
            << "python3, openssl and the server double must run";
        for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                              "ALL_PROXY", "no_proxy", "NO_PROXY"})
            ::unsetenv(v);
        ::setenv("SSL_CERT_FILE", (dir_ / "cert.pem").c_str(), 1);
    }
    void TearDown() override {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        if (pipe_) ::pclose(pipe_);
        ::unsetenv("http_proxy");
        ::unsetenv("SSL_CERT_FILE");
        temp_dir_test::TearDown();
    }
    std::string proxy_log() const { return get("proxy.log"); }

    FILE* pipe_ = nullptr;
    int origin_ = 0, proxy_ = 0, https_ = 0, pid_ = 0;
};

const wchar_t* const any_type[] = {L"*/*", nullptr};

TEST_F(winhttp_client, direct_request_reads_body_status_and_headers) {
    net_trace trace;
    sys::winhttp_response out;
    ASSERT_TRUE(sys::winhttp_request(L"test agent", L"127.0.0.2", nullptr, uint16_t(origin_),
                                     L"/hello", any_type, false, nullptr,
                                     {L"X-Test", L"X-Long", L"X-Missing"}, 5000, out))
        << out.error;
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(out.body, "hello from /hello");
    ASSERT_EQ(out.headers.size(), 3u);
    EXPECT_EQ(out.headers[0].second, L"one");
    EXPECT_EQ(out.headers[1].second, L"two");
    EXPECT_EQ(out.headers[2].second, std::wstring(600, L'v'));
    // One attempt, and the proxy configuration was never read.
    EXPECT_EQ(trace.count("Opening WinHttp session for test agent with default proxy.\n"), 1u);
    EXPECT_EQ(trace.count("Internet Explorer"), 0u);
    EXPECT_EQ(trace.count("WINHTTP STATUS: Server name 127.0.0.2 has been resolved.\n"), 1u);
    EXPECT_EQ(trace.count("HTTP response code is 200\n"), 1u);

    // A response without a body still has its status.
    ASSERT_TRUE(sys::winhttp_request(L"a", L"127.0.0.2", nullptr, uint16_t(origin_), L"/empty",
                                     nullptr, false, nullptr, {}, 0, out));
    EXPECT_EQ(out.status, 200);
    EXPECT_EQ(out.body, "");
    EXPECT_EQ(proxy_log(), "");
}

TEST_F(winhttp_client, refused_server_is_retried_through_the_environment_proxy) {
    net_trace trace;
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy_)).c_str(), 1);
    sys::winhttp_response out;
    // Nothing listens on 127.0.0.1 at the origin's port.
    ASSERT_TRUE(sys::winhttp_request(L"a", L"127.0.0.1", nullptr, uint16_t(origin_), L"/via",
                                     any_type, false, nullptr, {}, 5000, out))
        << out.error;
    EXPECT_EQ(out.body, "hello from /via");
    EXPECT_EQ(proxy_log(), "GET http://127.0.0.1:" + std::to_string(origin_) + "/via HTTP/1.1\n");
    EXPECT_EQ(trace.count("Trying to detect proxy configuration.\n"), 1u);
    EXPECT_EQ(trace.count("with proxy \"http://127.0.0.1:" + std::to_string(proxy_) +
                          "\" and no proxy bypass.\n"),
              1u)
        << trace.text();
}

TEST_F(winhttp_client, refused_server_is_retried_at_the_alternative_address) {
    net_trace trace;
    // The configured proxy is down too: only the alternative address helps.
    ::setenv("http_proxy", "http://127.0.0.1:1", 1);
    sys::winhttp_response out;
    ASSERT_TRUE(sys::winhttp_request(L"a", L"127.0.0.1", L"127.0.0.2", uint16_t(origin_), L"/alt",
                                     nullptr, false, nullptr, {}, 5000, out))
        << out.error;
    EXPECT_EQ(out.body, "hello from /alt");
    EXPECT_EQ(trace.count("Trying to connect to the IP address 127.0.0.2 instead of the resolved "
                          "IP address 127.0.0.1.\n"),
              1u)
        << trace.text();

    // Without an alternative address the call ends after the proxy attempt.
    ASSERT_FALSE(sys::winhttp_request(L"a", L"127.0.0.1", nullptr, uint16_t(origin_), L"/x",
                                      nullptr, false, nullptr, {}, 5000, out));
    EXPECT_EQ(out.error, 12029u);
    EXPECT_EQ(trace.count("Trying to detect proxy configuration.\n"), 2u);
    // The same address as the resolved one is no alternative.
    ASSERT_FALSE(sys::winhttp_request(L"a", L"127.0.0.1", L"127.0.0.1", uint16_t(origin_), L"/x",
                                      nullptr, false, nullptr, {}, 5000, out));
    EXPECT_EQ(trace.count("Trying to connect to the IP address"), 1u);
}

TEST_F(winhttp_client, certificate_subject_must_hold_every_text) {
    net_trace trace;
    sys::winhttp_response out;
    const wchar_t* const ours[] = {L"tesk TEST", L"127.0.0.1", nullptr};
    ASSERT_TRUE(sys::winhttp_request(L"a", L"127.0.0.1", nullptr, uint16_t(https_), L"/tls",
                                     nullptr, true, ours, {}, 5000, out))
        << out.error << trace.text();
    EXPECT_EQ(out.body, "hello from /tls");

    const wchar_t* const other[] = {L"Tesk Test", L"O=Someone Else", nullptr};
    EXPECT_FALSE(sys::winhttp_request(L"a", L"127.0.0.1", nullptr, uint16_t(https_), L"/tls",
                                      nullptr, true, other, {}, 5000, out));
    EXPECT_EQ(out.error, 12175u);
    EXPECT_EQ(out.body, "");
    EXPECT_EQ(trace.count("Check against server certificate failed.\n"), 1u);

    // A certificate the trust store does not know fails the same way.
    ::setenv("SSL_CERT_FILE", "/dev/null", 1);
    EXPECT_FALSE(sys::winhttp_request(L"a", L"127.0.0.1", nullptr, uint16_t(https_), L"/tls",
                                      nullptr, true, nullptr, {}, 5000, out));
    EXPECT_EQ(out.error, 12175u);
}

TEST(winhttp_api, a_missing_dll_leaves_the_table_unloaded) {
    sys::winhttp_api api;
    EXPECT_TRUE(api.loaded());
    EXPECT_TRUE(sys::winhttp_available());
    EXPECT_FALSE(api.load(L"winhttp5.dll"));
    EXPECT_FALSE(api.loaded());
    EXPECT_TRUE(api.load(L"WINHTTP.DLL"));
    EXPECT_EQ(sys::winhttp_status_text(0x20, nullptr, 0), "0 bytes sent to server.");
    EXPECT_EQ(sys::winhttp_status_text(0x4000000, nullptr, 0), "67108864.");
}

} // namespace
