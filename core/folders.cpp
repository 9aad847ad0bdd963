#include "core/folders.h"

#include "core/format.h"
#include "core/lcg_random.h"
#include "core/path.h"
#include "core/reg_key.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cl {

namespace {

std::string narrow(const std::wstring& w) {
    return utf16_to_utf8(w);
}
std::wstring wide(const std::string& s) {
    return utf8_to_utf16(s);
}

bool fail_errno() {
    win32::set_last_error_from_errno();
    return false;
}

std::string home_dir() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
        return res->pw_dir;
    return std::string();
}

// $XDG_DATA_HOME, else ~/.local/share; /var/lib for root without XDG_DATA_HOME.
std::string data_home() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') return x;
    if (::geteuid() == 0) return "/var/lib";
    const std::string h = home_dir();
    return h.empty() ? std::string() : h + "/.local/share";
}

bool is_dir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

win32::filetime filetime_of(const struct timespec& ts) {
    if (ts.tv_sec == 0 && ts.tv_nsec == 0) return 0;
    return win32::filetime_from_timespec(ts);
}

} // namespace

std::wstring get_module_dir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::wstring();
    std::string p(buf, static_cast<size_t>(n));
    strip_file_name(p);
    return wide(p);
}

bool get_install_dir(const std::wstring& subkey, std::wstring& dir) {
    dir.clear();
    reg_key key;
    if (!key.open(0, company_key_path(subkey), registry::key_read)) return false;
    std::wstring value;
    if (!key.query_string_w(L"install_dir", value) || value.empty()) return false;
    append_backslash(value);
    dir = value;
    return true;
}

std::wstring company_key_path(const std::wstring& subkey) {
    return L"Software\\Tesk\\" + subkey;
}

std::wstring company_key_path_versioned(const std::wstring& subkey, uint32_t version) {
    return company_key_path(subkey) + L"\\" + format_wstr(L"%,.2?", version);
}

std::wstring get_folder(int csidl) {
    std::string p;
    switch (csidl) {
    case csidl_common_appdata:
    case csidl_appdata:
    case csidl_local_appdata:
        p = data_home();
        break;
    case csidl_personal:
        p = home_dir();
        break;
    default:
        break;
    }
    if (p.empty() || !is_dir(p)) return std::wstring();
    append_backslash(p);
    return wide(p);
}

std::wstring get_known_folder(known_folder id) {
    switch (id) {
    case known_folder::program_data:
    case known_folder::roaming_app_data:
        return get_folder(csidl_common_appdata);
    case known_folder::local_app_data:
        return get_folder(csidl_local_appdata);
    case known_folder::documents:
        return get_folder(csidl_personal);
    }
    return std::wstring();
}

namespace {
std::wstring company_subfolder(std::wstring folder, const std::wstring& subdirectory) {
    if (folder.empty()) return folder;
    folder += L"Tesk/" + subdirectory;
    append_backslash(folder);
    if (!create_dir_tree(folder)) return std::wstring();
    return folder;
}
} // namespace

std::wstring get_company_folder(int csidl, const std::wstring& subdirectory) {
    return company_subfolder(get_folder(csidl), subdirectory);
}

std::wstring get_company_known_folder(known_folder id, const std::wstring& subdirectory) {
    return company_subfolder(get_known_folder(id), subdirectory);
}

std::wstring get_common_app_data_dir(const std::wstring& subdirectory) {
    // The base folder may not exist yet on a fresh account: make it, as the
    // system's own program-data folder always exists on Windows.
    std::string base = data_home();
    if (base.empty()) return std::wstring();
    if (!is_dir(base) && !create_dir_tree(wide(base))) return std::wstring();
    return get_company_known_folder(known_folder::program_data, subdirectory);
}

// The system's shared libraries stand in for the system folder, /usr for the
// Windows folder: both are the read-only home of what the system provides.
std::wstring get_system_dir() {
    static const std::wstring dir = L"/usr/lib/";
    return dir;
}

