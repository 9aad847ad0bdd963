#include "core/file_hnd.h"

#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using FileHnd = tq_test::temp_dir_test;

} // namespace

TEST_F(FileHnd, InvalidFlagsFailWithoutTouchingTheFileSystem) {
    cl::file_hnd f;
    EXPECT_FALSE(f.open(path("x"), 0x43));
    EXPECT_EQ(f.last_error(), cl::invalid_flags_error);
    EXPECT_FALSE(f.open(path("x"), 0x41)); // delete-on-close without create
    EXPECT_EQ(f.last_error(), cl::invalid_flags_error);
    EXPECT_FALSE(f.open(path("x"), 0x101, 0x77)); // bad share flags
    EXPECT_EQ(f.last_error(), cl::invalid_flags_error);
    EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(FileHnd, MissingFileAndMissingDirectoryHaveTheirOwnCodes) {
    cl::file_hnd f;
    EXPECT_FALSE(f.open(path("nope"), cl::o_rdonly));
    EXPECT_EQ(f.last_error(), 2u);
    EXPECT_TRUE(f.not_found());
    EXPECT_FALSE(f.open(path("nodir/nope"), cl::o_rdonly));
    EXPECT_EQ(f.last_error(), 3u);
    put("exists", "x");
    EXPECT_FALSE(f.open(path("exists"), cl::o_wronly | cl::o_creat | cl::o_excl));
    EXPECT_EQ(f.last_error(), 80u);
    EXPECT_FALSE(f.open(dir_.wstring(), cl::o_rdonly)); // a directory is no file
    EXPECT_EQ(f.last_error(), 5u);
}

TEST_F(FileHnd, ReadsLinesWithEveryLineEnd) {
    put("lines", "a\rb\r\nc\nd");
    cl::file_hnd f;
    ASSERT_TRUE(f.open(path("lines"), cl::o_rdonly));
    std::string line;
    ASSERT_TRUE(f.read_line(line));
    EXPECT_EQ(line, "a");
    EXPECT_EQ(f.line_end(), cl::le_cr);
    ASSERT_TRUE(f.read_line(line));
    EXPECT_EQ(line, "b");
    EXPECT_EQ(f.line_end(), cl::le_crlf);
    ASSERT_TRUE(f.read_line(line));
    EXPECT_EQ(line, "c");
    EXPECT_EQ(f.line_end(), cl::le_lf);
    ASSERT_TRUE(f.read_line(line));
    EXPECT_EQ(line, "d");
    EXPECT_EQ(f.line_end(), cl::le_none);
    EXPECT_FALSE(f.read_line(line));
}

TEST_F(FileHnd, PushedBackByteKeepsTellAndWritesInPlace) {
    put("pb", "a\rbc");
    cl::file_hnd f;
    ASSERT_TRUE(f.open(path("pb"), cl::o_rdwr));
    std::string line;
    ASSERT_TRUE(f.read_line(line));
    EXPECT_EQ(f.tell(), 2); // "b" was read ahead and pushed back
    uint8_t b = 0;
    ASSERT_TRUE(f.read_byte(b));
    EXPECT_EQ(b, 'b');
}

TEST_F(FileHnd, ReadAndWriteNeedTheirModes) {
    put("rw", "hello");
    cl::file_hnd f;
    ASSERT_TRUE(f.open(path("rw"), cl::o_rdonly));
    EXPECT_EQ(f.write("x", 1), -1);
    char buf[8];
    EXPECT_EQ(f.read(buf, 8), 5);
    ASSERT_TRUE(f.open(path("rw"), cl::o_wronly));
    EXPECT_EQ(f.read(buf, 1), -1);
    EXPECT_EQ(f.write("x", -3), 0);
    EXPECT_EQ(f.write("J", 1), 1);
    EXPECT_EQ(f.size(), 5);
    EXPECT_EQ(f.seek(2, 0), 2);
    EXPECT_TRUE(f.set_end());
    f.close();
    EXPECT_EQ(get("rw"), "Je");
}

TEST_F(FileHnd, SharingViolationLeavesTheFileUntouched) {
    put("shared", "keep me");
    cl::file_hnd reader, writer;
    ASSERT_TRUE(reader.open(path("shared"), cl::o_rdonly, cl::sh_denywr));
    // Create-always would truncate; the conflict must be found first.
    EXPECT_FALSE(writer.open(path("shared"), cl::o_wronly | cl::o_creat | cl::o_trunc));
    EXPECT_TRUE(writer.sharing_violation());
    EXPECT_EQ(get("shared"), "keep me");
    cl::file_hnd second_reader;
    EXPECT_TRUE(second_reader.open(path("shared"), cl::o_rdonly, cl::sh_denywr));
    reader.close();
    second_reader.close();
    EXPECT_TRUE(writer.open(path("shared"), cl::o_wronly | cl::o_creat | cl::o_trunc));
    EXPECT_EQ(writer.size(), 0);
}

TEST_F(FileHnd, DescriptorsAreCloseOnExecAndTemporaryFilesVanish) {
    cl::file_hnd f;
    ASSERT_TRUE(f.open(path("tmp"), cl::o_rdwr | cl::o_creat | cl::o_temporary));
    EXPECT_TRUE(::fcntl(f.handle(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fs::exists(dir_ / "tmp"));
    f.close();
    EXPECT_FALSE(fs::exists(dir_ / "tmp"));
}

TEST_F(FileHnd, ReadAnsiCharTakesOneUtf8CharacterAndRewinds) {
    put("chars", "\xC3\xA9z\xF0\x9F\x98\x80");
    cl::file_hnd f;
    ASSERT_TRUE(f.open(path("chars"), cl::o_rdonly));
    wchar_t c = 0;
    ASSERT_TRUE(f.read_ansi_char(c));
    EXPECT_EQ(c, L'\u00e9');
    ASSERT_TRUE(f.read_ansi_char(c));
    EXPECT_EQ(c, L'z');
    ASSERT_TRUE(f.read_ansi_char(c));
    EXPECT_EQ(static_cast<uint32_t>(c), 0x1F600u);
    EXPECT_FALSE(f.read_ansi_char(c));
}
