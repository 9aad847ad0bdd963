// Bases for the component objects this program implements: reference
// counting and interface queries, dispatch over a static member table,
// dispatch-ex with members added at run time, a class factory and a minimal
// stream; and the owning interface pointer.
#pragma once
#include "core/ref_cnt.h"
#include "platform/automation/class_registry.h"
#include "platform/automation/dispatch.h"
#include "platform/automation/stream.h"
#include "platform/automation/type_info.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include <utility>

namespace automation {

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

// Counters of script objects made and destroyed, traced at server stop.
struct com_stats {
    struct pair {
        cl::atomic<int> created;
        cl::atomic<int> destroyed;
    };
    pair require_objects;               // "R"
    pair main_objects;                  // "M"
    pair webservers;                    // "W"
    pair hosts;                         // "S"
    cl::atomic<int> global_state_waits; // "SW"
};
inline com_stats g_com_stats;

// Implements the IUnknown contract for an object of interface I (which derives
// from automation::iunknown_i), with an atomic count. iid is the object's own
// interface identifier (null: none). A new object starts at count 0; its
// creator's first reference owns it.
template <class I> class iunknown : public I {
  public:
    explicit iunknown(const automation::guid& iid = automation::iid_null)
        : iid_(iid), answers_own_iid_(!(iid == automation::iid_null)) {}
    virtual ~iunknown() = default;

    automation::hresult query_interface(const automation::guid& iid, void** out) override {
        if (!out) return automation::e_pointer;
        if (iid == automation::iid_iunknown || (answers_own_iid_ && iid == iid_)) {
            add_ref();
            *out = static_cast<I*>(this);
            return automation::s_ok;
        }
        if (automation::succeeded(query_other(iid, out))) return automation::s_ok;
        on_unknown_interface(iid);
        // A failed query hands back null, so a caller that forgets to check the
        // result never releases a stale pointer.
        *out = nullptr;
        return automation::e_nointerface;
    }
    uint32_t add_ref() override { return static_cast<uint32_t>(++count_); }
    uint32_t release() override {
        const int n = --count_;
        if (n == 0) delete this;
        return static_cast<uint32_t>(n);
    }

  protected:
    // Further interfaces of the class; the default knows none.
    virtual automation::hresult query_other(const automation::guid&, void**) {
        return automation::e_nointerface;
    }
    // Told of every interface the object was asked for and does not have.
    virtual void on_unknown_interface(const automation::guid&) {}
    void set_own_iid(const automation::guid& iid) {
        iid_ = iid;
        answers_own_iid_ = true;
    }
    const automation::guid& own_iid() const { return iid_; }

  private:
    automation::guid iid_;
    bool answers_own_iid_;
    cl::atomic<int> count_{0};
};

// IDispatch over the interface's static member table (I derives from
// automation::idispatch_i).
template <class I> class idispatch : public iunknown<I> {
  public:
    using iunknown<I>::iunknown;

    // Keeps the library, takes the interface's table and answers for its id.
    automation::hresult load_type_info(const automation::type_library& lib,
                                       const automation::guid& iid) {
        lib_ = &lib;
        type_iid_ = iid;
        this->set_own_iid(iid);
        return lib.get_type_info_of_guid(iid, &type_info_);
    }
    const automation::type_info* type_info() const { return type_info_; }

    automation::hresult get_type_info_count(uint32_t* out) override {
        if (!out) return automation::e_pointer;
        *out = type_info_ ? 1 : 0;
        return automation::s_ok;
    }
    automation::hresult get_type_info(uint32_t index, automation::lcid,
                                      const automation::type_info** out) override {
        if (!out) return automation::e_pointer;
        *out = nullptr;
        if (index != 0) return static_cast<automation::hresult>(0x8002000B); // DISP_E_BADINDEX
        if (!type_info_) return automation::e_notimpl;
        *out = type_info_;
        return automation::s_ok;
    }
    automation::hresult get_ids_of_names(const automation::guid&, const std::wstring* names,
                                         uint32_t count, automation::lcid,
                                         automation::dispid* ids) override {
        if (!type_info_) return automation::e_notimpl;
        return type_info_->get_ids_of_names(names, count, ids);
    }
    automation::hresult invoke(automation::dispid member, const automation::guid&, automation::lcid,
                               uint16_t flags, automation::dispparams& params,
                               automation::variant* result, automation::excepinfo* ei,
                               uint32_t* arg_err) override {
        if (!type_info_) return automation::e_notimpl;
        const automation::hresult hr =
            type_info_->invoke(static_cast<I*>(this), member, flags, params, result, ei, arg_err);
        if (hr == automation::disp_e_membernotfound && (flags & automation::dispatch_propertyget) &&
            result) {
            // Reading a method as a property tells whether it exists.
            std::wstring name;
            const automation::hresult names_hr = type_info_->get_names(member, &name);
            *result = automation::variant::from_bool(!name.empty());
            if (name.empty()) *result = automation::variant::from_int(automation::vt_bool, 0);
            return names_hr;
        }
        return hr;
    }

  protected:
    automation::hresult query_other(const automation::guid& iid, void** out) override {
        if (iid == automation::iid_idispatch) {
            this->add_ref();
            *out = static_cast<I*>(this);
            return automation::s_ok;
        }
        return iunknown<I>::query_other(iid, out);
    }

  private:
    const automation::type_library* lib_ = nullptr;
    automation::guid type_iid_{};
    const automation::type_info* type_info_ = nullptr;
};

// IDispatchEx on top of the member table (I derives from automation::idispatch_ex_i).
template <class I> class idispatch_ex : public idispatch<I> {
  public:
    using idispatch<I>::idispatch;

    automation::hresult get_disp_id(const std::wstring& name, uint32_t flags,
                                    automation::dispid* out) override {
        if (!out) return automation::e_pointer;
        const automation::hresult hr = this->get_ids_of_names(automation::iid_null, &name, 1,
                                                              automation::lcid_user_default, out);
        if (automation::succeeded(hr)) return hr;
        return (flags & automation::fdex_name_ensure) ? automation::e_notimpl
                                                      : automation::disp_e_unknownname;
    }
    automation::hresult invoke_ex(automation::dispid member, automation::lcid lcid, uint16_t flags,
                                  automation::dispparams& params, automation::variant* result,
                                  automation::excepinfo* ei,
                                  automation::iunknown_i* caller) override {
        if ((flags & automation::dispatch_construct) || member == automation::dispid_value)
            return this->invoke(automation::dispid_value, automation::iid_null, lcid,
                                automation::dispatch_method, params, result, ei, nullptr);
        return dynamic_invoke(member, lcid, flags, params, result, ei, caller);
    }
    automation::hresult delete_member_by_name(const std::wstring&, uint32_t) override {
        return automation::e_notimpl;
    }
    automation::hresult delete_member_by_disp_id(automation::dispid) override {
        return automation::e_notimpl;
    }
    automation::hresult get_member_properties(automation::dispid, uint32_t, uint32_t*) override {
        return automation::e_notimpl;
    }
    automation::hresult get_member_name(automation::dispid, std::wstring*) override {
        return automation::e_notimpl;
    }
    automation::hresult get_next_disp_id(uint32_t, automation::dispid,
                                         automation::dispid*) override {
        return automation::e_notimpl;
    }
    automation::hresult get_name_space_parent(automation::iunknown_i**) override {
        return automation::e_notimpl;
    }

  protected:
    // Calls other than construction and the value member; the default goes
    // through the member table.
    virtual automation::hresult dynamic_invoke(automation::dispid member, automation::lcid lcid,
                                               uint16_t flags, automation::dispparams& params,
                                               automation::variant* result,
                                               automation::excepinfo* ei, automation::iunknown_i*) {
        return this->invoke(member, automation::iid_null, lcid, flags, params, result, ei, nullptr);
    }
    automation::hresult query_other(const automation::guid& iid, void** out) override {
        if (iid == automation::iid_idispatch_ex) {
            this->add_ref();
            *out = static_cast<I*>(this);
            return automation::s_ok;
        }
        return idispatch<I>::query_other(iid, out);
    }
};

// Dynamic members named by wide strings with wide-string values, dispids from
// BaseId upward. Provider supplies them: it has
//   void refresh_members(M& members)   (fills or updates them with set_member)
//   void member_deleted(const std::wstring& name)
// where M is this class. Names compare without regard to case.
template <class I, automation::dispid BaseId, class Provider>
class idispatch_ex_wstr_impl : public idispatch_ex<I> {
  public:
    explicit idispatch_ex_wstr_impl(Provider* provider,
                                    const automation::guid& iid = automation::iid_null)
        : idispatch_ex<I>(iid), provider_(provider) {}

