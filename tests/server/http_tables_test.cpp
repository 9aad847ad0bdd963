#include "server/http_tables.h"

#include <gtest/gtest.h>

namespace {

win32::filetime parsed(std::string_view text) {
    win32::filetime ft = 0;
    EXPECT_TRUE(parse_http_date(text, ft)) << text;
    return ft;
}

win32::filetime utc(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s) {
    win32::systemtime st;
    st.year = y;
    st.month = mo;
    st.day = d;
    st.hour = h;
    st.minute = mi;
    st.second = s;
    win32::filetime ft = 0;
    EXPECT_TRUE(win32::systemtime_to_filetime(st, ft));
    return ft;
}

} // namespace

TEST(HeaderTables, IndicesAreTheKernelServiceSlots) {
    struct row {
        std::string_view name;
        int request, response;
    };
    const row rows[] = {
        {"Cache-Control", 0, 0},
        {"Last-Modified", 19, 19},
        {"Content-Type", 12, 12},
        {"Content-Md5", 16, 16},
        {"Accept", 20, -1},
        {"Host", 28, -1},
        {"If-Unmodified-Since", 33, -1},
        {"Te", 38, -1},
        {"Translate", 39, -1},
        {"User-Agent", 40, -1},
        {"Accept-Ranges", -1, 20},
        {"Etag", -1, 22},
        {"Set-Cookie", -1, 27},
        {"Www-Authenticate", -1, 29},
        {"X-Custom", -1, -1},
        {"", -1, -1},
        {"Content-Typ", -1, -1},
        {"Content-Type ", -1, -1},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(request_header_id(r.name), r.request) << r.name;
        EXPECT_EQ(response_header_id(r.name), r.response) << r.name;
    }
    EXPECT_EQ(request_header_id("User-Agent"), http_header_user_agent);
    EXPECT_EQ(response_header_id("Www-Authenticate"), http_header_www_authenticate);
}

TEST(HeaderTables, LookupIgnoresCase) {
    EXPECT_EQ(request_header_id("content-type"), 12);
    EXPECT_EQ(request_header_id("CONTENT-MD5"), 16);
    EXPECT_EQ(request_header_id("TE"), 38);
    EXPECT_EQ(response_header_id("ETag"), 22);
    EXPECT_EQ(response_header_id("WWW-Authenticate"), 29);
    EXPECT_EQ(response_header_id("set-cookie"), 27);
    // Names of a known length and first and last letter that are not known.
    for (const char* other : {"", "D", "Dae", "Datf", "Content-Tape", "Content-Typ", "Viaa",
                              "Content-Languagf", "Contentxlength", "X-Powered-By"})
        EXPECT_EQ(response_header_id(other), -1) << other;
    EXPECT_EQ(request_header_id("Content-Typf"), -1);
}

TEST(HeaderTables, EveryIndexNamesItselfBothWays) {
    for (int i = 0; i < http_header_request_maximum; ++i)
        EXPECT_EQ(request_header_id(request_header_name(i)), i);
    for (int i = 0; i < http_header_response_maximum; ++i)
        EXPECT_EQ(response_header_id(response_header_name(i)), i);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(request_header_name(i), response_header_name(i));
    EXPECT_EQ(request_header_name(41), "");
    EXPECT_EQ(request_header_name(-1), "");
    EXPECT_EQ(response_header_name(30), "");
    EXPECT_EQ(response_header_name(26), "Server");
}

TEST(StatusText, ExactPhrases) {
    const std::pair<int, std::string_view> rows[] = {
        {200, "OK"},
        {203, "Non-Authorative Information"},
        {207, "Multi-Status"},
        {307, "Moved Temporarily"},
        {401, "Authorization Required"},
        {406, "Not Acceptable (encoding)"},
        {413, "Request Entity Too Long"},
        {502, "Bad Gateway "},
        {503, "Service Unavailable "},
        {505, "HTTP Version Not Supported"},
        {418, "Unknown Response"},
        {0, "Unknown Response"},
        {306, "Unknown Response"},
    };
    for (const auto& [code, text] : rows)
        EXPECT_EQ(status_text(code), text) << code;
}

TEST(MethodName, KnownUnknownAndOutOfRangeVerbs) {
    EXPECT_EQ(method_name(http_verb_get, "ignored"), "GET");
    EXPECT_EQ(method_name(0, ""), "UNPARSED");
    EXPECT_EQ(method_name(2, ""), "INVALID");
    EXPECT_EQ(method_name(http_verb_propfind, ""), "PROPFIND");
    EXPECT_EQ(method_name(19, ""), "SEARCH");
    EXPECT_EQ(method_name(20, ""), "20");
    EXPECT_EQ(method_name(1, "mkcalendar"), "MKCALENDAR");
    EXPECT_EQ(method_name(1, "x-report"), "XREPORT");
    EXPECT_EQ(method_name(1, "Bind2 \xc3\xa9"), "BIND");
    EXPECT_EQ(method_name(1, ""), "");
}

