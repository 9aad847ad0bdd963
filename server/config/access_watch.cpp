#include "server/config/access_watch.h"

#include "core/notify_events.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace server_config {

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

// A thread's own descriptor raises the flag of its number from the signal
// handler; the thread lowers it before it reads the queue.
constexpr int max_raised_fd = 65536;
std::atomic<uint8_t> raised[max_raised_fd];
// Descriptors are counted per user (128 by default) and shared with every
// other program of that user: beyond this many, threads check the shared one.
constexpr std::size_t max_own_sources = 8;

void on_notice(int, siginfo_t* info, void*) {
    const int fd = info ? info->si_fd : -1;
    if (fd < 0 || fd >= max_raised_fd) return;
    raised[fd].store(1, std::memory_order_relaxed);
    // One notice until the thread has read its queue: a stream of changes
    // (a link flipped in a loop) must not interrupt it for every one. Only
    // the notice flag is cleared, whatever the descriptor is by now.
    const int saved = errno;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_ASYNC)) ::fcntl(fd, F_SETFL, flags & ~O_ASYNC);
    errno = saved;
}

// When the queue of signals is full the system sends a plain SIGIO, which
// names no descriptor: every thread reads its queue then.
void on_sigio(int) {
    for (auto& r : raised)
        r.store(1, std::memory_order_relaxed);
}

bool is_default(int sig) {
    struct sigaction old {};
    return ::sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
           old.sa_handler == SIG_DFL;
}

// The signal that change notices come with; 0 when none can be had (another
// part of the process handles it already).
int notice_signal() {
    static const int sig = [] {
        const int s = SIGRTMIN + 5;
        if (s > SIGRTMAX || !is_default(s) || !is_default(SIGIO)) return 0;
        struct sigaction act {};
        sigemptyset(&act.sa_mask);
        act.sa_flags = SA_SIGINFO | SA_RESTART;
        act.sa_sigaction = on_notice;
        struct sigaction io {};
        sigemptyset(&io.sa_mask);
        io.sa_flags = SA_RESTART;
        io.sa_handler = on_sigio;
        if (::sigaction(SIGIO, &io, nullptr) != 0 || ::sigaction(s, &act, nullptr) != 0) return 0;
        return s;
    }();
    return sig;
}

long this_thread_id() {
    thread_local const long id = ::syscall(SYS_gettid);
    return id;
}

int queued_bytes(int fd) {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) return 1;
    return queued;
}

// Watches alive, by number: a thread that ends tells those it has a
// descriptor of.
std::mutex registry_lock;
std::unordered_map<uint64_t, access_watch*>& registry() {
    static auto* r = new std::unordered_map<uint64_t, access_watch*>();
    return *r;
}
std::atomic<uint64_t> next_id{1};

struct thread_sources {
    // The watch last asked on this thread and its source for this thread.
    uint64_t owner = 0;
    void* source = nullptr;
    std::vector<uint64_t> made;
    ~thread_sources() {
        if (made.empty()) return;
        std::lock_guard<std::mutex> g(registry_lock);
        for (uint64_t id : made) {
            auto w = registry().find(id);
            if (w != registry().end()) w->second->thread_ended(this_thread_id());
        }
    }
};
thread_local thread_sources this_thread_sources;

} // namespace

access_watch::access_watch(bool enabled, std::size_t max_directories, bool (*signalled_thread)())
    : id_(next_id.fetch_add(1)), signalled_thread_(signalled_thread),
      max_directories_(max_directories) {
    if (enabled) shared_.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::lock_guard<std::mutex> g(registry_lock);
    registry().emplace(id_, this);
}

access_watch::~access_watch() {
    {
        std::lock_guard<std::mutex> g(registry_lock);
        registry().erase(id_);
    }
    if (shared_.fd >= 0) ::close(shared_.fd);
    for (auto& s : own_)
        ::close(s->fd);
}

