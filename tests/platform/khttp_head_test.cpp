// The request records a connection builds head after head from buffers it
// keeps: each request reads as if it had come alone on a new connection,
// however its bytes arrive and whatever the request before it held.
#include "platform/khttp/khttp.h"
#include "platform/khttp/url.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace khttp;

namespace {

using tq_test::connect_to;
using tq_test::free_port;

// Everything a handler can read of a request, one item a line.
std::string describe(const request& r) {
    std::string out = "verb=" + std::to_string(static_cast<int>(r.verb)) + " " + r.unknown_verb +
                      " " + std::to_string(r.version_major) + "." +
                      std::to_string(r.version_minor) + "\nraw=" + r.raw_url +
                      "\npath=" + wide_to_utf8(r.abs_path) + "\nquery=" + r.query +
                      "\nhost=" + wide_to_utf8(r.host) + "\nflags=" + std::to_string(r.flags) +
                      " mark=" + std::to_string(r.handler_mark) + "\n";
    for (std::size_t i = 0; i < request_header_count; ++i)
        if (!r.known_headers[i].empty())
            out += std::string(request_header_name(i)) + "=[" + r.known_headers[i] + "]\n";
    for (const auto& [name, value] : r.unknown_headers)
        out += "+" + name + "=[" + value + "]\n";
    return out;
}

bool send_all(int fd, const std::string& s) {
    return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

// Reads until `answers` answers have begun (a body left behind holds no
// status line, so the next call counts right).
bool read_answers(int fd, int answers) {
    std::string got;
    char buf[65536];
    for (int i = 0; i < 10000; ++i) {
        std::size_t seen = 0;
        for (std::size_t at = got.find("HTTP/1.1 200 "); at != std::string::npos;
             at = got.find("HTTP/1.1 200 ", at + 1))
            ++seen;
        if (seen >= static_cast<std::size_t>(answers)) return true;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return false;
}

std::string status_of(int fd) {
    char buf[64] = {};
    ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
    return n > 12 ? std::string(buf + 9, 3) : std::string();
}

class KhttpHeads : public ::testing::Test {
  protected:
    void SetUp() override {
        service_options o;
        o.listen_address = "127.0.0.1";
        o.io_threads = 1;
        configure(o);
        ASSERT_EQ(initialize(initialize_server | initialize_config), 0u);
        ASSERT_EQ(create_request_queue(queue_), 0u);
        // Answered on the loop, as the server answers quick requests; the
        // handler scribbles on its mark, and keeps the requests for /keep.
        set_request_handler(queue_, [this](const std::shared_ptr<request>& r) {
            if (to_queue_) return false;
            {
                std::lock_guard<std::mutex> g(m_);
                seen_.push_back(describe(*r));
                if (r->abs_path == L"/keep") kept_.push_back(r);
            }
            r->handler_mark = 7;
            answer(r->request_id);
            return true;
        });
        for (int i = 0; i < 20 && port_ == 0; ++i) {
            const uint16_t p = free_port();
            if (add_url(queue_, L"http://+:" + std::to_wstring(p) + L"/") == 0) port_ = p;
        }
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        close_request_queue(queue_);
        terminate(initialize_server | initialize_config);
    }
    void answer(uint64_t id) {
        response a;
        a.known_headers[header_content_length] = "2";
        send_response(queue_, id, send_flag_more_data, a);
        send_body(queue_, id, 0, "ok", 2);
    }
    // Sends every head pipelined, then one by one, on one connection; true
    // when each got its answer.
    bool run_heads();
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(m_);
        return std::move(seen_);
    }

    queue_handle queue_;
    std::atomic<bool> to_queue_{false};
    uint16_t port_ = 0;
    std::mutex m_;
    std::vector<std::string> seen_;
    std::vector<std::shared_ptr<request>> kept_;
};

struct head_case {
    const char* bytes;
    const char* record;
};

// Differing in every part, so that anything one leaves behind shows in the next.
const head_case heads[] = {
    {"GET /a/b?x=1 HTTP/1.1\r\nHost: One.Example:8080\r\nX-A: 1\r\nX-B: two\r\n"
     "X-C: a value well beyond any small-string room\r\nAccept: */*\r\nCookie: a=1\r\n"
     "Cookie: b=2\r\n\r\n",
     "verb=4  1.1\nraw=/a/b?x=1\npath=/a/b\nquery=x=1\nhost=one.example\nflags=0 mark=0\n"
     "Accept=[*/*]\nCookie=[a=1; b=2]\nHost=[One.Example:8080]\n+X-A=[1]\n+X-B=[two]\n"
     "+X-C=[a value well beyond any small-string room]\n"},
    {"MKCALENDAR /c%20d/../%C3%A9 HTTP/1.0\r\nX-B: 2\r\nConnection: keep-alive\r\n\r\n",
     "verb=1 MKCALENDAR 1.0\nraw=/c%20d/../%C3%A9\npath=/\xC3\xA9\nquery=\nhost=\n"
     "flags=0 mark=0\nConnection=[keep-alive]\n+X-B=[2]\n"},
    {"HEAD /keep HTTP/1.1\r\nHost: h\r\nAccept: a\r\nAccept: b\r\n\r\n",
     "verb=5  1.1\nraw=/keep\npath=/keep\nquery=\nhost=h\nflags=0 mark=0\nAccept=[a, b]\n"
     "Host=[h]\n"},
    {"POST http://Abs.Host/p/./q/?r HTTP/1.1\r\nHost: other\r\nX-Fold: a\r\n  b \r\n"
     "X-Odd:\t spaced  value \t\r\nX-Empty:\r\nContent-Length: 0\r\n\r\n",
     "verb=6  1.1\nraw=http://Abs.Host/p/./q/?r\npath=/p/q/\nquery=r\nhost=abs.host\n"
     "flags=0 mark=0\nContent-Length=[0]\nHost=[other]\n+X-Fold=[a b]\n"
     "+X-Odd=[spaced  value]\n+X-Empty=[]\n"},
};

} // namespace

bool KhttpHeads::run_heads() {
    std::string all;
    for (const auto& h : heads)
        all += h.bytes;
    const int fd = connect_to(port_);
    if (fd < 0) return false;
    // Pipelined: every head in one piece of input.
    bool ok = send_all(fd, all) && read_answers(fd, 4);
    // One by one on the same connection.
    for (const auto& h : heads)
        ok = ok && send_all(fd, h.bytes) && read_answers(fd, 1);
    ::close(fd);
    return ok;
}

TEST_F(KhttpHeads, EachRequestReadsAsIfAlonePipelinedOrOneByOne) {
    ASSERT_TRUE(run_heads());
    const auto seen = take();
    ASSERT_EQ(seen.size(), 8u);
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], heads[i % 4].record) << "request " << i;
    // What the handler kept stays as it was while later requests came.
    std::lock_guard<std::mutex> g(m_);
    ASSERT_EQ(kept_.size(), 2u);
    for (const auto& k : kept_) {
        k->handler_mark = 0;
        EXPECT_EQ(describe(*k), heads[2].record);
    }
}

