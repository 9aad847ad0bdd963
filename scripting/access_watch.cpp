#include "scripting/access_watch.h"

#include "core/notify_events.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace scripting {

namespace {

// Everything that can change what a name in a directory is or holds.
constexpr uint32_t watch_mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR;

std::string without_trailing_slash(const std::string& dir) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    return d;
}

} // namespace

access_watch::access_watch(bool enabled, std::size_t max_directories)
    : max_directories_(max_directories) {
    if (enabled) fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

access_watch::~access_watch() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t access_watch::directory_count() {
    std::lock_guard<std::mutex> g(lock_);
    return by_wd_.size();
}

bool access_watch::watch(const std::string& dir_in, const std::string& name, stamp& out) {
    out = stamp{};
    if (fd_ < 0) return false;
    std::string dir = without_trailing_slash(dir_in);
    std::lock_guard<std::mutex> g(lock_);
    // Events already queued belong to the past of this stamp.
    drain_locked();
    directory* d = nullptr;
    auto it = by_path_.find(dir);
    if (it != by_path_.end()) {
        d = it->second.get();
    } else {
        if (by_wd_.size() >= max_directories_) return false;
        int wd = ::inotify_add_watch(fd_, dir.c_str(), watch_mask);
        if (wd < 0) return false;
        // A second path (through a symbolic link) to a directory already
        // watched gets the same descriptor; its names would be reported under
        // the first path only, so such paths are checked by signature instead.
        if (by_wd_.count(wd)) return false;
        auto rec = std::make_unique<directory>();
        rec->path = dir;
        rec->wd = wd;
        d = rec.get();
        by_wd_.emplace(wd, d);
        by_path_.emplace(dir, std::move(rec));
    }
    auto& slot = d->names[name];
    if (!slot) slot = std::make_shared<name_slot>();
    out.slot = slot;
    out.generation = slot->generation;
    return true;
}

void access_watch::bump_all_locked(directory& d) {
    for (auto& [n, s] : d.names)
        if (s) ++s->generation;
    ++changes_;
}

void access_watch::forget_locked(int wd) {
    auto w = by_wd_.find(wd);
    if (w == by_wd_.end()) return;
    directory* d = w->second;
    by_wd_.erase(w);
    // Its stamps stay bumped for ever; the next watch() of the path starts
    // afresh.
    bump_all_locked(*d);
    by_path_.erase(d->path);
}

void access_watch::drain_locked() {
    if (fd_ < 0) return;
    draining_.fetch_add(1);
    struct done_mark {
        std::atomic<int>& d;
        ~done_mark() { d.fetch_sub(1, std::memory_order_release); }
    } mark{draining_};
    cl::read_notify_events(fd_, [this](const inotify_event& ev) {
        if (ev.mask & IN_Q_OVERFLOW) {
            // Events were lost: nothing can be trusted.
            for (auto& [path, d] : by_path_)
                bump_all_locked(*d);
            return;
        }
        if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
            if (by_wd_.count(ev.wd)) {
                if (!(ev.mask & IN_IGNORED)) ::inotify_rm_watch(fd_, ev.wd);
                forget_locked(ev.wd);
            }
            return;
        }
        auto w = by_wd_.find(ev.wd);
        if (w == by_wd_.end()) return;
        std::string_view name = ev.len ? std::string_view(ev.name) : std::string_view();
        auto s = w->second->names.find(name);
        if (s != w->second->names.end() && s->second) {
            ++s->second->generation;
            ++changes_;
        }
    });
}

void access_watch::refresh() {
    std::lock_guard<std::mutex> g(lock_);
    drain_locked();
}

// The kernel queues a notification before the call that made the change
// returns, and reading and measuring the queue take the same lock there. So
// when the queue is empty, a change made before this call was either never
// there or taken by a read that began after draining_ was raised; with
// draining_ back at 0 that read's counts are visible here (the release of
// its end pairs with this load).
bool access_watch::nothing_pending() const {
    if (fd_ < 0) return true;
    int queued = 0;
    if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued != 0) return false;
    return draining_.load() == 0;
}

bool access_watch::compare(const std::vector<stamp>& stamps,
                           std::atomic<uint64_t>& verified_at) const {
    // Slots are bumped before the count: a count read here covers the slots
    // read after it.
    const uint64_t now = changes_.load(std::memory_order_acquire);
    if (verified_at.load(std::memory_order_relaxed) == now) return true;
    for (const stamp& s : stamps)
        if (!s.slot || s.slot->generation.load(std::memory_order_acquire) != s.generation)
            return false;
    verified_at.store(now, std::memory_order_relaxed);
    return true;
}

bool access_watch::unchanged(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at) {
    // Requests on every core check at once; the lock is taken only when
    // there is something to read.
    if (nothing_pending()) return compare(stamps, verified_at);
    std::lock_guard<std::mutex> g(lock_);
    drain_locked();
    return compare(stamps, verified_at);
}

uint64_t access_watch::change_count() {
    std::lock_guard<std::mutex> g(lock_);
    drain_locked();
    return changes_;
}

void access_watch::prune() {
    std::lock_guard<std::mutex> g(lock_);
    drain_locked();
    for (auto it = by_path_.begin(); it != by_path_.end();) {
        directory& d = *it->second;
        for (auto n = d.names.begin(); n != d.names.end();) {
            if (n->second.use_count() <= 1)
                n = d.names.erase(n);
            else
                ++n;
        }
        if (d.names.empty()) {
            ::inotify_rm_watch(fd_, d.wd);
            by_wd_.erase(d.wd);
            it = by_path_.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace scripting