std::wstring get_windows_dir() {
    static const std::wstring dir = L"/usr/";
    return dir;
}

std::wstring get_temp_dir() {
    std::string p;
    if (const char* t = std::getenv("TMPDIR"); t && *t == '/') p = t;
    if (p.empty() || !is_dir(p)) p = "/tmp";
    if (!is_dir(p)) {
        trace_err.write("Unable to query temp directory\n");
        return std::wstring();
    }
    append_backslash(p);
    return wide(p);
}

std::wstring create_temp_file(const std::wstring& dir) {
    std::string tmpl = narrow(dir);
    append_backslash(tmpl);
    tmpl += "tmpXXXXXX";
    const int fd = tmpl.size() > 9 ? ::mkostemp(tmpl.data(), O_CLOEXEC) : -1;
    if (fd < 0) {
        win32::set_last_error_from_errno();
        trace_err.write(
            format_str("Unable to create temp file in directory \"%?\"\n", narrow(dir)));
        return std::wstring();
    }
    ::close(fd);
    return wide(tmpl);
}

std::wstring create_temp_file_in_temp_dir() {
    const std::wstring dir = get_temp_dir();
    if (dir.empty()) return dir;
    return create_temp_file(dir);
}

bool create_unique_temp_file(file_hnd& file, const std::wstring& prefix, uint32_t flags,
                             std::wstring& name) {
    for (int attempt = 0; attempt < 10000; ++attempt) {
        wchar_t digits[16];
        const size_t n = uint64_to_base36_w(lcg_random64(), digits, 16);
        std::wstring candidate = prefix + std::wstring(digits, n) + L".tmp";
        if (file.open(candidate, flags | 0x1540, sh_denyrw)) {
            name = std::move(candidate);
            return true;
        }
        if (file.last_error() != win32::error_file_exists) return false;
    }
    return false;
}

bool file_exists(const std::wstring& path) {
    struct stat st;
    const std::string p = narrow(path);
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool clear_read_only(const std::wstring& path) {
    struct stat st;
    const std::string p = narrow(path);
    if (::stat(p.c_str(), &st) != 0) return fail_errno();
    if (st.st_mode & S_IWUSR) return true;
    return ::chmod(p.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0 || fail_errno();
}

// Windows proves a file writable by copying it away and back; here another
// handle can only stand in the way through its share mode, so an open for
// writing that shares everything proves the same without touching the data.
bool wait_file_writable(const std::wstring& path, uint32_t timeout_ms) {
    if (!file_exists(path)) return true;
    clear_read_only(path);
    {
        file_hnd probe;
        if (!probe.open(path, o_rdonly, sh_denyno)) return false;
    }
    const uint32_t start = win32::get_tick_count();
    for (;;) {
        file_hnd f;
        if (f.open(path, o_wronly, sh_denyno)) return true;
        if (win32::get_tick_count() - start >= timeout_ms) return false;
        win32::sleep_ms(100);
    }
}

bool create_dir_tree(const std::wstring& path) {
    std::string p = narrow(path);
    if (p.empty()) return false;
    size_t pos = p[0] == '/' ? 1 : 0;
    // Skip the levels that exist, then make the rest.
    for (;;) {
        size_t next = p.find('/', pos);
        const std::string level = p.substr(0, next);
        if (!level.empty() && level != "/") {
            struct stat st;
            if (::stat(level.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode)) {
                    win32::set_last_error(win32::error_path_not_found);
                    return false;
                }
            } else if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
                return fail_errno();
            }
        }
        if (next == std::string::npos || next + 1 >= p.size()) return true;
        pos = next + 1;
    }
}

