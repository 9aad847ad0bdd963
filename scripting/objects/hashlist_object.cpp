// The script face of hash lists: the list object, its iterators, and the
// object view of the entries under a key prefix.
#include "core/text.h"
#include "scripting/hashlist.h"
#include "scripting/objects/object_support.h"
#include "scripting/objects/script_objects.h"

namespace scripting::objects {

namespace {

struct ihashlist_i : idispatch_i {};
struct ihashlist_iterator_i : idispatch_i {};
struct ihashlist_values_i : idispatch_ex_i {};
constexpr guid iid_ihashlist{
    0xBACE1F0B, 0xB524, 0x452B, {0x98, 0xB0, 0xBC, 0x88, 0x11, 0xDA, 0xB4, 0xDB}};
constexpr guid iid_ihashlist_iterator{
    0x5B0E93A1, 0x6C2D, 0x4E8F, {0x9A, 0x71, 0x3D, 0x52, 0xC4, 0x18, 0xE0, 0x6B}};

std::string utf8(const std::wstring& s) {
    return cl::utf16_to_utf8(s);
}
std::wstring wide(const std::string& s) {
    return cl::utf8_to_utf16(s);
}

class hashlist_obj final : public automation::idispatch<ihashlist_i> {
  public:
    explicit hashlist_obj(cl::sh_ptr<hashlist> list) : list_(std::move(list)) {
        load_type_info(program_type_library(), iid_ihashlist);
    }
    hashlist& list() { return *list_; }
    const cl::sh_ptr<hashlist>& shared() const { return list_; }

  private:
    cl::sh_ptr<hashlist> list_;
};

class iterator_obj final : public automation::idispatch<ihashlist_iterator_i> {
  public:
    explicit iterator_obj(cl::sh_ptr<hashlist_iterator> it) : it_(std::move(it)) {
        load_type_info(program_type_library(), iid_ihashlist_iterator);
    }
    hashlist_iterator& it() { return *it_; }

  private:
    cl::sh_ptr<hashlist_iterator> it_;
};

// The entries under a prefix as properties; writes and deletes go back to the list.
class values_obj;
class hashlist_value_provider {
  public:
    explicit hashlist_value_provider(cl::sh_ptr<hashlist> list) : list_(std::move(list)) {}
    template <class M> void refresh_members(M&) {}
    void member_deleted(const std::wstring& name) { list_->erase(utf8(name)); }
    void member_put(const std::wstring& name, const std::wstring& value) {
        list_->set_value(utf8(name), utf8(value));
    }
    hashlist& list() { return *list_; }

