// File, named mutex and event objects, and the wait for several events.
#include "core/file_hnd.h"
#include "core/format.h"
#include "core/md5.h"
#include "core/sync.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "scripting/objects/object_support.h"
#include "scripting/objects/script_objects.h"
#include "scripting/objects/thread_queue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

namespace scripting::objects {

namespace {

constexpr uint32_t no_end = 0xFFFFFFFFu;

struct wait_limits {
    std::mutex m;
    std::function<bool()> stopping;
    std::function<uint32_t()> run_limit_ms;
};
wait_limits& limits() {
    static auto* l = new wait_limits;
    return *l;
}
bool scripts_must_end() {
    std::function<bool()> f;
    {
        std::lock_guard lk(limits().m);
        f = limits().stopping;
    }
    return f && f();
}
// A wait of ms (no_end: without end) cut to the run-time limit.
uint32_t within_run_limit(uint32_t ms) {
    std::function<uint32_t()> f;
    {
        std::lock_guard lk(limits().m);
        f = limits().run_limit_ms;
    }
    const uint32_t limit = f ? f() : 0;
    return limit && limit < ms ? limit : ms;
}
// Whether a wait that began at start and may last ms has to end now.
bool wait_over(std::chrono::steady_clock::time_point start, uint32_t ms) {
    if (scripts_must_end()) return true;
    return ms != no_end &&
           std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(ms);
}

// ---------------------------------------------------------------- sfile

struct ifile_i : idispatch_i {};
constexpr guid iid_ifile{
    0xE2D6CE0D, 0xF3EE, 0x4573, {0xA4, 0x76, 0xA1, 0x97, 0xF4, 0x7A, 0x94, 0x87}};

// A script's file. Opening an existing file with truncation replaces it: the
// new content goes to a temporary file beside it, which takes the file's
// place when the object closes it, so a script that dies half-way, or a write
// that fails, leaves the old file whole. The folder is opened once (beneath
// the tree's root for a path of the tree) and the temporary file is made,
// checked and renamed in that very folder: a link swapped in on the path
// meanwhile cannot carry the new content elsewhere.
class sfile final : public automation::idispatch<ifile_i> {
  public:
    sfile() { load_type_info(program_type_library(), iid_ifile); }
    ~sfile() override { close(); }

    bool open(const std::wstring& fn, uint32_t flags, uint32_t share) {
        close();
        if (!(flags & cl::o_trunc) || !(flags & (cl::o_wronly | cl::o_rdwr)) ||
            (flags & cl::o_temporary))
            return file_.open(fn, flags, share);
        const std::string target = cl::utf16_to_utf8(fn);
        std::string leaf;
        const int dir = cl::open_tree_parent(target, O_RDONLY, leaf);
        if (dir < 0) return file_.open(fn, flags, share);
        // Only a plain file is replaced (a link's target is truncated where
        // it is, if the open allows it), and the script must be able to
        // write it at all.
        struct stat st;
        if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            ::faccessat(dir, leaf.c_str(), W_OK, 0) != 0) {
            ::close(dir);
            return file_.open(fn, flags, share);
        }
        std::random_device rd;
        for (int attempt = 0; attempt < 16; ++attempt) {
            const std::string temp_leaf =
                cl::format_str("%?.%x.tmp", leaf, static_cast<uint32_t>(rd()));
            const std::string temp = target.substr(0, target.size() - leaf.size()) + temp_leaf;
            if (file_.open(cl::utf8_to_utf16(temp),
                           (flags | cl::o_creat | cl::o_excl) & ~cl::o_trunc, share)) {
                // What was made must be the name in the folder held.
                struct stat made;
                if (::fstatat(dir, temp_leaf.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0 ||
                    made.st_dev != file_.share_dev() || made.st_ino != file_.share_ino()) {
                    file_.close();
                    break;
                }
                ::fchmod(file_.handle(), st.st_mode & 07777);
                dir_ = dir;
                temp_leaf_ = temp_leaf;
                leaf_ = leaf;
                target_ = target;
                write_failed_ = false;
                return true;
            }
            if (file_.last_error() != 80 /* exists */) break;
        }
        ::close(dir);
        return file_.open(fn, flags, share);
    }
    void close() {
        if (!file_.is_open()) return;
        if (dir_ < 0) {
            file_.close();
            return;
        }
        const bool synced = file_.flush() && ::fsync(file_.handle()) == 0;
        const bool closed = file_.close() == 0;
        if (synced && closed && !write_failed_ &&
            ::renameat(dir_, temp_leaf_.c_str(), dir_, leaf_.c_str()) == 0) {
            // The rename itself is durable once the folder is synced.
            ::fsync(dir_);
        } else {
            ::unlinkat(dir_, temp_leaf_.c_str(), 0);
            cl::trace_out.write(
                cl::format_str("sfile: %? kept, its new content failed\n", target_));
        }
        ::close(dir_);
        dir_ = -1;
        temp_leaf_.clear();
        leaf_.clear();
        target_.clear();
    }
    int64_t write(const void* p, int64_t n) {
        const int64_t r = file_.write(p, n);
        if (r != n) write_failed_ = true;
        return r;
    }

