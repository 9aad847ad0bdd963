// The catalogue of the shared media folder: every directory a container and
// every audio, video or image file an item, each with a small number that
// stays the same while the program runs. A watcher job keeps it in step with
// the folder (inotify), counts the update ids that the content directory
// reports, and tells the registered listeners after each change.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace media {

// Numbers 0..32767 handed out and taken back.
class id_pool {
  public:
    static constexpr uint32_t capacity = 32768;
    uint32_t allocate();
    void free(uint32_t id);
    std::size_t in_use() const { return used_.size(); }

  private:
    uint32_t next_ = 0;
    std::set<uint32_t> used_;
};

// Album and artist (the names of the holding directory and the one above)
// follow from the path and are not kept per file.
struct media_file_info {
    uint64_t size = 0;
    uint32_t id = 0;
    uint32_t date = 0; // yyyymmdd of the last write (UTC)
    std::string mime_type;
    bool seen = false;
};

struct media_dir_info {
    uint32_t update_id = 0;
    uint32_t id = 0;
    id_pool file_ids;
    std::map<std::wstring, media_file_info> files;
    bool seen = false;
    bool changed = false;
};

struct media_entry {
    uint64_t size = 0;
    std::string mime_type; // empty for a container
    std::wstring path;     // directory path, or directory path + file name
    std::wstring id_text;  // a child container's directory id, a child item's file id
    std::wstring album, artist, date;
    uint32_t child_count = 0; // containers: their direct children
};

struct media_object {
    uint32_t update_id = 0;
    std::wstring parent_id;
    media_entry entry;
    std::vector<media_entry> children; // containers first, then items; containers only
    bool is_item = false;
};

// What the store asks of the web server's configuration for each path: the
// MIME type of a file, or null when the configuration refuses a GET of it.
class media_access {
  public:
    virtual ~media_access() = default;
    // url_path: the path below the document root ("/media/a/b.mp3").
    // False when the path may not be served; mime_type is set for files.
    virtual bool allowed(const std::wstring& url_path, bool is_directory,
                         std::string* mime_type) = 0;
    // A scan begins: what was learnt about the rules during the last one may
    // be out of date.
    virtual void begin_scan() {}
};

class media_store {
  public:
    using listener = std::function<void()>;

    // folder: the media folder, absolute, ending in "/"; document_root: the
    // public directory it lies in, ending in "/".
    void set_folders(const std::wstring& folder, const std::wstring& document_root);
    void set_access(media_access* access) { access_ = access; }
    const std::wstring& folder() const { return folder_; }
    const std::wstring& document_root() const { return root_; }

    // The watcher: the first scan, then a scan after each burst of changes,
    // until stop(). Runs as one job; returns when stopped.
    void watch();
    // Ends the watcher (also one that has not begun yet) and empties the
    // catalogue. Returns at once when no watcher was started.
    void stop();
    // Marks that a watcher job was queued, so that stop() waits for it.
    void watcher_queued();

    // Makes the media folder's own record; false when the folder is missing.
    bool open();
    // One scan and change pass; true when anything changed.
    bool update();
    bool find_object(const std::wstring& object_id, media_object& out);

    void add_listener(const void* owner, listener l);
    void remove_listener(const void* owner);

    // The process-wide update counters.
    uint32_t system_update_id();
    std::wstring container_update_ids();

    // The quiet time after a change before the next scan (milliseconds).
    void set_settle_ms(uint32_t ms) { settle_ms_ = ms; }
    static void set_trace_level(int level);
    std::size_t directory_count();
    std::size_t item_count();

  private:
    void mark_changed(const std::wstring& dir);
    std::wstring parent_of(const std::wstring& dir) const;
    struct scan_root;
    // Catalogues the folder open on dir_fd (taken over and closed); rel is
    // its path below the media folder ("" or "a/b/").
    void scan_dir(const std::wstring& dir, int dir_fd, const scan_root& root,
                  const std::string& rel, int depth);
    void notify_listeners();
    bool stopping();

    std::wstring folder_, root_;
    media_access* access_ = nullptr;
    uint32_t settle_ms_ = 5000;

    std::recursive_mutex lock_; // the catalogue, held for a whole scan or look-up
    std::map<std::wstring, std::unique_ptr<media_dir_info>> dirs_;
    std::map<uint32_t, std::wstring> dir_by_id_;
    // Names left out because no URL can serve them, each traced once.
    std::set<std::wstring> unservable_;
    id_pool dir_ids_;
    uint32_t system_update_id_ = 0;
    std::wstring container_update_ids_;

    std::mutex listeners_lock_;
    std::map<const void*, listener> listeners_;

    // Watcher state.
    std::mutex run_lock_;
    std::condition_variable run_cv_;
    bool queued_ = false; // a watcher job is queued or running
    bool stop_ = false;   // asked to stop
};

// The one store of the program.
media_store& the_media_store();

// The URL path of a file below the document root: its absolute path with
// the root's trailing "/" kept as the leading character.
std::wstring url_path_from_file(const std::wstring& file, const std::wstring& document_root);
// Whether a file or folder name can be served: no control characters and
// none of \ : * ? " < > |, which the server refuses in every local name.
bool servable_name(std::wstring_view name);
// The encoded form of a media URL path: "/<media>/.enc/" + the UTF-8 bytes of
// the name below the media folder in upper-case hex + "." + extension.
std::wstring media_url_path(const std::wstring& url_path, const std::wstring& media_name);
// The last component of a folder path ("media" of "/srv/pub/media/").
std::wstring folder_name(const std::wstring& folder);

} // namespace media
