#include "core/sync.h"

#include <map>
#include <mutex>

namespace cl {

namespace {
// Named events never cross processes here; one table serves every name, and an
// entry lives as long as some event holds it.
std::mutex names_lock_;
std::map<std::wstring, std::weak_ptr<win32::event_object>>& named_events() {
    static auto* m = new std::map<std::wstring, std::weak_ptr<win32::event_object>>;
    return *m;
}
} // namespace

event::event(const std::wstring& name, const void* security) {
    create(name, security);
}

event::~event() {
    if (!named_) return;
    std::lock_guard lk(names_lock_);
    obj_.reset();
    auto& m = named_events();
    for (auto it = m.begin(); it != m.end();) {
        if (it->second.expired())
            it = m.erase(it);
        else
            ++it;
    }
}

bool event::create(const std::wstring& name, const void*) {
    named_ = !name.empty();
    if (!named_) {
        obj_ = std::make_shared<win32::event_object>(true, false);
        return true;
    }
    std::lock_guard lk(names_lock_);
    auto& slot = named_events()[name];
    obj_ = slot.lock();
    if (!obj_) {
        obj_ = std::make_shared<win32::event_object>(true, false);
        slot = obj_;
    }
    return true;
}

bool event::set() {
    if (!obj_) return false;
    obj_->set();
    return true;
}

bool event::reset() {
    if (!obj_) return false;
    obj_->reset();
    return true;
}

uint32_t event::wait(uint32_t ms) {
    if (!obj_) return win32::wait_failed;
    return obj_->wait(ms);
}

} // namespace cl
