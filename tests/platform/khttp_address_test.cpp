#include "platform/khttp/khttp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace khttp;

// The peer text of a connection, made without the system's printf: the same
// text inet_ntop and the decimal port give, for the extremes of each byte.
TEST(KhttpAddress, NumericTexts) {
    struct row {
        const char* address;
        uint16_t port;
    };
    for (const row& t : {row{"0.0.0.0", 0}, row{"255.255.255.255", 65535}, row{"10.0.100.9", 80},
                         row{"127.0.0.1", 4000}, row{"1.22.199.250", 9}, row{"99.100.101.5", 10}}) {
        sockaddr_storage a{};
        auto& in = reinterpret_cast<sockaddr_in&>(a);
        in.sin_family = AF_INET;
        in.sin_port = htons(t.port);
        ASSERT_EQ(::inet_pton(AF_INET, t.address, &in.sin_addr), 1);
        std::string host, port;
        ASSERT_EQ(numeric_address(a, host, port), 0);
        EXPECT_EQ(host, t.address);
        EXPECT_EQ(port, std::to_string(t.port));
    }
    sockaddr_storage a6{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a6);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(8080);
    ASSERT_EQ(::inet_pton(AF_INET6, "::1", &in6.sin6_addr), 1);
    std::string host, port;
    ASSERT_EQ(numeric_address(a6, host, port), 0);
    EXPECT_EQ(host + " " + port, "::1 8080");
    sockaddr_storage none{};
    none.ss_family = AF_UNIX;
    EXPECT_EQ(numeric_address(none, host, port), EAI_FAMILY);
}
