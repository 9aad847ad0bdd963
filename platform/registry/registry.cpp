#include "platform/registry/registry.h"

#include "platform/registry/store.h"
#include "platform/win32/errors.h"
#include "platform/win32/sync.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace registry {

namespace {

using detail::key_node;
using detail::value_entry;
using path_t = std::vector<std::wstring>;

constexpr int machine = 0;
constexpr int user = 1;
constexpr const char* file_names[2] = {"registry_machine.txt", "registry_user.txt"};

// What identifies the file content last read or written, so that a change by
// another process is noticed before the next call uses the tree.
struct file_id {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool operator==(const file_id& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

struct root_state {
    key_node tree;
    bool loaded = false;
    file_id id;
};

struct handle_info {
    int root;
    path_t path;
    uint32_t access;
};

struct state {
    win32::critical_section lock;
    std::optional<std::string> dir;
    root_state roots[2];
    std::unordered_map<hkey, handle_info> handles;
    hkey next_handle = 0x1000;
};

state& g() {
    static state s;
    return s;
}

std::string default_directory() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        return std::string(x) + "/Tesk/teskqvel/";
    if (geteuid() == 0) return "/var/lib/Tesk/teskqvel/";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/Tesk/teskqvel/";
}

std::string dir_locked() {
    auto& s = g();
    if (!s.dir) s.dir = default_directory();
    std::string d = *s.dir;
    if (!d.empty() && d.back() != '/') d += '/';
    return d;
}

std::string file_of(int root) {
    return dir_locked() + file_names[root];
}

uint32_t errno_code() {
    return win32::from_errno(errno);
}

bool make_directories(const std::string& dir) {
    std::string part;
    for (std::size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || (dir[i] == '/' && i > 0)) {
            part = dir.substr(0, i);
            if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

std::optional<file_id> stat_file(const std::string& path, uint32_t& err) {
    struct stat st {};
    file_id id;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return id;
        err = errno_code();
        return std::nullopt;
    }
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    return id;
}

// Brings the root's tree up to date with its file: read when not read yet or
// when the file changed since.
uint32_t refresh(int root) {
    auto& r = g().roots[root];
    const std::string path = file_of(root);
    uint32_t err = 0;
    auto id = stat_file(path, err);
    if (!id) return err;
    if (r.loaded && *id == r.id) return 0;
    if (!id->exists) {
        r.tree = key_node{};
        r.id = *id;
        r.loaded = true;
        return 0;
    }
    // Non-blocking, so that a FIFO put in the file's place cannot hang the open.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno_code();
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return error_baddb;
    }
    if (std::size_t(st.st_size) > max_file_size) {
        close(fd);
        return error_baddb;
    }
    std::string text(std::size_t(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const uint32_t e = errno_code();
            close(fd);
            return e;
        }
        if (n == 0) break;
        got += std::size_t(n);
    }
    close(fd);
    text.resize(got);
    key_node tree;
    std::size_t skipped = 0;
    if (!text.empty() && !detail::parse(text, tree, &skipped)) return error_baddb;
    if (skipped) {
        // trace: "registry: %? damaged lines skipped in %?\n"
    }
    r.tree = std::move(tree);
    r.id.exists = true;
    r.id.dev = st.st_dev;
    r.id.ino = st.st_ino;
    r.id.size = st.st_size;
    r.id.mtime = st.st_mtim;
    r.loaded = true;
    return 0;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// Writes the root's tree: a temporary file in the same folder, flushed to
// disk, then renamed over the old one. On failure the old file stays.
uint32_t save(int root) {
    auto& r = g().roots[root];
    const std::string dir = dir_locked();
    const std::string path = file_of(root);
    const std::string tmp = path + ".tmp";
    const std::string text = detail::serialize(r.tree);
    if (text.size() > max_file_size) return win32::error_not_enough_memory;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno_code();
    errno = 0;
    if (fchmod(fd, 0600) != 0 || !write_all(fd, text) || fsync(fd) != 0) {
        const uint32_t e = errno ? errno_code() : uint32_t(win32::error_write_fault);
        close(fd);
        unlink(tmp.c_str());
        return e;
    }
    if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        const uint32_t e = errno_code();
        unlink(tmp.c_str());
        return e;
    }
    if (const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    uint32_t err = 0;
    if (auto id = stat_file(path, err))
        r.id = *id;
    else
        r.loaded = false;
    return 0;
}

// Serialises writers of the same file across processes; within the process
// the state lock does that already.
class file_lock {
  public:
    explicit file_lock(const std::string& file) {
        fd_ = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) {
            err_ = errno_code();
            return;
        }
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                err_ = errno_code();
                return;
            }
        }
    }
    ~file_lock() {
        if (fd_ >= 0) close(fd_);
    }
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;
    uint32_t error() const { return err_; }

