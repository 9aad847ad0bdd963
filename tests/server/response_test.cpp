#include "core/format.h"
#include "request_test_support.h"
#include "server/http_response.h"
#include "server/response_files.h"
#include "server/server_services.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <zlib.h>

using namespace request_test;

namespace {

TEST(BodyEncoding, CaseTable) {
    struct row {
        int64_t size;
        bool te, cl;
        const char* te_value;
        int expected_case;
        bool compress;
    };
    const row rows[] = {
        {-1, false, false, "", 0, true},         {-2, false, false, "", 0, true},
        {100, false, false, "", 1, true},        {-1, true, false, "chunked", 2, true},
        {-1, true, false, "gzip", 2, false},     {-1, true, false, " Chunked ", 2, true},
        {100, true, false, "chunked", 3, false}, {-1, false, true, "", 4, true},
        {100, false, true, "", 5, true},         {-1, true, true, "chunked", 6, false},
        {100, true, true, "chunked", 7, false},
    };
    for (const row& r : rows) {
        const int c = body_encoding_case(r.size, r.te, r.cl);
        EXPECT_EQ(c, r.expected_case) << r.size << r.te << r.cl;
        EXPECT_EQ(body_case_allows_compression(c, r.te_value), r.compress) << c << r.te_value;
    }
}

TEST(BodyEncoding, OldInternetExplorer) {
    EXPECT_TRUE(is_old_internet_explorer("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"));
    EXPECT_TRUE(is_old_internet_explorer("Mozilla/4.0 (compatible; MSIE 8.0; Trident/4.0)"));
    EXPECT_FALSE(is_old_internet_explorer("Mozilla/5.0 (compatible; MSIE 9.0; Trident/5.0)"));
    EXPECT_FALSE(is_old_internet_explorer("Mozilla/5.0 (Windows NT 10.0; Trident/7.0; rv:11.0)"));
    EXPECT_FALSE(is_old_internet_explorer("Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0"));
    EXPECT_FALSE(is_old_internet_explorer("msie 6.0")); // case kept
}

TEST(BodyEncoding, AcceptedCodings) {
    struct row {
        const char* header;
        bool gzip, deflate;
    };
    // Tokens are not trimmed: the blank after a comma is part of the next one.
    const row rows[] = {{"gzip, deflate", true, false}, {"deflate", false, true},
                        {"DEFLATE , br", false, false}, {"br", false, false},
                        {"gzip;q=1.0", false, false},   {"", false, false},
                        {"x,GZIP", true, false},        {"deflate, gzip", false, true},
                        {"gzip,deflate", true, true},   {"deflate,gzip", true, true}};
    for (const row& r : rows) {
        bool g = true, d = true;
        accepted_codings(r.header, g, d);
        EXPECT_EQ(g, r.gzip) << r.header;
        EXPECT_EQ(d, r.deflate) << r.header;
    }
}

TEST(BodyEncoding, WildcardsAndClamps) {
    EXPECT_TRUE(wildcard_match("https://*.example.org", "https://a.b.example.org"));
    EXPECT_TRUE(wildcard_match("http://host:80?0", "http://host:8080"));
    EXPECT_FALSE(wildcard_match("https://*.example.org", "https://example.org.evil"));
    EXPECT_FALSE(wildcard_match("http://a", "http://ab"));
    EXPECT_TRUE(wildcard_match("*", ""));
    const auto p = clamp_deflate_parameters(12, 0, 3);
    EXPECT_EQ(p.level, 9);
    EXPECT_EQ(p.mem_level, 1);
    EXPECT_EQ(p.window_bits, 8);
    const auto q = clamp_deflate_parameters(-5, 20, 40);
    EXPECT_EQ(q.level, -1);
    EXPECT_EQ(q.mem_level, 9);
    EXPECT_EQ(q.window_bits, 15);
}

// A body of unknown length, as a script gives it.
class stream_file : public string_file {
  public:
    using string_file::string_file;
    int64_t size() override { return string_file::size() > 0 ? -1 : 0; }
};

// A script that never produced its head.
class silent_script : public nul_file {
  public:
    int64_t size() override { return -2; }
    std::wstring error_text() override { return L"syntax error"; }
};

class Transmission : public request_fixture {
  protected:
    std::unique_ptr<http_get_request> with_body(std::unique_ptr<cl::simple_file> f,
                                                const char* method = "GET") {
        auto r = get_request("");
        r->data->method = method;
        r->set_file(std::move(f));
        return r;
    }
};

TEST_F(Transmission, EmptyBodySendsTheHeadAlone) {
    auto r = with_body(std::make_unique<nul_file>());
    r->send_body();
    ASSERT_EQ(transport.heads.size(), 1u);
    EXPECT_EQ(transport.head_flags[0] & send_flag_more_data, 0u);
    EXPECT_TRUE(transport.pieces.empty());
    EXPECT_EQ(transport.heads[0].status, 200);
    EXPECT_EQ(transport.header("Content-Type"), "text/plain; charset=utf-8");
}

TEST_F(Transmission, KnownLengthGoesOutAsIs) {
    auto r = with_body(std::make_unique<string_file>(std::string(1000, 'x')));
    r->send_body();
    EXPECT_EQ(transport.header("Content-Length"), "1000");
    EXPECT_EQ(transport.header("Transfer-Encoding"), "");
    EXPECT_EQ(transport.body(), std::string(1000, 'x'));
    EXPECT_EQ(transport.piece_flags.back() & send_flag_more_data, 0u);
    EXPECT_EQ(r->bytes_sent, 1000u);
}

TEST_F(Transmission, UnknownLengthIsChunkedInFiveDigitHeads) {
    auto r = with_body(std::make_unique<stream_file>("hello world"));
    r->send_body();
    EXPECT_EQ(transport.header("Transfer-Encoding"), "Chunked");
    EXPECT_EQ(transport.body(), "0000b\r\nhello world\r\n0\r\n\r\n");
}

TEST_F(Transmission, LargeStreamsGrowTheBufferAndStayFramed) {
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += std::to_string(i) + ",";
    auto r = with_body(std::make_unique<stream_file>(text));
    r->send_body();
    std::string plain;
    ASSERT_TRUE(unchunk(transport.body(), plain));
    EXPECT_EQ(plain, text);
    // The pieces grow from 8183 bytes up to 131063.
    EXPECT_EQ(transport.pieces[0].size(), 8183u + 9);
    std::size_t largest = 0;
    for (const auto& p : transport.pieces)
        largest = std::max(largest, p.size());
    EXPECT_EQ(largest, 131063u + 9);
}

TEST_F(Transmission, Http10StreamClosesInsteadOfChunking) {
    auto r = with_body(std::make_unique<stream_file>("abc"));
    r->data->version = 100;
    r->headers->add("Connection", "Keep-Alive");
    r->headers->add("Keep-Alive", "timeout=15, max=100");
    r->send_body();
    EXPECT_EQ(transport.header("Transfer-Encoding"), "");
    EXPECT_EQ(transport.body(), "abc");
    EXPECT_NE(transport.piece_flags.back() & send_flag_disconnect, 0u);
    // A connection being closed is not announced as kept alive.
    EXPECT_EQ(transport.header("Connection"), "close");
    EXPECT_EQ(transport.header("Keep-Alive"), "");

    transport = recording_transport();
    auto simple = with_body(std::make_unique<nul_file>());
    simple->close_connection = true;
    simple->headers->add("Connection", "Keep-Alive");
    simple->text_body = "<x/>";
    simple->send_simple_response(207);
    EXPECT_EQ(transport.header("Connection"), "close");
    EXPECT_NE(transport.piece_flags.back() & send_flag_disconnect, 0u);
}

TEST_F(Transmission, ScriptWithoutHeadGetsTheErrorText) {
    auto r = with_body(std::make_unique<silent_script>());
    r->send_body();
    const std::string text = "Script Execution Error:\n\nsyntax error";
    EXPECT_EQ(transport.body(), cl::format_str("%x\r\n%?\r\n0\r\n\r\n", text.size(), text));
}

TEST_F(Transmission, CompressionWithGzipAndDeflate) {
    const std::string text(5000, 'z');
    for (const char* accept : {"gzip", "deflate"}) {
        transport = recording_transport();
        auto r = with_body(std::make_unique<string_file>(text));
        r->config()->deflate_output = true;
        r->data->known_headers[http_header_accept_encoding] = accept;
        r->headers->add("ETag", "\"abc\"");
        r->send_body();
        const bool gzip = std::string(accept) == "gzip";
        EXPECT_EQ(transport.header("Content-Encoding"), accept);
        EXPECT_EQ(transport.header("Content-Length"), "");
        EXPECT_EQ(transport.header("Vary"), "Accept-Encoding, User-Agent");
        EXPECT_EQ(transport.header("ETag"), gzip ? "\"abcCG-1915\"" : "\"abcCD-1915\"");
        std::string packed;
        ASSERT_TRUE(unchunk(transport.body(), packed));
        std::string out(text.size() + 10, '\0');
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, gzip ? 31 : -15), Z_OK);
        z.next_in = reinterpret_cast<Bytef*>(packed.data());
        z.avail_in = static_cast<uInt>(packed.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
        out.resize(z.total_out);
        inflateEnd(&z);
        EXPECT_EQ(out, text);
    }
}

