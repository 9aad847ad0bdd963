#include "scripting/access_watch.h"

#include "scripting/config_cache.h"
#include "scripting_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

using namespace scripting;
namespace fs = std::filesystem;

using access_watch_test = scripting_test::tree_fixture;

TEST_F(access_watch_test, names_change_independently_and_unused_watches_go) {
    access_watch watch(true, 8192, false);
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
    access_watch watch(true, 8192, false);
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
    // Whatever the watcher thread has not applied yet.
    cache.watch().refresh();
    auto c = cache.get(L"/a/b/f", L"GET");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->default_type, "text/x-final");
    EXPECT_EQ(cache.get(L"/a/c/g", L"GET")->default_type, "text/x-final");
}

namespace {

// Waits (bounded) until the watcher thread has applied another batch of
// notifications after `seen`; false when it never does.
bool watcher_applied_after(const access_watch& watch, uint64_t seen) {
    for (int i = 0; i < 5000; ++i) {
        if (watch.batches_applied() > seen) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace

// The watcher thread alone applies each kind of change: a check then reads
// memory only. Every row changes one thing and expects exactly the stamps of
// that name to change.
TEST_F(access_watch_test, watcher_thread_applies_changes_without_the_checker_reading) {
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
        {"page deleted", [](const fs::path& d) { fs::remove(d / "page"); }, false, true},
        {"access file deleted", [](const fs::path& d) { fs::remove(d / ".htaccess"); }, true,
         false},
    };
    access_watch watch;
    ASSERT_TRUE(watch.background());
    for (const change_case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path dir = pub_path() / "w";
        fs::remove_all(dir);
        write_file(dir / ".htaccess", "x");
        write_file(dir / "page", "p");
        std::vector<access_watch::stamp> ht(1), page(1), marker(1);
        ASSERT_TRUE(watch.watch(dir.string(), ".htaccess", ht[0]));
        ASSERT_TRUE(watch.watch(dir.string(), "page", page[0]));
        // A name written after the change tells when the watcher has seen
        // everything before it: events of one directory come in order.
        ASSERT_TRUE(watch.watch(dir.string(), "marker", marker[0]));
        std::atomic<uint64_t> vh{0}, vp{0}, vm{0};
        ASSERT_TRUE(watch.unchanged(ht, vh));
        ASSERT_TRUE(watch.unchanged(page, vp));
        c.act(dir);
        write_file(dir / "marker", "m");
        bool marker_seen = false;
        for (int i = 0; i < 5000 && !marker_seen; ++i) {
            marker_seen = !watch.unchanged(marker, vm);
            if (!marker_seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(marker_seen) << "the watcher thread never applied the change";
        EXPECT_EQ(!watch.unchanged(ht, vh), c.access_changes);
        EXPECT_EQ(!watch.unchanged(page, vp), c.page_changes);
    }
    // The batches were the watcher's: nothing above read the descriptor.
    const uint64_t seen = watch.batches_applied();
    EXPECT_GT(seen, 0u);
    write_file(pub_path() / "w" / ".htaccess", "z");
    EXPECT_TRUE(watcher_applied_after(watch, seen));
}
