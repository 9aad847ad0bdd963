// The entries of calendar and address-book folders with the identity of each
// file, kept current by change notifications: a query over a folder of tens
// of thousands of objects then costs no system call per object, while a file
// written, replaced, touched or removed by any program is seen by the next
// request as if each file had been looked at again.
#pragma once
#include "dav/caldav_object_cache.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// What queries learnt of one file while it stays as it is (a changed file
// gets a new entry, and with it a new memo): where its instances lie lets a
// query pass over it without looking at the object at all.
class entry_memo {
  public:
    // The spans once a query has kept them, else null.
    const calendar_spans* spans() const {
        return state_.load(std::memory_order_acquire) == ready ? &spans_ : nullptr;
    }
    // The first to keep them writes them; the others find them there.
    void keep(const calendar_spans& spans) {
        int expected = empty;
        if (!state_.compare_exchange_strong(expected, writing, std::memory_order_acq_rel)) return;
        spans_ = spans;
        state_.store(ready, std::memory_order_release);
    }

  private:
    enum { empty, writing, ready };
    std::atomic<int> state_{empty};
    calendar_spans spans_;
};

struct indexed_entry {
    std::string name;  // as the file system has it
    std::wstring wide; // the same name as wide text, converted once
    bool folder = false;
    // A symbolic link: what it leads to changes without a notification in
    // this folder, so its identity is looked up afresh on each use.
    bool link = false;
    object_identity identity; // of a regular file (zero otherwise)
    // Of a regular file that is no link; shared by every list handed out
    // while the file is unchanged.
    std::shared_ptr<entry_memo> memo;
};

using indexed_entries = std::vector<indexed_entry>;

class store_index {
  public:
    // Without `enabled`, or when the system refuses a notification
    // descriptor, nothing is indexed and list() always fails.
    explicit store_index(bool enabled = true, std::size_t max_folders = 256);
    ~store_index();
    store_index(const store_index&) = delete;
    store_index& operator=(const store_index&) = delete;

    // The entries of `folder` (a local path, UTF-8) in name order, without
    // "." and ".."; the same list is handed out while nothing in the folder
    // changed. Null when the folder cannot be watched (the caller reads it
    // directly).
    std::shared_ptr<const indexed_entries> list(const std::string& folder);

    // Folders watched now (tests).
    std::size_t folder_count();

  private:
    struct folder_state;
    void drain_locked();
    void forget_locked(int wd);
    void forget_all_locked();

    struct impl;
    std::unique_ptr<impl> impl_;
};

// The index the server's requests share.
store_index& the_store_index();
