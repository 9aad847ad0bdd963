#include "dav/caldav_object_cache.h"

#include "core/simple_file.h"
#include "core/sync.h"
#include "core/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

namespace {

// Objects are a few kilobytes; this holds calendars of tens of thousands of
// events with their parsed tables. Both count: a table takes several times
// its text.
constexpr std::size_t cache_limit = 64 * 1024 * 1024;

struct identity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t sec = 0;
    int64_t nsec = 0;
    bool operator==(const identity&) const = default;
};

identity identity_of(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
            static_cast<int64_t>(st.st_mtim.tv_nsec)};
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

const ical_properties& stored_object::table() const {
    std::call_once(parsed_, [this] {
        parse_ical(text, table_);
        account_parsed_object(*this, ical_table_bytes(table_));
    });
    return table_;
}

std::shared_ptr<const stored_object> read_stored_object(const std::wstring& path, bool need_text) {
    const std::string p = cl::utf16_to_utf8(path);
    return read_stored_object_at(AT_FDCWD, p.c_str(), need_text);
}

std::shared_ptr<const stored_object> read_stored_object_at(int dir_fd, const char* name,
                                                           bool need_text) {
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    if (auto hit = lookup(identity_of(st))) return hit;
    if (!need_text) {
        bool ok = false;
        uint32_t mode = 0;
        const cl::file_information info = cl::file_information_at(dir_fd, name, true, ok, mode);
        if (!ok || !S_ISREG(mode)) return nullptr;
        auto object = std::make_shared<stored_object>();
        object->etag = cl::entity_tag(info);
        return object;
    }
    const int fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    bool ok = false;
    const cl::file_information info = cl::file_information_from_fd(fd, ok);
    struct stat now {};
    if (!ok || ::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    auto object = std::make_shared<stored_object>();
    object->etag = cl::entity_tag(info);
    if (static_cast<uint64_t>(now.st_size) > stored_object_read_limit) {
        ::close(fd);
        object->too_large = true;
        return object;
    }
    object->has_text = true;
    // The whole file: an object is never sent cut. One that grows while it
    // is read is read up to the limit and not kept.
    std::string& text = object->text;
    text.resize(static_cast<std::size_t>(now.st_size));
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
    ::close(fd);
    // Only what was read from an unchanged file is kept: a file written while
    // it was read is read again next time.
    if (got == static_cast<std::size_t>(now.st_size)) remember(identity_of(now), object);
    return object;
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
