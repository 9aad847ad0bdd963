// Windows and their message queues, in-process. A window is an opaque handle
// bound to the thread that created it; each thread that touches the layer
// gets a queue, which any thread may post to. Sent messages run on the
// window's own thread while the sender waits; a thread that waits for its own
// send to finish still answers the messages sent to it, so two threads that
// send to each other never block for ever. Timers are kept per queue and
// delivered as WM_TIMER when nothing else is waiting, as on Windows.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace gui {

using hwnd = uint64_t; // 0 is "no window"
using wparam = uintptr_t;
using lparam = intptr_t;
using lresult = intptr_t;

constexpr uint32_t wm_null = 0;
constexpr uint32_t wm_destroy = 2;
constexpr uint32_t wm_paint = 15;
constexpr uint32_t wm_close = 16;
constexpr uint32_t wm_queryendsession = 17;
constexpr uint32_t wm_quit = 18;
constexpr uint32_t wm_endsession = 22;
constexpr uint32_t wm_power = 72;
constexpr uint32_t wm_contextmenu = 123;
constexpr uint32_t wm_command = 273;
constexpr uint32_t wm_timer = 275;
constexpr uint32_t wm_initmenupopup = 279;
constexpr uint32_t wm_mousemove = 512;
constexpr uint32_t wm_lbuttondown = 513;
constexpr uint32_t wm_lbuttonup = 514;
constexpr uint32_t wm_lbuttondblclk = 515;
constexpr uint32_t wm_rbuttondown = 516;
constexpr uint32_t wm_mbuttondown = 519;
constexpr uint32_t wm_exitmenuloop = 530;
constexpr uint32_t wm_user = 0x400;
// Numbers handed out by register_window_message.
constexpr uint32_t registered_message_first = 0xC000;

struct msg {
    hwnd wnd = 0;
    uint32_t message = 0;
    wparam wp = 0;
    lparam lp = 0;
};

using window_procedure = std::function<lresult(hwnd, uint32_t, wparam, lparam)>;

// Creates a window on the calling thread. The class name is what
// find_window looks for; the procedure gets every message dispatched to it.
hwnd create_window(const std::wstring& class_name, const std::wstring& title,
                   window_procedure proc);
// Sends WM_DESTROY and forgets the window; false when the handle is unknown
// or belongs to another thread. Its posted messages are dropped unread.
bool destroy_window(hwnd w);
bool is_window(hwnd w);
// The first live window of the class, in order of creation; 0 when none.
hwnd find_window(const std::wstring& class_name);
std::wstring window_title(hwnd w);

// False when the window is unknown.
bool post_message(hwnd w, uint32_t message, wparam wp, lparam lp);
// Runs the window's procedure on its thread and returns its result; 0 when
// the window is unknown or goes away before the message was handled.
lresult send_message(hwnd w, uint32_t message, wparam wp, lparam lp);
// Posts WM_QUIT with the exit code to the calling thread's queue.
void post_quit_message(int exit_code);

// Waits for the next message of the calling thread (sent messages are
// handled inside the wait). 1 for a message, 0 for WM_QUIT, -1 when the
// filter names a window that does not exist.
int get_message(msg& m, hwnd filter = 0);
// As get_message without waiting; false when nothing is there.
bool peek_message(msg& m, hwnd filter = 0, bool remove = true);
// Calls the procedure of the message's window; 0 when it has none any more.
lresult dispatch_message(const msg& m);
// Messages waiting in the calling thread's queue (posted ones only).
size_t queued_messages();

// Process-wide message numbers by name; the same name gives the same number.
uint32_t register_window_message(const std::string& name);

// WM_TIMER with wParam = id every ms milliseconds to the window, on its
// thread; setting an id again replaces its period. Periods below 10 ms run at 10.
bool set_timer(hwnd w, uintptr_t id, uint32_t ms);
bool kill_timer(hwnd w, uintptr_t id);

} // namespace gui
