#include "platform/automation/dispatch.h"
#include "platform/automation/type_info.h"

#include <algorithm>

namespace automation {

dispparams dispparams::of(std::vector<variant> first_to_last) {
    dispparams p;
    p.args = std::move(first_to_last);
    std::reverse(p.args.begin(), p.args.end());
    return p;
}

hresult dispatch_get_id(idispatch_i* d, const std::wstring& name, dispid* out) {
    if (!d || !out) return e_pointer;
    return d->get_ids_of_names(iid_null, &name, 1, lcid_user_default, out);
}

hresult dispatch_call(idispatch_i* d, const std::wstring& name, uint16_t flags,
                      std::vector<variant> first_to_last, variant* result, excepinfo* ei) {
    dispid id = dispid_unknown;
    hresult hr = dispatch_get_id(d, name, &id);
    if (failed(hr)) return hr;
    dispparams params = dispparams::of(std::move(first_to_last));
    if (flags & (dispatch_propertyput | dispatch_propertyputref))
        params.named.push_back(dispid_propertyput);
    return d->invoke(id, iid_null, lcid_user_default, flags, params, result, ei, nullptr);
}

type_info::type_info(const guid& iid, std::wstring name, std::vector<member_desc> members)
    : iid_(iid), name_(std::move(name)), members_(std::move(members)) {}

const member_desc* type_info::find(dispid id) const {
    for (const auto& m : members_)
        if (m.id == id) return &m;
    return nullptr;
}

const member_desc* type_info::find(std::wstring_view name) const {
    for (const auto& m : members_)
        if (equal_names(m.name, name)) return &m;
    return nullptr;
}

hresult type_info::get_ids_of_names(const std::wstring* names, uint32_t count, dispid* ids) const {
    if (!names || !ids) return e_pointer;
    hresult hr = s_ok;
    for (uint32_t i = 0; i < count; ++i) {
        const member_desc* m = find(names[i]);
        ids[i] = m ? m->id : dispid_unknown;
        if (!m) hr = disp_e_unknownname;
    }
    return hr;
}

hresult type_info::get_names(dispid id, std::wstring* out) const {
    if (!out) return e_pointer;
    const member_desc* m = find(id);
    if (!m) return type_e_elementnotfound;
    *out = m->name;
    return s_ok;
}

hresult type_info::invoke(idispatch_i* self, dispid id, uint16_t flags, dispparams& params,
                          variant* result, excepinfo* ei, uint32_t* arg_err) const {
    const member_desc* m = find(id);
    if (!m || !m->call) return disp_e_membernotfound;
    // A caller that does not know whether it calls or reads offers both; the
    // method wins, as in the automation runtime.
    uint16_t kind = 0;
    if ((flags & dispatch_method) && (m->kinds & member_method))
        kind = member_method;
    else if ((flags & dispatch_propertyget) && (m->kinds & member_get))
        kind = member_get;
    else if ((flags & (dispatch_propertyput | dispatch_propertyputref)) && (m->kinds & member_put))
        kind = member_put;
    if (!kind) return disp_e_membernotfound;
    if (params.count() < m->min_args || params.count() > m->max_args) {
        if (arg_err) *arg_err = 0;
        return disp_e_badparamcount;
    }
    variant scratch;
    return m->call(self, kind, params, result ? result : &scratch, ei);
}

void type_library::add(const type_info* ti) {
    std::lock_guard g(lock_);
    infos_.push_back(ti);
}

hresult type_library::get_type_info_of_guid(const guid& iid, const type_info** out) const {
    if (!out) return e_pointer;
    std::lock_guard g(lock_);
    for (const type_info* ti : infos_)
        if (ti->iid() == iid) {
            *out = ti;
            return s_ok;
        }
    *out = nullptr;
    return type_e_elementnotfound;
}

type_library& program_type_library() {
    static type_library lib;
    return lib;
}

} // namespace automation
