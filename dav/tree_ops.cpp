#include "dav/tree_ops.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
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
#include <cstdlib>
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

// A name in an opened folder. The folder is opened once, beneath the
// document root when the path lies in the tree, and every later call names
// the entry relative to that descriptor: a link swapped in on the path
// above it cannot carry the call elsewhere.
struct place {
    int dir = -1;
    std::string name;
    std::string folder; // the folder's path as named, for answers and traces
    place() = default;
    place(const place&) = delete;
    place& operator=(const place&) = delete;
    ~place() {
        if (dir >= 0) ::close(dir);
    }
    std::string full() const { return child(name); }
    std::string child(const std::string& leaf) const {
        return (folder == "/" ? std::string() : folder) + "/" + leaf;
    }
};

// Opens the folder of path; false with errno set.
bool open_place(const std::wstring& path, place& p) {
    const std::string full = without_slash(u8(path));
    p.folder = split(full).first;
    p.dir = cl::open_tree_parent(full, O_RDONLY, p.name);
    // A folder that lies outside the tree is one the server may not write in.
    if (p.dir < 0 && errno == EXDEV) errno = EACCES;
    return p.dir >= 0;
}

// A second name in the same opened folder.
bool sibling_place(const place& of, const std::string& leaf, place& p) {
    p.dir = ::fcntl(of.dir, F_DUPFD_CLOEXEC, 0);
    p.folder = of.folder;
    p.name = leaf;
    return p.dir >= 0;
}

// The check's answer for a member (never for the top, whose rel is empty).
// A link is copied or removed as a link, its target never read nor written:
// it is an entry of its folder like a name, and its folder was asked about.
int asked(const member_check* check, const std::string& rel, const struct stat& st,
          bool removing = false) {
    if (!check || rel.empty() || S_ISLNK(st.st_mode)) return 0;
    const int answer =
        (*check)(w(rel), S_ISDIR(st.st_mode), S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR));
    return answer == member_with_folder && !removing ? 0 : answer;
}

// Deeper than any real tree: what lies below is neither walked nor handled.
constexpr int deepest = 256;