    void set_read_only(bool on) { read_only_ = on; }
    bool read_only() const { return read_only_; }
    void set_type_library_first(bool on) { type_library_first_ = on; }
    bool changed() const { return changed_; }
    void set_changed(bool on) { changed_ = on; }
    std::size_t member_count() const { return names_.size(); }
    const std::wstring& member_name(std::size_t i) const { return names_[i]; }
    const std::wstring& member_value(std::size_t i) const { return values_[i]; }
    bool member_deleted(std::size_t i) const { return deleted_.count(i) != 0; }

    // Adds the member or gives it a new value; either way it has a value now.
    std::size_t set_member(const std::wstring& name, const std::wstring& value) {
        const std::size_t i = index_of(name, true);
        values_[i] = value;
        deleted_.erase(i);
        return i;
    }
    // The member's index, or -1.
    long find_member(const std::wstring& name) const {
        auto it = index_.find(automation::fold_name(name));
        return it == index_.end() ? -1 : static_cast<long>(it->second);
    }

    automation::hresult get_disp_id(const std::wstring& name, uint32_t flags,
                                    automation::dispid* out) override {
        if (!out) return automation::e_pointer;
        if (type_library_first_ && this->type_info() &&
            automation::succeeded(this->type_info()->get_ids_of_names(&name, 1, out)))
            return automation::s_ok;
        (void)flags;
        refresh();
        long i = find_member(name);
        if (i < 0) {
            if (read_only_) {
                *out = automation::dispid_unknown;
                return automation::disp_e_unknownname;
            }
            // A name asked for is reserved without a value until assigned.
            i = static_cast<long>(index_of(name, true));
            deleted_.insert(static_cast<std::size_t>(i));
            changed_ = true;
        }
        *out = BaseId + static_cast<automation::dispid>(i);
        return automation::s_ok;
    }
    automation::hresult get_ids_of_names(const automation::guid& iid, const std::wstring* names,
                                         uint32_t count, automation::lcid lcid,
                                         automation::dispid* ids) override {
        if (this->type_info() &&
            automation::succeeded(idispatch_ex<I>::get_ids_of_names(iid, names, count, lcid, ids)))
            return automation::s_ok;
        if (!names || !ids) return automation::e_pointer;
        refresh();
        automation::hresult hr = automation::s_ok;
        for (uint32_t k = 0; k < count; ++k) {
            const long i = find_member(names[k]);
            ids[k] =
                i < 0 ? automation::dispid_unknown : BaseId + static_cast<automation::dispid>(i);
            if (i < 0) hr = automation::disp_e_unknownname;
        }
        return hr;
    }
    automation::hresult delete_member_by_name(const std::wstring& name, uint32_t) override {
        if (read_only_) return automation::e_notimpl;
        const long i = find_member(name);
        if (i < 0) return automation::s_ok; // deleting what is not there succeeds, as in JavaScript
        return delete_member_by_disp_id(BaseId + static_cast<automation::dispid>(i));
    }
    automation::hresult delete_member_by_disp_id(automation::dispid id) override {
        if (read_only_) return automation::e_notimpl;
        if (id < BaseId || static_cast<std::size_t>(id - BaseId) >= names_.size())
            return automation::disp_e_membernotfound;
        const std::size_t i = static_cast<std::size_t>(id - BaseId);
        values_[i].clear();
        deleted_.insert(i);
        if (provider_) provider_->member_deleted(names_[i]);
        return automation::s_ok;
    }
    automation::hresult get_member_properties(automation::dispid id, uint32_t mask,
                                              uint32_t* out) override {
        if (!out) return automation::e_pointer;
        if (id == 0) {
            *out = mask & 0x2528;
            return automation::s_ok;
        }
        if (id > 0 && id < BaseId) return automation::e_notimpl;
        *out = mask & (read_only_ ? 0x2A69u : 0x2A65u);
        return automation::s_ok;
    }
    automation::hresult get_member_name(automation::dispid id, std::wstring* out) override {
        if (!out) return automation::e_pointer;
        if (id < BaseId || static_cast<std::size_t>(id - BaseId) >= names_.size())
            return automation::disp_e_membernotfound;
        *out = names_[static_cast<std::size_t>(id - BaseId)];
        return automation::s_ok;
    }
    automation::hresult get_next_disp_id(uint32_t, automation::dispid id,
                                         automation::dispid* out) override {
        if (!out) return automation::e_pointer;
        *out = -1;
        if (id == automation::dispid_startenum) refresh();
        if (names_.empty()) return automation::s_false;
        if (id == automation::dispid_startenum) {
            *out = BaseId;
            return automation::s_ok;
        }
        std::size_t i = id < BaseId ? 0 : static_cast<std::size_t>(id - BaseId) + 1;
        for (; i < names_.size(); ++i)
            if (!deleted_.count(i)) {
                *out = BaseId + static_cast<automation::dispid>(i);
                return automation::s_ok;
            }
        *out = BaseId + static_cast<automation::dispid>(names_.size());
        return automation::s_false;
    }

