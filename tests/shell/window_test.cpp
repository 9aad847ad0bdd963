#include "core/timer.h"
#include "platform/gui/shell_ui.h"
#include "shell/popup_menu.h"
#include "shell/taskbar_icon.h"
#include "shell/window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct recording_window : shell::window {
    std::vector<uint32_t> seen;
    int quits = 0, paints = 0;
    gui::lresult window_proc(uint32_t m, gui::wparam, gui::lparam) override {
        seen.push_back(m);
        if (m == gui::wm_close) gui::post_quit_message(0);
        return 5;
    }
    void on_quit() override { ++quits; }
    void on_paint() override { ++paints; }
};

struct stopping_hook : shell::msg_hook {
    bool stop;
    int calls = 0;
    explicit stopping_hook(bool s) : stop(s) {}
    gui::lresult hook(uint32_t, gui::wparam, gui::lparam, bool& handled) override {
        ++calls;
        handled = stop;
        return 42;
    }
};

void pump() {
    gui::msg m;
    while (gui::peek_message(m))
        gui::dispatch_message(m);
}

} // namespace

TEST(Window, HooksComeFirstAndCanStopTheMessage) {
    recording_window w;
    ASSERT_TRUE(w.create(L"t", L"hooks_class"));
    stopping_hook pass(false), stop(true);
    w.add_hook(&pass, gui::wm_paint);
    w.add_hook(&stop, gui::wm_paint);
    EXPECT_EQ(w.dispatch(gui::wm_paint, 0, 0), 42);
    EXPECT_EQ(pass.calls, 1);
    EXPECT_EQ(w.paints, 0) << "a hook that handled it stops the built-in handling";
    w.remove_hook(&stop);
    EXPECT_EQ(w.dispatch(gui::wm_paint, 0, 0), 0);
    EXPECT_EQ(w.paints, 1);
    // The end of the session: query answers 1; only "close app" ends the loop.
    EXPECT_EQ(w.dispatch(gui::wm_queryendsession, 0, 0), 1);
    EXPECT_EQ(gui::queued_messages(), 0u);
    w.add_hook(&stop, gui::wm_endsession);
    w.dispatch(gui::wm_endsession, 1, 0);
    EXPECT_EQ(w.quits, 0) << "hooked before the session end is handled";
    w.remove_hook(&stop);
    w.dispatch(gui::wm_endsession, 1, 0);
    EXPECT_EQ(w.quits, 1);
    EXPECT_EQ(w.dispatch(gui::wm_user, 0, 0), 5);
    w.destroy();
    EXPECT_EQ(pass.hooked_window(), nullptr);
}

TEST(Window, PrivateMessageNumbersAndTheLoop) {
    recording_window w;
    ASSERT_TRUE(w.create(L"t", L"loop_class"));
    EXPECT_EQ(w.register_message("wm_context"), 2051u);
    EXPECT_EQ(w.register_message("wm_signal_dispids"), 2052u);
    EXPECT_EQ(w.register_message("wm_context"), 2051u);
    gui::post_message(w.handle(), gui::wm_user, 0, 0);
    gui::post_message(w.handle(), gui::wm_close, 0, 0);
    w.message_loop();
    EXPECT_EQ(w.seen, (std::vector<uint32_t>{gui::wm_user, gui::wm_close}));
    EXPECT_EQ(w.quits, 1);
    // Closing never destroyed the window: its owner does, after the loop.
    EXPECT_TRUE(gui::is_window(w.handle()));
}

namespace {

struct test_menu : shell::popup_menu {
    std::vector<std::string>* log;
    test_menu* sub = nullptr;
    explicit test_menu(std::vector<std::string>* l) : log(l) {}
    void build(gui::hwnd owner) override {
        clear();
        create_menu();
        add_item(gui::mf_string, L"one", [this] { log->push_back("one"); });
        if (sub) {
            sub->clear();
            add_built_submenu(*sub, L"more", owner);
        }
        add_item(gui::mf_string, L"two", [this] { log->push_back("two"); });
    }
    void on_init_popup(gui::lparam) override { log->push_back("init"); }
};

struct leaf_menu : shell::popup_menu {
    std::vector<std::string>* log;
    explicit leaf_menu(std::vector<std::string>* l) : log(l) {}
    void build(gui::hwnd) override {
        create_menu();
        add_item(gui::mf_string, L"deep", [this] { log->push_back("deep"); });
    }
    void on_init_popup(gui::lparam) override { log->push_back("leaf init"); }
};

} // namespace

