// Path redirects and host redirects.
#include "server_test_support.h"

using test_support::server_fixture;

namespace {

struct redirect_case {
    std::vector<const wchar_t*> lines;
    const wchar_t* url;
    const char* target; // empty: no redirect
    uint32_t status;
};

void PrintTo(const redirect_case& p, std::ostream* os) {
    *os << cl::utf16_to_utf8(p.lines[0]) << " @ " << cl::utf16_to_utf8(p.url);
}

class redirects : public server_fixture, public ::testing::WithParamInterface<redirect_case> {};

TEST_P(redirects, first_applicable_rule_wins) {
    const auto& p = GetParam();
    config_info c;
    uint32_t n = 1;
    for (const wchar_t* l : p.lines)
        parse_config_line_at(c, l, L"/t/.htaccess", n++);
    c.find_redirect(p.url);
    EXPECT_EQ(c.redirect_target, p.target) << cl::utf16_to_utf8(p.url);
    EXPECT_EQ(c.redirect_status, p.target[0] ? p.status : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    table, redirects,
    ::testing::Values(
        redirect_case{{L"Redirect /old /new"}, L"/old", "/new", 302},
        // A prefix that does not end in "/" redirects only its own path in this
        // system, never the paths below it.
        redirect_case{{L"Redirect /old /new"}, L"/old/x", "", 0},
        redirect_case{{L"Redirect /old /new"}, L"/older", "", 0},
        // Prefixes compare exactly: another spelling is another path.
        redirect_case{{L"Redirect /old /new"}, L"/OLD", "", 0},
        redirect_case{{L"Redirect permanent /a/ /b"}, L"/a/x", "/b/x", 301},
        redirect_case{{L"Redirect 301 /a/ /b/"}, L"/a/x", "/b/x", 301},
        redirect_case{{L"Redirect seeother /a/ /b/"}, L"/a/", "/b/", 303},
        redirect_case{{L"Redirect gone /x"}, L"/x", "", 0},
        redirect_case{{L"Redirect gone /x /"}, L"/x", "/", 410},
        redirect_case{{L"Redirect abc /x /y"}, L"/x", "", 0},
        redirect_case{{L"Redirect x"}, L"/x", "", 0},
        redirect_case{{L"Redirect a /b"}, L"a", "", 0},
        redirect_case{{L"RedirectPermanent /p /q"}, L"/p", "/q", 301},
        redirect_case{{L"RedirectPermanent 302 /p /q"}, L"/p", "", 0},
        redirect_case{{L"RedirectTemp /p http://h/q"}, L"/p", "http://h/q", 302},
        redirect_case{{L"RedirectMatch (.*)\\.gif$ $1.png"}, L"/a/b.gif", "/a/b.png", 302},
        // An expression rule applies only when its match reaches the end of the URL.
        redirect_case{{L"RedirectMatch \\.gif /x"}, L"/a.gif.html", "", 0},
        redirect_case{{L"RedirectMatch temp ^/(.*)$ /new/$1"}, L"/a b", "/new/a%20b", 302},
        redirect_case{{L"Redirect /a /x", L"Redirect /a /y", L"Redirect / /z/"}, L"/a", "/y", 302},
        redirect_case{{L"Redirect /z /first", L"RedirectMatch ^/z$ /second"}, L"/z", "/first", 302},
        // A rejected or runaway expression is no match; later rules still run.
        redirect_case{{L"RedirectMatch ((( /x", L"Redirect /y /ok"}, L"/y", "/ok", 302},
        redirect_case{
            {L"RedirectMatch (a*)*(b*)*(c*)*(d*)*(e*)*(f*)*(g*)*(h*)*$ /x", L"Redirect / /ok/"},
            L"/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!",
            "/ok/"
            "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa%21",
            302}));

TEST_F(server_fixture, same_pattern_replaces_in_place_and_get_texts) {
    config_info c;
    lines(c, {L"Redirect /a /x", L"Redirect permanent /b /c", L"Redirect /a /y",
              L"RedirectMatch ^/m /n", L"RedirectTemp /t /u", L"RedirectMatch /a /e"});
    ASSERT_EQ(c.redirects.size(), 5u);
    EXPECT_EQ(c.redirects[0].target, L"/y");
    EXPECT_EQ(find_directive(L"Redirect")->get(c), L"302 /a /y\n301 /b /c\n302 /t /u");
    EXPECT_EQ(find_directive(L"RedirectMatch")->get(c), L"302 ^/m /n\n302 /a /e");
    EXPECT_EQ(find_directive(L"RedirectPermanent")->get(c), L"301 /b /c");
    EXPECT_EQ(find_directive(L"RedirectTemp")->get(c), L"302 /a /y\n302 /t /u");
}

struct host_case {
    std::vector<const wchar_t*> lines;
    const char* host;
    const char* target;
    uint32_t status;
};

void PrintTo(const host_case& p, std::ostream* os) {
    *os << cl::utf16_to_utf8(p.lines[0]) << " @ " << p.host;
}

class host_redirects : public server_fixture, public ::testing::WithParamInterface<host_case> {};

TEST_P(host_redirects, rewrite_the_host_header) {
    const auto& p = GetParam();
    config_info c;
    uint32_t n = 1;
    for (const wchar_t* l : p.lines)
        parse_config_line_at(c, l, L"/t/.htaccess", n++);
    host_redirect_result r = apply_host_redirects(c, p.host);
    EXPECT_EQ(r.target, p.target) << p.host;
    EXPECT_EQ(r.status, p.target[0] ? p.status : 0u);
    // The shared configuration holds no per-request result.
    EXPECT_TRUE(c.redirect_target.empty());
}

INSTANTIATE_TEST_SUITE_P(
    table, host_redirects,
    ::testing::Values(
        host_case{
            {L"qvel_redirect_host permanent ^a\\.(.*)$ $1"}, "a.example.org", "example.org", 301},
        host_case{{L"qvel_redirect_host ^a\\.(.*)$ http://$1/"}, "a.b", "http://b/", 302},
        host_case{{L"qvel_redirect_host ^a\\.(.*)$ $1"}, "b.a.c", "", 0},
        host_case{{L"qvel_redirect_host old new"}, "old.host", "", 0}, // match must reach the end
        host_case{{L"qvel_redirect_host x"}, "x", "", 0},
        host_case{{L"qvel_redirect_host 1 2 3 4"}, "2", "", 0},
        host_case{
            {L"qvel_redirect_host ^h$ one", L"qvel_redirect_host gone ^h$ two"}, "h", "two", 410},
        // A rejected pattern adds no rule; a runaway one is no match.
        host_case{{L"qvel_redirect_host ((( x", L"qvel_redirect_host ^h$ ok"}, "h", "ok", 302},
        host_case{{L"qvel_redirect_host (a*)*(b*)*(c*)*(d*)*(e*)*(f*)*(g*)*(h*)*$ x",
                   L"qvel_redirect_host ^.*!$ ok"},
                  "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!",
                  "ok",
                  302}));

TEST_F(server_fixture, host_redirect_records_and_get_text) {
    config_info c;
    lines(c, {L"qvel_redirect_host ^a$ b", L"qvel_redirect_host 307 ^c$ d",
              L"qvel_redirect_host (( e"});
    ASSERT_EQ(c.host_redirects.size(), 2u);
    EXPECT_EQ(find_directive(L"qvel_redirect_host")->get(c), L"302 ^a$ b\n307 ^c$ d");
}

} // namespace
