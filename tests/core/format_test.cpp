#include "core/format.h"

#include <climits>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <limits>

using namespace cl;

namespace {

struct row {
    const char* name;
    std::function<std::string()> run;
    std::string expect;
};

template <class... A> std::function<std::string()> f(const char* fmt, A... args) {
    return [=] { return format_str(fmt, args...); };
}

struct test_guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

} // namespace

TEST(format, examples_table) {
    const char* null_text = nullptr;
    const row rows[] = {
        {"percent", f("100%%"), "100%"},
        {"width", f("%5?", 42), "   42"},
        {"left", f("%-5?|", 42), "42   |"},
        {"zero fill negative", f("%05?", -42), "-0042"},
        {"plus", f("%+?", 7), "+7"},
        {"blank", f("% ?", 7), " 7"},
        {"precision zeros", f("%.5?", 42), "00042"},
        {"precision cancels zero fill", f("%08.3?", 42), "     042"},
        {"grouping decimal", f("%'?", 1234567), "1,234,567"},
        {"grouping hex", f("%'x", 305419896), "1234:5678"},
        {"grouping short", f("%'?", 123), "123"},
        {"fixed point", f("%,.2?", 12345), "123.45"},
        {"fixed point small", f("%,.2?", 5), "0.05"},
        {"fixed point negative", f("%,.2?", -5), "-0.05"},
        {"fixed point trimmed", f("%#,.2?", 12300), "123"},
        {"fixed point trimmed one", f("%#,.2?", 12340), "123.4"},
        {"version in hundredths", f("%,.2?", 110), "1.10"},
        {"megahertz", f("%#,.3?", 2400000), "2400"},
        {"alt hex", f("%#x", 255), "0xff"},
        {"alt upper hex", f("%#X", 255), "0xFF"},
        {"alt hex zero", f("%#x", 0), "0"},
        {"alt octal", f("%#o", 8), "010"},
        {"base 36", f("%z", 35), "z"},
        {"base 36 upper", f("%Z", 35), "Z"},
        {"base 64 digits", f("%m", 64), "BA"},
        {"base 64 zero", f("%m", 0), "A"},
        {"star width negative", f("%*?", -6, 42), "42    "},
        {"star width", f("%*?|", 4, 7), "   7|"},
        {"star precision", f("%.*?", 3, 7), "007"},
        {"star precision negative", f("%.*?", -1, 7), "7"},
        {"text precision", f("%.2?", "abcdef"), "ab"},
        {"text width", f("%5?", "ab"), "   ab"},
        {"text zero fill", f("%05?", "ab"), "000ab"},
        {"text left", f("%-4?|", "ab"), "ab  |"},
        {"null text", f("%?", null_text), "(null)"},
        {"char zero", f("[%c]", 0), "[]"},
        {"char", f("%c%c", 'o', 'k'), "ok"},
        {"char as code point", f("%c", L'\u00e9'), "\xC3\xA9"},
        {"char raw byte", f("%c", char(0xE9)), "\xE9"},
        {"char default is a number", f("%?", 'A'), "65"},
        {"percent at end with argument", f("100%", 5), "1005"},
        {"percent at end unsigned", f("%", 0xFFFFFFFFu), "-1"},
        {"percent at end", f("100%"), "100"},
        {"unfilled placeholders", f("A%?B%?C"), "AB?C"},
        {"one of two placeholders", f("A%?B%?C", 1), "A1BC"},
        {"later placeholder flags consumed", f("A%?B%-5dC"), "ABdC"},
        {"http date", f("%?, %02? %? %04? %02?:%02?:%02? GMT", "Tue", 8, "Dec", 2026, 9, 5, 0),
         "Tue, 08 Dec 2026 09:05:00 GMT"},
        {"error trace", f("%? failed: %?\n", "CreateFileW", 5u), "CreateFileW failed: 5\n"},
        {"length modifiers", f("%ld %lld %hu %I64d %Lx", 1, 2, 3, 4, 255), "1 2 3 4 ff"},
        {"unsigned default", f("%?", 4294967295u), "4294967295"},
        {"unsigned as d", f("%d", 4294967295u), "-1"},
        {"negative as u", f("%u", -1), "4294967295"},
        {"negative hex 32", f("%x", -1), "ffffffff"},
        {"int64 limits", f("%? %?", INT64_MIN, UINT64_MAX),
         "-9223372036854775808 18446744073709551615"},
        {"int64 hex", f("%X", int64_t(-1)), "FFFFFFFFFFFFFFFF"},
        {"int32 min", f("%?", INT32_MIN), "-2147483648"},
        {"int8 and uint16", f("%? %?", int8_t(-5), uint16_t(65535)), "-5 65535"},
        {"bool", f("%?%?", true, false), "10"},
        {"alt hex zero filled", f("%#06x", 255), "0x00ff"},
        {"plus on zero fill", f("%+05?", 42), "+0042"},
        {"width over 127 clamped", f("%200?", 1), std::string(126, ' ') + "1"},
        {"extra argument appended", f("a", 7u), "a7"},
        {"wide text in narrow", f("[%?]", L"\u00e9"), "[\xC3\xA9]"},
        {"wide text precision", f("[%.1?]", L"\u00e9x"), "[\xC3\xA9]"},
        {"narrow precision never splits", f("[%.1?]", "\xC3\xA9"), "[]"},
        {"string", f("%?/%?", std::string("a"), std::string_view("b")), "a/b"},
        {"enum", f("%?", std::errc::invalid_argument),
         std::to_string(int(std::errc::invalid_argument))},
        {"double default", f("%?", 0.1), "0.1"},
        {"double precision", f("%.3?", 2.5), "2.500"},
        {"double f", f("%8.2f|", -3.14159), "   -3.14|"},
        {"double e", f("%E", 12345.678), "1.234568E+04"},
        {"double g", f("%g", 0.0001), "0.0001"},
        {"double a", f("%a", 1.0), "0x1p+0"},
        {"double inf", f("%05?", std::numeric_limits<double>::infinity()), "  inf"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.run(), r.expect) << r.name;
}

TEST(format, guid) {
    test_guid g{0x0123abcd, 0x4567, 0x89ef, {0, 1, 2, 3, 0xa4, 0xb5, 0xc6, 0xd7}};
    EXPECT_EQ(format_str("urn:uuid:%?", g), "urn:uuid:0123abcd-4567-89ef-0001-0203a4b5c6d7");
    EXPECT_EQ(format_str("%.8?", g), "0123abcd");
    EXPECT_EQ(format_wstr(L"%?", g), L"0123abcd-4567-89ef-0001-0203a4b5c6d7");
}

TEST(format, pointers) {
    int x = 0;
    const void* p = &x;
    char expect[40];
    std::snprintf(expect, sizeof expect, "%#llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    EXPECT_EQ(format_str("%?", p), expect);
    EXPECT_EQ(format_str("%?", &x), expect);
    // A text with "x" prints where it lives.
    const char* text = "abc";
    std::snprintf(expect, sizeof expect, "%#llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(text)));
    EXPECT_EQ(format_str("%x", text), expect);
    EXPECT_EQ(format_str("%?", nullptr), "0");
    EXPECT_EQ(format_str("%d", reinterpret_cast<const void*>(uintptr_t(1234))), "1234");
    EXPECT_EQ(format_str("%?", reinterpret_cast<const char*>(uintptr_t(100))), "(null)");
}

TEST(format, wide_formatter) {
    EXPECT_EQ(format_wstr(L"%02?:%02?", 7, 5), L"07:05");
    EXPECT_EQ(format_wstr(L"%?|%5?|%-3?|", "\xC3\xA9t\xC3\xA9", L"ab", L'c'),
              L"\u00e9t\u00e9|   ab|99 |");
    EXPECT_EQ(format_wstr(L"%c", wchar_t(0x1F600)), std::wstring(1, wchar_t(0x1F600)));
    EXPECT_EQ(format_wstr(L"%.2?", "\xC3\xA9t\xC3\xA9"),
              L"\u00e9"); // only whole characters are converted
    EXPECT_EQ(format_wstr(L"%?", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(format_str("[%?]", std::string_view()), "[]");
    EXPECT_EQ(format_wstr(L"[%?]", std::wstring_view()), L"[]");
    EXPECT_EQ(format_wstr(L"%'?", 1234567), L"1,234,567");
    EXPECT_EQ(format_wstr(L"%?", wrstring(L"view")), L"view");
    basic_format<wchar_t> fw(L"[%?]");
    fw << 1.5;
    EXPECT_EQ(fw.str(), L"[1.5]");
    EXPECT_EQ(fw.str(), L"[1.5]");
}

TEST(format, targets) {
    // Own string, with chained insertions.
    basic_format<char> own("%?-%?");
    own << 1 << "two";
    EXPECT_EQ(own.str(), "1-two");

    // A caller's string, appended to; the rest is copied when it goes out of scope.
    std::string target = ">";
    {
        basic_strformat<char> sf(target, "%? and %?.");
        sf << 1;
        EXPECT_EQ(target, ">1 and ");
        EXPECT_EQ(sf.result(), "");
    }
    EXPECT_EQ(target, ">1 and .");
    {
        basic_strformat<char> sf(target);
        sf.set_format("[%?]");
        sf << 2;
        sf.set_format("(%?)");
        sf << 3;
    }
    EXPECT_EQ(target, ">1 and .[2](3)");
    std::wstring wt;
    format_append(wt, L"%?%?", 4, L"x");
    EXPECT_EQ(wt, L"4x");
    format_append(target, "!");
    EXPECT_EQ(target, ">1 and .[2](3)!");

    // A caller's buffer: size - 1 characters and a terminating zero.
    char buf[4];
    std::memset(buf, 'x', sizeof buf);
    { basic_sformat<char> sf(buf, sizeof buf, "abcdef"); }
    EXPECT_STREQ(buf, "abc");
    char big[16];
    EXPECT_EQ(format_buf(big, sizeof big, "%?+%?=%?", 1, 2, 3), 5u);
    EXPECT_STREQ(big, "1+2=3");
    char tiny[3];
    EXPECT_EQ(format_buf(tiny, sizeof tiny, "a\xC3\xA9z"), 1u); // never half a character
    EXPECT_STREQ(tiny, "a");
    EXPECT_EQ(format_buf(tiny, 0, "abc"), 0u);
}

TEST(format, format_text_is_copied) {
    std::string fmt = "<%?>";
    basic_format<char> fm(fmt);
    fmt.assign(100, 'z'); // the formatter holds its own copy
    fm << 1;
    EXPECT_EQ(fm.str(), "<1>");
}

TEST(format, named_insertions_and_star_with_text) {
    basic_format<char> f("%?|%?|%?|%?|%*?|");
    f.put_int(uint32_t(-3), true).put_int64(5, false).put_str("abcdef", 3).put_wstr(L"w", -1);
    f.put_str("t"); // a text clears a pending star and prints as it is
    EXPECT_EQ(f.str(), "-3|5|abc|w|t|");

    std::wstring target;
    {
        basic_strformat<wchar_t> wf(target, L"%-4?|%#o");
        wf << L"ab" << 8u;
    }
    EXPECT_EQ(target, L"ab  |010");
}
