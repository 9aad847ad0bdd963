// What the request path learns about the file a configuration names, kept
// with the configuration. The configuration cache hands out the same
// configuration only while nothing on its path has changed (the file itself,
// its folders, their access files), so these facts are fresh exactly as long
// as the configuration is, and cost nothing to check per request. A small
// file is kept whole (its snapshot); a larger one is kept open with its
// information, Last-Modified text and entity tag, so that serving it again
// asks the file system for nothing. When no more descriptors may be kept,
// only those facts are, and serving the file costs its open.
#pragma once
#include "core/simple_file.h"

#include <cstdint>
#include <memory>
#include <mutex>

class served_file_memo {
  public:
    served_file_memo() = default;
    // A copy is a configuration of its own, which may name another file.
    served_file_memo(const served_file_memo&) {}
    served_file_memo& operator=(const served_file_memo&) { return *this; }

    std::shared_ptr<const cl::file_snapshot> snapshot() const {
        std::lock_guard<std::mutex> g(lock_);
        return snapshot_;
    }
    void set_snapshot(std::shared_ptr<const cl::file_snapshot> s) {
        std::lock_guard<std::mutex> g(lock_);
        snapshot_ = std::move(s);
    }

    std::shared_ptr<const cl::file_snapshot> facts() const {
        std::lock_guard<std::mutex> g(lock_);
        return facts_;
    }
    void set_facts(std::shared_ptr<const cl::file_snapshot> f) {
        std::lock_guard<std::mutex> g(lock_);
        facts_ = std::move(f);
    }

    // Called once the file is open: takes the facts kept from an earlier
    // open of the same file, else keeps the file whole when it is at most
    // `snapshot_limit` bytes (the file is then served from memory), else
    // keeps it open, else keeps its facts for the next open.
    void after_open(cl::simple_file& f, uint64_t snapshot_limit) {
        if (auto known = facts(); known && f.adopt_facts(*known)) return;
        if (auto s = f.take_snapshot(snapshot_limit)) {
            set_snapshot(std::move(s));
            return;
        }
        if (auto kept = f.keep_open()) {
            set_snapshot(std::move(kept));
            return;
        }
        if (auto fresh = f.take_facts()) set_facts(std::move(fresh));
    }

    // Whether the file lies inside the document root of the given generation:
    // -1 when not known for that generation, else 0 or 1.
    int inside_root(uint64_t root_generation) const {
        std::lock_guard<std::mutex> g(lock_);
        return root_generation_ == root_generation ? inside_root_ : -1;
    }
    void set_inside_root(uint64_t root_generation, bool inside) {
        std::lock_guard<std::mutex> g(lock_);
        root_generation_ = root_generation;
        inside_root_ = inside ? 1 : 0;
    }

  private:
    mutable std::mutex lock_;
    std::shared_ptr<const cl::file_snapshot> snapshot_;
    std::shared_ptr<const cl::file_snapshot> facts_;
    uint64_t root_generation_ = 0;
    int inside_root_ = -1;
};