TEST_F(Transmission, OldExplorerGetsGzipAndSmallBodiesStayPlain) {
    auto r = with_body(std::make_unique<string_file>(std::string(5000, 'z')));
    r->config()->deflate_output = true;
    r->data->known_headers[http_header_accept_encoding] = "deflate,gzip";
    r->data->known_headers[http_header_user_agent] = "Mozilla/4.0 (compatible; MSIE 6.0)";
    r->choose_body_encoding();
    EXPECT_EQ(r->headers->get("Content-Encoding"), "gzip");
    // Any other client that takes both gets deflate.
    auto modern = with_body(std::make_unique<string_file>(std::string(5000, 'z')));
    modern->config()->deflate_output = true;
    modern->data->known_headers[http_header_accept_encoding] = "gzip,deflate,br";
    modern->choose_body_encoding();
    EXPECT_EQ(modern->headers->get("Content-Encoding"), "deflate");
    // The common "gzip, deflate" accepts gzip alone.
    auto common = with_body(std::make_unique<string_file>(std::string(5000, 'z')));
    common->config()->deflate_output = true;
    common->data->known_headers[http_header_accept_encoding] = "gzip, deflate, br";
    common->choose_body_encoding();
    EXPECT_EQ(common->headers->get("Content-Encoding"), "gzip");

    auto small = with_body(std::make_unique<string_file>(std::string(255, 'z')));
    small->config()->deflate_output = true;
    small->data->known_headers[http_header_accept_encoding] = "gzip";
    small->choose_body_encoding();
    EXPECT_FALSE(small->compressing);
    EXPECT_EQ(small->headers->get("Content-Length"), "255");
}