namespace {

// Deletes what the open directory holds. Every level is opened relative to
// its parent without following links, so a link planted in the tree (or
// swapped in while the walk runs) is removed as a link and nothing outside
// the tree is touched.
bool delete_contents(int dfd, int depth) {
    if (depth > 4096) {
        win32::set_last_error(win32::error_filename_exced_range);
        return false;
    }
    const int dup = ::fcntl(dfd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return fail_errno();
    DIR* d = ::fdopendir(dup);
    if (!d) {
        ::close(dup);
        return fail_errno();
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    bool ok = true;
    for (const auto& n : names) {
        struct stat st;
        if (::fstatat(dfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) ok = fail_errno();
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int sub =
                ::openat(dfd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                if (!delete_contents(sub, depth + 1)) ok = false;
                ::close(sub);
                if (::unlinkat(dfd, n.c_str(), AT_REMOVEDIR) != 0) ok = fail_errno();
                continue;
            }
            // Replaced by a link since the stat: remove it as one.
        }
        if (::unlinkat(dfd, n.c_str(), 0) != 0 && errno != ENOENT) ok = fail_errno();
    }
    return ok;
}

} // namespace

bool delete_tree(const std::wstring& path) {
    std::string p = narrow(remove_backslash(path));
    if (p.empty() || p == "/") {
        win32::set_last_error(win32::error_access_denied);
        return false;
    }
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return fail_errno();
    if (!S_ISDIR(st.st_mode)) return ::unlink(p.c_str()) == 0 || fail_errno();
    const int fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return fail_errno();
    const bool ok = delete_contents(fd, 0);
    ::close(fd);
    if (!ok) return false;
    return ::rmdir(p.c_str()) == 0 || fail_errno();
}

bool remove_file(const std::wstring& path) {
    const std::string p = narrow(path);
    return (!p.empty() && ::unlink(p.c_str()) == 0) || fail_errno();
}

bool rename_file(const std::wstring& from, const std::wstring& to) {
    const std::string a = narrow(from), b = narrow(to);
    if (a.empty() || b.empty()) {
        win32::set_last_error(win32::error_path_not_found);
        return false;
    }
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        if (errno == EEXIST) {
            win32::set_last_error(win32::error_already_exists);
            return false;
        }
        return fail_errno();
    }
    // A file system without the no-replace rename: a hard link is just as
    // atomic about the target (it fails when the target exists).
    if (::link(a.c_str(), b.c_str()) != 0) {
        if (errno == EEXIST) {
            win32::set_last_error(win32::error_already_exists);
            return false;
        }
        return fail_errno();
    }
    ::unlink(a.c_str());
    return true;
}

bool file_local_write_time(const std::wstring& path, win32::systemtime& local) {
    file_hnd f;
    if (!f.open(path, o_rdonly, sh_denyno)) return false;
    struct stat st;
    if (::fstat(f.handle(), &st) != 0) return fail_errno();
    win32::filetime lt;
    return win32::filetime_to_local_filetime(filetime_of(st.st_mtim), lt) &&
           win32::filetime_to_systemtime(lt, local);
}

namespace {

// The permission bits an access entry touches for its trustee, and the bits
// it asks for.
bool acl_bits(acl_trustee trustee, uint32_t mask, mode_t& scope, mode_t& wanted) {
    mode_t rwx = 0;
    if (mask & (generic_all | 0x1F01FF)) rwx |= 7;
    if (mask & generic_read) rwx |= 4;
    if (mask & generic_write) rwx |= 2;
    if (mask & generic_execute) rwx |= 1;
    switch (trustee) {
    case acl_trustee::owner:
        scope = S_IRWXU, wanted = rwx << 6;
        break;
    case acl_trustee::group:
        scope = S_IRWXG, wanted = rwx << 3;
        break;
    case acl_trustee::everyone:
        scope = S_IRWXG | S_IRWXO, wanted = (rwx << 3) | rwx;
        break;
    default:
        return false;
    }
    return true;
}

bool new_mode(mode_t old, acl_trustee trustee, uint32_t mask, uint32_t mode, mode_t& out) {
    mode_t scope, wanted;
    if (!acl_bits(trustee, mask, scope, wanted)) return false;
    old &= 07777;
    switch (mode) {
    case grant_access:
        out = old | wanted;
        return true;
    case set_access:
        out = (old & ~scope) | wanted;
        return true;
    case deny_access:
        out = old & ~wanted;
        return true;
    case revoke_access:
        out = old & ~scope;
        return true;
    default:
        return false;
    }
}

} // namespace

// POSIX permissions have no inheritance: a new file takes its mode from the
// creating process, so the inheritance word has nothing to act on here.
bool set_file_acl(const std::wstring& path, acl_trustee trustee, uint32_t access_mask,
                  uint32_t access_mode, uint32_t) {
    const std::string p = narrow(path);
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return fail_errno();
    mode_t m;
    if (!new_mode(st.st_mode, trustee, access_mask, access_mode, m)) {
        win32::set_last_error(win32::error_invalid_parameter);
        return false;
    }
    return ::chmod(p.c_str(), m) == 0 || fail_errno();
}

bool set_file_acl(file_handle fd, acl_trustee trustee, uint32_t access_mask, uint32_t access_mode,
                  uint32_t) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return fail_errno();
    mode_t m;
    if (!new_mode(st.st_mode, trustee, access_mask, access_mode, m)) {
        win32::set_last_error(win32::error_invalid_parameter);
        return false;
    }
    return ::fchmod(fd, m) == 0 || fail_errno();
}

