#include "scripting/hashlist_store.h"

#include "core/format.h"
#include "core/lcg_random.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "platform/win32/errors.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace scripting {

namespace {

constexpr std::size_t write_reserve = 0x20000;
constexpr std::size_t write_threshold = 0x1e000;
constexpr char bom[] = "\xEF\xBB\xBF";

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

nosql_list::file_stamp stamp_from(const struct stat& st) {
    nosql_list::file_stamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctime_ns = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    s.exists = true;
    return s;
}

void trace_line(const std::string& s) {
    cl::trace_out.write(s);
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

} // namespace

nosql_list::nosql_list() = default;
nosql_list::~nosql_list() = default;

nosql_list::file_stamp nosql_list::stamp_of(const std::wstring& path) {
    struct stat st;
    if (::stat(cl::utf16_to_utf8(path).c_str(), &st) != 0) return {};
    return stamp_from(st);
}

void nosql_list::append_field(std::string& out, std::string_view bytes) {
    out += '"';
    for (char c : bytes) {
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            out += c;
        }
    }
    out += '"';
}

// A record is one line: a quoted key, "," or ";", a quoted value, and
// nothing but blanks or separators up to the line feed. Anything else is a
// damaged line: it is skipped whole, so one bad line cannot shift the keys and
// values of the lines after it. Unescaping writes into the same buffer: its
// output is never longer than its input.
void nosql_list::parse(char* data, std::size_t size, const record_sink& sink,
                       std::vector<std::size_t>* damaged) {
    std::size_t pos = 0, line = 1;
    while (pos < size) {
        while (pos < size && is_blank(data[pos]))
            ++pos;
        if (pos >= size) break;
        if (data[pos] == '\n') {
            ++pos;
            ++line;
            continue;
        }
        const std::size_t record_line = line;
        std::string_view fields[2];
        bool ok = true;
        for (int f = 0; f < 2 && ok; ++f) {
            while (pos < size && is_blank(data[pos]))
                ++pos;
            if (f == 1) {
                if (pos < size && (data[pos] == ',' || data[pos] == ';'))
                    ++pos;
                else
                    ok = false;
                while (ok && pos < size && is_blank(data[pos]))
                    ++pos;
            }
            if (!ok || pos >= size || data[pos] != '"') {
                ok = false;
                break;
            }
            ++pos;
            const std::size_t start = pos;
            std::size_t out = pos;
            bool closed = false;
            while (pos < size) {
                char c = data[pos];
                if (c == '"') {
                    ++pos;
                    closed = true;
                    break;
                }
                if (c == '\n') break; // a raw line end inside quotes
                if (c == '\\' && pos + 1 < size) {
                    c = data[pos + 1];
                    if (c == '\n') ++line;
                    c = c == 'n' ? '\n' : c == 'r' ? '\r' : c;
                    pos += 2;
                } else {
                    ++pos;
                }
                data[out++] = c;
            }
            if (!closed) ok = false;
            fields[f] = std::string_view(data + start, out - start);
        }
        if (ok) {
            while (pos < size && (is_blank(data[pos]) || data[pos] == ',' || data[pos] == ';'))
                ++pos;
            if (pos < size && data[pos] != '\n') ok = false;
        }
        if (!ok) {
            if (damaged) damaged->push_back(record_line);
            while (pos < size && data[pos] != '\n')
                ++pos;
            continue;
        }
        if (!fields[0].empty()) sink(fields[0], fields[1]);
    }
}

void nosql_list::insert_parsed(std::string_view key, std::string_view value) {
    char* v = const_cast<char*>(value.data());
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        // A later record of the same key wins; the earlier bytes are dead.
        slot& s = it->second;
        live_bytes_ -= s.size;
        drop_value(s);
        dead_bytes_ += key.size();
        s.value = v;
        s.size = s.capacity = value.size();
        live_bytes_ += value.size();
        return;
    }
    slot s;
    s.value = v;
    s.size = s.capacity = value.size();
    entries_.emplace(key_ref{key.data(), key.size()}, std::move(s));
    live_bytes_ += key.size() + value.size();
}

