// The proxy's header handling and the dynamic-address look-up, table-driven.
#include "server/dynip.h"
#include "server/http_request.h"
#include "server/proxy.h"
#include "server/request_cache.h"
#include "server/response_headers.h"
#include "server/script_host.h"

#include <gtest/gtest.h>

namespace {

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
                             "Upgrade", "X-Bad", "Injected"})
        EXPECT_EQ(out.get(gone), "") << gone;
    EXPECT_EQ(out.cookies().size(), 2u);
    EXPECT_FALSE(translate_proxy_headers({{"Content-Type", "text/plain"}}, out));

    http_request_data d;
    d.known_headers[http_header_host] = "up:81";
    d.known_headers[http_header_accept] = "*/*";
    d.known_headers[http_header_referer] = "http://up:81/";
    d.known_headers[http_header_content_length] = "5";
    d.known_headers[http_header_expect] = "100-continue";
    d.known_headers[http_header_connection] = "keep-alive, X-Hop";
    d.known_headers[http_header_keep_alive] = "300";
    d.known_headers[http_header_te] = "trailers";
    d.known_headers[http_header_proxy_authorization] = "Basic eDp5";
    d.known_headers[http_header_authorization] = "Basic YTpi";
    d.unknown_headers.emplace("X-Hop", "1");
    d.unknown_headers.emplace("X-End", "%0d%0a");
    EXPECT_EQ(proxy_request_header_lines(d),
              "Authorization: Basic YTpi\r\nHost: up:81\r\nX-End: %0d%0a\r\n");
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

TEST(proxy_parts, cache_confirms_only_copies_at_least_as_new) {
    request_cache cache;
    cache.open(make_memory_list(100));
    proxy_cache_record r;
    r.key = "up:81/img.png";
    r.host = "up";
    r.port = 81;
    r.referer = "http://up:81/page.html";
    r.request_headers = "Host: up:81\r\n";
    cache.store(
        r, {{"Content-Type", "image/png"}, {"Last-Modified", "Mon, 06 Nov 2023 08:49:37 GMT"}});
    header_pairs h;
    EXPECT_TRUE(cache.lookup(r.key, "Mon, 06 Nov 2023 08:49:37 GMT", h));
    EXPECT_EQ(h.size(), 2u);
    EXPECT_TRUE(cache.lookup(r.key, "Tue, 07 Nov 2023 08:49:37 GMT", h));
    EXPECT_FALSE(cache.lookup(r.key, "Sun, 05 Nov 2023 08:49:37 GMT", h));
    EXPECT_FALSE(cache.lookup(r.key, "", h));
    EXPECT_FALSE(cache.lookup(r.key, "yesterday", h));
    // Pages and answers without a date are never confirmed.
    r.key = "up:81/page.html";
    cache.store(
        r, {{"Content-Type", "text/html"}, {"Last-Modified", "Mon, 06 Nov 2023 08:49:37 GMT"}});
    EXPECT_FALSE(cache.lookup(r.key, "Tue, 07 Nov 2023 08:49:37 GMT", h));
    r.key = "up:81/nodate.css";
    cache.store(r, {{"Content-Type", "text/css"}});
    EXPECT_FALSE(cache.lookup(r.key, "Tue, 07 Nov 2023 08:49:37 GMT", h));
    // Oversized header text is not kept.
    r.key = "up:81/big.png";
    cache.store(r, {{"Content-Type", "image/png"},
                    {"Last-Modified", "Mon, 06 Nov 2023 08:49:37 GMT"},
                    {"X-Big", std::string(20000, 'b')}});
    EXPECT_FALSE(cache.lookup(r.key, "Tue, 07 Nov 2023 08:49:37 GMT", h));
    cache.close();
}

} // namespace
