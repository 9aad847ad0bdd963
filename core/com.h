// Helpers for component objects: an owning interface pointer and the bases
// that answer reference counting and interface queries for an object.
#pragma once
#include "core/ref_cnt.h"
#include "platform/automation/unknown.h"

#include <utility>

namespace cl {

// Owning interface pointer: copies take a reference on the new interface
// before dropping the old one.
template <class T> class com_ptr {
  public:
    com_ptr() = default;
    com_ptr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit com_ptr(T* p) : p_(p) {
        if (p_) p_->add_ref();
    }
    com_ptr(const com_ptr& o) : com_ptr(o.p_) {}
    com_ptr(com_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~com_ptr() { reset(); }
    com_ptr& operator=(const com_ptr& o) {
        if (o.p_ != p_) {
            if (o.p_) o.p_->add_ref();
            T* old = std::exchange(p_, o.p_);
            if (old) old->release();
        }
        return *this;
    }
    com_ptr& operator=(com_ptr&& o) noexcept {
        if (this != &o) {
            T* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            if (old) old->release();
        }
        return *this;
    }
    void reset() {
        if (T* old = std::exchange(p_, nullptr)) old->release();
    }
    // Adopts a reference the caller already holds (an out-parameter's result).
    void attach(T* p) {
        T* old = std::exchange(p_, p);
        if (old) old->release();
    }
    T* detach() { return std::exchange(p_, nullptr); }
    // For out-parameters: releases what is held and hands out the slot.
    T** put() {
        reset();
        return &p_;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// Implements the IUnknown contract for an object of interface I (which derives
// from automation::iunknown_i), with an atomic count. iid is the object's own
// interface identifier (null: none).
template <class I> class iunknown : public I {
  public:
    explicit iunknown(const automation::guid& iid = automation::iid_null) : iid_(iid) {}
    virtual ~iunknown() = default;

    automation::hresult query_interface(const automation::guid& iid, void** out) override {
        if (!out) return automation::e_pointer;
        if (iid == automation::iid_iunknown || (!(iid_ == automation::iid_null) && iid == iid_)) {
            add_ref();
            *out = static_cast<I*>(this);
            return automation::s_ok;
        }
        return query_other(iid, out);
    }
    uint32_t add_ref() override { return static_cast<uint32_t>(++count_); }
    uint32_t release() override {
        const int n = --count_;
        if (n == 0) delete this;
        return static_cast<uint32_t>(n);
    }

  protected:
    // Further interfaces of the class; the default knows none.
    virtual automation::hresult query_other(const automation::guid&, void** out) {
        *out = nullptr;
        return automation::e_nointerface;
    }

  private:
    automation::guid iid_;
    atomic<int> count_{0};
};

template <class I> class idispatch : public iunknown<I> {
  public:
    using iunknown<I>::iunknown;
    automation::hresult query_interface(const automation::guid& iid, void** out) override {
        if (out && iid == automation::iid_idispatch) {
            this->add_ref();
            *out = static_cast<I*>(this);
            return automation::s_ok;
        }
        return iunknown<I>::query_interface(iid, out);
    }
};

} // namespace cl
