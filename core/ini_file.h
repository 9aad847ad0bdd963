// The INI configuration store. `ini_file` reads the file on every call and
// rewrites it for every change; `cached_ini` keeps the sections in memory,
// reloads them when the file changed on disk and writes its changes back
// after a delay, merged into the current file so that comments, order and
// hand-written lines survive. Callers hold an `ini_file&` and need not know
// which kind they have.
//
// Format: ";" starts a comment line; "[name]" a section; "key=value" a pair,
// both sides trimmed, inner white space read as blanks; names compare without
// regard to ASCII case; no quoting, no end-of-line comments. Written lines end
// in CR LF. A file is never changed in place: the new text goes to a temporary
// file in the same folder, which is synced and renamed over the old one.
#pragma once
#include "core/sync.h"
#include "core/timer.h"

#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace cl {

// The call that makes a new text durable before it replaces the old file
// (fsync: 0 on success, else -1 with errno). Tests put a failing one in its
// place; null restores fsync.
using ini_sync_function = int (*)(int fd);
void set_ini_sync_function(ini_sync_function f);

class ini_file {
  public:
    // get_section flags: which lines besides pairs to return.
    enum : uint32_t { gs_comments = 1, gs_other_lines = 2 };

    ini_file() = default;
    virtual ~ini_file() = default;
    ini_file(const ini_file&) = delete;
    ini_file& operator=(const ini_file&) = delete;

    // The value of key in section: false when the key or section is missing
    // or the file cannot be read.
    virtual bool get_value(const std::wstring& section, const std::wstring& key,
                           std::wstring& value);
    // The same after the freshness check of a cached store; the typed getters
    // read through this one.
    virtual bool get_value_fresh(const std::wstring& section, const std::wstring& key,
                                 std::wstring& value);
    virtual bool set_path(const std::wstring& path, bool prefer_utf8);
    // Lines of the first occurrence of the section: pairs as key "=" value,
    // comments and other lines as the flags ask. False when the section is missing.
    virtual bool get_section(const std::wstring& section, std::vector<std::wstring>& lines,
                             uint32_t flags = 0);
    // Names of all section headers in file order.
    virtual bool get_section_names(std::vector<std::wstring>& names);
    virtual bool get_section_fresh(const std::wstring& section, std::vector<std::wstring>& lines,
                                   uint32_t flags = 0);
    virtual bool get_section_names_fresh(std::vector<std::wstring>& names);
    virtual bool has_section(const std::wstring& section);
    virtual bool has_section_fresh(const std::wstring& section);
    // Sets key in section. The flag means "schedule the write" to a cached
    // store; a plain store always writes at once.
    virtual bool write_value(const std::wstring& section, const std::wstring& key,
                             const std::wstring& value, bool flag = true);
    virtual bool delete_value(const std::wstring& section, const std::wstring& key);
    // Replaces all lines of the section (pairs as "key=value", other lines as they are).
    virtual bool write_section(const std::wstring& section, const std::vector<std::wstring>& lines);
    virtual bool delete_section(const std::wstring& section);
    // Writes pending changes; false when they could not be written (they stay pending).
    virtual bool flush();
    virtual bool refresh();
    virtual void close();
    virtual std::size_t section_count();

    // Pairs of a section, split at the first "=".
    bool get_section_pairs(const std::wstring& section, std::vector<std::wstring>& keys,
                           std::vector<std::wstring>& values);
    // Values of keys "prefix[n]" stored at index n; the vector grows as needed.
    bool get_indexed_values(const std::wstring& section, const std::wstring& prefix,
                            std::vector<std::wstring>& values);
    // Assigns the value only when the key exists; false without reading when skip is set.
    bool try_get_string(const std::wstring& section, const std::wstring& key, std::wstring& out,
                        bool skip = false);

    // Typed reads: the default only when no value is there; a present key
    // always gives its converted value (an empty or non-numeric one gives 0).
    int32_t get_int(const std::wstring& section, const std::wstring& key, int32_t def);
    bool get_bool(const std::wstring& section, const std::wstring& key, bool def);
    std::wstring get_string_or(const std::wstring& section, const std::wstring& key,
                               const wchar_t* def);
    std::wstring get_string_or_wstring(const std::wstring& section, const std::wstring& key,
                                       const std::wstring& def);
    std::string get_narrow_string_or(const std::wstring& section, const std::wstring& key,
                                     const std::string& def);

    const std::wstring& path() const { return path_; }
    bool prefer_utf8() const { return prefer_utf8_; }

  protected:
    bool prefer_utf8_ = false;
    std::wstring path_;
};

