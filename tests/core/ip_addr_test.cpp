#include "core/ip_addr.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using bytes16 = std::array<uint8_t, 16>;

TEST(ipv4_addr, parse_accepts_dotted_decimal_with_short_forms) {
    struct {
        const wchar_t* text;
        cl::ipv4_addr expected;
    } const cases[] = {
        {L"1.2.3.4", {1, 2, 3, 4}},           {L"255.255.255.255", {255, 255, 255, 255}},
        {L"0.0.0.0", {0, 0, 0, 0}},           {L"10", {10, 0, 0, 0}},
        {L"192.168.1", {192, 168, 1, 0}},     {L" 127 . 0.0 .\t1 ", {127, 0, 0, 1}},
        {L"010.001.000.099", {10, 1, 0, 99}},
    };
    for (const auto& c : cases) {
        const auto address = cl::ipv4_parse(c.text);
        ASSERT_TRUE(address) << c.text;
        EXPECT_EQ(*address, c.expected) << c.text;
    }
}

TEST(ipv4_addr, parse_rejects_wrapping_signs_and_junk) {
    const wchar_t* const rejected[] = {
        L"",          L"256.1.1.1", L"1.2.3.300", L"1.2.3.4.5",        L"1..2.3",     L"1.2.3.",
        L"-1.2.3.4",  L"+1.2.3.4",  L"1.2.3.4x",  L"a.b.c.d",          L"1.2.3.0256", L"1 2.3.4",
        L"0x1.2.3.4", L"1,2,3,4",   L".",         L"4294967297.0.0.0",
    };
    for (const wchar_t* text : rejected)
        EXPECT_FALSE(cl::ipv4_parse(text)) << text;
}

TEST(ipv4_addr, text_form_round_trips) {
    EXPECT_EQ(cl::ipv4_to_string({192, 168, 0, 255}), L"192.168.0.255");
    EXPECT_EQ(cl::ipv4_to_string({}), L"0.0.0.0");
    const cl::ipv4_addr loopback{127, 0, 0, 1};
    EXPECT_EQ(cl::ipv4_parse(cl::ipv4_to_string(loopback)), loopback);
}

TEST(ipv4_text_parts, records_parts_and_notices_dropped_ones) {
    const cl::ipv4_text_parts parts(L"ab.c..def.g", L'.', 4);
    ASSERT_EQ(parts.count(), 4u);
    EXPECT_TRUE(parts.dropped());
    EXPECT_EQ(parts.part(0), L"ab");
    EXPECT_EQ(parts.start(1), 3u);
    EXPECT_EQ(parts.length(1), 1u);
    EXPECT_EQ(parts.part(2), L"");
    EXPECT_EQ(parts.part(3), L"def");

    const cl::ipv4_text_parts empty(L"", L':', 8);
    EXPECT_EQ(empty.count(), 1u);
    EXPECT_FALSE(empty.dropped());
}

TEST(ipv6_addr, constructors_store_groups_big_endian) {
    const cl::ipv6_addr multicast(0xff02, 0, 0, 0, 0, 0, 1, 2);
    EXPECT_EQ(multicast.bytes[0], 0xff);
    EXPECT_EQ(multicast.bytes[1], 0x02);
    EXPECT_EQ(multicast.bytes[13], 0x01);
    EXPECT_EQ(multicast.bytes[15], 0x02);
    EXPECT_EQ(multicast.group(7), 2);

    const cl::ipv6_addr link_local(0xfe80, 0, 0, 0);
    auto network = cl::ip_network_parse(L"fe80::");
    ASSERT_TRUE(network);
    EXPECT_EQ(network->bytes, link_local.bytes);
    EXPECT_EQ(cl::ipv6_addr().bytes, bytes16{});
}

bytes16 make_bytes(std::initializer_list<std::pair<size_t, uint8_t>> set) {
    bytes16 b{};
    for (auto [at, value] : set)
        b[at] = value;
    return b;
}

