// Change notification for the names that a cached configuration depends on:
// the access files of each directory on a path and each path component in
// its parent. One inotify descriptor watches every directory in use; a change
// of a watched name bumps that name's generation. A cached configuration keeps
// the generations it was built with, so checking it costs one look at the
// descriptor's queue and a few comparisons, however deep the path; only a
// check that finds notifications queued reads them, under the lock.
//
// A thread that the owner names (the event loops, which check on every
// request) gets a descriptor of its own that signals that very thread when a
// notification is queued: the signal is handled before the thread's next
// system call returns, so there its check is a look at a flag.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace server_config {

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
    // `signalled_thread`, when given, says whether the calling thread may have
    // a descriptor that signals it; such a thread must bear system calls that
    // a signal interrupts (they are restarted where the system can).
    explicit access_watch(bool enabled = true, std::size_t max_directories = 8192,
                          bool (*signalled_thread)() = nullptr);
    ~access_watch();
    access_watch(const access_watch&) = delete;
    access_watch& operator=(const access_watch&) = delete;

    bool enabled() const { return shared_.fd >= 0; }

    // Watches `name` in directory `dir` (a local path, UTF-8) and fills the
    // stamp with its current generation. False when the directory cannot be
    // watched (missing, not a directory, too many watches).
    bool watch(const std::string& dir, const std::string& name, stamp& out);

    // True when none of the stamped names has changed since it was stamped.
    // Reads pending notifications first. `verified_at` remembers the change
    // count at which the stamps last compared equal: while nothing changed
    // anywhere since, the answer needs no comparison at all.
    bool unchanged(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at);
    // The change count at this moment (a fresh entry's `verified_at`).
    uint64_t change_count();

    // Reads pending notifications (tests call it; unchanged() does too).
    void refresh();

    // Stops watching directories whose names nobody keeps a stamp of.
    void prune();

    std::size_t directory_count();
    // How many threads have a descriptor of their own (tests).
    std::size_t signalled_thread_count();
    // Closes the descriptor of a thread that ends (called on that thread).
    void thread_ended(long thread);

  private:
    struct directory {
        std::string path;
        // The folder the watch is on: a folder made again under the path
        // is another one, whatever is still held open of the old one.
        uint64_t device = 0;
        uint64_t inode = 0;
        std::map<std::string, std::shared_ptr<name_slot>, std::less<>> names;
    };
    // One inotify descriptor and what its watch descriptors stand for. Every
    // source watches every directory in use.
    struct source {
        int fd = -1;
        // The thread it signals; 0 for the shared descriptor.
        long thread = 0;
        // False once a directory could not be added: the thread then checks
        // the shared descriptor instead.
        std::atomic<bool> usable{true};
        std::unordered_map<int, directory*> by_wd;
        std::unordered_map<const directory*, int> wd_of;
    };
    // True when no notification is queued and none is being read: every
    // change made before this call is counted already.
    bool nothing_pending() const;
    bool compare(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at) const;
    // The calling thread's own source, made on its first check; null when it
    // has none.
    source* own_source();
    source* make_source_locked(long thread);
    bool add_to_source_locked(source& s, directory& d);
    void drain_locked(source& s);
    void drain_locked() { drain_locked(shared_); }
    void bump_all_locked(directory& d);
    // Removes the directory's watch from every descriptor.
    void forget_locked(directory& d);
    std::vector<source*> sources_locked();

    const uint64_t id_;
    bool (*const signalled_thread_)();
    std::mutex lock_;
    source shared_;
    std::vector<std::unique_ptr<source>> own_;
    // Bumped with every slot that changes (after the slot).
    std::atomic<uint64_t> changes_{0};
    // Set by a drain of the shared descriptor from before its first read
    // until every notification it read is counted.
    std::atomic<int> draining_{0};
    std::size_t max_directories_;
    std::unordered_map<std::string, std::unique_ptr<directory>> by_path_;
};

} // namespace server_config
