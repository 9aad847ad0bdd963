#include "core/ini_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t bound_ms = 10000;

class Ini : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tq_ini_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }
    std::wstring path(const char* name = "t.ini") const { return (dir_ / name).wstring(); }
    void put(const std::string& content, const char* name = "t.ini") const {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    std::string get(const char* name = "t.ini") const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Files in the folder: no temporary file may stay behind.
    std::size_t file_count() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_))
            ++n;
        return n;
    }
    ino_t inode(const char* name = "t.ini") const {
        struct stat st {};
        ::stat((dir_ / name).c_str(), &st);
        return st.st_ino;
    }
    fs::path dir_;
};

// A timer whose clock moves only when the test says so.
struct fake_clock_timer {
    std::shared_ptr<std::atomic<uint32_t>> tick = std::make_shared<std::atomic<uint32_t>>(1000);
    std::unique_ptr<cl::passive_timer> timer;
    fake_clock_timer() {
        auto t = tick;
        timer = std::make_unique<cl::passive_timer>("test", [t] { return t->load(); });
    }
    void advance(uint32_t ms) {
        tick->fetch_add(ms);
        ASSERT_TRUE(timer->sync(bound_ms));
    }
};

// Runs the check as an unprivileged user, so that permissions bind: directly
// when the test runs as one, else in a child that gives root up for "nobody"
// (65534), which is handed the folder first. The check says what went wrong,
// or nothing.
std::string as_unprivileged(const fs::path& folder, const std::function<std::string()>& check) {
    if (::geteuid() != 0) return check();
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (::chown(e.path().c_str(), 65534, 65534) != 0)
            return "cannot hand over " + e.path().string();
    if (::chown(folder.c_str(), 65534, 65534) != 0) return "cannot hand over the folder";
    int out[2];
    if (::pipe(out) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return "no fork";
    if (pid == 0) {
        ::close(out[0]);
        const gid_t nogroup = 65534;
        std::string said = ::setgroups(1, &nogroup) == 0 && ::setgid(65534) == 0 &&
                                   ::setuid(65534) == 0 && ::geteuid() == 65534
                               ? check()
                               : std::string("cannot become nobody");
        const ssize_t n = ::write(out[1], said.data(), said.size());
        ::_exit(n == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    ::close(out[1]);
    std::string said;
    char buf[256];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        said.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the unprivileged check did not end cleanly: " + said;
    return said;
}

const std::string sample = "; top comment\r\n"
                           "[Main]\r\n"
                           "  key one  =  a\tb  \r\n"
                           "; keep me\r\n"
                           "other line\r\n"
                           "gone=1\r\n"
                           "[second]\r\n"
                           "x=1\r\n";

} // namespace

TEST_F(Ini, ReadsNormalisedPairsInBothStores) {
    put(sample);
    cl::ini_file plain;
    plain.set_path(path(), false);
    cl::cached_ini cached;
    cached.set_path(path(), false);
    for (cl::ini_file* f :
         {static_cast<cl::ini_file*>(&plain), static_cast<cl::ini_file*>(&cached)}) {
        std::wstring v;
        ASSERT_TRUE(f->get_value(L"main", L"KEY ONE", v));
        EXPECT_EQ(v, L"a b");
        EXPECT_TRUE(f->get_value(L" MAIN ", L"gone", v));
        EXPECT_FALSE(f->get_value(L"main", L"x", v));
        EXPECT_FALSE(f->get_value(L"none", L"x", v));
        std::vector<std::wstring> lines;
        ASSERT_TRUE(f->get_section(L"Main", lines, 0));
        EXPECT_EQ(lines, (std::vector<std::wstring>{L"key one=a b", L"gone=1"}));
        ASSERT_TRUE(f->get_section(L"Main", lines,
                                   cl::ini_file::gs_comments | cl::ini_file::gs_other_lines));
        EXPECT_EQ(lines, (std::vector<std::wstring>{L"key one=a b", L"; keep me", L"other line",
                                                    L"gone=1"}));
        std::vector<std::wstring> names;
        ASSERT_TRUE(f->get_section_names(names));
        EXPECT_EQ(names, (std::vector<std::wstring>{L"Main", L"second"}));
        EXPECT_EQ(f->section_count(), 2u);
        EXPECT_TRUE(f->has_section(L"SECOND"));
        EXPECT_FALSE(f->has_section(L"third"));
    }
}

TEST_F(Ini, RepeatedSection) {
    put("[a]\nx=1\n[b]\n[A]\ny=2\n");
    cl::ini_file plain;
    plain.set_path(path(), false);
    std::wstring v;
    EXPECT_TRUE(plain.get_value(L"a", L"y", v)); // every occurrence is searched
    std::vector<std::wstring> lines;
    plain.get_section(L"a", lines);
    EXPECT_EQ(lines, std::vector<std::wstring>{L"x=1"});
    cl::cached_ini cached;
    cached.set_path(path(), false);
    EXPECT_TRUE(cached.get_value(L"a", L"x", v));
    EXPECT_FALSE(cached.get_value(L"a", L"y", v)); // the cache keeps the first only
}

TEST_F(Ini, TypedReads) {
    put("[s]\nempty=\nabc=abc\nnum= 42 \nneg=-7x\ntwo=2\nzero=0\ntext=\xC3\xA4 b\n");
    cl::cached_ini cached;
    cached.set_path(path(), false);
    cl::ini_file plain;
    plain.set_path(path(), false);
    for (cl::ini_file* f :
         {static_cast<cl::ini_file*>(&plain), static_cast<cl::ini_file*>(&cached)}) {
        const std::pair<const wchar_t*, int32_t> ints[] = {
            {L"empty", 0}, {L"abc", 0}, {L"num", 42}, {L"neg", -7}, {L"missing", 99}};
        for (const auto& [key, expect] : ints)
            EXPECT_EQ(f->get_int(L"s", key, 99), expect) << key;
        EXPECT_EQ(f->get_int(L"nosection", L"num", 5), 5);
        EXPECT_TRUE(f->get_bool(L"s", L"two", false));
        EXPECT_FALSE(f->get_bool(L"s", L"zero", true));
        EXPECT_TRUE(f->get_bool(L"s", L"missing", true));
        EXPECT_EQ(f->get_string_or(L"s", L"text", L"d"), L"\u00E4 b");
        EXPECT_EQ(f->get_string_or(L"s", L"missing", L"d"), L"d");
        EXPECT_EQ(f->get_string_or_wstring(L"S", L"TEXT", L"d"), L"\u00E4 b");
        EXPECT_EQ(f->get_narrow_string_or(L"s", L"text", "d"), "\xC3\xA4 b");
        EXPECT_EQ(f->get_narrow_string_or(L"s", L"nope", "d"), "d");
        std::wstring out = L"kept";
        EXPECT_FALSE(f->try_get_string(L"s", L"nope", out));
        EXPECT_EQ(out, L"kept");
        EXPECT_FALSE(f->try_get_string(L"s", L"num", out, true));
        EXPECT_TRUE(f->try_get_string(L"s", L"num", out));
        EXPECT_EQ(out, L"42");
    }
}

TEST_F(Ini, IndexedValuesAndPairs) {
    put("[s]\nitem[2]=c\nITEM[0]=a\nitem[-1]=neg\nitem[x]=bad\nitem[99999999]=huge\nother=1\n");
    cl::ini_file f;
    f.set_path(path(), false);
    std::vector<std::wstring> v;
    ASSERT_TRUE(f.get_indexed_values(L"s", L"item", v));
    EXPECT_EQ(v, (std::vector<std::wstring>{L"a", L"", L"c"}));
    std::vector<std::wstring> keys, values;
    ASSERT_TRUE(f.get_section_pairs(L"s", keys, values));
    EXPECT_EQ(keys.size(), 6u);
    EXPECT_EQ(values.back(), L"1");
}

TEST_F(Ini, PlainStoreRewritesThroughATemporaryFile) {
    put(sample);
    cl::ini_file f;
    f.set_path(path(), false);
    // A reader holding the old file still sees its old text: the file was
    // replaced, never rewritten in place.
    std::ifstream old_reader(dir_ / "t.ini", std::ios::binary);
    ASSERT_TRUE(f.write_value(L"MAIN", L"Gone", L"2"));
    ASSERT_TRUE(f.write_value(L"new", L"k", L"v"));
    ASSERT_TRUE(f.delete_value(L"second", L"x"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old_reader), {}), sample);
    EXPECT_EQ(get(), "; top comment\r\n[Main]\r\nkey one  =  a\tb  \r\n; keep me\r\nother line\r\n"
                     "Gone=2\r\n[second]\r\n[new]\r\nk=v\r\n");
    ASSERT_TRUE(f.write_section(L"main", {L"a=1", L"; c"}));
    ASSERT_TRUE(f.delete_section(L"second"));
    EXPECT_EQ(get(), "; top comment\r\n[Main]\r\na=1\r\n; c\r\n[new]\r\nk=v\r\n");
    EXPECT_EQ(file_count(), 1u);
}

TEST_F(Ini, NewFileEncodingFollowsThePreference) {
    cl::ini_file f;
    f.set_path(path("u.ini"), true);
    ASSERT_TRUE(f.write_value(L"s", L"k", L"\u00E4"));
    EXPECT_EQ(get("u.ini"), "\xEF\xBB\xBF[s]\r\nk=\xC3\xA4\r\n");
    f.set_path(path("a.ini"), false);
    ASSERT_TRUE(f.write_value(L"s", L"k", L"v"));
    EXPECT_EQ(get("a.ini"), "[s]\r\nk=v\r\n");

    // A cached store that prefers UTF-8 starts the new file with an empty line.
    {
        cl::cached_ini c;
        c.set_path(path("c.ini"), true);
        c.set_value(L"s", L"k", L"v", false);
        ASSERT_TRUE(c.flush());
    }
    EXPECT_EQ(get("c.ini"), "\xEF\xBB\xBF\r\n[s]\r\nk=v\r\n");
}

TEST_F(Ini, Utf16FileKeepsItsEncoding) {
    std::string content = "\xFF\xFE";
    for (char ch : std::string("[s]\r\nk=1\r\n"))
        content += std::string{ch, '\0'};
    put(content);
    cl::cached_ini c;
    c.set_path(path(), false);
    c.set_value(L"s", L"k", L"\U0001F600", false);
    ASSERT_TRUE(c.flush());
    const std::string out = get();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.substr(0, 2), "\xFF\xFE");
    EXPECT_NE(out.find(std::string("\x3D\xD8\x00\xDE", 4)), std::string::npos);
    cl::ini_file plain;
    plain.set_path(path(), false);
    EXPECT_EQ(plain.get_string_or(L"s", L"k", L""), L"\U0001F600");
}

