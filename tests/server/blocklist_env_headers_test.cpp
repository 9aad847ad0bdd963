// The blocklist, environment blocks and response headers.
#include "server/blocklist.h"
#include "server/env_block.h"
#include "server/http_tables.h"
#include "server/response_headers.h"
#include "server_test_support.h"

#include <cctype>
#include <sys/stat.h>

using test_support::server_fixture;

namespace {

class blocklist_test : public server_fixture {
  protected:
    void TearDown() override {
        clear_blocklist();
        server_fixture::TearDown();
    }
    std::filesystem::path file() const { return data_path() / "blocklist.txt"; }
    int64_t mtime_ns() const {
        struct stat st {};
        if (::stat(file().c_str(), &st) != 0) return -1;
        return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
};

TEST_F(blocklist_test, loading_takes_relative_lines_below_the_public_directory) {
    write_file(file(), "# comment\n\n  private/x  \n/srv/data/\n/\n");
    load_blocklist();
    EXPECT_TRUE(is_blocked(pub() + L"private/x"));
    EXPECT_TRUE(is_blocked(pub() + L"private/x/"));
    EXPECT_TRUE(is_blocked(L"/srv/data"));
    EXPECT_TRUE(is_blocked(L"/SRV/Data/")) << "entries compare ignoring ASCII case";
    EXPECT_TRUE(is_blocked(L"/")) << "the root keeps its separator";
    EXPECT_FALSE(is_blocked(L"/srv"));
    EXPECT_FALSE(is_blocked(pub()));
}

TEST_F(blocklist_test, comments_only_give_an_empty_set_and_a_missing_file_changes_nothing) {
    write_file(file(), "# a\n\n   # b\n");
    load_blocklist();
    std::vector<std::wstring> a, b;
    blocklist_list(a, b);
    EXPECT_TRUE(a.empty());
    std::filesystem::remove(file());
    blocklist_add(L"/keep");
    std::filesystem::remove(file());
    load_blocklist();
    EXPECT_TRUE(is_blocked(L"/keep"));
}

TEST_F(blocklist_test, add_and_remove_save_only_on_change) {
    blocklist_add(L"/srv/a b");
    blocklist_add(L"/srv/c");
    ASSERT_TRUE(std::filesystem::exists(file()));
    std::filesystem::remove(file());
    blocklist_add(L"/SRV/C"); // already blocked: the file is not rewritten
    EXPECT_FALSE(std::filesystem::exists(file()));
    blocklist_remove(L"/srv/missing");
    EXPECT_FALSE(std::filesystem::exists(file()));
    blocklist_remove(L"/srv/c");
    EXPECT_TRUE(std::filesystem::exists(file()));
    std::vector<std::wstring> a, b;
    blocklist_list(a, b);
    EXPECT_EQ(a, std::vector<std::wstring>{L"/srv/a b"});
    EXPECT_EQ(a, b);
}

TEST_F(blocklist_test, saved_file_is_utf16_with_quoted_entries_and_reads_back) {
    blocklist_add(L"/srv/a \"q\" b");
    blocklist_add(L"/srv/\u00e9");
    std::ifstream f(file(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    std::string expected = "\xFF\xFE";
    for (wchar_t ch : std::wstring(L"\"/srv/a \\\"q\\\" b\"\r\n/srv/\u00e9\r\n")) {
        expected.push_back(char(ch & 0xFF));
        expected.push_back(char(ch >> 8));
    }
    EXPECT_EQ(bytes, expected);
    clear_blocklist();
    load_blocklist();
    EXPECT_TRUE(is_blocked(L"/srv/a \"q\" b"));
    EXPECT_TRUE(is_blocked(L"/srv/\u00e9"));
    // No temporary file is left behind.
    EXPECT_FALSE(std::filesystem::exists(data_path() / "blocklist.txt.tmp"));
}

struct env_case {
    std::string block, name, value, expected;
};

void PrintTo(const env_case& p, std::ostream* os) {
    *os << p.name;
}

class env_block : public ::testing::TestWithParam<env_case> {};

TEST_P(env_block, replace_key_value) {
    auto p = GetParam();
    replace_key_value_a(p.block, p.name, p.value);
    EXPECT_EQ(p.block, p.expected);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    table, env_block,
    ::testing::Values(env_case{"A=1\0PATH=a\0Z=2\0\0"s, "Path", "b", "A=1\0Path=b\0Z=2\0\0"s},
                      env_case{"PATH=a\0PATHEXT=b\0\0"s, "PATHEXT", "c", "PATH=a\0PATHEXT=c\0\0"s},
                      env_case{"A=1\0\0"s, "B", "2", "A=1\0B=2\0\0"s},
                      env_case{"=C:=x\0A=1\0\0"s, "", "v", "=C:=x\0A=1\0=v\0\0"s},
                      env_case{"A=1\0\0"s, "A=B", "x\0y"s, "A=1\0AB=xy\0\0"s},
                      env_case{"AB=1\0\0"s, "A", "2", "AB=1\0A=2\0\0"s},
                      env_case{"\0"s, "N", "v", "N=v\0\0"s},
                      // Blocks without their ending empty item come out well-formed.
                      env_case{""s, "N", "v", "N=v\0\0"s},
                      env_case{"A=1\0"s, "N", "v", "A=1\0N=v\0\0"s},
                      env_case{"A=1"s, "N", "v", "A=1\0N=v\0\0"s}));

TEST(response_headers_test, names_ignore_case_and_keep_first_spelling) {
    response_headers h;
    h.add("Content-Type", "a");
    h.add("content-type", "b");
    ASSERT_EQ(h.fields().size(), 1u);
    EXPECT_EQ(h.fields().front().name, "Content-Type");
    EXPECT_EQ(h.get("CONTENT-TYPE"), "b");
    h.add_if_absent("CONTENT-type", "c");
    EXPECT_EQ(h.get("Content-Type"), "b");
    h.add("X-Empty", "");
    EXPECT_TRUE(h.has("x-empty"));
    EXPECT_EQ(h.get("missing"), "");
}

// Known names are placed by their number, other names by their text: both
// must give the one order of names without regard to case, whatever order
// and spelling they come in, and a name given again must find its field.
TEST(response_headers_test, known_and_other_names_share_one_order) {
    std::vector<std::string> names;
    for (int id = 0; id < http_header_response_maximum; ++id)
        if (id != http_header_set_cookie) names.emplace_back(response_header_name(id));
    for (const char* other : {"X-A", "Ab", "Content-", "Content-Z", "ETags", "Vary-", "A", "Z",
                              "Date-", "Dat", "Warninh", "_x", "5"})
        names.emplace_back(other);
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::vector<std::string> order = names;
        for (std::size_t i = order.size(); i > 1; --i)
            std::swap(order[i - 1], order[(i * 7919u + seed * 104729u) % i]);
        response_headers h;
        for (std::size_t i = 0; i < order.size(); ++i) {
            std::string spelled = order[i];
            if (i % 2 == 1)
                for (char& c : spelled)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            h.add(spelled, "v" + std::to_string(i));
        }
        for (const std::string& n : order)
            h.add(n, "again " + n);
        ASSERT_EQ(h.fields().size(), names.size()) << seed;
        for (std::size_t i = 1; i < h.fields().size(); ++i)
            EXPECT_TRUE(string_iless()(h.fields()[i - 1].name, h.fields()[i].name))
                << h.fields()[i - 1].name << " before " << h.fields()[i].name;
        for (const std::string& n : names)
            EXPECT_EQ(h.get(n), "again " + n) << n;
    }
}

TEST(response_headers_test, cookies_are_a_list_after_the_map) {
    response_headers h;
    h.add("Set-Cookie", "a=1");
    h.add_wide(L"set-cookie", L"b=\u00e9");
    h.add("SET-COOKIE", "c=3");
    h.add("B", "2");
    h.add("A", "1");
    h.remove(L"Set-Cookie");
    h.remove(L"b");
    EXPECT_EQ(h.cookies().size(), 3u);
    EXPECT_EQ(h.get("Set-Cookie"), "");
    std::vector<std::wstring> names{L"keep"}, values{L"kv"};
    h.copy_out(names, values);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"keep", L"A", L"Set-Cookie", L"Set-Cookie",
                                                L"Set-Cookie"}));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"kv", L"1", L"a=1", L"b=\u00e9", L"c=3"}));
    EXPECT_EQ(h.to_text(), "A: 1\nSet-Cookie: a=1\nSet-Cookie: b=\xC3\xA9\nSet-Cookie: c=3\n");
}

TEST(response_headers_test, shared_through_the_base_and_add_all) {
    cl::sh_ptr<response_headers_base> base(new response_headers);
    EXPECT_EQ(base->count(), 1);
    base->add_wide(L"X", L"y");
    response_headers more;
    more.add("x", "z");
    more.add("Set-Cookie", "k=v");
    auto* h = static_cast<response_headers*>(base.get());
    // The fields are taken over; the cookies of the other set stay behind.
    h->add_all(more);
    EXPECT_EQ(h->to_text(), "X: z\n");
}

} // namespace
