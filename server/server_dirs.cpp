#include "server/server_dirs.h"

#include "core/path.h"
#include "core/text.h"
#include "core/tree_root.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex dirs_lock;
std::wstring public_dir_value;
std::atomic<uint64_t> public_dir_changes{0};
std::wstring data_dir_value;
std::wstring media_dir_value;
std::wstring private_dir_value;
std::wstring caldav_prefix_value = L"caldav_";
std::wstring carddav_prefix_value = L"carddav_";
std::string server_software_value;
std::atomic<int> trace_level_value{1};
} // namespace

std::wstring public_dir() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return public_dir_value;
}

void set_public_dir(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(dirs_lock);
    public_dir_value = cl::with_backslash(dir);
    public_dir_changes.fetch_add(1, std::memory_order_release);
    cl::set_document_tree(dir);
}

uint64_t public_dir_generation() {
    return public_dir_changes.load(std::memory_order_acquire);
}

std::wstring data_dir() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return data_dir_value;
}

void set_data_dir(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(dirs_lock);
    data_dir_value = cl::with_backslash(dir);
}

std::wstring media_dir() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return media_dir_value;
}

void set_media_dir(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(dirs_lock);
    media_dir_value = dir.empty() ? dir : cl::with_backslash(dir);
}

std::wstring private_dir() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return private_dir_value;
}

void set_private_dir(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(dirs_lock);
    private_dir_value = dir.empty() ? dir : cl::with_backslash(dir);
}

std::string public_dir_utf8() {
    return cl::utf16_to_utf8(public_dir());
}
std::string media_dir_utf8() {
    return cl::utf16_to_utf8(media_dir());
}
std::string private_dir_utf8() {
    return cl::utf16_to_utf8(private_dir());
}

std::wstring caldav_prefix() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return caldav_prefix_value;
}

void set_caldav_prefix(const std::wstring& prefix) {
    std::lock_guard<std::mutex> g(dirs_lock);
    caldav_prefix_value = prefix;
}

std::wstring carddav_prefix() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return carddav_prefix_value;
}

void set_carddav_prefix(const std::wstring& prefix) {
    std::lock_guard<std::mutex> g(dirs_lock);
    carddav_prefix_value = prefix;
}

std::string server_software() {
    std::lock_guard<std::mutex> g(dirs_lock);
    return server_software_value;
}

void set_server_software(const std::string& text) {
    std::lock_guard<std::mutex> g(dirs_lock);
    server_software_value = text;
}

int trace_level() {
    return trace_level_value.load(std::memory_order_relaxed);
}
void set_trace_level(int level) {
    trace_level_value.store(level, std::memory_order_relaxed);
}