TEST_F(Ini, MergeKeepsCommentsAndOrderAndDropsDeletedKeys) {
    put(sample);
    cl::cached_ini c;
    c.set_path(path(), false);
    c.set_value(L"MAIN", L"KEY ONE", L"changed", false); // case-insensitive key and section
    c.delete_value(L"main", L"gone");
    c.set_value(L"main", L"added", L"new", false);
    c.set_value(L"third", L"t", L"3", false);
    c.delete_value(L"main", L"never there"); // nothing to do
    c.set_value(L"main", L"tmp", L"x", false);
    c.delete_value(L"main", L"tmp"); // never written: leaves no trace
    ASSERT_TRUE(c.flush());
    EXPECT_FALSE(c.dirty());
    EXPECT_EQ(get(), "; top comment\r\n"
                     "[Main]\r\n"
                     "KEY ONE=changed\r\n"
                     "; keep me\r\n"
                     "other line\r\n"
                     "added=new\r\n"
                     "[second]\r\n"
                     "x=1\r\n"
                     "[third]\r\n"
                     "t=3\r\n");
    EXPECT_EQ(file_count(), 1u);
    std::wstring v;
    EXPECT_FALSE(c.get_value(L"main", L"gone", v));
    // Nothing pending: a second flush writes nothing.
    std::ifstream pin(dir_ / "t.ini"); // keeps the inode from being reused
    const auto ino = inode();
    ASSERT_TRUE(c.flush());
    EXPECT_EQ(inode(), ino);
}

