#include "server/server_dirs.h"

#include "core/path.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex dirs_lock;
std::wstring public_dir_value;
std::wstring data_dir_value;
std::atomic<int> trace_level_value{1};
} // namespace

std::wstring public_dir() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return public_dir_value;
}

void set_public_dir(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(dirs_lock);
    public_dir_value = cl::with_backslash(dir);
}

std::wstring data_dir() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return data_dir_value;
}

void set_data_dir(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(dirs_lock);
    data_dir_value = cl::with_backslash(dir);
}

int trace_level() {
    return trace_level_value.load(std::memory_order_relaxed);
}
void set_trace_level(int level) {
    trace_level_value.store(level, std::memory_order_relaxed);
}