struct ini_entry {
    enum : uint8_t { changed = 1, loaded = 2, deleted = 4, other_line = 8 };
    std::wstring key;   // empty for an other line
    std::wstring value; // the whole text for an other line
    uint8_t flags = 0;
    uint64_t change = 0; // number of the last change, to tell later ones at write-back
};

struct ini_section {
    enum : uint8_t { deleted = 1, replace_whole = 2, loaded = 4, changed = 8, met = 16 };
    std::wstring name;
    std::list<ini_entry> entries;
    uint8_t flags = 0;
    uint64_t change = 0;
};

class cached_ini : public ini_file {
  public:
    using section = ini_section;
    static constexpr uint32_t default_write_delay = 2000;

    cached_ini();
    ~cached_ini() override;

    bool get_value(const std::wstring& section, const std::wstring& key,
                   std::wstring& value) override;
    bool get_value_fresh(const std::wstring& section, const std::wstring& key,
                         std::wstring& value) override;
    // Writes back what is pending for the old path, then loads the new one.
    bool set_path(const std::wstring& path, bool prefer_utf8) override;
    bool get_section(const std::wstring& section, std::vector<std::wstring>& lines,
                     uint32_t flags = 0) override;
    bool get_section_names(std::vector<std::wstring>& names) override;
    bool get_section_fresh(const std::wstring& section, std::vector<std::wstring>& lines,
                           uint32_t flags = 0) override;
    bool get_section_names_fresh(std::vector<std::wstring>& names) override;
    bool has_section(const std::wstring& section) override;
    bool has_section_fresh(const std::wstring& section) override;
    bool write_value(const std::wstring& section, const std::wstring& key,
                     const std::wstring& value, bool flag = true) override {
        return set_value(section, key, value, flag);
    }
    bool delete_value(const std::wstring& section, const std::wstring& key) override;
    bool write_section(const std::wstring& section,
                       const std::vector<std::wstring>& lines) override;
    bool delete_section(const std::wstring& section) override;
    bool flush() override;
    bool refresh() override;
    void close() override;
    std::size_t section_count() override;

    // Changes key in memory; with schedule the write-back is armed (after the
    // delay), else the change only waits for the next write-back.
    bool set_value(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                   bool schedule);

    bool read_section(const std::wstring& section, std::vector<std::wstring>& lines,
                      uint32_t flags);
    bool read_section_pairs(const std::wstring& section,
                            std::vector<std::pair<std::wstring, std::wstring>>& pairs);
    bool read_section_names(std::vector<std::wstring>& names);
    bool get_section_pairs_locked(const std::wstring& section,
                                  std::vector<std::pair<std::wstring, std::wstring>>& pairs);
    bool get_section_pairs_fresh(const std::wstring& section,
                                 std::vector<std::pair<std::wstring, std::wstring>>& pairs);
    // Writes pending changes back and loads the file again.
    bool reload();

    // The delay of the write-back (0: at once) and the minimum time between
    // two looks at the file's last-write time.
    void set_write_delay(uint32_t ms);
    void set_freshness_interval(uint32_t ms);
    // The timer that runs the delayed write-back; the global "slow" timer when
    // none is set.
    void set_write_back_timer(base_timer* timer);
    // True while changes wait to be written.
    bool dirty();

    std::list<ini_section>::iterator find_section(const std::wstring& name);

  private:
    bool load(); // lock held
    // Lock held; released during the file work. With wait, a write-back
    // running on another thread is waited for first.
    bool write_back(cs_lock& lk, bool wait);
    void store_stamp();
    void schedule_write_back(cs_lock& lk);
    void arm_write_back_timer(); // the one place that arms the delayed write
    void check_fresh(cs_lock& lk);
    ini_entry* find_entry(ini_section& s, const std::wstring& key);
    ini_section& find_or_add_section(const std::wstring& name);
    bool get_value_locked(const std::wstring& section, const std::wstring& key,
                          std::wstring& value);

    std::list<ini_section> sections_;
    // The file at the last load or write-back: its last-write time (filetime),
    // size and inode; a difference in any of them means someone changed it.
    bool last_exists_ = false;
    uint64_t last_write_ = 0;
    int64_t last_size_ = 0;
    uint64_t last_inode_ = 0;
    critical_section lock_;
    uint32_t write_delay_ = default_write_delay;
    uint32_t freshness_ms_ = 0;
    uint32_t check_tick_ = 0;
    bool dirty_ = false;
    bool writing_ = false;
    bool loading_ = false;
    bool path_set_ = false;
    bool enabled_ = true;
    uint64_t change_count_ = 0;
    base_timer* timer_ = nullptr;
    timer_id write_timer_;
    timer_id second_timer_; // never armed; killed at destruction
    std::wstring temp_path_;
};

} // namespace cl
