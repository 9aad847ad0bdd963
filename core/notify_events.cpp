#include "core/notify_events.h"

#include <cerrno>
#include <unistd.h>

namespace cl {

void read_notify_events(int fd, const std::function<void(const inotify_event&)>& each,
                        int max_reads) {
    if (fd < 0) return;
    alignas(inotify_event) char buf[16384];
    for (int round = 0; round < max_reads; ++round) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (const char* p = buf; p < buf + n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            each(*ev);
        }
    }
}

} // namespace cl