std::size_t access_watch::directory_count() {
    std::lock_guard<std::mutex> g(lock_);
    return by_path_.size();
}

std::size_t access_watch::signalled_thread_count() {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<std::size_t>(
        std::count_if(own_.begin(), own_.end(), [](const auto& s) { return s->usable.load(); }));
}

bool access_watch::add_to_source_locked(source& s, directory& d) {
    const int wd = ::inotify_add_watch(s.fd, d.path.c_str(), watch_mask);
    if (wd < 0 || s.by_wd.count(wd)) return false;
    s.by_wd.emplace(wd, &d);
    s.wd_of.emplace(&d, wd);
    return true;
}

bool access_watch::watch(const std::string& dir_in, const std::string& name, stamp& out) {
    out = stamp{};
    if (shared_.fd < 0) return false;
    std::string dir = without_trailing_slash(dir_in);
    std::lock_guard<std::mutex> g(lock_);
    // Events already queued belong to the past of this stamp. A change while
    // the directory is being added to each descriptor is older than the
    // stamp too: the caller reads the files after stamping.
    drain_locked();
    // What the path names now: a watch belongs to one folder, not to its
    // name.
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    directory* d = nullptr;
    auto it = by_path_.find(dir);
    if (it != by_path_.end() &&
        (it->second->device != uint64_t(st.st_dev) || it->second->inode != uint64_t(st.st_ino))) {
        // The old folder is gone (its removal may not be reported while a
        // file of it is open): its stamps stay changed for ever.
        forget_locked(*it->second);
        bump_all_locked(*it->second);
        by_path_.erase(it);
        it = by_path_.end();
    }
    if (it != by_path_.end()) {
        d = it->second.get();
    } else {
        if (by_path_.size() >= max_directories_) return false;
        auto rec = std::make_unique<directory>();
        rec->path = dir;
        rec->device = uint64_t(st.st_dev);
        rec->inode = uint64_t(st.st_ino);
        // A second path (through a symbolic link) to a directory already
        // watched gets the same descriptor; its names would be reported under
        // the first path only, so such paths are checked by signature instead.
        if (!add_to_source_locked(shared_, *rec)) return false;
        // The path changed between the look and the watch: the watch may be
        // on another folder, so the path is checked by signature instead.
        struct stat again {};
        if (::stat(dir.c_str(), &again) != 0 || again.st_dev != st.st_dev ||
            again.st_ino != st.st_ino) {
            forget_locked(*rec);
            return false;
        }
        d = rec.get();
        by_path_.emplace(dir, std::move(rec));
        // A thread whose own descriptor cannot follow checks the shared one.
        for (auto& s : own_)
            if (s->usable.load(std::memory_order_relaxed) && !add_to_source_locked(*s, *d))
                s->usable.store(false, std::memory_order_release);
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

void access_watch::forget_locked(directory& d) {
    for (source* s : sources_locked()) {
        auto w = s->wd_of.find(&d);
        if (w == s->wd_of.end()) continue;
        // Gone already when the system ended it; then this does nothing.
        ::inotify_rm_watch(s->fd, w->second);
        s->by_wd.erase(w->second);
        s->wd_of.erase(w);
    }
}

std::vector<access_watch::source*> access_watch::sources_locked() {
    std::vector<source*> all{&shared_};
    for (auto& s : own_)
        all.push_back(s.get());
    return all;
}

void access_watch::drain_locked(source& s) {
    if (s.fd < 0) return;
    const bool shared = &s == &shared_;
    if (shared) draining_.fetch_add(1);
    struct done_mark {
        std::atomic<int>* d;
        ~done_mark() {
            if (d) d->fetch_sub(1, std::memory_order_release);
        }
    } mark{shared ? &draining_ : nullptr};
    cl::read_notify_events(s.fd, [this, &s](const inotify_event& ev) {
        if (ev.mask & IN_Q_OVERFLOW) {
            // Events were lost: nothing can be trusted.
            for (auto& [path, d] : by_path_)
                bump_all_locked(*d);
            return;
        }
        auto w = s.by_wd.find(ev.wd);
        if (w == s.by_wd.end()) return;
        directory& d = *w->second;
        if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
            // Its stamps stay bumped for ever; the next watch() of the path
            // starts afresh.
            forget_locked(d);
            bump_all_locked(d);
            const std::string path = d.path;
            by_path_.erase(path);
            return;
        }
        std::string_view name = ev.len ? std::string_view(ev.name) : std::string_view();
        auto n = d.names.find(name);
        if (n != d.names.end() && n->second) {
            ++n->second->generation;
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
    if (shared_.fd < 0) return true;
    if (queued_bytes(shared_.fd) != 0) return false;
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

access_watch::source* access_watch::make_source_locked(long thread) {
    const int sig = notice_signal();
    if (sig == 0 || own_.size() >= max_own_sources) return nullptr;
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    f_owner_ex owner{F_OWNER_TID, static_cast<pid_t>(thread)};
    if (fd >= max_raised_fd || ::fcntl(fd, F_SETSIG, sig) != 0 ||
        ::fcntl(fd, F_SETOWN_EX, &owner) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK | O_ASYNC) != 0) {
        ::close(fd);
        return nullptr;
    }
    // The first check reads whatever the shared descriptor holds.
    raised[fd].store(1, std::memory_order_relaxed);
    auto s = std::make_unique<source>();
    s->fd = fd;
    s->thread = thread;
    for (auto& [path, d] : by_path_)
        if (!add_to_source_locked(*s, *d)) {
            ::close(fd);
            return nullptr;
        }
    own_.push_back(std::move(s));
    return own_.back().get();
}

access_watch::source* access_watch::own_source() {
    thread_sources& t = this_thread_sources;
    if (t.owner == id_) return static_cast<source*>(t.source);
    source* found = nullptr;
    if (signalled_thread_ && shared_.fd >= 0 && signalled_thread_() && notice_signal() != 0) {
        // The notice must reach this thread however its mask was inherited.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, notice_signal());
        sigaddset(&set, SIGIO);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        const long tid = this_thread_id();
        std::lock_guard<std::mutex> g(lock_);
        for (auto& s : own_)
            if (s->thread == tid) found = s.get();
        if (!found) found = make_source_locked(tid);
        if (found && std::find(t.made.begin(), t.made.end(), id_) == t.made.end())
            t.made.push_back(id_);
    }
    t.owner = id_;
    t.source = found;
    return found;
}

void access_watch::thread_ended(long thread) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = own_.begin(); it != own_.end(); ++it)
        if ((*it)->thread == thread) {
            ::close((*it)->fd);
            own_.erase(it);
            return;
        }
}

bool access_watch::unchanged(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at) {
    // A loop checks for a request that it has read itself: a notification
    // queued before that read signalled this thread, and the signal was
    // handled before the read returned, raising the flag. (A descriptor that
    // misses a directory is left alone; its thread checks the shared one.)
    source* s = own_source();
    if (s && s->usable.load(std::memory_order_acquire)) {
        if (raised[s->fd].load(std::memory_order_relaxed) == 0) return compare(stamps, verified_at);
        std::lock_guard<std::mutex> g(lock_);
        // Lowered, then armed again, then read: a change queued after the
        // read began raises the flag anew.
        raised[s->fd].store(0, std::memory_order_relaxed);
        ::fcntl(s->fd, F_SETFL, O_NONBLOCK | O_ASYNC);
        drain_locked(*s);
        // A queue read only in part keeps the flag up.
        if (queued_bytes(s->fd) != 0) raised[s->fd].store(1, std::memory_order_relaxed);
        drain_locked();
        return compare(stamps, verified_at);
    }
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
            forget_locked(d);
            it = by_path_.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace server_config
