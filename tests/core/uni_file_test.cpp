#include "core/uni_file.h"

#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class UniFile : public tq_test::temp_dir_test {
  protected:
    std::vector<std::wstring> lines(const char* name) {
        cl::uni_file f;
        EXPECT_TRUE(f.open(path(name), cl::o_rdonly));
        std::vector<std::wstring> out;
        std::wstring l;
        for (int i = 0; i < 1000 && f.read_line_w(l); ++i)
            out.push_back(l);
        return out;
    }
};

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b)
        s.push_back(static_cast<char>(x));
    return s;
}

using wv = std::vector<std::wstring>;

} // namespace

TEST_F(UniFile, DetectsEveryMarkAndReadsLines) {
    struct row {
        const char* what;
        std::string content;
        int encoding;
        wv expect;
    };
    const row rows[] = {
        {"utf16le",
         bytes({0xFF, 0xFE, 'A', 0, '\r', 0, '\n', 0, 'B', 0}),
         cl::enc_utf16le,
         {L"A", L"B"}},
        {"utf16be", bytes({0xFE, 0xFF, 0, 'A', 0, '\n', 0, 'B'}), cl::enc_utf16be, {L"A", L"B"}},
        {"utf8", bytes({0xEF, 0xBB, 0xBF, 'x'}), cl::enc_utf8, {L"x"}},
        {"utf32le",
         bytes({0xFF, 0xFE, 0, 0, 'a', 0, 0, 0, '\r', 0, 0, 0, 'b', 0, 0, 0}),
         cl::enc_utf32le,
         {L"a", L"b"}},
        {"utf32be",
         bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, 'a', 0, 0, 0, '\n'}),
         cl::enc_utf32be,
         {L"a"}},
        {"ansi", "a\rb\r\nc\n", cl::enc_ansi, {L"a", L"b", L"c"}},
        {"ansi_utf8_text", "gr\xC3\xBC\xC3\x9F", cl::enc_ansi, {L"gr\u00FC\u00DF"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        put(r.what, r.content);
        cl::uni_file f;
        ASSERT_TRUE(f.open(path(r.what), cl::o_rdonly));
        EXPECT_EQ(f.encoding(), r.encoding);
        f.close();
        EXPECT_EQ(lines(r.what), r.expect);
    }
}

TEST_F(UniFile, LineEndKindsMatchTheFile) {
    put("f",
        bytes({0xFF, 0xFE, 'a', 0, '\r', 0, 'b', 0, '\r', 0, '\n', 0, 'c', 0, '\n', 0, 'd', 0}));
    cl::uni_file f;
    ASSERT_TRUE(f.open(path("f"), cl::o_rdonly));
    std::wstring l;
    const std::pair<const wchar_t*, cl::line_end_kind> expect[] = {
        {L"a", cl::le_cr}, {L"b", cl::le_crlf}, {L"c", cl::le_lf}, {L"d", cl::le_none}};
    for (const auto& [text, kind] : expect) {
        ASSERT_TRUE(f.read_line_w(l));
        EXPECT_EQ(l, text);
        EXPECT_EQ(f.line_end(), kind);
    }
    EXPECT_FALSE(f.read_line_w(l));
}

TEST_F(UniFile, NewFileGetsTheMarkOfItsEncoding) {
    const std::pair<int, std::string> rows[] = {
        {cl::enc_ansi, ""},
        {cl::enc_utf8, bytes({0xEF, 0xBB, 0xBF})},
        {cl::enc_utf16le, bytes({0xFF, 0xFE})},
        {cl::enc_utf16be, bytes({0xFE, 0xFF})},
        {cl::enc_utf32le, bytes({0xFF, 0xFE, 0, 0})},
        {cl::enc_utf32be, bytes({0, 0, 0xFE, 0xFF})},
    };
    for (const auto& [enc, mark] : rows) {
        SCOPED_TRACE(enc);
        fs::remove(dir_ / "n");
        cl::uni_file f;
        ASSERT_TRUE(f.open_with_bom_mode(path("n"), cl::o_rdwr | cl::o_creat, enc));
        EXPECT_EQ(f.encoding(), enc);
        f.close();
        EXPECT_EQ(get("n"), mark);
    }
    // The plain open makes UTF-16 LE.
    cl::uni_file f;
    ASSERT_TRUE(f.open(path("p"), cl::o_wronly | cl::o_creat));
    f.close();
    EXPECT_EQ(get("p"), bytes({0xFF, 0xFE}));
}

