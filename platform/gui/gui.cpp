#include "platform/gui/gui.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace gui {
namespace {

using clock = std::chrono::steady_clock;

struct thread_queue;

// A message sent from another thread: the sender waits on its own queue
// until `done`, and answers messages sent to itself meanwhile.
struct sent_item {
    msg m;
    lresult result = 0;
    bool done = false;
    std::shared_ptr<thread_queue> sender;
};

struct timer_rec {
    hwnd wnd;
    uintptr_t id;
    std::chrono::milliseconds period;
    clock::time_point due;
};

struct thread_queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<msg> posted;
    std::deque<std::shared_ptr<sent_item>> sent;
    std::vector<timer_rec> timers;
    bool quit = false;
    int quit_code = 0;
    bool alive = true;
};

struct window_rec {
    std::wstring class_name;
    std::wstring title;
    std::shared_ptr<window_procedure> proc;
    std::shared_ptr<thread_queue> queue;
};

std::mutex g_lock; // guards the window map, the counter and the names
std::map<hwnd, window_rec>& windows() {
    static auto* m = new std::map<hwnd, window_rec>; // outlives every thread's exit
    return *m;
}
hwnd g_next = 0x10010;
std::map<std::string, uint32_t>& message_names() {
    static auto* m = new std::map<std::string, uint32_t>;
    return *m;
}

void complete(sent_item& it, lresult r) {
    std::shared_ptr<thread_queue> s = it.sender;
    {
        std::lock_guard<std::mutex> lk(s->m);
        it.result = r;
        it.done = true;
    }
    s->cv.notify_all();
}

// Ends the queue of a thread that leaves: its windows go, and senders still
// waiting for it get 0.
struct queue_holder {
    std::shared_ptr<thread_queue> q = std::make_shared<thread_queue>();
    ~queue_holder() {
        {
            std::lock_guard<std::mutex> g(g_lock);
            for (auto it = windows().begin(); it != windows().end();)
                it = it->second.queue == q ? windows().erase(it) : std::next(it);
        }
        std::deque<std::shared_ptr<sent_item>> pending;
        {
            std::lock_guard<std::mutex> lk(q->m);
            q->alive = false;
            pending.swap(q->sent);
            q->posted.clear();
            q->timers.clear();
        }
        for (auto& it : pending)
            complete(*it, 0);
    }
};

std::shared_ptr<thread_queue> my_queue() {
    thread_local queue_holder holder;
    return holder.q;
}

bool find(hwnd w, window_rec& out) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = windows().find(w);
    if (it == windows().end()) return false;
    out = it->second;
    return true;
}

lresult call_proc(const msg& m) {
    window_rec r;
    if (!find(m.wnd, r)) return 0;
    return (*r.proc)(m.wnd, m.message, m.wp, m.lp);
}

// Runs every message sent to this thread; true when there was one.
bool run_sent(thread_queue& q) {
    bool any = false;
    for (;;) {
        std::shared_ptr<sent_item> it;
        {
            std::lock_guard<std::mutex> lk(q.m);
            if (q.sent.empty()) return any;
            it = q.sent.front();
            q.sent.pop_front();
        }
        any = true;
        lresult r = 0;
        try {
            r = call_proc(it->m);
        } catch (...) {
            complete(*it, 0);
            throw;
        }
        complete(*it, r);
    }
}

bool matches(const msg& m, hwnd filter) {
    return filter == 0 || m.wnd == filter;
}

// Takes a waiting message under the queue's lock: posted ones first, then
// the quit request once nothing is posted, then a due timer.
bool take(thread_queue& q, msg& out, hwnd filter, bool remove, bool& quit) {
    quit = false;
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!matches(*it, filter)) continue;
        out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    if (q.quit) {
        out = msg{0, wm_quit, wparam(q.quit_code), 0};
        if (remove) q.quit = false;
        quit = true;
        return true;
    }
    const auto now = clock::now();
    for (auto& t : q.timers) {
        if (t.due > now || !matches(msg{t.wnd, 0, 0, 0}, filter)) continue;
        out = msg{t.wnd, wm_timer, t.id, 0};
        if (remove) t.due = now + t.period;
        return true;
    }
    return false;
}

} // namespace

hwnd create_window(const std::wstring& class_name, const std::wstring& title,
                   window_procedure proc) {
    auto q = my_queue();
    std::lock_guard<std::mutex> g(g_lock);
    const hwnd w = g_next;
    g_next += 4;
    windows()[w] =
        window_rec{class_name, title, std::make_shared<window_procedure>(std::move(proc)), q};
    return w;
}

bool destroy_window(hwnd w) {
    window_rec r;
    if (!find(w, r) || r.queue != my_queue()) return false;
    (*r.proc)(w, wm_destroy, 0, 0);
    {
        std::lock_guard<std::mutex> g(g_lock);
        windows().erase(w);
    }
    std::lock_guard<std::mutex> lk(r.queue->m);
    auto& p = r.queue->posted;
    p.erase(std::remove_if(p.begin(), p.end(), [w](const msg& m) { return m.wnd == w; }), p.end());
    auto& t = r.queue->timers;
    t.erase(std::remove_if(t.begin(), t.end(), [w](const timer_rec& x) { return x.wnd == w; }),
            t.end());
    return true;
}

