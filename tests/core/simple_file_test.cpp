#include "core/simple_file.h"

#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SimpleFile : public tq_test::temp_dir_test {
  protected:
    std::string etag_of(const char* name) const {
        cl::simple_file f;
        EXPECT_TRUE(f.open(path(name), cl::o_rdonly, cl::sh_denyno));
        return f.etag();
    }
    // Sets the last-write time of a file to the given second and nanosecond.
    void set_mtime(const char* name, time_t sec, long nsec) const {
        struct timespec t[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / name).c_str(), t, 0), 0);
    }
};

} // namespace

TEST_F(SimpleFile, EntityTagIsAQuotedDigestStableForAnUnchangedFile) {
    put("a.txt", "hello");
    const std::string t1 = etag_of("a.txt"), t2 = etag_of("a.txt");
    ASSERT_EQ(t1.size(), 34u);
    EXPECT_EQ(t1.front(), '"');
    EXPECT_EQ(t1.back(), '"');
    EXPECT_EQ(t1.find_first_not_of("0123456789abcdef", 1), 33u);
    EXPECT_EQ(t1, t2);
}

TEST_F(SimpleFile, EntityTagChangesOnEveryRewriteWithinTheSameSecond) {
    put("a.txt", "hello");
    set_mtime("a.txt", 1700000000, 100);
    const std::string first = etag_of("a.txt");

    // Same second, new content in place (same inode): size and nanoseconds differ.
    put("a.txt", "hello, world");
    set_mtime("a.txt", 1700000000, 100);
    const std::string bigger = etag_of("a.txt");
    EXPECT_NE(first, bigger);

    put("a.txt", "hello");
    set_mtime("a.txt", 1700000000, 900);
    const std::string later_ns = etag_of("a.txt");
    EXPECT_NE(first, later_ns);

    // Replaced through a new file (new inode), same size and time.
    put("b.txt", "hello");
    set_mtime("b.txt", 1700000000, 100);
    fs::rename(dir_ / "b.txt", dir_ / "a.txt");
    EXPECT_NE(etag_of("a.txt"), first);
}

TEST_F(SimpleFile, EntityTagDoesNotDependOnThePath) {
    put("a.txt", "x");
    const std::string before = etag_of("a.txt");
    fs::create_hard_link(dir_ / "a.txt", dir_ / "b.txt");
    // The link count changed nothing the tag is made of.
    EXPECT_EQ(etag_of("b.txt"), etag_of("a.txt"));
    EXPECT_EQ(etag_of("a.txt"), before);
}

