// The libresolv path of the DNS check, against a small DNS server of our own on
// the loopback address.
#include "core/ip_addr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// Answers each query by the name asked: "<rcode>-<answers>.test" answers with
// that response code and that many (MX) records; other names get NXDOMAIN.
class loopback_dns_server {
  public:
    loopback_dns_server() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~loopback_dns_server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }

    uint16_t port() const { return port_; }
    std::vector<std::pair<std::string, int>> asked() {
        std::lock_guard<std::mutex> hold(lock_);
        return asked_;
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            unsigned char query[512];
            sockaddr_in from{};
            socklen_t from_size = sizeof from;
            const ssize_t n = recvfrom(fd_, query, sizeof query, 0,
                                       reinterpret_cast<sockaddr*>(&from), &from_size);
            if (n < 12) continue;
            // The question: labels, then type and class.
            size_t at = 12;
            std::string name;
            while (at < size_t(n) && query[at] != 0 && at + 1 + query[at] <= size_t(n)) {
                if (!name.empty()) name += '.';
                name.append(reinterpret_cast<const char*>(query + at + 1), query[at]);
                at += 1 + query[at];
            }
            if (at + 5 > size_t(n)) continue;
            const int type = query[at + 1] << 8 | query[at + 2];
            const size_t question_end = at + 5;
            {
                std::lock_guard<std::mutex> hold(lock_);
                asked_.emplace_back(name, type);
            }
            int rcode = 3, answers = 0;
            if (name.size() >= 8 && name.compare(name.size() - 5, 5, ".test") == 0 &&
                name[1] == '-') {
                rcode = name[0] - '0';
                answers = name[2] - '0';
            }
            std::vector<unsigned char> reply(query, query + question_end);
            reply[2] = 0x80 | (query[2] & 0x01); // response, recursion desired as asked
            reply[3] = 0x80 | uint8_t(rcode);    // recursion available
            reply[4] = 0;
            reply[5] = 1;
            reply[6] = 0;
            reply[7] = uint8_t(answers);
            for (int i = 8; i < 12; ++i)
                reply[i] = 0;
            for (int i = 0; i < answers; ++i) {
                // Name pointer to the question, type, class IN, TTL 60, an MX
                // record of preference i pointing at the root.
                const unsigned char record[] = {
                    0xC0,       12, uint8_t(type >> 8), uint8_t(type), 0, 1, 0, 0, 0, 60, 0, 3, 0,
                    uint8_t(i), 0};
                reply.insert(reply.end(), std::begin(record), std::end(record));
            }
            sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   from_size);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::pair<std::string, int>> asked_;
};

TEST(system_dns_resolver, maps_answers_onto_dns_status) {
    loopback_dns_server server;
    ASSERT_NE(server.port(), 0);
    cl::system_dns_resolver resolver(cl::ipv4_addr{127, 0, 0, 1}, server.port());

    struct {
        const char* name;
        uint32_t status;
    } const cases[] = {
        {"0-1.test", cl::dns_status::success},
        {"0-2.test", cl::dns_status::success},
        {"0-0.test", cl::dns_status::no_records},
        {"3-0.test", cl::dns_status::name_error},
        {"unknown.test", cl::dns_status::name_error},
        // Failure answers are no time-out.
        {"2-0.test", cl::dns_status::server_failure},
        {"5-0.test", cl::dns_status::server_failure},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolver.query(c.name, cl::dns_type_mx), c.status) << c.name;

    const auto asked = server.asked();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.front(), (std::pair<std::string, int>{"0-1.test", 15}));
}

TEST(system_dns_resolver, check_domain_falls_back_to_soa_through_the_resolver) {
    loopback_dns_server server;
    ASSERT_NE(server.port(), 0);
    auto previous = cl::set_dns_resolver(
        std::make_shared<cl::system_dns_resolver>(cl::ipv4_addr{127, 0, 0, 1}, server.port()));
    EXPECT_EQ(cl::dns_check_domain(L"0-0.test"), cl::dns_status::no_records);
    EXPECT_EQ(cl::dns_check_domain(L"3-0.test"), cl::dns_status::name_error);
    cl::set_dns_resolver(previous);

    const auto asked = server.asked();
    const std::vector<std::pair<std::string, int>> expected = {
        {"0-0.test", 15}, {"0-0.test", 6}, {"3-0.test", 15}};
    EXPECT_EQ(asked, expected);
}

} // namespace
