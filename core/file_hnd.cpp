#include "core/file_hnd.h"

#include "core/text.h"
#include "core/tree_root.h"
#include "platform/win32/errors.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace cl {

namespace {

constexpr uint32_t share_read = 1, share_write = 2;

// Windows refuses an open whose access or sharing conflicts with the handles
// already open on the same file. POSIX has no such modes; this table keeps the
// rule among the files this process opens, which is what callers rely on.
struct share_entry {
    const file_hnd* owner;
    uint32_t access; // 1 read, 2 write
    uint32_t share;  // share_read | share_write
};
std::mutex share_lock_;
std::map<std::pair<uint64_t, uint64_t>, std::vector<share_entry>>& share_table() {
    static auto* t = new std::map<std::pair<uint64_t, uint64_t>, std::vector<share_entry>>;
    return *t;
}

bool share_conflicts(const std::vector<share_entry>& open, uint32_t access, uint32_t share) {
    for (const auto& e : open) {
        if ((access & 1) && !(e.share & share_read)) return true;
        if ((access & 2) && !(e.share & share_write)) return true;
        if ((e.access & 1) && !(share & share_read)) return true;
        if ((e.access & 2) && !(share & share_write)) return true;
    }
    return false;
}

void share_remove(const file_hnd* owner, uint64_t dev, uint64_t ino) {
    std::lock_guard lk(share_lock_);
    auto& t = share_table();
    auto it = t.find({dev, ino});
    if (it == t.end()) return;
    auto& v = it->second;
    for (auto e = v.begin(); e != v.end(); ++e) {
        if (e->owner == owner) {
            v.erase(e);
            break;
        }
    }
    if (v.empty()) t.erase(it);
}

// ENOENT says nothing about which part is missing; Windows tells a missing
// directory (3) from a missing file (2).
uint32_t open_error(int err, const std::string& path) {
    if (err == ENOENT) {
        const auto slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            struct stat st;
            const std::string dir = path.substr(0, slash);
            if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return win32::error_path_not_found;
        }
        return win32::error_file_not_found;
    }
    if (err == ENOTDIR) return win32::error_path_not_found;
    // A name that leads out of the served tree.
    if (err == EXDEV) return win32::error_access_denied;
    return win32::from_errno(err);
}

} // namespace

file_hnd::~file_hnd() {
    file_hnd::close();
}

void file_hnd::adopt(file_handle fd, bool readable, bool writable) {
    file_hnd::close();
    fd_ = fd;
    mode_ = static_cast<uint8_t>((readable ? 1 : 0) | (writable ? 2 : 0));
    last_error_ = 0;
}

