// Critical sections with a scoped lock, and the manual-reset event that
// worker threads and timers wait on.
#pragma once
#include "platform/win32/sync.h"

#include <memory>
#include <string>

namespace cl {

class critical_section {
  public:
    critical_section() = default;
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;
    void enter() { cs_.enter(); }
    void leave() { cs_.leave(); }
    bool try_enter() { return cs_.try_enter(); }
    void lock() { cs_.enter(); }
    void unlock() { cs_.leave(); }

  private:
    win32::critical_section cs_;
};

// A scoped hold on a critical section that its holder may drop around slow
// work and take again.
class cs_lock {
  public:
    explicit cs_lock(critical_section& cs, bool lock_now = true) : cs_(&cs) {
        if (lock_now) lock();
    }
    ~cs_lock() { unlock(); }
    cs_lock(const cs_lock&) = delete;
    cs_lock& operator=(const cs_lock&) = delete;
    void lock() {
        if (!held_) {
            cs_->enter();
            held_ = true;
        }
    }
    void unlock() {
        if (held_) {
            held_ = false;
            cs_->leave();
        }
    }
    bool held() const { return held_; }

  private:
    bool held_ = false;
    critical_section* cs_;
};

using event_handle = win32::event_object*;

class event_base {
  public:
    virtual ~event_base() = default;
    virtual bool set() = 0;
    virtual bool reset() = 0;
    // win32::wait_object_0 when set within ms milliseconds, else win32::wait_timeout.
    virtual uint32_t wait(uint32_t ms) = 0;
    virtual uint32_t wait() = 0;
    virtual event_handle handle() const = 0;
};

// A manual-reset event that starts not signalled. Events with the same
// non-empty name share one underlying object within the process.
class event : public event_base {
  public:
    explicit event(const std::wstring& name = std::wstring(), const void* security = nullptr);
    event(const event&) = delete;
    event& operator=(const event&) = delete;
    ~event() override;

    bool create(const std::wstring& name = std::wstring(), const void* security = nullptr);
    bool set() override;
    bool reset() override;
    uint32_t wait(uint32_t ms) override;
    uint32_t wait() override { return wait(win32::infinite); }
    event_handle handle() const override { return obj_.get(); }
    bool is_set() { return obj_ && wait(0) == win32::wait_object_0; }

  private:
    std::shared_ptr<win32::event_object> obj_;
    bool named_ = false;
};

} // namespace cl
