#include "platform/win32/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace win32 {

bool replace_file_contents_at(int dir_fd, const std::string& leaf, std::string_view data,
                              mode_t mode) {
    if (dir_fd < 0 || leaf.empty() || leaf == "." || leaf == ".." ||
        leaf.find('/') != std::string::npos)
        return false;
    // A name of its own, so two writers of one file never share a temporary.
    std::random_device rd;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(rd()));
        temp = leaf + suffix;
        fd = ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      mode);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    // The umask must not narrow or widen what the caller asked for.
    bool good = ::fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (good && done < data.size()) {
        const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        good = w > 0;
        if (good) done += static_cast<std::size_t>(w);
    }
    good = good && ::fsync(fd) == 0;
    good = ::close(fd) == 0 && good;
    if (good && ::renameat(dir_fd, temp.c_str(), dir_fd, leaf.c_str()) == 0) {
        // The rename itself is durable once the folder is synced.
        ::fsync(dir_fd);
        return true;
    }
    ::unlinkat(dir_fd, temp.c_str(), 0);
    return false;
}

bool replace_file_contents(const std::string& path, std::string_view data, mode_t mode) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? std::string("/")
                                                       : path.substr(0, slash);
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    const bool done = replace_file_contents_at(
        dir_fd, slash == std::string::npos ? path : path.substr(slash + 1), data, mode);
    ::close(dir_fd);
    return done;
}

} // namespace win32
