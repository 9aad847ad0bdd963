#include "core/tree_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

std::string scratch_folder() {
    const char* base = std::getenv("TQ_TEST_TMP");
    std::string dir = std::string(base && *base ? base : "/tmp");
    ::mkdir(dir.c_str(), 0777);
    std::string pattern = dir + "/tree_root_XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// A sibling whose name starts with the root's is no part of the tree; the
// root itself and names below it are.
TEST(TreeRoot, ContainsOnlyTheRootAndNamesBelowIt) {
    const std::string dir = scratch_folder();
    ASSERT_FALSE(dir.empty());
    ::mkdir((dir + "/pub").c_str(), 0777);
    const cl::tree_root root(dir + "/pub", 1);
    const struct {
        std::string path;
        bool inside;
        const char* rest;
    } cases[] = {
        {dir + "/pub", true, ""},         {dir + "/pub/notes.txt", true, "/notes.txt"},
        {dir + "/pub/a/b", true, "/a/b"}, {dir + "/pubx/notes.txt", false, ""},
        {dir + "/pu", false, ""},         {dir + "/pub.old/x", false, ""},
    };
    for (const auto& c : cases) {
        std::string_view rest;
        EXPECT_EQ(root.contains(c.path, rest), c.inside) << c.path;
        if (c.inside) {
            EXPECT_EQ(rest, c.rest) << c.path;
        }
    }
}

// A write through a link whose target does not exist yet never makes a file
// outside the tree: the last name is not followed.
TEST(TreeRoot, AWriteThroughADanglingLinkMakesNothingOutside) {
    const std::string dir = scratch_folder();
    ASSERT_FALSE(dir.empty());
    ::mkdir((dir + "/pub").c_str(), 0777);
    const std::string outside = dir + "/made-outside.txt";
    ASSERT_EQ(::symlink(outside.c_str(), (dir + "/pub/dangling").c_str()), 0);
    const cl::tree_root root(dir + "/pub", 1);
    for (int flags : {O_WRONLY | O_CREAT, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR | O_CREAT}) {
        const int fd = root.open("/dangling", flags, 0644);
        if (fd >= 0) ::close(fd);
        EXPECT_LT(fd, 0) << flags;
        struct stat st {};
        EXPECT_NE(::lstat(outside.c_str(), &st), 0) << flags;
        ::unlink(outside.c_str());
    }
}

} // namespace