  private:
    int fd_ = -1;
    uint32_t err_ = 0;
};

bool is_root(hkey key) {
    return key == hkey_local_machine || key == hkey_current_user || key == hkey_classes_root;
}

// The root, path and rights a handle stands for.
struct resolved {
    int root;
    path_t path;
    uint32_t access;
};

uint32_t resolve(hkey key, resolved& out) {
    switch (key) {
    case hkey_local_machine:
        out = {machine, {}, key_all_access};
        return 0;
    case hkey_current_user:
        out = {user, {}, key_all_access};
        return 0;
    case hkey_classes_root:
        out = {machine, {L"Software", L"Classes"}, key_all_access};
        return 0;
    default:
        break;
    }
    const auto it = g().handles.find(key);
    if (it == g().handles.end()) return win32::error_invalid_handle;
    out = {it->second.root, it->second.path, it->second.access};
    return 0;
}

// Splits "a\b\c" into its names; a trailing "\" is allowed, empty names are not.
uint32_t split_subkey(const std::wstring& subkey, path_t& out) {
    std::size_t start = 0;
    while (start < subkey.size()) {
        auto pos = subkey.find(L'\\', start);
        if (pos == std::wstring::npos) pos = subkey.size();
        if (pos == start) return error_bad_pathname;
        if (pos - start > max_key_name) return win32::error_invalid_parameter;
        out.emplace_back(subkey, start, pos - start);
        start = pos + 1;
    }
    if (out.size() > max_depth) return win32::error_invalid_parameter;
    return 0;
}

key_node* walk(key_node& root, const path_t& path, std::size_t count) {
    key_node* k = &root;
    for (std::size_t i = 0; i < count && k; ++i)
        k = detail::find_subkey(*k, path[i]);
    return k;
}

key_node* walk(key_node& root, const path_t& path) {
    return walk(root, path, path.size());
}

// The key a handle stands for, read fresh from its file; 1018 when the key
// was deleted under an open handle.
uint32_t locate(hkey key, uint32_t need, resolved& res, key_node*& node) {
    if (auto e = resolve(key, res)) return e;
    if ((res.access & need) != need) return win32::error_access_denied;
    if (auto e = refresh(res.root)) return e;
    node = walk(g().roots[res.root].tree, res.path);
    if (!node) return is_root(key) ? win32::error_file_not_found : error_key_deleted;
    return 0;
}

// Runs a change on the root's tree under the file lock and writes the result;
// when the change or the write fails, the tree is put back as it was.
template <class F> uint32_t mutate(int root, F&& change) {
    if (!make_directories(dir_locked())) return errno_code();
    file_lock fl(file_of(root));
    if (fl.error()) return fl.error();
    if (auto e = refresh(root)) return e;
    auto& r = g().roots[root];
    key_node backup = r.tree;
    bool changed = false;
    uint32_t e = change(r.tree, changed);
    if (e == 0 && changed) e = save(root);
    if (e != 0) r.tree = std::move(backup);
    return e;
}

hkey new_handle(int root, path_t path, uint32_t access) {
    auto& s = g();
    hkey h = s.next_handle;
    while (is_root(h) || s.handles.count(h))
        h += 4;
    s.next_handle = h + 4;
    s.handles.emplace(h, handle_info{root, std::move(path), access});
    return h;
}

uint32_t copy_name(const std::wstring& name, wchar_t* buf, uint32_t* len) {
    if (!len) return win32::error_invalid_parameter;
    if (!buf || *len < name.size() + 1) {
        *len = uint32_t(name.size() + 1);
        return win32::error_more_data;
    }
    std::copy(name.begin(), name.end(), buf);
    buf[name.size()] = L'\0';
    *len = uint32_t(name.size());
    return 0;
}

