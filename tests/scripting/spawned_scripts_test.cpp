#include "scripting/spawned_scripts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

namespace {

// A runner that records what it ran and holds each run until released.
struct held_runner {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    std::vector<std::pair<std::string, std::wstring>> ran;
    void run(const std::string& url, const std::wstring& param) {
        std::unique_lock<std::mutex> g(m);
        ran.emplace_back(url, param);
        cv.notify_all();
        cv.wait_for(g, std::chrono::seconds(20), [&] { return released; });
    }
    void release() {
        std::lock_guard<std::mutex> g(m);
        released = true;
        cv.notify_all();
    }
    bool wait_runs(std::size_t n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(20), [&] { return ran.size() >= n; });
    }
};

bool wait_empty(scripting::spawned_scripts& s) {
    for (int i = 0; i < 2000 && s.size() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s.size() == 0;
}

} // namespace

TEST(SpawnedScripts, EachRunsWithItsParameterAndLeavesTheRegistryWhenDone) {
    cl::thread_pool pool;
    held_runner r;
    scripting::spawned_scripts s([&](const std::string& u, const std::wstring& p) { r.run(u, p); });
    ASSERT_TRUE(s.spawn(pool, "/a.js", L"one"));
    ASSERT_TRUE(s.spawn(pool, "/b.js", L"two"));
    ASSERT_TRUE(r.wait_runs(2));
    EXPECT_EQ(s.size(), 2u); // still running: still registered
    r.release();
    EXPECT_TRUE(wait_empty(s));
    std::lock_guard<std::mutex> g(r.m);
    std::set<std::pair<std::string, std::wstring>> got(r.ran.begin(), r.ran.end());
    EXPECT_EQ(got, (std::set<std::pair<std::string, std::wstring>>{{"/a.js", L"one"},
                                                                   {"/b.js", L"two"}}));
}

TEST(SpawnedScripts, StopAllEndsRunningScriptsAndAThrowingOneIsNoHarm) {
    cl::thread_pool pool;
    held_runner r;
    scripting::spawned_scripts s([&](const std::string& u, const std::wstring& p) {
        if (u == "/throws.js") throw std::runtime_error("boom");
        r.run(u, p);
    });
    ASSERT_TRUE(s.spawn(pool, "/throws.js", L""));
    ASSERT_TRUE(s.spawn(pool, "/held.js", L""));
    ASSERT_TRUE(r.wait_runs(1));
    // The held script is released while stop waits for it, as a script that
    // notices it is asked to stop would end.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        r.release();
    });
    s.stop_all();
    EXPECT_EQ(s.size(), 0u);
    releaser.join();
}
