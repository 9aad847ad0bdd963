// Intrusive reference counts: an atomic flavour for objects shared between
// threads and a plain one for objects that one thread owns, and the shared
// pointer that holds them.
#pragma once
#include <atomic>
#include <cstdint>
#include <utility>

namespace cl {

// Increment and decrement return the new value, as the interlocked calls do.
template <class T> class atomic {
  public:
    atomic(T v = T()) : v_(v) {}
    T operator++() { return v_.fetch_add(1, std::memory_order_relaxed) + 1; }
    T operator--() { return v_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    T load() const { return v_.load(std::memory_order_acquire); }
    void store(T v) { v_.store(v, std::memory_order_release); }
    operator T() const { return load(); }

  private:
    std::atomic<T> v_;
};

class ref_cnt_base {
  public:
    virtual int add_ref() = 0;
    virtual int release() = 0;
    virtual int count() const = 0;
    virtual ~ref_cnt_base() = default;
};

template <class Count> class ref_cnt_impl;

template <> class ref_cnt_impl<atomic<int>> : public ref_cnt_base {
  public:
    int add_ref() override { return ++cnt_; }
    int release() override {
        const int n = --cnt_;
        if (n == 0) delete this;
        return n;
    }
    int count() const override { return cnt_.load(); }

  protected:
    ref_cnt_impl() = default;
    ref_cnt_impl(const ref_cnt_impl&) : cnt_(0) {}
    ref_cnt_impl& operator=(const ref_cnt_impl&) { return *this; }

  private:
    atomic<int> cnt_{0};
};

template <> class ref_cnt_impl<int> : public ref_cnt_base {
  public:
    int add_ref() override { return ++cnt_; }
    int release() override {
        const int n = --cnt_;
        if (n == 0) delete this;
        return n;
    }
    int count() const override { return cnt_; }

  protected:
    ref_cnt_impl() = default;
    ref_cnt_impl(const ref_cnt_impl&) : cnt_(0) {}
    ref_cnt_impl& operator=(const ref_cnt_impl&) { return *this; }

  private:
    int cnt_ = 0;
};

using ref_cnt_shared = ref_cnt_impl<atomic<int>>;
using ref_cnt_single = ref_cnt_impl<int>;

// Shared owning pointer to a reference-counted object (null allowed). A fresh
// object starts at count 0; the first pointer that takes it makes it 1.
template <class T> class sh_ptr {
  public:
    sh_ptr() = default;
    sh_ptr(std::nullptr_t) {}
    explicit sh_ptr(T* p) : p_(p) {
        if (p_) p_->add_ref();
    }
    sh_ptr(const sh_ptr& o) : p_(o.p_) {
        if (p_) p_->add_ref();
    }
    sh_ptr(sh_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U> sh_ptr(const sh_ptr<U>& o) : p_(o.get()) {
        if (p_) p_->add_ref();
    }
    ~sh_ptr() {
        if (p_) p_->release();
    }
    sh_ptr& operator=(const sh_ptr& o) {
        reset(o.p_);
        return *this;
    }
    sh_ptr& operator=(sh_ptr&& o) noexcept {
        if (this != &o) {
            T* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            if (old) old->release();
        }
        return *this;
    }
    // Takes the new reference before dropping the old, so resetting to the
    // object already held is safe.
    void reset(T* p = nullptr) {
        if (p) p->add_ref();
        T* old = std::exchange(p_, p);
        if (old) old->release();
    }
    // Hands the reference to the caller without releasing it.
    T* detach() { return std::exchange(p_, nullptr); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    friend bool operator==(const sh_ptr& a, const sh_ptr& b) { return a.p_ == b.p_; }

  private:
    T* p_ = nullptr;
};

template <class T, class... A> sh_ptr<T> make_sh(A&&... a) {
    return sh_ptr<T>(new T(std::forward<A>(a)...));
}

} // namespace cl
