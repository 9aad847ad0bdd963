#include "server/config/access_watch.h"

#include "config_test_support.h"
#include "server/config/config_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace server_config;
namespace fs = std::filesystem;

using access_watch_test = config_test::tree_fixture;

TEST_F(access_watch_test, names_change_independently_and_unused_watches_go) {
    access_watch watch;
    ASSERT_TRUE(watch.enabled());
    const std::string dir = pub_path().string();
    std::vector<access_watch::stamp> ht(1), other(1);
    ASSERT_TRUE(watch.watch(dir, ".htaccess", ht[0]));
    ASSERT_TRUE(watch.watch(dir + "/", "page", other[0]));
    EXPECT_EQ(watch.directory_count(), 1u);
    std::atomic<uint64_t> v1{0}, v2{0};
    EXPECT_TRUE(watch.unchanged(ht, v1));

    write_file(pub_path() / "unrelated.txt", "x");
    EXPECT_TRUE(watch.unchanged(ht, v1));
    EXPECT_TRUE(watch.unchanged(other, v2));

    write_file(pub_path() / ".htaccess", "x");
    EXPECT_FALSE(watch.unchanged(ht, v1));
    EXPECT_TRUE(watch.unchanged(other, v2));

    access_watch::stamp missing;
    EXPECT_FALSE(watch.watch((pub_path() / "nope").string(), ".htaccess", missing));

    ht.clear();
    watch.prune();
    EXPECT_EQ(watch.directory_count(), 1u); // "page" is still stamped
    other.clear();
    watch.prune();
    EXPECT_EQ(watch.directory_count(), 0u);
}

TEST_F(access_watch_test, removed_directory_changes_every_stamp) {
    access_watch watch;
    fs::create_directories(pub_path() / "gone");
    std::vector<access_watch::stamp> s(1);
    ASSERT_TRUE(watch.watch((pub_path() / "gone").string(), ".htaccess", s[0]));
    std::atomic<uint64_t> v{0};
    EXPECT_TRUE(watch.unchanged(s, v));
    fs::remove(pub_path() / "gone");
    EXPECT_FALSE(watch.unchanged(s, v));
    // Created again under the same name: a fresh watch, unrelated to the old.
    fs::create_directories(pub_path() / "gone");
    std::vector<access_watch::stamp> t(1);
    ASSERT_TRUE(watch.watch((pub_path() / "gone").string(), ".htaccess", t[0]));
    std::atomic<uint64_t> vt{0};
    EXPECT_TRUE(watch.unchanged(t, vt));
    EXPECT_FALSE(watch.unchanged(s, v));
}

TEST_F(access_watch_test, disabled_watch_refuses) {
    access_watch watch(false);
    access_watch::stamp s;
    EXPECT_FALSE(watch.enabled());
    EXPECT_FALSE(watch.watch(pub_path().string(), ".htaccess", s));
}

// Many threads share one cache while an access file keeps changing; once the
// writer stops, every lookup sees its last content.
TEST_F(access_watch_test, concurrent_lookups_while_the_access_file_changes) {
    write_file(pub_path() / "a" / "b" / "f", "x");
    write_file(pub_path() / "a" / "c" / "g", "x");
    config_info_cache cache;
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            const wchar_t* urls[] = {L"/a/b/f", L"/a/c/g", L"/a/b", L"/missing"};
            for (int i = 0; i < 300 && !stop; ++i) {
                auto c = cache.get(urls[(i + t) % 4], L"GET");
                EXPECT_TRUE(c);
                if (i % 50 == 0) cache.sweep();
            }
        });
    for (int i = 0; i < 20; ++i)
        write_file(pub_path() / "a" / ".htaccess",
                   "DefaultType text/x-" + std::to_string(i) + "\n");
    write_file(pub_path() / "a" / ".htaccess", "DefaultType text/x-final\n");
    stop = true;
    for (auto& r : readers)
        r.join();
    auto c = cache.get(L"/a/b/f", L"GET");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->default_type, "text/x-final");
    EXPECT_EQ(cache.get(L"/a/c/g", L"GET")->default_type, "text/x-final");
}

// Both ways a check learns of changes: by measuring the shared queue, and on
// threads with a descriptor of their own, by the signal it sends them.
class access_watch_modes : public config_test::tree_fixture,
                           public ::testing::WithParamInterface<bool> {
  protected:
    static bool always() { return true; }
    bool (*signalled() const)() { return GetParam() ? &always : nullptr; }
};

INSTANTIATE_TEST_SUITE_P(checks, access_watch_modes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "signalled" : "shared"; });

