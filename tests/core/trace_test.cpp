#include "core/crash_dump_list.h"
#include "core/trace_sinks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Trace : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tq_trace_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::wstring path(const char* name) const { return (dir_ / name).wstring(); }
    std::string get(const char* name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // A file sink with the program's prefix: "142301~045 ".
    static void program_prefix(cl::file_trace& t) {
        t.set_prefix_texts("%02?%02?%02?", "~%03?", " ", "");
    }
    fs::path dir_;
};

const char* const prefix_re = "[0-9]{6}~[0-9]{3} ";

bool matches(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

// Collects what a lined sink emits.
class capture_trace : public cl::lined_trace {
  public:
    using cl::lined_trace::lined_trace;
    std::vector<std::string> lines;

  protected:
    void emit(std::string_view line) override { lines.emplace_back(line); }
};

// A trace file whose write-out is slow, so writers and the write-out overlap.
class slow_file_trace : public cl::file_trace {
  public:
    std::atomic<int> opens{0};

  protected:
    void after_open(cl::file_hnd& f) override {
        ++opens;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        cl::file_trace::after_open(f);
    }
};

} // namespace

TEST_F(Trace, LinePrefixAndLineEnds) {
    cl::file_trace t;
    program_prefix(t);
    t.set_file_name(path("trace.txt"));
    t.write("a\nb", true);
    // The unfinished "b" waits for its line end: the file holds whole lines.
    EXPECT_TRUE(matches(get("trace.txt"), std::string(prefix_re) + "a\r\n")) << get("trace.txt");
    t.write("c\n", true); // continues the line "b"
    t.write("x\r\n", true);
    EXPECT_TRUE(matches(get("trace.txt"), std::string(prefix_re) + "a\r\n" + prefix_re + "bc\r\n" +
                                              prefix_re + "x\r\n"))
        << get("trace.txt");
}

TEST_F(Trace, PrefixSwitches) {
    cl::file_trace t;
    program_prefix(t);
    t.set_file_name(path("trace.txt"));
    t.set_time_flags(true, false);
    t.write("m\n", true);
    t.set_time_flags(false, false);
    t.set_prefix_texts("%02?%02?%02?", "~%03?", " ", "> ");
    t.write("n\n", true);
    EXPECT_TRUE(matches(get("trace.txt"), "[0-9]{6} m\r\n> n\r\n")) << get("trace.txt");
}

TEST_F(Trace, MaximumCapacityZeroWritesNothing) {
    cl::file_trace t;
    t.set_sizes(4096, 0, 1024);
    t.set_file_name(path("trace.txt"));
    t.write("hello\n", true);
    t.flush(true);
    EXPECT_EQ(t.pending(), 0u);
    EXPECT_FALSE(fs::exists(dir_ / "trace.txt"));
}

TEST_F(Trace, RotationMovesTheFullFileAside) {
    cl::file_trace t;
    t.set_time_flags(false, false);
    t.set_file_name(path("trace.txt"));
    t.set_old_file(path("trace_old.txt"), 100, 0);
    const std::string first(120, 'a');
    t.write(first + "\n", true);
    EXPECT_FALSE(fs::exists(dir_ / "trace.txt"));
    EXPECT_EQ(get("trace_old.txt"), first + "\r\n");
    t.write("second\n", true);
    EXPECT_EQ(get("trace.txt"), "second\r\n");
    EXPECT_EQ(get("trace_old.txt"), first + "\r\n");
}

TEST_F(Trace, RotateIfLargerAtStart) {
    { std::ofstream(dir_ / "trace.txt") << std::string(50, 'z'); }
    cl::file_trace t;
    t.set_time_flags(false, false);
    t.set_file_name(path("trace.txt"));
    t.set_old_file(path("trace_old.txt"), 0, 0);
    t.rotate_if_larger(100); // small enough: kept
    EXPECT_EQ(get("trace.txt").size(), 50u);
    t.write("more\n", true); // appended at the end
    EXPECT_EQ(get("trace.txt"), std::string(50, 'z') + "more\r\n");
    t.rotate_if_larger(50);
    EXPECT_FALSE(fs::exists(dir_ / "trace.txt"));
    EXPECT_EQ(get("trace_old.txt"), std::string(50, 'z') + "more\r\n");
}

