#include "server/dynip.h"

#include "core/sync.h"

#include <atomic>
#include <ctime>
#include <map>

namespace {

struct entry {
    std::string address;
    uint8_t flag = 0;
    uint8_t flag2 = 0;
    int64_t created = 0;
};

// An entry lives this many seconds after it was registered.
constexpr int64_t max_entry_age = 600000;

struct redirect_table {
    cl::critical_section lock;
    std::string prefix;
    std::map<std::string, entry, std::less<>> entries;
    // The size of entries, read without the lock: every request asks, and
    // most servers have no entry at all.
    std::atomic<std::size_t> count{0};
    cl::timer_id expiry_timer;

    void counted() { count.store(entries.size(), std::memory_order_release); }
};

redirect_table& table() {
    static redirect_table t;
    return t;
}

} // namespace

void set_dynip_prefix(std::string prefix) {
    redirect_table& t = table();
    cl::cs_lock g(t.lock);
    t.prefix = std::move(prefix);
}

void set_dynamic_entry(const std::string& name, const std::string& address, uint8_t flag,
                       uint8_t flag2) {
    redirect_table& t = table();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    cl::cs_lock g(t.lock);
    t.entries[name] = entry{address, flag, flag2, now};
    t.counted();
}

std::size_t expire_dynamic_entries(int64_t now) {
    redirect_table& t = table();
    cl::cs_lock g(t.lock);
    const std::size_t erased = std::erase_if(
        t.entries, [now](const auto& e) { return now - e.second.created > max_entry_age; });
    t.counted();
    return erased;
}

bool set_dynamic_entry_time(const std::string& name, int64_t created) {
    redirect_table& t = table();
    cl::cs_lock g(t.lock);
    const auto it = t.entries.find(name);
    if (it == t.entries.end()) return false;
    it->second.created = created;
    return true;
}

bool has_dynamic_entry(const std::string& name) {
    redirect_table& t = table();
    cl::cs_lock g(t.lock);
    return t.entries.find(name) != t.entries.end();
}

void start_dynamic_expiry(cl::base_timer& timer) {
    timer.set_timer(
        table().expiry_timer,
        [] { expire_dynamic_entries(static_cast<int64_t>(std::time(nullptr))); }, 10000);
}

void stop_dynamic_expiry() {
    table().expiry_timer.kill(true);
}

void remove_dynamic_entry(const std::string& name) {
    redirect_table& t = table();
    cl::cs_lock g(t.lock);
    t.entries.erase(name);
    t.counted();
}

bool lookup_dynamic_redirect(std::string_view url, std::string& location, int& status,
                             std::string& address, uint8_t& flag) {
    redirect_table& t = table();
    if (t.count.load(std::memory_order_acquire) == 0) return false;
    cl::cs_lock g(t.lock);
    if (t.prefix.empty() || url.substr(0, t.prefix.size()) != t.prefix) return false;
    std::string_view rest = url.substr(t.prefix.size());
    // A prefix written without its closing "/" still takes one.
    if (t.prefix.back() != '/' && !rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    // The name ends at its "/" or at the query, which stays with the rest.
    const std::size_t end = rest.find_first_of("/?");
    const std::string_view name = rest.substr(0, end);
    const auto it = t.entries.find(name);
    if (name.empty() || it == t.entries.end()) return false;
    status = 302;
    address = it->second.address;
    flag = it->second.flag;
    location = make_address_url(address);
    if (end != std::string_view::npos) location.append(rest.substr(end));
    return true;
}

std::string make_address_url(std::string_view address) {
    const std::size_t blank = address.find(' ');
    std::string_view host = address.substr(0, blank);
    const std::string_view port =
        blank == std::string_view::npos ? std::string_view() : address.substr(blank + 1);
    std::string out = "http://";
    if (host.find('.') == std::string_view::npos) {
        out += '[';
        out += host;
        out += ']';
    } else {
        out += host;
    }
    out += ':';
    out += port;
    return out;
}