TEST_F(Ini, DeletedSectionSetAgainHoldsOnlyTheNewKey) {
    put("[a]\nx=1\n; c\ny=2\n[b]\nz=3\n");
    cl::cached_ini c;
    c.set_path(path(), false);
    c.delete_section(L"A");
    c.set_value(L"a", L"n", L"1", false);
    c.delete_section(L"b");
    ASSERT_TRUE(c.flush());
    EXPECT_EQ(get(), "[a]\r\nn=1\r\n");
    c.write_section(L"a", {L" p = q ", L"; note"});
    ASSERT_TRUE(c.flush());
    EXPECT_EQ(get(), "[a]\r\np=q\r\n; note\r\n");
}

TEST_F(Ini, ValuesCannotForgeLines) {
    cl::cached_ini c;
    c.set_path(path(), false);
    c.set_value(L"s", L"k", L"v\r\n[evil]\r\nx=1", false);
    ASSERT_TRUE(c.flush());
    EXPECT_EQ(get(), "[s]\r\nk=v  [evil]  x=1\r\n");
    cl::ini_file plain;
    plain.set_path(path(), false);
    EXPECT_FALSE(plain.has_section(L"evil"));
}

TEST_F(Ini, TwoChangesGiveOneDelayedWrite) {
    put("[s]\na=0\n");
    fake_clock_timer t;
    cl::cached_ini c;
    c.set_write_back_timer(t.timer.get());
    c.set_path(path(), false);
    std::ifstream pin(dir_ / "t.ini"); // keeps the old inode from being reused
    const auto before = inode();
    c.set_value(L"s", L"a", L"1", true);
    t.advance(500);
    c.set_value(L"s", L"b", L"2", true); // does not push the write further away
    t.advance(1499);
    EXPECT_EQ(inode(), before);
    EXPECT_TRUE(c.dirty());
    t.advance(1);
    EXPECT_FALSE(c.dirty());
    EXPECT_EQ(get(), "[s]\r\na=1\r\nb=2\r\n");
    const auto after = inode();
    EXPECT_NE(after, before);
    std::ifstream pin_new(dir_ / "t.ini");
    t.advance(5000);
    EXPECT_EQ(inode(), after); // one write only
}

