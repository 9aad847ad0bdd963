// A file on disk as the HTTP server serves it: a byte range to read, the file
// information read once, the HTTP and ISO date texts and the entity tag.
#pragma once
#include "core/file_hnd.h"
#include "core/ref_cnt.h"
#include "platform/win32/time.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cl {

// File attribute bits in the Windows numbering, which the WebDAV properties
// and the directory walk report.
enum : uint32_t {
    file_attribute_readonly = 0x1,
    file_attribute_hidden = 0x2,
    file_attribute_directory = 0x10,
    file_attribute_archive = 0x20,
    file_attribute_normal = 0x80,
    file_attribute_reparse_point = 0x400,
};

// What the file system tells about an open file. The device number stands in
// for the volume serial number and the inode for the file index.
struct file_information {
    uint32_t attributes = 0;
    win32::filetime creation_time = 0;
    win32::filetime last_access_time = 0;
    win32::filetime last_write_time = 0;
    uint64_t volume_serial_number = 0;
    uint64_t size = 0;
    uint32_t number_of_links = 0;
    uint64_t file_index = 0;
    // The last-write time to the nanosecond: two writes within one 100 ns
    // tick of the file time still differ here.
    int64_t last_write_sec = 0;
    uint32_t last_write_nsec = 0;
};

// Attributes from a POSIX mode and the file name (a leading "." hides).
uint32_t attributes_from_mode(uint32_t mode, std::string_view name);
// The information of a stat result (st_* fields, creation from statx when the
// file system keeps it, else the last-write time).
file_information file_information_from_fd(int fd, bool& ok);
// The same for a name in a directory (follow: through a final symbolic
// link), with the file's mode; one call, nothing opened.
file_information file_information_at(int dir_fd, const char* name, bool follow, bool& ok,
                                     uint32_t& mode);
// The entity tag that simple_file::etag gives a file with this information.
std::string entity_tag(const file_information& info);

// "Sun, 06 Nov 1994 08:49:37 GMT"; empty for 0 or an unrepresentable time.
std::string http_date(win32::filetime utc);
// "1994-11-06T08:49:37Z"; empty for 0.
std::string iso_date(win32::filetime utc);

// A file as its answers need it, taken once per change of the file: the
// information, the date text, the entity tag and, for a small file, every
// byte; a larger one is kept open instead and read by offset only (the
// descriptor's position is shared by every request that serves it).
struct file_snapshot {
    file_snapshot() = default;
    file_snapshot(const file_snapshot&) = delete;
    file_snapshot& operator=(const file_snapshot&) = delete;
    ~file_snapshot();

    file_information info;
    std::string modified_text;
    std::string etag;
    std::string bytes;
    int fd = -1;            // the kept descriptor, or -1
    uint64_t share_dev = 0; // st_dev and st_ino, the keys of the sharing rule
    uint64_t share_ino = 0;
};

class simple_file : public file_hnd {
  public:
    using range_list = std::vector<std::pair<uint64_t, uint64_t>>;

    simple_file() = default;
    ~simple_file() override;

    // Size from the cached information when there is one.
    int64_t size() override;
    int close() override;
    bool open(const std::wstring& path, uint32_t flags, uint32_t share = sh_denywr) override;
    // Limited to the bytes left in the range when one is set.
    int64_t read(void* buffer, int64_t count) override;
    // A static file takes no body: the bytes are discarded and reported as written.
    int64_t write(const void* buffer, int64_t count) override;

    virtual std::string modified_time_text();
    virtual std::string creation_time_text();
    virtual std::string creation_time_iso();
    virtual std::string access_time_text();
    virtual std::string etag();
    // The last-write time; 0 when the information is missing.
    virtual win32::filetime last_write_filetime();
    virtual void end_input() {}
    virtual std::wstring error_text() { return std::wstring(); }
    // Takes one reference of a companion object (the response headers) and
    // drops it: a static file needs nothing of it.
    virtual void start(ref_cnt_base* companion);
    // Exactly one (first, last) pair is accepted: bytes left become
    // last - first + 1 and the file moves to first.
    virtual bool set_ranges(const range_list& ranges);

    // Opens a file or a directory for its information only (no reads or
    // writes), for properties and entity tags of folders.
    bool open_info_only(const std::wstring& path);
    // Reads the information once; later calls give the first outcome.
    bool query_info();
    const file_information& info() const { return info_; }

    // Reads the open file whole into a snapshot, closes the descriptor and
    // serves the bytes from it. Null (the file stays open as it was) for a
    // file over `limit` bytes, not a regular one, or one that changed size
    // while read.
    std::shared_ptr<const file_snapshot> take_snapshot(uint64_t limit);
    // Keeps a descriptor of the open regular file, with its information,
    // date text and entity tag, so that later answers need no open. Null when
    // the file is not a regular one or the process keeps as many descriptors
    // as it allows itself already.
    std::shared_ptr<const file_snapshot> keep_open();
    // Serves a snapshot taken earlier instead of opening the file: no system
    // call. False, and nothing changed, when the sharing rule of `share`
    // would refuse an open of the file now.
    bool open_snapshot(std::shared_ptr<const file_snapshot> snapshot, uint32_t share);
    // The information, date text and entity tag of the open regular file,
    // without its bytes, for a later open of the same unchanged file. Null
    // when the information cannot be read.
    std::shared_ptr<const file_snapshot> take_facts();
    // Takes the facts of an earlier open of this file instead of asking the
    // file system again; false, and nothing changed, when the open file is
    // another one (device and inode differ) or its information is read.
    bool adopt_facts(const file_snapshot& facts);
    bool has_range() const { return !ranges_.empty(); }
    // The descriptor a body can be sent from (the open file's or a kept
    // one's), -1 when the bytes are in memory or nothing is open; what must
    // live while the descriptor is used after this file is gone (null for
    // the file's own descriptor, which a user has to copy).
    int body_descriptor() const;
    std::shared_ptr<const void> descriptor_holder() const;
    int64_t seek(int64_t distance, int method) override;
    int64_t tell() override;
    uint64_t bytes_left() const { return left_; }

  private:
    void reset_cache();

    range_list ranges_;
    uint64_t left_ = 0;
    file_information info_;
    int info_state_ = 0; // 0 not read, 1 read, -1 failed
    std::string modified_text_;
    std::string etag_;
    std::shared_ptr<const file_snapshot> snapshot_;
    uint64_t snapshot_pos_ = 0;
};

} // namespace cl