int64_t file_hnd::size() {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

int file_hnd::close() {
    if (fd_ < 0) return 0;
    if (ino_) share_remove(this, dev_, ino_);
    if (delete_on_close_) {
        struct stat a, b;
        if (::fstat(fd_, &a) == 0 && ::stat(path_.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
            a.st_ino == b.st_ino)
            ::unlink(path_.c_str());
    }
    const int r = ::close(fd_);
    fd_ = invalid_file_handle;
    mode_ = 0;
    dev_ = ino_ = 0;
    delete_on_close_ = false;
    return r == 0 ? 0 : -1;
}

bool file_hnd::read_share_allowed(uint64_t dev, uint64_t ino, uint32_t share) {
    uint32_t share_bits = 0;
    switch (share & ~sh_delete) {
    case sh_denyrw:
        share_bits = 0;
        break;
    case sh_denywr:
        share_bits = share_read;
        break;
    case sh_denyrd:
        share_bits = share_write;
        break;
    case sh_denyno:
        share_bits = share_read | share_write;
        break;
    default:
        return false;
    }
    std::lock_guard lk(share_lock_);
    const auto& t = share_table();
    const auto it = t.find({dev, ino});
    return it == t.end() || !share_conflicts(it->second, 1, share_bits);
}

bool file_hnd::open_narrow(const std::string& path, uint32_t flags, uint32_t share) {
    return open(utf8_to_utf16(path), flags, share);
}

bool file_hnd::open(const std::wstring& wpath, uint32_t flags, uint32_t share) {
    close();
    pushed_ = 0;
    line_end_ = le_none;

    const uint32_t access = flags & 3;
    if (access == 3 || ((flags & o_temporary) && !(flags & o_creat))) {
        last_error_ = invalid_flags_error;
        return false;
    }
    const uint32_t share_mode = share & ~sh_delete;
    uint32_t share_bits;
    switch (share_mode) {
    case sh_denyrw:
        share_bits = 0;
        break;
    case sh_denywr:
        share_bits = share_read;
        break;
    case sh_denyrd:
        share_bits = share_write;
        break;
    case sh_denyno:
        share_bits = share_read | share_write;
        break;
    default:
        last_error_ = invalid_flags_error;
        return false;
    }

    int oflags = O_CLOEXEC; // no descriptor ever leaks into a child process
    oflags |= access == 0 ? O_RDONLY : access == 1 ? O_WRONLY : O_RDWR;
    if (flags & o_write_through) oflags |= O_DSYNC; // each write reaches the disk
    bool truncate = false;
    switch (flags & 0x700) {
    case 0x000:
    case 0x400:
        break; // open existing
    case 0x100:
        oflags |= O_CREAT;
        break;  // open always
    case 0x200: // truncate existing
    case 0x600:
        truncate = true;
        break;
    case 0x300:
        oflags |= O_CREAT;
        truncate = true;
        break; // create always
    default:
        oflags |= O_CREAT | O_EXCL;
        break; // 0x500, 0x700: create new
    }
    if (truncate && access == 0) {
        // Windows refuses to truncate through a read-only handle.
        last_error_ = win32::error_access_denied;
        return false;
    }

    path_ = utf16_to_utf8(wpath);
    if (path_.empty() || path_.find('\0') != std::string::npos) {
        last_error_ = path_.empty() ? win32::error_path_not_found : win32::error_invalid_name;
        return false;
    }
    // A file of the served tree is opened from the tree's root, so that no
    // link leads the open outside it.
    int fd;
    const std::shared_ptr<const tree_root>& tree = document_tree();
    std::string_view rest;
    if (tree && tree->contains(path_, rest))
        fd = tree->open(rest, oflags, 0666);
    else
        fd = ::open(path_.c_str(), oflags, 0666);
    if (fd < 0) {
        last_error_ = (errno == EEXIST) ? win32::error_file_exists : open_error(errno, path_);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        last_error_ = win32::from_errno(errno);
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        last_error_ = win32::error_access_denied;
        return false;
    }
    const uint32_t acc_bits = access == 0 ? 1u : access == 1 ? 2u : 3u;
    {
        std::lock_guard lk(share_lock_);
        auto& v = share_table()[{st.st_dev, st.st_ino}];
        if (share_conflicts(v, acc_bits, share_bits)) {
            if (v.empty()) share_table().erase({st.st_dev, st.st_ino});
            ::close(fd);
            last_error_ = win32::error_sharing_violation;
            return false;
        }
        v.push_back({this, acc_bits, share_bits});
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino ? st.st_ino : 1;
    // Truncate only once the open is known to be allowed.
    if (truncate && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        last_error_ = win32::from_errno(errno);
        close();
        return false;
    }
    if (flags & o_sequential)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    else if (flags & o_random)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    delete_on_close_ = (flags & o_temporary) != 0;
    share_ = share;
    mode_ = static_cast<uint8_t>(acc_bits);
    last_error_ = 0;
    return true;
}

int64_t file_hnd::seek(int64_t distance, int method) {
    if (fd_ < 0) return -1;
    // The descriptor already stands past a pushed-back byte.
    if ((mode_ & 4) && method == SEEK_CUR) distance -= 1;
    mode_ &= ~4;
    const int whence = method == 0 ? SEEK_SET : method == 1 ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(fd_, static_cast<off_t>(distance), whence);
    if (r < 0) win32::set_last_error_from_errno();
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t file_hnd::tell() {
    return seek(0, 1);
}

int64_t file_hnd::seek_to_end() {
    return seek(0, 2);
}

int64_t file_hnd::read(void* buffer, int64_t count) {
    if (!(mode_ & 1) || fd_ < 0) return -1;
    if (count <= 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    if (mode_ & 4) {
        *out++ = pushed_;
        mode_ &= ~4;
        done = 1;
        if (count == 1) return 1;
    }
    for (;;) {
        const ssize_t n = ::read(fd_, out, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            win32::set_last_error_from_errno();
            return done ? done : -1;
        }
        return done + n;
    }
}

int64_t file_hnd::write(const void* buffer, int64_t count) {
    if (!(mode_ & 2) || fd_ < 0) return -1;
    if (count <= 0) return 0;
    if (mode_ & 4) seek(0, 1); // put the position back where the reader stands
    return file_write(fd_, buffer, static_cast<size_t>(count)) ? count : -1;
}

bool file_hnd::set_end() {
    const int64_t pos = tell();
    if (pos < 0) return false;
    if (::ftruncate(fd_, static_cast<off_t>(pos)) != 0) {
        win32::set_last_error_from_errno();
        return false;
    }
    return true;
}

bool file_hnd::flush() {
    return true;
}

bool file_hnd::write_w(std::wstring_view text) {
    return write_text(utf16_to_utf8(text));
}

bool file_hnd::write_text(std::string_view text) {
    const int64_t n = static_cast<int64_t>(text.size());
    return write(text.data(), n) == n;
}

bool file_hnd::write_wchar(wchar_t c) {
    std::string s;
    append_utf8(static_cast<uint32_t>(c), s);
    return write_text(s);
}

bool file_hnd::write_byte(uint8_t b) {
    return write(&b, 1) == 1;
}

bool file_hnd::read_byte(uint8_t& b) {
    return read(&b, 1) == 1;
}

bool file_hnd::push_back(uint8_t b) {
    pushed_ = b;
    mode_ |= 4;
    return true;
}

bool file_hnd::read_line(std::string& line) {
    line.clear();
    bool got = false;
    uint8_t b;
    while (read(&b, 1) == 1) {
        got = true;
        if (b == '\n') {
            line_end_ = le_lf;
            return true;
        }
        if (b == '\r') {
            uint8_t next;
            if (read(&next, 1) == 1) {
                if (next == '\n') {
                    line_end_ = le_crlf;
                    return true;
                }
                push_back(next);
            }
            line_end_ = le_cr;
            return true;
        }
        line.push_back(static_cast<char>(b));
    }
    line_end_ = le_none;
    return got;
}

bool file_hnd::read_line_w(std::wstring& line) {
    std::string narrow;
    const bool r = read_line(narrow);
    line = utf8_to_utf16(narrow);
    return r;
}

bool file_hnd::read_ansi_char(wchar_t& c) {
    uint8_t buf[7];
    const int64_t n = read(buf, sizeof buf);
    if (n <= 0) return false;
    // Length of the first UTF-8 character; a malformed lead takes one byte.
    int len = 1;
    const uint8_t lead = buf[0];
    if (lead >= 0xC2 && lead <= 0xDF)
        len = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        len = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        len = 4;
    if (len > n) len = 1;
    for (int i = 1; i < len; ++i)
        if ((buf[i] & 0xC0) != 0x80) {
            len = 1;
            break;
        }
    const std::wstring w = utf8_to_utf16(
        std::string_view(reinterpret_cast<const char*>(buf), static_cast<size_t>(len)));
    c = w.empty() ? replacement_char : w[0];
    if (n > len) seek(len - n, 1);
    return true;
}

int64_t file_set_pointer(file_handle fd, int64_t distance, int method) {
    const int whence = method == 0 ? SEEK_SET : method == 1 ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(fd, static_cast<off_t>(distance), whence);
    if (r < 0) win32::set_last_error_from_errno();
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

bool file_write(file_handle fd, const void* data, size_t count) {
    auto* p = static_cast<const uint8_t*>(data);
    while (count) {
        const ssize_t n = ::write(fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            win32::set_last_error_from_errno();
            return false;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace cl
