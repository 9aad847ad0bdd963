#include "dav/caldav_object_cache.h"

#include "core/simple_file.h"
#include "core/sync.h"
#include "core/text.h"
#include "core/tree_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

namespace {

// Objects are a few kilobytes; this holds calendars of tens of thousands of
// events with their parsed tables. Both count: a table takes several times
// its text.
constexpr std::size_t cache_limit = 64 * 1024 * 1024;

using identity = object_identity;

identity identity_of(const struct stat& st) {
    return object_identity_of(st);
}

struct cached {
    identity id;
    std::shared_ptr<const stored_object> object;
    std::size_t table_bytes = 0; // its parsed table, once made
};

// Keyed by the file itself (device and inode): no path to hash or compare,
// and a file renamed over another is a new key.
struct file_key {
    uint64_t device = 0, inode = 0;
    bool operator==(const file_key&) const = default;
};
struct file_key_hash {
    std::size_t operator()(const file_key& k) const noexcept {
        return std::hash<uint64_t>()(k.inode * 0x9e3779b97f4a7c15ULL ^ k.device);
    }
};

file_key key_of(const identity& id) {
    return {id.device, id.inode};
}

struct object_cache {
    cl::critical_section lock;
    std::unordered_map<file_key, cached, file_key_hash> entries;
    std::size_t bytes = 0;
};

object_cache& cache() {
    static object_cache c;
    return c;
}

std::shared_ptr<const stored_object> lookup(const identity& id) {
    object_cache& c = cache();
    cl::cs_lock lk(c.lock);
    auto it = c.entries.find(key_of(id));
    if (it == c.entries.end() || !(it->second.id == id)) return nullptr;
    return it->second.object;
}

void remember(const identity& id, std::shared_ptr<stored_object> object) {
    object_cache& c = cache();
    cl::cs_lock lk(c.lock);
    auto it = c.entries.find(key_of(id));
    if (it != c.entries.end()) {
        c.bytes -= it->second.object->text.size() + it->second.table_bytes;
        c.entries.erase(it);
    }
    // One object that would take a quarter of the cache is not kept.
    if (object->text.size() > cache_limit / 4) return;
    if (c.bytes + object->text.size() > cache_limit) {
        c.entries.clear();
        c.bytes = 0;
    }
    c.bytes += object->text.size();
    object->cache_device = id.device;
    object->cache_inode = id.inode;
    c.entries.emplace(key_of(id), cached{id, std::move(object)});
}

// A table made for a kept object counts against the cache's limit like its
// text; one made after the object left the cache counts nowhere.
void account_parsed_object(const stored_object& object, std::size_t bytes) {
    object_cache& c = cache();
    cl::cs_lock lk(c.lock);
    auto it = c.entries.find({object.cache_device, object.cache_inode});
    if (it == c.entries.end() || it->second.object.get() != &object) return;
    it->second.table_bytes = bytes;
    c.bytes += bytes;
    if (c.bytes > cache_limit) {
        c.entries.clear();
        c.bytes = 0;
    }
}

} // namespace

object_identity object_identity_of(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
            static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

std::shared_ptr<const stored_object>
read_stored_object_known(int dir_fd, const char* name, const object_identity& id, bool need_text) {
    if (auto hit = lookup(id)) return hit;
    return read_stored_object_at(dir_fd, name, need_text);
}

const ical_properties& stored_object::table() const {
    std::call_once(parsed_, [this] {
        parse_ical(text, table_);
        account_parsed_object(*this, ical_table_bytes(table_));
    });
    return table_;
}

const calendar_spans& stored_object::spans() const {
    std::call_once(spanned_, [this] { spans_ = calendar_time_spans(table()); });
    return spans_;
}

namespace {

// The object of an open file, which the caller closes.
std::shared_ptr<const stored_object> read_open_object(int fd, bool need_text) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    if (auto hit = lookup(identity_of(st))) return hit;
    bool ok = false;
    const cl::file_information info = cl::file_information_from_fd(fd, ok);
    if (!ok) return nullptr;
    auto object = std::make_shared<stored_object>();
    object->etag = cl::entity_tag(info);
    if (!need_text) return object;
    if (static_cast<uint64_t>(st.st_size) > stored_object_read_limit) {
        object->too_large = true;
        return object;
    }
    object->has_text = true;
    // The whole file: an object is never sent cut. One that grows while it
    // is read is read up to the limit and not kept.
    std::string& text = object->text;
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    for (;;) {
        if (got == text.size()) {
            if (text.size() > stored_object_read_limit) break;
            text.resize(text.size() + 4096);
        }
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    // Only what was read from an unchanged file is kept: a file written while
    // it was read is read again next time.
    if (got == static_cast<std::size_t>(st.st_size)) remember(identity_of(st), object);
    return object;
}

std::shared_ptr<const stored_object> read_and_close(int fd, bool need_text) {
    if (fd < 0) return nullptr;
    auto object = read_open_object(fd, need_text);
    ::close(fd);
    return object;
}

} // namespace

std::shared_ptr<const stored_object> read_stored_object(const std::wstring& path, bool need_text) {
    // Opened beneath the tree's root: what is read is what the name led to
    // inside the tree, links included.
    return read_and_close(
        cl::open_tree_file(cl::utf16_to_utf8(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC), need_text);
}

std::shared_ptr<const stored_object> read_stored_object_at(int dir_fd, const char* name,
                                                           bool need_text) {
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    if (S_ISLNK(st.st_mode)) {
        // A link is followed only to a file inside the tree.
        const int fd = ::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && !cl::descriptor_in_tree(fd)) {
            ::close(fd);
            return nullptr;
        }
        return read_and_close(fd, need_text);
    }
    if (!S_ISREG(st.st_mode)) return nullptr;
    if (auto hit = lookup(identity_of(st))) return hit;
    if (!need_text) {
        bool ok = false;
        uint32_t mode = 0;
        const cl::file_information info = cl::file_information_at(dir_fd, name, false, ok, mode);
        if (!ok || !S_ISREG(mode)) return nullptr;
        auto object = std::make_shared<stored_object>();
        object->etag = cl::entity_tag(info);
        return object;
    }
    return read_and_close(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC),
                          need_text);
}

void clear_stored_objects() {
    object_cache& c = cache();
    cl::cs_lock lk(c.lock);
    c.entries.clear();
    c.bytes = 0;
}

std::size_t stored_object_bytes() {
    object_cache& c = cache();
    cl::cs_lock lk(c.lock);
    return c.bytes;
}
