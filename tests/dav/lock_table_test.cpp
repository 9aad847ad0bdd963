#include "dav/locks.h"

#include "core/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

constexpr uint32_t bound_ms = 10000;

struct clocked_table {
    std::shared_ptr<std::atomic<int64_t>> seconds = std::make_shared<std::atomic<int64_t>>(1000);
    std::unique_ptr<lock_table> table;
    explicit clocked_table(cl::base_timer* timer = nullptr) {
        auto s = seconds;
        table = std::make_unique<lock_table>([s] { return s->load(); }, timer);
    }
    lock_entry lock(const std::wstring& key, bool infinity, int64_t duration = 3600) {
        lock_entry e;
        e.owner = "o";
        e.depth_infinity = infinity;
        EXPECT_EQ(table->add_lock(key, e, duration), 0);
        return e;
    }
};

TEST(lock_table, keys_are_exact_paths_below_the_root) {
    EXPECT_EQ(path_below_root(L"/srv/pub/", L"/srv/pub/"), L"/");
    EXPECT_EQ(path_below_root(L"/srv/pub", L"/srv/pub/"), L"/");
    EXPECT_EQ(path_below_root(L"/srv/pub/Docs/A.txt", L"/srv/pub/"), L"Docs/A.txt");
    EXPECT_EQ(path_below_root(L"/srv/pub/docs//sub/", L"/srv/pub/"), L"docs/sub");
    EXPECT_EQ(path_below_root(L"/srv/public/x", L"/srv/pub/"), L"");
    EXPECT_EQ(path_below_root(L"/etc/passwd", L"/srv/pub/"), L"");
}

TEST(lock_table, timeout_header_is_parsed_with_bounds) {
    const struct {
        const char* header;
        int64_t seconds;
    } cases[] = {
        {"", 3600},
        {"Second-60", 60},
        {"second-60", 60},
        {"Second-99999", 3600},
        {"Infinite", 3600},
        {"Infinite, Second-120", 120},
        {"Second-300, Second-30", 30},
        {"Second-0", 1},
        {"Second-", 3600},
        {"Second-12x", 3600},
        {"Second--5", 3600},
        {"Second-99999999999999999999999999", 3600},
        {"Minute-5", 3600},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_timeout_header(c.header), c.seconds) << c.header;
}

TEST(lock_table, if_header_tokens_skip_tags_etags_and_negations) {
    using v = std::vector<std::string>;
    EXPECT_EQ(if_header_lock_tokens("(<urn:uuid:1>)"), v{"urn:uuid:1"});
    EXPECT_EQ(if_header_lock_tokens("<http://h/a> (<urn:uuid:1> [\"e<x>\"]) (Not <DAV:no-lock>)"),
              v{"urn:uuid:1"});
    EXPECT_EQ(if_header_lock_tokens("(Not <urn:uuid:1>) (<urn:uuid:2>)"), v{"urn:uuid:2"});
    EXPECT_EQ(if_header_lock_tokens("<urn:uuid:1>"), v{});
}

TEST(lock_table, tokens_are_fresh_uuids) {
    const std::string a = new_lock_token(), b = new_lock_token();
    EXPECT_EQ(a.rfind("urn:uuid:", 0), 0u);
    EXPECT_EQ(a.size(), 9u + 36u);
    EXPECT_NE(a, b);
}

TEST(lock_table, conflicts_follow_the_tree_and_names_compare_exactly) {
    clocked_table t;
    t.lock(L"docs/a.txt", false);
    lock_entry e;
    // The same resource, and a folder above it taken with depth infinity.
    std::wstring conflict;
    EXPECT_EQ(t.table->add_lock(L"docs/a.txt", e, 60, &conflict), 423);
    EXPECT_EQ(conflict, L"docs/a.txt");
    EXPECT_EQ(t.table->find_covering_lock(L"docs", true), L"docs/a.txt");
    EXPECT_EQ(t.table->find_covering_lock(L"/", true), L"docs/a.txt");
    // Depth 0 on the folder does not reach the file.
    EXPECT_EQ(t.table->find_covering_lock(L"docs", false), L"");
    // Another case is another file.
    EXPECT_EQ(t.table->find_covering_lock(L"docs/A.txt", true), L"");
    EXPECT_EQ(t.table->find_covering_lock(L"Docs", true), L"");
    // A prefix that is no folder above it.
    EXPECT_EQ(t.table->find_covering_lock(L"docs/a.txt2", true), L"");
    t.lock(L"tree", false);
    // A lock on a folder, of any depth, covers what lies below for LOCK.
    EXPECT_EQ(t.table->find_covering_lock(L"tree/x/y", false), L"tree");
}

