#include "dav/locks.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_requests.h"
#include "server/config/path_lookup.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_services.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>

namespace {

constexpr int32_t sweep_period_ms = 1000;
constexpr int64_t default_lock_seconds = 3600;

bool is_below(const std::wstring& key, const std::wstring& ancestor) {
    if (ancestor == L"/") return key != L"/";
    return key.size() > ancestor.size() && key.compare(0, ancestor.size(), ancestor) == 0 &&
           key[ancestor.size()] == L'/';
}

// The folders above a key, from the top down; none for the root.
std::vector<std::wstring> ancestors_of(const std::wstring& key) {
    std::vector<std::wstring> out;
    if (key == L"/") return out;
    out.push_back(L"/");
    for (std::size_t slash = key.find(L'/'); slash != std::wstring::npos;
         slash = key.find(L'/', slash + 1))
        out.push_back(key.substr(0, slash));
    return out;
}

bool contains(const std::vector<std::string>& tokens, const std::string& token) {
    for (const std::string& t : tokens)
        if (t == token) return true;
    return false;
}

} // namespace

std::wstring path_below_root(const std::wstring& local_path, const std::wstring& root_in) {
    std::wstring root = root_in;
    while (!root.empty() && root.back() == L'/')
        root.pop_back();
    if (local_path.size() < root.size() || local_path.compare(0, root.size(), root) != 0)
        return std::wstring();
    if (local_path.size() > root.size() && local_path[root.size()] != L'/') return std::wstring();
    std::wstring rest = local_path.substr(root.size());
    while (!rest.empty() && rest.front() == L'/')
        rest.erase(0, 1);
    while (!rest.empty() && rest.back() == L'/')
        rest.pop_back();
    // Doubled separators inside would give one resource two keys.
    std::wstring key;
    key.reserve(rest.size());
    for (wchar_t c : rest)
        if (c != L'/' || key.empty() || key.back() != L'/') key.push_back(c);
    return key.empty() ? std::wstring(L"/") : key;
}

std::wstring path_below_root(const std::wstring& local_path) {
    return path_below_root(local_path, public_dir());
}

std::wstring lock_key(const std::wstring& local_path) {
    const std::wstring named = path_below_root(local_path);
    const std::shared_ptr<const cl::tree_root>& tree = cl::document_tree();
    if (named.empty() || named == L"/" || !tree || tree->real().empty()) return named;
    std::string path = cl::utf16_to_utf8(local_path);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::string real;
    if (char* r = ::realpath(path.c_str(), nullptr)) {
        real = r;
        std::free(r);
    } else {
        // A name not made yet: its folder resolved, the name as it is.
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) return named;
        char* r2 = ::realpath(path.substr(0, slash).c_str(), nullptr);
        if (!r2) return named;
        real = r2;
        std::free(r2);
        real += path.substr(slash);
    }
    const std::wstring key =
        path_below_root(cl::utf8_to_utf16(real), cl::utf8_to_utf16(tree->real()));
    return key.empty() ? named : key;
}

std::string new_lock_token() {
    uint8_t b[16];
    std::size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80); // variant 1
    char text[64];
    std::snprintf(text, sizeof text,
                  "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                  b[13], b[14], b[15]);
    return text;
}

int64_t parse_timeout_header(std::string_view header) {
    int64_t duration = default_lock_seconds;
    std::size_t pos = 0;
    while (pos <= header.size()) {
        std::size_t comma = header.find(',', pos);
        if (comma == std::string_view::npos) comma = header.size();
        const std::string_view token = cl::trimmed(header.substr(pos, comma - pos));
        pos = comma + 1;
        if (token.size() <= 7 || !cl::iequals(token.substr(0, 7), "second-")) continue;
        const std::string_view digits = token.substr(7);
        int64_t n = 0;
        bool ok = true;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                ok = false;
                break;
            }
            // Anything this long is far beyond the ceiling anyway.
            if (n < default_lock_seconds * 10) n = n * 10 + (c - '0');
        }
        if (!ok) continue;
        if (n < 1) n = 1;
        if (n < duration) duration = n;
    }
    return duration;
}

std::vector<std::string> if_header_lock_tokens(std::string_view h) {
    std::vector<std::string> out;
    bool in_list = false, negate = false;
    for (std::size_t i = 0; i < h.size();) {
        const char c = h[i];
        if (c == '(') {
            in_list = true;
            negate = false;
            ++i;
        } else if (c == ')') {
            in_list = false;
            ++i;
        } else if (c == '<') {
            const std::size_t end = h.find('>', i + 1);
            if (end == std::string_view::npos) break;
            if (in_list && !negate) out.emplace_back(h.substr(i + 1, end - i - 1));
            negate = false;
            i = end + 1;
        } else if (c == '[') {
            // An entity tag may hold "<" or ">" inside its quotes.
            const std::size_t end = h.find(']', i + 1);
            if (end == std::string_view::npos) break;
            negate = false;
            i = end + 1;
        } else if (in_list && (c == 'N' || c == 'n') && h.substr(i, 3).size() == 3 &&
                   cl::iequals(h.substr(i, 3), "not")) {
            negate = true;
            i += 3;
        } else {
            ++i;
        }
    }
    return out;
}

