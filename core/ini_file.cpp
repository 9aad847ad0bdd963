#include "core/ini_file.h"

#include "core/format.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "core/uni_file.h"
#include "platform/win32/errors.h"
#include "platform/win32/time.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace cl {

namespace {

// ---------------------------------------------------------------------------
// Lines of the format

struct ini_line {
    enum kind_t { empty, comment, header, pair, other } kind = empty;
    std::wstring name; // section name or key
    std::wstring value;
};

// Trimmed, every white-space character inside made a blank.
std::wstring normalise(std::wstring_view s) {
    std::wstring r(trimmed_w(s));
    for (auto& c : r)
        if (is_space_w(c)) c = L' ';
    return r;
}

// `s` is already stripped at its left.
ini_line parse_line(const std::wstring& s) {
    ini_line l;
    if (s.empty()) return l;
    if (s[0] == L';') {
        l.kind = ini_line::comment;
        return l;
    }
    if (s[0] == L'[') {
        const auto close = s.find(L']', 1);
        l.kind = ini_line::header;
        l.name = std::wstring(trimmed_w(
            std::wstring_view(s).substr(1, close == std::wstring::npos ? s.npos : close - 1)));
        return l;
    }
    const auto eq = s.find(L'=');
    if (eq != std::wstring::npos) {
        l.name = normalise(std::wstring_view(s).substr(0, eq));
        if (!l.name.empty()) {
            l.kind = ini_line::pair;
            l.value = normalise(std::wstring_view(s).substr(eq + 1));
            return l;
        }
    }
    l.kind = ini_line::other;
    return l;
}

std::wstring left_stripped(const std::wstring& s) {
    std::wstring r = s;
    trim_left_w(r);
    return r;
}

bool names_equal(std::wstring_view wanted, std::wstring_view found) {
    return iequals_w(trimmed_w(wanted), trimmed_w(found));
}

// Text written into one line: a line break inside it would start a line of
// its own (a forged section or key), so every white-space character but the
// blank and the tab becomes a blank, as a reader would see it anyway.
std::wstring one_line(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r)
        if (c != L'\t' && is_space_w(c)) c = L' ';
    return r;
}

std::wstring pair_text(std::wstring_view key, std::wstring_view value) {
    return one_line(trimmed_w(key)) + L"=" + one_line(value);
}

std::wstring header_text(std::wstring_view name) {
    return L"[" + one_line(trimmed_w(name)) + L"]";
}

// ---------------------------------------------------------------------------
// Files

// The retry waits draw from the library's congruential generator.
std::atomic<uint32_t> random_state{
    static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count() % 714025)};

uint32_t next_random() {
    uint32_t x = random_state.load(), n;
    do {
        n = (x * 4096u + 150889u) % 714025u;
    } while (!random_state.compare_exchange_weak(x, n));
    return n;
}

void report_open_error(const std::wstring& path, uint32_t error) {
    trace_err.write(format_str("file '%?' open error %u\n", path, error));
}

// Opens, retrying for up to 5000 ms while another handle shares the file
// badly; the caller reports a final failure.
bool open_retrying(uni_file& f, const std::wstring& path, uint32_t flags, int new_encoding,
                   uint32_t share, uint32_t sleep_span) {
    const uint32_t start = win32::get_tick_count();
    for (;;) {
        if (f.open_with_bom_mode(path, flags, new_encoding, share)) return true;
        if (!f.sharing_violation() || win32::get_tick_count() - start >= 5000) return false;
        win32::sleep_ms(50 + static_cast<uint32_t>(uint64_t(next_random()) * sleep_span / 714025));
    }
}

// What a file looked like when it was read: compared to see whether someone
// else changed it since.
struct file_stamp {
    bool exists = false;
    uint64_t write_time = 0;
    int64_t size = 0;
    uint64_t inode = 0;
    mode_t mode = 0;
    bool operator==(const file_stamp& o) const {
        return exists == o.exists && write_time == o.write_time && size == o.size &&
               inode == o.inode;
    }
};

file_stamp stamp_of(const std::wstring& path) {
    file_stamp s;
    struct stat st;
    if (::stat(utf16_to_utf8(path).c_str(), &st) == 0) {
        s.exists = true;
        s.write_time = win32::filetime_from_timespec(st.st_mtim);
        s.size = st.st_size;
        s.inode = st.st_ino;
        s.mode = st.st_mode & 07777;
    }
    return s;
}

struct old_file {
    bool exists = false;
    int encoding = enc_ansi;
    std::vector<std::wstring> lines; // as read, line ends removed
    file_stamp stamp;
};