    // Callers of plain IDispatch (the engine among them) reach the dynamic
    // members here: the member table knows none of their ids.
    automation::hresult invoke(automation::dispid member, const automation::guid& iid,
                               automation::lcid lcid, uint16_t flags,
                               automation::dispparams& params, automation::variant* result,
                               automation::excepinfo* ei, uint32_t* arg_err) override {
        if (member >= BaseId)
            return this->dynamic_invoke(member, lcid, flags, params, result, ei, nullptr);
        return idispatch_ex<I>::invoke(member, iid, lcid, flags, params, result, ei, arg_err);
    }

  protected:
    automation::hresult dynamic_invoke(automation::dispid id, automation::lcid lcid, uint16_t flags,
                                       automation::dispparams& params, automation::variant* result,
                                       automation::excepinfo* ei,
                                       automation::iunknown_i* caller) override {
        if (id < BaseId)
            return idispatch_ex<I>::dynamic_invoke(id, lcid, flags, params, result, ei, caller);
        if (static_cast<std::size_t>(id - BaseId) >= names_.size())
            return automation::disp_e_membernotfound;
        const std::size_t i = static_cast<std::size_t>(id - BaseId);
        if (flags & (automation::dispatch_propertyput | automation::dispatch_propertyputref)) {
            if (read_only_) return automation::e_notimpl;
            if (params.count() < 1) return automation::disp_e_badparamcount;
            automation::variant text;
            const automation::hresult hr =
                automation::change_type(text, params.arg(params.count() - 1), automation::vt_bstr);
            if (automation::failed(hr)) return hr;
            values_[i] = text.bstr();
            deleted_.erase(i);
            changed_ = true;
            return automation::s_ok;
        }
        if (flags & automation::dispatch_propertyget) {
            if (result) {
                if (deleted_.count(i))
                    result->clear();
                else
                    *result = automation::variant::from_bstr(values_[i]);
            }
            return automation::s_ok;
        }
        return automation::disp_e_membernotfound;
    }
    void refresh() {
        if (provider_) provider_->refresh_members(*this);
    }