    cl::file_hnd file_;

  private:
    int dir_ = -1; // the target's folder while a new content is written
    std::string temp_leaf_, leaf_, target_;
    bool write_failed_ = false;
};

sfile* file_of(idispatch_i* d) {
    return self_as<sfile, ifile_i>(d);
}

hresult file_open_args(dispparams& p, std::wstring& fn, uint32_t& flags, uint32_t& share) {
    hresult hr = to_text(p.arg(0), fn);
    if (failed(hr)) return hr;
    int32_t f = 0;
    if (p.count() > 1 && failed(hr = to_i4(p.arg(1), f))) return hr;
    int32_t s = 0x20;
    if (!missing(p, 2) && failed(hr = to_i4(p.arg(2), s))) return hr;
    flags = static_cast<uint32_t>(f);
    share = static_cast<uint32_t>(s);
    return s_ok;
}

hresult m_file_construct(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    std::wstring fn;
    uint32_t flags = 0, share = 0;
    const hresult hr = file_open_args(p, fn, flags, share);
    if (failed(hr)) return hr;
    file_of(d)->open(fn, flags, share);
    return s_ok;
}
hresult m_file_open(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    std::wstring fn;
    uint32_t flags = 0, share = 0;
    const hresult hr = file_open_args(p, fn, flags, share);
    if (failed(hr)) return hr;
    *r = variant::from_bool(file_of(d)->open(fn, flags, share));
    return s_ok;
}
hresult m_file_close(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    file_of(d)->close();
    return s_ok;
}
hresult m_file_read(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    int64_t cnt = 0;
    const hresult hr = to_i8(p.arg(0), cnt);
    if (failed(hr)) return hr;
    const uint32_t n = static_cast<uint32_t>(cnt);
    // Bounded by what the file can still give, so a huge count costs nothing.
    sfile* f = file_of(d);
    std::string bytes;
    if (f->file_.is_open() && n > 0) {
        const int64_t pos = f->file_.tell(), size = f->file_.size();
        const int64_t avail = pos >= 0 && size >= pos ? size - pos : 0;
        bytes.resize(static_cast<std::size_t>(std::min<int64_t>(n, std::max<int64_t>(avail, 0))));
        int64_t got =
            bytes.empty() ? 0 : f->file_.read(bytes.data(), static_cast<int64_t>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(std::max<int64_t>(got, 0)));
    }
    // The bytes come back as the UTF-16 text they encode (two bytes a unit,
    // little-endian), the counterpart of writing a string; an odd last byte
    // is a unit of its own.
    std::u16string units;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const uint8_t lo = static_cast<uint8_t>(bytes[i]);
        const uint8_t hi = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
        units.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    *r = variant::from_bstr(from_utf16_units(units));
    return s_ok;
}
hresult m_file_write(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    const variant& v = p.arg(0);
    std::string bytes;
    if (v.vt() == vt_bstr) {
        for (char16_t u : to_utf16_units(v.bstr())) {
            bytes.push_back(static_cast<char>(u & 0xFF));
            bytes.push_back(static_cast<char>(u >> 8));
        }
    } else if (v.vt() == (vt_array | vt_ui1) && v.array() && v.array()->element_vt == vt_ui1 &&
               v.array()->dims == 1) {
        bytes.assign(v.array()->data.begin(), v.array()->data.end());
    } else {
        return e_invalidarg;
    }
    sfile* f = file_of(d);
    const int64_t n =
        f->file_.is_open() ? f->write(bytes.data(), static_cast<int64_t>(bytes.size())) : -1;
    *r = variant::from_i8(n);
    return s_ok;
}
hresult m_file_seek(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    int64_t pos = 0;
    int32_t origin = 0;
    hresult hr = to_i8(p.arg(0), pos);
    if (failed(hr)) return hr;
    if (failed(hr = to_i4(p.arg(1), origin))) return hr;
    *r = variant::from_i8(file_of(d)->file_.seek(pos, origin));
    return s_ok;
}
hresult m_file_length(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    sfile* f = file_of(d);
    *r = variant::from_i8(f->file_.is_open() ? f->file_.size() : 0);
    return s_ok;
}
hresult m_file_trunc(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    file_of(d)->file_.set_end();
    return s_ok;
}
hresult m_file_last_error(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_i4(static_cast<int32_t>(file_of(d)->file_.last_error()));
    return s_ok;
}

const type_info ifile_type{iid_ifile,
                           L"ifile",
                           {{0x0, L"construct", member_method, 1, 3, m_file_construct},
                            {0x320, L"open", member_method, 1, 3, m_file_open},
                            {0x321, L"close", member_method, 0, 0, m_file_close},
                            {0x322, L"read", member_method, 1, 1, m_file_read},
                            {0x323, L"write", member_method, 1, 1, m_file_write},
                            {0x324, L"seek", member_method, 2, 2, m_file_seek},
                            {0x325, L"length", member_get, 0, 0, m_file_length},
                            {0x326, L"trunc", member_method, 0, 0, m_file_trunc},
                            {0x327, L"last_error", member_get, 0, 0, m_file_last_error}}};

// ---------------------------------------------------------------- smutex

struct imutex_i : idispatch_i {};
constexpr guid iid_imutex{
    0x41C40F1C, 0x0992, 0x4C41, {0x83, 0x4B, 0x76, 0xDC, 0x76, 0x5E, 0xF0, 0x77}};

// The lock file of a mutex name: the name's UTF-8 bytes in hex. A name too
// long for one file name keeps a readable start and adds its digest.
std::string lock_file_name(const std::wstring& name) {
    static const char digits[] = "0123456789abcdef";
    const std::string utf8 = cl::utf16_to_utf8(name);
    std::string hex;
    for (unsigned char c : utf8) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    if (hex.size() > 160) {
        cl::md5 sum;
        sum.update(utf8);
        hex = hex.substr(0, 120) + "_" + sum.hex();
    }
    return hex;
}

// A named mutex that really excludes: holding it is an exclusive lock on its
// lock file, which other objects of this process and other processes on the
// same data directory wait for.
class smutex final : public automation::idispatch<imutex_i> {
  public:
    smutex(std::wstring name, std::wstring lock_dir)
        : name_(std::move(name)), dir_(std::move(lock_dir)) {
        load_type_info(program_type_library(), iid_imutex);
    }
    ~smutex() override { unlock(); }

