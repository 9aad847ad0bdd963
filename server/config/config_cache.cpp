#include "server/config/config_cache.h"

#include "core/path.h"
#include "core/text.h"
#include "platform/khttp/khttp.h"
#include "platform/win32/time.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/directives/directives.h"
#include "server/server_dirs.h"

#include <sys/stat.h>
#include <time.h>

namespace server_config {

namespace {

int64_t now_seconds() {
    return static_cast<int64_t>(::time(nullptr));
}

int64_t ns_of(const struct timespec& t) {
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string u8(const std::wstring& s) {
    return cl::utf16_to_utf8(s);
}

// Directory part (without the final "/") and name of a local path.
std::pair<std::string, std::string> split_local(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

config_info_cache::config_info_cache() : config_info_cache(options{}) {}

config_info_cache::config_info_cache(options opts)
    : opts_(opts), watch_(opts.use_watch, 8192, opts.signalled_thread) {}

config_info_cache::shard& config_info_cache::shard_of(const std::wstring& key) {
    return shards_[std::hash<std::wstring>()(key) % shard_count];
}

config_info_cache::~config_info_cache() {
    sweep_timer_.kill(true);
}

config_info_cache::file_signature config_info_cache::signature_of(const std::string& path) {
    file_signature s;
    s.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime_ns = ns_of(st.st_mtim);
    s.ctime_ns = ns_of(st.st_ctim);
    s.mode = st.st_mode & S_IFMT;
    return s;
}

bool config_info_cache::same(const file_signature& a, const file_signature& b) {
    if (a.exists != b.exists) return false;
    if (!a.exists) return true;
    // A directory's times change with every entry made in it; whether it is
    // there and what it is are what counts.
    if (a.mode == S_IFDIR || b.mode == S_IFDIR)
        return a.mode == b.mode && a.dev == b.dev && a.ino == b.ino;
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns &&
           a.ctime_ns == b.ctime_ns && a.mode == b.mode;
}

bool config_info_cache::still_valid(entry& e) {
    if (e.racy) return false;
    // A path blocked or unblocked since the entry was built.
    if (e.blocklist_generation != blocklist_generation()) return false;
    if (!watch_.unchanged(e.stamps, e.verified_at)) return false;
    if (e.by_signature)
        for (const file_signature& s : e.signatures)
            if (!same(s, signature_of(s.path))) return false;
    return true;
}

namespace {
// Counts the changes of every cache's map, so that a thread's last hit
// never outlives a change it did not see.
std::atomic<uint64_t> map_generation{1};
} // namespace

cl::sh_ptr<config_info> config_info_cache::get(std::wstring_view path, std::wstring_view site) {
    std::wstring resolved;
    std::wstring_view rel = resolve_relative_path(path, resolved);
    if (rel.empty()) return nullptr;
    if (rel.front() == L'/') rel.remove_prefix(1);
    // The look-up key is made in storage that each thread keeps, so that a
    // hit allocates nothing.
    thread_local std::wstring key;
    const auto make_key = [&] {
        key.clear();
        key.append(site).push_back(L':');
        key.append(rel);
    };
    make_key();

    // A keep-alive client asks for the same path again and again: each
    // thread remembers its last hit, which holds while no entry of any
    // cache was added, replaced or dropped since.
    struct last_hit {
        const config_info_cache* cache = nullptr;
        uint64_t generation = 0;
        std::wstring key;
        std::weak_ptr<entry> e;
    };
    thread_local last_hit last;
    std::shared_ptr<entry> found;
    if (last.cache == this && last.generation == map_generation.load(std::memory_order_acquire) &&
        last.key == key)
        found = last.e.lock();
    if (!found) {
        shard& sh = shard_of(key);
        std::lock_guard<std::mutex> g(sh.lock);
        auto it = sh.entries.find(key);
        if (it != sh.entries.end()) {
            found = it->second;
            last.cache = this;
            last.generation = map_generation.load(std::memory_order_acquire);
            last.key = key;
            last.e = found;
        }
    }
    if (found) {
        // Stored only when the second changes: the line stays shared
        // between the cores that read it.
        const int64_t now = now_seconds();
        if (found->last_use.load(std::memory_order_relaxed) != now)
            found->last_use.store(now, std::memory_order_relaxed);
    }
    // The check runs outside the cache lock: it may stat files.
    if (found) {
        if (!found->config) return nullptr;
        if (still_valid(*found)) return found->config;
    }

    auto fresh = std::make_shared<entry>();
    cl::sh_ptr<config_info> config = build(std::wstring(rel), site, *fresh);
    if (!config) return nullptr;
    ++builds_;
    fresh->config = config;
    fresh->last_use = now_seconds();
    // The build may have looked up other paths on this thread.
    make_key();
    shard& sh = shard_of(key);
    std::lock_guard<std::mutex> g(sh.lock);
    auto it = sh.entries.find(key);
    if (it != sh.entries.end()) {
        it->second = std::move(fresh);
        map_generation.fetch_add(1, std::memory_order_release);
    } else if (entry_count_.fetch_add(1) < opts_.max_entries) {
        sh.entries.emplace(key, std::move(fresh));
        map_generation.fetch_add(1, std::memory_order_release);
    } else {
        entry_count_.fetch_sub(1);
    }
    return config;
}

cl::sh_ptr<config_info> config_info_cache::build(const std::wstring& rel, std::wstring_view site,
                                                 entry& e) {
    e.blocklist_generation = blocklist_generation();
    const std::wstring root = cl::with_backslash(public_dir());
    if (root.size() < 2) return nullptr;

    // The full path, one component at a time: a blocked directory blocks
    // everything below it. A blocked file is left to the file lookup, which
    // answers it like any refused file, with its folder's error page.
    std::vector<std::wstring> chain; // every prefix from the root to the target
    chain.push_back(root);
    if (is_blocked(root)) return nullptr;
    std::wstring full = root;
    for (std::size_t i = 0; i < rel.size();) {
        std::size_t j = rel.find(L'/', i);
        if (j == std::wstring::npos) j = rel.size();
        if (full.back() != L'/') full.push_back(L'/');
        full.append(rel, i, j - i);
        if (is_blocked(full) && (j < rel.size() || is_dir(u8(full)))) return nullptr;
        chain.push_back(full);
        i = j + 1;
    }
    if (!rel.empty() && rel.back() == L'/') full.push_back(L'/');
    if (!check_filename(filename_public_only, full)) return nullptr;

    // Stamps first, reading second: a change after a stamp is seen on reuse.
    // The change count is taken before the first stamp, so that a change
    // during the build forces a full comparison.
    e.verified_at = watch_.change_count();
    static const std::wstring default_access_name = config_info().access_filename;
    const std::string access_name_u8 = u8(default_access_name);
    std::vector<std::string> stamped; // access files stamped before reading
    auto stamp = [&](const std::string& dir, const std::string& name) {
        access_watch::stamp s;
        if (watch_.watch(dir, name, s))
            e.stamps.push_back(std::move(s));
        else
            e.by_signature = true;
    };
    const std::wstring data = data_dir();
    if (!data.empty()) {
        std::string d = u8(cl::remove_backslash(data));
        stamp(d, access_name_u8);
        stamped.push_back(d + "/" + access_name_u8);
    }
    std::vector<bool> chain_is_dir(chain.size(), false);
    for (std::size_t k = 0; k < chain.size(); ++k) {
        std::string here = u8(cl::remove_backslash(chain[k]));
        if (k > 0) {
            // The component in its parent: its creation, removal, renaming or
            // a change of kind shows in the parent directory.
            auto [parent, name] = split_local(here);
            stamp(parent, name);
        }
        chain_is_dir[k] = is_dir(here);
        if (!chain_is_dir[k]) break; // nothing below a missing directory exists
        stamp(here, access_name_u8);
        stamped.push_back(here + "/" + access_name_u8);
    }

    auto config = cl::make_sh<config_info>(site);
    const uint32_t attributes = file_attributes_of(full);
    config->attributes = attributes;
    if (config->is_directory()) {
        config->directory = cl::with_backslash(full);
        config->file_name.clear();
    } else {
        config->directory = cl::dir_part(full);
        config->file_name = cl::file_name_part(full);
    }
    config->directory_utf8 = u8(config->directory);
    config->file_name_utf8 = u8(config->file_name);

    // Access files from the root down; the target itself only when it is a
    // directory (a file holds no access file).
    for (std::size_t k = 0; k < chain.size(); ++k) {
        if (!chain_is_dir[k]) break;
        if (k + 1 == chain.size() && !config->is_directory()) break;
        parse_config_file(*config, chain[k]);
    }
    config->local_path = full;
    config->local_path_utf8 = u8(full);
    std::wstring url = L"/" + rel;
    config->find_redirect(url);

    // Every file the configuration was read from, or looked for, is watched
    // and signed. Files not stamped before they were read (another access
    // file name, set by a directive) are checked for a change in between.
    struct timespec now_ts {};
    ::clock_gettime(CLOCK_REALTIME, &now_ts);
    const int64_t now_ns = ns_of(now_ts);
    const int64_t racy_ns = int64_t(opts_.racy_seconds) * 1000000000;
    auto note_file = [&](const std::wstring& wpath, bool was_read, uint64_t read_time) {
        std::string path = u8(wpath);
        bool pre_stamped = false;
        for (const std::string& s : stamped)
            if (s == path) pre_stamped = true;
        if (!pre_stamped) {
            auto [dir, name] = split_local(path);
            stamp(dir, name);
        }
        file_signature sig = signature_of(path);
        if (!pre_stamped || e.by_signature) {
            if (sig.exists != was_read) e.racy = true;
            if (was_read && sig.exists) {
                struct timespec mt {
                    time_t(sig.mtime_ns / 1000000000), long(sig.mtime_ns % 1000000000)
                };
                if (win32::filetime_from_timespec(mt) != read_time) e.racy = true;
                if (racy_ns > 0 && now_ns - sig.ctime_ns < racy_ns) e.racy = true;
            }
        }
        e.signatures.push_back(std::move(sig));
    };
    for (const auto& [p, t] : config->file_times)
        note_file(p, true, t);
    for (const auto& p : config->missing_files)
        note_file(p, false, 0);
    if (e.by_signature) {
        // The target and each directory on the way are compared as well.
        for (std::size_t k = 0; k < chain.size(); ++k) {
            e.signatures.push_back(signature_of(u8(cl::remove_backslash(chain[k]))));
            if (!chain_is_dir[k]) break;
        }
    }
    return config;
}

std::size_t config_info_cache::size() {
    std::size_t n = 0;
    for (shard& sh : shards_) {
        std::lock_guard<std::mutex> g(sh.lock);
        n += sh.entries.size();
    }
    return n;
}

void config_info_cache::sweep() {
    const int64_t now = now_seconds();
    for (shard& sh : shards_) {
        std::vector<std::pair<std::wstring, std::shared_ptr<entry>>> old;
        {
            std::lock_guard<std::mutex> g(sh.lock);
            for (auto it = sh.entries.begin(); it != sh.entries.end();) {
                if (now - it->second->last_use.load(std::memory_order_relaxed) <
                    opts_.idle_seconds) {
                    ++it;
                } else if (!it->second->config) {
                    it = sh.entries.erase(it);
                    entry_count_.fetch_sub(1);
                    map_generation.fetch_add(1, std::memory_order_release);
                } else {
                    old.emplace_back(it->first, it->second);
                    ++it;
                }
            }
        }
        for (auto& [key, e] : old) {
            // A stale entry nobody asks for would keep a replaced or deleted
            // file's descriptor, and so its disk space, until it is asked for.
            const bool forgotten =
                now - e->last_use.load(std::memory_order_relaxed) >= opts_.forget_seconds;
            if (!forgotten &&
                file_attributes_of(e->config->local_path) != invalid_file_attributes &&
                still_valid(*e))
                continue;
            std::lock_guard<std::mutex> g(sh.lock);
            auto it = sh.entries.find(key);
            if (it != sh.entries.end() && it->second == e) {
                sh.entries.erase(it);
                entry_count_.fetch_sub(1);
                map_generation.fetch_add(1, std::memory_order_release);
            }
        }
    }
    watch_.prune();
}

void config_info_cache::clear() {
    sweep_timer_.kill(true);
    for (shard& sh : shards_) {
        std::unordered_map<std::wstring, std::shared_ptr<entry>> gone;
        {
            std::lock_guard<std::mutex> g(sh.lock);
            gone.swap(sh.entries);
            entry_count_.fetch_sub(gone.size());
            map_generation.fetch_add(1, std::memory_order_release);
        }
    }
    watch_.prune();
}

void config_info_cache::start_sweep() {
    // Outside the library's start-up span there is no "slow" timer to run on.
    if (!cl::global_timers_running()) return;
    cl::slow_timer().set_timer(
        sweep_timer_, [this] { sweep(); }, 8000, 0, true);
}

config_info_cache& the_config_info_cache() {
    // The event loops check on every request and bear interrupted calls.
    static config_info_cache cache([] {
        config_info_cache::options o;
        o.signalled_thread = khttp::on_io_thread;
        return o;
    }());
    return cache;
}

cl::sh_ptr<config_info> get_config_info(std::wstring_view path, std::wstring_view site) {
    return the_config_info_cache().get(path, site);
}

cl::sh_ptr<config_info> get_config_info_checked(std::wstring_view path, std::wstring_view site) {
    if (has_invalid_path_char(path)) return nullptr;
    return get_config_info(path, site);
}

cl::sh_ptr<config_info> get_url_config_info(std::string_view url, std::wstring_view site) {
    std::string decoded;
    if (!url_decode(url, decoded)) return nullptr;
    // An ill-formed sequence (an overlong "/" or ".") names no file.
    if (!cl::is_valid_utf8(decoded)) return nullptr;
    std::wstring path = cl::utf8_to_utf16(decoded);
    if (path.empty() || has_invalid_path_char(path)) return nullptr;
    return get_config_info_checked(path, site);
}

void clear_config_info_cache() {
    the_config_info_cache().clear();
}

void sweep_config_info_cache() {
    the_config_info_cache().sweep();
}

namespace {
std::atomic<config_source*> installed_source{nullptr};
} // namespace

void set_config_source(config_source* source) {
    installed_source.store(source, std::memory_order_release);
}

cl::sh_ptr<config_info> config_for_path(std::wstring_view path, std::wstring_view method) {
    if (config_source* s = installed_source.load(std::memory_order_acquire))
        return s->for_path(path, method);
    return get_config_info_checked(path, method);
}

cl::sh_ptr<config_info> config_for_url(std::string_view url, std::wstring_view method) {
    if (config_source* s = installed_source.load(std::memory_order_acquire))
        return s->for_url(url, method);
    return get_url_config_info(url, method);
}

} // namespace server_config
