#include "dav/tree_ops.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/server_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

std::string u8(const std::wstring& s) {
    return cl::utf16_to_utf8(s);
}
std::wstring w(const std::string& s) {
    return cl::utf8_to_utf16(s);
}

std::string without_slash(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

std::pair<std::string, std::string> split(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// Closes a descriptor when it goes.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
};

// The names in a folder, "." and ".." left out, in order.
bool list_names(int dir_fd, std::vector<std::string>& names, int& error) {
    const int fd = ::dup(dir_fd);
    if (fd < 0) {
        error = errno;
        return false;
    }
    DIR* d = ::fdopendir(fd);
    if (!d) {
        error = errno;
        ::close(fd);
        return false;
    }
    errno = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
        errno = 0;
    }
    error = errno;
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return error == 0;
}

std::string below(const std::string& rel, const std::string& name) {
    return rel.empty() ? name : rel + "/" + name;
}

// The check's answer for a member (never for the top, whose rel is empty).
// A link is copied or removed as a link, its target never read nor written:
// it is an entry of its folder like a name, and its folder was asked about.
int asked(const member_check* check, const std::string& rel, const struct stat& st) {
    if (!check || rel.empty() || S_ISLNK(st.st_mode)) return 0;
    return (*check)(w(rel), S_ISDIR(st.st_mode));
}

bool remove_entry(int parent_fd, const std::string& name, const std::string& full,
                  std::vector<tree_failure>& failures, const member_check* check = nullptr,
                  const std::string& rel = std::string()) {
    struct stat st {};
    if (::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        failures.push_back({w(full), status_of_errno(errno)});
        return false;
    }
    if (const int refused = asked(check, rel, st)) {
        failures.push_back({w(full), refused});
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        fd_guard dir(
            ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.fd < 0) {
            failures.push_back({w(full), status_of_errno(errno)});
            return false;
        }
        std::vector<std::string> names;
        int error = 0;
        if (!list_names(dir.fd, names, error)) {
            failures.push_back({w(full), status_of_errno(error)});
            return false;
        }
        bool all = true;
        for (const std::string& n : names)
            all = remove_entry(dir.fd, n, full + "/" + n, failures, check, below(rel, n)) && all;
        if (!all) return false; // the folder cannot be empty: its failed entries say why
        if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) {
            failures.push_back({w(full), status_of_errno(errno)});
            return false;
        }
        return true;
    }
    if (::unlinkat(parent_fd, name.c_str(), 0) != 0) {
        failures.push_back({w(full), status_of_errno(errno)});
        return false;
    }
    return true;
}

int copy_file(const std::string& src, const std::string& dst, const struct stat& st) {
    fd_guard in(::open(src.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.fd < 0) return status_of_errno(errno);
    fd_guard out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0) return status_of_errno(errno);
    bool plain = false;
    for (;;) {
        const ssize_t n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, 1 << 30, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                plain = true;
                break;
            }
            return status_of_errno(errno);
        }
    }
    if (plain) {
        std::vector<char> buf(1 << 16);
        for (;;) {
            const ssize_t n = ::read(in.fd, buf.data(), buf.size());
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                return status_of_errno(errno);
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t m = ::write(out.fd, buf.data() + done, static_cast<size_t>(n - done));
                if (m < 0) {
                    if (errno == EINTR) continue;
                    return status_of_errno(errno);
                }
                done += m;
            }
        }
    }
    if (!copy_xattrs(in.fd, out.fd))
        cl::trace_out.write(cl::format_str("extended attributes not copied to %?\n", dst));
    if (::fchmod(out.fd, st.st_mode & 07777) != 0) return status_of_errno(errno);
    if (::fsync(out.fd) != 0) return status_of_errno(errno);
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) return status_of_errno(errno);
    return 0;
}

