#include "dav/tree_ops.h"

#include "../common/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class tree_ops : public tq_test::temp_dir_test {
  protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        fs::create_directories(dir_ / "src/sub");
        put("src/a.txt", "a");
        put("src/sub/b.txt", "b");
        outside_ = dir_ / "outside";
        fs::create_directories(outside_);
        std::ofstream(outside_ / "precious.txt") << "precious";
        fs::create_directory_symlink(outside_, dir_ / "src/link");
    }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename().string().rfind(".tq-", 0) == 0)
                out.push_back(e.path().filename());
        return out;
    }
    fs::path outside_;
};

TEST_F(tree_ops, copy_takes_links_as_links_with_modes_and_attributes) {
    ::chmod((dir_ / "src/a.txt").c_str(), 0640);
    const bool xattrs = ::setxattr((dir_ / "src/a.txt").c_str(), "user.note", "v", 1, 0) == 0;
    ASSERT_EQ(copy_to_new(path("src"), path("dst"), true), 0);
    EXPECT_EQ(get("dst/a.txt"), "a");
    EXPECT_EQ(get("dst/sub/b.txt"), "b");
    EXPECT_TRUE(fs::is_symlink(dir_ / "dst/link"));
    EXPECT_EQ(fs::read_symlink(dir_ / "dst/link"), outside_);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "dst/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    if (xattrs) {
        char v[4] = {};
        EXPECT_EQ(::getxattr((dir_ / "dst/a.txt").c_str(), "user.note", v, sizeof v), 1);
    }
    // Depth 0 makes the folder alone.
    ASSERT_EQ(copy_to_new(path("src"), path("flat"), false), 0);
    EXPECT_TRUE(fs::is_empty(dir_ / "flat"));
    // An existing destination is never replaced by copy_to_new.
    EXPECT_EQ(copy_to_new(path("src/a.txt"), path("src/sub/b.txt"), false), 412);
    EXPECT_EQ(get("src/sub/b.txt"), "b");
    // A destination without its folder: nothing is left behind.
    EXPECT_EQ(copy_to_new(path("src"), path("none/dst"), true), 409);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(tree_ops, delete_removes_links_not_what_they_point_to) {
    std::vector<tree_failure> failures;
    EXPECT_TRUE(delete_tree(path("src"), failures));
    EXPECT_TRUE(failures.empty());
    EXPECT_FALSE(fs::exists(dir_ / "src"));
    EXPECT_TRUE(fs::exists(outside_ / "precious.txt"));
    // A missing path is no failure; a path below a file is.
    EXPECT_TRUE(delete_tree(path("src"), failures));
    put("file", "f");
    EXPECT_FALSE(delete_tree(path("file/x"), failures));
    ASSERT_EQ(failures.size(), 1u);
}

TEST_F(tree_ops, move_replaces_whole_or_changes_nothing) {
    fs::create_directories(dir_ / "dst/old");
    put("dst/old/x.txt", "old");
    // Without overwrite an existing destination stops the move.
    transfer_result r = copy_or_move(path("src"), path("dst"), true, false, true);
    EXPECT_EQ(r.status, 412);
    EXPECT_EQ(get("src/a.txt"), "a");
    EXPECT_EQ(get("dst/old/x.txt"), "old");
    // With it the destination becomes the source, nothing of the old one stays.
    r = copy_or_move(path("src"), path("dst"), true, true, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.failures.empty());
    EXPECT_FALSE(fs::exists(dir_ / "src"));
    EXPECT_FALSE(fs::exists(dir_ / "dst/old"));
    EXPECT_EQ(get("dst/sub/b.txt"), "b");
    EXPECT_TRUE(fs::is_symlink(dir_ / "dst/link"));
    // A copy over a file replaces it and keeps the source.
    put("one.txt", "one");
    put("two.txt", "two");
    r = copy_or_move(path("one.txt"), path("two.txt"), false, true, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(get("two.txt"), "one");
    EXPECT_EQ(get("one.txt"), "one");
    EXPECT_TRUE(leftovers().empty());
    EXPECT_TRUE(fs::exists(outside_ / "precious.txt"));
}

TEST_F(tree_ops, failed_calls_map_to_statuses) {
    const struct {
        int error;
        int status;
    } cases[] = {{EACCES, 403}, {EPERM, 403},  {EROFS, 403}, {ENOENT, 409}, {EEXIST, 409},
                 {ENOSPC, 507}, {EDQUOT, 507}, {EXDEV, 502}, {EIO, 500},    {ENAMETOOLONG, 400}};
    for (const auto& c : cases)
        EXPECT_EQ(status_of_errno(c.error), c.status) << c.error;
}

} // namespace