// Reads the whole file. False (after reporting) when it exists but cannot be
// read; a missing file gives exists false and the encoding a new file gets.
bool read_old_file(const std::wstring& path, bool prefer_utf8, old_file& out, bool retry,
                   uint32_t sleep_span) {
    out = old_file();
    out.encoding = prefer_utf8 ? enc_utf8 : enc_ansi;
    uni_file f;
    const int new_enc = prefer_utf8 ? enc_utf8 : enc_ansi;
    const bool ok = retry ? open_retrying(f, path, o_rdonly, new_enc, sh_denywr, sleep_span)
                          : f.open_with_bom_mode(path, o_rdonly, new_enc, sh_denywr);
    if (!ok) {
        if (f.not_found()) return true;
        report_open_error(path, f.last_error());
        // A missing folder holds no file either; writing there fails later.
        return f.last_error() == win32::error_path_not_found;
    }
    out.exists = true;
    out.encoding = f.encoding();
    std::wstring line;
    while (f.read_line_w(line))
        out.lines.push_back(line);
    out.stamp = stamp_of(path);
    return true;
}

std::mt19937_64& name_source() {
    static std::mt19937_64 g{
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    return g;
}
std::mutex name_lock;

std::atomic<ini_sync_function> sync_function{nullptr};

int sync_new_text(int fd) {
    const ini_sync_function f = sync_function.load(std::memory_order_relaxed);
    return f ? f(fd) : ::fsync(fd);
}

// The new text of a file, written beside it and renamed over it once it is
// complete and on disk; the old file is untouched until then. The folder is
// opened once (beneath the tree's root for a file of the tree): the new file
// must be the name made in that folder, and it is renamed and synced there,
// so a link swapped in on the path meanwhile cannot carry the text elsewhere.
class replacement {
  public:
    ~replacement() {
        if (file_.is_open()) file_.close();
        if (!temp_leaf_.empty() && !committed_ && !failed_)
            ::unlinkat(dir_fd_, temp_leaf_.c_str(), 0);
        if (dir_fd_ >= 0) ::close(dir_fd_);
    }

    bool create(const std::wstring& target, int encoding) {
        target_ = target;
        failed_ = true; // until something of ours is there to remove
        dir_fd_ = open_tree_parent(utf16_to_utf8(target), O_RDONLY, leaf_);
        if (dir_fd_ < 0) return false;
        const std::wstring dir = dir_part(target);
        for (int attempt = 0; attempt < 100; ++attempt) {
            uint64_t r;
            {
                std::lock_guard lk(name_lock);
                r = name_source()();
            }
            const std::wstring leaf = L"ini" + uint64_to_base36_wstring(r) + L".tmp";
            temp_ = dir + leaf;
            if (file_.open_with_bom_mode(temp_, o_rdwr | o_creat | o_excl | o_binary, encoding,
                                         sh_denyrw)) {
                struct stat made;
                temp_leaf_ = utf16_to_utf8(leaf);
                if (::fstatat(dir_fd_, temp_leaf_.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0 ||
                    made.st_dev != file_.share_dev() || made.st_ino != file_.share_ino()) {
                    // Made elsewhere than in the folder held: not ours to use.
                    file_.close();
                    temp_leaf_.clear();
                    return false;
                }
                if (file_.encoding() != encoding) file_.set_encoding(encoding);
                failed_ = false;
                return true;
            }
            if (file_.last_error() != win32::error_file_exists) break;
        }
        return false;
    }
    uni_file& out() { return file_; }
    const std::wstring& temp_path() const { return temp_; }

    // Makes the new text durable and puts it in place of the old file.
    bool commit(const file_stamp& old) {
        bool ok = file_.flush();
        if (ok && sync_new_text(file_.handle()) != 0) ok = false;
        if (ok && old.exists) ::fchmod(file_.handle(), old.mode);
        if (file_.close() != 0) ok = false;
        if (!ok) return false;
        if (::renameat(dir_fd_, temp_leaf_.c_str(), dir_fd_, leaf_.c_str()) != 0) return false;
        committed_ = true;
        // The rename itself is durable only once the folder is synced.
        ::fsync(dir_fd_);
        return true;
    }

  private:
    uni_file file_;
    std::wstring target_, temp_;
    int dir_fd_ = -1;
    std::string leaf_, temp_leaf_;
    bool committed_ = false;
    bool failed_ = false;
};

// Writes `lines` as the new text of `path`. Reports in the main trace.
bool replace_file(const std::wstring& path, const old_file& old, int encoding, bool leading_empty,
                  const std::vector<std::wstring>& lines) {
    replacement r;
    if (!r.create(path, encoding)) {
        trace_out.write(format_str("cannot create temp file '%?'\n", r.temp_path()));
        return false;
    }
    bool ok = true;
    if (leading_empty) ok = r.out().write_line(L"");
    for (const auto& l : lines)
        if (ok) ok = r.out().write_line(l);
    if (!ok) {
        trace_out.write(format_str("error(s) writing to '%?'\n", r.temp_path()));
        return false;
    }
    if (!r.commit(old.stamp)) {
        trace_out.write(
            format_str("error while copying from temp '%?' to '%?'\n", r.temp_path(), path));
        return false;
    }
    return true;
}

int new_encoding_of(const old_file& old, bool prefer_utf8) {
    if (old.encoding == enc_ansi && prefer_utf8) return enc_utf8;
    return old.encoding;
}

} // namespace

void set_ini_sync_function(ini_sync_function f) {
    sync_function.store(f, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// ini_file: the file is read for every question and rewritten for every change.

bool ini_file::set_path(const std::wstring& path, bool prefer_utf8) {
    path_ = path;
    prefer_utf8_ = prefer_utf8;
    return true;
}

bool ini_file::get_value(const std::wstring& section, const std::wstring& key,
                         std::wstring& value) {
    old_file f;
    if (!read_old_file(path_, prefer_utf8_, f, false, 0) || !f.exists) return false;
    bool inside = false;
    for (const auto& raw : f.lines) {
        const ini_line l = parse_line(left_stripped(raw));
        if (l.kind == ini_line::header) {
            // Every occurrence of the section is searched.
            inside = names_equal(section, l.name);
        } else if (inside && l.kind == ini_line::pair && names_equal(key, l.name)) {
            value = l.value;
            return true;
        }
    }
    return false;
}

bool ini_file::get_value_fresh(const std::wstring& section, const std::wstring& key,
                               std::wstring& value) {
    return get_value(section, key, value);
}

bool ini_file::get_section(const std::wstring& section, std::vector<std::wstring>& lines,
                           uint32_t flags) {
    lines.clear();
    old_file f;
    if (!read_old_file(path_, prefer_utf8_, f, false, 0) || !f.exists) return false;
    bool inside = false, found = false;
    for (const auto& raw : f.lines) {
        const std::wstring s = left_stripped(raw);
        if (s.empty()) continue;
        const ini_line l = parse_line(s);
        if (l.kind == ini_line::header) {
            if (found) break; // only the first occurrence counts
            inside = names_equal(section, l.name);
            found = inside;
            continue;
        }
        if (!inside) continue;
        if (l.kind == ini_line::pair) {
            lines.push_back(l.name + L"=" + l.value);
        } else if (l.kind == ini_line::comment) {
            if (flags & gs_comments) lines.push_back(s);
        } else if (flags & gs_other_lines) {
            std::wstring t = s;
            trim_right_w(t);
            lines.push_back(t);
        }
    }
    return found;
}

bool ini_file::get_section_names(std::vector<std::wstring>& names) {
    names.clear();
    old_file f;
    if (!read_old_file(path_, prefer_utf8_, f, false, 0) || !f.exists) return false;
    for (const auto& raw : f.lines) {
        const ini_line l = parse_line(left_stripped(raw));
        if (l.kind == ini_line::header) names.push_back(l.name);
    }
    return true;
}

bool ini_file::get_section_fresh(const std::wstring& section, std::vector<std::wstring>& lines,
                                 uint32_t flags) {
    return get_section(section, lines, flags);
}

bool ini_file::get_section_names_fresh(std::vector<std::wstring>& names) {
    return get_section_names(names);
}

bool ini_file::has_section(const std::wstring& section) {
    std::vector<std::wstring> lines;
    return get_section(section, lines, gs_comments | gs_other_lines) && !lines.empty();
}

bool ini_file::has_section_fresh(const std::wstring& section) {
    return has_section(section);
}

namespace {

// Rewrites the file of a plain store with `edit` applied to its lines.
template <class Edit> bool rewrite(const std::wstring& path, bool prefer_utf8, Edit edit) {
    old_file old;
    if (!read_old_file(path, prefer_utf8, old, false, 0)) return false;
    std::vector<std::wstring> out;
    out.reserve(old.lines.size() + 4);
    edit(old.lines, out);
    const bool leading_empty =
        old.exists && old.encoding != enc_ansi && !old.lines.empty() && !old.lines.front().empty();
    return replace_file(path, old, new_encoding_of(old, prefer_utf8), leading_empty, out);
}

} // namespace

bool ini_file::write_value(const std::wstring& section, const std::wstring& key,
                           const std::wstring& value, bool) {
    return rewrite(path_, prefer_utf8_, [&](const auto& in, auto& out) {
        bool inside = false, met = false, written = false;
        for (const auto& raw : in) {
            const std::wstring s = left_stripped(raw);
            const ini_line l = parse_line(s);
            if (l.kind == ini_line::header) {
                if (inside && !written) {
                    out.push_back(pair_text(key, value));
                    written = true;
                }
                inside = names_equal(section, l.name);
                met = met || inside;
            } else if (inside && !written && l.kind == ini_line::pair && names_equal(key, l.name)) {
                out.push_back(pair_text(key, value));
                written = true;
                continue;
            }
            out.push_back(s);
        }
        if (!written) {
            if (!inside && !met) out.push_back(header_text(section));
            out.push_back(pair_text(key, value));
        }
    });
}

bool ini_file::delete_value(const std::wstring& section, const std::wstring& key) {
    return rewrite(path_, prefer_utf8_, [&](const auto& in, auto& out) {
        bool inside = false, done = false;
        for (const auto& raw : in) {
            const std::wstring s = left_stripped(raw);
            const ini_line l = parse_line(s);
            if (l.kind == ini_line::header) {
                inside = names_equal(section, l.name);
            } else if (inside && !done && l.kind == ini_line::pair && names_equal(key, l.name)) {
                done = true;
                continue;
            }
            out.push_back(s);
        }
    });
}

bool ini_file::write_section(const std::wstring& section, const std::vector<std::wstring>& lines) {
    return rewrite(path_, prefer_utf8_, [&](const auto& in, auto& out) {
        bool inside = false, written = false;
        for (const auto& raw : in) {
            const std::wstring s = left_stripped(raw);
            const ini_line l = parse_line(s);
            if (l.kind == ini_line::header) {
                inside = names_equal(section, l.name);
                out.push_back(s);
                if (inside && !written) {
                    for (const auto& x : lines)
                        out.push_back(one_line(x));
                    written = true;
                }
                continue;
            }
            if (!inside) out.push_back(s);
        }
        if (!written) {
            out.push_back(header_text(section));
            for (const auto& x : lines)
                out.push_back(one_line(x));
        }
    });
}

bool ini_file::delete_section(const std::wstring& section) {
    return rewrite(path_, prefer_utf8_, [&](const auto& in, auto& out) {
        bool inside = false;
        for (const auto& raw : in) {
            const std::wstring s = left_stripped(raw);
            const ini_line l = parse_line(s);
            if (l.kind == ini_line::header) inside = names_equal(section, l.name);
            if (!inside) out.push_back(s);
        }
    });
}

bool ini_file::flush() {
    return true;
}
bool ini_file::refresh() {
    return true;
}
void ini_file::close() {}

std::size_t ini_file::section_count() {
    std::vector<std::wstring> names;
    get_section_names(names);
    return names.size();
}

bool ini_file::get_section_pairs(const std::wstring& section, std::vector<std::wstring>& keys,
                                 std::vector<std::wstring>& values) {
    keys.clear();
    values.clear();
    std::vector<std::wstring> lines;
    if (!get_section(section, lines, 0)) return false;
    for (const auto& l : lines) {
        const auto eq = l.find(L'=');
        if (eq == std::wstring::npos) continue;
        keys.push_back(l.substr(0, eq));
        values.push_back(l.substr(eq + 1));
    }
    return true;
}

bool ini_file::get_indexed_values(const std::wstring& section, const std::wstring& prefix,
                                  std::vector<std::wstring>& values) {
    // An index is a slot of the vector: a key such as "x[999999999]" must not
    // claim that much memory.
    constexpr long max_index = 9999;
    std::vector<std::wstring> keys, vals;
    if (!get_section_pairs(section, keys, vals)) return false;
    const std::size_t n = prefix.size();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::wstring& k = keys[i];
        if (k.size() < n + 3 || !iequals_w(std::wstring_view(k).substr(0, n), prefix) ||
            k[n] != L'[' || k.back() != L']')
            continue;
        const std::wstring_view num = std::wstring_view(k).substr(n + 1, k.size() - n - 2);
        std::size_t p = 0;
        bool negative = false;
        if (p < num.size() && num[p] == L'-') negative = true, ++p;
        if (p == num.size()) continue;
        long index = 0;
        bool ok = true;
        for (; p < num.size(); ++p) {
            if (!is_digit_w(num[p])) {
                ok = false;
                break;
            }
            index = index * 10 + (num[p] - L'0');
            if (index > max_index) {
                ok = false;
                break;
            }
        }
        if (!ok || negative) continue;
        if (values.size() <= static_cast<std::size_t>(index)) values.resize(index + 1);
        values[index] = vals[i];
    }
    return true;
}

bool ini_file::try_get_string(const std::wstring& section, const std::wstring& key,
                              std::wstring& out, bool skip) {
    if (skip) return false;
    std::wstring v;
    if (!get_value(section, key, v)) return false;
    out = v;
    return true;
}

int32_t ini_file::get_int(const std::wstring& section, const std::wstring& key, int32_t def) {
    std::wstring v;
    return get_value_fresh(section, key, v) ? wstring_to_int(v) : def;
}

bool ini_file::get_bool(const std::wstring& section, const std::wstring& key, bool def) {
    std::wstring v;
    return get_value_fresh(section, key, v) ? wstring_to_int(v) != 0 : def;
}

std::wstring ini_file::get_string_or(const std::wstring& section, const std::wstring& key,
                                     const wchar_t* def) {
    std::wstring v;
    if (get_value_fresh(section, key, v)) return v;
    return def ? std::wstring(def) : std::wstring();
}

std::wstring ini_file::get_string_or_wstring(const std::wstring& section, const std::wstring& key,
                                             const std::wstring& def) {
    std::wstring v;
    return get_value_fresh(section, key, v) ? v : def;
}

std::string ini_file::get_narrow_string_or(const std::wstring& section, const std::wstring& key,
                                           const std::string& def) {
    std::wstring v;
    return get_value_fresh(section, key, v) ? wide_to_mb_wstr(v, cp_acp) : def;
}

// ---------------------------------------------------------------------------
// cached_ini: the sections in memory, written back by merging into the file.

cached_ini::cached_ini() = default;

cached_ini::~cached_ini() {
    close();
    {
        cs_lock lk(lock_);
        enabled_ = false;
    }
    write_timer_.kill(true);
    second_timer_.kill(true);
    // A write-back or timer callback that got in before the flag was cleared
    // has left the lock once this passes.
    cs_lock pass(lock_);
}

std::list<ini_section>::iterator cached_ini::find_section(const std::wstring& name) {
    const std::wstring_view wanted = trimmed_w(name);
    for (auto it = sections_.begin(); it != sections_.end(); ++it)
        if (iequals_w(wanted, trimmed_w(it->name))) return it;
    return sections_.end();
}

ini_section& cached_ini::find_or_add_section(const std::wstring& name) {
    auto it = find_section(name);
    if (it != sections_.end()) return *it;
    ini_section s;
    s.name = std::wstring(trimmed_w(name));
    sections_.push_back(std::move(s));
    return sections_.back();
}

ini_entry* cached_ini::find_entry(ini_section& s, const std::wstring& key) {
    const std::wstring_view wanted = trimmed_w(key);
    for (auto& e : s.entries)
        if (!(e.flags & ini_entry::other_line) && iequals_w(wanted, e.key)) return &e;
    return nullptr;
}

void cached_ini::store_stamp() {
    const file_stamp st = stamp_of(path_);
    last_exists_ = st.exists;
    last_write_ = st.write_time;
    last_size_ = st.size;
    last_inode_ = st.inode;
    check_tick_ = win32::get_tick_count();
}

bool cached_ini::load() {
    if (writing_ || loading_) return false;
    loading_ = true;
    old_file f;
    const bool ok = read_old_file(path_, prefer_utf8_, f, true, 50);
    loading_ = false;
    if (!ok) return false; // reported; the old cache stays
    if (!f.exists) {
        if (!dirty_) sections_.clear();
        store_stamp();
        return true;
    }
    std::list<ini_section> fresh;
    ini_section* cur = nullptr;
    for (const auto& raw : f.lines) {
        std::wstring s = left_stripped(raw);
        if (s.empty()) continue;
        ini_line l = parse_line(s);
        if (l.kind == ini_line::header) {
            cur = nullptr;
            bool repeated = false;
            for (const auto& x : fresh)
                if (iequals_w(x.name, l.name)) repeated = true;
            if (repeated) continue; // the lines of a repeated section are ignored
            ini_section sec;
            sec.name = std::move(l.name);
            sec.flags = ini_section::loaded;
            fresh.push_back(std::move(sec));
            cur = &fresh.back();
            continue;
        }
        if (!cur) continue;
        ini_entry e;
        e.flags = ini_entry::loaded;
        if (l.kind == ini_line::pair) {
            e.key = std::move(l.name);
            e.value = std::move(l.value);
        } else {
            if (l.kind != ini_line::comment) trim_right_w(s);
            e.value = std::move(s);
            e.flags |= ini_entry::other_line;
        }
        cur->entries.push_back(std::move(e));
    }
    if (dirty_) return false; // changes in memory win until they are written
    sections_ = std::move(fresh);
    last_exists_ = true;
    last_write_ = f.stamp.write_time;
    last_size_ = f.stamp.size;
    last_inode_ = f.stamp.inode;
    check_tick_ = win32::get_tick_count();
    return true;
}

void cached_ini::check_fresh(cs_lock& lk) {
    if (!path_set_) return;
    const uint32_t now = win32::get_tick_count();
    if (now - check_tick_ < freshness_ms_) return;
    const file_stamp st = stamp_of(path_);
    const bool same = st.exists == last_exists_ &&
                      (!st.exists || (st.write_time == last_write_ && st.size == last_size_ &&
                                      st.inode == last_inode_));
    if (same) {
        check_tick_ = now;
        return;
    }
    write_back(lk, true);
    load();
}

bool cached_ini::reload() {
    cs_lock lk(lock_);
    write_back(lk, true);
    return load();
}

bool cached_ini::set_path(const std::wstring& path, bool prefer_utf8) {
    cs_lock lk(lock_);
    write_back(lk, true);
    path_ = path;
    prefer_utf8_ = prefer_utf8;
    path_set_ = true;
    dirty_ = false;
    sections_.clear();
    last_exists_ = false;
    return load();
}

void cached_ini::close() {
    cs_lock lk(lock_);
    write_back(lk, true);
    path_set_ = false;
}

bool cached_ini::flush() {
    cs_lock lk(lock_);
    return write_back(lk, true);
}

bool cached_ini::refresh() {
    return reload();
}

bool cached_ini::dirty() {
    cs_lock lk(lock_);
    return dirty_;
}

void cached_ini::set_write_delay(uint32_t ms) {
    cs_lock lk(lock_);
    write_delay_ = ms;
}

void cached_ini::set_freshness_interval(uint32_t ms) {
    cs_lock lk(lock_);
    freshness_ms_ = ms;
}

void cached_ini::set_write_back_timer(base_timer* timer) {
    cs_lock lk(lock_);
    timer_ = timer;
}

void cached_ini::arm_write_back_timer() {
    base_timer* t = timer_;
    if (!t && global_timers_running()) t = &slow_timer();
    // Without a timer the changes wait for flush, close or the next change of path.
    if (!t) return;
    // Not replaced: later changes do not push the write further away.
    t->set_timer(
        write_timer_,
        [this] {
            try {
                cs_lock lk(lock_);
                // The timer thread never waits for a write-back in progress:
                // that one may be waiting for this callback to end.
                write_back(lk, false);
            } catch (const std::exception& e) {
                trace_err.write(format_str("ini write-back failed: %?\n", e.what()));
            } catch (...) {
                trace_err.write("ini write-back failed\n");
            }
        },
        static_cast<int32_t>(write_delay_), timer_one_shot, false);
}

void cached_ini::schedule_write_back(cs_lock& lk) {
    if (!enabled_) return;
    dirty_ = true;
    if (write_delay_ == 0)
        write_back(lk, true);
    else
        arm_write_back_timer();
}

bool cached_ini::set_value(const std::wstring& section, const std::wstring& key,
                           const std::wstring& value, bool schedule) {
    cs_lock lk(lock_);
    ini_section& s = find_or_add_section(section);
    const std::wstring k(trimmed_w(key));
    ini_entry* e = find_entry(s, k);
    if (e && e->key == k && e->value == value && !(e->flags & ini_entry::deleted) &&
        !(s.flags & ini_section::deleted))
        return true; // nothing changes
    const uint64_t change = ++change_count_;
    if (!e) {
        ini_entry n;
        n.key = k;
        n.value = value;
        n.flags = ini_entry::changed;
        n.change = change;
        s.entries.push_back(std::move(n));
    } else {
        e->key = k;
        e->value = value;
        e->flags = static_cast<uint8_t>((e->flags | ini_entry::changed) & ~ini_entry::deleted);
        e->change = change;
    }
    s.flags = static_cast<uint8_t>((s.flags | ini_section::changed) & ~ini_section::deleted);
    s.change = change;
    if (schedule)
        schedule_write_back(lk);
    else
        dirty_ = true;
    return true;
}

bool cached_ini::delete_value(const std::wstring& section, const std::wstring& key) {
    cs_lock lk(lock_);
    auto it = find_section(section);
    if (it == sections_.end()) return true;
    ini_section& s = *it;
    ini_entry* e = find_entry(s, key);
    if (!e || (e->flags & ini_entry::deleted)) return true;
    const uint64_t change = ++change_count_;
    if (e->flags & ini_entry::loaded) {
        e->flags |= ini_entry::changed | ini_entry::deleted;
        e->value.clear();
        e->change = change;
    } else {
        // Never written: it leaves no trace.
        s.entries.remove_if([e](const ini_entry& x) { return &x == e; });
    }
    s.flags |= ini_section::changed;
    s.change = change;
    schedule_write_back(lk);
    return true;
}

bool cached_ini::write_section(const std::wstring& section,
                               const std::vector<std::wstring>& lines) {
    cs_lock lk(lock_);
    ini_section& s = find_or_add_section(section);
    const uint64_t change = ++change_count_;
    s.flags = static_cast<uint8_t>((s.flags | ini_section::replace_whole | ini_section::changed) &
                                   ~ini_section::deleted);
    s.change = change;
    s.entries.clear();
    for (const auto& raw : lines) {
        const std::wstring t = left_stripped(raw);
        ini_line l = parse_line(t);
        ini_entry e;
        e.flags = ini_entry::changed;
        e.change = change;
        if (l.kind == ini_line::pair) {
            e.key = std::move(l.name);
            e.value = std::move(l.value);
        } else {
            e.value = t;
            if (l.kind != ini_line::comment) trim_right_w(e.value);
            e.flags |= ini_entry::other_line;
        }
        s.entries.push_back(std::move(e));
    }
    schedule_write_back(lk);
    return true;
}

bool cached_ini::delete_section(const std::wstring& section) {
    cs_lock lk(lock_);
    auto it = find_section(section);
    if (it == sections_.end()) return true;
    if (it->flags & ini_section::loaded) {
        it->flags |= ini_section::deleted | ini_section::replace_whole | ini_section::changed;
        it->entries.clear();
        it->change = ++change_count_;
    } else {
        sections_.erase(it);
    }
    schedule_write_back(lk);
    return true;
}

bool cached_ini::get_value_locked(const std::wstring& section, const std::wstring& key,
                                  std::wstring& value) {
    auto it = find_section(section);
    if (it == sections_.end() || (it->flags & ini_section::deleted)) return false;
    const ini_entry* e = find_entry(*it, key);
    if (!e || (e->flags & ini_entry::deleted)) return false;
    value = e->value;
    return true;
}

bool cached_ini::get_value(const std::wstring& section, const std::wstring& key,
                           std::wstring& value) {
    cs_lock lk(lock_);
    return get_value_locked(section, key, value);
}

bool cached_ini::get_value_fresh(const std::wstring& section, const std::wstring& key,
                                 std::wstring& value) {
    cs_lock lk(lock_);
    check_fresh(lk);
    return get_value_locked(section, key, value);
}

bool cached_ini::read_section(const std::wstring& section, std::vector<std::wstring>& lines,
                              uint32_t flags) {
    lines.clear();
    auto it = find_section(section);
    if (it == sections_.end() || (it->flags & ini_section::deleted)) return false;
    for (const auto& e : it->entries) {
        if (e.flags & ini_entry::deleted) continue;
        if (!(e.flags & ini_entry::other_line)) {
            lines.push_back(e.key + L"=" + e.value);
        } else if (!e.value.empty() && e.value[0] == L';') {
            if (flags & gs_comments) lines.push_back(e.value);
        } else if (flags & gs_other_lines) {
            lines.push_back(e.value);
        }
    }
    return true;
}

bool cached_ini::read_section_pairs(const std::wstring& section,
                                    std::vector<std::pair<std::wstring, std::wstring>>& pairs) {
    pairs.clear();
    auto it = find_section(section);
    if (it == sections_.end() || (it->flags & ini_section::deleted)) return false;
    for (const auto& e : it->entries)
        if (!(e.flags & (ini_entry::deleted | ini_entry::other_line)))
            pairs.emplace_back(e.key, e.value);
    return true;
}

bool cached_ini::read_section_names(std::vector<std::wstring>& names) {
    names.clear();
    for (const auto& s : sections_)
        if (!(s.flags & ini_section::deleted)) names.push_back(s.name);
    return true;
}

bool cached_ini::get_section(const std::wstring& section, std::vector<std::wstring>& lines,
                             uint32_t flags) {
    cs_lock lk(lock_);
    return read_section(section, lines, flags);
}

bool cached_ini::get_section_names(std::vector<std::wstring>& names) {
    cs_lock lk(lock_);
    return read_section_names(names);
}

bool cached_ini::get_section_fresh(const std::wstring& section, std::vector<std::wstring>& lines,
                                   uint32_t flags) {
    cs_lock lk(lock_);
    check_fresh(lk);
    return read_section(section, lines, flags);
}

bool cached_ini::get_section_names_fresh(std::vector<std::wstring>& names) {
    cs_lock lk(lock_);
    check_fresh(lk);
    return read_section_names(names);
}

bool cached_ini::has_section(const std::wstring& section) {
    cs_lock lk(lock_);
    auto it = find_section(section);
    return it != sections_.end() && !(it->flags & ini_section::deleted);
}

bool cached_ini::has_section_fresh(const std::wstring& section) {
    cs_lock lk(lock_);
    check_fresh(lk);
    auto it = find_section(section);
    return it != sections_.end() && !(it->flags & ini_section::deleted);
}

std::size_t cached_ini::section_count() {
    std::vector<std::wstring> names;
    get_section_names(names);
    return names.size();
}

bool cached_ini::get_section_pairs_locked(
    const std::wstring& section, std::vector<std::pair<std::wstring, std::wstring>>& pairs) {
    cs_lock lk(lock_);
    return read_section_pairs(section, pairs);
}

bool cached_ini::get_section_pairs_fresh(
    const std::wstring& section, std::vector<std::pair<std::wstring, std::wstring>>& pairs) {
    cs_lock lk(lock_);
    check_fresh(lk);
    return read_section_pairs(section, pairs);
}

namespace {

void write_entries(const ini_section& s, std::vector<std::wstring>& out) {
    for (const auto& e : s.entries) {
        if (e.flags & ini_entry::deleted) continue;
        out.push_back((e.flags & ini_entry::other_line) ? one_line(e.value)
                                                        : pair_text(e.key, e.value));
    }
}

// The changed sections merged into the lines of the file.
void merge(const std::vector<std::wstring>& in, std::vector<ini_section>& snap,
           std::vector<std::wstring>& out) {
    enum { copy, drop, merging } mode = copy;
    ini_section* cur = nullptr;
    // Changed pairs of the section being merged, by lower-cased key.
    std::map<std::wstring, const ini_entry*> pending;

    auto finish = [&] {
        if (mode == merging && cur) {
            // What the file did not have yet goes at the end of the section,
            // in the order of the cache.
            for (const auto& e : cur->entries) {
                if (e.flags & (ini_entry::other_line | ini_entry::deleted)) continue;
                if (pending.count(to_lower_copy_w(e.key))) out.push_back(pair_text(e.key, e.value));
            }
        }
        pending.clear();
        cur = nullptr;
        mode = copy;
    };

    for (const auto& raw : in) {
        const std::wstring s = left_stripped(raw);
        const ini_line l = parse_line(s);
        if (l.kind == ini_line::header) {
            finish();
            ini_section* found = nullptr;
            for (auto& x : snap)
                if (!(x.flags & ini_section::met) && iequals_w(x.name, l.name)) {
                    found = &x;
                    break;
                }
            if (!found) {
                out.push_back(s); // untouched or repeated: copied as it stands
                continue;
            }
            found->flags |= ini_section::met;
            if (found->flags & ini_section::replace_whole) {
                mode = drop;
                if (!(found->flags & ini_section::deleted)) {
                    out.push_back(header_text(found->name));
                    write_entries(*found, out);
                }
                continue;
            }
            for (const auto& e : found->entries)
                if ((e.flags & ini_entry::changed) && !(e.flags & ini_entry::other_line))
                    pending[to_lower_copy_w(e.key)] = &e;
            if (pending.empty()) {
                out.push_back(s);
                continue;
            }
            out.push_back(header_text(found->name));
            cur = found;
            mode = merging;
            continue;
        }
        if (mode == drop) continue;
        if (mode == merging && l.kind == ini_line::pair) {
            auto it = pending.find(to_lower_copy_w(l.name));
            if (it != pending.end()) {
                const ini_entry* e = it->second;
                if (!(e->flags & ini_entry::deleted)) out.push_back(pair_text(e->key, e->value));
                pending.erase(it);
                continue;
            }
        }
        out.push_back(s);
    }
    finish();
    for (auto& x : snap) {
        if (x.flags & (ini_section::met | ini_section::deleted)) continue;
        out.push_back(header_text(x.name));
        write_entries(x, out);
    }
}

} // namespace

bool cached_ini::write_back(cs_lock& lk, bool wait) {
    if (wait) {
        // Another thread is writing: its snapshot may miss what changed since.
        for (int i = 0; i < 1000 && writing_; ++i) {
            lk.unlock();
            win32::sleep_ms(10);
            lk.lock();
        }
    }
    if (!enabled_ || !path_set_ || writing_ || loading_ || !dirty_) return !dirty_ || !path_set_;
    writing_ = true;
    const std::wstring path = path_;
    const bool prefer = prefer_utf8_;
    lk.unlock();

    old_file old;
    if (!read_old_file(path, prefer, old, true, 200)) {
        lk.lock();
        writing_ = false;
        return false;
    }
    // The delayed write is being done now.
    write_timer_.kill(true);

    lk.lock();
    std::vector<ini_section> snap;
    for (const auto& s : sections_)
        if (s.flags & ini_section::changed) snap.push_back(s);
    const uint64_t mark = change_count_;
    lk.unlock();

    bool ok = true;
    if (!snap.empty()) {
        std::vector<std::wstring> out;
        merge(old.lines, snap, out);
        const int enc = new_encoding_of(old, prefer);
        const bool leading_empty =
            old.encoding == enc_utf8 && (old.lines.empty() || !old.lines.front().empty());
        ok = replace_file(path, old, enc, leading_empty, out);
    }

    lk.lock();
    writing_ = false;
    if (!ok) return false; // everything stays pending for the next try
    // What the file now holds is no longer pending; changes made while the
    // file was written keep their marks.
    bool still_dirty = false;
    for (auto it = sections_.begin(); it != sections_.end();) {
        ini_section& s = *it;
        if ((s.flags & ini_section::changed) && s.change <= mark) {
            if (s.flags & ini_section::deleted) {
                it = sections_.erase(it);
                continue;
            }
            s.flags = static_cast<uint8_t>(
                (s.flags | ini_section::loaded) &
                ~(ini_section::changed | ini_section::replace_whole | ini_section::met));
            s.entries.remove_if([](const ini_entry& e) { return e.flags & ini_entry::deleted; });
            for (auto& e : s.entries)
                e.flags = static_cast<uint8_t>((e.flags | ini_entry::loaded) & ~ini_entry::changed);
        }
        if (s.flags & ini_section::changed) still_dirty = true;
        ++it;
    }
    dirty_ = still_dirty;
    if (!snap.empty()) store_stamp();
    return true;
}

} // namespace cl
