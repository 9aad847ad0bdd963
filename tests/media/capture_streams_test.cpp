#include "media/capture_streams.h"

#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace media;

namespace {

const std::string
    asf_header_guid("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);

bool port_open(uint16_t port) {
    const int fd = tq_test::connect_to(port, 2);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Reads until n bytes came or the peer ended the connection.
std::string read_n(int fd, size_t n) {
    std::string out;
    char buf[8192];
    while (out.size() < n) {
        const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// Polls a condition a bounded number of times.
template <class F> bool eventually(F f) {
    for (int i = 0; i < 600; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return f();
}

struct streams_test : ::testing::Test {
    void TearDown() override { stop_capture_streams(); }
};

TEST_F(streams_test, failed_starts_leave_no_stream_and_no_port) {
    const uint16_t port = tq_test::free_port();
    struct {
        const wchar_t* profile;
        const wchar_t* audio;
        const wchar_t* video;
        hresult expect;
    } cases[] = {
        {L"", L"sine", L"no such camera", automation::e_fail},
        {L"", L"no such microphone", L"testsrc", automation::e_fail},
        {L"/nonexistent/profile.prx", L"sine", L"testsrc", automation::e_pointer},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expect, run_capture_stream(c.profile, c.audio, c.video, port));
        EXPECT_EQ(0u, capture_stream_count());
        EXPECT_FALSE(port_open(port));
    }
}

TEST_F(streams_test, a_port_nobody_can_listen_on_fails_the_start) {
    // Hold the port on both families, so the stream cannot bind either.
    const uint16_t port = tq_test::free_port();
    const int v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ASSERT_EQ(0, ::bind(v4, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(v4, 1));
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    const bool have_v6 =
        ::bind(v6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0 && ::listen(v6, 1) == 0;
    std::atomic<int> problems{0};
    stream_listener::set_bind_problem_handler([&](bool) { ++problems; });
    const hresult hr = run_capture_stream(L"", L"sine", L"testsrc", port);
    stream_listener::set_bind_problem_handler(nullptr);
    ::close(v4);
    ::close(v6);
    ASSERT_TRUE(have_v6);
    EXPECT_EQ(static_cast<hresult>(0x80072740), hr);
    EXPECT_EQ(0u, capture_stream_count());
    EXPECT_EQ(2, problems.load());
}

TEST_F(streams_test, stream_runs_for_its_clients_and_stops_with_the_server) {
    const uint16_t port = tq_test::free_port();
    ASSERT_EQ(0, run_capture_stream(L"", L"sine", L"testsrc", port));
    EXPECT_EQ(1u, capture_stream_count());
    // The same stream again: nothing new starts.
    EXPECT_EQ(0, run_capture_stream(L"", L"sine", L"testsrc", port));
    EXPECT_EQ(1u, capture_stream_count());

    const int fd = tq_test::connect_to(port);
    ASSERT_GE(fd, 0);
    const std::string req = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(ssize_t(req.size()), ::send(fd, req.data(), req.size(), MSG_NOSIGNAL));
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/x-ms-wmv\r\n";
    const std::string got = read_n(fd, 20000);
    ASSERT_EQ(head, got.substr(0, head.size()));
    const size_t body = got.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, body);
    EXPECT_EQ(asf_header_guid, got.substr(body + 4, 16));

    // The same names on another port: the old port closes, the new one opens.
    const uint16_t port2 = tq_test::free_port();
    ASSERT_EQ(0, run_capture_stream(L"", L"sine", L"testsrc", port2));
    EXPECT_EQ(1u, capture_stream_count());
    EXPECT_FALSE(port_open(port));
    // The old stream ended its client as it went.
    EXPECT_TRUE(eventually([&] {
        char c;
        return ::recv(fd, &c, 1, 0) == 0;
    }));
    ::close(fd);
    EXPECT_TRUE(port_open(port2));

    stop_capture_streams();
    EXPECT_EQ(0u, capture_stream_count());
    EXPECT_FALSE(port_open(port2));
}

TEST(capture_streaming_object, captures_only_while_a_client_is_connected) {
    capture_streaming s;
    uint32_t port = tq_test::free_port();
    ASSERT_EQ(0, s.start(L"", L"sine", L"testsrc", port));
    EXPECT_FALSE(s.capturing()); // the header is there; nothing runs yet
    const int a = tq_test::connect_to(static_cast<uint16_t>(port));
    const int b = tq_test::connect_to(static_cast<uint16_t>(port));
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_TRUE(eventually([&] { return s.capturing(); }));
    ::close(a);
    // One client is still there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(s.capturing());
    ::close(b);
    EXPECT_TRUE(eventually([&] { return !s.capturing(); }));

    // Stop ends a connected client and waits for its thread.
    const int c = tq_test::connect_to(static_cast<uint16_t>(port));
    ASSERT_GE(c, 0);
    EXPECT_TRUE(eventually([&] { return s.capturing(); }));
    s.stop();
    EXPECT_FALSE(s.capturing());
    char ch;
    EXPECT_EQ(0, ::recv(c, &ch, 1, 0));
    ::close(c);
    EXPECT_FALSE(port_open(static_cast<uint16_t>(port)));
}

TEST(capture_devices_for_scripts, lists_end_with_the_test_sources) {
    std::vector<std::wstring> audio, video;
    list_audio_input_devices(audio);
    list_video_input_devices(video);
    ASSERT_FALSE(audio.empty());
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(L"lavfi sine", audio.back());
    EXPECT_EQ(L"lavfi testsrc", video.back());
}

} // namespace