TEST(HttpDate, Formats) {
    win32::systemtime st;
    st.year = 1994;
    st.month = 11;
    st.day = 6;
    st.day_of_week = 0;
    st.hour = 8;
    st.minute = 49;
    st.second = 37;
    EXPECT_EQ(format_http_date(st), "Sun, 06 Nov 1994 08:49:37 GMT");
    st.year = 812; // not padded
    st.month = 1;
    st.day_of_week = 6;
    st.hour = st.minute = st.second = 0;
    EXPECT_EQ(format_http_date(st), "Sat, 06 Jan 812 00:00:00 GMT");
}

TEST(HttpDate, ParsesTheThreeForms) {
    const auto expect = utc(1994, 11, 6, 8, 49, 37);
    for (const char* text :
         {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT",
          "Sun, 6 Nov 1994 08:49:37 GMT", "Sun Nov  6 08:49:37 1994", "Sun Nov 6 08:49:37 1994",
          "  Sun, 06 Nov 1994 08:49:37 GMT \r\n", "Sun,06 Nov 1994 08:49:37 GMT; length=12"})
        EXPECT_EQ(parsed(text), expect) << text;
}

TEST(HttpDate, RoundTripsThroughTheFormatter) {
    const auto ft = utc(2026, 12, 8, 21, 5, 9);
    win32::systemtime st;
    ASSERT_TRUE(win32::filetime_to_systemtime(ft, st));
    EXPECT_EQ(parsed(format_http_date(st)), ft);
}

TEST(HttpDate, TwoDigitYears) {
    EXPECT_EQ(parsed("Friday, 01-Jan-86 00:00:00 GMT"), utc(2086, 1, 1, 0, 0, 0));
    EXPECT_EQ(parsed("Thursday, 01-Jan-87 00:00:00 GMT"), utc(1987, 1, 1, 0, 0, 0));
}

TEST(HttpDate, Refusals) {
    for (const char* text : {
             "sun, 06 Nov 1994 08:49:37 GMT", // day name case
             "06 Nov 1994 08:49:37 GMT",      // no day name
             "Sun, 06 nov 1994 08:49:37 GMT", // month case
             "Sun, 06 Nov 1994 08:49:37 UTC", // zone
             "Sun, 06 Nov 1994 08:49",        // text ends early
             "Sun, 31 Feb 1994 08:49:37 GMT", // no such day
             "Sun, 06 Nov 1994 24:00:00 GMT", // no such hour
             "Sun, 06 Nov 1500 08:49:37 GMT", // before 1601
             "Sunday 06-Nov-94 08:49:37 GMT", // full name needs its comma
             "Sun Nov",                       // month with nothing after it
             "Sun",
             "",
         }) {
        win32::filetime ft = 7;
        EXPECT_FALSE(parse_http_date(text, ft)) << text;
        EXPECT_EQ(ft, 7u) << text;
    }
}

TEST(HttpDate, ModifiedSince) {
    const char* file = "Sun, 06 Nov 1994 08:49:37 GMT";
    EXPECT_TRUE(is_modified_since(file, "Sun, 06 Nov 1994 08:49:36 GMT"));
    EXPECT_FALSE(is_modified_since(file, "Sun, 06 Nov 1994 08:49:37 GMT"));
    EXPECT_FALSE(is_modified_since(file, "Sunday, 06-Nov-94 08:49:38 GMT"));
    EXPECT_TRUE(is_modified_since("", "Sun, 06 Nov 1994 08:49:37 GMT"));
    EXPECT_TRUE(is_modified_since(file, "yesterday"));
    EXPECT_TRUE(is_modified_since("garbage", file));
}

TEST(StandardHeaders, OrderAndValues) {
    win32::systemtime st;
    st.year = 2026;
    st.month = 12;
    st.day = 8;
    st.day_of_week = 2;
    st.hour = 21;
    st.minute = 30;
    st.second = 1;
    const auto views = standard_headers(st, "teskqvel/1.0");
    const std::vector<std::pair<std::string, std::string>> h(views.begin(), views.end());
    const std::vector<std::pair<std::string, std::string>> expect = {
        {"Date", "Tue, 08 Dec 2026 21:30:01 GMT"},
        {"Server", "teskqvel/1.0"},
        {"Accept-Ranges", "bytes"},
        {"Connection", "Keep-Alive"},
        {"Keep-Alive", "timeout=15, max=100"},
    };
    EXPECT_EQ(h, expect);
    // The constants are kept by the headers without a copy: their texts
    // must be the same whatever the request.
    st.second = 2;
    const auto again = standard_headers(st, std::string("other"));
    for (std::size_t i = standard_constants_from; i < views.size(); ++i)
        EXPECT_EQ(again[i].second.data(), views[i].second.data()) << i;
}
