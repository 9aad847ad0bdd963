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

#include <atomic>
#include <cstdint>
#include <memory>

class served_file_memo {
  public:
    served_file_memo() = default;
    // A copy is a configuration of its own, which may name another file.
    served_file_memo(const served_file_memo&) {}
    served_file_memo& operator=(const served_file_memo&) { return *this; }

    std::shared_ptr<const cl::file_snapshot> snapshot() const { return snapshot_.get(); }
    void set_snapshot(std::shared_ptr<const cl::file_snapshot> s) { snapshot_.set(std::move(s)); }

    std::shared_ptr<const cl::file_snapshot> facts() const { return facts_.get(); }
    void set_facts(std::shared_ptr<const cl::file_snapshot> f) { facts_.set(std::move(f)); }

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
        const uint64_t v = inside_root_.load(std::memory_order_acquire);
        if (!(v & known_bit) || (v >> 2) != root_generation) return -1;
        return static_cast<int>(v & inside_bit);
    }
    void set_inside_root(uint64_t root_generation, bool inside) {
        inside_root_.store((root_generation << 2) | known_bit | (inside ? inside_bit : 0),
                           std::memory_order_release);
    }

  private:
    // Requests on every core read these at once; they are written once (the
    // file cannot change while the configuration holds: a change makes a new
    // one), so a read takes no lock. The first of two racing writers wins.
    template <class T> class write_once {
      public:
        std::shared_ptr<const T> get() const {
            return published_.load(std::memory_order_acquire) ? value_ : nullptr;
        }
        void set(std::shared_ptr<const T> v) {
            if (!v || claimed_.exchange(true)) return;
            value_ = std::move(v);
            published_.store(true, std::memory_order_release);
        }

      private:
        std::atomic<bool> claimed_{false};
        std::atomic<bool> published_{false};
        std::shared_ptr<const T> value_;
    };

    static constexpr uint64_t known_bit = 2, inside_bit = 1;
    write_once<cl::file_snapshot> snapshot_;
    write_once<cl::file_snapshot> facts_;
    // The root's generation shifted left by two, known_bit and inside_bit.
    std::atomic<uint64_t> inside_root_{0};
};
