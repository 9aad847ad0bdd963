#include "server/access_log_rotation.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::wstring rotated_log_name(const std::wstring& log_dir, const win32::systemtime& local) {
    return cl::format_wstr(L"%?access.log.%?%02?%02?.txt", log_dir, local.year, local.month,
                           local.day);
}

bool rename_file(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: a new link cannot replace
    // an existing name either.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool access_log::rotate_to(const std::wstring& target) {
    // Held throughout: no batch is written while the files change hands, and
    // queue_line, which takes only lock_, never waits for it.
    cl::cs_lock w(write_lock_);
    // The lines queued so far belong to the old day's file.
    flush_queue();
    std::wstring current;
    int old_fd;
    {
        cl::cs_lock g(lock_);
        current = path_;
        old_fd = fd_;
    }
    if (old_fd < 0 || current.empty()) return false;
    const std::string from = cl::utf16_to_utf8(current);
    const std::string to = cl::utf16_to_utf8(target);
    if (!rename_file(from, to)) {
        cl::trace_out.write(cl::format_str("access log: unable to rename %? to %?: %?\n", from, to,
                                           std::strerror(errno)));
        return false;
    }
    const int fd = ::open(from.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        // The renamed file keeps taking the lines: late, but none lost.
        cl::trace_out.write(cl::format_str("access log: unable to open a new %?: %?\n", from,
                                           std::strerror(errno)));
        return false;
    }
    {
        cl::cs_lock g(lock_);
        fd_ = fd;
    }
    ::close(old_fd);
    return true;
}