void nosql_list::drop_value(slot& s) {
    if (s.own_value)
        s.own_value.reset();
    else
        dead_bytes_ += s.capacity;
    s.value = nullptr;
    s.size = s.capacity = 0;
}

bool nosql_list::read_file(const std::wstring& path) {
    const std::string p = cl::utf16_to_utf8(path);
    // Beneath the tree's root for a list of the tree: a link swapped in on
    // its path cannot lead the read outside.
    const int fd = cl::open_tree_file(p, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT) {
            stamp_ = file_stamp();
            return true;
        }
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    auto buffer = std::make_unique<char[]>(size + 1);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t r = ::read(fd, buffer.get() + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fd);
    if (got != size) return false;

    char* data = buffer.get();
    std::size_t n = size;
    utf8_ = n >= 3 && std::memcmp(data, bom, 3) == 0;
    if (utf8_) {
        data += 3;
        n -= 3;
    }
    std::vector<std::size_t> damaged;
    parse(
        data, n, [this](std::string_view k, std::string_view v) { insert_parsed(k, v); }, &damaged);
    for (std::size_t line : damaged)
        trace_line(cl::format_str("hashlist: damaged line %? skipped in %?\n", line, p));
    buffers_.push_back(std::move(buffer));
    stamp_ = stamp_from(st);
    write_log(cl::format_str("R,%?", entries_.size()));
    return true;
}

bool nosql_list::reload_file(const std::wstring& path) {
    nosql_list fresh;
    if (!fresh.read_file(path)) return false;
    buffers_.swap(fresh.buffers_);
    entries_.swap(fresh.entries_);
    dead_bytes_ = fresh.dead_bytes_;
    live_bytes_ = fresh.live_bytes_;
    utf8_ = fresh.utf8_;
    stamp_ = fresh.stamp_;
    dirty_ = false;
    write_log(cl::format_str("R,%?", entries_.size()));
    return true;
}

bool nosql_list::write_file(const std::wstring& path) {
    if (!dirty_) return true;
    const std::string target = cl::utf16_to_utf8(path);

    // The new content goes to a file beside the target and replaces it only
    // once it is complete and on disk: a failure at any point leaves the old
    // file whole. All of it happens in the folder opened once (beneath the
    // tree's root for a list of the tree), so a link swapped in on the path
    // cannot carry the list elsewhere.
    std::string leaf;
    const int dir = cl::open_tree_parent(target, O_RDONLY, leaf);
    struct stat old;
    const bool had_file = dir >= 0 &&
                          ::fstatat(dir, leaf.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(old.st_mode);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; dir >= 0 && attempt < 16 && fd < 0; ++attempt) {
        temp = cl::format_str("%?.%x.tmp", leaf, static_cast<uint32_t>(cl::lcg_random64()));
        // Lists hold logins and whatever pages keep: a new one is its
        // owner's alone, whatever the umask.
        fd =
            ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    const auto fail = [&](const char* what) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        if (!temp.empty()) ::unlinkat(dir, temp.c_str(), 0);
        if (dir >= 0) ::close(dir);
        trace_line(cl::format_str("hashlist: %? failed for %?: %?\n", what, target,
                                  win32::from_errno(err)));
        return false;
    };
    if (fd < 0) {
        temp.clear();
        return fail("create");
    }
    // A list of passwords keeps the permissions its owner gave the file.
    if (had_file && ::fchmod(fd, old.st_mode & 07777) != 0) return fail("fchmod");

    std::string buf;
    buf.reserve(write_reserve);
    if (utf8_) buf.append(bom, 3);
    for (const auto& [key, s] : entries_) {
        append_field(buf, key.view());
        buf += ',';
        append_field(buf, s.view());
        buf += "\r\n";
        if (buf.size() > write_threshold) {
            if (!write_all(fd, buf.data(), buf.size())) return fail("write");
            buf.clear();
        }
    }
    if (!write_all(fd, buf.data(), buf.size())) return fail("write");
    if (::fsync(fd) != 0) return fail("fsync");
    if (::close(fd) != 0) {
        fd = -1;
        return fail("close");
    }
    fd = -1;
    if (::renameat(dir, temp.c_str(), dir, leaf.c_str()) != 0) return fail("rename");
    ::fsync(dir);
    ::close(dir);
    dirty_ = false;
    stamp_ = stamp_of(path);
    write_log(cl::format_str("W,%?", entries_.size()));
    return true;
}