namespace {

// The name part of a pattern as fnmatch reads it: "*" and "?" keep their
// meaning, everything else is literal; "*.*" takes every name, as it always
// has for directory walks.
std::string glob_of(const std::string& name_pattern) {
    if (name_pattern == "*.*" || name_pattern.empty()) return "*";
    std::string g;
    for (char c : name_pattern) {
        if (c == '[' || c == ']' || c == '\\') g.push_back('\\');
        g.push_back(c);
    }
    return g;
}

bool walk(const std::string& dir, const std::string& glob, const enum_callback& cb, int depth) {
    if (depth > 4096) return true;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return true; // nothing matches
    ::fcntl(::dirfd(d), F_SETFD, FD_CLOEXEC);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        if (::fnmatch(glob.c_str(), n.c_str(), 0) == 0) names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    const std::wstring wdir = wide(dir);
    std::vector<std::string> queued;
    for (const auto& n : names) {
        const std::string full = dir + n;
        struct stat lst, st;
        if (::lstat(full.c_str(), &lst) != 0) continue; // gone since the listing
        const bool link = S_ISLNK(lst.st_mode);
        if (!link || ::stat(full.c_str(), &st) != 0) st = lst;
        find_data fd;
        fd.attributes = attributes_from_mode(st.st_mode, n) |
                        (link ? uint32_t(file_attribute_reparse_point) : 0u);
        if (fd.attributes != file_attribute_normal) fd.attributes &= ~file_attribute_normal;
        fd.creation_time = filetime_of(st.st_mtim);
        fd.last_access_time = filetime_of(st.st_atim);
        fd.last_write_time = filetime_of(st.st_mtim);
        fd.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        fd.file_name = wide(n);
        const bool more = cb(wdir, fd);
        if (S_ISDIR(st.st_mode)) {
            // A linked directory is reported but never entered: a link back
            // up the tree would otherwise walk for ever.
            if (more && !link) queued.push_back(full + "/");
        } else if (!more) {
            return false;
        }
    }
    for (const auto& q : queued)
        if (!walk(q, glob, cb, depth + 1)) return false;
    return true;
}

} // namespace

bool enum_files(const std::wstring& pattern, const enum_callback& callback) {
    const std::string p = narrow(pattern);
    const auto slash = p.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    return walk(dir, glob_of(name), callback, 0);
}

} // namespace cl
