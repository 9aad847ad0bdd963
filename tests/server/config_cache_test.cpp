#include "server/config/config_cache.h"

#include "config_test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace server_config;
namespace fs = std::filesystem;

namespace {

// Every case runs twice: with change notification, and with the signature
// comparison that stands in where a directory cannot be watched.
class config_cache_test : public config_test::tree_fixture,
                          public ::testing::WithParamInterface<bool> {
  protected:
    config_info_cache::options opts(int racy = 2) {
        config_info_cache::options o;
        o.use_watch = GetParam();
        o.racy_seconds = racy;
        return o;
    }
    static std::string type_of(const cl::sh_ptr<config_info>& c) {
        return c ? c->default_type : std::string("<null>");
    }
};

std::string deep_rel(int levels) {
    std::string p;
    for (int i = 0; i < levels; ++i)
        p += "d" + std::to_string(i) + "/";
    return p;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(modes, config_cache_test, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "watch" : "signature"; });

TEST_P(config_cache_test, hit_returns_the_same_object) {
    write_file(pub_path() / "a" / "b" / "page.html", "x");
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-a\n");
    config_info_cache cache(opts(0));
    auto first = cache.get(L"/a/b/page.html", L"GET");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->default_type, "text/x-a");
    EXPECT_TRUE(first->is_file());
    EXPECT_EQ(first->file_name, L"page.html");
    EXPECT_EQ(first->directory, w(pub_path() / "a" / "b") + L"/");
    EXPECT_EQ(first->local_path, w(pub_path() / "a" / "b" / "page.html"));
    EXPECT_EQ(first->file_name_utf8, "page.html");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(cache.get(L"a//b/./page.html", L"GET"), first);
    EXPECT_EQ(cache.builds(), 1u);
    // Another site (method) is another entry.
    auto put = cache.get(L"/a/b/page.html", L"PUT");
    ASSERT_TRUE(put);
    EXPECT_NE(put, first);
    EXPECT_EQ(cache.size(), 2u);
}

TEST_P(config_cache_test, directory_target) {
    fs::create_directories(pub_path() / "dir");
    write_file(pub_path() / "dir" / ".htaccess", "DefaultType text/x-dir\n");
    config_info_cache cache(opts(0));
    auto c = cache.get(L"/dir", L"GET");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->is_directory());
    EXPECT_EQ(c->directory, w(pub_path() / "dir") + L"/");
    EXPECT_TRUE(c->file_name.empty());
    EXPECT_EQ(c->default_type, "text/x-dir"); // the directory's own access file
    auto root = cache.get(L"/", L"GET");
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->is_directory());
}

TEST_P(config_cache_test, changed_access_file_rebuilds) {
    write_file(pub_path() / "a" / "page.html", "x");
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-one\n");
    config_info_cache cache(opts());
    EXPECT_EQ(type_of(cache.get(L"/a/page.html", L"GET")), "text/x-one");
    // Same size, written at once: neither the size nor a coarse clock tells.
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-two\n");
    EXPECT_EQ(type_of(cache.get(L"/a/page.html", L"GET")), "text/x-two");
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-three\n");
    EXPECT_EQ(type_of(cache.get(L"/a/page.html", L"GET")), "text/x-three");
}

TEST_P(config_cache_test, added_and_removed_access_file_deep_in_the_path) {
    const std::string rel = deep_rel(8);
    write_file(pub_path() / rel / "f.txt", "x");
    config_info_cache cache(opts());
    const std::wstring url = L"/" + cl::utf8_to_utf16(rel) + L"f.txt";
    auto plain = cache.get(url, L"GET");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->default_type, "");
    EXPECT_EQ(cache.get(url, L"GET"), plain);

    write_file(pub_path() / deep_rel(5) / ".htaccess", "DefaultType text/x-added\n");
    EXPECT_EQ(type_of(cache.get(url, L"GET")), "text/x-added");

    fs::remove(pub_path() / deep_rel(5) / ".htaccess");
    EXPECT_EQ(type_of(cache.get(url, L"GET")), "");

    // The global directive file of the program-data directory counts too.
    write_file(data_path() / ".htaccess", "DefaultType text/x-global\n");
    EXPECT_EQ(type_of(cache.get(url, L"GET")), "text/x-global");
}

