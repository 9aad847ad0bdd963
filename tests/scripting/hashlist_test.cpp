// Hash lists: the file format both ways, damaged lines, saving that cannot
// lose the old file, compaction, the change log, iterators, the unload sweep
// and the user look-ups of the logins.
#include "scripting/hashlist.h"
#include "scripting/hashlist_store.h"
#include "scripting/hashlist_users.h"
#include "scripting_test_support.h"
#include "server/server_settings.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

using scripting_test::tree_fixture;

namespace {

class hashlist_test : public tree_fixture {
  protected:
    std::wstring file(const char* name) const { return w(data_path() / name); }
    std::string read(const char* name) const {
        std::ifstream in(data_path() / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void put(const char* name, const std::string& bytes) const {
        write_file(data_path() / name, bytes);
    }
};

TEST_F(hashlist_test, format_round_trip) {
    const std::string bom = "\xEF\xBB\xBF";
    scripting::nosql_list l;
    ASSERT_TRUE(l.read_file(file("new.txt"))) << "a missing file is an empty list";
    EXPECT_TRUE(l.utf8_mode());
    const std::pair<std::string, std::string> entries[] = {
        {"b", "line\nfeed \"quoted\" back\\slash\rcr"},
        {"a", ""},
        {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC"},
        {"z,;", "v"},
    };
    for (const auto& [k, v] : entries)
        l.set(k, v);
    const mode_t old_mask = ::umask(022);
    ASSERT_TRUE(l.write_file(file("new.txt")));
    ::umask(old_mask);
    EXPECT_FALSE(l.dirty());
    struct stat st {};
    ASSERT_EQ(::stat((data_path() / "new.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new list is its owner's alone";
    EXPECT_EQ(read("new.txt"), bom + "\"a\",\"\"\r\n"
                                     "\"b\",\"line\\nfeed \\\"quoted\\\" back\\\\slash\\rcr\"\r\n"
                                     "\"z,;\",\"v\"\r\n"
                                     "\"\xC3\xA9t\xC3\xA9\",\"\xE2\x82\xAC\"\r\n");
    scripting::nosql_list back;
    ASSERT_TRUE(back.read_file(file("new.txt")));
    EXPECT_EQ(back.size(), 4u);
    for (const auto& [k, v] : entries) {
        std::string_view got;
        ASSERT_TRUE(back.get(k, got)) << k;
        EXPECT_EQ(got, v);
    }

    // A file without byte-order mark keeps its bytes and is written back
    // without one; clear() starts a UTF-8 file.
    put("plain.txt", "\"k\",\"\xE9\"\n");
    scripting::nosql_list plain;
    ASSERT_TRUE(plain.read_file(file("plain.txt")));
    EXPECT_FALSE(plain.utf8_mode());
    plain.set("k2", "v2");
    ASSERT_TRUE(plain.write_file(file("plain.txt")));
    EXPECT_EQ(read("plain.txt"), "\"k\",\"\xE9\"\r\n\"k2\",\"v2\"\r\n");
    plain.clear();
    ASSERT_TRUE(plain.write_file(file("plain.txt")));
    EXPECT_EQ(read("plain.txt"), bom);
}

TEST_F(hashlist_test, damaged_lines_are_skipped_and_traced) {
    put("users.txt", "\"alice\",\"one\"\r\n"
                     "\"broken,\"no end\r\n"
                     "\"lonely\"\r\n"
                     "garbage\r\n"
                     "\r\n"
                     "  \"bob\" ; \"two\" \r\n"
                     "\"carol\",\"x\",\"extra\"\r\n"
                     "\"\",\"empty key\"\r\n"
                     "\"alice\",\"three\"\r\n"
                     "\"dave\",\"four\"\r\n"
                     "\"frank\",\"open\r\n"
                     "\"gina\",\"g\"\r\n"
                     "\"eve\",\"unterminated");
    scripting::nosql_list l;
    ASSERT_TRUE(l.read_file(file("users.txt")));
    std::map<std::string, std::string> got;
    for (auto it = l.begin(); it != l.end(); ++it)
        got[std::string(it->first.view())] = std::string(it->second.view());
    const std::map<std::string, std::string> want{
        {"alice", "three"}, {"bob", "two"}, {"dave", "four"}, {"gina", "g"}};
    EXPECT_EQ(got, want);
    const std::string t = sink_.text();
    for (int line : {2, 3, 4, 7, 11, 13})
        EXPECT_NE(t.find("hashlist: damaged line " + std::to_string(line) + " skipped"),
                  std::string::npos)
            << line << "\n"
            << t;
    EXPECT_EQ(t.find("damaged line 5 "), std::string::npos);
    EXPECT_EQ(t.find("damaged line 8 "), std::string::npos) << "an empty key is no damage";
}

// Writes beyond the size limit fail (as a full disk would), even for root.
class file_size_limit {
  public:
    explicit file_size_limit(rlim_t bytes) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }

  private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

TEST_F(hashlist_test, failed_save_keeps_the_old_file_and_the_changes) {
    const std::string old = "\"k\",\"v\"\r\n";
    put("list.txt", old);
    scripting::nosql_list l;
    ASSERT_TRUE(l.read_file(file("list.txt")));
    l.set("big", std::string(64 * 1024, 'x'));
    {
        file_size_limit limit(4096);
        EXPECT_FALSE(l.write_file(file("list.txt")));
    }
    EXPECT_TRUE(l.dirty()) << "the changes are still to be saved";
    EXPECT_EQ(read("list.txt"), old);
    EXPECT_NE(sink_.text().find("hashlist: write failed for"), std::string::npos) << sink_.text();
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(data_path()))
        files += e.path().filename().string().rfind("list.txt", 0) == 0;
    EXPECT_EQ(files, 1u) << "no temporary file is left behind";
    EXPECT_TRUE(l.write_file(file("list.txt")));
    EXPECT_EQ(read("list.txt").size(), old.size() + 10 + 64 * 1024);

    // A list whose folder is gone cannot be saved either, and says so.
    EXPECT_TRUE(l.set("k", "v2") == false && l.dirty());
    EXPECT_FALSE(l.write_file(file("missing/list.txt")));
    EXPECT_TRUE(l.dirty());
}

TEST_F(hashlist_test, compaction_keeps_every_entry) {
    std::string text;
    for (int i = 0; i < 100; ++i)
        text +=
            "\"key" + std::to_string(100 + i) + "\",\"" + std::string(50, 'a' + i % 26) + "\"\r\n";
    put("big.txt", text);
    for (bool writable : {true, false}) {
        scripting::nosql_list l;
        ASSERT_TRUE(l.read_file(file("big.txt")));
        for (int i = 0; i < 95; ++i)
            l.erase("key" + std::to_string(100 + i));
        // Changing a value never compacts.
        l.set("key196", std::string(500, 'q'));
        EXPECT_TRUE(l.needs_compaction());
        EXPECT_GT(l.dead_bytes(), 4 * l.live_bytes());
        const std::wstring target = writable ? file("big_out.txt") : file("nowhere/big.txt");
        l.compact(target);
        EXPECT_EQ(l.dead_bytes(), 0u);
        EXPECT_EQ(l.size(), 5u);
        for (int i = 195; i < 200; ++i) {
            std::string_view v;
            ASSERT_TRUE(l.get("key" + std::to_string(i), v)) << i;
            EXPECT_EQ(v, i == 196 ? std::string(500, 'q') : std::string(50, 'a' + (i - 100) % 26));
        }
        EXPECT_EQ(l.dirty(), !writable) << "a failed write leaves the changes to save";
        if (writable) {
            scripting::nosql_list back;
            ASSERT_TRUE(back.read_file(file("big_out.txt")));
            EXPECT_EQ(back.size(), 5u);
        }
    }

    // Through the list object: a new key compacts once storage is mostly dead.
    auto list = scripting::get_named_hashlist(file("big.txt"), 0);
    list->open(0);
    for (int i = 0; i < 99; ++i)
        list->erase("key" + std::to_string(100 + i));
    list->store("new", "value");
    EXPECT_EQ(list->get_value("key199"), std::string(50, 'a' + 99 % 26));
    EXPECT_EQ(list->get_value("new"), "value");
    EXPECT_EQ(read("big.txt"),
              "\"key199\",\"" + std::string(50, 'a' + 99 % 26) + "\"\r\n\"new\",\"value\"\r\n")
        << "compaction writes the list";
    scripting::close_all_hashlists();
}

TEST_F(hashlist_test, change_log_lines) {
    put("logged.txt", "\"a\",\"1\"\r\n");
    {
        auto list = scripting::get_named_hashlist(file("logged.txt"), 0);
        list->open(0);
        list->enable_logging(1 << 20);
        list->set_log_prefix("p");
        EXPECT_EQ(list->log_prefix(), "p");
        list->store("b", "two\nlines");
        list->store("a", "one");
        list->store("a", "one"); // no change, no line
        list->erase("b");
        list->save();
        list->clear();
        list->enable_logging(0);
        scripting::close_all_hashlists();
    }
    std::string log = read("logged.txt.log");
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
    const char* lines[] = {"p,C,\"b\",\"two\\nlines\"\n",
                           "p,M,\"a\",\"one\",\"1\"\n",
                           "p,D,\"b\"\n",
                           "p,W,1\n",
                           "p,E\n",
                           "p,W,0\n"};
    std::size_t at = 0;
    for (const char* l : lines) {
        const std::size_t found = log.find(l, at);
        ASSERT_NE(found, std::string::npos) << l << "\n" << log;
        at = found;
    }
    EXPECT_EQ(log.find("\"one\",\"one\""), std::string::npos);
}

TEST_F(hashlist_test, iterators_find_their_place_again) {
    auto list = scripting::get_named_hashlist(file("it.txt"), 0);
    list->open(0);
    for (const char* k : {"a", "b", "c", "d"})
        list->store(k, std::string("v") + k);
    auto it = list->begin();
    EXPECT_EQ(it->key(), "a");
    it->inc(2);
    EXPECT_EQ(it->key(), "c");
    EXPECT_EQ(it->value(), "vc");
    list->erase("c"); // under the iterator
    EXPECT_EQ(it->key(), "d") << "the next entry after the erased one";
    auto found = list->find("d");
    EXPECT_TRUE(it->equal(found.get()));
    it->inc(5);
    EXPECT_TRUE(it->at_end());
    EXPECT_TRUE(it->equal(list->end().get()));
    it->dec(1);
    EXPECT_EQ(it->key(), "d");
    it->inc(-10);
    EXPECT_EQ(it->key(), "a");
    EXPECT_TRUE(it->set_value("new"));
    EXPECT_EQ(list->get_value("a"), "new");
    EXPECT_EQ(list->lower_bound("bb")->key(), "d");
    EXPECT_EQ(list->upper_bound("b")->key(), "d");
    EXPECT_FALSE(it->equal(nullptr));
    list->clear();
    EXPECT_TRUE(it->at_end() || it->key().empty());
    scripting::close_all_hashlists();
}

TEST_F(hashlist_test, unload_sweep_saves_idle_lists) {
    {
        auto idle = scripting::get_named_hashlist(file("idle.txt"), 5);
        idle->open(0);
        idle->store("k", "v");
        auto kept = scripting::get_named_hashlist(file("kept.txt"), 0);
        kept->open(0);
        auto held = scripting::get_named_hashlist(file("held.txt"), 5);
        held->open(0);
        EXPECT_EQ(scripting::hashlist_count(), 3u);
        const int64_t later = scripting::hashlist::now_seconds() + 60;
        idle.reset();
        kept.reset();
        scripting::sweep_hashlists(later);
        EXPECT_EQ(scripting::hashlist_count(), 2u) << "held and timeout 0 stay";
        EXPECT_EQ(read("idle.txt"), "\xEF\xBB\xBF\"k\",\"v\"\r\n") << "saved when unloaded";
        scripting::sweep_hashlists(scripting::hashlist::now_seconds());
        EXPECT_EQ(scripting::hashlist_count(), 2u);
    }
    scripting::close_all_hashlists();
    EXPECT_EQ(scripting::hashlist_count(), 0u);
}

TEST_F(hashlist_test, user_passwords_are_enciphered_in_the_file) {
    shell_settings().master_password = "master";
    put("users.txt", "\"alice\",\"secret\"\r\n\"grp\",\"alice bob\"\r\n");
    const std::wstring users = file("users.txt");
    EXPECT_EQ(scripting::get_user_value(users, "alice", "alice"), "secret");
    const std::string stored = read("users.txt");
    EXPECT_EQ(stored.find("secret"), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"alice\",\"!"), std::string::npos) << stored;
    EXPECT_EQ(scripting::get_user_value(users, "alice", "ALICE"), "secret");
    EXPECT_EQ(scripting::get_user_password(users, "grp"), "alice bob") << "not a password";
    EXPECT_EQ(scripting::get_user_value(users, "nobody", "nobody"), "");

    // An edit by the file's owner is seen at once, and nothing of ours
    // overwrites it.
    std::string edited = read("users.txt");
    edited += "\"carol\",\"pw\"\r\n";
    put("users.txt", edited);
    // Logins look at the file at most once a second.
    std::string carol;
    for (int i = 0; i < 40 && carol.empty(); ++i) {
        carol = scripting::get_user_value(users, "carol", "carol");
        if (carol.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(carol, "pw");
    EXPECT_EQ(scripting::get_user_value(users, "alice", "alice"), "secret");
    EXPECT_NE(read("users.txt").find("\"carol\",\"!"), std::string::npos);

    // Paths that could leave their folder are never opened.
    for (const std::wstring& bad :
         {std::wstring(L"relative/users.txt"), w(data_path()) + L"/../data/users.txt",
          w(data_path()) + L"/./users.txt", w(data_path()) + L"/us\x01ers.txt", std::wstring()})
        EXPECT_EQ(scripting::get_user_value(bad, "alice", "alice"), "") << cl::utf16_to_utf8(bad);
    scripting::close_all_hashlists();
    shell_settings().master_password.clear();
}

} // namespace