TEST(PopupMenu, CommandsRunByIdAndEveryMenuIsTornDown) {
    std::vector<std::string> log;
    recording_window w;
    ASSERT_TRUE(w.create(L"t", L"menu_class"));
    test_menu top(&log);
    leaf_menu leaf(&log);
    top.sub = reinterpret_cast<test_menu*>(&leaf);
    top.attach(w);
    const uint32_t first = shell::popup_menu::next_id();
    top.build(w.handle());
    // one, the sub-menu entry, deep, two: ids in order of creation.
    EXPECT_EQ(shell::popup_menu::registry_size(), 4u);
    const auto items = gui::menu_items(top.menu());
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].id, first % 0x10000);
    EXPECT_EQ(items[2].id, (first + 3) % 0x10000);
    ASSERT_TRUE(items[1].flags & gui::mf_popup);
    EXPECT_EQ(gui::menu_items(gui::hmenu(items[1].id))[0].id, (first + 2) % 0x10000);

    // WM_INITMENUPOPUP reaches the sub-menu it names, and the window too.
    w.dispatch(gui::wm_initmenupopup, leaf.menu(), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"leaf init"}));
    EXPECT_EQ(w.seen.back(), gui::wm_initmenupopup);

    // The sub-menu's command runs; then no menu has a handle or a record.
    EXPECT_EQ(w.dispatch(gui::wm_command, (first + 2) % 0x10000, 0), 0);
    EXPECT_EQ(log.back(), "deep");
    EXPECT_EQ(shell::popup_menu::registry_size(), 0u);
    EXPECT_EQ(top.menu(), 0u);
    EXPECT_EQ(leaf.menu(), 0u);
    // A stale id runs nothing.
    w.dispatch(gui::wm_command, first % 0x10000, 0);
    EXPECT_EQ(log.back(), "deep");
    top.build(w.handle());
    EXPECT_EQ(gui::menu_items(top.menu())[0].id, (first + 4) % 0x10000) << "ids keep counting";
    w.dispatch(gui::wm_command, (first + 4) % 0x10000, 0);
    EXPECT_EQ(log.back(), "one");
}

namespace {

struct icon_owner : shell::window {};

} // namespace

TEST(TaskbarIcon, BalloonEntriesLeaveWithTheirBalloons) {
    cl::start_global_timers();
    {
        icon_owner w;
        ASSERT_TRUE(w.create(L"t", L"icon_class"));
        shell::taskbar_icon icon;
        icon.create(&w, std::wstring(200, L't'), nullptr, 2, false);
        icon.icons()[0] = gui::builtin_icon(L"normal");
        icon.icons()[1] = gui::builtin_icon(L"active");
        std::vector<int> clicked;
        auto cb = [&](void* p) { clicked.push_back(int(reinterpret_cast<intptr_t>(p))); };

        // A balloon on a hidden icon shows image 0.
        icon.balloon(L"title", L"first", 60000, cb, reinterpret_cast<void*>(1));
        EXPECT_EQ(icon.current(), 0u);
        EXPECT_TRUE(gui::notify_icon_shown(w.handle(), icon.id()));
        // A second balloon replaces the first: the shell hides the first, and
        // its entry goes, so a click runs the second one's action.
        icon.balloon(L"title", L"second", 60000, cb, reinterpret_cast<void*>(2));
        pump();
        EXPECT_EQ(icon.queued_balloons(), 1u);
        EXPECT_TRUE(gui::click_balloon(w.handle(), icon.id()));
        pump();
        EXPECT_EQ(clicked, (std::vector<int>{2}));
        EXPECT_EQ(icon.queued_balloons(), 0u);
        // A click after the queue is empty runs nothing.
        gui::post_message(w.handle(), icon.callback_message(), icon.id(), gui::nin_balloonusrclick);
        pump();
        EXPECT_EQ(clicked.size(), 1u);

        // A notification for another icon number is not ours.
        icon.balloon(L"t", L"third", 60000, cb, reinterpret_cast<void*>(3));
        pump();
        gui::post_message(w.handle(), icon.callback_message(), icon.id() + 100,
                          gui::nin_balloonusrclick);
        pump();
        EXPECT_EQ(clicked.size(), 1u);
        EXPECT_EQ(icon.queued_balloons(), 1u);
        // A balloon closed by its timer leaves the queue too: the next
        // click has nothing stale to open.
        icon.balloon(L"t", L"fourth", 60000, cb, reinterpret_cast<void*>(4));
        pump();
        EXPECT_EQ(icon.queued_balloons(), 1u);
        EXPECT_TRUE(gui::click_balloon(w.handle(), icon.id()));
        pump();
        EXPECT_EQ(clicked, (std::vector<int>{2, 4}));

        // The shell restarting brings the icon back with its image.
        icon.notify(1);
        w.dispatch(gui::register_window_message("TaskbarCreated"), 0, 0);
        EXPECT_EQ(icon.current(), 1u);
        EXPECT_TRUE(gui::notify_icon_shown(w.handle(), icon.id()));
        icon.notify(shell::taskbar_icon::not_shown);
        EXPECT_FALSE(gui::notify_icon_shown(w.handle(), icon.id()));
        w.dispatch(gui::register_window_message("TaskbarCreated"), 0, 0);
        EXPECT_FALSE(gui::notify_icon_shown(w.handle(), icon.id())) << "a hidden icon stays hidden";
    }
    cl::stop_global_timers();
}
