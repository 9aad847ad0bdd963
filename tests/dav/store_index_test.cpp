#include "dav/store_index.h"

#include "../common/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

namespace fs = std::filesystem;

namespace {

class store_index_test : public tq_test::temp_dir_test {};

// name -> "file <size>", "folder" or "link <size>", as the index lists it.
std::map<std::string, std::string> described(const indexed_entries& list) {
    std::map<std::string, std::string> out;
    for (const indexed_entry& e : list)
        out[e.name] = e.folder ? "folder"
                      : e.link ? "link " + std::to_string(e.identity.size)
                               : "file " + std::to_string(e.identity.size);
    return out;
}

TEST_F(store_index_test, changes_made_by_any_program_are_seen_by_the_next_listing) {
    store_index index;
    const std::string folder = dir_.string();
    put("a.ics", "aaaa");
    put("b.ics", "bb");
    auto first = index.list(folder);
    ASSERT_TRUE(first);
    EXPECT_EQ(described(*first),
              (std::map<std::string, std::string>{{"a.ics", "file 4"}, {"b.ics", "file 2"}}));
    // Unchanged: the very same list, no file looked at again.
    EXPECT_EQ(index.list(folder + "/"), first);
    const object_identity a_before = (*first)[0].identity;

    const struct {
        const char* what;
        std::function<void()> change;
        std::map<std::string, std::string> expected;
    } steps[] = {
        {"appended in place",
         [&] { std::ofstream(dir_ / "a.ics", std::ios::app) << "a"; },
         {{"a.ics", "file 5"}, {"b.ics", "file 2"}}},
        {"replaced by a rename",
         [&] {
             put("tmp", "new");
             fs::rename(dir_ / "tmp", dir_ / "b.ics");
         },
         {{"a.ics", "file 5"}, {"b.ics", "file 3"}}},
        {"removed", [&] { fs::remove(dir_ / "a.ics"); }, {{"b.ics", "file 3"}}},
        {"a folder and a link made",
         [&] {
             fs::create_directories(dir_ / "sub");
             put("sub/target", "12345678");
             fs::create_symlink(dir_ / "sub/target", dir_ / "c.ics");
         },
         {{"b.ics", "file 3"}, {"c.ics", "link 8"}, {"sub", "folder"}}},
        // Written through the link's target, in a folder not watched.
        {"link target changed",
         [&] { std::ofstream(dir_ / "sub/target", std::ios::app) << "9"; },
         {{"b.ics", "file 3"}, {"c.ics", "link 9"}, {"sub", "folder"}}},
    };
    for (const auto& s : steps) {
        s.change();
        auto list = index.list(folder);
        ASSERT_TRUE(list) << s.what;
        EXPECT_EQ(described(*list), s.expected) << s.what;
    }
    // Only the modification time changed (size and inode kept): a new identity.
    auto before = index.list(folder);
    const object_identity b_id = (*before)[0].identity;
    struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 678}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / "b.ics").c_str(), times, 0), 0);
    auto after = index.list(folder);
    EXPECT_EQ((*after)[0].name, "b.ics");
    EXPECT_EQ((*after)[0].identity.sec, 12345);
    EXPECT_FALSE((*after)[0].identity == b_id);
    EXPECT_FALSE(a_before == object_identity{});
}

TEST_F(store_index_test, folders_removed_or_unwatchable_are_not_listed) {
    store_index index(true, 2);
    fs::create_directories(dir_ / "one");
    fs::create_directories(dir_ / "two");
    fs::create_directories(dir_ / "three");
    put("one/x.ics", "x");
    ASSERT_TRUE(index.list((dir_ / "one").string()));
    ASSERT_TRUE(index.list((dir_ / "two").string()));
    EXPECT_EQ(index.folder_count(), 2u);
    // Over the bound the watches start afresh; nothing is lost.
    ASSERT_TRUE(index.list((dir_ / "three").string()));
    EXPECT_LE(index.folder_count(), 2u);
    EXPECT_EQ(described(*index.list((dir_ / "one").string())),
              (std::map<std::string, std::string>{{"x.ics", "file 1"}}));
    // A folder removed and made again under the same name is read afresh.
    fs::remove_all(dir_ / "one");
    fs::create_directories(dir_ / "one");
    put("one/y.ics", "yy");
    EXPECT_EQ(described(*index.list((dir_ / "one").string())),
              (std::map<std::string, std::string>{{"y.ics", "file 2"}}));
    EXPECT_FALSE(index.list((dir_ / "missing").string()));
    EXPECT_FALSE(index.list((dir_ / "one/y.ics").string()));
    EXPECT_FALSE(store_index(false).list((dir_ / "one").string()));
}

} // namespace
