#include "media/media_store.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "platform/win32/open_beneath.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

int g_trace_level = 1;

bool begins_with(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool media_type(const std::string& mime) {
    auto starts = [&](std::string_view p) {
        return mime.size() >= p.size() &&
               cl::iequals(std::string_view(mime).substr(0, p.size()), p);
    };
    return starts("audio/") || starts("video/") || starts("image/");
}

uint32_t date_of(const struct stat& st) {
    time_t t = st.st_mtim.tv_sec;
    if (t == 0 && st.st_mtim.tv_nsec == 0) t = st.st_ctim.tv_sec;
    std::tm tm{};
    gmtime_r(&t, &tm);
    return uint32_t((tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
}

std::wstring date_text(uint32_t d) {
    return cl::format_wstr(L"%?-%02?-%02?", d / 10000, d / 100 % 100, d % 100);
}

// A decimal number of at most 32 bits, digits only.
bool id_number(std::wstring_view s, uint32_t& v) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t n = 0;
    for (const wchar_t c : s) {
        if (c < L'0' || c > L'9') return false;
        n = n * 10 + uint64_t(c - L'0');
    }
    if (n > 0xFFFFFFFFull) return false;
    v = uint32_t(n);
    return true;
}

class wake_event {
  public:
    wake_event() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~wake_event() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    void set() {
        const uint64_t one = 1;
        if (::write(fd_, &one, sizeof one) < 0) return;
    }
    void reset() {
        uint64_t v;
        while (::read(fd_, &v, sizeof v) > 0) {
        }
    }

  private:
    int fd_;
};

wake_event& stop_event() {
    static wake_event e;
    return e;
}

} // namespace

bool servable_name(std::wstring_view name) {
    for (const wchar_t c : name)
        if (c < 32 || std::wstring_view(L"\\:*?\"<>|").find(c) != std::wstring_view::npos)
            return false;
    return true;
}

uint32_t id_pool::allocate() {
    uint32_t id = next_;
    if (used_.size() < capacity) {
        while (used_.count(id))
            id = id + 1 == capacity ? 0 : id + 1;
        used_.insert(id);
    }
    next_ = id + 1 == capacity ? 0 : id + 1;
    return id;
}

void id_pool::free(uint32_t id) {
    const bool was_full = used_.size() >= capacity;
    used_.erase(id);
    if (was_full) next_ = id;
}

void media_store::set_folders(const std::wstring& folder, const std::wstring& document_root) {
    std::lock_guard<std::recursive_mutex> g(lock_);
    folder_ = folder.empty() || folder.back() == L'/' ? folder : folder + L"/";
    root_ = document_root.empty() || document_root.back() == L'/' ? document_root
                                                                  : document_root + L"/";
}

void media_store::set_trace_level(int level) {
    g_trace_level = level;
}

std::wstring media_store::parent_of(const std::wstring& dir) const {
    if (dir.size() < 2) return {};
    const std::size_t slash = dir.rfind(L'/', dir.size() - 2);
    return slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1);
}

void media_store::mark_changed(const std::wstring& start) {
    std::wstring dir = start;
    while (!dir.empty()) {
        auto it = dirs_.find(dir);
        if (it == dirs_.end() || it->second->changed) return;
        it->second->changed = true;
        if (dir == folder_) return;
        dir = parent_of(dir);
    }
}

// The folder a scan is held inside, open for the whole scan: the served
// tree's root when the media folder lies in it (a link may lead anywhere a
// GET of it may), else the media folder itself. Every folder is opened from
// its parent's descriptor and never through a link, and a link to a file is
// resolved beneath this folder by the kernel, so that a link swapped while
// the scan runs cannot lead it outside.
struct media_store::scan_root {
    std::shared_ptr<const cl::tree_root> tree; // holds the tree's descriptor
    int own_fd = -1;                           // the media folder, outside the tree
    int fd = -1;
    std::string real; // the real path of fd
    std::string base; // the media folder below fd: "" or "a/b/"

    scan_root() = default;
    scan_root(const scan_root&) = delete;
    scan_root& operator=(const scan_root&) = delete;
    ~scan_root() {
        if (own_fd >= 0) ::close(own_fd);
    }