TEST_F(UniFile, MarkIsNeverWrittenOverExistingText) {
    // A write-only open cannot read the file; its text must survive and its
    // encoding comes from its own mark.
    put("old", bytes({0xEF, 0xBB, 0xBF, 'h', 'i'}));
    {
        cl::uni_file f;
        ASSERT_TRUE(f.open(path("old"), cl::o_wronly));
        EXPECT_EQ(f.encoding(), cl::enc_utf8);
        EXPECT_TRUE(f.write_bom());
    }
    EXPECT_EQ(get("old"), bytes({0xEF, 0xBB, 0xBF, 'h', 'i'}));

    put("plain", "text");
    {
        cl::uni_file f;
        ASSERT_TRUE(f.open(path("plain"), cl::o_wronly));
        EXPECT_EQ(f.encoding(), cl::enc_ansi);
        EXPECT_TRUE(f.set_encoding(cl::enc_utf16le));
        EXPECT_TRUE(f.write_bom());
    }
    EXPECT_EQ(get("plain"), "text");
}

TEST_F(UniFile, RoundTripsEveryEncodingWithAndWithoutMark) {
    const std::wstring text[] = {L"plain", L"\u00E4\u20AC \U0001F600 end", L"", L"x\U00010348"};
    for (int enc = cl::enc_ansi; enc <= cl::enc_utf32be; ++enc) {
        for (bool without_mark : {false, true}) {
            SCOPED_TRACE(std::string(cl::encoding_name(enc)) + (without_mark ? " bare" : ""));
            fs::remove(dir_ / "r");
            {
                cl::uni_file f;
                ASSERT_TRUE(
                    f.open_with_bom_mode(path("r"), cl::o_rdwr | cl::o_creat, cl::enc_ansi));
                ASSERT_TRUE(f.set_encoding(enc, without_mark));
                ASSERT_TRUE(f.write_bom());
                for (const auto& t : text)
                    ASSERT_TRUE(f.write_line(t));
            }
            cl::uni_file f;
            ASSERT_TRUE(f.open(path("r"), cl::o_rdonly));
            // Without a mark only ANSI can be told from the bytes.
            if (without_mark) {
                ASSERT_TRUE(f.set_encoding(enc, true));
            }
            EXPECT_EQ(f.encoding(), enc);
            std::wstring l;
            for (const auto& t : text) {
                ASSERT_TRUE(f.read_line_w(l));
                EXPECT_EQ(l, t);
                EXPECT_EQ(f.line_end(), cl::le_crlf);
            }
            EXPECT_FALSE(f.read_line_w(l));
        }
    }
}

TEST_F(UniFile, AstralCharactersMeetTheBytesAsTheEncodingWants) {
    const std::pair<int, std::string> rows[] = {
        {cl::enc_utf8, bytes({0xEF, 0xBB, 0xBF, 0xF0, 0x9F, 0x98, 0x80})},
        {cl::enc_utf16le, bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE})},
        {cl::enc_utf16be, bytes({0xFE, 0xFF, 0xD8, 0x3D, 0xDE, 0x00})},
        {cl::enc_utf32le, bytes({0xFF, 0xFE, 0, 0, 0x00, 0xF6, 0x01, 0x00})},
        {cl::enc_utf32be, bytes({0, 0, 0xFE, 0xFF, 0x00, 0x01, 0xF6, 0x00})},
    };
    for (const auto& [enc, expect] : rows) {
        SCOPED_TRACE(enc);
        for (bool as_pair : {false, true}) {
            fs::remove(dir_ / "a");
            {
                cl::uni_file f;
                ASSERT_TRUE(f.open_with_bom_mode(path("a"), cl::o_rdwr | cl::o_creat, enc));
                if (as_pair) {
                    // A caller holding UTF-16 units hands in the pair.
                    ASSERT_TRUE(f.write_char(wchar_t(0xD83D)));
                    ASSERT_TRUE(f.write_char(wchar_t(0xDE00)));
                } else {
                    ASSERT_TRUE(f.write_char(wchar_t(0x1F600)));
                }
            }
            EXPECT_EQ(get("a"), expect);
            cl::uni_file f;
            ASSERT_TRUE(f.open(path("a"), cl::o_rdonly));
            wchar_t c = 0;
            ASSERT_TRUE(f.read_char(c)); // the text starts after the mark
            EXPECT_EQ(static_cast<uint32_t>(c), 0x1F600u);
            EXPECT_FALSE(f.read_char(c));
        }
    }
}

