// The proxy's header handling and the dynamic-address look-up, table-driven.
#include "core/text.h"
#include "server/dynip.h"
#include "server/http_request.h"
#include "server/proxy.h"
#include "server/request_cache.h"
#include "server/response_headers.h"
#include "server/script_host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

ip_bytes ip(const char* text) {
    ip_bytes b{};
    EXPECT_TRUE(ip_of_text(text, b)) << text;
    return b;
}

TEST(proxy_parts, host_header_names_an_upstream_or_nothing) {
    const struct {
        const char* value;
        const char* host; // null: refused
        uint16_t port;
    } cases[] = {{"example.test", "example.test", 80},
                 {"example.test:8080", "example.test", 8080},
                 {" 10.0.0.1:81 ", "10.0.0.1", 81},
                 {"2130706433:81", "2130706433", 81},
                 {"[::ffff:127.0.0.1]:81", "::ffff:127.0.0.1", 81},
                 {"[::1]", "::1", 80},
                 {"x@127.0.0.1:81", nullptr, 0},
                 {"127.0.0.1:81/path", nullptr, 0},
                 {"127.0.0.1 :81", nullptr, 0},
                 {"a b:81", nullptr, 0},
                 {"h:99999", nullptr, 0},
                 {"h:0", nullptr, 0},
                 {"h:", nullptr, 0},
                 {"h:8x", nullptr, 0},
                 {"[::1", nullptr, 0},
                 {"[nothing]:81", nullptr, 0},
                 {"[::1]x", nullptr, 0},
                 {"h?q", nullptr, 0},
                 {"h#f", nullptr, 0},
                 {"h%41", nullptr, 0},
                 {"", nullptr, 0}};
    // The thread's memory of the last value answers as the parse does,
    // each value asked twice in a row and after another.
    for (int round = 0; round < 2; ++round)
        for (const auto& c : cases)
            for (int again = 0; again < 2; ++again) {
                std::string host = "old";
                uint16_t port = 1;
                const bool ok = round == 0 ? parse_upstream_host(c.value, host, port)
                                           : upstream_of_host(c.value, host, port);
                EXPECT_EQ(ok, c.host != nullptr) << c.value;
                if (!ok || !c.host) continue;
                EXPECT_EQ(host, c.host) << c.value;
                EXPECT_EQ(port, c.port) << c.value;
            }
}

