// The events an inotify descriptor has queued, read in whole buffers and
// handed out one by one.
#pragma once
#include <sys/inotify.h>

#include <functional>

namespace cl {

// Reads the queue of the non-blocking descriptor until it is empty (at most
// `max_reads` reads, so a queue filled as fast as it is read cannot hold the
// caller for ever) and calls `each` for every event.
void read_notify_events(int fd, const std::function<void(const inotify_event&)>& each,
                        int max_reads = 1024);

} // namespace cl
