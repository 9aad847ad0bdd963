#include "platform/khttp/url.h"
#include "platform/khttp/wire.h"

#include <cctype>
#include <gtest/gtest.h>

using namespace khttp;

TEST(KhttpPath, CanonicalFormsTable) {
    struct {
        const char* raw;
        const wchar_t* expected; // nullptr: refused
    } cases[] = {
        {"/", L"/"},
        {"/a/b/c", L"/a/b/c"},
        {"/a/./b/../c", L"/a/c"},
        {"/a/b/..", L"/a/"},
        {"/a/b/.", L"/a/b/"},
        {"/a/%2e%2E/b", L"/b"},
        {"/a%2fb", L"/a/b"},
        {"/a\\b\\..\\c", L"/a/c"},
        {"/a%5c..%5cc", L"/c"},
        {"/x%20y", L"/x y"},
        {"/%C3%A9", L"/\u00e9"},
        {"/%F0%9F%98%80", L"/\U0001F600"},
        {"/%C0%AE%C0%AE/x", L"/\uFFFD\uFFFD/x"}, // overlong dots are no dots
        {"/%ED%A0%80", L"/\uFFFD"},              // a lone surrogate
        {"/%DF%BF", L"/\u07FF"},
        {"/%E0%9F%BF", L"/\uFFFD"},    // U+07FF in three bytes: overlong
        {"/%F0%8F%BF%BF", L"/\uFFFD"}, // U+FFFF in four bytes: overlong
        {"/a//b", L"/a//b"},
        {"/a.b/c.", L"/a.b/c."},
        {"/a/.well-known/x", L"/a/.well-known/x"},
        {"/caf\xC3\xA9", L"/caf\u00e9"},
        {"/a\x7F", nullptr},
        {"/..", nullptr},
        {"/a/../..", nullptr},
        {"/%2e%2e/x", nullptr},
        {"/a%00b", nullptr},
        {"/a%0", nullptr},
        {"/a%g0", nullptr},
        {"/a\tb", nullptr},
        {"a/b", nullptr},
        {"", nullptr},
    };
    // One pair of outputs for every case, as a connection keeps them.
    std::string utf8;
    std::wstring got;
    for (auto& c : cases) {
        const bool ok = canonicalize_path(c.raw, utf8, got);
        if (c.expected == nullptr) {
            EXPECT_FALSE(ok) << c.raw;
        } else {
            ASSERT_TRUE(ok) << c.raw;
            EXPECT_EQ(got, c.expected) << c.raw;
            // Not the decoded bytes where they were no UTF-8.
            EXPECT_EQ(utf8, wide_to_utf8(c.expected)) << c.raw;
        }
    }
}

TEST(KhttpPath, Utf8RoundTripAndInvalidInput) {
    std::wstring w = L"a\u00e9\u4e2d\U0001F600";
    EXPECT_EQ(utf8_to_wide(wide_to_utf8(w)), w);
    EXPECT_EQ(utf8_to_wide("\xE4\xB8"), L"\uFFFD"); // truncated
    EXPECT_EQ(utf8_to_wide("\xFF"
                           "a"),
              L"\uFFFD"
              L"a");
    EXPECT_EQ(utf8_to_wide("\xF4\x90\x80\x80"), L"\uFFFD"); // above U+10FFFF
}

TEST(KhttpPrefix, ParsesAndRefuses) {
    auto p = parse_url_prefix(L"http://+:80/dav/");
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->secure);
    EXPECT_TRUE(p->any_host());
    EXPECT_EQ(p->port, 80);
    EXPECT_EQ(p->path, L"/dav/");
    p = parse_url_prefix(L"HTTPS://Example.COM:8443/");
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->secure);
    EXPECT_EQ(p->host, "example.com");
    p = parse_url_prefix(L"http://[::1]:81/a/");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->host, "[::1]");
    for (const wchar_t* bad : {L"http://+:80/dav", L"ftp://+:80/", L"http://+/", L"http://+:0/",
                               L"http://+:70000/", L"http://:80/", L"http://+:80/../"})
        EXPECT_FALSE(parse_url_prefix(bad)) << bad;
}