TEST_F(Ini, FailedWriteStaysPendingAndReportsFailure) {
    fs::create_directories(dir_ / "sub");
    const std::wstring p = (dir_ / "sub" / "t.ini").wstring();
    cl::cached_ini c;
    c.set_path(p, false);
    c.set_value(L"s", L"k", L"v", false);
    fs::remove_all(dir_ / "sub"); // the folder vanished
    EXPECT_FALSE(c.flush());
    EXPECT_TRUE(c.dirty());
    std::wstring v;
    EXPECT_TRUE(c.get_value(L"s", L"k", v));
    fs::create_directories(dir_ / "sub");
    EXPECT_TRUE(c.flush());
    EXPECT_FALSE(c.dirty());
    std::ifstream in(dir_ / "sub" / "t.ini", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[s]\r\nk=v\r\n");

    cl::ini_file plain;
    plain.set_path((dir_ / "gone" / "x.ini").wstring(), false);
    EXPECT_FALSE(plain.write_value(L"s", L"k", L"v"));
}

TEST_F(Ini, FailedWriteLeavesTheOldFileAlone) {
    put(sample);
    cl::cached_ini c;
    c.set_path(path(), false);
    c.set_value(L"main", L"big", std::wstring(20000, L'x'), false);
    // Files may not grow past 4 KiB for a moment: the new text cannot be written.
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool flushed = c.flush();
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(flushed);
    EXPECT_TRUE(c.dirty());
    EXPECT_EQ(get(), sample);
    EXPECT_EQ(file_count(), 1u); // the temporary file is gone too
    EXPECT_TRUE(c.flush());
    EXPECT_NE(get().find("big=xxx"), std::string::npos);
}

TEST_F(Ini, ReadOnlyFolderKeepsChangesPending) {
    put("[s]\nk=1\n");
    EXPECT_EQ(
        as_unprivileged(dir_,
                        [&]() -> std::string {
                            cl::cached_ini c;
                            c.set_path(path(), false);
                            c.set_value(L"s", L"k", L"2", false);
                            fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
                            if (c.flush()) return "flushed into a read-only folder";
                            if (!c.dirty()) return "the change was dropped";
                            if (get() != "[s]\nk=1\n") return "the old file changed";
                            fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
                            if (!c.flush()) return "no write once the folder is writable";
                            if (get() != "[s]\r\nk=2\r\n") return "wrote: " + get();
                            return "";
                        }),
        "");
}

TEST_F(Ini, FailedFlushAtCommitLeavesTheOldFileAlone) {
    put(sample);
    cl::cached_ini c;
    c.set_path(path(), false);
    // Small enough to stay in the write buffer until the commit flushes it.
    c.set_value(L"main", L"big", std::wstring(1500, L'x'), false);
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool flushed = c.flush();
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(flushed);
    EXPECT_TRUE(c.dirty());
    EXPECT_EQ(get(), sample); // not a truncated new text
    EXPECT_EQ(file_count(), 1u);
    EXPECT_TRUE(c.flush());
    EXPECT_NE(get().find("big=" + std::string(1500, 'x')), std::string::npos);
}

TEST_F(Ini, FailedSyncAtCommitLeavesTheOldFileAlone) {
    put(sample);
    cl::cached_ini c;
    c.set_path(path(), false);
    c.set_value(L"main", L"k", L"new", false);
    // Everything is written; only the call that makes it durable fails.
    cl::set_ini_sync_function([](int) {
        errno = EIO;
        return -1;
    });
    const bool flushed = c.flush();
    cl::set_ini_sync_function(nullptr);
    EXPECT_FALSE(flushed);
    EXPECT_TRUE(c.dirty());
    EXPECT_EQ(get(), sample);
    EXPECT_EQ(file_count(), 1u);
    EXPECT_TRUE(c.flush());
    EXPECT_NE(get().find("k=new"), std::string::npos);
}

// The folders of the test below, for the sync seam (a plain function).
fs::path swap_folder, swap_real, swap_elsewhere;

TEST_F(Ini, NewTextIsRenamedInTheFolderItWasMadeIn) {
    swap_folder = dir_ / "d";
    swap_real = dir_ / "d_real";
    swap_elsewhere = dir_ / "e";
    fs::create_directories(swap_folder);
    fs::create_directories(swap_elsewhere);
    put("[main]\nk=old\n", "d/t.ini");
    put("elsewhere", "e/t.ini");
    // Once the new text is written, the folder moves away and a link to
    // another folder, holding a file of the temporary's name, takes its place.
    cl::set_ini_sync_function([](int fd) {
        const fs::path temp = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
        fs::rename(swap_folder, swap_real);
        fs::create_directory_symlink(swap_elsewhere, swap_folder);
        std::ofstream(swap_elsewhere / temp.filename(), std::ios::binary) << "planted";
        return ::fsync(fd);
    });
    cl::ini_file ini;
    ini.set_path((swap_folder / "t.ini").wstring(), true);
    const bool written = ini.write_value(L"main", L"k", L"new", false);
    cl::set_ini_sync_function(nullptr);
    EXPECT_TRUE(written);
    EXPECT_NE(get("d_real/t.ini").find("k=new"), std::string::npos) << get("d_real/t.ini");
    EXPECT_EQ(get("e/t.ini"), "elsewhere");
}

TEST_F(Ini, HandEditIsSeenByTheNextFreshRead) {
    put("[s]\nk=1\n");
    cl::cached_ini c;
    c.set_path(path(), false);
    EXPECT_EQ(c.get_int(L"s", L"k", 0), 1);
    put("[s]\nk=22\n");
    EXPECT_EQ(c.get_int(L"s", L"k", 0), 22);
    std::wstring v;
    fs::remove(dir_ / "t.ini");
    EXPECT_FALSE(c.get_value_fresh(L"s", L"k", v));
}

TEST_F(Ini, PendingChangesAreMergedIntoAHandEditedFile) {
    put("[s]\nk=1\n");
    cl::cached_ini c;
    c.set_path(path(), false);
    c.set_value(L"s", L"mine", L"m", false);
    put("[s]\nk=1\nhand=h\n");
    EXPECT_EQ(c.get_string_or(L"s", L"hand", L""), L"h");
    EXPECT_EQ(c.get_string_or(L"s", L"mine", L""), L"m");
    EXPECT_EQ(get(), "[s]\r\nk=1\r\nhand=h\r\nmine=m\r\n");
}

TEST_F(Ini, CloseWritesAndDestructionIsQuiet) {
    {
        cl::cached_ini c;
        c.set_path(path(), false);
        c.set_value(L"s", L"k", L"v", false);
    }
    EXPECT_EQ(get(), "[s]\r\nk=v\r\n");
    cl::cached_ini c;
    c.set_write_delay(0); // written at once
    c.set_path(path(), false);
    c.delete_value(L"s", L"k");
    EXPECT_EQ(get(), "[s]\r\n");
}

TEST_F(Ini, ChangesDuringWriteBacksAreNeverLost) {
    put("; header comment\n[s]\n");
    cl::cached_ini c;
    c.set_path(path(), false);
    constexpr int threads = 4, per_thread = 40;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&c, t] {
            for (int i = 0; i < per_thread; ++i) {
                c.set_value(L"s", L"k" + std::to_wstring(t) + L"_" + std::to_wstring(i),
                            std::to_wstring(i), false);
                if (i % 8 == 0) c.flush();
            }
        });
    for (auto& w : workers)
        w.join();
    ASSERT_TRUE(c.flush());
    EXPECT_FALSE(c.dirty());
    cl::ini_file plain;
    plain.set_path(path(), false);
    std::vector<std::wstring> keys, values;
    ASSERT_TRUE(plain.get_section_pairs(L"s", keys, values));
    EXPECT_EQ(keys.size(), std::size_t(threads * per_thread));
    EXPECT_EQ(get().rfind("; header comment\r\n", 0), 0u);
}

TEST_F(Ini, DelayedWriteRunsOnTheSlowTimer) {
    const bool started = !cl::global_timers_running();
    if (started) cl::start_global_timers();
    {
        cl::cached_ini c;
        c.set_write_delay(10);
        c.set_path(path(), false);
        c.set_value(L"s", L"k", L"v", true);
        for (int i = 0; i < 2000 && c.dirty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(c.dirty());
        EXPECT_EQ(get(), "[s]\r\nk=v\r\n");
    }
    if (started) cl::stop_global_timers();
}