// --- the table ---

lock_table::lock_table(clock now, cl::base_timer* timer) : now_(std::move(now)), timer_(timer) {}

lock_table::~lock_table() {
    stop_timer();
}

void lock_table::set_timer(cl::base_timer* timer) {
    cl::cs_lock g(lock_);
    timer_ = timer;
}

int64_t lock_table::now() const {
    return now_ ? now_() : static_cast<int64_t>(::time(nullptr));
}

std::size_t lock_table::size() {
    cl::cs_lock g(lock_);
    return entries_.size();
}

std::wstring lock_table::find_covering_locked(const std::wstring& key,
                                              bool include_descendants) const {
    if (entries_.count(key)) return key;
    for (const std::wstring& a : ancestors_of(key))
        if (entries_.count(a)) return a;
    if (include_descendants) {
        if (key == L"/") return entries_.empty() ? std::wstring() : entries_.begin()->first;
        const std::wstring prefix = key + L"/";
        const auto it = entries_.lower_bound(prefix);
        if (it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0)
            return it->first;
    }
    return std::wstring();
}

std::wstring lock_table::find_covering_lock(const std::wstring& key, bool include_descendants) {
    cl::cs_lock g(lock_);
    return find_covering_locked(key, include_descendants);
}

void lock_table::arm_locked() {
    if (!timer_ || timer_id_.armed()) return;
    timer_->set_timer(
        timer_id_,
        [this] {
            try {
                sweep();
            } catch (const std::exception& e) {
                cl::trace_err.write(cl::format_str("lock sweep: %?\n", e.what()));
            }
        },
        sweep_period_ms, 0, false);
}

int lock_table::add_lock(const std::wstring& key, lock_entry& entry, int64_t duration,
                         std::wstring* conflict) {
    cl::cs_lock g(lock_);
    std::wstring in_the_way = find_covering_locked(key, entry.depth_infinity);
    if (!in_the_way.empty()) {
        if (conflict) *conflict = std::move(in_the_way);
        return 423;
    }
    // Every lock holds memory until it expires, and one on a new name a
    // file: no client may take more than its share.
    if (entries_.size() >= max_total_) return 503;
    std::size_t held = 0;
    for (const auto& [k, e] : entries_)
        if (e.holder == entry.holder && ++held >= max_per_holder_) return 503;
    entry.token = new_lock_token();
    entry.timeout = duration;
    entry.expiry = now() + duration;
    entries_[key] = entry;
    counted_locked();
    arm_locked();
    return 0;
}

void lock_table::set_limits(std::size_t total, std::size_t per_holder) {
    cl::cs_lock g(lock_);
    max_total_ = total;
    max_per_holder_ = per_holder;
}

void lock_table::counted_locked() {
    count_.store(entries_.size(), std::memory_order_relaxed);
}

bool lock_table::names_foreign_lock(const std::vector<std::string>& tokens,
                                    const std::string& login) {
    if (tokens.empty() || empty()) return false;
    cl::cs_lock g(lock_);
    for (const auto& [k, e] : entries_)
        if (e.login != login && contains(tokens, e.token)) return true;
    return false;
}

bool lock_table::made_by_lock(const std::wstring& key) {
    cl::cs_lock g(lock_);
    const auto it = entries_.find(key);
    return it != entries_.end() && !it->second.created_file.empty();
}

void lock_table::set_created_file(const std::wstring& key, const std::string& token,
                                  const std::string& file) {
    cl::cs_lock g(lock_);
    const auto it = entries_.find(key);
    if (it != entries_.end() && it->second.token == token) it->second.created_file = file;
}

void lock_table::content_stored(const std::wstring& key) {
    cl::cs_lock g(lock_);
    const auto it = entries_.find(key);
    if (it != entries_.end()) it->second.created_file.clear();
}

std::vector<std::pair<std::wstring, lock_entry>>
lock_table::locks_applying_to(const std::wstring& key) {
    std::vector<std::pair<std::wstring, lock_entry>> out;
    if (empty()) return out;
    cl::cs_lock g(lock_);
    for (const std::wstring& a : ancestors_of(key)) {
        const auto it = entries_.find(a);
        if (it != entries_.end() && it->second.depth_infinity) out.emplace_back(*it);
    }
    const auto self = entries_.find(key);
    if (self != entries_.end()) out.emplace_back(*self);
    return out;
}