    hresult acquire() {
        if (acquired_ || name_.empty())
            return raise_script_error(
                cl::format_wstr(L"Trying to acquire mutex on mutex (%?)", name_));
        std::string dir = cl::utf16_to_utf8(dir_);
        if (!dir.empty() && dir.back() != '/') dir += '/';
        dir += "js_mutexes/";
        ::mkdir(dir.c_str(), 0700);
        const std::string path = dir + lock_file_name(name_);
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            cl::trace_out.write(cl::format_str("mutex: cannot open %? (%?)\n", path, errno));
            return raise_script_error(cl::format_wstr(L"Cannot create mutex (%?)", name_));
        }
        // Waits for the holder, but not past server stop or the run-time
        // limit: a page that keeps its mutex must not hold up the others for good.
        const uint32_t limit = within_run_limit(no_end);
        const auto start = std::chrono::steady_clock::now();
        int pause_ms = 1;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            const bool busy = errno == EWOULDBLOCK;
            if (!busy)
                cl::trace_out.write(cl::format_str("mutex: cannot lock %? (%?)\n", path, errno));
            if (!busy || wait_over(start, limit)) {
                ::close(fd_);
                fd_ = -1;
                return raise_script_error(cl::format_wstr(
                    busy ? L"Cannot acquire mutex (%?)" : L"Cannot create mutex (%?)", name_));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
            pause_ms = std::min(pause_ms * 2, 20);
        }
        acquired_ = true;
        return s_ok;
    }
    hresult release_mutex() {
        if (!acquired_)
            return raise_script_error(
                cl::format_wstr(L"Trying to release mutex which was not acquired (%?)", name_));
        unlock();
        return s_ok;
    }

