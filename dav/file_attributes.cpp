#include "dav/file_attributes.h"

#include "core/text.h"

#include "core/simple_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

bool parse_decimal(std::string_view t, uint64_t& v) {
    if (t.empty() || t.size() > 19) return false;
    v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

} // namespace

std::string stored_attributes_text(const stored_attributes& in) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%08x %llu", in.attributes,
                  static_cast<unsigned long long>(in.creation_time));
    return buf;
}

bool parse_stored_attributes(std::string_view text, stored_attributes& out) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return false;
    uint32_t a = 0;
    uint64_t c = 0;
    if (!parse_hex_word(text.substr(0, blank), a) || !parse_decimal(text.substr(blank + 1), c))
        return false;
    out.attributes = a;
    out.creation_time = c;
    return true;
}

bool read_stored_attributes(int fd, stored_attributes& out) {
    char buf[64];
    const ssize_t n = ::fgetxattr(fd, stored_attributes_name, buf, sizeof buf);
    return n > 0 &&
           parse_stored_attributes(std::string_view(buf, static_cast<std::size_t>(n)), out);
}

bool read_stored_attributes(const std::string& path, stored_attributes& out) {
    char buf[64];
    const ssize_t n = ::lgetxattr(path.c_str(), stored_attributes_name, buf, sizeof buf);
    return n > 0 &&
           parse_stored_attributes(std::string_view(buf, static_cast<std::size_t>(n)), out);
}

namespace {

// getxattrat(2), Linux 6.13 and later; glibc has no wrapper yet.
#ifdef __x86_64__
constexpr long sys_getxattrat = 464;
#else
constexpr long sys_getxattrat = -1;
#endif
struct xattr_args {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};
std::atomic<bool> getxattrat_missing{sys_getxattrat < 0};

} // namespace

bool read_stored_attributes_at(int dir_fd, const char* name, const std::string& path,
                               stored_attributes& out) {
    if (!getxattrat_missing.load(std::memory_order_relaxed)) {
        char buf[64];
        xattr_args args{reinterpret_cast<uintptr_t>(buf), sizeof buf, 0};
        const long n = ::syscall(sys_getxattrat, dir_fd, name, AT_SYMLINK_NOFOLLOW,
                                 stored_attributes_name, &args, sizeof args);
        if (n >= 0)
            return n > 0 &&
                   parse_stored_attributes(std::string_view(buf, static_cast<std::size_t>(n)), out);
        if (errno != ENOSYS) return false;
        getxattrat_missing.store(true, std::memory_order_relaxed);
    }
    return read_stored_attributes(path, out);
}

bool write_stored_attributes(const std::string& path, const stored_attributes& in) {
    const std::string text = stored_attributes_text(in);
    return ::lsetxattr(path.c_str(), stored_attributes_name, text.data(), text.size(), 0) == 0;
}

bool write_stored_attributes(int fd, const stored_attributes& in) {
    const std::string text = stored_attributes_text(in);
    return ::fsetxattr(fd, stored_attributes_name, text.data(), text.size(), 0) == 0;
}

bool copy_stored_attributes(int from_fd, int to_fd) {
    char buf[64];
    const ssize_t n = ::fgetxattr(from_fd, stored_attributes_name, buf, sizeof buf);
    if (n < 0) return errno == ENODATA || errno == ENOTSUP;
    return ::fsetxattr(to_fd, stored_attributes_name, buf, static_cast<std::size_t>(n), 0) == 0;
}

uint32_t effective_attributes(uint32_t mode, std::string_view name,
                              const stored_attributes* stored) {
    uint32_t a;
    if (stored) {
        // The stored word speaks for every bit the file system cannot hold.
        a = stored->attributes & ~(cl::file_attribute_readonly | cl::file_attribute_directory |
                                   cl::file_attribute_normal | cl::file_attribute_reparse_point);
        if (S_ISDIR(mode)) a |= cl::file_attribute_directory;
        if (S_ISDIR(mode))
            a |= stored->attributes & cl::file_attribute_readonly;
        else if (!(mode & S_IWUSR))
            a |= cl::file_attribute_readonly;
    } else {
        a = cl::attributes_from_mode(mode, name) & ~cl::file_attribute_normal;
        // A folder's read-only bit is only ever the stored one: the owner's
        // write bit of a folder says whether entries may be made in it.
        if (S_ISDIR(mode)) a &= ~cl::file_attribute_readonly;
    }
    return a ? a : cl::file_attribute_normal;
}

bool parse_hex_word(std::string_view t, uint32_t& v) {
    if (t.empty() || t.size() > 8) return false;
    v = 0;
    for (char c : t) {
        const int d = cl::hex_digit_value(static_cast<unsigned char>(c));
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return true;
}

bool is_read_only_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}