  private:
    std::size_t index_of(const std::wstring& name, bool create) {
        const std::wstring key = automation::fold_name(name);
        auto it = index_.find(key);
        if (it != index_.end() || !create) return it == index_.end() ? ~std::size_t{0} : it->second;
        names_.push_back(name);
        values_.emplace_back();
        index_.emplace(key, names_.size() - 1);
        return names_.size() - 1;
    }

    Provider* provider_;
    std::map<std::wstring, std::size_t> index_;
    std::vector<std::wstring> names_;
    std::vector<std::wstring> values_;
    std::set<std::size_t> deleted_;
    bool changed_ = false;
    bool read_only_ = true;
    bool type_library_first_ = false;
};

class com_factory_base : public automation::iclassfactory_i {
  public:
    automation::hresult query_interface(const automation::guid& iid, void** out) override {
        if (!out) return automation::e_pointer;
        *out = nullptr;
        if (iid == automation::iid_iclassfactory || iid == automation::iid_iunknown) {
            *out = static_cast<automation::iclassfactory_i*>(this);
            return automation::s_ok;
        }
        return automation::e_nointerface;
    }
    // The factory is a static object: the counts are fixed.
    uint32_t add_ref() override { return 1; }
    uint32_t release() override { return 1; }
    automation::hresult lock_server(bool lock) override {
        locked_ = lock;
        return automation::s_ok;
    }
    bool locked() const { return locked_; }

