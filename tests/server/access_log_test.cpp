// The access-log line and its queue: quoting, the "-" fields, the zone
// offset, and lines reaching the file in order.
#include "core/text.h"
#include "server/access_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

win32::systemtime sample_time() {
    win32::systemtime t;
    t.year = 2025;
    t.month = 7;
    t.day = 4;
    t.hour = 9;
    t.minute = 5;
    t.second = 3;
    return t;
}

TEST(access_log_line, quoting_of_fields) {
    const struct {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"", "-"},
        {"Mozilla/5.0", "\"Mozilla/5.0\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\b", "\"a\\\\b\""},
        {"\\\"", "\"\\\\\\\"\""},
        {"a\"b\\c\"\"d\\", "\"a\\\"b\\\\c\\\"\\\"d\\\\\""},
        {"0123456789abcdef\"x\\", "\"0123456789abcdef\\\"x\\\\\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(quote_log_field(c.text), c.quoted) << c.text;
}

TEST(access_log_line, zone_offsets) {
    EXPECT_EQ(format_log_time(sample_time(), -60), "04/Jul/2025:09:05:03 +0100");
    EXPECT_EQ(format_log_time(sample_time(), 0), "04/Jul/2025:09:05:03 +0000");
    EXPECT_EQ(format_log_time(sample_time(), 300), "04/Jul/2025:09:05:03 -0500");
    EXPECT_EQ(format_log_time(sample_time(), -330), "04/Jul/2025:09:05:03 +0530");
}

TEST(access_log_line, full_line_with_dash_fields) {
    access_log_view f;
    f.remote_addr = "127.0.0.1";
    f.method = "GET";
    f.url = "/a?b=1";
    f.status = 304;
    f.user_agent = "curl/7.88 \"x\"";
    EXPECT_EQ(format_access_log_line(f, sample_time(), -60),
              "127.0.0.1 - - [04/Jul/2025:09:05:03 +0100] \"GET /a?b=1 HTTP/1.1\" 304 - \"-\" "
              "\"curl/7.88 \\\"x\\\"\"\n");
    f.user = "ann";
    f.bytes_sent = 1234;
    f.referer = "http://h/";
    f.status = 200;
    EXPECT_EQ(format_access_log_line(f, sample_time(), 0),
              "127.0.0.1 - \"ann\" [04/Jul/2025:09:05:03 +0000] \"GET /a?b=1 HTTP/1.1\" 200 1234 "
              "\"http://h/\" \"curl/7.88 \\\"x\\\"\"\n");
    // Every part of the request line is escaped; the version as sent.
    f.method = "PROPFIND";
    f.url = "/q?\"x\"\\";
    f.version_minor = 0;
    f.status = -5;
    EXPECT_EQ(format_access_log_line(f, sample_time(), 0),
              "127.0.0.1 - \"ann\" [04/Jul/2025:09:05:03 +0000] \"PROPFIND /q?\\\"x\\\"\\\\ "
              "HTTP/1.0\" -5 1234 \"http://h/\" \"curl/7.88 \\\"x\\\"\"\n");
}

TEST(access_log_file, queued_lines_reach_the_file_in_order) {
    const char* base = std::getenv("TQ_TEST_TMP");
    std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(root);
    std::string tmpl = (root / "alogXXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::filesystem::path dir = std::filesystem::path(tmpl) / "logs";

    access_log log;
    // The directory is made when it is missing.
    ASSERT_TRUE(log.open(cl::utf8_to_utf16(dir.string()) + L"/"));
    EXPECT_TRUE(log.is_open());
    for (int i = 0; i < 100; ++i)
        log.queue_line("line " + std::to_string(i) + "\n");
    log.flush_queue();
    log.queue_line("last\n");
    log.close();
    EXPECT_FALSE(log.is_open());

    std::ifstream in(dir / "access.log");
    std::stringstream all;
    all << in.rdbuf();
    std::string expected;
    for (int i = 0; i < 100; ++i)
        expected += "line " + std::to_string(i) + "\n";
    expected += "last\n";
    EXPECT_EQ(all.str(), expected);

    // A second open appends.
    access_log again;
    ASSERT_TRUE(again.open(cl::utf8_to_utf16(dir.string()) + L"/"));
    again.queue_line("more\n");
    again.close();
    std::ifstream in2(dir / "access.log");
    std::stringstream all2;
    all2 << in2.rdbuf();
    EXPECT_EQ(all2.str(), expected + "more\n");
    std::filesystem::remove_all(tmpl);
}

} // namespace
