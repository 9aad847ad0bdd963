// The message queue of a script's thread: other threads post work (events of
// connected objects) that runs on the script's thread while it sleeps or
// waits, as a window thread runs posted messages while it pumps.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace scripting::objects {

class thread_queue {
  public:
    // The calling thread's queue (made on first use, gone with the thread).
    static std::shared_ptr<thread_queue> current();

    void post(std::function<void()> task);
    // Makes a pump look at its condition again.
    void wake();
    bool on_own_thread() const { return owner_ == std::this_thread::get_id(); }
    // On the owning thread: runs posted work until done() holds (true) or ms
    // milliseconds passed (false; 0xFFFFFFFF: no end). done() is asked with
    // the queue locked, so a wake() after a change cannot be missed.
    bool pump(const std::function<bool()>& done, uint32_t ms);
    // Runs what is posted now, without waiting.
    void run_posted();

    explicit thread_queue(std::thread::id owner) : owner_(owner) {}

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    uint64_t wakes_ = 0;
    std::thread::id owner_;
};

} // namespace scripting::objects