TEST_F(Trace, MissingDirectoryKeepsTextAndRetriesUntilItExists) {
    cl::passive_timer timer("test");
    cl::file_trace t;
    t.use_timer(&timer);
    t.set_time_flags(false, false);
    t.set_file_name(path("later/trace.txt"));
    t.write("kept\n", true);
    EXPECT_EQ(t.pending(), 6u);
    EXPECT_FALSE(fs::exists(dir_ / "later"));
    fs::create_directories(dir_ / "later");
    // The retry timer (1000 ms) writes it out without further traces.
    for (int i = 0; i < 100 && get("later/trace.txt").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(get("later/trace.txt"), "kept\r\n");
    EXPECT_EQ(t.pending(), 0u);
    t.cancel_timer();
}

TEST_F(Trace, FullRingLosesOldestTextAndSaysSo) {
    cl::file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(256, 256, 100000);
    for (int i = 0; i < 40; ++i)
        t.write("line " + std::to_string(i) + "\n", true);
    EXPECT_LE(t.pending(), 256u);
    t.set_file_name(path("trace.txt"));
    t.flush(true);
    const std::string s = get("trace.txt");
    EXPECT_NE(s.find("\r\nbuffer overflow\r\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("line 0\r\n"), std::string::npos);
    EXPECT_NE(s.find("line 39\r\n"), std::string::npos);
}

TEST_F(Trace, RingGrowsInStepsAndIsListedForCrashDumps) {
    cl::file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(4096, 32768, 100000);
    t.write(std::string(99, 'x') + "\n", true);
    EXPECT_EQ(t.capacity(), 4096u);
    t.write(std::string(3598, 'y') + "\n", true); // past 7/8: (4096 * 3 / 2 + 15) & ~15
    EXPECT_EQ(t.capacity(), 6144u);
    EXPECT_EQ(t.pending(), 3701u); // two lines, each ending in CR LF
    size_t listed = 0;
    for (const auto& [p, n] : cl::crash_dump_memory_list())
        if (n == 6144u) ++listed;
    EXPECT_EQ(listed, 1u);
    t.drop_buffer(false); // pending text: kept
    EXPECT_EQ(t.capacity(), 6144u);
    t.drop_buffer(true);
    EXPECT_EQ(t.capacity(), 0u);
    for (const auto& [p, n] : cl::crash_dump_memory_list())
        EXPECT_NE(n, 6144u);
}

TEST_F(Trace, ConcurrentWritersWithASlowWriteOutLoseNothing) {
    slow_file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(1 << 16, 1 << 20, 64);
    t.set_file_name(path("trace.txt"));
    constexpr int threads = 4, lines = 200;
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&t, i] {
            for (int j = 0; j < lines; ++j)
                t.write("T" + std::to_string(i) + " L" + std::to_string(j) + "\n", true);
        });
    for (auto& th : pool)
        th.join();
    t.flush(true);
    std::istringstream in(get("trace.txt"));
    std::map<int, int> next;
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.back(), '\r');
        int a, b;
        ASSERT_EQ(std::sscanf(line.c_str(), "T%d L%d", &a, &b), 2) << line;
        EXPECT_EQ(b, next[a]++); // each writer's lines in its order, none lost
        ++count;
    }
    EXPECT_EQ(count, threads * lines);
    EXPECT_GT(t.opens.load(), 0);
}