void lock_table::remove_unfilled(const std::vector<std::string>& files) {
    for (const std::string& f : files) {
        struct stat st {};
        // Only what is still the empty file the lock made goes, looked at
        // and removed in its folder opened beneath the root.
        std::string leaf;
        const int dir = cl::open_tree_parent(f, O_RDONLY, leaf);
        if (dir < 0) continue;
        if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_size == 0 && ::unlinkat(dir, leaf.c_str(), 0) != 0 && trace_level() > 1)
            cl::trace_out.write(cl::format_str("lock: empty file %? stays (%?)\n", f, errno));
        ::close(dir);
    }
}

bool lock_table::refresh(const std::wstring& key, const std::vector<std::string>& tokens,
                         int64_t duration, lock_entry& entry, std::wstring& lock_key) {
    cl::cs_lock g(lock_);
    auto try_key = [&](const std::wstring& k, bool need_infinity) {
        const auto it = entries_.find(k);
        if (it == entries_.end() || (need_infinity && !it->second.depth_infinity)) return false;
        if (!contains(tokens, it->second.token)) return false;
        it->second.timeout = duration;
        it->second.expiry = now() + duration;
        entry = it->second;
        lock_key = k;
        return true;
    };
    if (try_key(key, false)) return true;
    for (const std::wstring& a : ancestors_of(key))
        if (try_key(a, true)) return true;
    return false;
}

int lock_table::unlock(const std::wstring& key, const std::string& token) {
    std::vector<std::string> unfilled;
    {
        cl::cs_lock g(lock_);
        auto remove = [&](const std::wstring& k, bool need_infinity) {
            const auto it = entries_.find(k);
            if (it == entries_.end() || (need_infinity && !it->second.depth_infinity) ||
                it->second.token != token)
                return false;
            if (!it->second.created_file.empty()) unfilled.push_back(it->second.created_file);
            entries_.erase(it);
            return true;
        };
        bool removed = remove(key, false);
        for (const std::wstring& a : ancestors_of(key))
            if (!removed) removed = remove(a, true);
        if (!removed) return 409;
        counted_locked();
    }
    remove_unfilled(unfilled);
    stop_if_empty();
    return 204;
}

