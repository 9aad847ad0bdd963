#include "media/network_sink.h"

#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace media;

namespace {

const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
const std::string response =
    "HTTP/1.1 200 OK\r\nContent-Type: video/x-ms-wmv\r\nServer: Tesk Stream Server "
    "V0.1\r\nCache-Control: no cache\r\n\r\n";

std::string read_n(int fd, size_t want) {
    std::string out;
    char buf[8192];
    while (out.size() < want) {
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

template <class F> bool eventually(F f) {
    for (int i = 0; i < 1000; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A sink on a free loopback port whose clock the test moves.
struct sink_test : ::testing::Test {
    std::atomic<uint32_t> clock{1000};
    cl::sh_ptr<network_sink> sink{new network_sink([this] { return clock.load(); })};
    std::atomic<int> joined{0}, left{0};
    uint32_t port = tq_test::free_port();

    void SetUp() override {
        sink->set_content_type("video/x-ms-wmv");
        sink->set_client_callback([this](bool on) { ++(on ? joined : left); });
        ASSERT_EQ(sink->open(&port), automation::s_ok);
    }
    void TearDown() override {
        sink->close();
        set_max_stream_clients(5000);
    }
    void header(const std::string& bytes) {
        sample_buffer b(static_cast<uint32_t>(bytes.size()));
        std::memcpy(b.get_buffer(), bytes.data(), bytes.size());
        sink->on_header(&b);
    }
    cl::sh_ptr<sample_buffer> buffer(const std::string& bytes) {
        auto b = sink->allocate_data_unit(static_cast<uint32_t>(bytes.size()));
        std::memcpy(b->get_buffer(), bytes.data(), bytes.size());
        return b;
    }
    // A key unit may carry the form a client that begins with it gets.
    void unit(const std::string& bytes, bool key = true, const std::string& join = {}) {
        sink->on_data_unit(buffer(bytes), key, join.empty() ? nullptr : buffer(join));
    }
    // Connects and asks for the stream; returns once the request was answered.
    int join(const std::string& expect_first) {
        const int fd = tq_test::connect_to(static_cast<uint16_t>(port));
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        EXPECT_EQ(read_n(fd, response.size() + expect_first.size()), response + expect_first);
        return fd;
    }
};

std::string numbered(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "U%07d", i);
    return text;
}

} // namespace

TEST_F(sink_test, early_and_late_clients_get_the_header_then_every_unit_once) {
    header("ASFHEAD!");
    const int early = join("ASFHEAD!");
    for (int i = 0; i < 3; ++i)
        unit(numbered(i));
    EXPECT_EQ(read_n(early, 24), numbered(0) + numbered(1) + numbered(2));

    // Units keep coming while the second client joins: whatever it gets from
    // the backlog it must not get again live, and nothing may be missing.
    constexpr int total = 3000;
    std::atomic<bool> go{false};
    std::thread writer([&] {
        for (int i = 3; i < total; ++i) {
            if (i == 200) go = true;
            ++clock; // one unit a millisecond: everything stays in the backlog
            unit(numbered(i));
            if (i % 50 == 0) std::this_thread::yield();
        }
    });
    while (!go)
        std::this_thread::yield();
    const int late = join("ASFHEAD!");
    writer.join();
    std::string expect;
    for (int i = 0; i < total; ++i)
        expect += numbered(i);
    EXPECT_EQ(read_n(late, expect.size()), expect);
    EXPECT_EQ(read_n(early, expect.size() - 24), expect.substr(24));
    ::close(early);
    ::close(late);
    EXPECT_TRUE(eventually([&] { return left == 2; }));
    EXPECT_EQ(joined, 2);
}

TEST_F(sink_test, a_second_request_gets_a_second_answer_but_no_second_stream_header) {
    header("H");
    const int fd = join("H");
    unit("one");
    EXPECT_EQ(read_n(fd, 3), "one");
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(read_n(fd, response.size()), response);
    unit("two");
    EXPECT_EQ(read_n(fd, 3), "two");
    ::close(fd);
}

TEST_F(sink_test, the_backlog_keeps_about_the_last_five_seconds) {
    header("H");
    // Ten units a second apart, then a late joiner.
    for (int i = 0; i < 10; ++i) {
        clock += 1000;
        unit(numbered(i));
    }
    EXPECT_EQ(sink->backlog_units(), 6u); // units at t-5000 .. t
    EXPECT_EQ(sink->backlog_bytes(), 48u);
    const int fd = join("H");
    std::string expect;
    for (int i = 4; i < 10; ++i)
        expect += numbered(i);
    EXPECT_EQ(read_n(fd, expect.size()), expect);
    // A long pause: the next unit alone is recent; tiny units (rate below a
    // byte a millisecond) are trimmed the same way.
    clock += 60000;
    unit("x");
    EXPECT_EQ(sink->backlog_units(), 1u);
    ::close(fd);
}

TEST_F(sink_test, a_joiner_starts_at_the_newest_key_unit_and_never_on_a_stale_backlog) {
    header("H");
    // Key units every fourth, 100 ms apart: the joiner begins at K8, in the
    // form for joiners (J8).
    for (int i = 0; i < 11; ++i) {
        clock += 100;
        const std::string n = std::to_string(i);
        unit((i % 4 == 0 ? "K" : "d") + n, i % 4 == 0, i % 4 == 0 ? "J" + n : "");
    }
    const int fd = join("H");
    EXPECT_EQ(read_n(fd, 7), "J8d9d10");
    unit("d11", false);
    EXPECT_EQ(read_n(fd, 3), "d11");
    ::close(fd);

    // No clients for twelve seconds: what is held is stale, and a new
    // client waits for the next key unit after the header.
    clock += 12000;
    const int next = join("H");
    unit("d12", false);
    unit("K13", true, "J13");
    unit("d14", false);
    EXPECT_EQ(read_n(next, 6), "J13d14");
    ::close(next);
}

TEST_F(sink_test, a_client_that_does_not_read_is_ended_with_bounded_memory) {
    sink->close();
    sink->listener().set_queue_limit(512 * 1024);
    port = tq_test::free_port();
    sink->open(&port);
    header("H");
    const int fd = tq_test::connect_to(static_cast<uint16_t>(port));
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(eventually([&] { return joined == 1; }));
    const std::string big(64 * 1024, 'v');
    // 64 MiB offered to a client that reads nothing.
    for (int i = 0; i < 1024 && left == 0; ++i)
        unit(big);
    EXPECT_TRUE(eventually([&] { return left == 1; }));
    ::close(fd);
}

TEST_F(sink_test, writer_interface_answers) {
    EXPECT_EQ(sink->set_network_protocol(0), automation::s_ok);
    EXPECT_EQ(sink->set_network_protocol(1), automation::e_notimpl);
    EXPECT_EQ(sink->get_maximum_clients(), 50u);
    sink->set_host_url(L"http://127.0.0.1");
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port);
    std::vector<wchar_t> buf(url.size() + 1, L'#');
    uint32_t len = static_cast<uint32_t>(url.size());
    EXPECT_EQ(sink->get_host_url(buf.data(), &len), ns_e_buffer_too_small);
    EXPECT_EQ(len, url.size() + 1);
    EXPECT_EQ(buf[0], L'#');
    EXPECT_EQ(sink->get_host_url(buf.data(), &len), automation::s_ok);
    EXPECT_EQ(std::wstring(buf.data()), url);

    cl::sh_ptr<network_sink> other(new network_sink);
    uint32_t zero = 0;
    EXPECT_EQ(other->open(&zero), automation::s_ok);
    EXPECT_EQ(zero, 8000u);
    other->close();

    EXPECT_FALSE(sink->wait_header(1));
    sink->on_header(nullptr);
    EXPECT_TRUE(sink->wait_header(1));
}

TEST(sample_buffer_test, length_and_properties) {
    sample_buffer b(16);
    EXPECT_EQ(b.set_length(17), automation::e_invalidarg);
    EXPECT_EQ(b.set_length(8), automation::s_ok);
    EXPECT_EQ(b.get_length(), 8u);
    EXPECT_EQ(b.get_max_length(), 16u);

    const automation::guid a{1, 2, 3, {}}, c{9, 9, 9, {}};
    uint32_t size = 4;
    EXPECT_EQ(b.get_property(a, nullptr, &size), automation::e_fail);
    b.set_property(a, "abcd", 4);
    b.set_property(a, "zz", 2);
    EXPECT_EQ(b.get_property(c, nullptr, &size), ns_e_invalid_request);
    char out[8] = {};
    size = 3;
    EXPECT_EQ(b.get_property(a, out, &size), automation::e_pointer);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(out[0], 0);
    size = 8;
    EXPECT_EQ(b.get_property(a, out, &size), automation::s_ok);
    EXPECT_EQ(std::string(out, size), "abcd");
    EXPECT_EQ(b.get_property_count(), 2u);
    automation::guid got;
    size = 8;
    EXPECT_EQ(b.get_property_by_index(1, &got, out, &size), automation::s_ok);
    EXPECT_TRUE(got == a);
    EXPECT_EQ(std::string(out, size), "zz");
    EXPECT_EQ(b.get_property_by_index(2, &got, out, &size), automation::e_fail);
}
