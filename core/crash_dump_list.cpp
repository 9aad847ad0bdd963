#include "core/crash_dump_list.h"

#include <algorithm>
#include <mutex>

namespace cl {

namespace {

struct block_list {
    std::mutex lock;
    std::vector<std::pair<const void*, size_t>> blocks;
    crash_dump_observer observer = nullptr;
};

// Never destroyed: sinks of other static objects register and unregister
// blocks until the very end of the process.
block_list& list() {
    static auto* l = new block_list;
    return *l;
}

} // namespace

void crash_dump_add_memory(const void* address, size_t size) {
    if (!address || !size) return;
    auto& l = list();
    std::lock_guard lk(l.lock);
    if (l.observer) l.observer(address, size);
    for (auto& b : l.blocks)
        if (b.first == address) {
            b.second = size;
            return;
        }
    l.blocks.emplace_back(address, size);
}

bool crash_dump_remove_memory(const void* address) {
    auto& l = list();
    std::lock_guard lk(l.lock);
    auto it = std::find_if(l.blocks.begin(), l.blocks.end(),
                           [&](const auto& b) { return b.first == address; });
    if (it == l.blocks.end()) return false;
    l.blocks.erase(it);
    if (l.observer) l.observer(address, 0);
    return true;
}

void set_crash_dump_observer(crash_dump_observer observer) {
    auto& l = list();
    std::lock_guard lk(l.lock);
    l.observer = observer;
    if (observer)
        for (const auto& b : l.blocks)
            observer(b.first, b.second);
}

std::vector<std::pair<const void*, size_t>> crash_dump_memory_list() {
    auto& l = list();
    std::lock_guard lk(l.lock);
    return l.blocks;
}

} // namespace cl