TEST_P(config_cache_test, directories_without_access_files_stay_cached_until_one_appears) {
    write_file(pub_path() / deep_rel(3) / "f.txt", "x");
    config_info_cache cache(opts(0));
    const std::wstring url = L"/" + cl::utf8_to_utf16(deep_rel(3)) + L"f.txt";
    auto first = cache.get(url, L"GET");
    ASSERT_TRUE(first);
    // Unrelated files coming and going leave the entry alone.
    write_file(pub_path() / deep_rel(2) / "other.txt", "y");
    fs::remove(pub_path() / deep_rel(2) / "other.txt");
    if (GetParam()) {
        EXPECT_EQ(cache.get(url, L"GET"), first);
    }
    write_file(pub_path() / deep_rel(1) / ".htaccess", "DefaultType text/x-mid\n");
    EXPECT_EQ(type_of(cache.get(url, L"GET")), "text/x-mid");
}

TEST_P(config_cache_test, target_created_removed_and_replaced) {
    config_info_cache cache(opts(0));
    auto missing = cache.get(L"/t", L"GET");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->is_file());
    EXPECT_FALSE(missing->is_directory());
    write_file(pub_path() / "t", "x");
    auto file = cache.get(L"/t", L"GET");
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->is_file());
    fs::remove(pub_path() / "t");
    fs::create_directories(pub_path() / "t");
    auto dir = cache.get(L"/t", L"GET");
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->is_directory());
    // A missing directory on the way that appears later, with an access file.
    EXPECT_FALSE(cache.get(L"/n1/n2/f", L"GET")->is_file());
    write_file(pub_path() / "n1" / "n2" / "f", "x");
    write_file(pub_path() / "n1" / ".htaccess", "DefaultType text/x-n1\n");
    auto now = cache.get(L"/n1/n2/f", L"GET");
    EXPECT_TRUE(now->is_file());
    EXPECT_EQ(now->default_type, "text/x-n1");
}

TEST_P(config_cache_test, renamed_directory_on_the_path) {
    write_file(pub_path() / "a" / "b" / "f", "x");
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-old\n");
    config_info_cache cache(opts(0));
    EXPECT_EQ(type_of(cache.get(L"/a/b/f", L"GET")), "text/x-old");
    fs::rename(pub_path() / "a", pub_path() / "gone");
    write_file(pub_path() / "a" / "b" / "f", "x");
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-newer\n");
    EXPECT_EQ(type_of(cache.get(L"/a/b/f", L"GET")), "text/x-newer");
}

TEST_P(config_cache_test, symbolic_link_in_the_tree_is_followed_and_watched) {
    write_file(pub_path() / "real" / "f", "x");
    write_file(pub_path() / "real" / ".htaccess", "DefaultType text/x-r1\n");
    fs::create_directory_symlink(pub_path() / "real", pub_path() / "link");
    config_info_cache cache(opts());
    EXPECT_EQ(type_of(cache.get(L"/real/f", L"GET")), "text/x-r1");
    EXPECT_EQ(type_of(cache.get(L"/link/f", L"GET")), "text/x-r1");
    write_file(pub_path() / "real" / ".htaccess", "DefaultType text/x-r2\n");
    EXPECT_EQ(type_of(cache.get(L"/link/f", L"GET")), "text/x-r2");
    EXPECT_EQ(type_of(cache.get(L"/real/f", L"GET")), "text/x-r2");
}

TEST_P(config_cache_test, refused_paths) {
    write_file(pub_path() / "sec" / "f", "x");
    config_info_cache cache(opts());
    EXPECT_FALSE(cache.get(L"", L"GET"));
    EXPECT_FALSE(cache.get(L"../data/private", L"GET"));
    EXPECT_FALSE(cache.get(L"/a/../../x", L"GET"));
    EXPECT_FALSE(cache.get(L"/con.txt", L"GET"));
    EXPECT_FALSE(cache.get(L"/a..b", L"GET"));
    EXPECT_TRUE(cache.get(L"/sec/f", L"GET"));
    auto dir = cache.get(L"/sec", L"GET");
    ASSERT_TRUE(dir);
    EXPECT_EQ(cache.get(L"/sec", L"GET"), dir);
    // Cached entries see the block at once.
    blocklist_add(w(pub_path() / "sec"));
    EXPECT_FALSE(cache.get(L"/sec/f", L"GET"));
    EXPECT_FALSE(cache.get(L"/sec", L"GET"));
    blocklist_remove(w(pub_path() / "sec"));
    EXPECT_TRUE(cache.get(L"/sec/f", L"GET"));
}

