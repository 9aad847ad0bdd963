#include "scripting/objects/thread_queue.h"

#include "core/trace.h"

namespace scripting::objects {

std::shared_ptr<thread_queue> thread_queue::current() {
    thread_local std::shared_ptr<thread_queue> q =
        std::make_shared<thread_queue>(std::this_thread::get_id());
    return q;
}

void thread_queue::post(std::function<void()> task) {
    {
        std::lock_guard lk(m_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
}

void thread_queue::wake() {
    {
        std::lock_guard lk(m_);
        ++wakes_;
    }
    cv_.notify_all();
}

void thread_queue::run_posted() {
    pump([] { return true; }, 0);
}

bool thread_queue::pump(const std::function<bool()>& done, uint32_t ms) {
    const bool forever = ms == 0xFFFFFFFFu;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lk(m_);
    for (;;) {
        while (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lk.unlock();
            try {
                task();
            } catch (const std::exception& e) {
                cl::trace_out.write(std::string("thread_queue: task failed: ") + e.what() + "\n");
            }
            lk.lock();
        }
        if (done()) return true;
        const uint64_t seen = wakes_;
        const auto ready = [&] { return !tasks_.empty() || wakes_ != seen; };
        if (forever) {
            cv_.wait(lk, ready);
        } else if (!cv_.wait_until(lk, deadline, ready)) {
            return done();
        }
    }
}

} // namespace scripting::objects