// Checks on several threads at once, most of them finding nothing queued and
// taking no lock: once an edit has been made, no check that begins after it
// may answer "unchanged", whichever thread happens to read the notification.
// A check on a server thread always follows a system call that brought its
// request in; the checkers make one too.
TEST_P(access_watch_modes, an_edit_is_seen_by_every_check_that_begins_after_it) {
    access_watch watch(true, 8192, signalled());
    ASSERT_TRUE(watch.enabled());
    const std::string dir = pub_path().string();
    write_file(pub_path() / ".htaccess", "x");
    for (int round = 0; round < 100; ++round) {
        std::vector<access_watch::stamp> stamps(1);
        ASSERT_TRUE(watch.watch(dir, ".htaccess", stamps[0]));
        std::atomic<uint64_t> verified{0};
        std::atomic<bool> edited{false};
        std::atomic<int> stale{0}, seen{0}, own{0};
        std::vector<std::thread> checkers;
        for (int t = 0; t < 4; ++t)
            checkers.emplace_back([&] {
                for (int after = 0; after < 50;) {
                    const bool was_edited = edited.load(std::memory_order_acquire);
                    ::getppid();
                    const bool same = watch.unchanged(stamps, verified);
                    if (!was_edited) continue;
                    ++after;
                    if (same)
                        ++stale;
                    else
                        ++seen;
                }
                if (watch.signalled_thread_count() > 0) ++own;
            });
        write_file(pub_path() / ".htaccess", "edit " + std::to_string(round));
        edited.store(true, std::memory_order_release);
        for (auto& c : checkers)
            c.join();
        ASSERT_EQ(stale.load(), 0) << "round " << round;
        ASSERT_EQ(seen.load(), 200);
        ASSERT_EQ(own.load(), GetParam() ? 4 : 0);
        // A thread that ended took its descriptor with it.
        ASSERT_EQ(watch.signalled_thread_count(), 0u);
    }
}

// Each kind of change to a watched directory, checked right after it is made:
// exactly the stamps of the name it concerns change, and a stamp taken after
// the change is current again.
TEST_P(access_watch_modes, each_kind_of_change_shows_on_the_next_check) {
    struct change_case {
        const char* what;
        std::function<void(const fs::path&)> act;
        bool access_changes, page_changes;
    };
    const std::vector<change_case> cases = {
        {"unrelated file written", [](const fs::path& d) { write_file(d / "other", "o"); }, false,
         false},
        {"access file edited", [](const fs::path& d) { write_file(d / ".htaccess", "y"); }, true,
         false},
        {"page replaced by rename",
         [](const fs::path& d) {
             write_file(d / "page.tmp", "new");
             fs::rename(d / "page.tmp", d / "page");
         },
         false, true},
        {"page grown in place",
         [](const fs::path& d) { std::ofstream(d / "page", std::ios::app) << "more"; }, false,
         true},
        {"page shrunk in place", [](const fs::path& d) { fs::resize_file(d / "page", 0); }, false,
         true},
        {"page mode changed",
         [](const fs::path& d) {
             fs::permissions(d / "page", fs::perms::owner_read, fs::perm_options::replace);
         },
         false, true},
        {"page deleted", [](const fs::path& d) { fs::remove(d / "page"); }, false, true},
        {"access file renamed away",
         [](const fs::path& d) { fs::rename(d / ".htaccess", d / "old"); }, true, false},
        {"access file deleted", [](const fs::path& d) { fs::remove(d / ".htaccess"); }, true,
         false},
    };
    access_watch watch(true, 8192, signalled());
    const fs::path dir = pub_path() / "w";
    for (const change_case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        write_file(dir / ".htaccess", "x");
        write_file(dir / "page", "p");
        std::vector<access_watch::stamp> ht(1), page(1);
        ASSERT_TRUE(watch.watch(dir.string(), ".htaccess", ht[0]));
        ASSERT_TRUE(watch.watch(dir.string(), "page", page[0]));
        std::atomic<uint64_t> vh{0}, vp{0};
        ASSERT_TRUE(watch.unchanged(ht, vh));
        ASSERT_TRUE(watch.unchanged(page, vp));
        c.act(dir);
        EXPECT_EQ(!watch.unchanged(ht, vh), c.access_changes);
        EXPECT_EQ(!watch.unchanged(page, vp), c.page_changes);
        EXPECT_EQ(watch.signalled_thread_count(), GetParam() ? 1u : 0u);
        // Stamped again, both are current until the next change.
        ASSERT_TRUE(watch.watch(dir.string(), ".htaccess", ht[0]));
        ASSERT_TRUE(watch.watch(dir.string(), "page", page[0]));
        std::atomic<uint64_t> wh{0}, wp{0};
        EXPECT_TRUE(watch.unchanged(ht, wh));
        EXPECT_TRUE(watch.unchanged(page, wp));
    }
}
