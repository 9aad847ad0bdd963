// Unusual and malformed input for the library's parsers and converters: a
// fixed-seed stream of random cases, run under the sanitizers, so an
// out-of-bounds access, an overflow or a runaway allocation shows as a failure.
// Each case also checks a property the callers rely on.
#include "core/format.h"
#include "core/ip_addr.h"
#include "core/path.h"
#include "core/rfc822.h"
#include "core/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

constexpr int rounds = 2000;

std::string random_bytes(std::mt19937& rng, std::string_view alphabet, size_t max_len) {
    std::uniform_int_distribution<size_t> len(0, max_len);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string s(len(rng), '\0');
    for (auto& c : s)
        c = alphabet[pick(rng)];
    return s;
}

std::string any_bytes(std::mt19937& rng, size_t max_len) {
    std::uniform_int_distribution<size_t> len(0, max_len);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(len(rng), '\0');
    for (auto& c : s)
        c = char(byte(rng));
    return s;
}

std::wstring widen_ascii(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

} // namespace

// No byte sequence without the bytes "." and "/" decodes to either of them,
// however it is split across calls; every byte is consumed in the end.
TEST(Robustness, Utf8DecodingNeverForgesPathCharacters) {
    std::mt19937 rng(1);
    for (int r = 0; r < rounds; ++r) {
        std::string bytes = any_bytes(rng, 24);
        for (auto& c : bytes)
            if (c == '.' || c == '/') c = 'a';
        // Overlong forms of "." and "/" are what an attacker would try.
        if (r % 4 == 0) bytes += r % 8 ? "\xC0\xAE" : "\xE0\x80\xAF";
        std::wstring out;
        std::string pending;
        size_t pos = 0;
        std::uniform_int_distribution<size_t> step(1, 5);
        while (pos < bytes.size()) {
            size_t n = std::min(step(rng), bytes.size() - pos);
            pending.append(bytes, pos, n);
            pos += n;
            cl::utf8_decode_append(pending, out);
            ASSERT_LE(pending.size(), 5u) << "an incomplete tail is at most one sequence";
        }
        // A tail that never completes is left for a next call; decode it alone.
        std::wstring whole = cl::utf8_to_utf16(bytes);
        EXPECT_EQ(whole.find_first_of(L"./"), std::wstring::npos);
        EXPECT_EQ(out.find_first_of(L"./"), std::wstring::npos);
    }
}

// Any wide text survives UTF-8 and back, surrogates excepted.
TEST(Robustness, Utf8RoundTripOfRandomCodePoints) {
    std::mt19937 rng(2);
    std::uniform_int_distribution<uint32_t> cp(1, 0x10FFFF);
    for (int r = 0; r < rounds; ++r) {
        std::wstring w;
        for (int i = 0; i < 8; ++i) {
            uint32_t c = cp(rng);
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
            w += wchar_t(c);
        }
        EXPECT_EQ(cl::utf8_to_utf16(cl::utf16_to_utf8(w)), w);
    }
}

// Decoded base64 never exceeds three bytes per four characters.
TEST(Robustness, Base64OutputIsBoundedByTheInput) {
    std::mt19937 rng(3);
    for (int r = 0; r < rounds; ++r) {
        std::string in = r % 2 ? any_bytes(rng, 40) : random_bytes(rng, "ABCabc019+/= \r\n", 40);
        std::string out = cl::base64_decode(in);
        EXPECT_LE(out.size(), in.size() * 3 / 4 + 2);
    }
}

// Random format texts with random arguments: the fixed buffer keeps its bound
// and its terminator, and nothing reads past the format or the arguments.
TEST(Robustness, FormatterSurvivesRandomFormats) {
    std::mt19937 rng(4);
    const std::string_view alphabet = "%%%?-+ #',0123456789.*hlLI64xXdoumzZpcs!";
    const std::wstring text = L"w\u00E9rt";
    for (int r = 0; r < rounds; ++r) {
        std::string fmt = random_bytes(rng, alphabet, 24);
        const int64_t big = int64_t(rng()) << 32 | rng();
        const int32_t small = int32_t(rng());
        const char* null_text = nullptr;

        std::string s = cl::format_str(fmt, small, big, "abc", null_text, text, -1, 3.5);
        std::wstring w = cl::format_wstr(widen_ascii(fmt), small, big, "abc", text, -7);
        // Widths and precisions are at most 127 each; no placeholder can
        // produce more than a few hundred characters.
        EXPECT_LT(s.size(), 24u + 7 * 400);
        EXPECT_LT(w.size(), 24u + 5 * 400);

        char buf[16 + 2];
        std::memset(buf, 'Z', sizeof buf);
        { cl::sformat f(buf + 1, 16, fmt, small, big, "abcdefghijklmnopqrstuvwxyz"); }
        EXPECT_EQ(buf[0], 'Z');
        EXPECT_EQ(buf[17], 'Z');
        EXPECT_NE(std::memchr(buf + 1, 0, 16), nullptr);
    }
}