TEST(ip_network, parse_reads_groups_prefix_and_masks) {
    struct {
        const wchar_t* text;
        int prefix;
        bytes16 bytes;
    } const cases[] = {
        {L"::1", 128, make_bytes({{15, 1}})},
        {L"1::", 128, make_bytes({{1, 1}})},
        {L"::", 128, bytes16{}},
        {L"fe80::/10", 10, make_bytes({{0, 0xfe}, {1, 0x80}})},
        {L"fe80::1234/10", 10, make_bytes({{0, 0xfe}, {1, 0x80}})},
        // Five bytes written, the fifth masked to its first bit.
        {L"2001:db8:ffff::1/33", 33,
         make_bytes({{0, 0x20}, {1, 0x01}, {2, 0x0d}, {3, 0xb8}, {4, 0x80}})},
        {L"1:2:3:4:5:6:7::", 128,
         make_bytes({{1, 1}, {3, 2}, {5, 3}, {7, 4}, {9, 5}, {11, 6}, {13, 7}})},
        {L"::2:3:4:5:6:7:8", 128,
         make_bytes({{3, 2}, {5, 3}, {7, 4}, {9, 5}, {11, 6}, {13, 7}, {15, 8}})},
        {L"1:2:3:4:5:6:7:8", 128,
         make_bytes({{1, 1}, {3, 2}, {5, 3}, {7, 4}, {9, 5}, {11, 6}, {13, 7}, {15, 8}})},
        {L" FE80::ABcd ", 128, make_bytes({{0, 0xfe}, {1, 0x80}, {14, 0xab}, {15, 0xcd}})},
        {L"ffff:ffff::/0", 0, bytes16{}},
        {L"ffff::/1", 1, make_bytes({{0, 0x80}})},
        {L"ffff:ffff::/15", 15, make_bytes({{0, 0xff}, {1, 0xfe}})},
        {L"1:2::7:8/128", 128, make_bytes({{1, 1}, {3, 2}, {13, 7}, {15, 8}})},
    };
    for (const auto& c : cases) {
        bytes16 out;
        out.fill(0xAA);
        EXPECT_EQ(cl::ip_network_parse(c.text, out), c.prefix) << c.text;
        EXPECT_EQ(out, c.bytes) << c.text;
    }
}

TEST(ip_network, parse_rejects_malformed_text_and_out_of_range_prefixes) {
    const wchar_t* const rejected[] = {
        L"",
        L"1:2:3:4:5:6:7",
        L"1:2:3:4:5:6:7:8:9",
        L"1:2:3:4:5:6:7:8::",
        L"::1:2:3:4:5:6:7:8",
        L"1::2::3",
        L":::",
        L"1:::2",
        L":1::",
        L"1::2:",
        L":1:2:3:4:5:6:7:8",
        L"12345::",
        L"g::",
        L"-1::",
        L"1 ::",
        L"::1/129",
        L"::1/1000",
        L"::1/-1",
        L"::1/",
        L"::1/1a",
        L"::1/ 3",
        L"::1/3/4",
        L"1.2.3.4",
        L"::ffff:1.2.3.4",
    };
    for (const wchar_t* text : rejected) {
        bytes16 out;
        out.fill(0xAA);
        EXPECT_EQ(cl::ip_network_parse(text, out), -1) << text;
        EXPECT_EQ(out, bytes16{}) << text;
        EXPECT_FALSE(cl::ip_network_parse(text)) << text;
    }
}

// Answers from a table and remembers every question.
class fake_resolver : public cl::dns_resolver {
  public:
    std::map<std::pair<std::string, uint16_t>, uint32_t> answers;
    std::vector<std::pair<std::string, uint16_t>> asked;

    uint32_t query(const std::string& name, uint16_t type) override {
        asked.emplace_back(name, type);
        auto it = answers.find({name, type});
        return it == answers.end() ? cl::dns_status::name_error : it->second;
    }
};

class dns_test : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_ = std::make_shared<fake_resolver>();
        fake_->answers[{"mx.example", cl::dns_type_mx}] = 0;
        fake_->answers[{"soa.example", cl::dns_type_mx}] = cl::dns_status::no_records;
        fake_->answers[{"soa.example", cl::dns_type_soa}] = 0;
        fake_->answers[{"bare.example", cl::dns_type_mx}] = cl::dns_status::no_records;
        fake_->answers[{"bare.example", cl::dns_type_soa}] = cl::dns_status::no_records;
        fake_->answers[{"slow.example", cl::dns_type_mx}] = cl::dns_status::timeout;
        previous_ = cl::set_dns_resolver(fake_);
    }
    void TearDown() override { cl::set_dns_resolver(previous_); }

    std::shared_ptr<fake_resolver> fake_;
    std::shared_ptr<cl::dns_resolver> previous_;
};

TEST_F(dns_test, check_domain_asks_mx_then_soa) {
    using q = std::pair<std::string, uint16_t>;
    EXPECT_EQ(cl::dns_check_domain(L"mx.example"), 0u);
    EXPECT_EQ(fake_->asked, (std::vector<q>{{"mx.example", 15}}));

    fake_->asked.clear();
    EXPECT_EQ(cl::dns_check_domain(L"soa.example"), 0u);
    EXPECT_EQ(fake_->asked, (std::vector<q>{{"soa.example", 15}, {"soa.example", 6}}));

    fake_->asked.clear();
    EXPECT_EQ(cl::dns_check_domain(L"bare.example"), cl::dns_status::no_records);
    EXPECT_EQ(fake_->asked.size(), 2u);

    fake_->asked.clear();
    EXPECT_EQ(cl::dns_check_domain(L"missing.example"), cl::dns_status::name_error);
    EXPECT_EQ(fake_->asked, (std::vector<q>{{"missing.example", 15}}));

    fake_->asked.clear();
    EXPECT_EQ(cl::dns_check_domain(L"b\u00fccher.example"), cl::dns_status::name_error);
    ASSERT_EQ(fake_->asked.size(), 1u);
    EXPECT_EQ(fake_->asked[0].first, "b\xc3\xbc"
                                     "cher.example");
}