bool nosql_list::get(std::string_view key, std::string_view& value) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    value = it->second.view();
    return true;
}

bool nosql_list::set(std::string_view key, std::string_view value) {
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        slot& s = it->second;
        if (s.view() == value) return false;
        const std::string_view old = s.view();
        if (log_) log_record('M', key, &value, &old);
        live_bytes_ = live_bytes_ - s.size + value.size();
        if (value.size() <= s.capacity) {
            std::memmove(s.value, value.data(), value.size());
            // The unused tail of a slot in a file buffer is dead until the
            // value grows into it again.
            if (!s.own_value) dead_bytes_ = dead_bytes_ + s.size - value.size();
            s.size = value.size();
        } else {
            auto own = std::make_unique<char[]>(value.size());
            std::memcpy(own.get(), value.data(), value.size());
            drop_value(s);
            s.own_value = std::move(own);
            s.value = s.own_value.get();
            s.size = s.capacity = value.size();
        }
        dirty_ = true;
        return false;
    }
    slot s;
    s.own_key = std::make_unique<char[]>(key.size() + 1);
    std::memcpy(s.own_key.get(), key.data(), key.size());
    s.own_value = std::make_unique<char[]>(value.size() + 1);
    std::memcpy(s.own_value.get(), value.data(), value.size());
    s.value = s.own_value.get();
    s.size = s.capacity = value.size();
    const char* k = s.own_key.get();
    entries_.emplace(key_ref{k, key.size()}, std::move(s));
    live_bytes_ += key.size() + value.size();
    dirty_ = true;
    log_record('C', key, &value, nullptr);
    return true;
}

bool nosql_list::erase(std::string_view key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    log_record('D', key, nullptr, nullptr);
    slot& s = it->second;
    live_bytes_ -= key.size() + s.size;
    if (!s.own_key) dead_bytes_ += key.size();
    drop_value(s);
    entries_.erase(it);
    dirty_ = true;
    return true;
}

void nosql_list::discard() {
    entries_.clear();
    buffers_.clear();
    dead_bytes_ = live_bytes_ = 0;
    dirty_ = false;
    utf8_ = true;
}

void nosql_list::clear() {
    discard();
    dirty_ = true;
    write_log("E");
}

void nosql_list::compact_memory() {
    auto arena = std::make_unique<char[]>(live_bytes_ + 1);
    char* p = arena.get();
    for (auto& [key, s] : entries_) {
        std::memcpy(p, key.p, key.n);
        key.p = p;
        p += key.n;
        std::memcpy(p, s.value, s.size);
        s.value = p;
        s.capacity = s.size;
        p += s.size;
        s.own_key.reset();
        s.own_value.reset();
    }
    buffers_.clear();
    buffers_.push_back(std::move(arena));
    dead_bytes_ = 0;
}

void nosql_list::compact(const std::wstring& path) {
    if (!path.empty()) write_file(path);
    compact_memory();
}

void nosql_list::write_log(std::string_view line) {
    if (!log_) return;
    std::string text = log_prefix_;
    text += line;
    text += '\n';
    log_->write_line(text);
}

void nosql_list::log_record(char kind, std::string_view key, const std::string_view* value,
                            const std::string_view* old) {
    if (!log_) return;
    std::string line(1, kind);
    line += ',';
    append_field(line, key);
    if (value) {
        line += ',';
        append_field(line, *value);
    }
    if (old) {
        line += ',';
        append_field(line, *old);
    }
    write_log(line);
}

} // namespace scripting
