// WebDAV write locks: one table in memory for the whole server, keyed by the
// path below the document root, swept every second for expired entries; the
// checks that writing methods make against it; and the XML of a lock answer.
#pragma once
#include "core/sync.h"
#include "core/timer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class http_request;

struct lock_entry {
    int64_t expiry = 0;        // seconds since 1970-01-01 UTC
    std::string token;         // "urn:uuid:..."
    std::string owner;         // as the lock request gave it, unescaped
    bool owner_is_href = true; // given as an href (else as text, and so answered)
    bool depth_infinity = false;
    int64_t timeout = 0; // seconds granted at the last LOCK or refresh
    // The login that took the lock, empty for an anonymous client: only the
    // same login may use the token.
    std::string login;
    // Whom the lock counts against: the login, or the address of an
    // anonymous client.
    std::string holder;
    // The empty file the lock made on a missing name, until content is
    // stored in it; removed when the lock ends before that.
    std::string created_file;
};

// How many locks the table holds at most, and how many of them one holder.
inline constexpr std::size_t max_locks = 10000;
inline constexpr std::size_t max_locks_per_holder = 1000;

// How far a write reaches, which decides the locks that stand in its way.
enum class write_scope {
    content, // the resource's own body or properties (PUT over a file, PROPPATCH)
    member,  // adds or removes the resource in its folder (new file, MKCOL, DELETE of a file)
    tree,    // the resource with everything below it (DELETE or MOVE of a folder)
};

// The lock key of a local path: the part below the document root, "/"
// between its parts, without leading or trailing "/"; "/" for the root
// itself; empty for a path outside the root. Names keep their case.
std::wstring path_below_root(const std::wstring& local_path);
std::wstring path_below_root(const std::wstring& local_path, const std::wstring& root);
// The key the lock table keeps a local path's locks under: its place below
// the root with the links on its way resolved (a missing last name kept as
// it is), so that every name of one file or folder meets the same locks.
// The path's own key when it resolves outside the root.
std::wstring lock_key(const std::wstring& local_path);

// "urn:uuid:" and a new random GUID in lower-case hexadecimal.
std::string new_lock_token();

// The duration in seconds asked for by a Timeout header: 3600 unless a
// "Second-N" entry asks for less; N below 1 counts as 1. Entries that are not
// "Infinite" nor "Second-" and digits are passed over.
int64_t parse_timeout_header(std::string_view header);

// The lock tokens a request submits in its If header: every "<...>" inside a
// list that is not negated with "Not". Resource tags before a list are not
// tokens.
std::vector<std::string> if_header_lock_tokens(std::string_view header);

class lock_table {
  public:
    // Seconds since 1970; the system clock when empty.
    using clock = std::function<int64_t()>;

    // timer: where the sweep runs every 1000 ms while the table holds locks;
    // none (tests drive sweep() themselves) when null.
    explicit lock_table(clock now = clock(), cl::base_timer* timer = nullptr);
    ~lock_table();
    lock_table(const lock_table&) = delete;
    lock_table& operator=(const lock_table&) = delete;

    // Sets where the sweep runs; call before the first lock.
    void set_timer(cl::base_timer* timer);

    // The key of a lock that conflicts with a new lock on key: a lock on the
    // key itself, on any folder above it (whatever its depth) and, with
    // descendants, on anything below it. Empty when there is none.
    std::wstring find_covering_lock(const std::wstring& key, bool include_descendants);

    // Creates a lock when none conflicts: fills token and expiry of entry and
    // returns 0; otherwise adds nothing and returns 423 with the conflicting
    // key in conflict, or 503 when the table or the entry's holder already
    // has as many locks as allowed.
    int add_lock(const std::wstring& key, lock_entry& entry, int64_t duration,
                 std::wstring* conflict = nullptr);

    // The bounds of add_lock (tests make them small).
    void set_limits(std::size_t total, std::size_t per_holder);

    // True when one of tokens names a lock that another login took (an
    // anonymous lock belongs to anonymous clients only).
    bool names_foreign_lock(const std::vector<std::string>& tokens, const std::string& login);

