#include "platform/win32/open_beneath.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace win32 {

namespace {

// Whether the kernel has openat2: learnt from the first call.
std::atomic<bool> no_openat2{false};

std::string proc_name(int fd) {
    char name[40];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return name;
}

std::string_view without_leading_slashes(std::string_view rel) {
    while (!rel.empty() && rel.front() == '/')
        rel.remove_prefix(1);
    return rel;
}

int close_keeping_errno(int fd) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
}

// The slow road: open a path handle through whatever links the name holds,
// judge where it really is, then open that very file again through the
// handle (a name that changes meanwhile is not looked at again).
int open_checked(int root_fd, const std::string& root_real, const std::string& rel, int flags,
                 mode_t mode) {
    const int handle_flags = O_PATH | O_CLOEXEC | (flags & (O_NOFOLLOW | O_DIRECTORY));
    const int handle = ::openat(root_fd, rel.c_str(), handle_flags);
    if (handle < 0) {
        if (errno != ENOENT || !(flags & O_CREAT)) return -1;
        // A new file: made in its folder, which must lie in the tree, and
        // never through a link of the last name.
        std::string leaf;
        const int dir = open_parent_beneath(root_fd, root_real, rel, O_PATH, leaf);
        if (dir < 0) return -1;
        const int fd = ::openat(dir, leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) return close_keeping_errno(dir);
        ::close(dir);
        return fd;
    }
    if (!path_within(descriptor_path(handle), root_real)) {
        ::close(handle);
        errno = EXDEV;
        return -1;
    }
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        ::close(handle);
        errno = EEXIST;
        return -1;
    }
    if (flags & O_PATH) return handle;
    const int fd =
        ::open(proc_name(handle).c_str(), (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC);
    if (fd < 0) return close_keeping_errno(handle);
    ::close(handle);
    return fd;
}

} // namespace

std::string descriptor_path(int fd) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(proc_name(fd).c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

bool path_within(std::string_view real, std::string_view root_real) {
    if (real.empty() || root_real.empty() || real.front() != '/') return false;
    if (root_real == "/") return true;
    if (real.compare(0, root_real.size(), root_real) != 0) return false;
    return real.size() == root_real.size() || real[root_real.size()] == '/';
}

int open_beneath(int root_fd, const std::string& root_real, std::string_view rel_in, int flags,
                 mode_t mode) {
    if (root_fd < 0 || root_real.empty()) {
        errno = EBADF;
        return -1;
    }
    std::string rel(without_leading_slashes(rel_in));
    if (rel.empty()) rel = ".";
    if (!no_openat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        // A mode is taken only by an open that may create.
        const bool creates = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
        how.mode = creates ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, root_fd, rel.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        // EXDEV: the kernel met an absolute link or a step out of the
        // folder, which may still end inside the tree; EAGAIN: a rename
        // raced the look-up. Both are judged on the slow road.
        if (errno == ENOSYS)
            no_openat2.store(true, std::memory_order_relaxed);
        else if (errno != EXDEV && errno != EAGAIN)
            return -1;
    }
    return open_checked(root_fd, root_real, rel, flags, mode);
}

int open_parent_beneath(int root_fd, const std::string& root_real, std::string_view rel_in,
                        int flags, std::string& leaf) {
    std::string_view rel = without_leading_slashes(rel_in);
    while (!rel.empty() && rel.back() == '/')
        rel.remove_suffix(1);
    const std::size_t slash = rel.rfind('/');
    leaf = std::string(slash == std::string_view::npos ? rel : rel.substr(slash + 1));
    if (leaf.empty() || leaf == "." || leaf == "..") {
        errno = EINVAL;
        return -1;
    }
    const std::string_view dir =
        slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash);
    return open_beneath(root_fd, root_real, dir, flags | O_DIRECTORY);
}

} // namespace win32