  private:
    cl::sh_ptr<hashlist> list_;
};

class values_obj final : public automation::idispatch_ex_wstr_impl<ihashlist_values_i, 0x1000,
                                                                   hashlist_value_provider> {
    using base =
        automation::idispatch_ex_wstr_impl<ihashlist_values_i, 0x1000, hashlist_value_provider>;

  public:
    values_obj(cl::sh_ptr<hashlist> list, const std::string& prefix)
        : base(&provider_), provider_(std::move(list)) {
        set_read_only(false);
        auto it = provider_.list().lower_bound(prefix);
        for (int guard = 0; guard < 10000000 && !it->at_end(); ++guard, it->inc(1)) {
            const std::string key = it->key();
            if (key.compare(0, prefix.size(), prefix) != 0) break;
            set_member(wide(key), wide(it->value()));
        }
        set_changed(false);
    }

  protected:
    hresult dynamic_invoke(dispid id, lcid lcid, uint16_t flags, dispparams& params,
                           variant* result, excepinfo* ei, iunknown_i* caller) override {
        const hresult hr = base::dynamic_invoke(id, lcid, flags, params, result, ei, caller);
        if (succeeded(hr) && (flags & (dispatch_propertyput | dispatch_propertyputref)) &&
            id >= 0x1000 && static_cast<std::size_t>(id - 0x1000) < member_count()) {
            const std::size_t i = static_cast<std::size_t>(id - 0x1000);
            provider_.member_put(member_name(i), member_value(i));
        }
        return hr;
    }

  private:
    hashlist_value_provider provider_;
};

hashlist_obj* list_of(idispatch_i* d) {
    return self_as<hashlist_obj, ihashlist_i>(d);
}
iterator_obj* iter_of(idispatch_i* d) {
    return self_as<iterator_obj, ihashlist_iterator_i>(d);
}

hresult key_arg(const dispparams& p, std::size_t i, std::string& out) {
    std::wstring k;
    const hresult hr = to_text(p.arg(i), k);
    if (succeeded(hr)) out = utf8(k);
    return hr;
}

void give_iterator(variant* r, cl::sh_ptr<hashlist_iterator> it);

hresult m_open(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    int32_t interval = 0;
    if (!missing(p, 0)) {
        const hresult hr = to_i4(p.arg(0), interval);
        if (failed(hr)) return hr;
    }
    list_of(d)->list().open(interval);
    return s_ok;
}
hresult m_remove(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bool(list_of(d)->list().remove());
    return s_ok;
}
hresult m_save(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    std::wstring fn;
    if (!missing(p, 0)) {
        const hresult hr = to_text(p.arg(0), fn);
        if (failed(hr)) return hr;
    }
    *r = variant::from_bool(list_of(d)->list().save(fn));
    return s_ok;
}
// value(key) reads; value(key, v) stores.
hresult m_value(idispatch_i* d, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
    std::string key;
    hresult hr = key_arg(p, 0, key);
    if (failed(hr)) return hr;
    if (p.count() >= 2 || kind == member_put) {
        if (p.count() < 2) return disp_e_badparamcount;
        std::wstring v;
        if (failed(hr = to_text(p.arg(p.count() - 1), v))) return hr;
        list_of(d)->list().set_value(key, utf8(v));
        return s_ok;
    }
    *r = variant::from_bstr(wide(list_of(d)->list().value(key)));
    return s_ok;
}
hresult m_to_object(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    std::string prefix;
    if (!missing(p, 0)) {
        const hresult hr = key_arg(p, 0, prefix);
        if (failed(hr)) return hr;
    }
    automation::com_ptr<values_obj> obj(new values_obj(list_of(d)->shared(), prefix));
    *r = variant::from_dispatch(obj.get());
    return s_ok;
}
hresult m_erase(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    std::string key;
    const hresult hr = key_arg(p, 0, key);
    if (failed(hr)) return hr;
    *r = variant::from_bool(list_of(d)->list().erase(key));
    return s_ok;
}
hresult m_clear(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bool(list_of(d)->list().clear());
    return s_ok;
}
hresult m_begin(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    give_iterator(r, list_of(d)->list().begin());
    return s_ok;
}
hresult m_end(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    give_iterator(r, list_of(d)->list().end());
    return s_ok;
}
template <cl::sh_ptr<hashlist_iterator> (hashlist::*F)(std::string_view)>
hresult m_position(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    std::string key;
    const hresult hr = key_arg(p, 0, key);
    if (failed(hr)) return hr;
    give_iterator(r, (list_of(d)->list().*F)(key));
    return s_ok;
}
hresult m_size(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_i4(list_of(d)->list().size());
    return s_ok;
}
hresult m_enable_logging(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    int32_t size = 0;
    const hresult hr = to_i4(p.arg(0), size);
    if (failed(hr)) return hr;
    list_of(d)->list().enable_logging(static_cast<uint32_t>(size));
    return s_ok;
}
hresult m_log_prefix(idispatch_i* d, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
    if (kind == member_put) {
        std::wstring v;
        const hresult hr = to_text(p.arg(p.count() - 1), v);
        if (failed(hr)) return hr;
        list_of(d)->list().set_log_prefix(utf8(v));
        return s_ok;
    }
    *r = variant::from_bstr(wide(list_of(d)->list().log_prefix()));
    return s_ok;
}

const type_info ihashlist_type{
    iid_ihashlist,
    L"ihashlist",
    {{0x320, L"open", member_method, 0, 1, m_open},
     {0x321, L"remove", member_method, 0, 0, m_remove},
     {0x322, L"save", member_method, 0, 1, m_save},
     {0x323, L"value", member_method | member_put, 1, 2, m_value},
     {0x324, L"toObject", member_method, 0, 1, m_to_object},
     {0x325, L"erase", member_method, 1, 1, m_erase},
     {0x326, L"clear", member_method, 0, 0, m_clear},
     {0x327, L"begin", member_method, 0, 0, m_begin},
     {0x328, L"end", member_method, 0, 0, m_end},
     {0x329, L"find", member_method, 1, 1, m_position<&hashlist::find>},
     {0x32a, L"lower_bound", member_method, 1, 1, m_position<&hashlist::lower_bound>},
     {0x32b, L"upper_bound", member_method, 1, 1, m_position<&hashlist::upper_bound>},
     {0x32c, L"size", member_method, 0, 0, m_size},
     {0x32d, L"enable_logging", member_method, 1, 1, m_enable_logging},
     {0x32e, L"log_prefix", member_get | member_put, 0, 1, m_log_prefix}}};

// ---- iterators ----

hresult m_it_equal(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    idispatch_i* other = p.arg(0).dispatch();
    void* q = nullptr;
    bool same = false;
    if (other && succeeded(other->query_interface(iid_ihashlist_iterator, &q))) {
        automation::com_ptr<ihashlist_iterator_i> hold;
        hold.attach(static_cast<ihashlist_iterator_i*>(q));
        same = iter_of(d)->it().equal(&iter_of(hold.get())->it());
    }
    *r = variant::from_bool(same);
    return s_ok;
}
hresult step_arg(const dispparams& p, int32_t& n) {
    n = 1;
    return missing(p, 0) ? s_ok : to_i4(p.arg(0), n);
}
hresult m_it_inc(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    int32_t n = 1;
    const hresult hr = step_arg(p, n);
    if (failed(hr)) return hr;
    iter_of(d)->it().inc(n);
    return s_ok;
}
hresult m_it_dec(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    int32_t n = 1;
    const hresult hr = step_arg(p, n);
    if (failed(hr)) return hr;
    iter_of(d)->it().dec(n);
    return s_ok;
}
hresult m_it_key(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bstr(wide(iter_of(d)->it().key()));
    return s_ok;
}
hresult m_it_value(idispatch_i* d, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
    if (kind == member_put) {
        std::wstring v;
        const hresult hr = to_text(p.arg(p.count() - 1), v);
        if (failed(hr)) return hr;
        return iter_of(d)->it().set_value(utf8(v)) ? s_ok : e_fail;
    }
    *r = variant::from_bstr(wide(iter_of(d)->it().value()));
    return s_ok;
}
hresult m_it_write_flag(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    bool on = true;
    if (!missing(p, 0)) {
        const hresult hr = to_bool(p.arg(0), on);
        if (failed(hr)) return hr;
    }
    iter_of(d)->it().set_write_flag(on);
    return s_ok;
}

const type_info iterator_type{iid_ihashlist_iterator,
                              L"ihashlist_iterator",
                              {{0x320, L"equal", member_method, 1, 1, m_it_equal},
                               {0x321, L"inc", member_method, 0, 1, m_it_inc},
                               {0x322, L"dec", member_method, 0, 1, m_it_dec},
                               {0x323, L"key", member_method, 0, 0, m_it_key},
                               {0x324, L"value", member_get | member_put, 0, 1, m_it_value},
                               {0x325, L"_set_write_flag", member_method, 0, 1, m_it_write_flag}}};

void give_iterator(variant* r, cl::sh_ptr<hashlist_iterator> it) {
    automation::com_ptr<iterator_obj> obj(new iterator_obj(std::move(it)));
    *r = variant::from_dispatch(obj.get());
}

} // namespace

dispatch_ptr hashlist_object(cl::sh_ptr<hashlist> list) {
    register_type_once(ihashlist_type);
    register_type_once(iterator_type);
    if (!list) return dispatch_ptr();
    return dispatch_ptr(new hashlist_obj(std::move(list)));
}

} // namespace scripting::objects