TEST_F(Trace, DroppingTheRingWaitsForTheWriteOut) {
    slow_file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(4096, 1 << 16, 64);
    t.set_file_name(path("trace.txt"));
    std::atomic<bool> stop{false};
    std::thread dropper([&] {
        while (!stop) {
            t.drop_buffer(true);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> pool;
    for (int i = 0; i < 3; ++i)
        pool.emplace_back([&t, i] {
            for (int j = 0; j < 100; ++j)
                t.write("W" + std::to_string(i) + " " + std::string(40, 'a' + i) + "\n", true);
        });
    for (auto& th : pool)
        th.join();
    stop = true;
    dropper.join();
    t.flush(true);
    // Whatever survived the drops arrived whole: no line holds bytes of a
    // freed block.
    std::istringstream in(get("trace.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line == "\r") continue;
        ASSERT_TRUE(matches(line, "W[0-2] (a{40}|b{40}|c{40})\r") ||
                    line.find("buffer overflow") != std::string::npos)
            << line;
    }
}

TEST_F(Trace, RingOutlivesAWriteOutStuckInTheFile) {
    // The trace file is a FIFO read slowly, so the write-out blocks in the
    // middle of the ring while another thread asks to free it.
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    cl::file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(1 << 20, 1 << 20, 1 << 30);
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "line " + std::to_string(i) + "\n";
    t.write(text, true); // no path yet: stays in the ring
    std::string expected;
    for (size_t p = 0, lf; (lf = text.find('\n', p)) != std::string::npos; p = lf + 1)
        expected += text.substr(p, lf - p) + "\r\n";
    ASSERT_EQ(t.pending(), expected.size());
    t.set_file_name(path("fifo"));

    std::atomic<size_t> got{0};
    std::string received;
    std::thread reader([&] {
        const int fd = ::open((dir_ / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) {
            received.append(buf, static_cast<size_t>(n));
            got += static_cast<size_t>(n);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (fd >= 0) ::close(fd);
    });
    std::thread writer([&] { t.flush(true); });
    for (int i = 0; i < 2000 && got.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    t.drop_buffer(true); // must wait for the write-out
    writer.join();
    reader.join();
    EXPECT_EQ(received, expected);
    EXPECT_EQ(t.capacity(), 0u);
}

// Every line of a trace file: "T<thread> L<n> <filler>" or the overflow note.
void expect_whole_lines(const std::string& text, int* count = nullptr) {
    ASSERT_TRUE(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0))
        << "the file ends inside a line";
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        if (line == "buffer overflow\r") continue;
        ASSERT_TRUE(
            matches(line, "T[0-9]+ L[0-9]+ (a{30}|b{30}|c{30}|d{30}|e{30}|f{30}|g{30}|h{30})\r"))
            << "torn or merged: [" << line << "]";
        ++n;
    }
    if (count) *count = n;
}

TEST_F(Trace, LinesOfManyThreadsStayWholeThroughPiecesAndOverflow) {
    // Each line is traced in three pieces, the ring is small and the file
    // slow, so pieces of threads interleave and whole lines are dropped.
    slow_file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(2048, 4096, 512);
    t.set_file_name(path("trace.txt"));
    constexpr int threads = 8, lines = 300;
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&t, i] {
            for (int j = 0; j < lines; ++j) {
                t.write("T" + std::to_string(i) + " ", true);
                t.write("L" + std::to_string(j) + " " + std::string(15, char('a' + i)), true);
                t.write(std::string(15, char('a' + i)) + "\n", true);
            }
        });
    for (auto& th : pool)
        th.join();
    t.flush(true);
    int count = 0;
    expect_whole_lines(get("trace.txt"), &count);
    EXPECT_GT(count, 0);
}

TEST_F(Trace, AFullDiskLeavesWholeLinesAndTracingResumes) {
    // A file-size limit makes writes fail part way, as a full disk does.
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    cl::file_trace t;
    t.set_time_flags(false, false);
    t.set_sizes(1 << 16, 1 << 16, 1 << 20);
    struct rlimit small = old_limit;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    // Written out in one piece of about 1900 bytes: the limit cuts it.
    for (int j = 0; j < 40; ++j)
        t.write("T1 L" + std::to_string(j) + " " + std::string(30, 'a') + "\n", true);
    t.set_file_name(path("trace.txt"));
    t.flush(true);
    const std::string full = get("trace.txt");
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_GT(full.size(), 900u);
    EXPECT_LE(full.size(), 1000u);
    expect_whole_lines(full);
    EXPECT_GT(t.pending(), 0u);
    // Space again: the rest follows, each line once, in order.
    t.write("T2 L0 " + std::string(30, 'b') + "\n", true);
    t.flush(true);
    int count = 0;
    const std::string after = get("trace.txt");
    expect_whole_lines(after, &count);
    EXPECT_EQ(count, 41);
    EXPECT_NE(after.find("T1 L39 "), std::string::npos);
    EXPECT_EQ(t.pending(), 0u);
}

TEST_F(Trace, AnUnfinishedLineGoesOutAtTheFinalFlush) {
    {
        cl::file_trace t;
        t.set_time_flags(false, false);
        t.set_file_name(path("trace.txt"));
        t.write("done\nhalf", true);
        EXPECT_EQ(get("trace.txt"), "done\r\n");
    }
    EXPECT_EQ(get("trace.txt"), "done\r\nhalf\r\n");
}

TEST(LinedTrace, LinesWithNameAndCrLf) {
    capture_trace t("dbg: ");
    t.write("one\r\ntwo\nthr", true);
    t.write("ee\n", true);
    t.write("rest", true);
    EXPECT_EQ(t.lines, (std::vector<std::string>{"dbg: one\n", "dbg: two\n", "dbg: three\n"}));
    t.flush(true);
    EXPECT_EQ(t.lines.back(), "dbg: rest");
    t.set_name("a-name-longer-than-sixteen");
    t.write("x\n", true);
    EXPECT_EQ(t.lines.back(), "a-name-longer-th" + std::string("x\n"));
}

TEST(LinedTrace, LongLinesAreSplitWithoutEmptyLines) {
    capture_trace t;
    t.write(std::string(254, 'a') + "\r\nb\n", true);
    ASSERT_EQ(t.lines.size(), 2u);
    EXPECT_EQ(t.lines[0], std::string(254, 'a') + "\n");
    EXPECT_EQ(t.lines[1], "b\n");

    t.lines.clear();
    t.write(std::string(253, 'c') + "\r\nd\n", true); // the cut falls between CR and LF
    ASSERT_EQ(t.lines.size(), 2u);
    EXPECT_EQ(t.lines[0], std::string(253, 'c') + "\n");
    EXPECT_EQ(t.lines[1], "d\n");

    t.lines.clear();
    t.write(std::string(600, 'e') + "\n", true);
    ASSERT_EQ(t.lines.size(), 3u);
    EXPECT_EQ(t.lines[0].size(), 255u);
    EXPECT_EQ(t.lines[1].size(), 255u);
    EXPECT_EQ(t.lines[2], std::string(600 - 508, 'e') + "\n");
}

TEST(TraceStartup, WiresTheSinksAndKeepsEarlyText) {
    cl::trace_startup();
    EXPECT_TRUE(cl::trace_err.has(&cl::debug_sink()));
    EXPECT_TRUE(cl::trace_err.has(&cl::file_sink()));
    EXPECT_TRUE(cl::trace_err.has(&cl::stderr_sink()));
    EXPECT_TRUE(cl::trace_out.has(&cl::file_sink()));
    EXPECT_TRUE(cl::trace_out.has(&cl::stdout_sink()));
    EXPECT_TRUE(cl::trace_net.has(&cl::file_sink()));
    EXPECT_FALSE(cl::trace_net.has(&cl::stdout_sink()));
    // No path yet: the separator rule waits in the ring.
    EXPECT_GE(cl::file_sink().pending(), 68u);
    EXPECT_EQ(cl::file_sink().capacity(), 262144u);
    cl::trace_startup(); // once only
    EXPECT_FALSE(cl::trace_out.add(&cl::file_sink()));
}

TEST_F(Trace, ConsoleSinksWriteUtf8ToTheirStream) {
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    const int fd =
        ::open((dir_ / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::fflush(stderr);
    ::dup2(fd, STDERR_FILENO);
    cl::stderr_trace t;
    t.write_w(L"gr\u00fc\u00df \u20ac\n", true);
    t.write("plain\n", true);
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(fd);
    EXPECT_EQ(get("err.txt"), "gr\xc3\xbc\xc3\x9f \xe2\x82\xac\nplain\n");
}
