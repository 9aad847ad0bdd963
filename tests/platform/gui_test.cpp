#include "platform/gui/gui.h"
#include "platform/gui/remote.h"
#include "platform/gui/shell_ui.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A window on a thread of its own running the message loop; what its
// procedure saw, in order, on that thread.
struct loop_thread {
    std::promise<gui::hwnd> ready;
    std::vector<std::pair<uint32_t, gui::wparam>> seen;
    std::thread::id loop_id;
    std::thread t;
    int exit_code = -1;

    explicit loop_thread(const std::wstring& cls) {
        t = std::thread([this, cls] {
            loop_id = std::this_thread::get_id();
            const gui::hwnd w = gui::create_window(
                cls, L"t",
                [this](gui::hwnd, uint32_t m, gui::wparam wp, gui::lparam lp) -> gui::lresult {
                    EXPECT_EQ(std::this_thread::get_id(), loop_id);
                    seen.emplace_back(m, wp);
                    if (m == gui::wm_close) gui::post_quit_message(7);
                    return gui::lresult(wp) * 2 + lp;
                });
            ready.set_value(w);
            gui::msg m;
            int r;
            while ((r = gui::get_message(m)) > 0)
                gui::dispatch_message(m);
            exit_code = int(m.wp);
        });
    }
    ~loop_thread() {
        if (t.joinable()) t.join();
    }
};

} // namespace

TEST(GuiMessages, PostedAndSentMessagesAcrossThreads) {
    loop_thread lt(L"loop_a");
    const gui::hwnd w = lt.ready.get_future().get();
    ASSERT_NE(w, 0u);
    EXPECT_EQ(gui::find_window(L"loop_a"), w);

    // Sent messages run on the window's thread and give its result back.
    EXPECT_EQ(gui::send_message(w, gui::wm_user, 20, 1), 41);
    // Posted ones keep their order; many threads may post at once.
    std::vector<std::thread> posters;
    for (int k = 0; k < 4; ++k)
        posters.emplace_back([w, k] {
            for (int i = 0; i < 50; ++i)
                EXPECT_TRUE(gui::post_message(w, gui::wm_user + 1 + k, gui::wparam(i), 0));
        });
    for (auto& p : posters)
        p.join();
    // A send made after the posts still returns while they wait in line.
    EXPECT_EQ(gui::send_message(w, gui::wm_user, 1, 0), 2);
    gui::post_message(w, gui::wm_close, 0, 0);
    lt.t.join();
    EXPECT_EQ(lt.exit_code, 7);

    std::vector<int> last(4, -1);
    size_t posted = 0;
    for (auto [m, wp] : lt.seen) {
        if (m > gui::wm_user && m <= gui::wm_user + 4) {
            EXPECT_EQ(int(wp), last[m - gui::wm_user - 1] + 1);
            last[m - gui::wm_user - 1] = int(wp);
            ++posted;
        }
    }
    EXPECT_EQ(posted, 200u);
    // The thread's windows went with it: nothing reaches them any more.
    EXPECT_FALSE(gui::is_window(w));
    EXPECT_FALSE(gui::post_message(w, gui::wm_user, 0, 0));
    EXPECT_EQ(gui::send_message(w, gui::wm_user, 5, 0), 0);
}

TEST(GuiMessages, TwoThreadsSendingToEachOtherDoNotBlock) {
    // Thread B's window, on a receive of wm_user, sends back to A's window
    // while A waits for its own send to B.
    gui::hwnd a = gui::create_window(
        L"ping_a", L"a", [](gui::hwnd, uint32_t m, gui::wparam wp, gui::lparam) -> gui::lresult {
            return m == gui::wm_user + 5 ? gui::lresult(wp) + 100 : 0;
        });
    std::promise<gui::hwnd> pb;
    std::atomic<bool> done{false};
    std::thread tb([&] {
        const gui::hwnd b = gui::create_window(
            L"ping_b", L"b",
            [a](gui::hwnd, uint32_t m, gui::wparam wp, gui::lparam) -> gui::lresult {
                if (m == gui::wm_user) return gui::send_message(a, gui::wm_user + 5, wp, 0) + 1;
                return 0;
            });
        pb.set_value(b);
        gui::msg m;
        while (!done && gui::get_message(m) > 0)
            gui::dispatch_message(m);
    });
    const gui::hwnd b = pb.get_future().get();
    EXPECT_EQ(gui::send_message(b, gui::wm_user, 3, 0), 104);
    done = true;
    gui::post_message(b, gui::wm_null, 0, 0);
    tb.join();
    gui::destroy_window(a);
}

