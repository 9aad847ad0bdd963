// The numeric texts of an address.
#include "platform/khttp/khttp.h"

#include <charconv>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

namespace khttp {

// EAI_FAMILY for an address that is neither IPv4 nor IPv6. The text is made
// here rather than by getnameinfo, which costs as much as the rest of a
// small request's set-up.
int numeric_address(const sockaddr_storage& a, std::string& host, std::string& port) {
    char h[INET6_ADDRSTRLEN + IF_NAMESIZE + 2];
    unsigned p = 0;
    if (a.ss_family == AF_INET) {
        // Four decimal bytes, as inet_ntop writes them; its printf costs more
        // than the rest of this function.
        const auto& in = reinterpret_cast<const sockaddr_in&>(a);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&in.sin_addr);
        std::size_t n = 0;
        for (int i = 0; i < 4; ++i) {
            const unsigned v = bytes[i];
            if (i != 0) h[n++] = '.';
            if (v >= 100) h[n++] = static_cast<char>('0' + v / 100);
            if (v >= 10) h[n++] = static_cast<char>('0' + v / 10 % 10);
            h[n++] = static_cast<char>('0' + v % 10);
        }
        host.assign(h, n);
        p = ntohs(in.sin_port);
        char digits[8];
        const auto end = std::to_chars(digits, digits + sizeof digits, p).ptr;
        port.assign(digits, end);
        return 0;
    }
    if (a.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
        if (in6.sin6_scope_id != 0) {
            // Scoped addresses carry their interface: leave them to the library.
            char s[32];
            const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof in6, h,
                                         sizeof h, s, sizeof s, NI_NUMERICHOST | NI_NUMERICSERV);
            if (rc != 0) return rc;
            host = h;
            port = s;
            return 0;
        }
        if (!::inet_ntop(AF_INET6, &in6.sin6_addr, h, sizeof h)) return EAI_FAMILY;
        p = ntohs(in6.sin6_port);
    } else {
        return EAI_FAMILY;
    }
    host.assign(h);
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, p).ptr;
    port.assign(digits, end);
    return 0;
}

} // namespace khttp