uint32_t copy_data(const value_entry& v, uint32_t* type, void* data, uint32_t* size) {
    if (type) *type = v.type;
    if (!size) return data ? uint32_t(win32::error_invalid_parameter) : 0u;
    const auto n = uint32_t(v.data.size());
    if (data && *size < n) {
        *size = n;
        return win32::error_more_data;
    }
    if (data && n) std::memcpy(data, v.data.data(), n);
    *size = n;
    return 0;
}

} // namespace

void set_data_directory(const std::string& dir) {
    auto& s = g();
    std::lock_guard lk(s.lock);
    s.dir = dir;
    for (auto& r : s.roots)
        r = root_state{};
}

std::string data_directory() {
    std::lock_guard lk(g().lock);
    return dir_locked();
}

std::string root_file(hkey root) {
    std::lock_guard lk(g().lock);
    if (root == hkey_local_machine || root == hkey_classes_root) return file_of(machine);
    if (root == hkey_current_user) return file_of(user);
    return {};
}

uint32_t reg_open_key(hkey key, const std::wstring& subkey, uint32_t access, hkey* result) {
    if (!result) return win32::error_invalid_parameter;
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* base = nullptr;
    if (auto e = locate(key, 0, res, base)) return e;
    path_t rel;
    if (auto e = split_subkey(subkey, rel)) return e;
    if (!walk(*base, rel)) return win32::error_file_not_found;
    res.path.insert(res.path.end(), rel.begin(), rel.end());
    *result = new_handle(res.root, std::move(res.path), access);
    return 0;
}

uint32_t reg_create_key(hkey key, const std::wstring& subkey, uint32_t /*options*/, uint32_t access,
                        hkey* result, uint32_t* disposition) {
    if (!result) return win32::error_invalid_parameter;
    std::lock_guard lk(g().lock);
    resolved res;
    if (auto e = resolve(key, res)) return e;
    if (auto e = refresh(res.root)) return e;
    // A root's own path (the classes key) is made on demand; an opened key
    // must still be there.
    if (!is_root(key) && !walk(g().roots[res.root].tree, res.path)) return error_key_deleted;
    path_t full = res.path;
    {
        path_t rel;
        if (auto e = split_subkey(subkey, rel)) return e;
        full.insert(full.end(), rel.begin(), rel.end());
    }
    if (full.size() > max_depth) return win32::error_invalid_parameter;
    bool created_any = false;
    if (!walk(g().roots[res.root].tree, full)) {
        if (!(res.access & key_create_sub_key)) return win32::error_access_denied;
        const auto e = mutate(res.root, [&](key_node& tree, bool& changed) -> uint32_t {
            if (!is_root(key) && !walk(tree, res.path)) return error_key_deleted;
            key_node* k = &tree;
            for (const auto& name : full) {
                bool created = false;
                k = &detail::add_subkey(*k, name, &created);
                created_any |= created;
            }
            changed = created_any;
            return 0;
        });
        if (e) return e;
    }
    if (disposition) *disposition = created_any ? reg_created_new_key : reg_opened_existing_key;
    *result = new_handle(res.root, std::move(full), access);
    return 0;
}

uint32_t reg_close_key(hkey key) {
    if (is_root(key)) return 0;
    std::lock_guard lk(g().lock);
    return g().handles.erase(key) ? 0u : uint32_t(win32::error_invalid_handle);
}

uint32_t reg_query_value(hkey key, const std::wstring& name, uint32_t* type, void* data,
                         uint32_t* size) {
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* node = nullptr;
    if (auto e = locate(key, key_query_value, res, node)) return e;
    const value_entry* v = detail::find_value(*node, name);
    if (!v) return win32::error_file_not_found;
    return copy_data(*v, type, data, size);
}

uint32_t reg_set_value(hkey key, const std::wstring& name, uint32_t type, const void* data,
                       uint32_t size) {
    if (name.size() > max_value_name || size > max_value_size || (size && !data))
        return win32::error_invalid_parameter;
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* node = nullptr;
    if (auto e = locate(key, key_set_value, res, node)) return e;
    return mutate(res.root, [&](key_node& tree, bool& changed) -> uint32_t {
        key_node* k = walk(tree, res.path);
        if (!k) return error_key_deleted;
        value_entry* v = detail::find_value(*k, name);
        if (!v) {
            k->values.push_back(value_entry{name, 0, {}});
            v = &k->values.back();
        }
        v->type = type;
        const auto* p = static_cast<const uint8_t*>(data);
        v->data.assign(p, p + size);
        changed = true;
        return 0;
    });
}

