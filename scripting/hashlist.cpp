#include "scripting/hashlist.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/trace_sinks.h"
#include "platform/win32/time.h"
#include "scripting/objects/script_objects.h"
#include "server/server_dirs.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>

namespace scripting {

// The change log of a list: a trace channel with a file sink of its own, so
// buffering and rolling over are those of the trace file.
class hashlist_change_log final : public scripting::nosql_log {
  public:
    hashlist_change_log(const std::wstring& list_file, uint32_t rollover) {
        const std::wstring name = list_file + L".log";
        sink_.set_file_name(name);
        sink_.set_sizes(32768, 32768, 16384);
        sink_.set_old_file(old_name(name), rollover, 0);
        sink_.set_write_through(false);
        channel_.add(&sink_);
    }
    ~hashlist_change_log() override {
        channel_.flush();
        channel_.remove(&sink_);
    }
    void write_line(std::string_view line) override { channel_.write(line); }

    // "_old" before the last extension: "a.txt.log" rolls over to
    // "a.txt_old.log".
    static std::wstring old_name(const std::wstring& name) {
        const std::size_t slash = name.rfind(L'/');
        const std::size_t dot = name.rfind(L'.');
        if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
            return name + L"_old";
        return name.substr(0, dot) + L"_old" + name.substr(dot);
    }