    // The media folder, opened for reading its entries; -1 when missing.
    int open_folder(const std::wstring& folder) {
        std::string text = cl::utf16_to_utf8(folder);
        while (text.size() > 1 && text.back() == '/')
            text.pop_back();
        std::string_view rest;
        tree = cl::document_tree();
        if (tree && tree->fd() >= 0 && tree->contains(text, rest)) {
            fd = tree->fd();
            real = tree->real();
            while (!rest.empty() && rest.front() == '/')
                rest.remove_prefix(1);
            base = rest.empty() ? std::string() : std::string(rest) + "/";
            return tree->open(base, O_RDONLY | O_DIRECTORY);
        }
        tree.reset();
        own_fd = ::open(text.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (own_fd < 0) return -1;
        fd = own_fd;
        real = win32::descriptor_path(own_fd);
        if (real.empty()) return -1;
        return ::openat(own_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    // The regular file a link below the media folder leads to, when it stays
    // beneath the root.
    bool linked_file(const std::string& rel, struct stat& st) const {
        const int f = win32::open_beneath(fd, real, base + rel, O_PATH);
        if (f < 0) return false;
        const bool ok = ::fstat(f, &st) == 0 && S_ISREG(st.st_mode);
        ::close(f);
        return ok;
    }
};

void media_store::scan_dir(const std::wstring& dir, int dir_fd, const scan_root& root,
                           const std::string& rel, int depth) {
    if (dir_fd < 0) return;
    DIR* d = ::fdopendir(dir_fd);
    if (!d) {
        ::close(dir_fd);
        return;
    }
    struct dir_closer {
        DIR* d;
        ~dir_closer() { ::closedir(d); }
    } closer{d};
    if (depth > 64) return; // deeper trees are not catalogued (and cannot loop)
    struct item {
        std::string name;
        bool is_dir;
        struct stat st;
    };
    std::vector<item> items;
    const int dfd = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        item it{std::string(name), e->d_type == DT_DIR, {}};
        if (!it.is_dir) {
            // The entry itself, never what a link names: a folder is entered
            // from this descriptor only, a link to a folder is not followed,
            // and a link to a file counts only when it stays beneath the root.
            if (::fstatat(dfd, e->d_name, &it.st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(it.st.st_mode))
                it.is_dir = true;
            else if (S_ISLNK(it.st.st_mode) && !root.linked_file(rel + it.name, it.st))
                continue;
            else if (!S_ISREG(it.st.st_mode) && !S_ISLNK(it.st.st_mode))
                continue;
        }
        items.push_back(std::move(it));
    }
    std::sort(items.begin(), items.end(),
              [](const item& a, const item& b) { return a.name < b.name; });

    media_dir_info* holder = nullptr;
    if (auto h = dirs_.find(dir); h != dirs_.end()) holder = h->second.get();
    if (!holder) return;

    std::vector<std::pair<std::wstring, std::string>> subdirs; // path, name
    for (const item& it : items) {
        const std::wstring name = cl::utf8_to_utf16(it.name);
        // A name that is not UTF-8 has no URL that leads back to it.
        if (cl::utf16_to_utf8(name) != it.name) continue;
        // Nor has one with a character that every road of the server refuses
        // in a local name: listed, it would only answer 403 when played.
        if (!servable_name(name)) {
            const std::wstring path = dir + name + (it.is_dir ? L"/" : L"");
            if (unservable_.insert(path).second)
                cl::trace_out.write_w(
                    cl::format_wstr(L"media store, left out (name cannot be served): %?\n", path));
            continue;
        }
        if (it.is_dir) {
            const std::wstring path = dir + name + L"/";
            if (!access_ || !access_->allowed(url_path_from_file(path, root_), true, nullptr))
                continue;
            auto found = dirs_.find(path);
            if (found == dirs_.end()) {
                auto rec = std::make_unique<media_dir_info>();
                rec->id = dir_ids_.allocate();
                rec->seen = true;
                dir_by_id_[rec->id] = path;
                dirs_.emplace(path, std::move(rec));
                mark_changed(dir);
                if (g_trace_level > 1)
                    cl::trace_out.write_w(cl::format_wstr(L"media store, add dir: %?\n", path));
            } else {
                found->second->seen = true;
            }
            subdirs.emplace_back(path, it.name);
            continue;
        }
        // Every scan asks again: a rule added since the last one (an access
        // file, a Files section) takes the item out as a GET refuses it.
        std::string mime;
        const bool may = access_ &&
                         access_->allowed(url_path_from_file(dir + name, root_), false, &mime) &&
                         media_type(mime);
        auto f = holder->files.find(name);
        if (f != holder->files.end()) {
            if (!may) continue; // unseen: dropped below
            f->second.seen = true;
            if (f->second.mime_type != mime) {
                f->second.mime_type = std::move(mime);
                mark_changed(dir);
            }
            continue;
        }
        if (!may) continue;
        media_file_info info;
        info.size = uint64_t(it.st.st_size);
        info.id = holder->file_ids.allocate();
        info.mime_type = std::move(mime);
        info.date = date_of(it.st);
        info.seen = true;
        holder->files.emplace(name, std::move(info));
        mark_changed(dir);
        if (g_trace_level > 1)
            cl::trace_out.write_w(cl::format_wstr(L"media store, add file: %? \n", dir + name));
    }
    for (const auto& [sub, name] : subdirs)
        scan_dir(sub, ::openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                 root, rel + name + "/", depth + 1);
}

bool media_store::update() {
    bool changed = false;
    {
        std::lock_guard<std::recursive_mutex> g(lock_);
        if (folder_.empty() || !dirs_.count(folder_)) return false;
        for (auto& [path, d] : dirs_) {
            d->seen = false;
            d->changed = false;
            for (auto& [name, f] : d->files)
                f.seen = false;
        }
        dirs_[folder_]->seen = true;
        if (access_) access_->begin_scan();
        scan_root root;
        scan_dir(folder_, root.open_folder(folder_), root, std::string(), 0);

        // Directories that are gone take everything below them along.
        for (auto it = dirs_.begin(); it != dirs_.end();) {
            if (!it->second->seen && it->first != folder_) {
                const std::wstring gone = it->first;
                mark_changed(parent_of(gone));
                for (auto c = dirs_.lower_bound(gone);
                     c != dirs_.end() && begins_with(c->first, gone);) {
                    dir_ids_.free(c->second->id);
                    if (auto b = dir_by_id_.find(c->second->id);
                        b != dir_by_id_.end() && b->second == c->first)
                        dir_by_id_.erase(b);
                    if (g_trace_level > 1)
                        cl::trace_out.write_w(
                            cl::format_wstr(L"media store, del child dir: %?\n", c->first));
                    c = dirs_.erase(c);
                }
                if (g_trace_level > 1)
                    cl::trace_out.write_w(cl::format_wstr(L"media store, del dir: %?\n", gone));
                it = dirs_.upper_bound(gone);
                continue;
            }
            media_dir_info& d = *it->second;
            for (auto f = d.files.begin(); f != d.files.end();) {
                if (f->second.seen) {
                    ++f;
                    continue;
                }
                if (g_trace_level > 1)
                    cl::trace_out.write_w(
                        cl::format_wstr(L"media store, del file: %?\n", it->first + f->first));
                d.file_ids.free(f->second.id);
                f = d.files.erase(f);
                mark_changed(it->first);
            }
            ++it;
        }

        media_dir_info& top = *dirs_[folder_];
        if (top.changed) {
            changed = true;
            ++system_update_id_;
            container_update_ids_.clear();
            for (auto& [path, d] : dirs_) {
                if (d->changed) ++d->update_id;
                if (!container_update_ids_.empty()) container_update_ids_ += L',';
                container_update_ids_ +=
                    std::to_wstring(d->id) + L',' + std::to_wstring(d->update_id);
            }
            if (g_trace_level != 0)
                cl::trace_out.write_w(cl::format_wstr(L"update ids are now: %? / %?\n",
                                                      system_update_id_, container_update_ids_));
        }
    }
    // Listeners run outside the catalogue's lock: what they start may browse.
    if (changed) notify_listeners();
    return changed;
}

void media_store::notify_listeners() {
    std::lock_guard<std::mutex> g(listeners_lock_);
    for (auto& [owner, l] : listeners_)
        l();
}

void media_store::add_listener(const void* owner, listener l) {
    std::lock_guard<std::mutex> g(listeners_lock_);
    listeners_[owner] = std::move(l);
}

void media_store::remove_listener(const void* owner) {
    std::lock_guard<std::mutex> g(listeners_lock_);
    listeners_.erase(owner);
}

uint32_t media_store::system_update_id() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    return system_update_id_;
}

std::wstring media_store::container_update_ids() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    return container_update_ids_;
}

std::size_t media_store::directory_count() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    return dirs_.size();
}

