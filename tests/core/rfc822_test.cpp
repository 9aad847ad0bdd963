#include "core/rfc822.h"

#include "core/text.h"
#include "platform/win32/errors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds text in pieces of the given size, each copied into a buffer of exactly
// its own length so that a read past the input trips the address sanitizer.
// Returns the bytes consumed in all.
size_t feed_in_pieces(cl::rfc822_msg& m, const std::string& text, size_t piece,
                      const cl::rfc822_body_test* request = nullptr) {
    size_t used = 0;
    while (used < text.size()) {
        size_t n = std::min(piece, text.size() - used);
        std::vector<char> buf(text.begin() + used, text.begin() + used + n);
        size_t took = m.feed(buf.data(), buf.size(), request);
        used += took;
        if (took < n) break;
    }
    return used;
}

std::string body_of(cl::rfc822_msg& m) {
    return std::string(reinterpret_cast<const char*>(m.data()), m.length());
}

// Every framing case is run whole, in single bytes and in odd pieces: the
// result may not depend on how the bytes arrive.
const size_t piece_sizes[] = {1, 3, 7, 1 << 20};

struct framing_case {
    const char* what;
    std::string input;
    bool complete;
    size_t consumed; // npos: all of it
    std::string body;
};

TEST(rfc822, framing_does_not_depend_on_piece_size) {
    const std::string cl0 = "Content-Length: 0\r\n\r\n";
    const std::string chunked =
        "Transfer-Encoding: chunked\r\n\r\n"
        "5;name=value\r\nhello\r\n6\r\n world\r\n0\r\nExpires: never\r\n\r\n";
    const std::string multi =
        "Content-Type: multipart/byteranges; boundary=\"THIS;SEP\"\r\n\r\n"
        "--THIS;SEP\r\nContent-Range: bytes 0-1/9\r\n\r\nab\r\n--THIS;SEP--\r\n";
    const framing_case cases[] = {
        {"zero length completes at the blank line", cl0 + "NEXT", true, cl0.size(), ""},
        {"length takes exactly its bytes", "Content-Length: 5\r\n\r\nhelloNEXT", true, 26, "hello"},
        {"chunked with trailer", chunked + "NEXT", true, chunked.size(), "hello world"},
        {"identity is no transfer encoding",
         "Transfer-Encoding: identity\r\nContent-Length: 2\r\n\r\nokNO", true, 52, "ok"},
        {"byteranges end after the closing line", multi + "NEXT", true, multi.size(),
         "--THIS;SEP\r\nContent-Range: bytes 0-1/9\r\n\r\nab\r\n--THIS;SEP--\r\n"},
        {"no framing runs until close", "Status: 200\r\n\r\nall of it", false, std::string::npos,
         "all of it"},
        {"LF-only lines", "Content-Length: 3\n\nabcd", true, 22, "abc"},
        {"blank line before any header is ignored", "\r\n\r\nContent-Length: 1\r\n\r\nxy", true, 26,
         "x"},
    };
    for (const auto& c : cases) {
        for (size_t piece : piece_sizes) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            cl::rfc822_msg m;
            size_t used = feed_in_pieces(m, c.input, piece);
            EXPECT_EQ(m.failed(), 0u);
            EXPECT_TRUE(m.headers_done());
            EXPECT_EQ(m.complete(), c.complete);
            EXPECT_EQ(used, c.consumed == std::string::npos ? c.input.size() : c.consumed);
            EXPECT_EQ(body_of(m), c.body);
            EXPECT_EQ(m.body_bytes(), c.body.size());
        }
    }
}

TEST(rfc822, chunked_trailer_headers_join_the_list) {
    cl::rfc822_msg m;
    std::string in =
        "Transfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n3\r\nabc\r\n0\r\nX-Sum: 1\r\n\r\n";
    EXPECT_EQ(m.feed(in.data(), in.size()), in.size());
    EXPECT_TRUE(m.complete());
    EXPECT_TRUE(m.chunked());
    EXPECT_EQ(body_of(m), "abc"); // the length beside the encoding does not end the message
    ASSERT_EQ(m.header_count(), 3u);
    EXPECT_EQ(m.header("x-sum"), "1");
}

