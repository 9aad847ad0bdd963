#include "system/crash_handler.h"

#include "../common/temp_dir.h"
#include "core/crash_dump_list.h"
#include "platform/crash/crash.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using crash_handler = tq_test::temp_dir_test;

char registered_before[40] = "block registered before the handler";
char registered_after[32] = "block registered afterwards";

[[noreturn]] void crash_child(const std::filesystem::path& dir, int how) {
    // Listed before installation: the handler must still see it.
    cl::crash_dump_add_memory(registered_before, sizeof(registered_before));
    static int marker = -1;
    marker = ::open((dir / "callback").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The callback comes first, before the dump is written.
    sys::crash_set_callback(
        [](void* arg) { (void)!::write(marker, arg, std::strlen(static_cast<char*>(arg))); },
        const_cast<char*>("called first"));
    if (!sys::install_crash_handler_in(dir.wstring(), sys::crash_mode_message)) _exit(90);
    sys::crash_report_params(L"teskqvel", L"3.07.2407");
    sys::crash_report_add_field("note", L"a b/ä");
    cl::crash_dump_add_memory(registered_after, sizeof(registered_after));
    if (how == SIGSEGV) {
        volatile int* bad = reinterpret_cast<int*>(uintptr_t(0x10));
        *bad = 1;
    }
    std::abort();
}

// Waits (bounded) for the watchdog to finish its report.
std::string wait_for_report(const std::filesystem::path& dir) {
    for (int i = 0; i < 400; ++i) {
        std::ifstream in(dir / "crash_report.txt");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        // Complete once the message after the fields is there.
        if (text.find("terminates now.") != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

TEST_F(crash_handler, a_fault_leaves_a_readable_dump_and_a_report) {
    struct kind {
        int signal;
        uint32_t exception;
        const char* name;
    };
    for (const kind k : {kind{SIGSEGV, 0xC0000005u, "ex=ACCESS_VIOLATION"},
                         kind{SIGABRT, 0x40000015u, "ex=0x40000015"}}) {
        const std::filesystem::path dir = dir_ / std::to_string(k.signal);
        std::filesystem::create_directories(dir);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) crash_child(dir, k.signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        // The handler lets the signal end the process as before.
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), k.signal);

        const std::string report = wait_for_report(dir);
        ASSERT_FALSE(report.empty()) << "the watchdog wrote no report";
        crash::dump_info d;
        ASSERT_TRUE(crash::read_dump((dir / "minidump.dmp").string(), d));
        EXPECT_EQ(d.signal, k.signal);
        EXPECT_EQ(d.exception, k.exception);
        EXPECT_EQ(d.pid, pid);
        EXPECT_NE(d.pc, 0u);
        if (k.signal == SIGSEGV) {
            EXPECT_EQ(d.address, 0x10u);
        }
        ASSERT_EQ(d.blocks.size(), 2u);
        EXPECT_EQ(d.blocks[0].address, reinterpret_cast<uintptr_t>(registered_before));
        EXPECT_EQ(d.blocks[0].bytes, std::string(registered_before, sizeof(registered_before)));
        EXPECT_EQ(d.blocks[1].bytes, std::string(registered_after, sizeof(registered_after)));
        std::string module;
        uint64_t offset = 0;
        ASSERT_TRUE(crash::module_of(d.maps, d.pc, module, offset));
        std::ifstream cb(dir / "callback");
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(cb)), {}), "called first");

        EXPECT_NE(report.find(k.name), std::string::npos) << report;
        EXPECT_NE(report.find("extype=NONCONTINUABLE"), std::string::npos) << report;
        EXPECT_NE(report.find("prod=teskqvel&ver=3.07.2407"), std::string::npos) << report;
        EXPECT_NE(report.find("note=a+b%2F%C3%A4"), std::string::npos) << report;
        EXPECT_NE(report.find("exrva=0x"), std::string::npos) << report;
        EXPECT_NE(
            report.find("An unhandled exception has occurred.\n\nThe program terminates now."),
            std::string::npos)
            << report;
        if (k.signal == SIGSEGV) {
            EXPECT_NE(report.find("exmod=tests_system"), std::string::npos) << report;
        }
    }
}

TEST(crash_watchdog, is_forked_only_while_the_process_has_one_thread) {
    for (const bool with_thread : {false, true}) {
        SCOPED_TRACE(with_thread);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::atomic<bool> done{false};
            std::thread t;
            if (with_thread)
                t = std::thread([&] {
                    while (!done)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                });
            const bool started = sys::start_crash_watchdog();
            done = true;
            if (t.joinable()) t.join();
            _exit(started == !with_thread ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

TEST(crash_dump_format, module_offsets_and_exception_codes) {
    const std::string maps = "5500-5600 r--p 00000000 08:01 12 /usr/bin/prog\n"
                             "5600-5900 r-xp 00001000 08:01 12 /usr/bin/prog\n"
                             "7000-7100 rw-p 00000000 00:00 0 \n";
    std::string path;
    uint64_t off = 0;
    ASSERT_TRUE(crash::module_of(maps, 0x5700, path, off));
    EXPECT_EQ(path, "/usr/bin/prog");
    EXPECT_EQ(off, 0x200u);
    EXPECT_FALSE(crash::module_of(maps, 0x7050, path, off));
    EXPECT_EQ(crash::exception_code_of(SIGFPE, FPE_INTDIV), 0xC0000094u);
    EXPECT_EQ(crash::exception_code_of(SIGBUS, BUS_ADRALN), 0x80000002u);
    EXPECT_EQ(crash::exception_code_of(SIGILL, ILL_ILLOPC), 0xC000001Du);
    std::map<std::string, std::string> fields{{"b", "2"}, {"a", "1"}};
    EXPECT_EQ(sys::crash_report_query(fields), "a=1&b=2");
}

} // namespace
