#include "core/ip_addr.h"
#include "core/text.h"

#include <boost/regex.hpp>

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace cl {
namespace {

// Small local text helpers; the class library's text utilities take over later.
// UTF-8 of wide text; false for a value that is no Unicode scalar value.
bool to_utf8(std::wstring_view text, std::string& out) {
    out.clear();
    for (wchar_t wc : text) {
        const uint32_t c = static_cast<uint32_t>(wc);
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return true;
}

// A decimal number of at most max_digits digits and nothing else.
std::optional<unsigned> parse_decimal(std::wstring_view text, size_t max_digits) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    unsigned value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + unsigned(c - L'0');
    }
    return value;
}

// One to four hexadecimal digits and nothing else.
std::optional<uint16_t> parse_group(std::wstring_view text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (wchar_t c : text) {
        unsigned digit;
        if (c >= L'0' && c <= L'9')
            digit = unsigned(c - L'0');
        else if (c >= L'a' && c <= L'f')
            digit = unsigned(c - L'a' + 10);
        else if (c >= L'A' && c <= L'F')
            digit = unsigned(c - L'A' + 10);
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    return uint16_t(value);
}

// The groups of one side of "::" (or of a whole address without it) appended
// to groups; false when a group is malformed or there are too many.
bool parse_groups(std::wstring_view text, uint16_t* groups, size_t& count, size_t max_count) {
    if (text.empty()) return true;
    const ipv4_text_parts parts(text, L':', ipv4_text_parts::capacity);
    if (parts.dropped() || count + parts.count() > max_count) return false;
    for (size_t i = 0; i < parts.count(); ++i) {
        const auto group = parse_group(parts.part(i));
        if (!group) return false;
        groups[count++] = *group;
    }
    return true;
}

// Mask of the last byte a prefix touches, by prefix mod 8.
constexpr uint8_t last_byte_mask[8] = {0xFF, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

bool is_valid_dns_name(const std::string& name) {
    // 253 octets of text, or 254 with the root's dot; labels 1..63 octets.
    if (name.empty() || name.size() > 254 || (name.size() == 254 && name.back() != '.'))
        return false;
    size_t label = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c <= 0x20 || c == 0x7F) return false;
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (++label > 63) {
            return false;
        }
    }
    return true;
}

std::mutex resolver_lock;
std::shared_ptr<dns_resolver>& resolver_slot() {
    static std::shared_ptr<dns_resolver> slot = std::make_shared<system_dns_resolver>();
    return slot;
}

std::shared_ptr<dns_resolver> current_resolver() {
    std::lock_guard<std::mutex> hold(resolver_lock);
    return resolver_slot();
}

// The mail address list expression, composed once. Every capture group holds a
// domain; everything else is a non-capturing group. Atoms are atomic groups:
// the characters that may follow an atom never belong to one, so this changes
// no verdict and keeps runs of words from being split in every possible way.
std::wstring mail_list_expression() {
    const std::wstring atom = LR"((?>[\w!#$%&'*+\-/=?^`{|}~]+))";
    const std::wstring quoted = LR"("(?:\\"|[^"])*")";
    const std::wstring word = L"(?:" + atom + L"|" + quoted + L")";
    const std::wstring local_part = word + L"(?:\\." + word + L")*";
    const std::wstring domain = L"(" + atom + L"(?:\\." + atom + L")*)";
    const std::wstring address = local_part + L"@" + domain;
    const std::wstring phrase = L"(?:" + word + L"\\s*)+";
    const std::wstring route = L"(?:@" + domain + L"\\s*)+:";
    const std::wstring name_address = phrase + L"<(?:" + route + L")?" + address + L">";
    const std::wstring mailbox = L"(?:" + address + L"|" + name_address + L")";
    const std::wstring group =
        phrase + L":\\s*(?:" + mailbox + L"(?:\\s*,\\s*" + mailbox + L")*)?\\s*;";
    const std::wstring item = L"(?:" + mailbox + L"|" + group + L")";
    return item + L"(?:\\s*,\\s*" + item + L")*";
}

const boost::wregex& mail_list_regex() {
    static const boost::wregex expression(mail_list_expression(), boost::regex::perl);
    return expression;
}

} // namespace

ipv4_text_parts::ipv4_text_parts(std::wstring_view text, wchar_t separator, size_t max_parts)
    : text_(text) {
    if (max_parts > capacity) throw std::invalid_argument("ipv4_text_parts: too many parts");
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find(separator, begin);
        const size_t stop = end == std::wstring_view::npos ? text.size() : end;
        if (count_ < max_parts) {
            start_[count_] = begin;
            length_[count_] = stop - begin;
            ++count_;
        } else {
            dropped_ = true;
        }
        if (end == std::wstring_view::npos) break;
        begin = end + 1;
    }
}

std::wstring ipv4_to_string(const ipv4_addr& address) {
    std::wstring text;
    for (size_t i = 0; i < 4; ++i) {
        if (i != 0) text += L'.';
        text += std::to_wstring(address.bytes[i]);
    }
    return text;
}

std::optional<ipv4_addr> ipv4_parse(std::wstring_view text) {
    const ipv4_text_parts parts(text, L'.', 4);
    if (parts.dropped()) return std::nullopt;
    ipv4_addr address;
    for (size_t i = 0; i < parts.count(); ++i) {
        const auto value = parse_decimal(cl::trimmed_w(parts.part(i)), 3);
        if (!value || *value > 255) return std::nullopt;
        address.bytes[i] = uint8_t(*value);
    }
    return address;
}