TEST_P(config_cache_test, entries_are_bounded) {
    config_info_cache::options o = opts();
    o.max_entries = 3;
    config_info_cache cache(o);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(cache.get(L"/missing" + std::to_wstring(i), L"GET"));
    EXPECT_EQ(cache.size(), 3u);
    cache.clear();
    EXPECT_EQ(cache.size(), 0u);
}

TEST_P(config_cache_test, sweep_keeps_recently_used_entries) {
    write_file(pub_path() / "f", "x");
    config_info_cache cache(opts(0));
    auto c = cache.get(L"/f", L"GET");
    fs::remove(pub_path() / "f");
    cache.sweep();
    EXPECT_EQ(cache.size(), 1u);
}

TEST_P(config_cache_test, sweep_drops_idle_entries_that_no_longer_hold) {
    write_file(pub_path() / "kept", "k");
    write_file(pub_path() / "replaced", "r");
    write_file(pub_path() / "removed", "x");
    config_info_cache::options o = opts(0);
    o.idle_seconds = 0;
    config_info_cache cache(o);
    for (const wchar_t* p : {L"/kept", L"/replaced", L"/removed"})
        ASSERT_TRUE(cache.get(p, L"GET"));
    write_file(pub_path() / "new", "rr");
    fs::rename(pub_path() / "new", pub_path() / "replaced");
    fs::remove(pub_path() / "removed");
    cache.sweep();
    EXPECT_EQ(cache.size(), 1u);
    const uint64_t built = cache.builds();
    EXPECT_TRUE(cache.get(L"/kept", L"GET"));
    EXPECT_EQ(cache.builds(), built); // the one that still holds was kept
}

// Entries that still hold go too once unused long enough: a stream of new
// paths leaves the cache as it was, not max_entries larger.
TEST_P(config_cache_test, sweep_forgets_entries_unused_for_long) {
    config_info_cache::options o = opts(0);
    o.idle_seconds = 0;
    for (const int forget : {3600, 0}) {
        o.forget_seconds = forget;
        config_info_cache cache(o);
        for (int i = 0; i < 50; ++i) {
            write_file(pub_path() / ("up" + std::to_string(i)), "x");
            ASSERT_TRUE(cache.get(L"/up" + std::to_wstring(i), L"GET"));
        }
        cache.sweep();
        EXPECT_EQ(cache.size(), forget ? 50u : 0u) << forget;
    }
}

// The global entry points: the URL form as a client sends it.
using url_lookup = config_test::tree_fixture;

TEST_F(url_lookup, config_info_decoding) {
    write_file(pub_path() / "a b" / "f.txt", "x");
    write_file(pub_path() / "x", "x");
    clear_config_info_cache();
    auto ok = get_url_config_info("/a%20b/f.txt", L"GET");
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->is_file());
    EXPECT_TRUE(get_url_config_info("/a%20b/../x", L"GET"));
    const char* refused[] = {
        "",       "%2e%2e/x",        "/%2e%2e/x",  "/a/%2e%2e/%2e%2e/x",
        "..%2fx", "/%c0%ae%c0%ae/x", "/%c0%afetc", "/x%00",
        "/a%3ab", "/a%3cb",          "/a%2",       "/a%0d%0ab",
    };
    for (const char* u : refused)
        EXPECT_FALSE(get_url_config_info(u, L"GET")) << u;
    EXPECT_FALSE(get_config_info_checked(L"/a|b", L"GET"));
    EXPECT_TRUE(server_config::get_url_config_info("/x", L"GET"));
    clear_config_info_cache();
}
