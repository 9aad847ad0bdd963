#include "platform/khttp/wire.h"

#include <gtest/gtest.h>

using namespace khttp;

namespace {

response basic(uint16_t status) {
    response r;
    r.status = status;
    r.reason = "R";
    r.known_headers[header_connection] = "Keep-Alive";
    r.known_headers[header_keep_alive] = "timeout=15, max=100";
    return r;
}

} // namespace

TEST(KhttpHead, RefusesLineBreaksInHeaders) {
    std::string out;
    framing f;
    head_context ctx;
    auto r = basic(200);
    r.unknown_headers.emplace_back("X-A", "1\r\nX-B: 2");
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
    r = basic(200);
    r.unknown_headers.emplace_back("X-A\n", "1");
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
    r = basic(200);
    r.known_headers[header_location] = "/a\rb";
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
    // A sender's word that it checked one slot spares no other.
    r.checked_slots = uint64_t{1} << header_etag;
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
    r = basic(200);
    r.reason = "OK\r\n";
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
    r = basic(200);
    r.known_headers[header_content_length] = "12x";
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
    r = basic(99);
    EXPECT_EQ(render_response_head(r, ctx, out, f), 87u);
}

TEST(KhttpHead, FramingDecisions) {
    struct {
        uint16_t status;
        const char* length;
        const char* coding;
        bool head, keep_alive, final, disconnect;
        bool no_body, chunked, close;
        bool zero_length_added;
    } cases[] = {
        {200, "10", "", false, true, false, false, false, false, false, false},
        {200, "", "chunked", false, true, false, false, false, true, false, false},
        {200, "", "", false, true, false, false, false, false, true, false}, // close-delimited
        {200, "", "", false, true, true, false, false, false, false, true},  // complete, empty
        {204, "", "", false, true, false, false, true, false, false, false},
        {304, "", "", false, true, false, false, true, false, false, false},
        {200, "", "", true, true, false, false, true, false, false, false}, // HEAD
        {200, "10", "", false, false, false, false, false, false, true, false},
        {200, "10", "", false, true, true, true, false, false, true, false},
        {200, "", "gzip", false, true, true, false, false, false, true, false},
    };
    for (auto& c : cases) {
        auto r = basic(c.status);
        r.known_headers[header_content_length] = c.length;
        r.known_headers[header_transfer_encoding] = c.coding;
        head_context ctx{c.head, c.keep_alive, c.final, c.disconnect};
        std::string out;
        framing f;
        ASSERT_EQ(render_response_head(r, ctx, out, f), 0u);
        SCOPED_TRACE(out);
        EXPECT_EQ(f.no_body, c.no_body);
        EXPECT_EQ(f.chunked, c.chunked);
        EXPECT_EQ(f.close, c.close);
        EXPECT_EQ(out.find("Content-Length: 0\r\n") != std::string::npos, c.zero_length_added);
        EXPECT_EQ(out.find("Connection: close\r\n") != std::string::npos, c.close);
        EXPECT_EQ(out.find("Keep-Alive") != std::string::npos, !c.close);
        EXPECT_EQ(out.rfind("HTTP/1.1 " + std::to_string(c.status) + " R\r\n", 0), 0u);
        EXPECT_EQ(out.substr(out.size() - 4), "\r\n\r\n");
    }
}

TEST(KhttpHead, KnownAndUnknownHeadersInOrder) {
    response r;
    r.status = 201;
    r.reason = "Created";
    r.known_headers[header_etag] = "\"x\"";
    r.known_headers[header_content_type] = "text/plain";
    r.known_headers[header_date] = "Sun, 06 Nov 1994 08:49:37 GMT";
    r.unknown_headers = {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}};
    head_context ctx;
    ctx.final = true;
    // A sender that names the slots it wrote gets the same head.
    for (const uint64_t written :
         {uint64_t{0}, uint64_t{1} << header_etag | uint64_t{1} << header_content_type |
                           uint64_t{1} << header_date}) {
        r.written_slots = written;
        std::string out;
        framing f;
        ASSERT_EQ(render_response_head(r, ctx, out, f), 0u);
        EXPECT_EQ(out, "HTTP/1.1 201 Created\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                       "Content-Type: text/plain\r\nETag: \"x\"\r\nContent-Length: 0\r\n"
                       "Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n")
            << written;
    }
}

TEST(KhttpHead, ServiceAnswers) {
    auto a = render_service_answer(431, true);
    EXPECT_EQ(a.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u);
    EXPECT_NE(a.find("Connection: close\r\n"), std::string::npos);
    auto h = render_service_answer(404, false, true);
    EXPECT_EQ(h.find("Connection: close"), std::string::npos);
    EXPECT_EQ(h.substr(h.size() - 4), "\r\n\r\n"); // HEAD: no body after the head
}