int ip_network_parse(std::wstring_view text, std::array<uint8_t, 16>& out) {
    out.fill(0);
    text = cl::trimmed_w(text);

    int prefix = 128;
    if (const size_t slash = text.find(L'/'); slash != std::wstring_view::npos) {
        const auto value = parse_decimal(text.substr(slash + 1), 3);
        if (!value || *value > 128) return -1;
        prefix = int(*value);
        text = text.substr(0, slash);
    }

    uint16_t groups[8] = {};
    if (const size_t gap = text.find(L"::"); gap != std::wstring_view::npos) {
        const std::wstring_view head = text.substr(0, gap);
        const std::wstring_view tail = text.substr(gap + 2);
        // Only one gap, and no stray colon beside it (":::" or "1:::2").
        if (tail.find(L"::") != std::wstring_view::npos) return -1;
        if (!tail.empty() && tail.front() == L':') return -1;
        uint16_t head_groups[8], tail_groups[8];
        size_t head_count = 0, tail_count = 0;
        if (!parse_groups(head, head_groups, head_count, 7)) return -1;
        if (!parse_groups(tail, tail_groups, tail_count, 7)) return -1;
        if (head_count + tail_count > 7) return -1;
        std::copy_n(head_groups, head_count, groups);
        std::copy_n(tail_groups, tail_count, groups + 8 - tail_count);
    } else {
        size_t count = 0;
        if (!parse_groups(text, groups, count, 8) || count != 8) return -1;
    }

    const size_t written = size_t(prefix + 7) / 8;
    for (size_t i = 0; i < written; ++i)
        out[i] = uint8_t(i % 2 == 0 ? groups[i / 2] >> 8 : groups[i / 2]);
    if (written != 0) out[written - 1] &= last_byte_mask[prefix % 8];
    return prefix;
}

std::optional<ip_network> ip_network_parse(std::wstring_view text) {
    ip_network network;
    network.prefix = ip_network_parse(text, network.bytes);
    if (network.prefix < 0) return std::nullopt;
    return network;
}

// One resolver state per query, so queries may run on any number of threads at
// once.
uint32_t system_dns_resolver::query(const std::string& name, uint16_t type) {
    struct __res_state state;
    std::memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0) return dns_status::server_failure;
    if (server_) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        std::memcpy(&address.sin_addr, server_->bytes.data(), 4);
        state.nsaddr_list[0] = address;
        state.nscount = 1;
    }
    unsigned char answer[NS_PACKETSZ * 8];
    std::memset(answer, 0, NS_HFIXEDSZ);
    const int length = res_nquery(&state, name.c_str(), ns_c_in, type, answer, sizeof answer);
    uint32_t status;
    if (length < 0) {
        switch (state.res_h_errno) {
        case HOST_NOT_FOUND:
            status = dns_status::name_error;
            break;
        case NO_DATA:
            status = dns_status::no_records;
            break;
        case TRY_AGAIN:
            // Also reported when the servers answered with a failure code; the
            // last such answer is left in the buffer, a time-out leaves none.
            status = (answer[2] & 0x80) != 0 ? dns_status::server_failure : dns_status::timeout;
            break;
        default:
            status = dns_status::server_failure;
            break;
        }
    } else if (length < NS_HFIXEDSZ) {
        status = dns_status::format_error;
    } else {
        const unsigned rcode = answer[3] & 0x0F;
        const unsigned answers = unsigned(answer[6]) << 8 | answer[7];
        switch (rcode) {
        case ns_r_noerror:
            status = answers != 0 ? dns_status::success : dns_status::no_records;
            break;
        case ns_r_formerr:
            status = dns_status::format_error;
            break;
        case ns_r_nxdomain:
            status = dns_status::name_error;
            break;
        case ns_r_notimpl:
            status = dns_status::not_implemented;
            break;
        case ns_r_refused:
            status = dns_status::refused;
            break;
        default:
            status = dns_status::server_failure;
            break;
        }
    }
    res_nclose(&state);
    return status;
}

std::shared_ptr<dns_resolver> set_dns_resolver(std::shared_ptr<dns_resolver> resolver) {
    if (!resolver) resolver = std::make_shared<system_dns_resolver>();
    std::lock_guard<std::mutex> hold(resolver_lock);
    resolver_slot().swap(resolver);
    return resolver;
}

uint32_t dns_check_domain(std::wstring_view name) {
    std::string narrow;
    if (!to_utf8(name, narrow) || !is_valid_dns_name(narrow)) return dns_status::invalid_name;
    const std::shared_ptr<dns_resolver> resolver = current_resolver();
    uint32_t status = resolver->query(narrow, dns_type_mx);
    if (status == dns_status::no_records) status = resolver->query(narrow, dns_type_soa);
    return status;
}

int is_valid_mail_addr_syntax(std::wstring_view list, bool check_dns) {
    boost::wcmatch match;
    try {
        if (!boost::regex_match(list.data(), list.data() + list.size(), match, mail_list_regex()))
            return -1;
    } catch (const std::runtime_error&) {
        // The matcher gives up (regex_error) on input that would take it too
        // many states or too much of its own stack, such as a huge list: no match.
        return -1;
    }
    if (!check_dns) return 0;
    for (size_t i = 1; i < match.size(); ++i) {
        if (!match[i].matched || match[i].length() == 0) continue;
        const uint32_t status = dns_check_domain(std::wstring_view(
            match[i].first, static_cast<size_t>(match[i].second - match[i].first)));
        if (status == dns_status::timeout) return -2;
        if (status != 0) return static_cast<int>(status);
    }
    return 0;
}

} // namespace cl
