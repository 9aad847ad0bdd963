// Hash lists: persistent key/value lists shared by file name. One registry
// keeps one `hashlist` per file; lists nobody has used for their cache time
// are saved and unloaded by a sweep on the "slow" timer. Scripts, the request
// cache and the user look-ups of the logins all go through here.
#pragma once
#include "core/ref_cnt.h"
#include "core/sync.h"
#include "core/timer.h"
#include "scripting/hashlist_store.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace scripting {

class hashlist_iterator;
class hashlist_change_log;

class hashlist : public cl::ref_cnt_shared {
  public:
    // `cache_timeout` in seconds; 0 keeps the list until server stop.
    hashlist(std::wstring file, uint32_t cache_timeout);
    ~hashlist() override;
    hashlist(const hashlist&) = delete;
    hashlist& operator=(const hashlist&) = delete;

    // Every member below takes the list's lock and stamps its last access.

    // Loads the file on the first call; saves every `save_interval` seconds
    // (0: never by itself; 1 to 29 count as 30).
    void open(int32_t save_interval);
    // Empties the list, stops its saving and deletes its file.
    bool remove();
    // Writes the list when it has changed: to `file` when one is given (the
    // list keeps its own name), else to its own file.
    bool save(const std::wstring& file = std::wstring());
    std::string value(std::string_view key);
    void set_value(std::string_view key, std::string_view value);
    bool erase(std::string_view key);
    // Removes every entry and writes the empty file at once.
    bool clear();
    int32_t size();
    cl::sh_ptr<hashlist_iterator> begin();
    cl::sh_ptr<hashlist_iterator> end();
    cl::sh_ptr<hashlist_iterator> find(std::string_view key);
    cl::sh_ptr<hashlist_iterator> lower_bound(std::string_view key);
    cl::sh_ptr<hashlist_iterator> upper_bound(std::string_view key);
    // A size other than 0 attaches the change log (file name + ".log", rolled
    // over at that size); 0 detaches it.
    void enable_logging(uint32_t rollover_size);
    std::string log_prefix();
    // The prefix of change-log lines; "," is added.
    void set_log_prefix(std::string_view utf8);

    // Narrow access for the server (request cache, user look-ups).
    std::string get_value(std::string_view key);
    void store(std::string_view key, std::string_view value);
    // Reads the file again when someone else changed it since it was last
    // read or written, unless the list holds changes of its own. The file is
    // looked at no more often than every `min_interval_ms`. True when it was
    // read again.
    bool reload_if_changed(uint32_t min_interval_ms = 0);
    // Drops the list's own changes by reading its file again.
    bool revert_to_file();
    cl::critical_section& lock() { return lock_; }

    const std::wstring& file_name() const { return file_; }
    uint32_t cache_timeout() const { return cache_timeout_; }
    int64_t last_access() const { return last_access_.load(); }
    void touch();
    bool dirty();
    bool loaded();

    // The clock of last access: whole seconds of a monotonic clock.
    static int64_t now_seconds();

  private:
    friend class hashlist_iterator;
    void load();
    void write_if_dirty(const std::wstring& file);
    void invalidate_iterators();
    void after_new_key();
    cl::sh_ptr<hashlist_iterator> make_iterator(scripting::nosql_list::iterator at);

    cl::timer_id save_timer_;
    cl::critical_section lock_;
    scripting::nosql_list list_;
    std::wstring file_;
    std::atomic<int64_t> last_access_{0};
    std::vector<hashlist_iterator*> iterators_;
    std::unique_ptr<hashlist_change_log> log_;
    uint64_t checked_at_ms_ = 0; // the last look at the file for changes
    int32_t save_interval_ms_ = 0;
    uint32_t cache_timeout_ = 0;
    bool loaded_ = false;
    bool removed_ = false;
};

// A position in a list. An iterator keeps its list alive; when the list
// changes under it, it finds its place again by the key it was on.
class hashlist_iterator : public cl::ref_cnt_shared {
  public:
    ~hashlist_iterator() override;

    // Same list and same entry.
    bool equal(const hashlist_iterator* other);
    // Moves n entries forward (negative: backward), stopping at either end.
    void inc(int32_t n);
    void dec(int32_t n);
    bool at_end();
    // Empty at the end.
    std::string key();
    std::string value();
    // Stores a value for the current key; false at the end.
    bool set_value(std::string_view value);
    void set_write_flag(bool on) { write_flag_ = on; }
    bool write_flag() const { return write_flag_; }

  private:
    friend class hashlist;
    explicit hashlist_iterator(cl::sh_ptr<hashlist> list);
    void place(scripting::nosql_list::iterator at);
    void refind();

    cl::sh_ptr<hashlist> list_;
    int state_ = 1; // 1 at the end, 2 on an entry
    std::string key_;
    scripting::nosql_list::iterator pos_;
    bool stale_ = false;
    bool write_flag_ = false;
};

// The registry's list for the file (created and stamped when absent; an
// existing one is stamped and keeps its timeout). The first list with a
// timeout starts the unload sweep.
cl::sh_ptr<hashlist> get_named_hashlist(const std::wstring& file, uint32_t cache_timeout);
// Starts the unload sweep of lists and loggers unless it runs (the caller
// of the _locked form holds the registry lock).
void arm_unload_sweep();
void arm_unload_sweep_locked();
// Stops the sweep, saves every list and empties the registry, then the
// logger registry.
void close_all_hashlists();
// One pass of the unload sweep at the given time (now_seconds()).
void sweep_hashlists(int64_t now);
// How many lists the registry holds.
std::size_t hashlist_count();

} // namespace scripting