std::size_t media_store::item_count() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    std::size_t n = 0;
    for (auto& [p, d] : dirs_)
        n += d->files.size();
    return n;
}

bool media_store::find_object(const std::wstring& object_id, media_object& out) {
    out = media_object();
    // An id is "<folder>" or "<folder>-<file>" in decimal, as written out;
    // anything else names no object (never the root).
    const std::size_t dash = object_id.find(L'-');
    const bool is_item = dash != std::wstring::npos;
    uint32_t dir_id = 0, file_id = 0;
    if (!id_number(std::wstring_view(object_id).substr(0, dash), dir_id) ||
        (is_item && !id_number(std::wstring_view(object_id).substr(dash + 1), file_id)))
        return false;

    std::lock_guard<std::recursive_mutex> g(lock_);
    auto by_id = dir_by_id_.find(dir_id);
    if (by_id == dir_by_id_.end()) return false;
    auto it = dirs_.find(by_id->second);
    if (it == dirs_.end()) return false;
    const std::wstring& path = it->first;
    const media_dir_info& d = *it->second;
    out.update_id = d.update_id;
    out.is_item = is_item;
    const std::wstring parent_path = parent_of(path);
    const std::wstring album = path == folder_ ? std::wstring() : folder_name(path);
    const std::wstring artist =
        path == folder_ || parent_path == folder_ ? std::wstring() : folder_name(parent_path);
    if (is_item) {
        out.parent_id = std::to_wstring(dir_id);
        for (const auto& [name, f] : d.files)
            if (f.id == file_id) {
                out.entry = {f.size, f.mime_type, path + name,       std::to_wstring(f.id),
                             album,  artist,      date_text(f.date), 0};
                return true;
            }
        return false;
    }
    if (dir_id == 0 && path == folder_) {
        out.parent_id = L"-1";
    } else {
        auto p = dirs_.find(parent_of(path));
        out.parent_id = p == dirs_.end() ? L"-1" : std::to_wstring(p->second->id);
    }
    out.entry.path = path;
    out.entry.id_text = std::to_wstring(d.id);
    // Direct subdirectories first, in path order.
    for (auto c = std::next(it); c != dirs_.end() && begins_with(c->first, path); ++c) {
        if (c->first.find(L'/', path.size()) != c->first.size() - 1) continue;
        media_entry e;
        e.path = c->first;
        e.id_text = std::to_wstring(c->second->id);
        e.child_count = uint32_t(c->second->files.size());
        for (auto cc = std::next(c); cc != dirs_.end() && begins_with(cc->first, c->first); ++cc)
            if (cc->first.find(L'/', c->first.size()) == cc->first.size() - 1) ++e.child_count;
        out.children.push_back(std::move(e));
    }
    for (const auto& [name, f] : d.files)
        out.children.push_back({f.size, f.mime_type, path + name, std::to_wstring(f.id), album,
                                artist, date_text(f.date), 0});
    out.entry.child_count = uint32_t(out.children.size());
    return true;
}

