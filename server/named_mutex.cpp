#include "server/named_mutex.h"

#include <chrono>
#include <map>

namespace {

struct mutex_table {
    std::mutex lock;
    std::map<std::wstring, std::weak_ptr<named_mutex>> entries;
};

mutex_table& table() {
    static mutex_table t;
    return t;
}

} // namespace

std::shared_ptr<named_mutex> named_mutex::create(const std::wstring& name, const void* owner,
                                                 bool initial_owner, bool* existed) {
    mutex_table& t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    auto& slot = t.entries[name];
    if (auto found = slot.lock()) {
        if (existed) *existed = true;
        return found;
    }
    auto made = std::make_shared<named_mutex>(name);
    if (initial_owner) {
        made->owner_ = owner;
        made->count_ = 1;
    }
    slot = made;
    if (existed) *existed = false;
    // Drop the entries of mutexes nobody holds any more.
    for (auto it = t.entries.begin(); it != t.entries.end();) {
        if (it->second.expired())
            it = t.entries.erase(it);
        else
            ++it;
    }
    return made;
}

named_mutex::~named_mutex() = default;

bool named_mutex::wait(const void* owner, uint32_t ms) {
    std::unique_lock<std::mutex> hold(m_);
    if (count_ > 0 && owner_ == owner) {
        ++count_;
        return true;
    }
    const auto free = [this] { return count_ == 0; };
    if (ms == 0xFFFFFFFFu)
        cv_.wait(hold, free);
    else if (!cv_.wait_for(hold, std::chrono::milliseconds(ms), free))
        return false;
    owner_ = owner;
    count_ = 1;
    return true;
}

bool named_mutex::release(const void* owner) {
    {
        std::lock_guard<std::mutex> hold(m_);
        if (count_ == 0 || owner_ != owner) return false;
        if (--count_ > 0) return true;
        owner_ = nullptr;
    }
    cv_.notify_one();
    return true;
}

bool named_mutex::owned_by(const void* owner) const {
    std::lock_guard<std::mutex> hold(m_);
    return count_ > 0 && owner_ == owner;
}
