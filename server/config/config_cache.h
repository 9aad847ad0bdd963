// The per-path configuration cache: the effective configuration of a path
// below the document root is built once (defaults, the global directive file,
// the access file of every directory from the root down) and reused until one
// of the files it was built from, or the path itself, changes.
#pragma once
#include "core/ref_cnt.h"
#include "core/timer.h"
#include "server/config/access_watch.h"
#include "server/config_info.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace server_config {

class config_info_cache {
  public:
    struct options {
        // Watch the directories for changes; without it every reuse compares
        // the signatures (times and sizes) of the files the entry was built from.
        bool use_watch = true;
        // Threads for which this is true get change notices by signal (see
        // access_watch).
        bool (*signalled_thread)() = nullptr;
        // Entries beyond this many are not kept (a flood of distinct paths
        // must not grow the cache without bound).
        std::size_t max_entries = 50000;
        // A file changed less than this many seconds before it was read may
        // have changed again within the same time-stamp tick: such an entry is
        // rebuilt on its next use.
        int racy_seconds = 2;
        // An entry unused this many seconds is dropped by the sweep once its
        // path is gone or it no longer holds.
        int idle_seconds = 16;
        // An entry unused this many seconds is dropped whatever it holds: a
        // stream of distinct paths (uploads under new names, say) would
        // otherwise keep one configuration each up to max_entries.
        int forget_seconds = 120;
    };

    config_info_cache();
    explicit config_info_cache(options opts);
    ~config_info_cache();
    config_info_cache(const config_info_cache&) = delete;
    config_info_cache& operator=(const config_info_cache&) = delete;

    // The cached or newly built configuration of a path relative to the
    // document root for the site (the request method); null when the path
    // leaves the root, is blocked or is not an acceptable file name.
    cl::sh_ptr<config_info> get(std::wstring_view path, std::wstring_view site);

    // Keeps entries used in the last 16 s; older entries whose path no longer
    // exists, or that no longer hold, are dropped (with them what they keep
    // of a file: its bytes or its open descriptor), and so is every entry
    // unused for forget_seconds; directories nobody depends on are unwatched.
    void sweep();
    // Stops the sweep timer (waiting for a running sweep) and empties the map.
    void clear();
    // Arms the sweep on the "slow" timer every 8000 ms.
    void start_sweep();

    std::size_t size();
    // How many configurations have been built (tests and benchmarks).
    uint64_t builds() const { return builds_; }
    access_watch& watch() { return watch_; }

  private:
    struct file_signature {
        std::string path;
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        int64_t mtime_ns = 0;
        int64_t ctime_ns = 0;
        uint32_t mode = 0;
    };
    struct entry {
        cl::sh_ptr<config_info> config;
        std::atomic<int64_t> last_use{0};
        std::vector<access_watch::stamp> stamps;
        // The watch's change count when the stamps last compared equal.
        std::atomic<uint64_t> verified_at{0};
        // Checked by signature when some name could not be watched.
        bool by_signature = false;
        std::vector<file_signature> signatures;
        // The block list's generation when the entry was built.
        uint64_t blocklist_generation = 0;
        // Must be rebuilt on next use.
        bool racy = false;
    };
    static file_signature signature_of(const std::string& path);
    static bool same(const file_signature& a, const file_signature& b);
    bool still_valid(entry& e);
    cl::sh_ptr<config_info> build(const std::wstring& rel, std::wstring_view site, entry& e);

    // Requests on every core look entries up at once: the map is split so
    // that they rarely meet on one lock.
    static constexpr std::size_t shard_count = 16;
    struct shard {
        std::mutex lock;
        std::unordered_map<std::wstring, std::shared_ptr<entry>> entries;
    };
    shard& shard_of(const std::wstring& key);

    options opts_;
    access_watch watch_;
    shard shards_[shard_count];
    std::atomic<std::size_t> entry_count_{0};
    std::atomic<uint64_t> builds_{0};
    cl::timer_id sweep_timer_;
};

// The one cache of the program.
config_info_cache& the_config_info_cache();

cl::sh_ptr<config_info> get_config_info(std::wstring_view path, std::wstring_view site);
// Null when the path holds a character below 32 or one of < > " | ? * :.
cl::sh_ptr<config_info> get_config_info_checked(std::wstring_view path, std::wstring_view site);
// The configuration of a URL path as a client sent it (UTF-8, percent-encoded);
// null when it does not decode to well-formed UTF-8, decodes to nothing, or
// holds a character below 32 or one of < > " | ? * :.
cl::sh_ptr<config_info> get_url_config_info(std::string_view url, std::wstring_view site);
void clear_config_info_cache();
void sweep_config_info_cache();

// Where the roads of the server get a path's configuration: the cache above
// (get_config_info_checked, get_url_config_info) unless a source of its own
// is installed, as tests of the roads do to hand out configurations they make.
class config_source {
  public:
    virtual ~config_source() = default;
    virtual cl::sh_ptr<config_info> for_path(std::wstring_view path, std::wstring_view method) = 0;
    virtual cl::sh_ptr<config_info> for_url(std::string_view url, std::wstring_view method) = 0;
};
// Installs a source (null: the cache again); before any request, and by tests.
void set_config_source(config_source* source);
cl::sh_ptr<config_info> config_for_path(std::wstring_view path, std::wstring_view method);
cl::sh_ptr<config_info> config_for_url(std::string_view url, std::wstring_view method);

} // namespace server_config