TEST(lock_table, writes_need_the_tokens_of_the_locks_in_their_way) {
    clocked_table t;
    const lock_entry file = t.lock(L"a/f.txt", false);
    const lock_entry shallow = t.lock(L"shallow", false);
    const lock_entry deep = t.lock(L"deep", true);
    const std::vector<std::string> none;
    const struct {
        const wchar_t* key;
        write_scope scope;
        std::vector<std::string> tokens;
        int status;
    } cases[] = {
        {L"a/f.txt", write_scope::content, none, 423},
        {L"a/f.txt", write_scope::content, {file.token}, 0},
        {L"a/f.txt", write_scope::content, {"urn:uuid:wrong"}, 423},
        {L"a/F.txt", write_scope::content, none, 0},
        {L"a", write_scope::member, none, 0},
        {L"a", write_scope::tree, none, 423},
        {L"a", write_scope::tree, {file.token}, 0},
        {L"/", write_scope::tree, {file.token, shallow.token}, 423},
        {L"/", write_scope::tree, {file.token, shallow.token, deep.token}, 0},
        // Depth 0 on a folder guards its members list, not their bodies.
        {L"shallow/x", write_scope::content, none, 0},
        {L"shallow/x", write_scope::member, none, 423},
        {L"shallow/x", write_scope::member, {shallow.token}, 0},
        {L"shallow/sub/x", write_scope::member, none, 0},
        {L"deep/sub/x", write_scope::content, none, 423},
        {L"deep/sub/x", write_scope::content, {deep.token}, 0},
        {L"deep", write_scope::content, none, 423},
    };
    for (const auto& c : cases)
        EXPECT_EQ(t.table->check_write(c.key, c.scope, c.tokens), c.status)
            << std::string(c.key, c.key + wcslen(c.key)) << " " << int(c.scope);
    EXPECT_TRUE(t.table->token_relates(L"deep/sub/x", deep.token));
    EXPECT_TRUE(t.table->token_relates(L"a", file.token));
    EXPECT_FALSE(t.table->token_relates(L"b", file.token));
    EXPECT_FALSE(t.table->token_relates(L"a/f.txt", "urn:uuid:none"));
}

TEST(lock_table, locks_expire_and_refresh_extends_them) {
    clocked_table t;
    const lock_entry e = t.lock(L"f", false, 60);
    t.lock(L"g", false, 10);
    *t.seconds += 59;
    t.table->sweep();
    EXPECT_EQ(t.table->size(), 1u); // g went at 1010
    lock_entry got;
    std::wstring key;
    EXPECT_FALSE(t.table->refresh(L"f", {"urn:uuid:other"}, 120, got, key));
    ASSERT_TRUE(t.table->refresh(L"f", {e.token}, 120, got, key));
    EXPECT_EQ(key, L"f");
    EXPECT_EQ(got.timeout, 120);
    EXPECT_EQ(got.token, e.token);
    *t.seconds += 119;
    t.table->sweep();
    EXPECT_EQ(t.table->size(), 1u);
    *t.seconds += 1;
    t.table->sweep();
    EXPECT_EQ(t.table->size(), 0u);
    EXPECT_EQ(t.table->unlock(L"f", e.token), 409);
}

TEST(lock_table, refresh_and_unlock_reach_a_deep_lock_from_below) {
    clocked_table t;
    const lock_entry deep = t.lock(L"coll", true);
    const lock_entry shallow = t.lock(L"flat", false);
    lock_entry got;
    std::wstring key;
    EXPECT_TRUE(t.table->refresh(L"coll/m.txt", {deep.token}, 30, got, key));
    EXPECT_EQ(key, L"coll");
    EXPECT_FALSE(t.table->refresh(L"flat/m.txt", {shallow.token}, 30, got, key));
    EXPECT_EQ(t.table->unlock(L"flat/m.txt", shallow.token), 409);
    EXPECT_EQ(t.table->unlock(L"coll", "urn:uuid:wrong"), 409);
    EXPECT_EQ(t.table->size(), 2u);
    EXPECT_EQ(t.table->unlock(L"coll/m.txt", deep.token), 204);
    EXPECT_EQ(t.table->unlock(L"flat", shallow.token), 204);
    EXPECT_EQ(t.table->size(), 0u);
}