void media_store::watcher_queued() {
    std::lock_guard<std::mutex> g(run_lock_);
    queued_ = true;
}

bool media_store::stopping() {
    std::lock_guard<std::mutex> g(run_lock_);
    return stop_;
}

bool media_store::open() {
    std::lock_guard<std::recursive_mutex> g(lock_);
    struct stat st;
    if (folder_.empty() || ::stat(cl::utf16_to_utf8(folder_).c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
        return false;
    if (!dirs_.count(folder_)) {
        auto rec = std::make_unique<media_dir_info>();
        rec->id = dir_ids_.allocate();
        dir_by_id_[rec->id] = folder_;
        dirs_.emplace(folder_, std::move(rec));
    }
    return true;
}

void media_store::watch() {
    struct ended_guard {
        media_store& s;
        ~ended_guard() {
            std::lock_guard<std::mutex> g(s.run_lock_);
            s.queued_ = false;
            s.run_cv_.notify_all();
        }
    } ended{*this};
    if (stopping() || !open()) return;
    update();

    const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (in < 0) {
        cl::trace_out.write(cl::format_str("media store: no change notifications (%?)\n", errno));
        return;
    }
    std::map<std::wstring, int> watches; // directory -> watch descriptor
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                          IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_ATTRIB;
    // One watch per catalogued folder; true when a folder was added, since
    // files may have arrived in it between its scan and its watch.
    auto sync_watches = [&]() {
        std::vector<std::wstring> dirs;
        {
            std::lock_guard<std::recursive_mutex> g(lock_);
            for (auto& [p, d] : dirs_)
                dirs.push_back(p);
        }
        bool added = false;
        for (auto it = watches.begin(); it != watches.end();) {
            if (!std::binary_search(dirs.begin(), dirs.end(), it->first)) {
                inotify_rm_watch(in, it->second);
                it = watches.erase(it);
            } else {
                ++it;
            }
        }
        for (const std::wstring& p : dirs) {
            if (watches.count(p)) continue;
            const int wd = inotify_add_watch(in, cl::utf16_to_utf8(p).c_str(), mask);
            if (wd >= 0) {
                watches[p] = wd;
                added = true;
            }
        }
        return added;
    };
    auto drain = [&]() {
        alignas(inotify_event) char buf[16384];
        while (::read(in, buf, sizeof buf) > 0) {
        }
    };
    // Waits for the stop event or the notifications; false on stop.
    auto wait = [&](int timeout_ms, bool for_changes) {
        pollfd fds[2] = {{stop_event().fd(), POLLIN, 0}, {in, POLLIN, 0}};
        for (;;) {
            const int n = ::poll(fds, for_changes ? 2 : 1, timeout_ms);
            if (n < 0 && errno == EINTR) continue;
            if (stopping()) return false;
            return true;
        }
    };
    bool rescan = sync_watches();
    while (!stopping()) {
        if (!rescan) {
            if (!wait(-1, true)) break;
            // Let a burst of changes (a folder copied in) settle into one scan.
            if (!wait(200, false)) break;
        }
        drain();
        update();
        rescan = sync_watches();
        if (!rescan && !wait(int(settle_ms_), false)) break;
    }
    ::close(in);
}

void media_store::stop() {
    std::unique_lock<std::mutex> g(run_lock_);
    if (queued_) {
        stop_ = true;
        stop_event().set();
        run_cv_.wait(g, [&] { return !queued_; });
        stop_event().reset();
        stop_ = false;
    }
    g.unlock();
    std::lock_guard<std::recursive_mutex> l(lock_);
    dirs_.clear();
    dir_by_id_.clear();
    dir_ids_ = id_pool();
}

media_store& the_media_store() {
    static media_store store;
    return store;
}

std::wstring folder_name(const std::wstring& folder) {
    std::wstring d = folder;
    while (!d.empty() && d.back() == L'/')
        d.pop_back();
    const std::size_t slash = d.rfind(L'/');
    return slash == std::wstring::npos ? d : d.substr(slash + 1);
}

std::wstring url_path_from_file(const std::wstring& file, const std::wstring& document_root) {
    if (document_root.empty() || !begins_with(file, document_root)) return file;
    return file.substr(document_root.size() - 1);
}

std::wstring media_url_path(const std::wstring& url_path, const std::wstring& media_name) {
    const std::wstring prefix = L"/" + media_name + L"/";
    if (media_name.empty() || url_path.size() <= prefix.size() ||
        !cl::iequals_w(std::wstring_view(url_path).substr(0, prefix.size()), prefix))
        return url_path;
    const std::size_t dot = url_path.rfind(L'.');
    const std::size_t slash = url_path.rfind(L'/');
    if (dot == std::wstring::npos || dot < prefix.size() ||
        (slash != std::wstring::npos && dot < slash) || dot + 1 == url_path.size())
        return url_path;
    static const char hex[] = "0123456789ABCDEF";
    // Two digits per UTF-8 byte, so that every name, whatever its
    // characters, reads back pair by pair.
    const std::string name =
        cl::utf16_to_utf8(std::wstring_view(url_path).substr(prefix.size(), dot - prefix.size()));
    std::wstring r = prefix + L".enc/";
    r.reserve(r.size() + name.size() * 2 + url_path.size() - dot);
    for (unsigned char c : name) {
        r += wchar_t(hex[c >> 4]);
        r += wchar_t(hex[c & 15]);
    }
    r += url_path.substr(dot);
    return r;
}

} // namespace media