TEST(rfc822, folded_and_repeated_headers) {
    for (size_t piece : piece_sizes) {
        cl::rfc822_msg m;
        std::string in = "Subject: hello\r\n   \t world\r\n"
                         "Received: one\r\nReceived: two\r\n"
                         "Received:\r\n three\r\n"
                         "NoColonHere\r\n"
                         "X-Tab:\tvalue\twith tab \r\n"
                         "Content-Length: 0\r\n\r\n";
        EXPECT_EQ(feed_in_pieces(m, in, piece), in.size());
        ASSERT_EQ(m.header_count(), 7u);
        EXPECT_EQ(m.headers()[0].value, "hello world");
        EXPECT_EQ(m.headers()[1].value, "one");
        EXPECT_EQ(m.headers()[2].value, "two");
        EXPECT_EQ(m.headers()[3].value, "three");
        EXPECT_EQ(m.header("received"), "one"); // lookup finds the first
        EXPECT_EQ(m.headers()[4].name, "NoColonHere");
        EXPECT_EQ(m.headers()[4].value, "");
        EXPECT_EQ(m.header("x-tab"), "value with tab");
        EXPECT_EQ(m.header_value(0), L"hello world");
        EXPECT_EQ(m.header_name(1), L"Received");
        EXPECT_EQ(m.header_name(99), L"");
        // each line its length + 2, each pair its lengths + 3
        EXPECT_EQ(m.header_bytes(), 21u + 14 + 14 + 16 + 13 + 22 + 18);
    }
}

TEST(rfc822, blanks_collapse_only_in_structured_headers_outside_quotes) {
    cl::rfc822_msg m;
    std::string in = "Subject: a   b    c\r\n"
                     "From: Jo   Doe  \"x   y\"  (a  (nested  )  c)  <jo@x>\r\n"
                     "Message-ID: <a  b@[1.2.  3]>\r\n"
                     "To: \"q\\\"  r\"   s\r\n\r\n";
    m.feed(in.data(), in.size());
    EXPECT_EQ(m.header("subject"), "a   b    c");
    EXPECT_EQ(m.header("from"), "Jo Doe \"x   y\" (a (nested ) c) <jo@x>");
    EXPECT_EQ(m.header("message-id"), "<a b@[1.2.  3]>");
    EXPECT_EQ(m.header("to"), "\"q\\\"  r\" s");
}

TEST(rfc822, header_classes) {
    EXPECT_EQ(cl::rfc822_msg::header_class("message-id"), 2);
    EXPECT_EQ(cl::rfc822_msg::header_class("REFERENCES"), 2);
    EXPECT_EQ(cl::rfc822_msg::header_class("Content-Type"), 1);
    EXPECT_EQ(cl::rfc822_msg::header_class("resent-reply-to"), 1);
    EXPECT_EQ(cl::rfc822_msg::header_class("Subject"), 0);
    EXPECT_EQ(cl::rfc822_msg::header_class("Content-Length"), 0);
}

