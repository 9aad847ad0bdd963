// The storage of a hash list: key/value byte strings in memory, kept in a
// text file of quoted records ("key","value" CR LF, sorted by key). The file
// is read whole into one buffer and parsed in place; entries that change later
// get storage of their own, and the buffer is compacted once mostly dead.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace scripting {

// Where the change lines of a list go (one line per call, "\n" included).
class nosql_log {
  public:
    virtual ~nosql_log() = default;
    virtual void write_line(std::string_view line) = 0;
};

class nosql_list {
  public:
    // A key: a view into the list's storage. The pointer is rewritten only
    // by compaction, which copies the same bytes, so the order never changes.
    struct key_ref {
        mutable const char* p = nullptr;
        std::size_t n = 0;
        std::string_view view() const { return {p, n}; }
    };
    struct key_less {
        using is_transparent = void;
        bool operator()(const key_ref& a, const key_ref& b) const { return a.view() < b.view(); }
        bool operator()(std::string_view a, const key_ref& b) const { return a < b.view(); }
        bool operator()(const key_ref& a, std::string_view b) const { return a.view() < b; }
    };
    struct slot {
        char* value = nullptr;
        std::size_t size = 0;
        std::size_t capacity = 0;
        std::unique_ptr<char[]> own_key;
        std::unique_ptr<char[]> own_value;
        std::string_view view() const { return {value, size}; }
    };
    using map_type = std::map<key_ref, slot, key_less>;
    using iterator = map_type::iterator;

    // The identity of the file as last read or written, to notice edits
    // made by others.
    struct file_stamp {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = -1;
        int64_t mtime_ns = 0;
        int64_t ctime_ns = 0;
        bool exists = false;
        bool operator==(const file_stamp&) const = default;
    };

    nosql_list();
    virtual ~nosql_list();
    nosql_list(const nosql_list&) = delete;
    nosql_list& operator=(const nosql_list&) = delete;

    // Reads the file into the list (adding to what it holds). A missing file
    // is an empty list; false when the file cannot be read, and then the list
    // is unchanged. A damaged line is skipped with a trace line.
    bool read_file(const std::wstring& path);
    // Reads the file again into fresh storage and replaces the entries with
    // its records; false when it cannot be read, and then nothing changes.
    bool reload_file(const std::wstring& path);
    // Writes the list when it has changed: to a temporary file beside the
    // target, flushed to disk and renamed over it. False on failure: then the
    // old file is as it was and the list stays changed.
    bool write_file(const std::wstring& path);

    // The value of a key; false when absent.
    bool get(std::string_view key, std::string_view& value) const;
    // Stores a value; true when the key is new.
    bool set(std::string_view key, std::string_view value);
    // True when the key was there.
    bool erase(std::string_view key);
    // Drops every entry and all storage ("E" line); the list becomes UTF-8.
    void clear();
    std::size_t size() const { return entries_.size(); }
    // Drops every entry and all storage without a log line or a change: the
    // list as before its first read.
    void discard();

    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    iterator find(std::string_view key) { return entries_.find(key); }
    iterator lower_bound(std::string_view key) { return entries_.lower_bound(key); }
    iterator upper_bound(std::string_view key) { return entries_.upper_bound(key); }

    // True when dead storage is more than four times the live data.
    bool needs_compaction() const { return dead_bytes_ > 4 * live_bytes_; }
    // Writes the list to the file (when one is given) and moves every entry
    // into one new buffer, dropping the dead storage. Entries are never lost:
    // a failed write leaves the list changed and compacts all the same.
    void compact(const std::wstring& path);

    bool dirty() const { return dirty_; }
    void set_dirty(bool on) { dirty_ = on; }
    bool utf8_mode() const { return utf8_; }
    std::size_t dead_bytes() const { return dead_bytes_; }
    std::size_t live_bytes() const { return live_bytes_; }
    const file_stamp& stamp() const { return stamp_; }
    // The file's identity now (exists false when it is not there).
    static file_stamp stamp_of(const std::wstring& path);

    // The change log (not owned; null detaches) and the prefix of its lines.
    void set_log(nosql_log* log) { log_ = log; }
    nosql_log* log() const { return log_; }
    void set_log_prefix(std::string prefix) { log_prefix_ = std::move(prefix); }
    const std::string& log_prefix() const { return log_prefix_; }

    // A field as the file writes it: in double quotes, with line feed,
    // carriage return, backslash and double quote escaped.
    static void append_field(std::string& out, std::string_view bytes);
    // The records of a file's bytes, in file order, unescaped; `damaged`
    // gets the 1-based numbers of the lines that were skipped.
    using record_sink = std::function<void(std::string_view key, std::string_view value)>;
    static void parse(char* data, std::size_t size, const record_sink& sink,
                      std::vector<std::size_t>* damaged);

  private:
    void write_log(std::string_view line);
    void log_record(char kind, std::string_view key, const std::string_view* value,
                    const std::string_view* old);
    void insert_parsed(std::string_view key, std::string_view value);
    void compact_memory();
    void drop_value(slot& s);

    // The file buffers the parsed entries point into; compaction leaves one.
    std::vector<std::unique_ptr<char[]>> buffers_;
    map_type entries_;
    nosql_log* log_ = nullptr;
    std::string log_prefix_;
    std::size_t dead_bytes_ = 0;
    std::size_t live_bytes_ = 0;
    bool dirty_ = false;
    bool utf8_ = true;
    file_stamp stamp_;
};

} // namespace scripting