TEST(proxy_parts, upstream_addresses_are_judged_by_place) {
    upstream_rules rules;
    rules.own = {ip("192.0.2.7"), ip("2001:db8::7")};
    rules.ports = {8080, 8081};
    using v = upstream_verdict;
    const struct {
        const char* address;
        uint16_t port;
        bool client_local;
        bool named;
        upstream_verdict verdict;
    } cases[] = {
        {"127.0.0.1", 8081, true, false, v::loop},
        {"127.0.0.2", 8080, true, false, v::loop},
        {"::ffff:127.0.0.1", 8081, true, false, v::loop},
        {"::1", 8081, true, false, v::loop},
        {"0.0.0.0", 8081, true, false, v::loop},
        {"::", 8081, true, false, v::loop},
        {"192.0.2.7", 8080, true, false, v::loop},
        {"2001:db8::7", 8080, false, true, v::loop},
        {"127.0.0.1", 9000, true, false, v::allowed},
        {"192.0.2.8", 8080, false, false, v::allowed},
        {"198.51.100.1", 80, false, false, v::allowed},
        {"127.0.0.1", 9000, false, false, v::refused},
        {"::ffff:127.0.0.1", 2869, false, false, v::refused},
        {"::1", 9000, false, false, v::refused},
        {"192.0.2.7", 9000, false, false, v::refused},
        {"169.254.1.1", 80, false, false, v::refused},
        {"fe80::1", 80, false, false, v::refused},
        {"169.254.1.1", 80, true, false, v::allowed},
        {"127.0.0.1", 9000, false, true, v::allowed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judge_upstream(ip(c.address), c.port, rules, {c.client_local, c.named}),
                  c.verdict)
            << c.address << " " << c.port;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(81);
    a.sin_addr.s_addr = htonl(0x7f000001);
    ip_bytes b{};
    uint16_t port = 0;
    ASSERT_TRUE(ip_of(reinterpret_cast<const sockaddr*>(&a), sizeof a, b, port));
    EXPECT_EQ(b, ip("127.0.0.1"));
    EXPECT_EQ(port, 81);
}

TEST(proxy_parts, host_port_and_target) {
    const struct {
        const char* host;
        const char* name;
        uint16_t port;
    } hosts[] = {{"example.test", "example.test", 80},
                 {"example.test:8080", "example.test", 8080},
                 {" 10.0.0.1:81 ", "10.0.0.1", 81},
                 {"[::1]:8081", "::1", 8081},
                 {"[::1]", "::1", 80},
                 {"h:99999", "h", 0},
                 {"h:x1", "h", 0}};
    for (const auto& h : hosts) {
        const auto [name, port] = split_host_port(h.host);
        EXPECT_EQ(name, h.name) << h.host;
        EXPECT_EQ(port, h.port) << h.host;
    }
    EXPECT_EQ(forward_target("/a/../b%2F?q=%41"), "/a/../b%2F?q=%41");
    EXPECT_EQ(forward_target("http://up:81/x?y"), "/x?y");
    EXPECT_EQ(forward_target("http://up:81"), "/");
    EXPECT_EQ(forward_target("http://up:81?q"), "/?q");
}

TEST(proxy_parts, headers_pass_as_received_without_hop_by_hop_ones) {
    response_headers out;
    const bool length = translate_proxy_headers({{"Content-Length", "3"},
                                                 {"X-Odd", "a%0d%0ab"},
                                                 {"X-Pct", "%41%E9%4"},
                                                 {"Connection", "close, X-Secret"},
                                                 {"X-Secret", "s"},
                                                 {"Keep-Alive", "timeout=1"},
                                                 {"Transfer-Encoding", "chunked"},
                                                 {"Proxy-Authenticate", "Basic"},
                                                 {"Upgrade", "h2c"},
                                                 {"te", "trailers"},
                                                 {"Proxy-Connection", "keep-alive"},
                                                 {"Vary", "Accept"},
                                                 {"Vary", "Origin"},
                                                 {"Set-Cookie", "a=1"},
                                                 {"Set-Cookie", "b=2"},
                                                 {"X-Bad", "a\r\nInjected: 1"}},
                                                out);
    EXPECT_TRUE(length);
    EXPECT_EQ(out.get("X-Odd"), "a%0d%0ab");
    EXPECT_EQ(out.get("X-Pct"), "%41%E9%4");
    EXPECT_EQ(out.get("Vary"), "Accept, Origin");
    EXPECT_EQ(out.get("Keep-Alive"), "timeout=15, max=100");
    for (const char* gone : {"Connection", "X-Secret", "Transfer-Encoding", "Proxy-Authenticate",
                             "Upgrade", "TE", "Proxy-Connection", "X-Bad", "Injected"})
        EXPECT_EQ(out.get(gone), "") << gone;
    EXPECT_EQ(out.cookies().size(), 2u);
    EXPECT_FALSE(translate_proxy_headers({{"Content-Type", "text/plain"}}, out));

    // A repeated name is joined in the order received, over a field of the
    // server's own, an empty first value kept as a part.
    response_headers joined;
    joined.add("Server", "ours");
    EXPECT_FALSE(translate_proxy_headers(
        {{"server", "a"}, {"X-E", ""}, {"Server", "b"}, {"x-e", "e"}, {"SERVER", "c"}}, joined));
    EXPECT_EQ(joined.get("Server"), "a, b, c");
    EXPECT_EQ(joined.get("x-E"), ", e");
    // Many fields, added out of order, are each found whatever their case.
    response_headers many;
    for (int i = 999; i >= 0; --i)
        many.add("X-" + std::to_string(i), std::to_string(i));
    ASSERT_EQ(many.fields().size(), 1000u);
    for (int i = 0; i < 1000; i += 37)
        EXPECT_EQ(many.view("x-" + std::to_string(i)), std::to_string(i));
    EXPECT_EQ(many.view("X-1000"), "");

    http_request_data d;
    d.known_headers[http_header_host] = "up:81";
    d.known_headers[http_header_accept] = "*/*";
    d.known_headers[http_header_referer] = "http://up:81/";
    d.known_headers[http_header_content_length] = "5";
    d.known_headers[http_header_expect] = "100-continue";
    d.known_headers[http_header_connection] = "keep-alive, X-Hop, cookie";
    d.known_headers[http_header_cookie] = "c=1";
    d.known_headers[http_header_keep_alive] = "300";
    d.known_headers[http_header_te] = "trailers";
    d.known_headers[http_header_trailer] = "X-Sum";
    d.known_headers[http_header_transfer_encoding] = "chunked";
    d.known_headers[http_header_upgrade] = "h2c";
    d.known_headers[http_header_pragma] = "a\x7f";
    d.known_headers[http_header_proxy_authorization] = "Basic eDp5";
    d.known_headers[http_header_authorization] = "Basic YTpi";
    d.unknown_headers.emplace("X-Hop", "1");
    d.unknown_headers.emplace("X-End", "%0d%0a");
    // What the upstream head cannot carry as it came is left behind.
    d.unknown_headers.emplace("X-Bad", "a\r\nInjected: 1");
    d.unknown_headers.emplace("X Bad", "1");
    std::string via;
    EXPECT_EQ(header_lines(proxy_request_fields(d, via)),
              "Authorization: Basic YTpi\r\nHost: up:81\r\nX-End: "
              "%0d%0a\r\nVia: 1.1 " +
                  proxy_via_token() + "\r\n");
    d.known_headers[http_header_via] = "1.0 other";
    EXPECT_NE(
        header_lines(proxy_request_fields(d, via)).find("Via: 1.0 other, 1.1 " + proxy_via_token()),
        std::string::npos);
}

// The parser's number for a name stands for the name itself, in any
// spelling, for names of the answer this server knows and those it does not.
TEST(proxy_parts, parser_numbers_give_each_answer_field_the_number_of_its_name) {
    const header_views fields = {{"content-length", "3"},
                                 {"Connection", "close, X-Secret"},
                                 {"X-Secret", "s"},
                                 {"KEEP-ALIVE", "timeout=1"},
                                 {"Transfer-Encoding", "chunked"},
                                 {"Server", "a"},
                                 {"server", "b"},
                                 {"ETag", "\"e\""},
                                 {"Last-Modified", "x"},
                                 {"Set-Cookie", "a=1"},
                                 {"X-Own", "o"},
                                 {"Date", "d"},
                                 {"Accept-Ranges", "bytes"},
                                 {"vary", "Accept"},
                                 {"Location", "/l"},
                                 {"WWW-Authenticate", "Basic"}};
    http_client::request::field_numbers numbers;
    for (const auto& [name, value] : fields) {
        uint16_t number = 0;
        for (std::size_t k = 1; k < http_client::known_name_count(); ++k)
            if (cl::iequals(http_client::known_name(static_cast<uint16_t>(k)), name))
                number = static_cast<uint16_t>(k);
        numbers.push_back(number);
    }
    EXPECT_NE(numbers[0], 0u);
    EXPECT_EQ(numbers[10], 0u);
    response_headers by_name, by_number;
    EXPECT_TRUE(translate_proxy_headers(fields, by_name, true));
    EXPECT_TRUE(translate_proxy_headers(fields, by_number, true, numbers));
    EXPECT_EQ(by_number.to_text(), by_name.to_text());
    for (int id = 0; id < http_header_response_maximum; ++id)
        EXPECT_EQ(by_number.view(id), by_name.view(id)) << id;

    // Values the parser checked are not looked at again when the head is
    // written; unchecked ones, and one a handler sets afterwards, are.
    const auto checked = [](const response_headers& h, int id) {
        return (h.checked_slots() >> id & 1u) != 0;
    };
    EXPECT_TRUE(checked(by_name, http_header_etag));
    EXPECT_TRUE(checked(by_name, http_header_server)); // joined
    response_headers unchecked;
    translate_proxy_headers(fields, unchecked, false);
    EXPECT_EQ(unchecked.checked_slots(), 0u);
    by_name.add("ETag", "\"f\"");
    EXPECT_FALSE(checked(by_name, http_header_etag));
    by_name.remove("Server");
    EXPECT_FALSE(checked(by_name, http_header_server));
    // A constant is kept where it is, and counts as checked.
    static constexpr std::string_view bytes = "bytes";
    response_headers constants;
    constants.add_lasting(http_header_accept_ranges, "Accept-Ranges", bytes);
    EXPECT_EQ(constants.view(http_header_accept_ranges).data(), bytes.data());
    EXPECT_TRUE(checked(constants, http_header_accept_ranges));
}
TEST(proxy_parts, dynamic_address_redirects) {
    set_dynip_prefix("/dyn");
    set_dynamic_entry("box", "192.168.7.9 8081", 1);
    set_dynamic_entry("six", "fe80::1 80", 0);
    const struct {
        const char* url;
        const char* location; // null: not redirected
    } cases[] = {{"/dyn/box/f.txt", "http://192.168.7.9:8081/f.txt"},
                 {"/dyn/box", "http://192.168.7.9:8081"},
                 {"/dyn/box/a?x=1", "http://192.168.7.9:8081/a?x=1"},
                 {"/dyn/box?x=1", "http://192.168.7.9:8081?x=1"},
                 {"/dyn/six/", "http://[fe80::1]:80/"},
                 {"/dyn/none/a", nullptr},
                 {"/dyn/", nullptr},
                 {"/other/box/a", nullptr},
                 {"/DYN/box/a", nullptr}};
    for (const auto& c : cases) {
        std::string location, address;
        int status = 0;
        uint8_t flag = 0;
        const bool found = lookup_dynamic_redirect(c.url, location, status, address, flag);
        EXPECT_EQ(found, c.location != nullptr) << c.url;
        if (!found || !c.location) continue;
        EXPECT_EQ(status, 302);
        EXPECT_EQ(location, c.location) << c.url;
    }
    std::string location, address;
    int status = 0;
    uint8_t flag = 0;
    ASSERT_TRUE(lookup_dynamic_redirect("/dyn/box", location, status, address, flag));
    EXPECT_EQ(address, "192.168.7.9 8081");
    EXPECT_EQ(flag, 1);
    set_dynip_prefix("");
    EXPECT_FALSE(lookup_dynamic_redirect("/dyn/box", location, status, address, flag));
    remove_dynamic_entry("box");
    remove_dynamic_entry("six");
}

// The record of a forwarded image, as the proxy makes it for the cache.
proxy_cache_record image_record() {
    proxy_cache_record r;
    r.key = "up:81/img.png";
    r.host = "up";
    r.port = 81;
    r.request_headers = "Host: up:81\r\n";
    return r;
}

TEST(proxy_parts, cache_keeps_only_what_any_client_may_see) {
    const std::string date = "Mon, 06 Nov 2023 08:49:37 GMT";
    const std::string later = "Tue, 07 Nov 2023 08:49:37 GMT";
    const std::string earlier = "Sun, 05 Nov 2023 08:49:37 GMT";
    const header_pairs png = {{"Content-Type", "image/png"}, {"Last-Modified", date}};
    const auto with = [&](header_pairs h, header_pairs more) {
        h.insert(h.end(), more.begin(), more.end());
        return h;
    };
    const struct {
        const char* what;
        header_pairs first;   // a 200 stored first
        uint32_t next_status; // then this answer (0: none)
        header_pairs next;
        const char* ims; // then this If-Modified-Since
        bool confirmed;
    } cases[] = {
        {"same date", png, 0, {}, "Mon, 06 Nov 2023 08:49:37 GMT", true},
        {"later copy", png, 0, {}, "Tue, 07 Nov 2023 08:49:37 GMT", true},
        {"older copy", png, 0, {}, "Sun, 05 Nov 2023 08:49:37 GMT", false},
        {"no condition", png, 0, {}, "", false},
        {"bad date", png, 0, {}, "yesterday", false},
        {"page",
         {{"Content-Type", "text/html"}, {"Last-Modified", date}},
         0,
         {},
         "Tue, 07 Nov 2023 08:49:37 GMT",
         false},
        {"no date", {{"Content-Type", "text/css"}}, 0, {}, "Tue, 07 Nov 2023 08:49:37 GMT", false},
        {"private",
         with(png, {{"Cache-Control", "max-age=9, Private"}}),
         0,
         {},
         "Tue, 07 Nov 2023 08:49:37 GMT",
         false},
        {"no-store",
         with(png, {{"Cache-Control", "no-store"}}),
         0,
         {},
         "Tue, 07 Nov 2023 08:49:37 GMT",
         false},
        {"vary all", with(png, {{"Vary", "*"}}), 0, {}, "Tue, 07 Nov 2023 08:49:37 GMT", false},
        {"oversize",
         with(png, {{"X-Big", std::string(20000, 'b')}}),
         0,
         {},
         "Tue, 07 Nov 2023 08:49:37 GMT",
         false},
        {"oversize later", png, 200, with(png, {{"X-Big", std::string(20000, 'b')}}),
         "Tue, 07 Nov 2023 08:49:37 GMT", false},
        {"private later", png, 200, with(png, {{"Cache-Control", "private"}}),
         "Tue, 07 Nov 2023 08:49:37 GMT", false},
        {"gone later",
         png,
         404,
         {{"Content-Type", "image/png"}},
         "Tue, 07 Nov 2023 08:49:37 GMT",
         false},
        {"confirmed later", png, 304, {{"ETag", "\"e\""}}, "Tue, 07 Nov 2023 08:49:37 GMT", true},
        {"newer later",
         png,
         200,
         {{"Content-Type", "image/png"}, {"Last-Modified", later}},
         "Mon, 06 Nov 2023 08:49:37 GMT",
         false},
    };
    (void)earlier;
    for (const auto& c : cases) {
        request_cache cache;
        cache.open(make_memory_list(100));
        const proxy_cache_record r = image_record();
        cache.store(r, 200, c.first);
        if (c.next_status) cache.store(r, c.next_status, c.next);
        header_pairs h;
        EXPECT_EQ(cache.lookup(r.key, c.ims, "", true, h), c.confirmed) << c.what;
        cache.close();
    }
}

TEST(proxy_parts, cache_confirms_a_tagged_copy_only_when_its_tag_is_the_stored_one) {
    const char* const date = "Mon, 06 Nov 2023 08:49:37 GMT";
    const struct {
        const char *etag, *if_none_match;
        bool confirmed;
    } cases[] = {
        {"\"e\"", "", true}, // dates only, as before
        {"\"e\"", "\"e\"", true}, {"\"e\"", "\"x\", \"e\"", true},
        {"\"e\"", "*", true},     {"\"e\"", "\"x\"", false}, // the client holds other content
        {"", "\"e\"", false},                                // nothing stored to compare with
    };
    for (const auto& c : cases) {
        request_cache cache;
        cache.open(make_memory_list(100));
        const proxy_cache_record r = image_record();
        header_pairs answer{{"Content-Type", "image/png"}, {"Last-Modified", date}};
        if (*c.etag) answer.emplace_back("ETag", c.etag);
        cache.store(r, 200, answer);
        header_pairs h;
        EXPECT_EQ(cache.lookup(r.key, date, c.if_none_match, true, h), c.confirmed)
            << c.etag << " " << c.if_none_match;
        cache.close();
    }
}

TEST(proxy_parts, cache_never_stores_credentials_cookies_or_hop_fields) {
    auto list = make_memory_list(100);
    request_cache cache;
    cache.open(list);
    proxy_cache_record r;
    r.key = "up:81/img.png";
    r.host = "up";
    r.port = 81;
    r.request_headers = "Host: up:81\r\nCookie: c=1\r\nAuthorization: Basic YTpi\r\n"
                        "Proxy-Authorization: Basic eDp5\r\nConnection: X-Hop\r\nX-Hop: 1\r\n"
                        "X-Kept: yes\r\n";
    cache.store(r, 200,
                {{"Content-Type", "image/png"},
                 {"Last-Modified", "Mon, 06 Nov 2023 08:49:37 GMT"},
                 {"Set-Cookie", "session=SECRET"},
                 {"Connection", "X-Up-Hop"},
                 {"X-Up-Hop", "1"},
                 {"Keep-Alive", "timeout=5"},
                 {"ETag", "\"e\""}});
    header_pairs h;
    ASSERT_TRUE(cache.lookup(r.key, "Mon, 06 Nov 2023 08:49:37 GMT", "", true, h));
    for (const auto& [n, v] : h)
        for (const char* gone : {"Set-Cookie", "Connection", "X-Up-Hop", "Keep-Alive"})
            EXPECT_NE(n, gone);
    EXPECT_EQ(list->get_value(r.key + "\x01rqh"), "Host: up:81\x02X-Kept: yes");
    // An upstream on this machine is not confirmed to a client from elsewhere.
    r.on_this_machine = true;
    cache.store(
        r, 200,
        {{"Content-Type", "image/png"}, {"Last-Modified", "Mon, 06 Nov 2023 08:49:37 GMT"}});
    EXPECT_FALSE(cache.lookup(r.key, "Mon, 06 Nov 2023 08:49:37 GMT", "", false, h));
    EXPECT_TRUE(cache.lookup(r.key, "Mon, 06 Nov 2023 08:49:37 GMT", "", true, h));
    cache.close();
}

} // namespace