TEST_F(dns_test, names_that_cannot_be_dns_names_are_not_asked) {
    std::wstring lone_surrogate = L"a";
    lone_surrogate += wchar_t(0xD800);
    const std::wstring rejected[] = {
        L"",
        L"a..example",
        L".example",
        L"has space.example",
        L"tab\t.example",
        std::wstring(L"nul\0.example", 12),
        std::wstring(64, L'a') + L".example",
        std::wstring(250, L'a') + L".example",
        lone_surrogate,
    };
    for (const auto& name : rejected)
        EXPECT_EQ(cl::dns_check_domain(name), cl::dns_status::invalid_name) << name.size();
    EXPECT_TRUE(fake_->asked.empty());
    // The longest names still go out.
    EXPECT_EQ(cl::dns_check_domain(std::wstring(63, L'a') + L".example."),
              cl::dns_status::name_error);
}

TEST(mail_addr_syntax, accepts_addresses_names_routes_and_groups) {
    const wchar_t* const valid[] = {
        L"user@example.com",
        L"first.last+tag@sub.example.org",
        L"o'brien!#$%&*/=?^_`{|}~-@example.com",
        L"\"quoted name\"@example.com",
        L"\"with \\\" quote\"@example.com",
        L"John Smith <john@example.com>",
        L"\"Smith, John\" <john@example.com>",
        L"John<john@example.com>",
        L"John <@relay.example:john@example.com>",
        L"John <@relay.example @other.example:john@example.com>",
        L"friends: a@x.example, b@y.example;",
        L"friends: Ann <a@x.example> , b@y.example ;",
        L"nobody:;",
        L"a@x.example,b@y.example , John <j@z.example>, team: c@w.example;",
    };
    for (const wchar_t* list : valid)
        EXPECT_EQ(cl::is_valid_mail_addr_syntax(list, false), 0) << list;
}

TEST(mail_addr_syntax, rejects_malformed_lists) {
    const wchar_t* const invalid[] = {
        L"",
        L"word",
        L"user@",
        L"@example.com",
        L"a@@example.com",
        L"a@example..com",
        L"a@example.com.",
        L"a b@example.com",
        L"a@example.com,",
        L",a@example.com",
        L"a@example.com; b@example.com",
        L"John Smith john@example.com",
        L"<john@example.com>",
        L"John <john@example.com",
        L"friends: a@x.example, b@y.example",
        L"\"unterminated@example.com",
        L"a@exa mple.com",
    };
    for (const wchar_t* list : invalid)
        EXPECT_EQ(cl::is_valid_mail_addr_syntax(list, false), -1) << list;
}

TEST(mail_addr_syntax, hostile_input_is_no_match_and_never_throws) {
    std::vector<std::wstring> hostile;
    hostile.push_back(std::wstring(20000, L'a') + L"!");
    hostile.push_back(L"\"" + std::wstring(4000, L'\\') + L"\"");
    std::wstring quotes = L"\"";
    for (int i = 0; i < 3000; ++i)
        quotes += L"\\\"";
    hostile.push_back(quotes + L"@");
    std::wstring words;
    for (int i = 0; i < 3000; ++i)
        words += L"a \"b\" ";
    hostile.push_back(words + L"<x@y");
    std::wstring commas;
    for (int i = 0; i < 2000; ++i)
        commas += L"g: a@b, ";
    hostile.push_back(commas);
    // Long enough that the matcher runs out of its own stack and throws.
    std::wstring many;
    for (int i = 0; i < 25600; ++i)
        many += L"a <a@a>, ";
    hostile.push_back(many + L"!");
    for (const auto& list : hostile) {
        int result = 0;
        EXPECT_NO_THROW(result = cl::is_valid_mail_addr_syntax(list, false));
        EXPECT_EQ(result, -1) << list.substr(0, 40);
    }
}

TEST_F(dns_test, mail_check_looks_up_captured_domains) {
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"a@mx.example", true), 0);
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"a@soa.example, B <b@mx.example>", true), 0);
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"a@mx.example, b@missing.example", true),
              int(cl::dns_status::name_error));
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"a@bare.example", true),
              int(cl::dns_status::no_records));
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"a@slow.example", true), -2);
    // Route domains and domains inside groups are captured too.
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"A <@missing.example:a@mx.example>", true),
              int(cl::dns_status::name_error));
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"team: a@mx.example, b@missing.example;", true),
              int(cl::dns_status::name_error));

    // Without the DNS check, or without a match, nothing is asked.
    fake_->asked.clear();
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"a@missing.example", false), 0);
    EXPECT_EQ(cl::is_valid_mail_addr_syntax(L"no address", true), -1);
    EXPECT_TRUE(fake_->asked.empty());
}

} // namespace