TEST_F(Transmission, APartialAnswerIsNeverCompressed) {
    auto r = with_body(std::make_unique<string_file>(std::string(5000, 'z')));
    r->config()->deflate_output = true;
    r->data->known_headers[http_header_accept_encoding] = "gzip";
    r->set_response_status(206);
    r->headers->add("Content-Range", "bytes 0-4999/9000");
    r->headers->add("Content-Length", "5000");
    r->choose_body_encoding();
    EXPECT_FALSE(r->compressing);
    EXPECT_EQ(r->headers->get("Content-Encoding"), "");
    EXPECT_EQ(r->headers->get("Content-Length"), "5000");
}

TEST_F(Transmission, UnboundZlibMeansAPlainBody) {
    release_compression();
    auto r = with_body(std::make_unique<string_file>(std::string(5000, 'z')));
    r->config()->deflate_output = true;
    r->data->known_headers[http_header_accept_encoding] = "gzip";
    r->send_body();
    EXPECT_EQ(transport.header("Content-Encoding"), "");
    EXPECT_EQ(transport.header("Content-Length"), "5000");
    EXPECT_EQ(transport.body().size(), 5000u);
    bind_compression(L"/opt/tesk/");
}

TEST_F(Transmission, HeadAnswersCarryNoBody) {
    auto r = with_body(std::make_unique<string_file>("page text"), "HEAD");
    r->send_body();
    EXPECT_EQ(transport.header("Content-Length"), "9");
    EXPECT_TRUE(transport.pieces.empty());
    EXPECT_EQ(transport.head_flags[0] & send_flag_more_data, 0u);

    transport = recording_transport();
    auto s = with_body(std::make_unique<nul_file>(), "HEAD");
    s->text_body = "<multistatus/>";
    s->send_simple_response(207);
    EXPECT_EQ(transport.body(), "");
}