TEST_F(SimpleFile, DatesOfAFile) {
    put("d.txt", "x");
    set_mtime("d.txt", 784111777, 0); // Sun, 06 Nov 1994 08:49:37 GMT
    cl::simple_file f;
    ASSERT_TRUE(f.open(path("d.txt"), cl::o_rdonly));
    EXPECT_EQ(f.modified_time_text(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(f.access_time_text(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_FALSE(f.creation_time_text().empty());
    EXPECT_EQ(f.creation_time_iso().size(), 20u);
    EXPECT_EQ(f.last_write_filetime(), 784111777ull * 10000000ull + 116444736000000000ull);
    // The texts outlive the handle.
    f.close();
    EXPECT_EQ(f.modified_time_text(), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(HttpDate, FormatsAndRefusesZero) {
    EXPECT_EQ(cl::http_date(0), "");
    EXPECT_EQ(cl::iso_date(0), "");
    const win32::filetime t = win32::filetime_from_unix(951868800); // 2000-03-01
    EXPECT_EQ(cl::http_date(t), "Wed, 01 Mar 2000 00:00:00 GMT");
    EXPECT_EQ(cl::iso_date(t), "2000-03-01T00:00:00Z");
}

TEST_F(SimpleFile, NoInformationWithoutAFile) {
    cl::simple_file f;
    EXPECT_FALSE(f.open(path("missing"), cl::o_rdonly));
    EXPECT_EQ(f.etag(), "");
    EXPECT_EQ(f.modified_time_text(), "");
    EXPECT_EQ(f.last_write_filetime(), 0u);
    EXPECT_EQ(f.size(), -1);
}

TEST_F(SimpleFile, RangeDeliversExactlyItsBytes) {
    std::string content;
    for (int i = 0; i < 40; ++i)
        content.push_back(char('a' + i % 26));
    put("r.bin", content);
    cl::simple_file f;
    ASSERT_TRUE(f.open(path("r.bin"), cl::o_rdonly));
    EXPECT_FALSE(f.set_ranges({}));
    EXPECT_FALSE(f.set_ranges({{0, 1}, {4, 5}}));
    EXPECT_FALSE(f.set_ranges({{19, 10}})); // reversed: refused, not wrapped
    ASSERT_TRUE(f.set_ranges({{10, 19}}));
    char buf[64];
    EXPECT_EQ(f.read(buf, sizeof buf), 10);
    EXPECT_EQ(std::string(buf, 10), content.substr(10, 10));
    EXPECT_EQ(f.read(buf, sizeof buf), 0);
    EXPECT_EQ(f.size(), 40);
}

TEST_F(SimpleFile, WritesAreDiscardedAndInformationIsCached) {
    put("w.txt", "abc");
    cl::simple_file f;
    ASSERT_TRUE(f.open(path("w.txt"), cl::o_rdonly));
    EXPECT_EQ(f.write("zz", 2), 2);
    EXPECT_EQ(f.size(), 3);
    put("w.txt", "abcdef"); // same inode, grown behind the object's back
    EXPECT_EQ(f.size(), 3); // the first answer is kept
    EXPECT_EQ(f.info().number_of_links, 1u);
    EXPECT_NE(f.info().file_index, 0u);
    EXPECT_TRUE(f.info().attributes & cl::file_attribute_archive);
}

TEST_F(SimpleFile, InformationOfAFolderAndReadOnlyAndHiddenAttributes) {
    fs::create_directories(dir_ / "sub");
    cl::simple_file d;
    ASSERT_TRUE(d.open_info_only(path("sub")));
    ASSERT_TRUE(d.query_info());
    EXPECT_TRUE(d.info().attributes & cl::file_attribute_directory);
    EXPECT_EQ(d.etag().size(), 34u);
    char c;
    EXPECT_EQ(d.read(&c, 1), -1);

    put(".hidden", "x");
    ::chmod((dir_ / ".hidden").c_str(), 0444);
    cl::simple_file h;
    ASSERT_TRUE(h.open(path(".hidden"), cl::o_rdonly));
    ASSERT_TRUE(h.query_info());
    EXPECT_TRUE(h.info().attributes & cl::file_attribute_hidden);
    EXPECT_TRUE(h.info().attributes & cl::file_attribute_readonly);
}

TEST_F(SimpleFile, DescriptorsAreCloseOnExec) {
    put("c.txt", "x");
    fs::create_directories(dir_ / "sub");
    cl::simple_file f, d;
    ASSERT_TRUE(f.open(path("c.txt"), cl::o_rdonly));
    ASSERT_TRUE(d.open_info_only(path("sub")));
    EXPECT_TRUE(::fcntl(f.handle(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(d.handle(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(SimpleFile, SnapshotServesTheSameBytesInformationAndSharingRule) {
    const std::string content = "0123456789abcdefghij";
    put("s.txt", content);
    put("big.bin", std::string(100, 'x'));
    cl::simple_file big;
    ASSERT_TRUE(big.open(path("big.bin"), cl::o_rdonly));
    EXPECT_EQ(big.take_snapshot(99), nullptr); // over the limit: stays open as it was
    char buf[128];
    EXPECT_EQ(big.read(buf, sizeof buf), 100);

    cl::simple_file first;
    ASSERT_TRUE(first.open(path("s.txt"), cl::o_rdonly));
    const std::string tag = first.etag(), date = first.modified_time_text();
    const auto snap = first.take_snapshot(1024);
    ASSERT_NE(snap, nullptr);
    EXPECT_EQ(snap->bytes, content);
    EXPECT_EQ(first.read(buf, sizeof buf), 20); // the first reader goes on from memory
    EXPECT_EQ(std::string(buf, 20), content);

    cl::simple_file again;
    ASSERT_TRUE(again.open_snapshot(snap, cl::sh_denywr));
    EXPECT_EQ(again.size(), 20);
    EXPECT_EQ(again.etag(), tag);
    EXPECT_EQ(again.modified_time_text(), date);
    ASSERT_TRUE(again.set_ranges({{5, 9}}));
    EXPECT_EQ(again.read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "56789");
    EXPECT_EQ(again.read(buf, sizeof buf), 0);

    // A writer holding the file refuses a reader that denies writing, from
    // memory as from the disk.
    cl::file_hnd writer;
    ASSERT_TRUE(writer.open(path("s.txt"), cl::o_wronly, cl::sh_denyno));
    cl::simple_file refused;
    EXPECT_FALSE(refused.open(path("s.txt"), cl::o_rdonly, cl::sh_denywr));
    EXPECT_FALSE(refused.open_snapshot(snap, cl::sh_denywr));
    EXPECT_TRUE(refused.open_snapshot(snap, cl::sh_denyno));
    writer.close();
    EXPECT_TRUE(refused.open_snapshot(snap, cl::sh_denywr));
}

TEST_F(SimpleFile, KeptDescriptorServesByOffsetWithoutSharingPositions) {
    std::string content(20000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + i % 26);
    put("k.bin", content);
    cl::simple_file first;
    ASSERT_TRUE(first.open(path("k.bin"), cl::o_rdonly, cl::sh_denywr));
    const std::string tag = first.etag(), date = first.modified_time_text();
    std::shared_ptr<const cl::file_snapshot> kept = first.keep_open();
    ASSERT_NE(kept, nullptr);
    ASSERT_GE(kept->fd, 0);
    EXPECT_TRUE(kept->bytes.empty());
    EXPECT_TRUE(::fcntl(kept->fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(first.body_descriptor(), first.handle()); // the first reader keeps its own
    EXPECT_EQ(first.descriptor_holder(), nullptr);

    // Two readers of the kept descriptor, and the first reader, interleaved:
    // each sees its own position.
    cl::simple_file a, b;
    ASSERT_TRUE(a.open_snapshot(kept, cl::sh_denywr));
    ASSERT_TRUE(b.open_snapshot(kept, cl::sh_denywr));
    EXPECT_EQ(a.size(), 20000);
    EXPECT_EQ(a.etag(), tag);
    EXPECT_EQ(a.modified_time_text(), date);
    EXPECT_EQ(a.body_descriptor(), kept->fd);
    EXPECT_EQ(a.descriptor_holder().get(), static_cast<const void*>(kept.get()));
    char buf[7000];
    std::string got_a, got_b, got_first;
    for (;;) {
        const int64_t na = a.read(buf, 3000);
        if (na > 0) got_a.append(buf, static_cast<std::size_t>(na));
        const int64_t nb = b.read(buf, 7000);
        if (nb > 0) got_b.append(buf, static_cast<std::size_t>(nb));
        const int64_t nf = first.read(buf, 5000);
        if (nf > 0) got_first.append(buf, static_cast<std::size_t>(nf));
        if (na <= 0 && nb <= 0 && nf <= 0) break;
    }
    EXPECT_EQ(got_a, content);
    EXPECT_EQ(got_b, content);
    EXPECT_EQ(got_first, content);

    // Position, seeks and ranges on the kept descriptor.
    cl::simple_file c;
    ASSERT_TRUE(c.open_snapshot(kept, cl::sh_denywr));
    EXPECT_EQ(c.tell(), 0);
    EXPECT_EQ(c.seek(100, 0), 100);
    EXPECT_EQ(c.seek(-10, 1), 90);
    EXPECT_EQ(c.seek_to_end(), 20000);
    EXPECT_EQ(c.read(buf, 10), 0);
    ASSERT_TRUE(c.set_ranges({{19990, 19999}}));
    EXPECT_EQ(c.tell(), 19990);
    EXPECT_EQ(c.read(buf, sizeof buf), 10);
    EXPECT_EQ(std::string(buf, 10), content.substr(19990));
    EXPECT_EQ(c.read(buf, sizeof buf), 0);

    // The descriptor lives exactly as long as the snapshot's last holder.
    const int fd = kept->fd;
    std::weak_ptr<const cl::file_snapshot> watch = kept;
    kept.reset();
    EXPECT_FALSE(watch.expired()); // a, b and c still serve from it
    a.close();
    b.close();
    c.close();
    put("other.txt", "o");
    ASSERT_TRUE(a.open(path("other.txt"), cl::o_rdonly)); // drops a's reference
    ASSERT_TRUE(b.open(path("other.txt"), cl::o_rdonly));
    ASSERT_TRUE(c.open(path("other.txt"), cl::o_rdonly));
    EXPECT_TRUE(watch.expired());
    struct stat st;
    const bool still_kept_open =
        ::fstat(fd, &st) == 0 && st.st_ino == static_cast<ino_t>(first.info().file_index);
    EXPECT_FALSE(still_kept_open);

    // Nothing to keep open: a folder, a file that is not open.
    cl::simple_file none;
    EXPECT_EQ(none.keep_open(), nullptr);
    EXPECT_EQ(none.body_descriptor(), -1);
}
