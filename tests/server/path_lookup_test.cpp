#include "server/config/path_lookup.h"

#include "config_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace server_config;

namespace {

struct resolve_case {
    const wchar_t* in;
    const wchar_t* out;
};

const resolve_case resolve_cases[] = {
    {L"a/./b//c", L"a/b/c"},
    {L"/a/./b//c", L"/a/b/c"},
    {L"a/b/../c", L"a/c"},
    {L"a\\b\\..\\c", L"a/c"},
    {L"../a", L""},
    {L"/../a", L""},
    {L"a/../../b", L""},
    {L"./a", L"a"},
    {L"a/b/", L"a/b/"},
    {L"a//b///", L"a/b/"},
    {L"a../b", L"a../b"},
    {L"a/..b/c", L"a/..b/c"},
    {L"a/b/..", L"a"},
    {L"/", L"/"},
    {L"", L""},
};

} // namespace

TEST(resolve_relative_path, table) {
    for (const auto& c : resolve_cases)
        EXPECT_EQ(resolve_relative_path(c.in), c.out) << cl::utf16_to_utf8(c.in);
}

// Every ASCII character, and beyond it a negative one (below 32 as well).
TEST(has_invalid_path_char, refused_characters) {
    for (wchar_t c = 0; c < 0x80; ++c) {
        const bool refused =
            c < 32 || std::wstring_view(L"<>\"|?*:").find(c) != std::wstring_view::npos;
        EXPECT_EQ(has_invalid_path_char(std::wstring(L"a") + c + L"b"), refused) << int(c);
    }
    EXPECT_FALSE(has_invalid_path_char(L"/caf\u00e9/\U0001F600"));
    EXPECT_TRUE(has_invalid_path_char(std::wstring(1, static_cast<wchar_t>(-1))));
}

TEST(check_filename, refusals_and_acceptances) {
    const std::wstring pub = L"/srv/pub/", priv = L"/srv/private/";
    struct fcase {
        int mode;
        std::wstring path;
        bool ok;
    };
    const fcase cases[] = {
        {0, L"/srv/pub/a.txt", true},
        {0, L"/srv/pub/dir/", true},
        {0, L"relative/a.txt", false},
        {0, L"/", false},
        {0, L"/srv/pub/a\x01.txt", false},
        {0, L"/srv/pub/a<b", false},
        {0, L"/srv/pub/a>b", false},
        {0, L"/srv/pub/a\"b", false},
        {0, L"/srv/pub/a|b", false},
        {0, L"/srv/pub/a?b", false},
        {0, L"/srv/pub/a*b", false},
        {0, L"/srv/pub/a:b", false},
        {0, L"/srv/pub/../etc/passwd", false},
        {0, L"/srv/pub/a..b", false},
        {0, L"/srv/pub/./a", false},
        {0, L"/srv/pub//a", false},
        {0, L"/srv/pub/a./b", false},
        {0, L"/srv/pub/a /b", false},
        {0, L"/srv/pub/con", false},
        {0, L"/srv/pub/CON.txt", false},
        {0, L"/srv/pub/con.tar.gz", false},
        {0, L"/srv/pub/x/lpt1/y", false},
        {0, L"/srv/pub/COM9", false},
        {0, L"/srv/pub/com0", true},
        {0, L"/srv/pub/CLOCK$", false},
        {0, L"/srv/pub/console", true},
        {0, L"/srv/pub/nul", false},
        {1, L"/srv/pub/a", true},
        {1, L"/srv/PUB/a", false}, // prefixes compare exactly
        {1, L"/srv/private/a", false},
        {1, L"/srv/pubx/a", false},
        {2, L"/srv/private/a", true},
        {2, L"/srv/other/a", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check_filename_in(c.mode, c.path, pub, priv, 0), c.ok)
            << cl::utf16_to_utf8(c.path) << " mode " << c.mode;
}

TEST(check_filename, length_limit) {
    std::wstring base = L"/srv/";
    std::wstring p260 = base + std::wstring(260 - base.size(), L'a');
    std::wstring p261 = base + std::wstring(261 - base.size(), L'a');
    EXPECT_TRUE(check_filename_in(0, p260, L"", L"", 0));
    EXPECT_FALSE(check_filename_in(0, p261, L"", L"", 0));
}

TEST(check_filename, devices_fifos_and_sockets_refused) {
    EXPECT_FALSE(check_filename_in(0, L"/dev/null", L"", L"", 0));
    const char* base = std::getenv("TQ_TEST_TMP");
    std::string dir = std::string(base ? base : "/tmp") + "/fifoXXXXXX";
    std::filesystem::create_directories(std::filesystem::path(dir).parent_path());
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    std::string fifo = dir + "/f";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(check_filename_in(0, cl::utf8_to_utf16(fifo), L"", L"", 0));
    std::string link = dir + "/l";
    ASSERT_EQ(::symlink("/dev/zero", link.c_str()), 0);
    EXPECT_FALSE(check_filename_in(0, cl::utf8_to_utf16(link), L"", L"", 0));
    std::string plain = dir + "/plain";
    EXPECT_TRUE(check_filename_in(0, cl::utf8_to_utf16(plain), L"", L"", 0));
    std::filesystem::remove_all(dir);
}

TEST(check_filename, refusal_traced_above_level_one) {
    config_test::capture_sink sink;
    cl::trace_out.add(&sink);
    check_filename_in(0, L"/a/con", L"", L"", 1);
    EXPECT_EQ(sink.text().find("illegal filename"), std::string::npos);
    check_filename_in(0, L"/a/con", L"", L"", 2);
    cl::trace_out.remove(&sink);
    EXPECT_NE(sink.text().find("illegal filename: [/a/con], 0\n"), std::string::npos);
}

TEST(url_escape_path, table) {
    struct ecase {
        const char* in;
        const char* out;
    };
    const ecase cases[] = {
        {"/a/b.txt", "/a/b.txt"},
        {"dir\\file name.txt", "dir/file%20name.txt"},
        {"a-b_c", "a%2db%5fc"},
        {"~user/x", "~user/x"},
        {"\xc3\xa4", "%c3%a4"},
        {"http://host/a b", "http://host/a%20b"},
        {"https://host:8443/x?y", "https://host:8443/x%3fy"},
        {"http://ho st/", "http://ho%20st/"},
        {"ftp://x", "ftp%3a//x"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(url_escape_path(c.in), c.out) << c.in;
}

TEST(url_decode, hex_pairs_and_malformed) {
    std::string out;
    EXPECT_TRUE(url_decode("a%20b%2F%2fc", out));
    EXPECT_EQ(out, "a b//c");
    EXPECT_TRUE(url_decode("%00", out));
    EXPECT_EQ(out, std::string(1, '\0'));
    EXPECT_FALSE(url_decode("a%2", out));
    EXPECT_FALSE(url_decode("a%zz", out));
    EXPECT_FALSE(url_decode("%", out));
}

TEST(file_last_write_time, readable_file_and_missing) {
    const char* base = std::getenv("TQ_TEST_TMP");
    std::filesystem::path dir = std::string(base ? base : "/tmp");
    std::filesystem::create_directories(dir);
    std::filesystem::path f = dir / "lwt.txt";
    std::ofstream(f) << "x";
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456700}};
    ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
    // 100 ns units since 1601.
    EXPECT_EQ(file_last_write_time(cl::utf8_to_utf16(f.string())),
              (1700000000LL + 11644473600LL) * 10000000 + 1234567);
    EXPECT_EQ(file_last_write_time(cl::utf8_to_utf16((dir / "none").string())), -1);
    std::filesystem::remove(f);
}
