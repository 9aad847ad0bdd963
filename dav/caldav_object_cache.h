// The object files of calendar and address-book stores, read and parsed once
// while they stay unchanged: a query over thousands of objects then costs one
// stat per file and the filter, not reading and parsing them all again.
#pragma once
#include "dav/caldav/ical_properties.h"
#include "dav/caldav/ical_query.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Objects larger than this are not read for reports and queries: one answer
// could not hold them, and their parsed tables would take several times as
// much. Their requests get 507 for them; GET still sends them.
inline constexpr std::size_t stored_object_read_limit = 8 * 1024 * 1024;

struct stored_object {
    std::string text; // the whole file; empty when read for the tag alone
    std::string etag; // the tag GET and PUT send for the file
    bool has_text = false;
    bool too_large = false; // over stored_object_read_limit: the text was not read

    // The parsed text, made on first use; empty when the object nests too
    // deeply to be read.
    const ical_properties& table() const;
    // Where its instances lie (calendar objects), made on first use.
    const calendar_spans& spans() const;

    // The file the cache keeps it for (device, inode); zero when not kept.
    uint64_t cache_device = 0, cache_inode = 0;

  private:
    mutable std::once_flag parsed_;
    mutable ical_properties table_;
    mutable std::once_flag spanned_;
    mutable calendar_spans spans_;
};

// A file as the cache knows it: a file with the same identity has the same
// content (device, inode, size and modification time to the nanosecond).
struct object_identity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t sec = 0;
    int64_t nsec = 0;
    bool operator==(const object_identity&) const = default;
};
object_identity object_identity_of(const struct stat& st);

// The object of a regular file, from the cache when the file's identity
// (device, inode, size and modification time to the nanosecond) has not
// changed since it was read; null when it cannot be read or is no regular
// file. Without need_text a missing entry is not read, only looked at.
std::shared_ptr<const stored_object> read_stored_object(const std::wstring& path, bool need_text);
// The same for a name in an open folder (one path step for the kernel).
std::shared_ptr<const stored_object> read_stored_object_at(int dir_fd, const char* name,
                                                           bool need_text);

// The same for a file whose identity the caller knows to be current (the
// folder index): a cached object costs no system call.
std::shared_ptr<const stored_object>
read_stored_object_known(int dir_fd, const char* name, const object_identity& id, bool need_text);

// Drops every cached object (tests; a memory bound reached).
void clear_stored_objects();
// The bytes the cache holds now: the objects' texts and parsed tables.
std::size_t stored_object_bytes();