  private:
    void unlock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
        fd_ = -1;
        acquired_ = false;
    }

    std::wstring name_;
    std::wstring dir_;
    int fd_ = -1;
    bool acquired_ = false;
};

hresult m_mutex_acquire(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    return self_as<smutex, imutex_i>(d)->acquire();
}
hresult m_mutex_release(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    return self_as<smutex, imutex_i>(d)->release_mutex();
}

const type_info imutex_type{iid_imutex,
                            L"imutex",
                            {{0x320, L"acquire", member_method, 0, 0, m_mutex_acquire},
                             {0x321, L"release", member_method, 0, 0, m_mutex_release}}};

// ---------------------------------------------------------------- wevent

struct ievent_i : idispatch_i {};
constexpr guid iid_ievent{
    0xA37B3653, 0xAE5A, 0x4BF2, {0xBE, 0x25, 0x82, 0x35, 0x80, 0x47, 0x42, 0xCA}};

// A manual-reset event. Threads pumping in a wait on it are told of a set
// through their queues, so a wait covers any number of events with one
// deadline and still runs what is posted to the waiting thread.
class wevent final : public automation::idispatch<ievent_i> {
  public:
    wevent() { load_type_info(program_type_library(), iid_ievent); }

    void set() {
        event_.set();
        std::vector<std::shared_ptr<thread_queue>> to_wake;
        {
            std::lock_guard lk(m_);
            for (auto& w : waiters_)
                if (auto q = w.lock()) to_wake.push_back(std::move(q));
        }
        for (auto& q : to_wake)
            q->wake();
    }
    void reset() { event_.reset(); }
    bool is_set() { return event_.is_set(); }
    void add_waiter(const std::shared_ptr<thread_queue>& q) {
        std::lock_guard lk(m_);
        waiters_.push_back(q);
    }
    void remove_waiter(const std::shared_ptr<thread_queue>& q) {
        std::lock_guard lk(m_);
        for (auto it = waiters_.begin(); it != waiters_.end(); ++it)
            if (it->lock() == q) {
                waiters_.erase(it);
                return;
            }
    }

  private:
    cl::event event_;
    std::mutex m_;
    std::vector<std::weak_ptr<thread_queue>> waiters_;
};

wevent* event_of(idispatch_i* d) {
    return self_as<wevent, ievent_i>(d);
}

hresult m_event_set(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    event_of(d)->set();
    return s_ok;
}
hresult m_event_reset(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    event_of(d)->reset();
    return s_ok;
}
hresult m_event_is_set(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bool(event_of(d)->is_set());
    return s_ok;
}