// With `last` an entry that goes with its folder is removed (its siblings
// all went); otherwise it is left for then, and true is returned with it in
// `deferred`.
bool remove_entry(int parent_fd, const std::string& name, const std::string& full,
                  std::vector<tree_failure>& failures, const member_check* check = nullptr,
                  const std::string& rel = std::string(), int depth = 0,
                  std::vector<std::string>* deferred = nullptr) {
    struct stat st {};
    if (::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        failures.push_back({w(full), status_of_errno(errno)});
        return false;
    }
    if (const int refused = asked(check, rel, st, true)) {
        if (refused == member_with_folder && deferred) {
            deferred->push_back(name);
            return true;
        }
        if (refused != member_with_folder) {
            failures.push_back({w(full), refused});
            return false;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        if (depth > deepest) {
            failures.push_back({w(full), 507});
            return false;
        }
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
        std::vector<std::string> last;
        for (const std::string& n : names)
            all = remove_entry(dir.fd, n, full + "/" + n, failures, check, below(rel, n), depth + 1,
                               &last) &&
                  all;
        // The folder cannot be empty: its failed entries say why, and what
        // goes with the folder stays with them.
        if (!all) return false;
        for (const std::string& n : last)
            all = remove_entry(dir.fd, n, full + "/" + n, failures, check, below(rel, n),
                               depth + 1) &&
                  all;
        if (!all) return false;
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

int copy_file(int src_dir, const std::string& src, int dst_dir, const std::string& dst,
              const std::string& dst_full, const struct stat& st) {
    // Never waits on a pipe put in the file's place.
    fd_guard in(::openat(src_dir, src.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.fd < 0) return status_of_errno(errno);
    struct stat now {};
    if (::fstat(in.fd, &now) != 0) return status_of_errno(errno);
    if (!S_ISREG(now.st_mode)) return 409;
    fd_guard out(
        ::openat(dst_dir, dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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
        cl::trace_out.write(cl::format_str("extended attributes not copied to %?\n", dst_full));
    if (::fchmod(out.fd, st.st_mode & 07777) != 0) return status_of_errno(errno);
    if (::fsync(out.fd) != 0) return status_of_errno(errno);
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) return status_of_errno(errno);
    return 0;
}

bool inside_real_root(const std::string& path, const std::string& root) {
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            (root == "/" || path[root.size()] == '/'));
}

// Whether a link with this target, made at dst_full, leads to a place of the
// served tree. The tree's own links are only ever followed when they stay in
// it; a copy makes none that leads out of it, whatever was there when the
// request was decided, and whatever depth it lands at (a relative target
// means another place there). Copies made outside the tree are not judged.
bool link_stays_in_tree(const std::string& target, const std::string& dst_full) {
    const std::shared_ptr<const cl::tree_root>& tree = cl::document_tree();
    std::string_view rest;
    if (!tree || tree->real().empty() || !tree->contains(dst_full, rest)) return true;
    const std::string& root = tree->real();
    char* base = ::realpath(split(dst_full).first.c_str(), nullptr);
    if (!base) return false;
    std::string joined = !target.empty() && target[0] == '/' ? target : base + ("/" + target);
    std::free(base);
    // First as text, "." and ".." taken as they read: the target need not be
    // there yet (a member copied later).
    std::vector<std::string_view> parts;
    for (std::size_t at = 0; at <= joined.size();) {
        std::size_t end = joined.find('/', at);
        if (end == std::string::npos) end = joined.size();
        const std::string_view part(joined.data() + at, end - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string lexical;
    for (std::string_view part : parts)
        lexical.append("/").append(part);
    if (lexical.empty()) lexical = "/";
    if (!inside_real_root(lexical, root)) return false;
    // Then as the file system resolves it, where it resolves.
    if (char* real = ::realpath(joined.c_str(), nullptr)) {
        const bool in = inside_real_root(real, root);
        std::free(real);
        return in;
    }
    return true;
}

// Copies the entry `src` of the folder src_dir to the new name `dst` of
// dst_dir; the full names are for answers and traces.
int copy_entry(int src_dir, const std::string& src, const std::string& src_full, int dst_dir,
               const std::string& dst, const std::string& dst_full, bool recursive,
               const member_check* check = nullptr, std::vector<tree_failure>* refused = nullptr,
               const std::string& rel = std::string(), int depth = 0, bool new_links = true) {
    struct stat st {};
    if (::fstatat(src_dir, src.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return status_of_errno(errno);
    if (const int s = asked(check, rel, st)) {
        if (refused) refused->push_back({w(src_full), s});
        return 0;
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 2);
        const ssize_t n = ::readlinkat(src_dir, src.c_str(), target.data(), target.size() - 1);
        if (n < 0) return status_of_errno(errno);
        target[static_cast<std::size_t>(n)] = 0;
        // A MOVE takes its links along as they were (the source's go).
        if (new_links && !link_stays_in_tree(target.data(), dst_full)) {
            if (trace_level() > 0)
                cl::trace_out.write(
                    cl::format_str("copy: the link %? would lead out of the tree at %?, left out\n",
                                   src_full, dst_full));
            // The top of the copy is what the request named: all or nothing.
            if (rel.empty()) return 403;
            if (refused) refused->push_back({w(src_full), 403});
            return 0;
        }
        if (::symlinkat(target.data(), dst_dir, dst.c_str()) != 0) return status_of_errno(errno);
        return 0;
    }
    if (S_ISREG(st.st_mode)) return copy_file(src_dir, src, dst_dir, dst, dst_full, st);
    if (!S_ISDIR(st.st_mode)) {
        // Devices, pipes and sockets have no content to copy.
        if (trace_level() > 1)
            cl::trace_out.write(
                cl::format_str("copy: %? is no file nor folder, left out\n", src_full));
        return 0;
    }
    if (depth > deepest) return 507;
    fd_guard from(::openat(src_dir, src.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (from.fd < 0) return status_of_errno(errno);
    if (::mkdirat(dst_dir, dst.c_str(), 0700) != 0) return status_of_errno(errno);
    fd_guard to(::openat(dst_dir, dst.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (to.fd < 0) return status_of_errno(errno);
    if (recursive) {
        std::vector<std::string> names;
        int error = 0;
        if (!list_names(from.fd, names, error)) return status_of_errno(error);
        for (const std::string& n : names)
            if (const int s =
                    copy_entry(from.fd, n, src_full + "/" + n, to.fd, n, dst_full + "/" + n, true,
                               check, refused, below(rel, n), depth + 1, new_links))
                return s;
    }
    copy_xattrs(from.fd, to.fd);
    if (::fchmod(to.fd, st.st_mode & 07777) != 0) return status_of_errno(errno);
    return 0;
}

bool exists_at(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// rename without replacing; false with errno set.
bool rename_new(const place& from, const place& to) {
    if (::renameat2(from.dir, from.name.c_str(), to.dir, to.name.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: test first, then rename.
    if (exists_at(to.dir, to.name)) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(from.dir, from.name.c_str(), to.dir, to.name.c_str()) == 0;
}

void discard(const place& p) {
    std::vector<tree_failure> ignored;
    remove_entry(p.dir, p.name, p.full(), ignored);
}

std::string random_leaf() {
    uint8_t b[8];
    if (::getrandom(b, sizeof b, 0) != sizeof b) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, ".tq-%02x%02x%02x%02x%02x%02x%02x%02x.tmp", b[0], b[1], b[2],
                  b[3], b[4], b[5], b[6], b[7]);
    return text;
}

// A hidden name that does not exist yet in the opened folder of `of`.
bool temp_place(const place& of, place& p) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string leaf = random_leaf();
        if (!leaf.empty() && !exists_at(of.dir, leaf)) return sibling_place(of, leaf, p);
    }
    errno = EEXIST;
    return false;
}

int move_into_place(const place& s, const place& d, bool replace,
                    std::vector<tree_failure>& leftovers) {
    if (!replace) {
        if (rename_new(s, d)) return 0;
        return errno == EEXIST ? 412 : status_of_errno(errno);
    }
    // One step where the file system can: the old dest ends up at source.
    if (::renameat2(s.dir, s.name.c_str(), d.dir, d.name.c_str(), RENAME_EXCHANGE) == 0) {
        remove_entry(s.dir, s.name, s.full(), leftovers);
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) return status_of_errno(errno);
    place aside;
    if (!temp_place(d, aside)) return 500;
    if (!rename_new(d, aside)) return status_of_errno(errno);
    if (!rename_new(s, d)) {
        const int status = status_of_errno(errno);
        if (!rename_new(aside, d))
            cl::trace_out.write(
                cl::format_str("could not put %? back to %?\n", aside.full(), d.full()));
        return status;
    }
    remove_entry(aside.dir, aside.name, aside.full(), leftovers);
    return 0;
}

void collect_refused(int dir_fd, const std::string& name, const std::string& full,
                     const std::string& rel, const member_check& check,
                     std::vector<tree_failure>& refused, int depth) {
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (const int s = asked(&check, rel, st)) {
        refused.push_back({w(full), s});
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    // What is below is not looked at, and the caller treats the tree as one
    // it may not handle whole.
    if (depth > deepest) {
        refused.push_back({w(full), 507});
        return;
    }
    fd_guard dir(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0) return;
    std::vector<std::string> names;
    int error = 0;
    if (!list_names(dir.fd, names, error)) return;
    for (const std::string& n : names)
        collect_refused(dir.fd, n, full + "/" + n, below(rel, n), check, refused, depth + 1);
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
    const std::string dir = split(without_slash(u8(path))).first;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string leaf = random_leaf();
        if (leaf.empty()) continue;
        const std::string candidate = (dir == "/" ? std::string() : dir) + "/" + leaf;
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0) return w(candidate);
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
    place p;
    if (!open_place(path, p)) {
        failures.push_back({path, status_of_errno(errno)});
        return false;
    }
    return remove_entry(p.dir, p.name, p.full(), failures, check);
}

bool refused_members(const std::wstring& path, const member_check& check,
                     std::vector<tree_failure>& refused) {
    const std::size_t before = refused.size();
    place p;
    if (open_place(path, p))
        collect_refused(p.dir, p.name, p.full(), std::string(), check, refused, 0);
    return refused.size() == before;
}

int copy_to_new(const std::wstring& source, const std::wstring& dest, bool recursive) {
    place s, d, t;
    if (!open_place(source, s) || !open_place(dest, d)) return status_of_errno(errno);
    if (!temp_place(d, t)) return 500;
    if (const int status =
            copy_entry(s.dir, s.name, s.full(), t.dir, t.name, t.full(), recursive)) {
        discard(t);
        return status;
    }
    if (!rename_new(t, d)) {
        const int status = errno == EEXIST ? 412 : status_of_errno(errno);
        discard(t);
        return status;
    }
    return 0;
}

int move_into_place(const std::wstring& source, const std::wstring& dest, bool replace,
                    std::vector<tree_failure>& leftovers) {
    place s, d;
    if (!open_place(source, s) || !open_place(dest, d)) return status_of_errno(errno);
    return move_into_place(s, d, replace, leftovers);
}

transfer_result copy_or_move(const std::wstring& source, const std::wstring& dest, bool move,
                             bool overwrite, bool recursive, const member_check* check) {
    transfer_result r;
    // Both folders are opened once; everything below happens in them.
    place s, d;
    if (!open_place(source, s) || !open_place(dest, d)) {
        r.status = status_of_errno(errno);
        return r;
    }
    std::vector<tree_failure> refused;
    // A tree with members that must stay cannot move in one rename.
    bool whole = true;
    if (check) {
        collect_refused(s.dir, s.name, s.full(), std::string(), *check, refused, 0);
        whole = refused.empty();
        refused.clear();
    }
    const bool dest_exists = exists_at(d.dir, d.name);
    if (dest_exists && !overwrite) {
        r.status = 412;
        return r;
    }
    if (move && whole) {
        // Within one file system a rename moves everything at once.
        r.status = move_into_place(s, d, dest_exists, r.failures);
        if (r.status != status_of_errno(EXDEV)) return r;
        // Across file systems: complete the copy, put it in place, and only
        // then let go of the source.
        r.failures.clear();
    }
    r.status = 0;
    place t;
    if (!temp_place(d, t)) {
        r.status = 500;
        return r;
    }
    if (const int status = copy_entry(s.dir, s.name, s.full(), t.dir, t.name, t.full(), recursive,
                                      check, &refused, std::string(), 0, !move)) {
        discard(t);
        r.status = status;
        return r;
    }
    if (const int status = move_into_place(t, d, dest_exists, r.failures)) {
        discard(t);
        r.status = status;
        return r;
    }
    if (move) {
        // The refused members were listed by the copy; the removal leaves
        // the same ones.
        std::vector<tree_failure> left;
        remove_entry(s.dir, s.name, s.full(), left, check);
        for (const tree_failure& f : left)
            if (std::none_of(refused.begin(), refused.end(),
                             [&f](const tree_failure& g) { return g.path == f.path; }))
                r.failures.push_back(f);
    }
    r.failures.insert(r.failures.begin(), refused.begin(), refused.end());
    return r;
}