TEST(KhttpPrefix, LongestPrefixAndHostRank) {
    auto root = *parse_url_prefix(L"http://+:80/");
    auto dav = *parse_url_prefix(L"http://+:80/dav/");
    auto named = *parse_url_prefix(L"http://host:80/dav/");
    auto weak = *parse_url_prefix(L"http://*:80/dav/");
    EXPECT_GT(match_rank(dav, false, 80, "x", L"/dav/a"),
              match_rank(root, false, 80, "x", L"/dav/a"));
    EXPECT_EQ(match_rank(dav, false, 80, "x", L"/other"), -1);
    EXPECT_GE(match_rank(dav, false, 80, "x", L"/dav"), 0);
    EXPECT_GE(match_rank(dav, false, 80, "x", L"/DAV/a"), 0);
    EXPECT_EQ(match_rank(dav, true, 80, "x", L"/dav/a"), -1);
    EXPECT_EQ(match_rank(dav, false, 81, "x", L"/dav/a"), -1);
    EXPECT_EQ(match_rank(named, false, 80, "other", L"/dav/a"), -1);
    EXPECT_GT(match_rank(named, false, 80, "host", L"/dav/a"),
              match_rank(weak, false, 80, "host", L"/dav/a"));
    EXPECT_GT(match_rank(dav, false, 80, "host", L"/dav/a"),
              match_rank(named, false, 80, "host", L"/dav/a"));
}

TEST(KhttpPrefix, SplitsTargets) {
    std::string host, path, query;
    ASSERT_TRUE(split_target("/a/b?x=1?y", host, path, query));
    EXPECT_EQ(path, "/a/b");
    EXPECT_EQ(query, "x=1?y");
    EXPECT_TRUE(host.empty());
    ASSERT_TRUE(split_target("http://h:8/p?q", host, path, query));
    EXPECT_EQ(host, "h:8");
    EXPECT_EQ(path, "/p");
    EXPECT_EQ(query, "q");
    ASSERT_TRUE(split_target("https://h", host, path, query));
    EXPECT_EQ(path, "/");
    EXPECT_FALSE(split_target("*", host, path, query));
    EXPECT_FALSE(split_target("http:///x", host, path, query));
}

TEST(KhttpTables, HeaderNamesAndVerbs) {
    EXPECT_EQ(find_request_header("content-type"), 12);
    EXPECT_EQ(find_request_header("Authorization"), 24);
    EXPECT_EQ(find_request_header("User-Agent"), 40);
    EXPECT_EQ(find_request_header("X-Other"), -1);
    EXPECT_EQ(find_response_header("etag"), 22);
    EXPECT_EQ(find_response_header("WWW-Authenticate"), 29);
    EXPECT_EQ(find_response_header("User-Agent"), -1);
    // Every name finds its own slot in any case; a name one letter off finds none.
    for (std::size_t i = 0; i < request_header_count; ++i) {
        std::string name = request_header_name(i), upper = name;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(find_request_header(upper), static_cast<int>(i)) << name;
        name.back() = name.back() == 'x' ? 'y' : 'x';
        EXPECT_EQ(find_request_header(name), -1) << name;
    }
    for (std::size_t i = 0; i < response_header_count; ++i)
        EXPECT_EQ(find_response_header(response_header_name(i)), static_cast<int>(i));
    EXPECT_STREQ(response_header_name(header_set_cookie), "Set-Cookie");
    EXPECT_EQ(verb_from_method("PROPFIND"), verb::propfind);
    EXPECT_EQ(verb_from_method("get"), verb::unknown);
    EXPECT_EQ(verb_from_method("MKCALENDAR"), verb::unknown);
    EXPECT_EQ(static_cast<int>(verb::search), 19);
}