TEST(rfc822, parameters) {
    struct {
        const char* value;
        const char* name;
        const char* expected;
    } cases[] = {
        {"multipart/byteranges; boundary=abc", "boundary", "abc"},
        {"multipart/byteranges;BOUNDARY = abc ", "boundary", "abc"},
        {"multipart/byteranges; boundary=\"a;b c\"", "boundary", "a;b c"},
        {"text/plain; (x;y=1) charset=utf-8", "charset", "utf-8"},
        {"text/plain; charset=(first)utf-8(last)", "charset", "utf-8"},
        {"text/plain; title=a (c) b", "title", "a  b"}, // the comment adds no blank after one
        {"text/plain; title=a(c)b", "title", "a b"},
        {"text/plain; q=\"x\\\"y\"", "q", "x\"y"},
        {"text/plain; q=\" padded \"", "q", " padded "},
        {"text/plain; charset=utf-8", "boundary", ""},
        {"text/plain; xboundary=1; boundary=2", "boundary", "2"},
        {"", "boundary", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cl::rfc822_msg::param(c.value, c.name), c.expected) << c.value;
}

TEST(rfc822, encoded_words_are_decoded_on_request) {
    cl::rfc822_msg m;
    std::string in =
        "Subject: =?UTF-8?B?w6k=?= =?iso-8859-1?Q?caf=E9_au?= lait =?x-unknown?Q?raw?=\r\n\r\n";
    m.feed(in.data(), in.size());
    EXPECT_EQ(m.header_value(0, true), L"\u00e9caf\u00e9 au lait =?x-unknown?Q?raw?=");
    EXPECT_EQ(m.header_value(0, false), cl::utf8_to_utf16(m.headers()[0].value));
    EXPECT_EQ(cl::rfc822_msg::decode_words("=?utf-8?q?broken"), L"=?utf-8?q?broken");
}

struct head_request : cl::rfc822_body_test {
    bool no_body(const cl::rfc822_msg&) const override { return true; }
};

TEST(rfc822, request_without_body_completes_at_blank_line) {
    head_request head;
    cl::rfc822_msg m;
    std::string in = "Content-Length: 500\r\n\r\nNEXT";
    EXPECT_EQ(m.feed(in.data(), in.size(), &head), in.size() - 4);
    EXPECT_TRUE(m.complete());
    EXPECT_EQ(m.length(), 0u);
    EXPECT_EQ(m.feed(in.data(), in.size()), 0u); // a complete message takes nothing more
}

TEST(rfc822, unreadable_lengths_and_sizes_are_refused) {
    const std::string te = "Transfer-Encoding: chunked\r\n\r\n";
    const std::string cases[] = {
        "Content-Length: 99999999999999999999\r\n\r\n",
        "Content-Length: 9223372036854775808\r\n\r\n",
        "Content-Length: -1\r\n\r\n",
        "Content-Length: 12abc\r\n\r\n",
        "Content-Length:\r\n\r\n",
        "Content-Length: 5\r\nContent-Length: 6\r\n\r\n",
        te + "8000000000000000\r\n",
        te + "FFFFFFFFFFFFFFFFFFFFFFFF\r\n",
        te + "\r\n",
        te + "zz\r\n",
        te + "2\r\nab\r\n;ext\r\n",
        "Content-Type: multipart/byteranges; boundary=" + std::string(300, 'b') + "\r\n\r\nx",
    };
    for (const auto& in : cases) {
        for (size_t piece : piece_sizes) {
            SCOPED_TRACE(in + " pieces of " + std::to_string(piece));
            cl::rfc822_msg m;
            size_t used = feed_in_pieces(m, in + "more", piece);
            EXPECT_EQ(m.failed(), uint32_t(win32::error_invalid_data));
            EXPECT_FALSE(m.complete());
            EXPECT_LE(used, in.size());
            EXPECT_EQ(m.feed("x", 1), 0u); // a refused message takes nothing more
        }
    }
    // The largest values that fit are taken.
    cl::rfc822_msg m;
    std::string in =
        "Content-Length: 9223372036854775807\r\nContent-Length: 9223372036854775807\r\n\r\n";
    m.feed(in.data(), in.size());
    EXPECT_EQ(m.failed(), 0u);
    EXPECT_EQ(m.content_length(), INT64_MAX);
    cl::rfc822_msg c;
    in = te + "7FFFFFFFFFFFFFFF\r\nabc";
    EXPECT_EQ(c.feed(in.data(), in.size()), in.size());
    EXPECT_EQ(c.failed(), 0u);
    EXPECT_EQ(body_of(c), "abc");
}

TEST(rfc822, header_block_is_bounded) {
    // Many short lines.
    cl::rfc822_msg m;
    m.set_max_header_bytes(100);
    std::string in;
    for (int i = 0; i < 50; ++i)
        in += "X-A: 1234567\r\n";
    size_t used = feed_in_pieces(m, in, 5);
    EXPECT_EQ(m.failed(), uint32_t(win32::error_buffer_overflow));
    EXPECT_LE(m.header_bytes(), 100u);
    EXPECT_LT(used, in.size());
    EXPECT_FALSE(m.headers_done());

    // One endless line, in a name or in a value, stops at the bound.
    for (std::string start : {"", "X-Long: "}) {
        cl::rfc822_msg l;
        l.set_max_header_bytes(1000);
        std::string piece(64, 'a');
        size_t total = l.feed(start.data(), start.size());
        int rounds = 0;
        while (rounds < 100 && l.feed(piece.data(), piece.size()) == piece.size())
            ++rounds;
        EXPECT_LT(rounds, 20);
        EXPECT_EQ(l.failed(), uint32_t(win32::error_buffer_overflow));
        (void)total;
    }

    // Trailers count against the same bound, folded lines too.
    cl::rfc822_msg t;
    t.set_max_header_bytes(80);
    std::string tr = "Transfer-Encoding: chunked\r\n\r\n0\r\n";
    for (int i = 0; i < 20; ++i)
        tr += "T: x\r\n y\r\n";
    feed_in_pieces(t, tr + "\r\n", 4);
    EXPECT_EQ(t.failed(), uint32_t(win32::error_buffer_overflow));
    EXPECT_FALSE(t.complete());

    // Exactly at the bound is fine.
    cl::rfc822_msg e;
    e.set_max_header_bytes(10); // "AB: 12345" counts 2 + 5 + 3
    std::string ok = "AB: 12345\r\n\r\nrest";
    e.feed(ok.data(), ok.size());
    EXPECT_EQ(e.failed(), 0u);
    EXPECT_EQ(e.header_bytes(), 10u);
}

TEST(rfc822, body_held_at_once_is_bounded) {
    const std::string cases[] = {
        "Content-Length: 20\r\n\r\n01234567890123456789",
        "X: y\r\n\r\n01234567890123456789",
        "Transfer-Encoding: chunked\r\n\r\n14\r\n01234567890123456789\r\n0\r\n\r\n",
    };
    for (const auto& in : cases) {
        cl::rfc822_msg m;
        m.set_max_body_bytes(10);
        feed_in_pieces(m, in, 3);
        EXPECT_EQ(m.failed(), uint32_t(win32::error_buffer_overflow)) << in;
        EXPECT_LE(m.length(), 10u);
    }
    // A reader that drains the block streams any length through it.
    cl::rfc822_msg m;
    m.set_max_body_bytes(10);
    std::string head = "Content-Length: 100\r\n\r\n";
    m.feed(head.data(), head.size());
    std::string chunk(5, 'z');
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m.feed(chunk.data(), chunk.size()), 5u);
        m.consume(m.length());
    }
    EXPECT_TRUE(m.complete());
    EXPECT_EQ(m.body_bytes(), 100u);
}

TEST(rfc822, reset_and_borrowed_memory) {
    char stack[16];
    cl::rfc822_msg m(stack, sizeof stack);
    std::string in = "Content-Length: 40\r\n\r\n" + std::string(40, 'q');
    EXPECT_EQ(m.feed(in.data(), in.size()), in.size());
    EXPECT_TRUE(m.complete());
    EXPECT_EQ(body_of(m), std::string(40, 'q'));
    m.reset();
    EXPECT_FALSE(m.complete());
    EXPECT_EQ(m.header_count(), 0u);
    EXPECT_EQ(m.length(), 0u);
    EXPECT_EQ(m.content_length(), -1);
    EXPECT_TRUE(m.body_until_close());
    in = "Content-Length: 1\r\n\r\nz";
    EXPECT_EQ(m.feed(in.data(), in.size()), in.size());
    EXPECT_EQ(body_of(m), "z");
    EXPECT_EQ(m.feed(nullptr, 5), 0u);
}

} // namespace