TEST_F(UniFile, MalformedUtf8BecomesQuestionMarks) {
    const std::pair<std::string, std::wstring> rows[] = {
        // A broken sequence never swallows the byte that broke it.
        {bytes({0xEF, 0xBB, 0xBF, 0xC3, 'A'}), L"?A"},
        {bytes({0xEF, 0xBB, 0xBF, 'a', 0x80, 'b', 0xFE, 0xFF}), L"a?b??"},
        {bytes({0xEF, 0xBB, 0xBF, 0xE2, 0x82, 'x'}), L"?x"},
        // Overlong forms and encoded surrogates never pass as other characters.
        {bytes({0xEF, 0xBB, 0xBF, 0xC0, 0xAF, 0xED, 0xA0, 0x80}), L"\uFFFD\uFFFD"},
        {bytes({0xEF, 0xBB, 0xBF, 0xF8, 0x88, 0x80, 0x80, 0x80}), L" "},
    };
    for (const auto& [content, expect] : rows) {
        put("m", content);
        EXPECT_EQ(lines("m"), wv{expect});
    }
}

TEST_F(UniFile, BadLeadByteBeforeLineEndKeepsTheLineEnd) {
    put("m", bytes({0xEF, 0xBB, 0xBF, 'a', 0xC3, '\r', '\n', 'b', 0xE2, 0x82, '\n', 'c'}));
    EXPECT_EQ(lines("m"), (wv{L"a?", L"b?", L"c"}));
    put("u16", bytes({0xFF, 0xFE, 0x3D, 0xD8, '\n', 0, 'z', 0}));
    EXPECT_EQ(lines("u16"), (wv{L"\uFFFD", L"z"}));
}

TEST_F(UniFile, TruncatedCharacterAtEndOfFileEndsReading) {
    const std::string rows[] = {
        bytes({0xEF, 0xBB, 0xBF, 'a', 'b', 0xF0, 0x9F, 0x98}),
        bytes({0xFF, 0xFE, 'a', 0, 'b', 0, 0x3D}),
        bytes({0xFF, 0xFE, 'a', 0, 'b', 0, 0x3D, 0xD8}),
        bytes({0xFF, 0xFE, 0, 0, 'a', 0, 0, 0, 'b', 0, 0, 0, 1, 0}),
    };
    for (const auto& content : rows) {
        put("t", content);
        EXPECT_EQ(lines("t"), wv{L"ab"});
    }
    // The same at a buffer edge: a long line whose last character is cut.
    std::string big = bytes({0xEF, 0xBB, 0xBF}) + std::string(4093, 'x') + bytes({0xE2, 0x82});
    put("big", big);
    EXPECT_EQ(lines("big"), wv{std::wstring(4093, L'x')});
}

TEST_F(UniFile, LinesAcrossBufferEdges) {
    // CR as the last byte of a buffer still pairs with the LF after it.
    std::string content(4095, 'a');
    content += "\r\nb\r";
    put("e", content);
    cl::uni_file f;
    ASSERT_TRUE(f.open(path("e"), cl::o_rdonly));
    std::wstring l;
    ASSERT_TRUE(f.read_line_w(l));
    EXPECT_EQ(l.size(), 4095u);
    EXPECT_EQ(f.line_end(), cl::le_crlf);
    ASSERT_TRUE(f.read_line_w(l));
    EXPECT_EQ(l, L"b");
    EXPECT_EQ(f.line_end(), cl::le_cr);
    EXPECT_FALSE(f.read_line_w(l));
}

