// Change notification for the names that a cached configuration depends on:
// the access files of each directory on a path and each path component in
// its parent. One inotify descriptor watches every directory in use; a change
// of a watched name bumps that name's generation. A cached configuration keeps
// the generations it was built with, so checking it costs one look at the
// descriptor's queue and a few comparisons, however deep the path; only a
// check that finds notifications queued reads them, under the lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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
    explicit access_watch(bool enabled = true, std::size_t max_directories = 8192);
    ~access_watch();
    access_watch(const access_watch&) = delete;
    access_watch& operator=(const access_watch&) = delete;

    bool enabled() const { return fd_ >= 0; }

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

  private:
    // True when no notification is queued and none is being read: every
    // change made before this call is counted already.
    bool nothing_pending() const;
    bool compare(const std::vector<stamp>& stamps, std::atomic<uint64_t>& verified_at) const;
    struct directory {
        std::string path;
        int wd = -1;
        std::map<std::string, std::shared_ptr<name_slot>, std::less<>> names;
    };
    void drain_locked();
    void bump_all_locked(directory& d);
    void forget_locked(int wd);

    std::mutex lock_;
    int fd_ = -1;
    // Bumped with every slot that changes (after the slot).
    std::atomic<uint64_t> changes_{0};
    // Set by a drain from before its first read until every notification
    // it read is counted.
    std::atomic<int> draining_{0};
    std::size_t max_directories_;
    std::unordered_map<std::string, std::unique_ptr<directory>> by_path_;
    std::unordered_map<int, directory*> by_wd_;
};

} // namespace scripting