    // Notes the file that the lock with token on key made.
    void set_created_file(const std::wstring& key, const std::string& token,
                          const std::string& file);
    // True when the lock on exactly key made the (still empty) file it names.
    bool made_by_lock(const std::wstring& key);
    // Content was stored in the resource of key: a file the lock made stays
    // when the lock ends.
    void content_stored(const std::wstring& key);

    // The locks that apply to key, for its lock discovery: its own and those
    // taken with depth infinity on folders above it, each with its key.
    std::vector<std::pair<std::wstring, lock_entry>> locks_applying_to(const std::wstring& key);

    // Refreshes the lock that covers key (its own or one taken with depth
    // infinity on a folder above it) whose token is among tokens. False when
    // there is none; else entry and lock_key describe the refreshed lock.
    bool refresh(const std::wstring& key, const std::vector<std::string>& tokens, int64_t duration,
                 lock_entry& entry, std::wstring& lock_key);

    // Removes the lock with this exact token that covers key. 204 when it
    // was removed, 409 when no lock covering key has that token.
    int unlock(const std::wstring& key, const std::string& token);

    // Forgets the locks on key and below it (the resource is gone).
    void remove_tree(const std::wstring& key);

    // The lock taken on exactly this key.
    bool find(const std::wstring& key, lock_entry& entry);

    // 0 when every lock in the way of a write of the given scope has its
    // token among tokens; else 423 and the key of the first lock in the way.
    int check_write(const std::wstring& key, write_scope scope,
                    const std::vector<std::string>& tokens, std::wstring* blocking = nullptr);

    // True when a lock with exactly this token is on key, on a folder above
    // it or on something below it: the If header may name it for key.
    bool token_relates(const std::wstring& key, const std::string& token);

    // Removes every lock whose expiry is not later than now; stops the timer
    // when the table is empty afterwards.
    void sweep();
    // Stops the sweep (server stop); locks stay.
    void stop_timer();

    std::size_t size();
    bool empty() const { return count_.load(std::memory_order_relaxed) == 0; }
    bool timer_armed() const { return timer_id_.armed(); }
    int64_t now() const;

  private:
    using map = std::map<std::wstring, lock_entry>;
    std::wstring find_covering_locked(const std::wstring& key, bool include_descendants) const;
    // Locks in the way of a write, in key order; under the lock.
    std::vector<map::const_iterator> in_the_way(const std::wstring& key, write_scope scope) const;
    void arm_locked();
    // Stops the timer when the table is empty; never under lock_.
    void stop_if_empty();
    // Keeps count_ in step with entries_; under the lock.
    void counted_locked();
    // Removes the files that ended locks made and nobody filled; never under
    // lock_.
    static void remove_unfilled(const std::vector<std::string>& files);

    clock now_;
    cl::base_timer* timer_;
    cl::critical_section lock_;
    map entries_;
    std::atomic<std::size_t> count_{0};
    std::size_t max_total_ = max_locks;
    std::size_t max_per_holder_ = max_locks_per_holder;
    cl::timer_id timer_id_;
};

// The one table of the server; its sweep runs on the "fast" timer.
lock_table& the_lock_table();

// 0 when no lock stands in the way of the write, else 423: the locks in the
// way are those of the_lock_table() for the local path and scope, and the
// request must submit each one's token in its If header.
// 403 when the If header names a lock that another login took.
int check_write_lock(const http_request& request, const std::wstring& local_path,
                     write_scope scope);

// The login of a request after its access step; empty when anonymous.
std::string request_login(const http_request& request);

// The d:lockdiscovery and d:supportedlock properties of a resource at the
// local path, appended to out as a PROPFIND writes them.
void append_lock_properties(std::string& out, std::wstring_view local_path);

// The lock table as the If header evaluation sees it; installed by the
// program shell.
void install_lock_tokens();
// Stops the sweep timer (before the global timers go at exit).
void stop_lock_expiry_timer();

// The href of a lock key: the URL path of the locked resource, escaped.
std::string lock_key_href(const std::wstring& key);

// "<d:activelock>...</d:activelock>" of a lock for the resource with the href.
std::string activelock_xml(const std::string& href, const lock_entry& entry);
// The body of a LOCK answer: a d:prop with the lock discovery of the lock.
std::string write_lockdiscovery(const std::string& href, const lock_entry& entry);
