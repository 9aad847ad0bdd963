#include "core/path.h"
#include "core/text.h"

#include <climits>
#include <gtest/gtest.h>
#include <map>
#include <string>

using namespace cl;

namespace {

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s += char(c);
    return s;
}

} // namespace

TEST(text_classes, ascii_only) {
    EXPECT_TRUE(is_space(' ') && is_space('\t') && is_space('\v') && is_space('\r'));
    EXPECT_FALSE(is_space('\0'));
    EXPECT_FALSE(is_space(wchar_t(0xA0))); // no class above 127
    EXPECT_FALSE(is_alpha(char(0xE9)));
    EXPECT_FALSE(is_alpha(wchar_t(0xE9)));
    EXPECT_TRUE(is_alpha('Q') && is_upper('Q') && !is_lower('Q'));
    EXPECT_TRUE(is_digit_w(L'7') && !is_digit_w(wchar_t(0x0667)));
    EXPECT_EQ(to_upper_copy_w(L"aé-z"), L"Aé-Z");
    EXPECT_EQ(to_lower_copy("ABC\xC3\x89"), "abc\xC3\x89");
    EXPECT_EQ(to_lower_char('['), '[');
    EXPECT_EQ(to_upper_char_w(L'{'), L'{');
}

TEST(text_trim, ends_and_collapse) {
    std::wstring w = L" \t a b \r\n";
    trim_w(w);
    EXPECT_EQ(w, L"a b");
    std::string s = "  x ";
    trim_left(s);
    EXPECT_EQ(s, "x ");
    trim_right(s);
    EXPECT_EQ(s, "x");
    EXPECT_EQ(collapse_spaces("  Intel(R)   Core(TM)\t i7  "), "Intel(R) Core(TM) i7");
}

TEST(text_compare, ranges_and_search) {
    EXPECT_EQ(compare_range("abc", 3, "ABC", 3), 0);
    EXPECT_LT(compare_range("ab", 2, "ABC", 3), 0);
    EXPECT_GT(compare_range("abd", 3, "ABC", 3), 0);
    EXPECT_EQ(compare_trimmed("  Keep-Alive ", "keep-alive"), 0);
    EXPECT_EQ(compare_trimmed_w(L"x", L" X\t"), 0);

    const char* t = "Hello World";
    EXPECT_EQ(stristr(t, "WORLD"), t + 6);
    EXPECT_EQ(stristr(t, ""), t);
    EXPECT_EQ(stristr("", "a"), nullptr);
    EXPECT_EQ(stristr("", ""), nullptr);
    EXPECT_EQ(stristr("abc", "abcd"), nullptr);

    const wchar_t* a = L"x -install";
    EXPECT_EQ(find_word(a, L"-INSTALL"), a + 2);
    EXPECT_EQ(find_word(L"x -installer", L"-install"), nullptr);
    EXPECT_EQ(find_word(L"x-install", L"-install"), nullptr);
    const wchar_t* b = L"-dump_request_body -d";
    EXPECT_EQ(find_word(b, L"-d"), b + 19);
    const wchar_t* c = L"-d2";
    EXPECT_EQ(find_word(c, L"-d"), c); // a digit is not a letter
}