int copy_entry(const std::string& src, const std::string& dst, bool recursive,
               const member_check* check = nullptr, std::vector<tree_failure>* refused = nullptr,
               const std::string& rel = std::string()) {
    struct stat st {};
    if (::lstat(src.c_str(), &st) != 0) return status_of_errno(errno);
    if (const int s = asked(check, rel, st)) {
        if (refused) refused->push_back({w(src), s});
        return 0;
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 2);
        const ssize_t n = ::readlink(src.c_str(), target.data(), target.size() - 1);
        if (n < 0) return status_of_errno(errno);
        target[static_cast<std::size_t>(n)] = 0;
        if (::symlink(target.data(), dst.c_str()) != 0) return status_of_errno(errno);
        return 0;
    }
    if (S_ISREG(st.st_mode)) return copy_file(src, dst, st);
    if (!S_ISDIR(st.st_mode)) {
        // Devices, pipes and sockets have no content to copy.
        if (trace_level() > 1)
            cl::trace_out.write(cl::format_str("copy: %? is no file nor folder, left out\n", src));
        return 0;
    }
    if (::mkdir(dst.c_str(), 0700) != 0) return status_of_errno(errno);
    if (recursive) {
        fd_guard dir(::open(src.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.fd < 0) return status_of_errno(errno);
        std::vector<std::string> names;
        int error = 0;
        if (!list_names(dir.fd, names, error)) return status_of_errno(error);
        for (const std::string& n : names)
            if (const int s =
                    copy_entry(src + "/" + n, dst + "/" + n, true, check, refused, below(rel, n)))
                return s;
    }
    fd_guard from(::open(src.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    fd_guard to(::open(dst.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (from.fd < 0 || to.fd < 0) return status_of_errno(errno);
    copy_xattrs(from.fd, to.fd);
    if (::fchmod(to.fd, st.st_mode & 07777) != 0) return status_of_errno(errno);
    return 0;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// rename without replacing; false with errno set.
bool rename_new(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: test first, then rename.
    if (exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void discard(const std::string& path) {
    std::vector<tree_failure> ignored;
    delete_tree(w(path), ignored);
}

} // namespace

int status_of_errno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return 403;
    case ENOENT:
    case ENOTDIR:
    case EEXIST:
    case ENOTEMPTY:
    case EISDIR:
    case EINVAL:
        return 409;
    case ENOSPC:
    case EDQUOT:
        return 507;
    case ENAMETOOLONG:
        return 400;
    case EXDEV:
        return 502;
    default:
        return 500;
    }
}

std::wstring sibling_temp_name(const std::wstring& path) {
    const auto [dir, name] = split(without_slash(u8(path)));
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint8_t b[8];
        if (::getrandom(b, sizeof b, 0) != sizeof b) continue;
        char text[32];
        std::snprintf(text, sizeof text, ".tq-%02x%02x%02x%02x%02x%02x%02x%02x.tmp", b[0], b[1],
                      b[2], b[3], b[4], b[5], b[6], b[7]);
        const std::string candidate = (dir == "/" ? std::string() : dir) + "/" + text;
        if (!exists(candidate)) return w(candidate);
    }
    return std::wstring();
}

bool copy_xattrs(int from_fd, int to_fd) {
    ssize_t size = ::flistxattr(from_fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    if (size == 0) return true;
    std::vector<char> names(static_cast<std::size_t>(size));
    size = ::flistxattr(from_fd, names.data(), names.size());
    if (size < 0) return false;
    bool ok = true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(size);) {
        const std::string name(names.data() + i);
        i += name.size() + 1;
        const ssize_t len = ::fgetxattr(from_fd, name.c_str(), nullptr, 0);
        if (len < 0) continue;
        std::vector<char> value(static_cast<std::size_t>(len) + 1);
        const ssize_t got = ::fgetxattr(from_fd, name.c_str(), value.data(), value.size());
        if (got < 0) continue;
        if (::fsetxattr(to_fd, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
            // Only what a user may set is expected to come along; the
            // system's own namespaces may be refused to an unprivileged server.
            if (name.rfind("user.", 0) == 0) ok = false;
        }
    }
    return ok;
}

bool delete_tree(const std::wstring& path, std::vector<tree_failure>& failures,
                 const member_check* check) {
    const std::string p = without_slash(u8(path));
    const auto [dir, name] = split(p);
    fd_guard parent(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.fd < 0) {
        failures.push_back({path, status_of_errno(errno)});
        return false;
    }
    return remove_entry(parent.fd, name, p, failures, check);
}

namespace {

void collect_refused(const std::string& path, const std::string& rel, const member_check& check,
                     std::vector<tree_failure>& refused, int depth) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    const bool folder = S_ISDIR(st.st_mode);
    if (const int s = asked(&check, rel, st)) {
        refused.push_back({w(path), s});
        return;
    }
    // Deeper than any real tree: what is below is not looked at, and the
    // caller treats the tree as one it may not handle whole.
    if (!folder) return;
    if (depth > 256) {
        refused.push_back({w(path), 507});
        return;
    }
    fd_guard dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0) return;
    std::vector<std::string> names;
    int error = 0;
    if (!list_names(dir.fd, names, error)) return;
    for (const std::string& n : names)
        collect_refused(path + "/" + n, below(rel, n), check, refused, depth + 1);
}

} // namespace

bool refused_members(const std::wstring& path, const member_check& check,
                     std::vector<tree_failure>& refused) {
    const std::size_t before = refused.size();
    collect_refused(without_slash(u8(path)), std::string(), check, refused, 0);
    return refused.size() == before;
}

int copy_to_new(const std::wstring& source, const std::wstring& dest, bool recursive) {
    const std::wstring tmp = sibling_temp_name(dest);
    if (tmp.empty()) return 500;
    const std::string t = u8(tmp);
    if (const int s = copy_entry(without_slash(u8(source)), t, recursive)) {
        discard(t);
        return s;
    }
    if (!rename_new(t, without_slash(u8(dest)))) {
        const int s = errno == EEXIST ? 412 : status_of_errno(errno);
        discard(t);
        return s;
    }
    return 0;
}

int move_into_place(const std::wstring& source, const std::wstring& dest, bool replace,
                    std::vector<tree_failure>& leftovers) {
    const std::string s = without_slash(u8(source));
    const std::string d = without_slash(u8(dest));
    if (!replace) {
        if (rename_new(s, d)) return 0;
        return errno == EEXIST ? 412 : status_of_errno(errno);
    }
    // One step where the file system can: the old dest ends up at source.
    if (::renameat2(AT_FDCWD, s.c_str(), AT_FDCWD, d.c_str(), RENAME_EXCHANGE) == 0) {
        delete_tree(w(s), leftovers);
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) return status_of_errno(errno);
    const std::wstring aside_w = sibling_temp_name(dest);
    if (aside_w.empty()) return 500;
    const std::string aside = u8(aside_w);
    if (!rename_new(d, aside)) return status_of_errno(errno);
    if (!rename_new(s, d)) {
        const int status = status_of_errno(errno);
        if (!rename_new(aside, d))
            cl::trace_out.write(cl::format_str("could not put %? back to %?\n", aside, d));
        return status;
    }
    delete_tree(aside_w, leftovers);
    return 0;
}

transfer_result copy_or_move(const std::wstring& source, const std::wstring& dest, bool move,
                             bool overwrite, bool recursive, const member_check* check) {
    transfer_result r;
    std::vector<tree_failure> refused;
    // A tree with members that must stay cannot move in one rename.
    const bool whole = !check || refused_members(source, *check, refused);
    refused.clear();
    const std::string d = without_slash(u8(dest));
    const bool dest_exists = exists(d);
    if (dest_exists && !overwrite) {
        r.status = 412;
        return r;
    }
    if (move && whole) {
        // Within one file system a rename moves everything at once.
        r.status = move_into_place(source, dest, dest_exists, r.failures);
        if (r.status != status_of_errno(EXDEV)) return r;
        // Across file systems: complete the copy, put it in place, and only
        // then let go of the source.
        r.failures.clear();
    }
    r.status = 0;
    const std::wstring tmp = sibling_temp_name(dest);
    if (tmp.empty()) {
        r.status = 500;
        return r;
    }
    if (const int s = copy_entry(without_slash(u8(source)), u8(tmp), recursive, check, &refused)) {
        discard(u8(tmp));
        r.status = s;
        return r;
    }
    if (const int s = move_into_place(tmp, dest, dest_exists, r.failures)) {
        discard(u8(tmp));
        r.status = s;
        return r;
    }
    if (move) {
        // The refused members were listed by the copy; the removal leaves
        // the same ones.
        std::vector<tree_failure> left;
        delete_tree(source, left, check);
        for (const tree_failure& f : left)
            if (std::none_of(refused.begin(), refused.end(),
                             [&f](const tree_failure& g) { return g.path == f.path; }))
                r.failures.push_back(f);
    }
    r.failures.insert(r.failures.begin(), refused.begin(), refused.end());
    return r;
}
