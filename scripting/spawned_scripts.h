// Scripts started to run on their own, with their output discarded: each is
// an entry with its pool job, so server stop can end every one still running.
#pragma once
#include "core/thread.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace scripting {

class spawned_scripts {
  public:
    using runner = std::function<void(const std::string& url, const std::wstring& param)>;
    // The runner runs one script and drops its output; it is called on a pool
    // thread. The pool must outlive the registry's entries.
    explicit spawned_scripts(runner run);
    ~spawned_scripts();

    // Registers the script and queues its job on the pool; false when the
    // pool could not take the job (nothing stays registered then).
    bool spawn(cl::thread_pool& pool, const std::string& url, const std::wstring& param);
    // Removes every entry, ending the job of each still running (waiting up
    // to 5000 ms each); returns when none is left.
    void stop_all();
    std::size_t size();

  private:
    struct entry {
        std::string url;
        std::wstring param;
        cl::thread_pool* pool = nullptr;
        cl::thread_pool::job_id job = 0;
    };
    // Erases the entry when it is still registered and ends its job unless
    // the caller is that job; false when it was gone already.
    bool remove(const std::shared_ptr<entry>& e, bool from_job);

    runner run_;
    std::mutex lock_;
    std::set<std::shared_ptr<entry>> entries_;
};

} // namespace scripting