  private:
    cl::file_trace sink_;
    cl::trace_channel channel_;
};

namespace {

constexpr int32_t sweep_period_ms = 10000;
constexpr int32_t min_save_interval_s = 30;

struct registry {
    cl::critical_section lock;
    std::map<std::wstring, cl::sh_ptr<hashlist>> lists;
    bool sweep_armed = false;
};

registry& the_registry() {
    static registry r;
    return r;
}

// Lives as long as the process: an armed id must not go away before the
// timer that names it.
cl::timer_id& sweep_timer() {
    static cl::timer_id* id = new cl::timer_id;
    return *id;
}

} // namespace

int64_t hashlist::now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

hashlist::hashlist(std::wstring file, uint32_t cache_timeout)
    : file_(std::move(file)), cache_timeout_(cache_timeout) {
    touch();
}

hashlist::~hashlist() {
    save_timer_.kill(true);
    cl::cs_lock lk(lock_);
    if (removed_) {
        ::unlink(cl::utf16_to_utf8(file_).c_str());
    } else if (loaded_) {
        write_if_dirty(file_);
    }
    list_.set_log(nullptr);
}

void hashlist::touch() {
    last_access_.store(now_seconds());
}

bool hashlist::dirty() {
    cl::cs_lock lk(lock_);
    return list_.dirty();
}

bool hashlist::loaded() {
    cl::cs_lock lk(lock_);
    return loaded_;
}

void hashlist::load() {
    if (loaded_) return;
    if (!list_.read_file(file_) && trace_level() >= 2)
        cl::trace_out.write_w(cl::format_wstr(L"hashlist: cannot read %?\n", file_));
    if (trace_level() > 1)
        cl::trace_out.write_w(cl::format_wstr(L"hl %?: map_sz %?\n", file_, list_.size()));
    loaded_ = true;
}

void hashlist::write_if_dirty(const std::wstring& file) {
    if (list_.dirty()) list_.write_file(file);
}

void hashlist::open(int32_t save_interval) {
    // The save callback takes the list's lock: the timer is stopped (and a
    // running save waited for) before the lock is taken here.
    save_timer_.kill(true);
    cl::cs_lock lk(lock_);
    touch();
    load();
    if (save_interval <= 0) {
        save_interval_ms_ = 0;
        return;
    }
    save_interval_ms_ = std::max(save_interval, min_save_interval_s) * 1000;
    if (!cl::global_timers_running()) return;
    lk.unlock();
    cl::slow_timer().set_timer(
        save_timer_,
        [this] {
            cl::cs_lock l(lock_);
            if (loaded_ && !removed_) write_if_dirty(file_);
        },
        save_interval_ms_, 0);
}

bool hashlist::remove() {
    save_timer_.kill(true);
    cl::cs_lock lk(lock_);
    touch();
    list_.clear();
    list_.set_dirty(false);
    invalidate_iterators();
    removed_ = true;
    const int rc = ::unlink(cl::utf16_to_utf8(file_).c_str());
    return rc == 0 || errno == ENOENT;
}

bool hashlist::save(const std::wstring& file) {
    cl::cs_lock lk(lock_);
    touch();
    if (!loaded_) return true;
    return list_.write_file(file.empty() ? file_ : file);
}

std::string hashlist::value(std::string_view key) {
    return get_value(key);
}

std::string hashlist::get_value(std::string_view key) {
    cl::cs_lock lk(lock_);
    touch();
    std::string_view v;
    return list_.get(key, v) ? std::string(v) : std::string();
}

void hashlist::set_value(std::string_view key, std::string_view value) {
    store(key, value);
}

void hashlist::store(std::string_view key, std::string_view value) {
    cl::cs_lock lk(lock_);
    touch();
    removed_ = false;
    if (list_.set(key, value)) after_new_key();
}

void hashlist::after_new_key() {
    invalidate_iterators();
    if (list_.needs_compaction()) list_.compact(file_);
}

bool hashlist::erase(std::string_view key) {
    cl::cs_lock lk(lock_);
    touch();
    if (!list_.erase(key)) return false;
    invalidate_iterators();
    return true;
}

bool hashlist::clear() {
    cl::cs_lock lk(lock_);
    touch();
    list_.clear();
    invalidate_iterators();
    return list_.write_file(file_);
}

int32_t hashlist::size() {
    cl::cs_lock lk(lock_);
    touch();
    return static_cast<int32_t>(list_.size());
}

void hashlist::enable_logging(uint32_t rollover_size) {
    cl::cs_lock lk(lock_);
    touch();
    if (rollover_size == 0) {
        list_.set_log(nullptr);
        log_.reset();
    } else if (!log_) {
        log_ = std::make_unique<hashlist_change_log>(file_, rollover_size);
        list_.set_log(log_.get());
    }
}

std::string hashlist::log_prefix() {
    cl::cs_lock lk(lock_);
    touch();
    std::string p = list_.log_prefix();
    if (!p.empty()) p.pop_back();
    return p;
}

void hashlist::set_log_prefix(std::string_view utf8) {
    cl::cs_lock lk(lock_);
    touch();
    list_.set_log_prefix(std::string(utf8) + ",");
}

bool hashlist::reload_if_changed(uint32_t min_interval_ms) {
    cl::cs_lock lk(lock_);
    if (!loaded_ || list_.dirty()) return false;
    const uint64_t now_ms = win32::get_tick_count64();
    if (min_interval_ms != 0 && checked_at_ms_ != 0 && now_ms - checked_at_ms_ < min_interval_ms)
        return false;
    checked_at_ms_ = now_ms;
    const scripting::nosql_list::file_stamp now = scripting::nosql_list::stamp_of(file_);
    if (now == list_.stamp()) return false;
    // A file that cannot be read now leaves the entries the list has.
    if (!list_.reload_file(file_)) return false;
    invalidate_iterators();
    if (trace_level() > 1)
        cl::trace_out.write_w(cl::format_wstr(L"hl %?: map_sz %?\n", file_, list_.size()));
    return true;
}

bool hashlist::revert_to_file() {
    cl::cs_lock lk(lock_);
    list_.set_dirty(false);
    invalidate_iterators();
    return list_.reload_file(file_);
}

void hashlist::invalidate_iterators() {
    for (hashlist_iterator* it : iterators_)
        it->stale_ = true;
}

cl::sh_ptr<hashlist_iterator> hashlist::make_iterator(scripting::nosql_list::iterator at) {
    cl::sh_ptr<hashlist_iterator> it(new hashlist_iterator(cl::sh_ptr<hashlist>(this)));
    it->place(at);
    iterators_.push_back(it.get());
    return it;
}

cl::sh_ptr<hashlist_iterator> hashlist::begin() {
    cl::cs_lock lk(lock_);
    touch();
    return make_iterator(list_.begin());
}

cl::sh_ptr<hashlist_iterator> hashlist::end() {
    cl::cs_lock lk(lock_);
    touch();
    return make_iterator(list_.end());
}

cl::sh_ptr<hashlist_iterator> hashlist::find(std::string_view key) {
    cl::cs_lock lk(lock_);
    touch();
    return make_iterator(list_.find(key));
}

cl::sh_ptr<hashlist_iterator> hashlist::lower_bound(std::string_view key) {
    cl::cs_lock lk(lock_);
    touch();
    return make_iterator(list_.lower_bound(key));
}

cl::sh_ptr<hashlist_iterator> hashlist::upper_bound(std::string_view key) {
    cl::cs_lock lk(lock_);
    touch();
    return make_iterator(list_.upper_bound(key));
}

// --- iterators ---

hashlist_iterator::hashlist_iterator(cl::sh_ptr<hashlist> list) : list_(std::move(list)) {}

hashlist_iterator::~hashlist_iterator() {
    cl::cs_lock lk(list_->lock_);
    auto& v = list_->iterators_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void hashlist_iterator::place(scripting::nosql_list::iterator at) {
    pos_ = at;
    stale_ = false;
    if (at == list_->list_.end()) {
        state_ = 1;
        key_.clear();
    } else {
        state_ = 2;
        key_.assign(at->first.view());
    }
}

void hashlist_iterator::refind() {
    if (!stale_) return;
    place(state_ == 2 ? list_->list_.lower_bound(key_) : list_->list_.end());
}

bool hashlist_iterator::equal(const hashlist_iterator* other) {
    if (!other || other->list_.get() != list_.get()) return false;
    cl::cs_lock lk(list_->lock_);
    refind();
    const_cast<hashlist_iterator*>(other)->refind();
    return state_ == other->state_ && (state_ == 1 || pos_ == other->pos_);
}

void hashlist_iterator::inc(int32_t n) {
    if (n < 0) return dec(n == INT32_MIN ? INT32_MAX : -n);
    cl::cs_lock lk(list_->lock_);
    list_->touch();
    refind();
    auto at = pos_;
    const auto end = list_->list_.end();
    for (; n > 0 && at != end; --n)
        ++at;
    place(at);
}

void hashlist_iterator::dec(int32_t n) {
    if (n < 0) return inc(n == INT32_MIN ? INT32_MAX : -n);
    cl::cs_lock lk(list_->lock_);
    list_->touch();
    refind();
    auto at = pos_;
    const auto begin = list_->list_.begin();
    for (; n > 0 && at != begin; --n)
        --at;
    place(at);
}

bool hashlist_iterator::at_end() {
    cl::cs_lock lk(list_->lock_);
    refind();
    return state_ == 1;
}

std::string hashlist_iterator::key() {
    cl::cs_lock lk(list_->lock_);
    list_->touch();
    refind();
    return state_ == 2 ? key_ : std::string();
}

std::string hashlist_iterator::value() {
    cl::cs_lock lk(list_->lock_);
    list_->touch();
    refind();
    return state_ == 2 ? std::string(pos_->second.view()) : std::string();
}

bool hashlist_iterator::set_value(std::string_view value) {
    cl::cs_lock lk(list_->lock_);
    refind();
    if (state_ != 2) return false;
    const std::string key = key_;
    lk.unlock();
    list_->store(key, value);
    return true;
}

// --- registry ---

cl::sh_ptr<hashlist> get_named_hashlist(const std::wstring& file, uint32_t cache_timeout) {
    registry& r = the_registry();
    cl::cs_lock lk(r.lock);
    auto it = r.lists.find(file);
    if (it != r.lists.end()) {
        it->second->touch();
        return it->second;
    }
    cl::sh_ptr<hashlist> list(new hashlist(file, cache_timeout));
    r.lists.emplace(file, list);
    if (cache_timeout != 0) arm_unload_sweep_locked();
    return list;
}

void arm_unload_sweep_locked() {
    registry& r = the_registry();
    if (!r.sweep_armed && cl::global_timers_running()) {
        r.sweep_armed = true;
        cl::slow_timer().set_timer(
            sweep_timer(), [] { sweep_hashlists(hashlist::now_seconds()); }, sweep_period_ms, 0);
    }
}

void arm_unload_sweep() {
    cl::cs_lock lk(the_registry().lock);
    arm_unload_sweep_locked();
}

void sweep_hashlists(int64_t now) {
    std::vector<cl::sh_ptr<hashlist>> dropped;
    {
        registry& r = the_registry();
        cl::cs_lock lk(r.lock);
        for (auto it = r.lists.begin(); it != r.lists.end();) {
            hashlist& l = *it->second;
            if (l.count() == 1 && l.cache_timeout() != 0 &&
                now - l.last_access() > static_cast<int64_t>(l.cache_timeout())) {
                dropped.push_back(std::move(it->second));
                it = r.lists.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Saved and destroyed here, with the registry free for other threads.
    dropped.clear();
    objects::sweep_loggers(now);
}

void close_all_hashlists() {
    sweep_timer().kill(true);
    registry& r = the_registry();
    std::map<std::wstring, cl::sh_ptr<hashlist>> lists;
    {
        cl::cs_lock lk(r.lock);
        r.sweep_armed = false;
        for (auto& [name, list] : r.lists)
            list->save();
        lists.swap(r.lists);
    }
    objects::close_all_loggers();
}

std::size_t hashlist_count() {
    registry& r = the_registry();
    cl::cs_lock lk(r.lock);
    return r.lists.size();
}

} // namespace scripting