  protected:
    ~com_factory_base() = default;

  private:
    bool locked_ = false;
};

// Class factory of T (an iunknown-based class that is default-constructible).
template <class T> class com_factory : public com_factory_base {
  public:
    explicit com_factory(const automation::guid& iid) : iid_(iid) {}
    automation::hresult create_instance(automation::iunknown_i*, const automation::guid& iid,
                                        void** out) override {
        if (!out) return automation::e_pointer;
        *out = nullptr;
        if (!(iid == iid_) && !(iid == automation::iid_iunknown)) return automation::e_nointerface;
        com_ptr<T> obj(new T);
        return obj->query_interface(iid, out);
    }
    const automation::guid& iid() const { return iid_; }

  private:
    automation::guid iid_;
};

// The minimal stream: reads and writes move no bytes, everything else is
// not implemented. Streams that carry data derive from it.
class com_istream : public automation::istream_i {
  public:
    virtual ~com_istream() = default;
    automation::hresult query_interface(const automation::guid& iid, void** out) override {
        if (!out) return automation::e_pointer;
        *out = nullptr;
        if (iid == automation::iid_istream || iid == automation::iid_isequentialstream ||
            iid == automation::iid_iunknown) {
            add_ref();
            *out = static_cast<automation::istream_i*>(this);
            return automation::s_ok;
        }
        return automation::e_nointerface;
    }
    uint32_t add_ref() override { return static_cast<uint32_t>(++count_); }
    uint32_t release() override {
        const int n = --count_;
        if (n == 0) delete this;
        return static_cast<uint32_t>(n);
    }
    automation::hresult read(void*, uint32_t, uint32_t* done) override {
        if (done) *done = 0;
        return automation::s_ok;
    }
    automation::hresult write(const void*, uint32_t, uint32_t* done) override {
        if (done) *done = 0;
        return automation::s_ok;
    }
    automation::hresult seek(int64_t, uint32_t, uint64_t*) override {
        return automation::e_notimpl;
    }
    automation::hresult set_size(uint64_t) override { return automation::e_notimpl; }
    automation::hresult copy_to(automation::istream_i*, uint64_t, uint64_t*, uint64_t*) override {
        return automation::e_notimpl;
    }
    automation::hresult commit(uint32_t) override { return automation::e_notimpl; }
    automation::hresult revert() override { return automation::e_notimpl; }
    automation::hresult lock_region(uint64_t, uint64_t, uint32_t) override {
        return automation::e_notimpl;
    }
    automation::hresult unlock_region(uint64_t, uint64_t, uint32_t) override {
        return automation::e_notimpl;
    }
    automation::hresult stat(automation::statstg*, uint32_t) override {
        return automation::e_notimpl;
    }
    automation::hresult clone(automation::istream_i**) override { return automation::e_notimpl; }

  private:
    cl::atomic<int> count_{0};
};

} // namespace automation