uint32_t reg_delete_value(hkey key, const std::wstring& name) {
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* node = nullptr;
    if (auto e = locate(key, key_set_value, res, node)) return e;
    if (!detail::find_value(*node, name)) return win32::error_file_not_found;
    return mutate(res.root, [&](key_node& tree, bool& changed) -> uint32_t {
        key_node* k = walk(tree, res.path);
        if (!k) return error_key_deleted;
        auto it = std::find_if(k->values.begin(), k->values.end(), [&](const value_entry& v) {
            return detail::names_equal(v.name, name);
        });
        if (it == k->values.end()) return win32::error_file_not_found;
        k->values.erase(it);
        changed = true;
        return 0;
    });
}

namespace {
uint32_t delete_key_impl(hkey key, const std::wstring& subkey, bool tree) {
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* base = nullptr;
    if (auto e = locate(key, 0, res, base)) return e;
    path_t rel;
    if (auto e = split_subkey(subkey, rel)) return e;
    key_node* target = walk(*base, rel);
    if (!target) return win32::error_file_not_found;
    if (rel.empty() && !tree) return win32::error_invalid_parameter;
    // Only a key without subkeys can be deleted on its own.
    if (!tree && !target->subkeys.empty()) return win32::error_access_denied;
    path_t full = res.path;
    full.insert(full.end(), rel.begin(), rel.end());
    return mutate(res.root, [&](key_node& t, bool& changed) -> uint32_t {
        if (rel.empty()) {
            // Emptying the key itself: everything below it goes, it stays.
            key_node* k = walk(t, full);
            if (!k) return error_key_deleted;
            k->subkeys.clear();
            k->values.clear();
        } else {
            key_node* parent = walk(t, full, full.size() - 1);
            if (!parent || !detail::remove_subkey(*parent, full.back()))
                return win32::error_file_not_found;
        }
        changed = true;
        return 0;
    });
}
} // namespace

uint32_t reg_delete_key(hkey key, const std::wstring& subkey) {
    return delete_key_impl(key, subkey, false);
}

uint32_t reg_delete_tree(hkey key, const std::wstring& subkey) {
    return delete_key_impl(key, subkey, true);
}

uint32_t reg_query_info_key(hkey key, key_info* info) {
    if (!info) return win32::error_invalid_parameter;
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* node = nullptr;
    if (auto e = locate(key, key_query_value, res, node)) return e;
    *info = key_info{};
    info->subkeys = uint32_t(node->subkeys.size());
    for (const auto& k : node->subkeys)
        info->max_subkey_len = std::max(info->max_subkey_len, uint32_t(k.name.size()));
    info->values = uint32_t(node->values.size());
    for (const auto& v : node->values) {
        info->max_value_name_len = std::max(info->max_value_name_len, uint32_t(v.name.size()));
        info->max_value_len = std::max(info->max_value_len, uint32_t(v.data.size()));
    }
    return 0;
}

uint32_t reg_enum_key(hkey key, uint32_t index, wchar_t* name, uint32_t* name_len) {
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* node = nullptr;
    if (auto e = locate(key, key_enumerate_sub_keys, res, node)) return e;
    if (index >= node->subkeys.size()) return win32::error_no_more_items;
    return copy_name(node->subkeys[index].name, name, name_len);
}

uint32_t reg_enum_value(hkey key, uint32_t index, wchar_t* name, uint32_t* name_len, uint32_t* type,
                        void* data, uint32_t* size) {
    std::lock_guard lk(g().lock);
    resolved res;
    key_node* node = nullptr;
    if (auto e = locate(key, key_query_value, res, node)) return e;
    if (index >= node->values.size()) return win32::error_no_more_items;
    const auto& v = node->values[index];
    if (auto e = copy_name(v.name, name, name_len)) return e;
    return copy_data(v, type, data, size);
}

} // namespace registry