const type_info ievent_type{iid_ievent,
                            L"ievent",
                            {{0x320, L"set", member_method, 0, 0, m_event_set},
                             {0x321, L"reset", member_method, 0, 0, m_event_reset},
                             {0x322, L"is_set", member_method, 0, 0, m_event_is_set}}};

} // namespace

dispatch_ptr create_file_object() {
    register_type_once(ifile_type);
    return dispatch_ptr(new sfile);
}

dispatch_ptr create_mutex_object(const std::wstring& name, const std::wstring& lock_dir) {
    register_type_once(imutex_type);
    return dispatch_ptr(new smutex(name, lock_dir));
}

dispatch_ptr create_event_object() {
    register_type_once(ievent_type);
    return dispatch_ptr(new wevent);
}

void set_wait_limits(std::function<bool()> stopping, std::function<uint32_t()> run_limit_ms) {
    std::lock_guard lk(limits().m);
    limits().stopping = std::move(stopping);
    limits().run_limit_ms = std::move(run_limit_ms);
}

void pump_messages(uint32_t ms) {
    thread_queue::current()->pump([] { return false; }, ms);
}

hresult wait_for_events(idispatch_i* d, const variant& timeout, const variant& wait_all,
                        variant* result) {
    int32_t ms = 0;
    bool all = false;
    hresult hr = to_i4(timeout, ms);
    if (failed(hr)) return hr;
    if (failed(hr = to_bool(wait_all, all))) return hr;
    if (result) *result = variant::null();
    if (!d) return e_pointer;

    // The events among the members, in enumeration order.
    std::vector<automation::com_ptr<idispatch_i>> holders;
    std::vector<wevent*> events;
    void* p = nullptr;
    if (failed(hr = d->query_interface(iid_idispatch_ex, &p))) return hr;
    automation::com_ptr<idispatch_ex_i> ex;
    ex.attach(static_cast<idispatch_ex_i*>(p));
    dispid id = dispid_startenum;
    for (int guard = 0; guard < 1000000; ++guard) {
        if (ex->get_next_disp_id(fdex_enum_all, id, &id) != s_ok) break;
        dispparams none;
        variant v;
        if (failed(ex->invoke_ex(id, lcid_user_default, dispatch_propertyget, none, &v, nullptr,
                                 nullptr)))
            continue;
        idispatch_i* item = v.dispatch();
        void* ev = nullptr;
        if (!item || failed(item->query_interface(iid_ievent, &ev))) continue;
        automation::com_ptr<idispatch_i> hold;
        hold.attach(static_cast<ievent_i*>(ev));
        events.push_back(event_of(hold.get()));
        holders.push_back(std::move(hold));
    }
    if (events.empty()) return s_ok;

    auto q = thread_queue::current();
    for (wevent* e : events)
        e->add_waiter(q);
    int index = -1;
    const auto done = [&] {
        if (all)
            return std::all_of(events.begin(), events.end(), [](wevent* e) { return e->is_set(); });
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i]->is_set()) {
                index = static_cast<int>(i);
                return true;
            }
        return false;
    };
    // In slices, so that server stop ends the wait; never past the run-time limit.
    const uint32_t limit = within_run_limit(ms < 0 ? no_end : static_cast<uint32_t>(ms));
    const auto start = std::chrono::steady_clock::now();
    bool got = false;
    for (;;) {
        uint32_t slice = 50;
        if (limit != no_end) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            const int64_t left = static_cast<int64_t>(limit) - spent.count();
            slice = static_cast<uint32_t>(std::clamp<int64_t>(left, 0, slice));
        }
        got = q->pump(done, slice);
        if (got || wait_over(start, limit)) break;
    }
    for (wevent* e : events)
        e->remove_waiter(q);
    if (!got || !result) return s_ok;
    // A wait for all that succeeded says so (true); a time-out stays null.
    if (all)
        *result = variant::from_bool(true);
    else if (index >= 0)
        *result = variant::from_dispatch(holders[static_cast<std::size_t>(index)].get());
    return s_ok;
}

} // namespace scripting::objects