bool is_window(hwnd w) {
    std::lock_guard<std::mutex> g(g_lock);
    return windows().count(w) != 0;
}

hwnd find_window(const std::wstring& class_name) {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto& [w, r] : windows())
        if (r.class_name == class_name) return w;
    return 0;
}

std::wstring window_title(hwnd w) {
    window_rec r;
    return find(w, r) ? r.title : std::wstring();
}

bool post_message(hwnd w, uint32_t message, wparam wp, lparam lp) {
    window_rec r;
    if (!find(w, r)) return false;
    {
        std::lock_guard<std::mutex> lk(r.queue->m);
        if (!r.queue->alive) return false;
        r.queue->posted.push_back(msg{w, message, wp, lp});
    }
    r.queue->cv.notify_all();
    return true;
}

lresult send_message(hwnd w, uint32_t message, wparam wp, lparam lp) {
    window_rec r;
    if (!find(w, r)) return 0;
    auto me = my_queue();
    if (r.queue == me) return (*r.proc)(w, message, wp, lp);
    auto item = std::make_shared<sent_item>();
    item->m = msg{w, message, wp, lp};
    item->sender = me;
    {
        std::lock_guard<std::mutex> lk(r.queue->m);
        if (!r.queue->alive) return 0;
        r.queue->sent.push_back(item);
    }
    r.queue->cv.notify_all();
    for (;;) {
        run_sent(*me);
        std::unique_lock<std::mutex> lk(me->m);
        me->cv.wait(lk, [&] { return item->done || !me->sent.empty(); });
        if (item->done) return item->result;
    }
}

void post_quit_message(int exit_code) {
    auto q = my_queue();
    {
        std::lock_guard<std::mutex> lk(q->m);
        q->quit = true;
        q->quit_code = exit_code;
    }
    q->cv.notify_all();
}

int get_message(msg& m, hwnd filter) {
    if (filter && !is_window(filter)) return -1;
    auto q = my_queue();
    for (;;) {
        run_sent(*q);
        std::unique_lock<std::mutex> lk(q->m);
        bool quit = false;
        if (!q->sent.empty()) continue;
        if (take(*q, m, filter, true, quit)) return quit ? 0 : 1;
        auto next = clock::time_point::max();
        for (auto& t : q->timers)
            if (matches(msg{t.wnd, 0, 0, 0}, filter)) next = std::min(next, t.due);
        auto wake = [&] { return !q->sent.empty() || !q->posted.empty() || q->quit; };
        if (next == clock::time_point::max())
            q->cv.wait(lk, wake);
        else
            q->cv.wait_until(lk, next, wake);
    }
}

bool peek_message(msg& m, hwnd filter, bool remove) {
    auto q = my_queue();
    run_sent(*q);
    std::lock_guard<std::mutex> lk(q->m);
    bool quit = false;
    return take(*q, m, filter, remove, quit);
}

lresult dispatch_message(const msg& m) {
    if (m.message == wm_quit || m.wnd == 0) return 0;
    return call_proc(m);
}

size_t queued_messages() {
    auto q = my_queue();
    std::lock_guard<std::mutex> lk(q->m);
    return q->posted.size();
}

uint32_t register_window_message(const std::string& name) {
    if (name.empty()) return 0;
    std::lock_guard<std::mutex> g(g_lock);
    auto& names = message_names();
    auto it = names.find(name);
    if (it != names.end()) return it->second;
    const uint32_t n = registered_message_first + uint32_t(names.size());
    names.emplace(name, n);
    return n;
}

bool set_timer(hwnd w, uintptr_t id, uint32_t ms) {
    window_rec r;
    if (!find(w, r)) return false;
    const auto period = std::chrono::milliseconds(std::max<uint32_t>(ms, 10));
    {
        std::lock_guard<std::mutex> lk(r.queue->m);
        auto& ts = r.queue->timers;
        auto it = std::find_if(ts.begin(), ts.end(),
                               [&](const timer_rec& t) { return t.wnd == w && t.id == id; });
        const timer_rec t{w, id, period, clock::now() + period};
        if (it == ts.end())
            ts.push_back(t);
        else
            *it = t;
    }
    r.queue->cv.notify_all();
    return true;
}

bool kill_timer(hwnd w, uintptr_t id) {
    window_rec r;
    if (!find(w, r)) return false;
    std::lock_guard<std::mutex> lk(r.queue->m);
    auto& ts = r.queue->timers;
    auto it = std::find_if(ts.begin(), ts.end(),
                           [&](const timer_rec& t) { return t.wnd == w && t.id == id; });
    if (it == ts.end()) return false;
    ts.erase(it);
    return true;
}

} // namespace gui
