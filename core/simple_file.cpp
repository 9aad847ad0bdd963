#include "core/simple_file.h"

#include "core/format.h"
#include "core/md5.h"
#include "core/text.h"
#include "platform/win32/errors.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace cl {

namespace {

const char* const day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

win32::filetime filetime_of(const struct timespec& ts) {
    if (ts.tv_sec == 0 && ts.tv_nsec == 0) return 0;
    return win32::filetime_from_timespec(ts);
}

} // namespace

uint32_t attributes_from_mode(uint32_t mode, std::string_view name) {
    uint32_t a = 0;
    if (S_ISDIR(mode))
        a |= file_attribute_directory;
    else if (S_ISREG(mode))
        a |= file_attribute_archive;
    if (S_ISLNK(mode)) a |= file_attribute_reparse_point;
    if (!(mode & S_IWUSR)) a |= file_attribute_readonly;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= file_attribute_hidden;
    return a ? a : file_attribute_normal;
}

namespace {

file_information information_of(const struct statx& sx) {
    file_information fi;
    const auto ts = [](const struct statx_timestamp& t) {
        struct timespec s;
        s.tv_sec = t.tv_sec;
        s.tv_nsec = t.tv_nsec;
        return s;
    };
    fi.attributes = attributes_from_mode(sx.stx_mode, {});
    fi.last_write_time = filetime_of(ts(sx.stx_mtime));
    fi.last_access_time = filetime_of(ts(sx.stx_atime));
    // Not every file system keeps a birth time; the last write is the
    // closest honest answer then.
    fi.creation_time =
        (sx.stx_mask & STATX_BTIME) ? filetime_of(ts(sx.stx_btime)) : fi.last_write_time;
    fi.volume_serial_number = (uint64_t(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    fi.size = sx.stx_size;
    fi.number_of_links = sx.stx_nlink;
    fi.file_index = sx.stx_ino;
    fi.last_write_sec = sx.stx_mtime.tv_sec;
    fi.last_write_nsec = sx.stx_mtime.tv_nsec;
    return fi;
}

} // namespace

file_information file_information_from_fd(int fd, bool& ok) {
    struct statx sx;
    ok = false;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
        win32::set_last_error_from_errno();
        return file_information();
    }
    ok = true;
    return information_of(sx);
}

file_information file_information_at(int dir_fd, const char* name, bool follow, bool& ok,
                                     uint32_t& mode) {
    struct statx sx;
    ok = false;
    mode = 0;
    if (::statx(dir_fd, name, follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &sx) != 0) {
        win32::set_last_error_from_errno();
        return file_information();
    }
    ok = true;
    mode = sx.stx_mode;
    return information_of(sx);
}

std::string entity_tag(const file_information& info) {
    // Identity (device, inode) and the last-write time to the nanosecond and
    // the size: a rewrite within the same second, even in place, gives a new
    // tag; the path plays no part.
    const std::string text = format_str("%x%x%x%? %? %09? %?", info.volume_serial_number,
                                        uint32_t(info.file_index >> 32), uint32_t(info.file_index),
                                        http_date(info.last_write_time), info.last_write_sec,
                                        info.last_write_nsec, info.size);
    md5 digest;
    digest.update(text);
    return "\"" + digest.hex() + "\"";
}

std::string http_date(win32::filetime utc) {
    win32::systemtime st;
    if (!utc || !win32::filetime_to_systemtime(utc, st)) return std::string();
    return format_str("%?, %02? %? %04? %02?:%02?:%02? GMT", day_names[st.day_of_week % 7], st.day,
                      month_names[(st.month + 11) % 12], st.year, st.hour, st.minute, st.second);
}

std::string iso_date(win32::filetime utc) {
    win32::systemtime st;
    if (!utc || !win32::filetime_to_systemtime(utc, st)) return std::string();
    return format_str("%04?-%02?-%02?T%02?:%02?:%02?Z", st.year, st.month, st.day, st.hour,
                      st.minute, st.second);
}

namespace {

// Descriptors kept open for served files: a share of what the process may
// open, so that kept files never starve connections of descriptors.
std::atomic<int> kept_descriptors{0};

int kept_descriptor_limit() {
    static const int limit = [] {
        rlimit rl{};
        if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 256;
        return static_cast<int>(std::min<rlim_t>(rl.rlim_cur / 4, 4096));
    }();
    return limit;
}

} // namespace

file_snapshot::~file_snapshot() {
    if (fd >= 0) {
        ::close(fd);
        kept_descriptors.fetch_sub(1, std::memory_order_relaxed);
    }
}

simple_file::~simple_file() {
    simple_file::close();
}

void simple_file::reset_cache() {
    ranges_.clear();
    left_ = 0;
    info_ = file_information();
    info_state_ = 0;
    modified_text_.clear();
    etag_.clear();
    snapshot_.reset();
    snapshot_pos_ = 0;
}

int simple_file::close() {
    // The cached information outlives the handle: a response still asks for
    // its dates and tag after the body has been read and the file closed.
    return file_hnd::close();
}

bool simple_file::open(const std::wstring& path, uint32_t flags, uint32_t share) {
    reset_cache();
    return file_hnd::open(path, flags, share);
}

bool simple_file::open_info_only(const std::wstring& path) {
    file_hnd::close();
    reset_cache();
    const std::string p = utf16_to_utf8(path);
    if (p.empty()) return false;
    const int fd = ::open(p.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        win32::set_last_error_from_errno();
        return false;
    }
    adopt(fd, false, false);
    return true;
}

bool simple_file::query_info() {
    if (info_state_ == 0) {
        bool ok = false;
        if (is_open()) info_ = file_information_from_fd(handle(), ok);
        if (ok) {
            const auto slash = path().find_last_of('/');
            if (slash != std::string::npos && path().compare(slash + 1, 1, ".") == 0 &&
                path().size() > slash + 2)
                info_.attributes =
                    (info_.attributes & ~file_attribute_normal) | file_attribute_hidden;
        }
        info_state_ = ok ? 1 : -1;
    }
    return info_state_ == 1;
}

int64_t simple_file::size() {
    if (query_info()) return static_cast<int64_t>(info_.size);
    return file_hnd::size();
}

int64_t simple_file::read(void* buffer, int64_t count) {
    if (!ranges_.empty() && static_cast<uint64_t>(count) > left_)
        count = static_cast<int64_t>(left_);
    int64_t n = 0;
    if (snapshot_ && snapshot_->fd >= 0) {
        if (count > 0) {
            do {
                n = ::pread(snapshot_->fd, buffer, static_cast<std::size_t>(count),
                            static_cast<off_t>(snapshot_pos_));
            } while (n < 0 && errno == EINTR);
            if (n < 0) {
                win32::set_last_error_from_errno();
                return -1;
            }
            snapshot_pos_ += static_cast<uint64_t>(n);
        }
    } else if (snapshot_) {
        const std::string& b = snapshot_->bytes;
        const uint64_t pos = std::min<uint64_t>(snapshot_pos_, b.size());
        n = std::min<int64_t>(std::max<int64_t>(count, 0), static_cast<int64_t>(b.size() - pos));
        std::memcpy(buffer, b.data() + pos, static_cast<std::size_t>(n));
        snapshot_pos_ = pos + static_cast<uint64_t>(n);
    } else {
        n = file_hnd::read(buffer, count);
    }
    if (!ranges_.empty() && n > 0) left_ -= static_cast<uint64_t>(n);
    return n;
}

int64_t simple_file::write(const void*, int64_t count) {
    return count < 0 ? 0 : count;
}

std::string simple_file::modified_time_text() {
    if (modified_text_.empty() && query_info()) modified_text_ = http_date(info_.last_write_time);
    return modified_text_;
}

std::string simple_file::creation_time_text() {
    return query_info() ? http_date(info_.creation_time) : std::string();
}

std::string simple_file::creation_time_iso() {
    return query_info() ? iso_date(info_.creation_time) : std::string();
}

std::string simple_file::access_time_text() {
    return query_info() ? http_date(info_.last_access_time) : std::string();
}

std::string simple_file::etag() {
    if (!etag_.empty() || !query_info()) return etag_;
    // Identity (device, inode) and the last-write time to the nanosecond and
    // the size: a rewrite within the same second, even in place, gives a new
    // tag; the path plays no part.
    const std::string text =
        format_str("%x%x%x%? %? %09? %?", info_.volume_serial_number,
                   uint32_t(info_.file_index >> 32), uint32_t(info_.file_index),
                   modified_time_text(), info_.last_write_sec, info_.last_write_nsec, info_.size);
    md5 digest;
    digest.update(text);
    etag_ = "\"" + digest.hex() + "\"";
    return etag_;
}

win32::filetime simple_file::last_write_filetime() {
    return query_info() ? info_.last_write_time : 0;
}

void simple_file::start(ref_cnt_base* companion) {
    if (companion) companion->release();
}

bool simple_file::set_ranges(const range_list& ranges) {
    if (ranges.size() != 1 || ranges[0].second < ranges[0].first) return false;
    if (snapshot_)
        snapshot_pos_ = ranges[0].first;
    else if (seek(static_cast<int64_t>(ranges[0].first), 0) < 0)
        return false;
    ranges_ = ranges;
    left_ = ranges[0].second - ranges[0].first + 1;
    return true;
}

std::shared_ptr<const file_snapshot> simple_file::take_snapshot(uint64_t limit) {
    if (snapshot_ || !is_open() || !query_info() || (info_.attributes & file_attribute_directory) ||
        info_.size > limit)
        return nullptr;
    struct stat st;
    if (::fstat(handle(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    auto s = std::make_shared<file_snapshot>();
    s->bytes.resize(info_.size);
    uint64_t got = 0;
    while (got < info_.size) {
        const ssize_t n =
            ::pread(handle(), s->bytes.data() + got, info_.size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return nullptr;
        got += static_cast<uint64_t>(n);
    }
    // The size seen at the start must still hold: a file being written is
    // served from its descriptor, as it comes.
    if (::fstat(handle(), &st) != 0 || static_cast<uint64_t>(st.st_size) != info_.size)
        return nullptr;
    s->info = info_;
    s->modified_text = modified_time_text();
    s->etag = etag();
    s->share_dev = st.st_dev;
    s->share_ino = st.st_ino;
    const file_information info = info_;
    file_hnd::close();
    info_ = info;
    info_state_ = 1;
    snapshot_ = s;
    snapshot_pos_ = 0;
    return s;
}

bool simple_file::open_snapshot(std::shared_ptr<const file_snapshot> snapshot, uint32_t share) {
    if (!snapshot || !read_share_allowed(snapshot->share_dev, snapshot->share_ino, share))
        return false;
    file_hnd::close();
    reset_cache();
    info_ = snapshot->info;
    info_state_ = 1;
    modified_text_ = snapshot->modified_text;
    etag_ = snapshot->etag;
    snapshot_ = std::move(snapshot);
    return true;
}

std::shared_ptr<const file_snapshot> simple_file::keep_open() {
    std::shared_ptr<file_snapshot> s = facts_of_open_file();
    if (!s) return nullptr;
    struct stat st;
    if (::fstat(handle(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    if (kept_descriptors.fetch_add(1, std::memory_order_relaxed) >= kept_descriptor_limit()) {
        kept_descriptors.fetch_sub(1, std::memory_order_relaxed);
        return nullptr;
    }
    // Only ever read by offset, so sharing the file position with this
    // file's descriptor does no harm.
    s->fd = ::fcntl(handle(), F_DUPFD_CLOEXEC, 0);
    if (s->fd < 0) {
        kept_descriptors.fetch_sub(1, std::memory_order_relaxed);
        return nullptr;
    }
    return s;
}

int simple_file::body_descriptor() const {
    if (snapshot_) return snapshot_->fd;
    return is_open() ? handle() : -1;
}

std::shared_ptr<const void> simple_file::descriptor_holder() const {
    if (snapshot_ && snapshot_->fd >= 0) return snapshot_;
    return nullptr;
}

int64_t simple_file::seek(int64_t distance, int method) {
    if (!snapshot_) return file_hnd::seek(distance, method);
    const int64_t base = method == 0   ? 0
                         : method == 1 ? static_cast<int64_t>(snapshot_pos_)
                                       : static_cast<int64_t>(info_.size);
    const int64_t to = base + distance;
    if (to < 0) return -1;
    snapshot_pos_ = static_cast<uint64_t>(to);
    return to;
}

int64_t simple_file::tell() {
    return snapshot_ ? static_cast<int64_t>(snapshot_pos_) : file_hnd::tell();
}

std::shared_ptr<file_snapshot> simple_file::facts_of_open_file() {
    if (snapshot_ || !is_open() || share_ino() == 0 || !query_info() ||
        (info_.attributes & file_attribute_directory))
        return nullptr;
    auto s = std::make_shared<file_snapshot>();
    s->info = info_;
    s->modified_text = modified_time_text();
    s->etag = etag();
    s->share_dev = share_dev();
    s->share_ino = share_ino();
    return s;
}

std::shared_ptr<const file_snapshot> simple_file::take_facts() {
    return facts_of_open_file();
}

bool simple_file::adopt_facts(const file_snapshot& facts) {
    // The identity of the open descriptor, as the share table keeps it.
    if (snapshot_ || !is_open() || info_state_ != 0 || facts.share_dev != share_dev() ||
        facts.share_ino != share_ino())
        return false;
    info_ = facts.info;
    info_state_ = 1;
    modified_text_ = facts.modified_text;
    etag_ = facts.etag;
    return true;
}

} // namespace cl