TEST_F(Transmission, StatusHeaderAndPolicyHeaders) {
    auto r = with_body(std::make_unique<string_file>("x"));
    r->headers->add("Status", "404 Not here");
    r->config()->allowed_origins = {"https://*.example.org"};
    r->data->unknown_headers["Origin"] = "https://app.example.org";
    r->data->unknown_headers["getcontentFeatures.dlna.org"] = "1";
    r->send_body();
    EXPECT_EQ(transport.heads[0].status, 404);
    EXPECT_EQ(r->info->get("_TSKQVL_RESPONSE_CODE"), "404");
    EXPECT_EQ(r->info->get("_TSKQVL_RESPONSE_TEXT"), std::string(status_text(404)));
    EXPECT_EQ(transport.header("Status"), "");
    EXPECT_EQ(transport.header("Access-Control-Allow-Origin"), "https://app.example.org");
    EXPECT_EQ(transport.header("contentFeatures.dlna.org"), "*");
}

TEST_F(Transmission, ExpiryAfterModification) {
    auto r = with_body(std::make_unique<string_file>("x"));
    config_info& c = *r->config();
    c.expires_active = true;
    c.expires_default = expiry_modification_zero;
    r->headers->add("Content-Type", "text/plain");
    r->headers->add("Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT");
    r->add_policy_headers();
    // A string body has no write time: the expiry is the file time 0.
    EXPECT_EQ(r->headers->get("Cache-Control"), "max-age=0");
    auto a = with_body(std::make_unique<string_file>("x"));
    a->config()->expires_active = true;
    a->config()->expires_by_type["text/plain"] = 3600;
    a->headers->add("Content-Type", "text/plain");
    a->headers->add("Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT");
    a->data->received = {2024, 1, 1, 1, 0, 0, 0, 0};
    a->add_policy_headers();
    EXPECT_EQ(a->headers->get("Cache-Control"), "max-age=3600");
    EXPECT_EQ(a->headers->get("Expires"), "Mon, 01 Jan 2024 01:00:00 GMT");
}

TEST_F(Transmission, KnownAndUnknownHeaderSlots) {
    auto r = with_body(std::make_unique<nul_file>());
    r->headers->add("Etag", "\"1\"");
    r->headers->add("X-Custom", "v");
    r->headers->add("Set-Cookie", "a=1");
    r->headers->add("Set-Cookie", "b=2");
    const kernel_response response = r->build_http_response_headers();
    EXPECT_EQ(response.known_headers[http_header_etag], "\"1\"");
    int cookies = 0;
    for (const auto& [n, v] : response.unknown_headers)
        cookies += n == "Set-Cookie";
    EXPECT_EQ(cookies, 2);
    EXPECT_TRUE(response.known_headers[http_header_set_cookie].empty());
}