TEST(GuiMessages, QuitComesAfterPostedMessagesAndTimersTick) {
    std::vector<uint32_t> seen;
    const gui::hwnd w = gui::create_window(
        L"local", L"l", [&](gui::hwnd, uint32_t m, gui::wparam wp, gui::lparam) -> gui::lresult {
            seen.push_back(m == gui::wm_timer ? 1000 + uint32_t(wp) : m);
            if (m == gui::wm_timer && seen.size() >= 4) {
                gui::kill_timer(gui::find_window(L"local"), wp);
                gui::post_quit_message(3);
            }
            return 0;
        });
    gui::post_message(w, gui::wm_user, 0, 0);
    ASSERT_TRUE(gui::set_timer(w, 9, 10));
    gui::post_message(w, gui::wm_user + 1, 0, 0);
    gui::msg m;
    int r;
    while ((r = gui::get_message(m)) > 0)
        gui::dispatch_message(m);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(m.wp, 3u);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0], gui::wm_user);
    EXPECT_EQ(seen[1], gui::wm_user + 1);
    EXPECT_EQ(seen[2], 1009u);
    EXPECT_FALSE(gui::kill_timer(w, 9)) << "killed by the procedure";

    // A destroyed window's posted messages are dropped unread.
    gui::post_message(w, gui::wm_user + 2, 0, 0);
    EXPECT_EQ(gui::queued_messages(), 1u);
    EXPECT_TRUE(gui::destroy_window(w));
    EXPECT_EQ(gui::queued_messages(), 0u);
    EXPECT_FALSE(gui::peek_message(m));
    EXPECT_EQ(seen.back(), gui::wm_destroy);
}

TEST(GuiMessages, RegisteredNamesShareNumbers) {
    const uint32_t a = gui::register_window_message("TaskbarCreated_test");
    EXPECT_GE(a, gui::registered_message_first);
    EXPECT_EQ(gui::register_window_message("TaskbarCreated_test"), a);
    EXPECT_NE(gui::register_window_message("other_test"), a);
}

TEST(GuiRemote, PostsReachAWindowOfAnotherThreadByClass) {
    const char* base = std::getenv("TQ_TEST_TMP");
    const auto dir =
        std::filesystem::path(base ? base : "/tmp") / ("gui_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "w.sock").string();
    EXPECT_EQ(gui::remote_post(path, L"remote_x", gui::wm_close, 0, 0),
              gui::remote_result::no_listener);

    loop_thread lt(L"remote_x");
    lt.ready.get_future().get();
    gui::remote_endpoint ep;
    ASSERT_TRUE(ep.open(path));
    gui::remote_endpoint second;
    EXPECT_FALSE(second.open(path)) << "a live listener is not taken over";
    EXPECT_EQ(gui::remote_post(path, L"no_such", gui::wm_close, 0, 0),
              gui::remote_result::no_window);
    EXPECT_EQ(gui::remote_post(path, L"remote_x", gui::wm_user, 12, -3),
              gui::remote_result::posted);
    EXPECT_EQ(gui::remote_post(path, L"remote_x", gui::wm_close, 0, 0), gui::remote_result::posted);
    lt.t.join();
    ASSERT_GE(lt.seen.size(), 2u);
    EXPECT_EQ(lt.seen[0], std::make_pair(gui::wm_user, gui::wparam(12)));
    ep.close();
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(dir);
}

TEST(GuiShell, HeadlessTrayTellsTheOwnerOfBalloons) {
    std::vector<gui::lparam> notes;
    const gui::hwnd w = gui::create_window(L"tray_owner", L"t",
                                           [&](gui::hwnd, uint32_t m, gui::wparam, gui::lparam lp) {
                                               if (m == gui::wm_user + 9) notes.push_back(lp);
                                               return gui::lresult(0);
                                           });
    gui::notify_icon_data d;
    d.wnd = w;
    d.id = 77;
    d.flags = gui::nif_message | gui::nif_tip;
    d.callback_message = gui::wm_user + 9;
    EXPECT_FALSE(gui::shell_notify_icon(gui::nim_modify, d)) << "not added yet";
    EXPECT_TRUE(gui::shell_notify_icon(gui::nim_add, d));
    EXPECT_FALSE(gui::shell_notify_icon(gui::nim_add, d));
    d.flags = gui::nif_info;
    d.info = L"one";
    EXPECT_TRUE(gui::shell_notify_icon(gui::nim_modify, d));
    d.info = L"two"; // replaces the first
    EXPECT_TRUE(gui::shell_notify_icon(gui::nim_modify, d));
    d.info.clear(); // closes the second
    EXPECT_TRUE(gui::shell_notify_icon(gui::nim_modify, d));
    EXPECT_TRUE(gui::shell_notify_icon(gui::nim_delete, d));
    EXPECT_FALSE(gui::notify_icon_shown(w, 77));
    gui::msg m;
    while (gui::peek_message(m))
        gui::dispatch_message(m);
    EXPECT_EQ(notes, (std::vector<gui::lparam>{gui::nin_balloonshow, gui::nin_balloonhide,
                                               gui::nin_balloonshow, gui::nin_balloonhide}));
    gui::destroy_window(w);
}

TEST(GuiShell, ClipboardKeepsItsTextInAFile) {
    const char* base = std::getenv("TQ_TEST_TMP");
    const auto dir =
        std::filesystem::path(base ? base : "/tmp") / ("clip_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    gui::set_clipboard_store((dir / "clipboard.txt").string());
    std::string text = "x";
    EXPECT_TRUE(gui::get_clipboard_text(text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(gui::set_clipboard_text("http://a/x.txt\r\nhttp://a/y.txt"));
    EXPECT_TRUE(gui::get_clipboard_text(text));
    EXPECT_EQ(text, "http://a/x.txt\r\nhttp://a/y.txt");
    gui::set_clipboard_store("");
    std::filesystem::remove_all(dir);
}