TEST_F(KhttpHeads, QueuedRequestsReadAsIfAloneToo) {
    to_queue_ = true;
    std::thread receiver([this] {
        // One record for every receive, as a receive loop keeps it.
        request r;
        for (std::size_t i = 0; i < 2 * std::size(heads); ++i) {
            if (receive_request(queue_, 0, 0, r) != 0) return;
            {
                std::lock_guard<std::mutex> g(m_);
                seen_.push_back(describe(r));
            }
            r.handler_mark = 7;
            answer(r.request_id);
        }
    });
    EXPECT_TRUE(run_heads());
    receiver.join();
    const auto seen = take();
    ASSERT_EQ(seen.size(), 8u);
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], heads[i % 4].record) << "request " << i;
}

TEST_F(KhttpHeads, AHeadSplitAtAnyByteReadsTheSame) {
    const std::string head = heads[3].bytes;
    const int fd = connect_to(port_);
    ASSERT_GE(fd, 0);
    for (std::size_t cut = 1; cut < head.size(); ++cut) {
        ASSERT_TRUE(send_all(fd, head.substr(0, cut)));
        // Gives the loop a chance to read the first part on its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(send_all(fd, head.substr(cut)));
        ASSERT_TRUE(read_answers(fd, 1)) << "cut at " << cut;
    }
    ::close(fd);
    const auto seen = take();
    ASSERT_EQ(seen.size(), head.size() - 1);
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], heads[3].record) << "cut at " << i + 1;
}

TEST_F(KhttpHeads, FieldsUpTo64KiBAreTakenLongerOnesRefused) {
    const struct {
        std::size_t name, value;
        const char* status;
    } cases[] = {
        {5, 65533, "200"},
        {5, 65534, "431"},
        {65533, 1, "200"},
        {65534, 1, "431"},
    };
    for (const auto& c : cases) {
        const int fd = connect_to(port_);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, "GET /big HTTP/1.1\r\nHost: h\r\n" + std::string(c.name, 'N') +
                                     ": " + std::string(c.value, 'v') + "\r\n\r\n"));
        EXPECT_EQ(status_of(fd), c.status) << c.name << " " << c.value;
        ::close(fd);
    }
}
