#include "core/tree_root.h"

#include "core/text.h"
#include "platform/win32/open_beneath.h"
#include "platform/win32/replace_file.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace cl {

namespace {

std::mutex root_lock;
std::wstring root_text;
std::shared_ptr<const tree_root> shared_root;
// Raised by each naming of the root, and when a root that could not be
// opened is retried.
std::atomic<uint64_t> root_changes{1};

} // namespace

tree_root::tree_root(std::string text, uint64_t generation)
    : text_(std::move(text)), generation_(generation) {
    while (text_.size() > 1 && text_.back() == '/')
        text_.pop_back();
    if (text_.empty()) return;
    fd_ = ::open(text_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) real_ = win32::descriptor_path(fd_);
    if (real_.empty() && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

tree_root::~tree_root() {
    if (fd_ >= 0) ::close(fd_);
}

bool tree_root::contains(std::string_view path, std::string_view& rest) const {
    if (text_.empty() || path.compare(0, text_.size(), text_) != 0) return false;
    if (text_ == "/") {
        rest = path.substr(1);
        return true;
    }
    if (path.size() > text_.size() && path[text_.size()] != '/') return false;
    rest = path.substr(text_.size());
    return true;
}

int tree_root::open(std::string_view rest, int flags, mode_t mode) const {
    return win32::open_beneath(fd_, real_, rest, flags, mode);
}

int tree_root::open_parent(std::string_view rest, int flags, std::string& leaf) const {
    return win32::open_parent_beneath(fd_, real_, rest, flags, leaf);
}

int open_tree_file(const std::string& path, int flags, mode_t mode) {
    const std::shared_ptr<const tree_root>& tree = document_tree();
    std::string_view rest;
    if (tree && tree->contains(path, rest)) return tree->open(rest, flags, mode);
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

int open_tree_parent(const std::string& path, int flags, std::string& leaf) {
    const std::shared_ptr<const tree_root>& tree = document_tree();
    std::string_view rest;
    if (tree && tree->contains(path, rest)) return tree->open_parent(rest, flags, leaf);
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::size_t slash = p.rfind('/');
    leaf = slash == std::string::npos ? p : p.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") {
        errno = EINVAL;
        return -1;
    }
    const std::string dir = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? "/"
                                                       : p.substr(0, slash);
    return ::open(dir.c_str(), flags | O_DIRECTORY | O_CLOEXEC);
}

bool replace_tree_file(const std::string& path, std::string_view data, mode_t mode) {
    std::string leaf;
    const int dir = open_tree_parent(path, O_RDONLY, leaf);
    if (dir < 0) return false;
    const bool done = win32::replace_file_contents_at(dir, leaf, data, mode);
    ::close(dir);
    return done;
}

bool descriptor_in_tree(int fd) {
    const std::shared_ptr<const tree_root>& tree = document_tree();
    return !tree || win32::path_within(win32::descriptor_path(fd), tree->real());
}

void set_document_tree(const std::wstring& dir) {
    std::lock_guard<std::mutex> g(root_lock);
    root_text = dir;
    root_changes.fetch_add(1, std::memory_order_release);
}

const std::shared_ptr<const tree_root>& document_tree() {
    thread_local std::shared_ptr<const tree_root> mine;
    thread_local uint64_t seen = 0;
    const uint64_t now = root_changes.load(std::memory_order_acquire);
    if (now == seen) return mine;
    std::lock_guard<std::mutex> g(root_lock);
    const uint64_t current = root_changes.load(std::memory_order_acquire);
    if (!shared_root || shared_root->generation() != current) {
        shared_root = root_text.empty()
                          ? nullptr
                          : std::make_shared<const tree_root>(utf16_to_utf8(root_text), current);
        // A root that does not exist yet is tried again on the next call.
        if (shared_root && shared_root->fd() < 0)
            root_changes.fetch_add(1, std::memory_order_release);
    }
    mine = shared_root;
    seen = current;
    return mine;
}

} // namespace cl
