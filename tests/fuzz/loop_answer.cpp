// An upstream's answer to the event-loop road of the HTTP client, sent in
// pieces the fuzzer chooses, each read before the next is sent; the head is
// then taken as the proxy takes it and translated into the answer's headers.
// Every field handed over lies in the head, the head is bytes the upstream
// sent, and no more body comes out than went in.
#include "platform/http_client/http_client.h"
#include "server/proxy.h"
#include "server/response_headers.h"
#include "tests/fuzz/fuzz_support.h"

#include <boost/asio/io_context.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

struct upstream {
    int listener = -1;
    uint16_t port = 0;
    upstream() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        FUZZ_CHECK(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        FUZZ_CHECK(::listen(listener, 16) == 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
};

upstream& the_upstream() {
    static upstream u;
    return u;
}

std::shared_ptr<http_client::session> the_session() {
    static std::shared_ptr<http_client::session> s = [] {
        uint32_t err = 0;
        auto s = http_client::session::open("fuzz", http_client::access_type_no_proxy, err);
        FUZZ_CHECK(s && err == 0);
        http_client::timeouts t;
        t.connect_ms = 2000;
        t.send_ms = 2000;
        t.receive_ms = 2000;
        s->set_timeouts(t);
        return s;
    }();
    return s;
}

bool is_token_char(unsigned char c) {
    return c > 0x20 && c < 0x7F && !std::strchr("\"(),/:;<=>?@[\\]{}", c);
}

// The bytes sent with each fold made spaces, as the head's own are; the
// empty line that ends a head is no fold, whatever follows it.
std::string unfolded(std::string s) {
    for (std::size_t i = s.find("\r\n"); i != std::string::npos && i + 2 < s.size();
         i = s.find("\r\n", i + 2))
        if ((s[i + 2] == ' ' || s[i + 2] == '\t') && !(i >= 2 && s.compare(i - 2, 2, "\r\n") == 0))
            s[i] = s[i + 1] = ' ';
    return s;
}

// Runs what is ready on the loop until nothing more is.
void settle(boost::asio::io_context& loop) {
    for (int i = 0; i < 64; ++i) {
        if (loop.poll() == 0) return;
        loop.restart();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view input = fuzz::as_text(data, size);
    const unsigned how = fuzz::take_choice(input, 4);
    const bool head_only = how & 1;
    const bool keep_alive = how & 2;
    const std::vector<std::string_view> pieces = fuzz::cut_in_pieces(input);
    std::string sent;
    for (auto p : pieces)
        sent += p;

    upstream& up = the_upstream();
    boost::asio::io_context loop(1);
    http_client::connection c(the_session(), "127.0.0.1", up.port);
    auto r = std::make_unique<http_client::request>(c, head_only ? "HEAD" : "GET", "/x", "",
                                                    std::vector<std::string>{}, 0);
    if (!keep_alive) r->disable_keep_alive();
    bool head_taken = false;
    std::string body;
    r->drive_on_loop(loop, [&] {
        if (r->head_arrived() && !head_taken && r->receive_response() == 0) {
            head_taken = true;
            const std::string& head = r->raw_headers();
            // A folded line reaches the head with its fold made spaces.
            FUZZ_CHECK(sent.find(head) != std::string::npos ||
                       unfolded(sent).find(head) != std::string::npos);
            for (const auto& [name, value] : r->header_fields()) {
                FUZZ_CHECK(name.data() >= head.data() &&
                           name.data() + name.size() <= head.data() + head.size());
                FUZZ_CHECK(value.data() >= head.data() &&
                           value.data() + value.size() <= head.data() + head.size());
                if (r->fields_checked()) {
                    FUZZ_CHECK(!name.empty());
                    for (unsigned char ch : name)
                        FUZZ_CHECK(is_token_char(ch));
                    for (unsigned char ch : value)
                        FUZZ_CHECK(ch == '\t' || (ch >= 0x20 && ch != 0x7F));
                }
            }
            response_headers headers;
            translate_proxy_headers(r->header_fields(), headers, r->fields_checked(),
                                    r->header_numbers());
            for (const auto& f : headers.fields()) {
                FUZZ_CHECK(!f.name.empty());
                for (unsigned char ch : f.value)
                    FUZZ_CHECK(ch != '\r' && ch != '\n' && ch != 0);
            }
        }
        char buf[4096];
        for (int k = 0; k < 1000; ++k) {
            const std::size_t n = r->take_data(buf, sizeof buf);
            if (n == 0) break;
            body.append(buf, n);
        }
    });
    if (r->send("", 0) != 0) return 0;

    // The upstream takes the connection and reads the request.
    int fd = -1;
    for (int i = 0; i < 2000 && fd < 0; ++i) {
        settle(loop);
        fd = ::accept4(up.listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            pollfd p{up.listener, POLLIN, 0};
            ::poll(&p, 1, 1);
        }
    }
    // A machine too busy to connect within two seconds is no finding.
    if (fd < 0) return 0;
    settle(loop);
    char request_head[4096];
    (void)::recv(fd, request_head, sizeof request_head, MSG_DONTWAIT);

    // Each piece is read on its own before the next goes out.
    for (const std::string_view p : pieces) {
        if (r->ended()) break;
        if (::send(fd, p.data(), p.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(p.size())) break;
        settle(loop);
    }
    ::shutdown(fd, SHUT_WR);
    for (int i = 0; i < 200 && !r->ended(); ++i) {
        settle(loop);
        if (!r->ended()) loop.run_for(std::chrono::milliseconds(1));
        loop.restart();
    }
    FUZZ_CHECK(body.size() <= sent.size());
    r.reset();
    settle(loop);
    ::close(fd);
    return 0;
}