TEST_F(UniFile, MarkInsideTheTextIsSkippedOnlyAtLineStart) {
    put("b", bytes({0xEF, 0xBB, 0xBF, 0xEF, 0xBB, 0xBF, 'a', 0xEF, 0xBB, 0xBF, '\n'}));
    EXPECT_EQ(lines("b"), wv{L"a\uFEFF"});
    cl::uni_file f;
    ASSERT_TRUE(f.open(path("b"), cl::o_rdonly));
    f.set_flags(f.flags() | cl::uni_file::uf_skip_bom_char);
    wchar_t c;
    ASSERT_TRUE(f.read_char(c));
    EXPECT_EQ(c, L'a');
}

TEST_F(UniFile, SeekAndTellCountFromTheTextStart) {
    put("s", bytes({0xFF, 0xFE, 'a', 0, 'b', 0, 'c', 0}));
    cl::uni_file f;
    ASSERT_TRUE(f.open(path("s"), cl::o_rdonly));
    EXPECT_EQ(f.tell(), 0);
    EXPECT_EQ(f.seek(2, 0), 2);
    wchar_t c;
    ASSERT_TRUE(f.read_char(c));
    EXPECT_EQ(c, L'b');
    EXPECT_EQ(f.tell(), 4);
}

TEST_F(UniFile, NarrowTextAndCharactersGoThroughTheEncoding) {
    {
        cl::uni_file f;
        ASSERT_TRUE(f.open(path("n"), cl::o_rdwr | cl::o_creat)); // UTF-16 LE
        ASSERT_TRUE(f.write_text(std::string_view("\xC3\xA4")));
        for (char ch : std::string("\xE2\x82\xAC"))
            ASSERT_TRUE(f.put_char_a(ch));
    }
    EXPECT_EQ(get("n"), bytes({0xFF, 0xFE, 0xE4, 0, 0xAC, 0x20}));
    cl::uni_file f;
    ASSERT_TRUE(f.open(path("n"), cl::o_rdonly));
    std::string narrow;
    char ch;
    for (int i = 0; i < 10 && f.get_char_a(ch); ++i)
        narrow.push_back(ch);
    EXPECT_EQ(narrow, "\xC3\xA4\xE2\x82\xAC");
}

TEST_F(UniFile, StreamBuffersWritesAndMixesWithSeeks) {
    cl::file_stream s(64);
    ASSERT_TRUE(s.open(path("w"), cl::o_rdwr | cl::o_creat));
    std::string big(200, 'z');
    ASSERT_EQ(s.write("abc", 3), 3);
    ASSERT_EQ(s.write(big.data(), 200), 200);
    ASSERT_EQ(s.write("\n", 1), 1);
    EXPECT_EQ(s.tell(), 204);
    EXPECT_EQ(s.size(), 204);
    ASSERT_EQ(s.seek(1, 0), 1);
    char buf[2];
    ASSERT_EQ(s.read(buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "bc");
    // Output after a read lands where the reader stands.
    ASSERT_EQ(s.write("XY", 2), 2);
    ASSERT_EQ(s.seek(0, 0), 0);
    std::string line;
    ASSERT_TRUE(s.read_line(line));
    EXPECT_EQ(line.substr(0, 6), "abcXYz");
    EXPECT_EQ(s.tell(), 204);
    ASSERT_EQ(s.seek(3, 0), 3);
    EXPECT_TRUE(s.truncate());
    s.close();
    EXPECT_EQ(get("w"), "abc");
}

TEST_F(UniFile, CopyFileContentsKeepsTheSourceEncoding) {
    put("src", bytes({0xFE, 0xFF, 0, 'q'}));
    put("dst", "old longer text");
    cl::uni_file a, b;
    ASSERT_TRUE(a.open(path("src"), cl::o_rdonly));
    ASSERT_TRUE(b.open(path("dst"), cl::o_rdwr));
    ASSERT_TRUE(cl::copy_file_contents(a, b, true));
    EXPECT_EQ(b.encoding(), cl::enc_utf16be);
    b.close();
    EXPECT_EQ(get("dst"), bytes({0xFE, 0xFF, 0, 'q'}));
}

TEST(UniFileNames, EncodingNames) {
    EXPECT_STREQ(cl::encoding_name(0), "ANSI");
    EXPECT_STREQ(cl::encoding_name(3), "UTF-16 bigendian");
    EXPECT_STREQ(cl::encoding_name(4), "UTF-32 litteendian");
    EXPECT_STREQ(cl::encoding_name(6), "???");
    cl::uni_file f;
    EXPECT_FALSE(f.set_encoding(6));
}