// Address texts of every shape: a parse either fails or gives a prefix that
// fits the address.
TEST(Robustness, NetworkTextsParseWithinTheirBounds) {
    std::mt19937 rng(5);
    for (int r = 0; r < rounds; ++r) {
        std::wstring t = widen_ascii(random_bytes(rng, "0123456789abcdef:./ ", 48));
        auto net = cl::ip_network_parse(t);
        if (net) {
            EXPECT_LE(net->prefix, 128);
        }
        std::array<uint8_t, 16> raw{};
        int prefix = cl::ip_network_parse(t, raw);
        EXPECT_LE(prefix, 128);
        (void)cl::ipv4_parse(t);
        cl::ipv4_text_parts parts(t, L'.', 4);
        EXPECT_LE(parts.count(), 4u);
    }
}

// Random header and body bytes fed in random pieces: the parser consumes no
// more than it is given, keeps the header bound, and refuses rather than grows.
TEST(Robustness, HeaderBlocksFromRandomBytesStayBounded) {
    std::mt19937 rng(6);
    const std::string_view alphabet = "ab:;= \t\r\n\r\n0123456789-\"()[]\\";
    const std::string heads[] = {
        "Content-Length: ", "Transfer-Encoding: chunked\r\n",
        "Content-Type: multipart/byteranges; boundary=", "Subject: ", "From: "};
    for (int r = 0; r < rounds; ++r) {
        cl::rfc822_msg m;
        m.set_max_header_bytes(512);
        m.set_max_body_bytes(1024);
        std::string in = heads[r % 5] + random_bytes(rng, alphabet, 300);
        if (r % 3 == 0) in += "\r\n\r\n" + random_bytes(rng, "0123456789abcdef;\r\n-", 300);
        size_t pos = 0;
        std::uniform_int_distribution<size_t> step(1, 64);
        while (pos < in.size() && !m.complete() && !m.failed()) {
            size_t n = std::min(step(rng), in.size() - pos);
            size_t took = m.feed(in.data() + pos, n);
            ASSERT_LE(took, n);
            if (took == 0) break;
            pos += took;
        }
        EXPECT_LE(m.header_bytes(), 512u);
        EXPECT_LE(m.length(), 1024u + 64);
        for (size_t i = 0; i < m.header_count(); ++i) {
            (void)m.header_value(i, true);
            (void)m.header_name(i, true);
        }
    }
}

// Mail address lists of random punctuation never crash the matcher, and a
// huge list is refused rather than matched through deep recursion.
TEST(Robustness, MailAddressListsOfRandomPunctuation) {
    std::mt19937 rng(7);
    for (int r = 0; r < rounds / 4; ++r) {
        std::wstring t = widen_ascii(random_bytes(rng, "ab@.,:;<>()\"\\[] ", 40));
        int v = cl::is_valid_mail_addr_syntax(t, false);
        EXPECT_TRUE(v == 0 || v == -1) << v;
    }
    std::wstring huge;
    for (int i = 0; i < 20000; ++i)
        huge += L"a@b.c,";
    huge += L"a@b.c";
    int v = cl::is_valid_mail_addr_syntax(huge, false);
    EXPECT_TRUE(v == 0 || v == -1);
}

// Path helpers and token lists on texts made of separators only.
TEST(Robustness, PathHelpersOnSeparatorHeavyTexts) {
    std::mt19937 rng(8);
    for (int r = 0; r < rounds; ++r) {
        std::wstring t = widen_ascii(random_bytes(rng, "/:.a \t\n,", 12));
        auto [base, ext] = cl::split_extension(std::wstring_view(t));
        EXPECT_EQ(base + ext, t);
        auto [dir, name] = cl::split_path(std::wstring_view(t));
        EXPECT_EQ(dir + name, t);
        EXPECT_EQ(cl::dir_part(std::wstring_view(t)) + cl::file_name_part(std::wstring_view(t)), t);
        (void)cl::remove_backslash(std::wstring_view(t));
        (void)cl::file_extension(std::wstring_view(t));
        for (auto tok : cl::comma_list_w(t))
            EXPECT_FALSE(tok.empty());
        for (auto tok : cl::path_list_w(t))
            EXPECT_FALSE(tok.empty());
        (void)cl::find_word(t.c_str(), L"a");
        (void)cl::stristr_w(t.c_str(), L"");
    }
}