// What the sender hands to the service for the fields a handler added: the
// known ones in their slots with the value last set, every other field once,
// in name order without regard to case and in the spelling it was first
// added with, the cookies after them in the order they came.
TEST_F(Transmission, HeadersAsSent) {
    using pairs = std::vector<std::pair<std::string, std::string>>;
    struct row {
        pairs added;
        pairs known;   // slot name and value
        pairs unknown; // as sent, in order
    };
    const std::vector<row> rows = {
        {{{"X-b", "1"}, {"x-A", "2"}, {"X-c", "3"}},
         {},
         {{"x-A", "2"}, {"X-b", "1"}, {"X-c", "3"}}},
        {{{"X-Tag", "a"}, {"x-tag", "b"}, {"X-TAG", "c"}}, {}, {{"X-Tag", "c"}}},
        {{{"etag", "\"1\""}, {"ETag", "\"2\""}, {"content-TYPE", "text/x"}},
         {{"Etag", "\"2\""}, {"Content-Type", "text/x"}},
         {}},
        {{{"Set-Cookie", "a=1"},
          {"X-Z", "z"},
          {"set-cookie", "a=1"},
          {"SET-COOKIE", "b=2"},
          {"X-_", "u"}},
         {},
         // Letters fold to lower case: "_" sorts before them.
         {{"X-_", "u"},
          {"X-Z", "z"},
          {"Set-Cookie", "a=1"},
          {"Set-Cookie", "a=1"},
          {"Set-Cookie", "b=2"}}},
        {{{"Status", "201 Made"}, {"X-Keep", ""}}, {}, {{"X-Keep", ""}}},
    };
    for (const row& t : rows) {
        auto r = with_body(std::make_unique<nul_file>());
        for (const auto& [n, v] : t.added)
            r->headers->add(n, v);
        const kernel_response response = r->build_http_response_headers();
        pairs known;
        for (int id = 0; id < http_header_response_maximum; ++id)
            if (!response.known_headers[id].empty())
                known.emplace_back(std::string(response_header_name(id)),
                                   response.known_headers[id]);
        pairs expect_known = t.known;
        std::sort(expect_known.begin(), expect_known.end(), [](const auto& a, const auto& b) {
            return response_header_id(a.first) < response_header_id(b.first);
        });
        EXPECT_EQ(known, expect_known) << t.added.front().first;
        const pairs unknown(response.unknown_headers.begin(), response.unknown_headers.end());
        EXPECT_EQ(unknown, t.unknown) << t.added.front().first;
    }
}

// Content-Length is the decimal size of the body, for sizes on both sides of
// every power of ten up to a million.
TEST_F(Transmission, ContentLengthAroundPowersOfTen) {
    for (std::size_t size : {1, 9, 10, 11, 99, 100, 101, 999, 1000, 1001, 9999, 10000, 10001, 99999,
                             100000, 100001, 999999, 1000000}) {
        transport.heads.clear();
        auto r = with_body(std::make_unique<string_file>(std::string(size, 'x')), "HEAD");
        r->send_body();
        EXPECT_EQ(transport.header("Content-Length"), std::to_string(size));
    }
}

TEST_F(Transmission, AFailedHeadEndsTheAnswer) {
    transport.fail_response = 1229;
    auto r = with_body(std::make_unique<string_file>("abc"));
    r->send_body();
    EXPECT_TRUE(r->body_done);
    EXPECT_TRUE(transport.pieces.empty());
}

TEST_F(Transmission, AFailedBodySendEndsTheAnswerAndIsTracedAtEveryLevel) {
    set_trace_level(0);
    transport.fail_body = 1236;
    auto r = with_body(std::make_unique<string_file>(std::string(1000, 'x')));
    r->send_body();
    EXPECT_TRUE(r->body_done);
    EXPECT_NE(sink_.take().find("do_send error 4d4\n"), std::string::npos);
}

} // namespace
