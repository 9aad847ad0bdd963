// Change notification for the names that a cached configuration depends on:
// the access files of each directory on a path and each path component in
// its parent. One inotify descriptor watches every directory in use; a change
// of a watched name bumps that name's generation. A cached configuration keeps
// the generations it was built with, so checking it costs a few comparisons,
// however deep the path.
//
// Who reads the notifications: in the background mode a watcher thread sleeps
// on the descriptor and applies each change as the kernel queues it, so a
// request checks memory only and makes no system call while nothing changes.
// The thread runs at a real-time priority where the system allows it: the
// kernel queues the event inside the call that changed the file, and wakes
// the watcher then, before the client that made the change can even send its
// next request; the watcher only has to apply it before that request is
// looked at, and it pre-empts ordinary threads to do so. Without the
// background mode every check reads the descriptor itself (one non-blocking
// read), which is exact by construction.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace scripting {

class access_watch {
  public:
    // The generation of one name in one watched directory.
    struct name_slot {
        std::atomic<uint64_t> generation{0};
    };
    // What a cached configuration keeps: the slot and its value when built.
    struct stamp {
        std::shared_ptr<const name_slot> slot;
        uint64_t generation = 0;
    };

    // Without `enabled` (or when the system refuses an inotify descriptor)
    // nothing is watched and every watch() fails, so callers fall back to
    // comparing file signatures.
    explicit access_watch(bool enabled = true, std::size_t max_directories = 8192,
                          bool background = true);
    ~access_watch();
    access_watch(const access_watch&) = delete;
    access_watch& operator=(const access_watch&) = delete;

    bool enabled() const { return fd_ >= 0; }

    // Watches `name` in directory `dir` (a local path, UTF-8) and fills the
    // stamp with its current generation. False when the directory cannot be
    // watched (missing, not a directory, too many watches).
    bool watch(const std::string& dir, const std::string& name, stamp& out);

    // True when none of the stamped names has changed since it was stamped.
    // Reads pending notifications first unless the watcher thread does.
    // `verified_at` remembers the change count at which the stamps last
    // compared equal: while nothing changed anywhere since, the answer needs
    // no comparison at all. Takes no lock in the background mode.
    bool unchanged(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at);
    // The change count at this moment (a fresh entry's `verified_at`); reads
    // pending notifications first.
    uint64_t change_count();

    // Reads pending notifications now.
    void refresh();

    // Whether a watcher thread reads the notifications, and how many batches
    // of them it has applied (tests wait on it).
    bool background() const { return background_; }
    uint64_t batches_applied() const { return batches_.load(std::memory_order_acquire); }

    // Stops watching directories whose names nobody keeps a stamp of.
    void prune();

    std::size_t directory_count();

  private:
    struct directory {
        std::string path;
        int wd = -1;
        std::map<std::string, std::shared_ptr<name_slot>, std::less<>> names;
    };
    void drain_locked();
    void bump_all_locked(directory& d);
    void forget_locked(int wd);
    void start_watcher_locked();
    void watcher_body();

    std::mutex lock_;
    int fd_ = -1;
    // Bumped after every slot that changes (release), read first (acquire).
    std::atomic<uint64_t> changes_{0};
    bool background_;
    // The watcher thread, started with the first watched directory, and the
    // event descriptor that ends it.
    std::thread watcher_;
    int stop_fd_ = -1;
    std::atomic<uint64_t> batches_{0};
    std::size_t max_directories_;
    std::unordered_map<std::string, std::unique_ptr<directory>> by_path_;
    std::unordered_map<int, directory*> by_wd_;
};

} // namespace scripting
