#include "scripting/spawned_scripts.h"

#include "core/format.h"
#include "core/trace.h"

#include <exception>

namespace scripting {

spawned_scripts::spawned_scripts(runner run) : run_(std::move(run)) {}

spawned_scripts::~spawned_scripts() {
    stop_all();
}

bool spawned_scripts::spawn(cl::thread_pool& pool, const std::string& url,
                            const std::wstring& param) {
    auto e = std::make_shared<entry>();
    e->url = url;
    e->param = param;
    e->pool = &pool;
    // The job may start before its id is known: it waits for the lock, which
    // is held until the id is stored.
    std::lock_guard<std::mutex> g(lock_);
    e->job = pool.run([this, e] {
        try {
            run_(e->url, e->param);
        } catch (const std::exception& x) {
            cl::trace_out.write(cl::format_str("spawned script %?: %?\n", e->url, x.what()));
        } catch (...) {
            cl::trace_out.write(cl::format_str("spawned script %?: unknown exception\n", e->url));
        }
        remove(e, true);
    });
    if (e->job == 0) return false;
    entries_.insert(e);
    return true;
}

bool spawned_scripts::remove(const std::shared_ptr<entry>& e, bool from_job) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (entries_.erase(e) == 0) return false;
    }
    // Ended outside the lock: the job itself takes the lock on its way out.
    if (!from_job) e->pool->kill_thread(e->job, 5000);
    return true;
}

void spawned_scripts::stop_all() {
    for (;;) {
        std::shared_ptr<entry> e;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (entries_.empty()) return;
            e = *entries_.begin();
        }
        remove(e, false);
    }
}

std::size_t spawned_scripts::size() {
    std::lock_guard<std::mutex> g(lock_);
    return entries_.size();
}

} // namespace scripting