TEST(lock_table, sweep_timer_runs_while_locks_exist) {
    auto tick = std::make_shared<std::atomic<uint32_t>>(1000);
    cl::passive_timer timer("locks", [tick] { return tick->load(); });
    clocked_table t(&timer);
    EXPECT_FALSE(t.table->timer_armed());
    const lock_entry a = t.lock(L"a", false, 5);
    EXPECT_TRUE(t.table->timer_armed());
    // Each second of the timer's clock sweeps; the lock goes once its
    // expiry has passed, and with the table empty the timer stops itself.
    for (int i = 0; i < 4; ++i) {
        *t.seconds += 1;
        *tick += 1000;
        ASSERT_TRUE(timer.sync(bound_ms));
        EXPECT_EQ(t.table->size(), 1u);
    }
    *t.seconds += 1;
    *tick += 1000;
    ASSERT_TRUE(timer.sync(bound_ms));
    ASSERT_TRUE(timer.sync(bound_ms));
    EXPECT_EQ(t.table->size(), 0u);
    EXPECT_FALSE(t.table->timer_armed());
    EXPECT_EQ(t.table->unlock(L"a", a.token), 409);

    // UNLOCK of the last lock stops the timer; a lock taken afterwards arms
    // it again.
    const lock_entry b = t.lock(L"b", false);
    EXPECT_TRUE(t.table->timer_armed());
    EXPECT_EQ(t.table->unlock(L"b", b.token), 204);
    EXPECT_FALSE(t.table->timer_armed());
    t.lock(L"c", false);
    EXPECT_TRUE(t.table->timer_armed());
}

TEST(lock_table, a_sweep_racing_lock_and_unlock_keeps_the_timer_while_locks_exist) {
    cl::passive_timer timer("locks");
    clocked_table t(&timer);
    std::atomic<bool> stop{false};
    // A sweep every millisecond or so races the UNLOCKs and new LOCKs below.
    std::thread sweeper([&] {
        while (!stop)
            t.table->sweep();
    });
    for (int i = 0; i < 2000; ++i) {
        const lock_entry e = t.lock(L"k", false);
        ASSERT_TRUE(t.table->timer_armed()) << i;
        ASSERT_EQ(t.table->unlock(L"k", e.token), 204);
        const lock_entry f = t.lock(L"k2", false);
        ASSERT_TRUE(t.table->timer_armed()) << i;
        ASSERT_EQ(t.table->unlock(L"k2", f.token), 204);
    }
    stop = true;
    sweeper.join();
    EXPECT_EQ(t.table->size(), 0u);
}

} // namespace

// The bounds of the table, and whose tokens a login may use.
TEST(lock_table, locks_are_bounded_and_owned) {
    clocked_table t;
    t.table->set_limits(4, 2);
    auto take = [&](const std::wstring& key, const std::string& login, const std::string& holder) {
        lock_entry e;
        e.login = login;
        e.holder = holder;
        const int s = t.table->add_lock(key, e, 60);
        return std::make_pair(s, e);
    };
    const auto [s1, carol] = take(L"c1", "carol", "carol");
    EXPECT_EQ(s1, 0);
    EXPECT_EQ(take(L"c2", "carol", "carol").first, 0);
    EXPECT_EQ(take(L"c3", "carol", "carol").first, 503); // carol's share is taken
    const auto [s4, anon] = take(L"a1", "", "@127.0.0.1");
    EXPECT_EQ(s4, 0);
    EXPECT_EQ(take(L"a2", "", "@127.0.0.2").first, 0);
    EXPECT_EQ(take(L"a3", "", "@127.0.0.3").first, 503); // the table is full
    EXPECT_EQ(t.table->size(), 4u);

    struct use {
        std::string token, login;
        bool foreign;
    };
    for (const use& u : {use{carol.token, "carol", false}, use{carol.token, "dave", true},
                         use{carol.token, "", true}, use{anon.token, "", false},
                         use{anon.token, "carol", true}, use{"urn:uuid:none", "dave", false}})
        EXPECT_EQ(t.table->names_foreign_lock({"urn:uuid:x", u.token}, u.login), u.foreign)
            << u.token << " " << u.login;
}
