// IP address values with their text forms, networks written as an address with
// a prefix length, the DNS existence check of mail domains and the syntax check
// of mail address lists.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cl {

// Four bytes in network order: bytes[0] is the first number of the dotted text.
struct ipv4_addr {
    std::array<uint8_t, 4> bytes{};

    constexpr ipv4_addr() = default;
    constexpr ipv4_addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) : bytes{a, b, c, d} {}
    friend bool operator==(const ipv4_addr&, const ipv4_addr&) = default;
};

// Sixteen bytes: eight 16-bit groups, each stored big-endian.
struct ipv6_addr {
    std::array<uint8_t, 16> bytes{};

    constexpr ipv6_addr() = default;
    constexpr ipv6_addr(uint16_t g0, uint16_t g1, uint16_t g2, uint16_t g3, uint16_t g4,
                        uint16_t g5, uint16_t g6, uint16_t g7) {
        const uint16_t groups[8] = {g0, g1, g2, g3, g4, g5, g6, g7};
        for (size_t i = 0; i < 8; ++i)
            set_group(i, groups[i]);
    }
    // The first half only (a prefix such as fe80::); the rest is zero.
    constexpr ipv6_addr(uint16_t g0, uint16_t g1, uint16_t g2, uint16_t g3)
        : ipv6_addr(g0, g1, g2, g3, 0, 0, 0, 0) {}

    constexpr uint16_t group(size_t i) const {
        return uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    constexpr void set_group(size_t i, uint16_t value) {
        bytes[2 * i] = uint8_t(value >> 8);
        bytes[2 * i + 1] = uint8_t(value);
    }
    friend bool operator==(const ipv6_addr&, const ipv6_addr&) = default;
};

// Sixteen address bytes and a prefix length 0..128; bytes beyond the prefix are zero.
struct ip_network {
    std::array<uint8_t, 16> bytes{};
    int prefix = 0;
    friend bool operator==(const ip_network&, const ip_network&) = default;
};

// Where the parts of a text between separator characters start and how long
// they are, up to max_parts parts (at most 8). Parts beyond that are not
// recorded, but dropped() tells that there were some.
class ipv4_text_parts {
  public:
    static constexpr size_t capacity = 8;

    ipv4_text_parts(std::wstring_view text, wchar_t separator, size_t max_parts);

    size_t count() const { return count_; }
    size_t start(size_t i) const { return start_[i]; }
    size_t length(size_t i) const { return length_[i]; }
    std::wstring_view part(size_t i) const { return text_.substr(start_[i], length_[i]); }
    bool dropped() const { return dropped_; }

  private:
    std::wstring_view text_;
    size_t count_ = 0;
    size_t start_[capacity] = {};
    size_t length_[capacity] = {};
    bool dropped_ = false;
};

// "a.b.c.d" with the four bytes in decimal.
std::wstring ipv4_to_string(const ipv4_addr& address);

// Dotted decimal text with one to four parts; missing trailing parts are 0
// ("10" is 10.0.0.0, "192.168.1" is 192.168.1.0). Blanks around a part are
// allowed. Anything else, a number above 255 included, is no address.
std::optional<ipv4_addr> ipv4_parse(std::wstring_view text);

// An IPv6 address in colon-hexadecimal text (at most one "::"), optionally
// followed by "/" and a prefix length 0..128 (128 without one). Blanks around
// the whole text are allowed. Fills out (bytes beyond the prefix cleared) and
// returns the prefix length, or -1 with out cleared when the text is no network.
int ip_network_parse(std::wstring_view text, std::array<uint8_t, 16>& out);
std::optional<ip_network> ip_network_parse(std::wstring_view text);

// DNS status values, as the Windows DNS API reports them.
namespace dns_status {
inline constexpr uint32_t success = 0;
inline constexpr uint32_t invalid_name = 123;
inline constexpr uint32_t timeout = 1460;
inline constexpr uint32_t format_error = 9001;
inline constexpr uint32_t server_failure = 9002;
inline constexpr uint32_t name_error = 9003;
inline constexpr uint32_t not_implemented = 9004;
inline constexpr uint32_t refused = 9005;
inline constexpr uint32_t no_records = 9501;
} // namespace dns_status

inline constexpr uint16_t dns_type_soa = 6;
inline constexpr uint16_t dns_type_mx = 15;

// Asks the DNS whether records of a type exist for a name. The system resolver
// (libresolv) serves by default; tests put a fake in its place.
class dns_resolver {
  public:
    virtual ~dns_resolver() = default;
    // A dns_status value: success when at least one record of the type exists.
    virtual uint32_t query(const std::string& name, uint16_t type) = 0;
};

// The system resolver (libresolv). By default it asks the name servers of the
// system's resolver configuration; given an IPv4 name server (address and port)
// it asks that one alone, as tests do with a server on the loopback address.
class system_dns_resolver : public dns_resolver {
  public:
    system_dns_resolver() = default;
    system_dns_resolver(const ipv4_addr& server, uint16_t port) : server_(server), port_(port) {}
    uint32_t query(const std::string& name, uint16_t type) override;

  private:
    std::optional<ipv4_addr> server_;
    uint16_t port_ = 53;
};

// Replaces the resolver that dns_check_domain uses and returns the previous one;
// null restores the system resolver.
std::shared_ptr<dns_resolver> set_dns_resolver(std::shared_ptr<dns_resolver> resolver);

// Whether a mail domain exists: its MX records, or its SOA record when it has
// no MX records. Returns the status of the last query (0 when records exist);
// a name that cannot be a DNS name gives dns_status::invalid_name unasked.
uint32_t dns_check_domain(std::wstring_view name);

// Checks a list of mail addresses (with display names, routes and groups).
// 0 valid, -1 no match, -2 a DNS time-out, else the DNS status of a domain that
// failed. With check_dns every captured domain is looked up.
int is_valid_mail_addr_syntax(std::wstring_view list, bool check_dns);

} // namespace cl
