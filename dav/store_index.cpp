#include "dav/store_index.h"

#include "core/notify_events.h"
#include "core/text.h"
#include "core/tree_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace {

// Everything that can change which names a folder holds or what a file is.
constexpr uint32_t watch_mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK;

// Beyond this many changed names before the next request, reading the whole
// folder again is cheaper than looking at each.
constexpr std::size_t max_dirty_names = 4096;

std::string without_trailing_slash(const std::string& dir) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    return d;
}

// The state of one name (fstatat without following a final link first, so a
// link is known as one).
bool describe(int dir_fd, const char* name, indexed_entry& e) {
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    e.link = S_ISLNK(st.st_mode);
    if (e.link && ::fstatat(dir_fd, name, &st, 0) != 0) {
        e.folder = false;
        e.identity = {};
        return true;
    }
    e.folder = S_ISDIR(st.st_mode);
    e.identity = S_ISREG(st.st_mode) ? object_identity_of(st) : object_identity{};
    if (S_ISREG(st.st_mode) && !e.link) e.memo = std::make_shared<entry_memo>();
    return true;
}

// A name read from the folder, as the index keeps it.
indexed_entry named(std::string_view name) {
    indexed_entry e;
    e.name = name;
    e.wide = cl::utf8_to_utf16(e.name);
    return e;
}

} // namespace

struct store_index::folder_state {
    std::string path;
    int wd = -1;
    // Guarded by the index's lock: what notifications said since the last
    // refresh.
    bool rescan = true;
    std::set<std::string, std::less<>> dirty;
    // Guarded by refresh_lock: the entries and the list handed out.
    std::mutex refresh_lock;
    std::map<std::string, indexed_entry, std::less<>> entries;
    std::shared_ptr<const indexed_entries> snapshot;
    bool has_links = false;
};

struct store_index::impl {
    std::mutex lock;
    int fd = -1;
    std::size_t max_folders = 0;
    std::unordered_map<std::string, std::shared_ptr<folder_state>> by_path;
    std::unordered_map<int, std::shared_ptr<folder_state>> by_wd;
};

store_index::store_index(bool enabled, std::size_t max_folders) : impl_(std::make_unique<impl>()) {
    impl_->max_folders = max_folders;
    if (enabled) impl_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

store_index::~store_index() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

std::size_t store_index::folder_count() {
    std::lock_guard<std::mutex> g(impl_->lock);
    drain_locked();
    return impl_->by_wd.size();
}

void store_index::forget_locked(int wd) {
    auto it = impl_->by_wd.find(wd);
    if (it == impl_->by_wd.end()) return;
    impl_->by_path.erase(it->second->path);
    impl_->by_wd.erase(it);
}

void store_index::forget_all_locked() {
    for (auto& [wd, f] : impl_->by_wd)
        ::inotify_rm_watch(impl_->fd, wd);
    impl_->by_wd.clear();
    impl_->by_path.clear();
}

void store_index::drain_locked() {
    cl::read_notify_events(
        impl_->fd,
        [this](const inotify_event& ev) {
            if (ev.mask & IN_Q_OVERFLOW) {
                // Notifications were lost: every folder is read again.
                for (auto& [wd, f] : impl_->by_wd) {
                    f->rescan = true;
                    f->dirty.clear();
                }
                return;
            }
            if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                // The folder itself went: a folder made later under the same
                // path is a new one.
                if (!(ev.mask & IN_IGNORED)) ::inotify_rm_watch(impl_->fd, ev.wd);
                forget_locked(ev.wd);
                return;
            }
            auto it = impl_->by_wd.find(ev.wd);
            if (it == impl_->by_wd.end() || !ev.len) return;
            folder_state& f = *it->second;
            if (f.rescan) return;
            if (f.dirty.size() >= max_dirty_names) {
                f.rescan = true;
                f.dirty.clear();
                return;
            }
            f.dirty.emplace(ev.name);
        },
        4096);
}

std::shared_ptr<const indexed_entries> store_index::list(const std::string& folder_in) {
    if (impl_->fd < 0) return nullptr;
    const std::string path = without_trailing_slash(folder_in);
    std::shared_ptr<folder_state> f;
    bool rescan = false;
    std::set<std::string, std::less<>> dirty;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        // Every change made before this request is queued by now.
        drain_locked();
        auto it = impl_->by_path.find(path);
        if (it != impl_->by_path.end()) {
            f = it->second;
        } else {
            if (impl_->by_wd.size() >= impl_->max_folders) forget_all_locked();
            // Watched before it is read: a change while it is read is
            // noted and looked at next time.
            const int wd = ::inotify_add_watch(impl_->fd, path.c_str(), watch_mask);
            if (wd < 0) return nullptr;
            // A second path (a link) to a folder already watched: its names
            // would be reported for the first path only.
            if (impl_->by_wd.count(wd)) return nullptr;
            f = std::make_shared<folder_state>();
            f->path = path;
            f->wd = wd;
            impl_->by_wd.emplace(wd, f);
            impl_->by_path.emplace(path, f);
        }
    }
    std::lock_guard<std::mutex> r(f->refresh_lock);
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        rescan = f->rescan;
        dirty.swap(f->dirty);
        f->rescan = false;
    }
    if (f->snapshot && !rescan && dirty.empty() && !f->has_links) return f->snapshot;
    const int dir_fd = cl::open_tree_file(path, O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) {
        std::lock_guard<std::mutex> g(impl_->lock);
        f->rescan = true;
        return nullptr;
    }
    if (rescan || !f->snapshot) {
        f->entries.clear();
        const int list_fd = ::dup(dir_fd);
        DIR* d = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr;
        if (!d) {
            if (list_fd >= 0) ::close(list_fd);
            ::close(dir_fd);
            std::lock_guard<std::mutex> g(impl_->lock);
            f->rescan = true;
            return nullptr;
        }
        while (const dirent* de = ::readdir(d)) {
            const std::string_view name = de->d_name;
            if (name == "." || name == "..") continue;
            indexed_entry e = named(name);
            if (describe(dir_fd, de->d_name, e)) f->entries.emplace(e.name, std::move(e));
        }
        ::closedir(d);
    } else {
        for (const std::string& name : dirty) {
            indexed_entry e = named(name);
            if (describe(dir_fd, name.c_str(), e))
                f->entries[name] = std::move(e);
            else
                f->entries.erase(name);
        }
        // What a link leads to is looked at again each time.
        for (auto& [name, e] : f->entries)
            if (e.link && !describe(dir_fd, name.c_str(), e)) e.identity = {};
    }
    ::close(dir_fd);
    auto list = std::make_shared<indexed_entries>();
    list->reserve(f->entries.size());
    f->has_links = false;
    for (const auto& [name, e] : f->entries) {
        list->push_back(e);
        f->has_links = f->has_links || e.link;
    }
    f->snapshot = std::move(list);
    return f->snapshot;
}

store_index& the_store_index() {
    static store_index index;
    return index;
}
