#include "scripting/access_watch.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
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

access_watch::access_watch(bool enabled, std::size_t max_directories, bool background)
    : max_directories_(max_directories), background_(background) {
    if (enabled) fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

access_watch::~access_watch() {
    if (watcher_.joinable()) {
        const uint64_t one = 1;
        while (::write(stop_fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        watcher_.join();
    }
    if (stop_fd_ >= 0) ::close(stop_fd_);
    if (fd_ >= 0) ::close(fd_);
}

void access_watch::start_watcher_locked() {
    if (!background_ || watcher_.joinable() || fd_ < 0) return;
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ >= 0) {
        try {
            watcher_ = std::thread([this] { watcher_body(); });
            return;
        } catch (const std::system_error&) {
            ::close(stop_fd_);
            stop_fd_ = -1;
        }
    }
    // No thread: every check reads the descriptor itself.
    background_ = false;
}

void access_watch::watcher_body() {
    // Applying a change must not wait behind the request threads that the
    // change concerns; where the system refuses the priority, the thread runs
    // as any other.
    sched_param p{};
    p.sched_priority = 1;
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &p);
    ::pthread_setname_np(::pthread_self(), "access watch");
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno != EINTR) return;
        if (n <= 0) continue;
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        std::lock_guard<std::mutex> g(lock_);
        drain_locked();
        batches_.fetch_add(1, std::memory_order_release);
    }
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
        start_watcher_locked();
    }
    auto& slot = d->names[name];
    if (!slot) slot = std::make_shared<name_slot>();
    out.slot = slot;
    out.generation = slot->generation.load(std::memory_order_relaxed);
    return true;
}

void access_watch::bump_all_locked(directory& d) {
    for (auto& [n, s] : d.names)
        if (s) s->generation.fetch_add(1, std::memory_order_relaxed);
    changes_.fetch_add(1, std::memory_order_release);
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
    alignas(inotify_event) char buf[16384];
    for (int round = 0; round < 1024; ++round) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                // Events were lost: nothing can be trusted.
                for (auto& [path, d] : by_path_)
                    bump_all_locked(*d);
                continue;
            }
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                if (by_wd_.count(ev->wd)) {
                    if (!(ev->mask & IN_IGNORED)) ::inotify_rm_watch(fd_, ev->wd);
                    forget_locked(ev->wd);
                }
                continue;
            }
            auto w = by_wd_.find(ev->wd);
            if (w == by_wd_.end()) continue;
            std::string_view name = ev->len ? std::string_view(ev->name) : std::string_view();
            auto bump = [&](directory& d) {
                auto s = d.names.find(name);
                if (s != d.names.end() && s->second) {
                    s->second->generation.fetch_add(1, std::memory_order_relaxed);
                    changes_.fetch_add(1, std::memory_order_release);
                }
            };
            bump(*w->second);
        }
    }
}

void access_watch::refresh() {
    std::lock_guard<std::mutex> g(lock_);
    drain_locked();
}

bool access_watch::unchanged(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at) {
    if (!background_) {
        std::lock_guard<std::mutex> g(lock_);
        drain_locked();
    }
    // The count first: a slot bumped after it was read shows in the
    // comparison below or, if bumped later still, in a count that differs
    // from the one stored on the next check.
    const uint64_t count = changes_.load(std::memory_order_acquire);
    if (verified_at.load(std::memory_order_relaxed) == count) return true;
    for (const stamp& s : stamps)
        if (!s.slot || s.slot->generation.load(std::memory_order_relaxed) != s.generation)
            return false;
    verified_at.store(count, std::memory_order_relaxed);
    return true;
}

uint64_t access_watch::change_count() {
    std::lock_guard<std::mutex> g(lock_);
    drain_locked();
    return changes_.load(std::memory_order_relaxed);
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