// The comparison takes eight bytes per step: every byte value in every place
// of a word, and words that differ only in case or only past the first word,
// must order exactly as one byte at a time does.
TEST(text_compare, ranges_order_as_folded_bytes) {
    const auto reference = [](const std::string& a, const std::string& b) {
        const auto fold = [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u >= 'A' && u <= 'Z' ? u + 32 : u;
        };
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
            if (fold(a[i]) != fold(b[i])) return fold(a[i]) < fold(b[i]) ? -1 : 1;
        return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    };
    const std::string base = "Content-Type-And-More";
    for (std::size_t at = 0; at < base.size(); ++at)
        for (int v = 0; v < 256; ++v) {
            std::string x = base;
            x[at] = static_cast<char>(v);
            for (const std::string& y :
                 {base, x.substr(0, at + 1), std::string("CONTENT-TYPE-AND-MORE")}) {
                SCOPED_TRACE(testing::Message() << "byte " << v << " at " << at);
                EXPECT_EQ(compare_range(x.data(), x.size(), y.data(), y.size()), reference(x, y));
                EXPECT_EQ(compare_range(y.data(), y.size(), x.data(), x.size()), reference(y, x));
                EXPECT_EQ(iequals(x, y), reference(x, y) == 0);
            }
            // The rest past the last whole word is loaded at once: the
            // difference in every place of a rest of every length.
            for (std::size_t length = at + 1; length <= base.size(); ++length) {
                const std::string a = x.substr(0, length), b = base.substr(0, length);
                SCOPED_TRACE(testing::Message()
                             << "byte " << v << " at " << at << " of " << length);
                EXPECT_EQ(compare_range(a.data(), a.size(), b.data(), b.size()), reference(a, b));
                EXPECT_EQ(iequals(a, b), reference(a, b) == 0);
            }
        }
}

// The header-text checks take eight bytes per step and load a short rest
// in one word: every byte value in every place of texts of every length
// up to three words must be judged as one byte at a time judges it.
TEST(text_compare, header_text_checks_judge_every_byte_as_a_byte_loop_does) {
    const auto control = [](const std::string& s) {
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u == 0x7F) return true;
        }
        return false;
    };
    const auto name = [](const std::string& s) {
        for (const char c : s) {
            const auto u = static_cast<unsigned char>(c);
            if (u <= 0x20 || u == 0x7F || c == ':') return false;
        }
        return !s.empty();
    };
    const auto crlf = [](const std::string& s, std::size_t pos) { return s.find("\r\n", pos); };
    EXPECT_FALSE(has_control(""));
    EXPECT_FALSE(is_field_name(""));
    EXPECT_EQ(find_crlf(""), std::string_view::npos);
    const std::string base = "Accept-Ranges-Bytes-123";
    for (std::size_t length = 1; length <= base.size(); ++length)
        for (std::size_t at = 0; at < length; ++at)
            for (int v = 0; v < 256; ++v) {
                std::string x = base.substr(0, length);
                x[at] = static_cast<char>(v);
                SCOPED_TRACE(testing::Message()
                             << "byte " << v << " at " << at << " of " << length);
                EXPECT_EQ(has_control(x), control(x));
                EXPECT_EQ(is_field_name(x), name(x));
                if (at + 1 < length) x[at + 1] = '\n';
                for (std::size_t pos : {std::size_t{0}, at, at + 1})
                    EXPECT_EQ(find_crlf(x, pos), crlf(x, pos));
            }
}

TEST(text_compare, iless_orders_map_keys) {
    std::map<std::wstring, int, wstring_iless> m;
    m[L"Param"] = 1;
    m[L"param"] = 2;
    m[L"all"] = 3;
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m.begin()->first, L"all");
    EXPECT_TRUE(wstring_iless_fn(L"ab", L"ABC"));
    EXPECT_FALSE(wstring_iless_fn(L"ABC", L"ab"));
    EXPECT_EQ(wstring_icompare_cstr(L"DynIP", L"dynip"), 0);
    EXPECT_NE(wstring_icompare_cstr(L"a", nullptr), 0);
}

TEST(text_bounded, copy_always_terminates) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(str_copy_bounded(buf, "abcdef", 4), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(str_copy_bounded(buf, "abc", 0), 0u);
    EXPECT_EQ(buf[0], 'a');
    wchar_t w[3];
    EXPECT_EQ(wcs_copy_bounded(w, L"xyz", 3), 2u);
    EXPECT_EQ(std::wstring(w), L"xy");
    EXPECT_EQ(strnlen_bounded("abc", 2), 2u);
    EXPECT_EQ(wcsnlen_bounded(nullptr, 5), 0u);
}

