// Script loggers: one log file per name, shared by every script that asks for
// it, written through a trace channel with a file sink of its own (so
// buffering, flushing on the timer and rolling over are the trace file's).
#include "core/sync.h"
#include "core/trace.h"
#include "core/trace_sinks.h"
#include "scripting/hashlist.h"
#include "scripting/objects/object_support.h"
#include "scripting/objects/script_objects.h"

#include <atomic>
#include <map>
#include <mutex>

namespace scripting::objects {

namespace {

struct ilogger_i : idispatch_i {};
constexpr guid iid_ilogger{
    0x1EB765F3, 0xD1B8, 0x46E3, {0x83, 0xA5, 0x2C, 0x1D, 0x72, 0xA1, 0x36, 0x11}};

class file_log {
  public:
    explicit file_log(const std::wstring& path) {
        sink_.set_file_name(path);
        sink_.set_sizes(16384, 32768, 16384);
        sink_.set_write_through(false);
        sink_.set_time_flags(false, true);
        channel_.add(&sink_);
    }
    ~file_log() {
        close();
        channel_.remove(&sink_);
    }
    // The file sink takes whole lines only and keeps an unfinished one for
    // the thread that wrote it. A logger's line may be begun by one script
    // and ended by another, on other threads, so the logger gathers its
    // lines itself: what follows the last line feed waits here for the next
    // write, whoever makes it.
    void write(std::wstring_view text) {
        std::lock_guard lk(partial_lock_);
        const std::size_t last_lf = text.rfind(L'\n');
        if (last_lf == std::wstring_view::npos) {
            partial_.append(text);
            return;
        }
        std::wstring lines = std::move(partial_);
        lines.append(text.substr(0, last_lf + 1));
        partial_.assign(text.substr(last_lf + 1));
        channel_.write_w(lines);
    }
    // Ends an unfinished line, so that nothing written is lost, and writes
    // everything out (the logger is unloaded, or the server stops).
    void close() {
        {
            std::lock_guard lk(partial_lock_);
            if (!partial_.empty()) {
                channel_.write_w(partial_ + L"\n");
                partial_.clear();
            }
        }
        channel_.flush();
    }

  private:
    cl::file_trace sink_;
    cl::trace_channel channel_;
    std::mutex partial_lock_;
    std::wstring partial_;
};

class logger final : public automation::idispatch<ilogger_i> {
  public:
    logger(const std::wstring& path, uint32_t timeout) : log_(path), timeout_(timeout) {
        load_type_info(program_type_library(), iid_ilogger);
        touch();
    }
    void touch() { last_access_.store(hashlist::now_seconds()); }
    void write(std::wstring_view text) {
        touch();
        log_.write(text);
    }
    void close() { log_.close(); }
    uint32_t timeout() const { return timeout_; }
    int64_t last_access() const { return last_access_.load(); }
    uint32_t refs() {
        add_ref();
        return release();
    }

  private:
    file_log log_;
    uint32_t timeout_;
    std::atomic<int64_t> last_access_{0};
};

hresult m_logger_write(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    std::wstring text;
    const hresult hr = to_text(p.arg(0), text);
    if (failed(hr)) return hr;
    self_as<logger, ilogger_i>(d)->write(text);
    return s_ok;
}

const type_info ilogger_type{
    iid_ilogger, L"ilogger", {{0x320, L"write", member_method, 1, 1, m_logger_write}}};

struct logger_registry {
    cl::critical_section lock;
    std::map<std::wstring, automation::com_ptr<logger>> loggers;
};
logger_registry& registry() {
    static auto* r = new logger_registry;
    return *r;
}

} // namespace

dispatch_ptr create_logger(const std::wstring& path, uint32_t timeout) {
    register_type_once(ilogger_type);
    logger_registry& r = registry();
    automation::com_ptr<logger> l;
    {
        cl::cs_lock lk(r.lock);
        auto it = r.loggers.find(path);
        if (it != r.loggers.end()) {
            it->second->touch();
            return dispatch_ptr(it->second.get());
        }
        l = automation::com_ptr<logger>(new logger(path, timeout));
        r.loggers.emplace(path, l);
    }
    // The sweep belongs to the hash-list registry, whose lock comes first.
    if (timeout != 0) arm_unload_sweep();
    return dispatch_ptr(l.get());
}

void sweep_loggers(int64_t now) {
    std::vector<automation::com_ptr<logger>> dropped;
    {
        logger_registry& r = registry();
        cl::cs_lock lk(r.lock);
        for (auto it = r.loggers.begin(); it != r.loggers.end();) {
            logger& l = *it->second.get();
            if (l.refs() == 1 && l.timeout() != 0 &&
                now - l.last_access() > static_cast<int64_t>(l.timeout())) {
                dropped.push_back(std::move(it->second));
                it = r.loggers.erase(it);
            } else {
                ++it;
            }
        }
    }
    dropped.clear();
}

void close_all_loggers() {
    std::map<std::wstring, automation::com_ptr<logger>> gone;
    {
        logger_registry& r = registry();
        cl::cs_lock lk(r.lock);
        gone.swap(r.loggers);
    }
    // A script may still hold a logger after the registry lets it go: its
    // lines reach the file now, not whenever that script ends.
    for (auto& [path, l] : gone)
        l->close();
}

std::size_t logger_count() {
    logger_registry& r = registry();
    cl::cs_lock lk(r.lock);
    return r.loggers.size();
}

} // namespace scripting::objects