void lock_table::remove_tree(const std::wstring& key) {
    {
        cl::cs_lock g(lock_);
        entries_.erase(key);
        const std::wstring prefix = key == L"/" ? std::wstring() : key + L"/";
        for (auto it = entries_.lower_bound(prefix);
             it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
            it = entries_.erase(it);
        counted_locked();
    }
    stop_if_empty();
}

bool lock_table::find(const std::wstring& key, lock_entry& entry) {
    cl::cs_lock g(lock_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    entry = it->second;
    return true;
}

std::vector<lock_table::map::const_iterator> lock_table::in_the_way(const std::wstring& key,
                                                                    write_scope scope) const {
    std::vector<map::const_iterator> out;
    const std::vector<std::wstring> above = ancestors_of(key);
    for (std::size_t i = 0; i < above.size(); ++i) {
        const auto it = entries_.find(above[i]);
        if (it == entries_.end()) continue;
        // A lock of depth 0 on a folder guards its list of members only.
        const bool parent = i + 1 == above.size();
        if (it->second.depth_infinity || (parent && scope != write_scope::content))
            out.push_back(it);
    }
    const auto self = entries_.find(key);
    if (self != entries_.end()) out.push_back(self);
    if (scope == write_scope::tree) {
        const std::wstring prefix = key == L"/" ? std::wstring() : key + L"/";
        for (auto it = entries_.lower_bound(prefix);
             it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
            if (it->first != key) out.push_back(it);
    }
    return out;
}

int lock_table::check_write(const std::wstring& key, write_scope scope,
                            const std::vector<std::string>& tokens, std::wstring* blocking) {
    cl::cs_lock g(lock_);
    for (const auto& it : in_the_way(key, scope)) {
        if (contains(tokens, it->second.token)) continue;
        if (blocking) *blocking = it->first;
        return 423;
    }
    return 0;
}

bool lock_table::token_relates(const std::wstring& key, const std::string& token) {
    cl::cs_lock g(lock_);
    for (const auto& [k, e] : entries_)
        if (e.token == token) return k == key || is_below(key, k) || is_below(k, key);
    return false;
}

void lock_table::sweep() {
    std::vector<std::string> unfilled;
    {
        cl::cs_lock g(lock_);
        const int64_t t = now();
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (it->second.expiry <= t) {
                if (!it->second.created_file.empty()) unfilled.push_back(it->second.created_file);
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
        counted_locked();
        // On the timer's own thread nothing is waited for.
        if (entries_.empty() && timer_id_.armed()) timer_id_.kill(false);
    }
    remove_unfilled(unfilled);
}

void lock_table::stop_if_empty() {
    {
        cl::cs_lock g(lock_);
        if (!entries_.empty() || !timer_id_.armed()) return;
    }
    // Killing waits for a running sweep, which takes the table's lock.
    timer_id_.kill(true);
    // A lock taken in between finds the timer still armed and does not arm
    // it; give it its sweep back.
    cl::cs_lock g(lock_);
    if (!entries_.empty()) arm_locked();
}

void lock_table::stop_timer() {
    timer_id_.kill(true);
}

lock_table& the_lock_table() {
    static lock_table table;
    return table;
}

// --- the checks of writing requests ---

namespace {

std::vector<std::string> submitted_tokens(const http_request& request) {
    if (!request.data) return {};
    const auto found = request.data->unknown_headers.find(std::string_view("if"));
    if (found == request.data->unknown_headers.end()) return {};
    return if_header_lock_tokens(found->second);
}

class table_tokens final : public lock_token_table {
  public:
    bool is_current_lock_token(const std::wstring& resource, const std::string& token) override {
        const std::wstring key = lock_key(resource);
        return !key.empty() && the_lock_table().token_relates(key, token);
    }
};

} // namespace

std::string request_login(const http_request& request) {
    return request.info ? request.info->user_name : std::string();
}

int check_write_lock(const http_request& request, const std::wstring& local_path,
                     write_scope scope) {
    lock_table& table = the_lock_table();
    if (table.empty()) return 0;
    const std::wstring key = lock_key(local_path);
    if (key.empty()) return 0;
    const std::vector<std::string> tokens = submitted_tokens(request);
    // A token proves nothing for a client that did not take the lock.
    if (table.names_foreign_lock(tokens, request_login(request))) return 403;
    std::wstring blocking;
    const int s = table.check_write(key, scope, tokens, &blocking);
    if (s != 0 && trace_level() > 1)
        cl::trace_out.write_w(cl::format_wstr(L"locked by %?: %?\n", blocking, local_path));
    return s;
}

void install_lock_tokens() {
    static table_tokens tokens;
    if (cl::global_timers_running()) the_lock_table().set_timer(&cl::fast_timer());
    set_lock_token_table(&tokens);
}

void stop_lock_expiry_timer() {
    the_lock_table().stop_timer();
    the_lock_table().set_timer(nullptr);
}

// --- answers ---

std::string lock_key_href(const std::wstring& key) {
    const std::string path = key == L"/" ? std::string("/") : "/" + cl::utf16_to_utf8(key);
    return server_config::url_escape_path(path);
}

std::string activelock_xml(const std::string& href, const lock_entry& entry) {
    std::string s = "<d:activelock>\n<d:locktype><d:write/></d:locktype>\n"
                    "<d:lockscope><d:exclusive/></d:lockscope>\n<d:depth>";
    s += entry.depth_infinity ? "infinity" : "0";
    s += "</d:depth>\n<d:owner>";
    if (entry.owner_is_href) s += "<d:href>";
    s += xml_escape(entry.owner);
    if (entry.owner_is_href) s += "</d:href>";
    s += "</d:owner>\n<d:timeout>Second-";
    s += std::to_string(entry.timeout);
    s += "</d:timeout>\n<d:locktoken><d:href>";
    s += entry.token;
    s += "</d:href></d:locktoken>\n<d:lockroot><d:href>";
    s += xml_escape(href);
    s += "</d:href></d:lockroot>\n</d:activelock>";
    return s;
}

void append_lock_properties(std::string& out, std::wstring_view local_path) {
    std::vector<std::pair<std::wstring, lock_entry>> locks;
    lock_table& table = the_lock_table();
    if (!table.empty()) {
        const std::wstring key = lock_key(std::wstring(local_path));
        if (!key.empty()) locks = table.locks_applying_to(key);
    }
    if (locks.empty()) {
        out += "<d:lockdiscovery/>\n";
    } else {
        out += "<d:lockdiscovery>";
        for (const auto& [k, e] : locks)
            out += activelock_xml(lock_key_href(k), e);
        out += "</d:lockdiscovery>\n";
    }
    out += "<d:supportedlock><d:lockentry><d:lockscope><d:exclusive/></d:lockscope>"
           "<d:locktype><d:write/></d:locktype></d:lockentry></d:supportedlock>\n";
}

std::string write_lockdiscovery(const std::string& href, const lock_entry& entry) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:prop xmlns:d=\"DAV:\">\n"
           "<d:lockdiscovery>" +
           activelock_xml(href, entry) + "</d:lockdiscovery>\n</d:prop>\n";
}