TEST(text_rstring, view_operations) {
    std::wstring s = L"abcdef";
    wrstring r = rstring_from_wstring(s);
    EXPECT_EQ(r.substr(6).data(), nullptr);
    EXPECT_EQ(r.substr(6).size(), 0u);
    EXPECT_EQ(r.substr(4, 100).str(), L"ef");
    EXPECT_EQ(r.compare_at(1, 2, L"bc", 2), 0);
    EXPECT_EQ(r.compare_at(1, 2, L"bcd", 3), -1);
    EXPECT_EQ(r.compare_at(1, 3, L"bc", 2), 1);
    EXPECT_EQ(r.compare_at(0, 1, L"b", 1), -1);
    EXPECT_EQ(r.compare_at(9, 1, L"", 0), 0);
    wchar_t buf[8];
    EXPECT_EQ(r.copy(buf, 3, 4), 2u);
    EXPECT_EQ(r.copy(buf, 3, 7), 0u);
    EXPECT_EQ(r.find(L'd'), 3);
    EXPECT_EQ(r.find(L'a', 1), -1);
    EXPECT_EQ(r.find(L'a', 100), -1);
    EXPECT_EQ(rstring_front_w(wrstring()), 0);
    rstring_pop_front_w(r);
    EXPECT_EQ(rstring_front_w(r), L'b');
    EXPECT_EQ(rstring_concat3_str(L"a", wrstring(), L"c"), L"ac");
    EXPECT_EQ(wrstring(static_cast<const wchar_t*>(nullptr)).size(), 0u);
}

TEST(text_numbers, parse_with_saturation) {
    EXPECT_EQ(wstring_to_int(L"  -12x"), -12);
    EXPECT_EQ(wstring_to_int(L"x"), 0);
    EXPECT_EQ(wstring_to_int(L"+7"), 7);
    EXPECT_EQ(wstring_to_int(L"2147483647"), INT32_MAX);
    EXPECT_EQ(wstring_to_int(L"2147483648"), INT32_MAX);
    EXPECT_EQ(wstring_to_int(L"-2147483648"), INT32_MIN);
    EXPECT_EQ(wstring_to_int(L"-99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(wstring_to_int(L"4294967297"), INT32_MAX); // never wraps to 1
    EXPECT_EQ(rstring_to_int_w(wrstring(L"\t42 ")), 42);
    EXPECT_EQ(cstr_to_int_w(nullptr), 0);
    EXPECT_EQ(hex_to_int_str("ff"), 255u);
    EXPECT_EQ(hex_to_int_wstr(L" FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(rstring_hex_to_int(rstring("100000001")),
              0xFFFFFFFFu); // a replayed nonce count cannot wrap to 1
    EXPECT_EQ(hex_to_int_str("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(cstr_hex_to_int_w(L"1aG"), 0x1Au);
    EXPECT_EQ(hex_pair_value(L'4', L'f'), 0x4F);
    EXPECT_EQ(hex_pair_value(L'g', L'0'), -1);
}

TEST(text_numbers, digits_at_limits) {
    char b[80];
    wchar_t w[80];
    EXPECT_EQ(uint32_to_dec(12345, b, 3), 2u);
    EXPECT_STREQ(b, "45");
    EXPECT_EQ(int32_to_dec(-12345, b, 3), 2u);
    EXPECT_STREQ(b, "-5");
    EXPECT_EQ(int32_to_dec(-1, b, 0), 0u);
    EXPECT_EQ(int32_to_dec(INT32_MIN, b, sizeof b), 11u);
    EXPECT_STREQ(b, "-2147483648");
    EXPECT_EQ(int64_to_chars(INT64_MIN, b, sizeof b), 20u);
    EXPECT_STREQ(b, "-9223372036854775808");
    EXPECT_EQ(uint64_to_chars(UINT64_MAX, b, sizeof b), 20u);
    EXPECT_STREQ(b, "18446744073709551615");
    uint64_to_oct(UINT64_MAX, b, sizeof b);
    EXPECT_STREQ(b, "1777777777777777777777");
    uint64_to_hex_upper_w(0xABCDEF0123456789ull, w, 80);
    EXPECT_EQ(std::wstring(w), L"ABCDEF0123456789");
    uint32_to_base36(35, b, sizeof b);
    EXPECT_STREQ(b, "z");
    uint32_to_base64(64, b, sizeof b);
    EXPECT_STREQ(b, "BA");
    uint32_to_base64(0, b, sizeof b);
    EXPECT_STREQ(b, "A");
    EXPECT_EQ(int32_to_string(-5), "-5");
    EXPECT_EQ(uint64_to_wstring(UINT64_MAX), L"18446744073709551615");
    EXPECT_EQ(uint16_to_hex_wstring(0xbeef), L"BEEF");
    EXPECT_EQ(uint64_to_base36_wstring(36 * 36), L"100");
}

TEST(text_tokens, lists) {
    comma_list_w c(L" a, ,b c ,");
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].str(), L"a");
    EXPECT_EQ(c[1].str(), L"b c");
    EXPECT_TRUE(comma_list_w(L" , ").empty());

    // Copies keep their tokens pointing into their own text.
    comma_list_w copy = c;
    comma_list_w moved = std::move(c);
    EXPECT_EQ(copy[1].str(), L"b c");
    EXPECT_GE(copy[1].data(), copy.text().data());
    EXPECT_LT(copy[1].data(), copy.text().data() + copy.text().size());
    EXPECT_EQ(moved[0].str(), L"a");

    std::wstring mine = L"x,y";
    comma_list_w borrowed(borrow_text, mine);
    EXPECT_TRUE(borrowed.text().empty());
    EXPECT_EQ(borrowed[1].data(), mine.data() + 2);

    line_list_w lines(L"one\r\n\n two \n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].str(), L"two");
    path_list_w p(L"/srv/www//docs/");
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[2].str(), L"docs");
    field_list f(std::string("a\x02 b \x02"));
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].str(), "b");

    std::vector<std::string> out;
    const char timeout[] = "Infinite, Second-4100\0, ignored";
    split_comma_list(timeout, sizeof timeout - 1, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], "Second-4100");
}

