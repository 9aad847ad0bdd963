#include "platform/win32/errors.h"
#include "platform/win32/replace_file.h"
#include "platform/win32/sync.h"
#include "platform/win32/time.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace win32;

TEST(Win32Errors, ErrnoMapsOntoWindowsCodes) {
    EXPECT_EQ(from_errno(ENOENT), 2u);
    EXPECT_EQ(from_errno(ENOTDIR), 3u);
    EXPECT_EQ(from_errno(EACCES), 5u);
    EXPECT_EQ(from_errno(EEXIST), 183u);
    EXPECT_EQ(from_errno(ENOTEMPTY), 145u);
    errno = ENOENT;
    EXPECT_EQ(set_last_error_from_errno(), 2u);
    EXPECT_EQ(get_last_error(), 2u);
}

TEST(Win32Time, FiletimeSystemtimeRoundTrips) {
    systemtime st{};
    ASSERT_TRUE(filetime_to_systemtime(filetime_unix_epoch, st));
    EXPECT_EQ(st.year, 1970);
    EXPECT_EQ(st.month, 1);
    EXPECT_EQ(st.day, 1);
    EXPECT_EQ(st.day_of_week, 4); // Thursday

    ASSERT_TRUE(filetime_to_systemtime(0, st));
    EXPECT_EQ(st.year, 1601);
    EXPECT_EQ(st.day_of_week, 1); // Monday

    systemtime leap{2024, 2, 0, 29, 23, 59, 58, 999};
    filetime ft = 0;
    ASSERT_TRUE(systemtime_to_filetime(leap, ft));
    systemtime back{};
    ASSERT_TRUE(filetime_to_systemtime(ft, back));
    EXPECT_EQ(back.year, 2024);
    EXPECT_EQ(back.month, 2);
    EXPECT_EQ(back.day, 29);
    EXPECT_EQ(back.second, 58);
    EXPECT_EQ(back.milliseconds, 999);
    EXPECT_EQ(back.day_of_week, 4);

    systemtime bad{2023, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_FALSE(systemtime_to_filetime(bad, ft));
    EXPECT_FALSE(filetime_to_systemtime(0x8000000000000000ull, st));
}

// The clock's calendar is kept from one call to the next: read across
// seconds, it must still be the calendar of the time read.
TEST(Win32Time, SystemTimeIsTheCalendarOfTheClock) {
    for (int i = 0; i < 60; ++i) {
        const filetime before = get_system_time_as_filetime() / 10000000 * 10000000;
        const systemtime st = get_system_time();
        const filetime after = get_system_time_as_filetime();
        filetime ft = 0;
        ASSERT_TRUE(systemtime_to_filetime(st, ft));
        EXPECT_GE(ft, before);
        EXPECT_LE(ft, after);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}

TEST(Win32Time, UnixAndTimespecConversionsKeepSubSeconds) {
    struct timespec ts {
        1700000000, 123456700
    };
    filetime ft = filetime_from_timespec(ts);
    struct timespec back = timespec_from_filetime(ft);
    EXPECT_EQ(back.tv_sec, ts.tv_sec);
    EXPECT_EQ(back.tv_nsec, ts.tv_nsec);
    EXPECT_EQ(unix_from_filetime(filetime_from_unix(951868800)), 951868800);
}

TEST(Win32Sync, AutoResetEventReleasesOneWait) {
    event_object ev(false, true);
    EXPECT_EQ(ev.wait(0), wait_object_0);
    EXPECT_EQ(ev.wait(0), wait_timeout);
    event_object manual(true, true);
    EXPECT_EQ(manual.wait(0), wait_object_0);
    EXPECT_EQ(manual.wait(0), wait_object_0);
}

TEST(Win32Sync, WaitForMultipleAnyAndAll) {
    event_object a(true, false), b(false, false);
    event_object* list[] = {&a, &b};
    EXPECT_EQ(wait_for_multiple(list, false, 10), wait_timeout);
    std::thread t([&] {
        sleep_ms(20);
        b.set();
    });
    EXPECT_EQ(wait_for_multiple(list, false, 5000), wait_object_0 + 1);
    t.join();
    EXPECT_FALSE(b.is_set()); // consumed by the wait
    a.set();
    EXPECT_EQ(wait_for_multiple(list, true, 10), wait_timeout);
    b.set();
    EXPECT_EQ(wait_for_multiple(list, true, 10), wait_object_0);
    EXPECT_TRUE(a.is_set());
    EXPECT_FALSE(b.is_set());
}

TEST(Win32Sync, DestroyingASetEventWhileItsWaiterLeavesIsSafe) {
    for (int round = 0; round < 200; ++round) {
        auto* ev = new event_object(true, false);
        std::thread waiter([ev] { EXPECT_EQ(ev->wait(infinite), wait_object_0); });
        for (int i = 0; i < 5000 && ev->waiter_count() == 0; ++i)
            sleep_ms(1);
        ASSERT_EQ(ev->waiter_count(), 1u);
        ev->set();
        delete ev; // the waiter may still be leaving its wait
        waiter.join();
    }
}

namespace {
std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
std::size_t entries_in(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}
} // namespace

TEST(Win32ReplaceFile, NewContentWholeModeKeptAndNothingLeftOnFailure) {
    char tmpl[] = "/tmp/tq_replace_XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string file = dir + "/f.txt";
    ASSERT_TRUE(win32::replace_file_contents(file, "first", 0600));
    const mode_t old_mask = ::umask(077);
    ASSERT_TRUE(win32::replace_file_contents(file, std::string(100000, 'x') + "end", 0644));
    ::umask(old_mask);
    EXPECT_EQ(read_all(file), std::string(100000, 'x') + "end");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(entries_in(dir), 1u);
    // A target the rename cannot replace: false, the target as it was, no
    // temporary left behind.
    const std::string sub = dir + "/sub";
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    EXPECT_FALSE(win32::replace_file_contents(sub, "data"));
    EXPECT_TRUE(std::filesystem::is_directory(sub));
    EXPECT_EQ(entries_in(dir), 2u);
    EXPECT_FALSE(win32::replace_file_contents(dir + "/missing/f.txt", "data"));
    // Through a folder's descriptor the file lands in that folder, wherever
    // its name has moved since, and never through a link of the last name.
    const std::string held = dir + "/held";
    ASSERT_EQ(::mkdir(held.c_str(), 0755), 0);
    const int fd = ::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::rename(held.c_str(), (dir + "/moved").c_str()), 0);
    ASSERT_EQ(::mkdir(held.c_str(), 0755), 0);
    EXPECT_TRUE(win32::replace_file_contents_at(fd, "f.txt", "held"));
    EXPECT_FALSE(win32::replace_file_contents_at(fd, "../f.txt", "out"));
    ::close(fd);
    EXPECT_EQ(read_all(dir + "/moved/f.txt"), "held");
    EXPECT_EQ(entries_in(held), 0u);
    EXPECT_EQ(read_all(file), std::string(100000, 'x') + "end");
    std::filesystem::remove_all(dir);
}
