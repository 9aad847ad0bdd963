#include "platform/win32/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace win32 {

bool replace_file_contents(const std::string& path, std::string_view data, mode_t mode) {
    // A name of its own, so two writers of one file never share a temporary.
    std::random_device rd;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(rd()));
        temp = path + suffix;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
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
    if (good && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

} // namespace win32