// --- UTF-8 ------------------------------------------------------------------

TEST(text_utf8, round_trips_with_four_byte_characters) {
    std::wstring w = L"a\u00e9\u20ac";
    w += wchar_t(0x1F600);
    w += wchar_t(0x10FFFF);
    std::string u = utf16_to_utf8(w);
    EXPECT_EQ(u, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(utf8_to_utf16(u), w);
    EXPECT_TRUE(is_valid_utf8(u));
}

TEST(text_utf8, streaming_decoder) {
    std::string in = bytes({0xC3, 0xA9});
    std::wstring out;
    EXPECT_TRUE(utf8_decode_append(in, out));
    EXPECT_EQ(out, L"\u00e9");
    EXPECT_TRUE(in.empty());

    in = bytes({0xC3});
    out.clear();
    EXPECT_TRUE(utf8_decode_append(in, out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(in, bytes({0xC3}));
    in += bytes({0xA9, 'x', 0xF0, 0x9F});
    EXPECT_TRUE(utf8_decode_append(in, out));
    EXPECT_EQ(out, L"\u00e9x");
    EXPECT_EQ(in, bytes({0xF0, 0x9F}));
    in += bytes({0x98, 0x80});
    EXPECT_TRUE(utf8_decode_append(in, out));
    EXPECT_EQ(out.back(), wchar_t(0x1F600));
    EXPECT_TRUE(in.empty());

    in = bytes({0x80, 'A'});
    out.clear();
    EXPECT_FALSE(utf8_decode_append(in, out));
    EXPECT_EQ(out, L"\u0080A");
}

TEST(text_utf8, ill_formed_input_never_aliases) {
    struct row {
        std::string in;
        std::wstring expect;
    };
    const wchar_t R = replacement_char;
    const row rows[] = {
        {bytes({0xC0, 0xAF}), {R}},                   // overlong "/"
        {bytes({0xE0, 0x80, 0xAE}), {R}},             // overlong "."
        {bytes({0xF0, 0x80, 0x80, 0xAF}), {R}},       // overlong "/"
        {bytes({0xC1, 0xBF}), {R}},                   // overlong
        {bytes({0xED, 0xA0, 0x80}), {R}},             // lone high surrogate
        {bytes({0xED, 0xBF, 0xBF}), {R}},             // lone low surrogate
        {bytes({0xF4, 0x90, 0x80, 0x80}), {R}},       // U+110000
        {bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), {R}}, // five-byte form
        {bytes({0xFC, 0x80, 0x80, 0x80, 0x80, 0xAF}), {R}},
        {bytes({0xFE, 'a'}), {0xFE, L'a'}},
        {bytes({0xC3, 'A'}), {0xC3, L'A'}},    // lead without continuation
        {bytes({'a', 0xE2, 0x82}), {L'a', R}}, // truncated at the end
    };
    for (const auto& r : rows) {
        std::wstring w = utf8_to_utf16(r.in);
        EXPECT_EQ(w, r.expect) << testing::PrintToString(r.in);
        EXPECT_EQ(w.find(L'/'), std::wstring::npos);
        EXPECT_FALSE(is_valid_utf8(r.in));
    }
    std::string in = bytes({0xC0, 0xAF});
    std::wstring out;
    EXPECT_FALSE(utf8_decode_append(in, out));
    EXPECT_TRUE(in.empty());
}

TEST(text_utf8, shortest_forms_at_their_boundaries) {
    // The largest overlong form of each length is refused, the smallest
    // proper one taken: a minimum one too low or too high shows here.
    struct row {
        std::string in;
        std::wstring expect;
        bool valid;
    };
    const wchar_t R = replacement_char;
    const row rows[] = {
        {bytes({0xC1, 0xBF}), {R}, false},                            // U+007F in two bytes
        {bytes({0xC2, 0x80}), {wchar_t(0x80)}, true},                 // U+0080
        {bytes({0xE0, 0x80, 0x80}), {R}, false},                      // U+0000 in three
        {bytes({0xE0, 0x9F, 0xBF}), {R}, false},                      // U+07FF in three
        {bytes({0xE0, 0xA0, 0x80}), {wchar_t(0x800)}, true},          // U+0800
        {bytes({0xF0, 0x80, 0x80, 0x80}), {R}, false},                // U+0000 in four
        {bytes({0xF0, 0x8F, 0xBF, 0xBF}), {R}, false},                // U+FFFF in four
        {bytes({0xF0, 0x90, 0x80, 0x80}), {wchar_t(0x10000)}, true},  // U+10000
        {bytes({0xF4, 0x8F, 0xBF, 0xBF}), {wchar_t(0x10FFFF)}, true}, // U+10FFFF
    };
    for (const auto& r : rows) {
        EXPECT_EQ(utf8_to_utf16(r.in), r.expect) << testing::PrintToString(r.in);
        EXPECT_EQ(is_valid_utf8(r.in), r.valid) << testing::PrintToString(r.in);
    }
}

TEST(text_utf8, encoder) {
    std::wstring pair = {wchar_t(0xD83D), wchar_t(0xDE00)};
    EXPECT_EQ(utf16_to_utf8(pair), "\xF0\x9F\x98\x80");
    // Unpaired surrogates and values beyond Unicode encode as U+FFFD.
    EXPECT_EQ(utf16_to_utf8(std::wstring{wchar_t(0xDC00), L'a'}), "\xEF\xBF\xBD"
                                                                  "a");
    EXPECT_EQ(utf16_to_utf8(std::wstring{wchar_t(0xD800), L'a'}), "\xEF\xBF\xBD"
                                                                  "a");
    EXPECT_EQ(utf16_to_utf8(std::wstring{wchar_t(0x110000)}), "\xEF\xBF\xBD");
    // An ASCII run before and after the rest, and a high surrogate left open
    // at the end.
    EXPECT_EQ(utf16_to_utf8(std::wstring{L'/', L'a', wchar_t(0xD83D), wchar_t(0xDE00), L'b',
                                         wchar_t(0xE9), L'c', wchar_t(0xD800)}),
              "/a\xF0\x9F\x98\x80"
              "b\xC3\xA9"
              "c\xEF\xBF\xBD");
    EXPECT_EQ(utf16_to_utf8(std::wstring(L"/plain/ascii.txt")), "/plain/ascii.txt");
    EXPECT_EQ(utf16_to_utf8(std::wstring()), "");
    std::wstring w;
    code_point_to_utf16(0x1F600, w);
    code_point_to_utf16(0x110000, w);
    EXPECT_EQ(w, (std::wstring{wchar_t(0x1F600), L'?'}));
}

TEST(text_codepages, conversions) {
    EXPECT_EQ(mb_to_wide_cstr("\xE9t\xE9", 1252), L"\u00e9t\u00e9");
    EXPECT_EQ(wide_to_mb_wstr(L"\u00e9\u20ac", 1252), "\xE9\x80");
    EXPECT_EQ(wide_to_mb_wstr(L"a\u4e2db", 1252), "a?b");
    EXPECT_EQ(mb_to_wide_cstr("\x81", 1252), std::wstring(1, replacement_char));
    EXPECT_EQ(wide_to_mb_cstr(L"\u00e9", cp_acp), "\xC3\xA9");
    EXPECT_EQ(mb_to_wide_str("\xC3\xA9", cp_utf8), L"\u00e9");
    EXPECT_EQ(to_wstring_acp(nullptr), L"");
    EXPECT_EQ(mb_to_wide("abc", 3, 99999), L"");
    EXPECT_EQ(mb_to_wide_cstr("\x82\xa0", 932), L"\u3042");

    wchar_t wb[3];
    EXPECT_FALSE(mb_to_wide_buf(wb, 3, "abcd"));
    EXPECT_EQ(std::wstring(wb), L"ab");
    EXPECT_FALSE(mb_to_wide_buf(wb, 3, "abcd", false));
    EXPECT_EQ(std::wstring(wb), L"");
    EXPECT_TRUE(mb_to_wide_buf(wb, 3, nullptr));
    char nb[4];
    EXPECT_FALSE(wide_to_mb_buf(nb, 4, L"a\u00e9\u00e9")); // never half a sequence
    EXPECT_STREQ(nb, "a\xC3\xA9");
    EXPECT_FALSE(wide_to_mb_buf(nb, 3, L"a\u00e9\u00e9"));
    EXPECT_STREQ(nb, "a");
    EXPECT_EQ(to_oem(std::wstring_view(L"\u00e9")), "\xC3\xA9");
}

TEST(text_base64, decode) {
    struct row {
        const char* in;
        std::string out;
    };
    const row rows[] = {
        {"QQ==", "A"},        {"QUI=", "AB"}, {"QUJD", "ABC"},
        {"QUJDRA==", "ABCD"}, {"QUJ", ""},    {"Q===", ""},
        {"QU\r\nJD", "ABC"},  {"", ""},       {"dXNlcjpwYXNz", "user:pass"},
        {"/+8=", "\xFF\xEF"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(base64_decode(r.in), r.out) << r.in;
    // Characters outside the alphabet count as zero and keep their position.
    EXPECT_EQ(base64_decode("Q!=="), std::string(1, 'A' - 1));
}

// --- paths ------------------------------------------------------------------

TEST(text_paths, separators_and_parts) {
    EXPECT_EQ(remove_backslash(L"/"), L"/");
    EXPECT_EQ(remove_backslash(L"/srv/dir/"), L"/srv/dir");
    EXPECT_EQ(remove_backslash(L"dir"), L"dir");
    EXPECT_EQ(remove_backslash(L""), L"");
    EXPECT_EQ(with_backslash(L"/srv"), L"/srv/");
    EXPECT_EQ(with_backslash(L""), L"");
    std::wstring p = L"/srv/";
    append_backslash(p);
    EXPECT_EQ(p, L"/srv/");

    EXPECT_EQ(split_extension(L"/dir.x/file"),
              std::make_pair(std::wstring(L"/dir.x/file"), std::wstring()));
    EXPECT_EQ(split_extension(L"name.tar.gz"),
              std::make_pair(std::wstring(L"name.tar"), std::wstring(L".gz")));
    EXPECT_EQ(file_extension(L"a.b/c"), L"");
    EXPECT_EQ(file_extension(L"c.TXT"), L"TXT");
    EXPECT_EQ(file_extension("noext"), "");
    EXPECT_EQ(split_path(L"/a/b.txt"),
              std::make_pair(std::wstring(L"/a/"), std::wstring(L"b.txt")));
    EXPECT_EQ(split_path(L"b.txt"), std::make_pair(std::wstring(), std::wstring(L"b.txt")));
    EXPECT_EQ(dir_part(L"/a/b"), L"/a/");
    EXPECT_EQ(dir_part(L"b"), L"");
    EXPECT_EQ(file_name_part(L"/a/b"), L"b");
    EXPECT_EQ(file_name_part(L"b"), L"b");
    EXPECT_EQ(file_name_part(L"/a/"), L"");
    EXPECT_EQ(file_name_part("/a/b.txt"), "b.txt");
    EXPECT_EQ(file_name_part("b.txt"), "b.txt");
    EXPECT_EQ(file_name_view(L"/a/b.c.txt"), L"b.c.txt");
    std::wstring q = L"/a/b/c.txt";
    strip_file_name(q);
    EXPECT_EQ(q, L"/a/b/");
    q = L"c.txt";
    strip_file_name(q);
    EXPECT_EQ(q, L"");
    q = L"/a/b/c.txt";
    strip_dir_part(q);
    EXPECT_EQ(q, L"c.txt");
    EXPECT_FALSE(is_relative_path(L""));
    EXPECT_FALSE(is_relative_path(L"/etc"));
    EXPECT_TRUE(is_relative_path(L"C:x"));
    EXPECT_TRUE(is_relative_path(L"docs/a"));
}

TEST(text_paths, quotes) {
    std::wstring s = L"a b";
    add_quotes(s);
    EXPECT_EQ(s, L"\"a b\"");
    add_quotes(s);
    EXPECT_EQ(s, L"\"a b\"");
    s = L"\"";
    add_quotes(s);
    EXPECT_EQ(s, L"\"\"\"");
    strip_quotes(s);
    EXPECT_EQ(s, L"\"");
    s = L"\"x\"";
    strip_quotes(s);
    EXPECT_EQ(s, L"x");
}

// Parameter names are found only outside quotes and at a boundary, so a
// quoted value or a longer name that ends in the wanted one cannot stand in.
TEST(TextHelpersForCallers, FindUnquotedAndBoundedReaders) {
    const struct {
        const char* text;
        const char* name;
        size_t at;
    } finds[] = {
        {"realm=\"a, nonce=x\", nonce=y", "nonce", 20},
        {"cnonce=1, nonce=2", "nonce", 10},
        {"nonce=1", "nonce", 0},
        {"a=\"x\\\" nonce=1\"", "nonce", std::string::npos},
        {"a=\"open", "open", std::string::npos},
        {"x", "", std::string::npos},
        {"a=1,\tqop=auth", "qop", 5},
    };
    for (const auto& f : finds)
        EXPECT_EQ(cl::rstring_find_unquoted(f.text, f.name), f.at) << f.text;
    EXPECT_EQ(cl::rstring_find_unquoted("a;b", "b", ';'), 2u);

    EXPECT_EQ(cl::parse_int_n("20061104", 4), 2006);
    EXPECT_EQ(cl::parse_int_n(L"20061104" + 4, 2), 11);
    EXPECT_EQ(cl::parse_int_n("7", 10), 7); // stops at the terminator
    EXPECT_EQ(cl::parse_int_n(static_cast<const char*>(nullptr), 3), 0);

    EXPECT_EQ(cl::trim_left_copy(std::string_view(" \t a b \n")), "a b \n");
    EXPECT_EQ(cl::trim_right_copy(std::wstring_view(L" a b \r\n")), L" a b");
    EXPECT_EQ(cl::trim_left_copy(std::wstring_view(L"   ")), L"");
    cl::wrstring v = cl::rstring_trim_w(cl::wrstring(L"  x y\t"));
    EXPECT_EQ(std::wstring(v.data(), v.size()), L"x y");
    EXPECT_EQ(cl::rstring_trim_w(cl::wrstring(L" \t ")).size(), 0u);
}
