#include "shell/instance.h"

#include "core/hrtime.h"
#include "core/text.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

int open_lock_file(const std::wstring& data_dir, int flags) {
    const std::string path = cl::utf16_to_utf8(instance_lock_path(data_dir));
    return ::open(path.c_str(), flags | O_CLOEXEC, 0600);
}

// The process id written in the lock file; 0 when there is none.
pid_t read_pid(int fd) {
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    long v = std::strtol(buf, &end, 10);
    if (end == buf || v <= 1 || v > 0x3fffffff) return 0;
    return static_cast<pid_t>(v);
}

} // namespace

std::wstring instance_lock_path(const std::wstring& data_dir) {
    return data_dir + L"teskqvel w32daemon loaded.lock";
}

int take_instance_lock(const std::wstring& data_dir, uint32_t timeout_ms) {
    int fd = open_lock_file(data_dir, O_RDWR | O_CREAT);
    if (fd < 0) return -1;
    const uint32_t start = cl::get_tick_count();
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ::close(fd);
            return -1;
        }
        if (cl::get_tick_count() - start >= timeout_ms) {
            ::close(fd);
            return -1;
        }
        cl::sleep_ms(10);
    }
    // The id of the copy that holds the lock, for "-d".
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd, pid.data(), pid.size(), 0) == ssize_t(pid.size()))
        (void)::ftruncate(fd, off_t(pid.size()));
    return fd;
}

void release_instance_lock(int& fd) {
    if (fd < 0) return;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    fd = -1;
}

bool instance_running(const std::wstring& data_dir) {
    int fd = open_lock_file(data_dir, O_RDONLY);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool close_running_copy(const std::wstring& data_dir, uint32_t timeout_ms) {
    const uint32_t start = cl::get_tick_count();
    for (;;) {
        int fd = open_lock_file(data_dir, O_RDONLY);
        if (fd < 0) return true;
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            ::close(fd);
            return true;
        }
        // Read while the lock is held by the other copy, so the id is its own.
        const pid_t pid = read_pid(fd);
        ::close(fd);
        if (pid && pid != ::getpid()) ::kill(pid, SIGTERM);
        if (cl::get_tick_count() - start >= timeout_ms) return false;
        cl::sleep_ms(100);
    }
}
