// The rotation of the access log: the dated name, no line lost while the
// files change hands, and a failed rename that keeps the old file in use.
#include "core/text.h"
#include "server/access_log_rotation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path fresh_dir() {
    const char* base = std::getenv("TQ_TEST_TMP");
    fs::path root = base ? base : fs::temp_directory_path();
    fs::create_directories(root);
    std::string tmpl = (root / "rotXXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return {};
    return fs::path(tmpl);
}

std::vector<std::string> lines_of(const fs::path& p) {
    std::ifstream in(p);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

win32::systemtime date(int y, int m, int d) {
    win32::systemtime t;
    t.year = uint16_t(y);
    t.month = uint16_t(m);
    t.day = uint16_t(d);
    return t;
}

TEST(access_log_rotation, dated_name) {
    EXPECT_EQ(rotated_log_name(L"/l/", date(2025, 1, 31)), L"/l/access.log.20250131.txt");
    EXPECT_EQ(rotated_log_name(L"/l/", date(2026, 12, 9)), L"/l/access.log.20261209.txt");
}

TEST(access_log_rotation, no_line_is_lost_while_writers_go_on) {
    const fs::path dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    access_log log;
    const std::wstring wdir = cl::utf8_to_utf16(dir.string()) + L"/";
    ASSERT_TRUE(log.open(wdir));
    std::atomic<bool> go{true};
    std::vector<std::thread> writers;
    std::atomic<int> written{0};
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; go.load() || i < 200; ++i) {
                log.queue_line("w" + std::to_string(t) + " " + std::to_string(i) + "\n");
                ++written;
                if (i % 16 == 0) log.flush_queue();
                if (i > 200000) break;
            }
        });
    std::atomic<bool> flushing{true};
    std::thread flusher([&] {
        while (flushing.load())
            log.flush_queue();
    });
    bool rotated = false;
    // Many rotations, each a distinct dated name, while the writers go on.
    for (int k = 0; k < 300; ++k)
        rotated = log.rotate_to(rotated_log_name(
                      wdir, date(2000 + k / 372, 1 + (k / 31) % 12, 1 + k % 31))) ||
                  rotated;
    ASSERT_TRUE(log.rotate_to(rotated_log_name(wdir, date(2025, 1, 31))));
    go = false;
    for (auto& w : writers)
        w.join();
    flushing = false;
    flusher.join();
    log.close();
    ASSERT_TRUE(rotated);

    std::set<std::string> seen;
    std::size_t total = 0;
    for (const auto& e : fs::directory_iterator(dir))
        for (const std::string& l : lines_of(e.path())) {
            seen.insert(l);
            ++total;
        }
    EXPECT_EQ(total, static_cast<std::size_t>(written.load()));
    EXPECT_EQ(seen.size(), total);
    EXPECT_TRUE(fs::exists(dir / "access.log.20250131.txt"));
    EXPECT_TRUE(fs::exists(dir / "access.log"));
    fs::remove_all(dir);
}

TEST(access_log_rotation, a_failed_rename_keeps_the_old_file) {
    const fs::path dir = fresh_dir();
    ASSERT_FALSE(dir.empty());
    std::ofstream(dir / "access.log.20250131.txt") << "kept\n";
    access_log log;
    const std::wstring wdir = cl::utf8_to_utf16(dir.string()) + L"/";
    ASSERT_TRUE(log.open(wdir));
    log.queue_line("before\n");
    // The dated name is taken: nothing is replaced and logging goes on.
    EXPECT_FALSE(log.rotate_to(rotated_log_name(wdir, date(2025, 1, 31))));
    log.queue_line("after\n");
    log.close();
    EXPECT_EQ(lines_of(dir / "access.log"), (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(lines_of(dir / "access.log.20250131.txt"), (std::vector<std::string>{"kept"}));
    fs::remove_all(dir);
}

} // namespace
