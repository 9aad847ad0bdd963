#include "scripting/jscript/global_objects.h"

#include "core/format.h"
#include "core/trace.h"
#include "scripting/jscript/jscript_host.h"
#include "scripting/jscript/shost_file.h"
#include "scripting/jscript/webserver_object.h"
#include "server/http_request.h"
#include "server/http_tables.h"

#include <cmath>
#include <mutex>

using namespace automation;

namespace scripting {

namespace {

main_script_object* main_of(idispatch_i* self) {
    return static_cast<main_script_object*>(static_cast<ishost_i*>(self));
}
request_info* request_of(idispatch_i* self) {
    return static_cast<request_info*>(static_cast<irequest_info_i*>(self));
}

hresult bstr_arg(dispparams& p, std::size_t i, std::wstring& out) {
    variant v;
    const hresult hr = change_type(v, p.arg(i), vt_bstr);
    if (failed(hr)) return hr;
    out = v.bstr();
    return s_ok;
}

const type_info
    ishost_info(iid_ishost, L"ishost",
                {
                    {0x320, L"alert", member_method, 0, 1,
                     [](idispatch_i* s, uint16_t, dispparams& p, variant*, excepinfo*) {
                         return main_of(s)->alert(p.count() ? p.arg(0) : variant());
                     }},
                    {0x321, L"exit", member_method, 0, 0,
                     [](idispatch_i* s, uint16_t, dispparams&, variant*, excepinfo*) {
                         return main_of(s)->exit_script();
                     }},
                    {0x322, L"webserver", member_get | member_constant, 0, 0,
                     [](idispatch_i* s, uint16_t, dispparams&, variant* r, excepinfo*) {
                         return main_of(s)->webserver(r);
                     }},
                    {0x323, L"__declare_const", member_method, 1, 1,
                     [](idispatch_i* s, uint16_t, dispparams& p, variant*, excepinfo*) {
                         std::wstring name;
                         const hresult hr = bstr_arg(p, 0, name);
                         return failed(hr) ? hr : main_of(s)->declare_const(name);
                     }},
                    {0x324, L"require", member_method, 1, 1,
                     [](idispatch_i* s, uint16_t, dispparams& p, variant* r, excepinfo* ei) {
                         std::wstring name;
                         const hresult hr = bstr_arg(p, 0, name);
                         return failed(hr) ? hr : main_of(s)->require(name, r, ei);
                     }},
                    {0x325, L"exports", member_get | member_put, 0, 1,
                     [](idispatch_i* s, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
                         if (kind == member_put) {
                             if (p.count() != 1) return disp_e_badparamcount;
                             return main_of(s)->put_exports(p.arg(0));
                         }
                         return main_of(s)->get_exports(r);
                     }},
                });

const type_info
    irequire_obj_info(iid_irequire_obj, L"irequire_obj",
                      {
                          {0, L"construct", member_method, 0, 0,
                           [](idispatch_i* s, uint16_t, dispparams&, variant* r, excepinfo*) {
                               *r = variant::from_dispatch(s);
                               return s_ok;
                           }},
                      });

const type_info irequest_info_info(
    iid_irequest_info, L"irequest_info",
    {
        {0, L"construct", member_method, 0, 0,
         [](idispatch_i* s, uint16_t, dispparams&, variant* r, excepinfo*) {
             return request_of(s)->construct(r);
         }},
        {0x321, L"url", member_get | member_put, 0, 1,
         [](idispatch_i* s, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
             req_info* info = request_of(s)->provider().info();
             http_request_data* d = info ? info->data : nullptr;
             if (kind == member_put) {
                 std::wstring v;
                 const hresult hr = bstr_arg(p, p.count() - 1, v);
                 if (failed(hr)) return hr;
                 if (d) d->path = v;
                 return s_ok;
             }
             *r = variant::from_bstr(d ? d->path : std::wstring());
             return s_ok;
         }},
        {0x322, L"query_string", member_get | member_put, 0, 1,
         [](idispatch_i* s, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
             req_info* info = request_of(s)->provider().info();
             http_request_data* d = info ? info->data : nullptr;
             if (kind == member_put) {
                 std::wstring v;
                 const hresult hr = bstr_arg(p, p.count() - 1, v);
                 if (failed(hr)) return hr;
                 if (d) d->query = cl::utf16_to_utf8(v);
                 return s_ok;
             }
             *r = variant::from_bstr(d ? cl::utf8_to_utf16(d->query) : std::wstring());
             return s_ok;
         }},
        {0x323, L"request_method", member_get | member_put, 0, 1,
         [](idispatch_i* s, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
             req_info* info = request_of(s)->provider().info();
             http_request_data* d = info ? info->data : nullptr;
             if (kind == member_put) {
                 std::wstring v;
                 const hresult hr = bstr_arg(p, p.count() - 1, v);
                 if (failed(hr)) return hr;
                 if (!is_safe_header_value(v)) return e_invalidarg;
                 if (d) d->method = cl::utf16_to_utf8(v);
                 return s_ok;
             }
             std::string m = d ? d->method : (info ? info->get("REQUEST_METHOD") : std::string());
             *r = variant::from_bstr(cl::utf8_to_utf16(m));
             return s_ok;
         }},
    });

const std::set<std::wstring> builtin_names = {L"Navigator", L"webserver",      L"main",
                                              L"exit",      L"alert",          L"require",
                                              L"exports",   L"__declare_const"};

} // namespace

void register_script_type_info() {
    static std::once_flag once;
    std::call_once(once, [] {
        program_type_library().add(&ishost_info);
        program_type_library().add(&irequire_obj_info);
        program_type_library().add(&irequest_info_info);
        register_webserver_type_info();
    });
}

// --- main_script_object ---

main_script_object::main_script_object(jscript_host* host) : host_(host), consts_(builtin_names) {
    register_script_type_info();
    load_type_info(program_type_library(), iid_ishost);
    ++automation::g_com_stats.main_objects.created;
}

main_script_object::~main_script_object() {
    ++automation::g_com_stats.main_objects.destroyed;
}

hresult main_script_object::get_ids_of_names(const guid& iid, const std::wstring* names,
                                             uint32_t count, lcid lcid, dispid* ids) {
    for (uint32_t i = 0; names && i < count; ++i)
        asked_.insert(names[i]);
    return automation::idispatch<ishost_i>::get_ids_of_names(iid, names, count, lcid, ids);
}

std::wstring main_script_object::global_state_name() const {
    for (const std::wstring& n : asked_)
        if (!consts_.count(n)) return n;
    return {};
}

void main_script_object::set_current_request(const cl::sh_ptr<shost_file_adapter>& adapter) {
    if (webserver_) webserver_->set_request(adapter);
}

hresult main_script_object::alert(const variant& v) {
    std::wstring text;
    if (v.vt() == vt_r8 && std::isnan(v.r8()))
        text = L"NaN";
    else if (v.vt() == vt_r8 && std::isinf(v.r8()))
        text = v.r8() > 0 ? L"Infinity" : L"-Infinity";
    else if (v.vt() == vt_null)
        text = L"[null]";
    else if (v.vt() == vt_empty)
        text = L"[undefined]";
    else if (v.vt() == vt_bool)
        text = v.boolean() ? L"True" : L"False";
    else {
        variant s;
        const hresult hr = change_type(s, v, vt_bstr);
        if (failed(hr)) return hr;
        text = s.bstr();
    }
    if (text.empty()) text = L"[empty]";
    cl::trace_out.write_w(L"alert: " + text + L"\n");
    if (host_ && host_->errors_to_response())
        if (shost_file* f = host_->current_file()) f->write_error_text(text);
    return s_ok;
}

hresult main_script_object::exit_script() {
    if (!host_ || !host_->engine()) return e_unexpected;
    excepinfo ei;
    ei.source = L"qvel";
    ei.description = L"normal script exit";
    ei.scode = e_abort;
    return host_->engine()->interrupt_script_thread(script_engine::scriptthreadid_current, &ei, 0);
}

hresult main_script_object::webserver(variant* result) {
    if (!webserver_) {
        webserver_ = automation::com_ptr<webserver_object>(new webserver_object(this));
        if (host_) webserver_->set_request(host_->current());
    }
    *result = variant::from_dispatch(webserver_.get());
    return s_ok;
}

hresult main_script_object::declare_const(const std::wstring& name) {
    consts_.insert(name);
    return s_ok;
}

hresult main_script_object::require(const std::wstring& name, variant* result, excepinfo* ei) {
    if (!host_) return e_unexpected;
    return host_->require(name, result, ei);
}

hresult main_script_object::get_exports(variant* result) {
    if (exports_.is_empty()) {
        automation::com_ptr<require_obj> obj(new require_obj);
        exports_ = variant::from_dispatch(obj.get());
    }
    *result = exports_;
    return s_ok;
}

hresult main_script_object::put_exports(const variant& v) {
    exports_ = v;
    return s_ok;
}

// --- require_obj ---

require_obj::require_obj() {
    register_script_type_info();
    load_type_info(program_type_library(), iid_irequire_obj);
    ++automation::g_com_stats.require_objects.created;
}

require_obj::~require_obj() {
    ++automation::g_com_stats.require_objects.destroyed;
}

long require_obj::find(const std::wstring& name) const {
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name) return static_cast<long>(i);
    return -1;
}

hresult require_obj::get_disp_id(const std::wstring& name, uint32_t flags, dispid* out) {
    if (!out) return e_pointer;
    long i = find(name);
    if (i < 0) {
        if (!(flags & fdex_name_ensure)) {
            *out = dispid_unknown;
            return disp_e_unknownname;
        }
        names_.push_back(name);
        values_.emplace_back();
        i = static_cast<long>(names_.size() - 1);
        deleted_.insert(static_cast<std::size_t>(i));
    }
    *out = static_cast<dispid>(i + 1);
    return s_ok;
}

hresult require_obj::get_ids_of_names(const guid&, const std::wstring* names, uint32_t count, lcid,
                                      dispid* ids) {
    if (!names || !ids) return e_pointer;
    hresult hr = s_ok;
    for (uint32_t k = 0; k < count; ++k) {
        const long i = find(names[k]);
        ids[k] = i < 0 || deleted_.count(static_cast<std::size_t>(i)) ? dispid_unknown
                                                                      : static_cast<dispid>(i + 1);
        if (ids[k] == dispid_unknown) hr = disp_e_unknownname;
    }
    return hr;
}

hresult require_obj::delete_member_by_name(const std::wstring& name, uint32_t) {
    const long i = find(name);
    if (i < 0) return s_ok;
    return delete_member_by_disp_id(static_cast<dispid>(i + 1));
}

hresult require_obj::delete_member_by_disp_id(dispid id) {
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return disp_e_membernotfound;
    values_[static_cast<std::size_t>(id - 1)].clear();
    deleted_.insert(static_cast<std::size_t>(id - 1));
    return s_ok;
}

hresult require_obj::get_member_name(dispid id, std::wstring* out) {
    if (!out) return e_pointer;
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return disp_e_membernotfound;
    *out = names_[static_cast<std::size_t>(id - 1)];
    return s_ok;
}

hresult require_obj::get_next_disp_id(uint32_t, dispid id, dispid* out) {
    if (!out) return e_pointer;
    *out = -1;
    std::size_t i = id < 1 ? 0 : static_cast<std::size_t>(id);
    for (; i < names_.size(); ++i)
        if (!deleted_.count(i)) {
            *out = static_cast<dispid>(i + 1);
            return s_ok;
        }
    return s_false;
}

hresult require_obj::invoke(dispid member, const guid& iid, lcid lcid, uint16_t flags,
                            dispparams& params, variant* result, excepinfo* ei, uint32_t* arg_err) {
    if (member == 0)
        return automation::idispatch_ex<irequire_obj_i>::invoke(member, iid, lcid, flags, params,
                                                                result, ei, arg_err);
    return dynamic_invoke(member, lcid, flags, params, result, ei, nullptr);
}

hresult require_obj::dynamic_invoke(dispid id, lcid lcid, uint16_t flags, dispparams& params,
                                    variant* result, excepinfo* ei, iunknown_i*) {
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) return disp_e_membernotfound;
    const std::size_t i = static_cast<std::size_t>(id - 1);
    if ((flags & dispatch_method) && (flags & dispatch_propertyget) &&
        !(flags & ~(dispatch_method | dispatch_propertyget))) {
        idispatch_i* d = values_[i].dispatch();
        if (!d) return e_notimpl;
        return d->invoke(dispid_value, iid_null, lcid, flags, params, result, ei, nullptr);
    }
    if ((flags & dispatch_method) && !(flags & dispatch_propertyget)) {
        // A function kept in the exports, called as a method.
        idispatch_i* d = values_[i].dispatch();
        if (!d) return e_notimpl;
        return d->invoke(dispid_value, iid_null, lcid, dispatch_method, params, result, ei,
                         nullptr);
    }
    if (flags == dispatch_propertyget) {
        if (params.count()) return disp_e_badparamcount;
        if (result) {
            if (deleted_.count(i))
                result->clear();
            else
                *result = values_[i];
        }
        return s_ok;
    }
    if (flags & dispatch_propertyput) {
        if (params.count() != 1) return disp_e_badparamcount;
        if (params.named.size() > 1 ||
            (params.named.size() == 1 && params.named[0] != dispid_propertyput))
            return e_invalidarg;
        values_[i] = params.arg(0);
        deleted_.erase(i);
        return s_ok;
    }
    return e_notimpl;
}

// --- request headers ---

req_header_provider::req_header_provider(cl::sh_ptr<req_info> info,
                                         cl::sh_ptr<shost_file_adapter> run)
    : info_(std::move(info)), run_(std::move(run)) {}

req_info* req_header_provider::info() const {
    if (run_ && !run_->file()) return nullptr;
    return info_.get();
}

void req_header_provider::enumerate(std::vector<std::pair<std::wstring, std::wstring>>& out) const {
    const req_info* i = info();
    const http_request_data* d = i ? i->data : nullptr;
    if (!d) return;
    for (int i = 0; i < http_header_request_maximum; ++i) {
        const std::string& v = d->known_headers[static_cast<std::size_t>(i)];
        if (v.empty()) continue;
        out.emplace_back(cl::utf8_to_utf16(request_header_name(i)), cl::utf8_to_utf16(v));
    }
    for (const auto& [name, value] : d->unknown_headers)
        out.emplace_back(cl::utf8_to_utf16(name), cl::utf8_to_utf16(value));
}

bool req_header_provider::set(const std::wstring& name, const std::wstring& value) {
    req_info* i = info();
    http_request_data* d = i ? i->data : nullptr;
    if (!is_safe_header_value(name) || !is_safe_header_value(value)) return false;
    if (!d) return true;
    info_->settle_header_variables();
    const std::string n = cl::utf16_to_utf8(name);
    const std::string v = cl::utf16_to_utf8(value);
    const int id = request_header_id(n);
    if (id >= 0 && id < http_header_request_maximum)
        d->known_headers[static_cast<std::size_t>(id)] = v;
    else if (v.empty())
        d->unknown_headers.erase(n);
    else
        d->unknown_headers[n] = v;
    return true;
}

request_info::request_info(cl::sh_ptr<req_info> info, cl::sh_ptr<shost_file_adapter> run)
    : idispatch_ex_wstr_impl(&provider_), provider_(std::move(info), std::move(run)) {
    register_script_type_info();
    load_type_info(program_type_library(), iid_irequest_info);
    set_type_library_first(true);
}

request_info::~request_info() = default;

hresult request_info::construct(variant* result) {
    refresh();
    set_read_only(false);
    if (result) *result = variant::from_dispatch(static_cast<irequest_info_i*>(this));
    return s_ok;
}

hresult request_info::dynamic_invoke(dispid id, lcid lcid, uint16_t flags, dispparams& params,
                                     variant* result, excepinfo* ei, iunknown_i* caller) {
    if (id < 0x1000)
        return idispatch_ex_wstr_impl::dynamic_invoke(id, lcid, flags, params, result, ei, caller);
    if (static_cast<std::size_t>(id - 0x1000) >= member_count()) return disp_e_membernotfound;
    const std::size_t i = static_cast<std::size_t>(id - 0x1000);
    if (flags == dispatch_propertyget) {
        if (params.count()) return disp_e_badparamcount;
        if (result) {
            if (member_deleted(i))
                result->clear();
            else
                *result = variant::from_bstr(member_value(i));
        }
        return s_ok;
    }
    if ((flags & dispatch_propertyput) && !read_only()) {
        if (params.count() != 1) return disp_e_badparamcount;
        variant text;
        const hresult hr = change_type(text, params.arg(0), vt_bstr);
        if (failed(hr)) return hr;
        if (!provider_.set(member_name(i), text.bstr())) return e_invalidarg;
        set_member(member_name(i), text.bstr());
        return s_ok;
    }
    return e_notimpl;
}

// --- response headers ---

bool resp_header_provider::can_change() const {
    shost_file* f = request_ ? request_->file() : nullptr;
    return f && !f->header_sent();
}

response_header_object::response_header_object(cl::sh_ptr<response_headers> h,
                                               cl::sh_ptr<shost_file_adapter> request)
    : idispatch_ex_wstr_impl(&provider_), provider_(std::move(h), std::move(request)) {
    refresh();
    set_read_only(false);
}

hresult response_header_object::dynamic_invoke(dispid id, lcid lcid, uint16_t flags,
                                               dispparams& params, variant* result, excepinfo* ei,
                                               iunknown_i* caller) {
    if (id >= 0x1000 && static_cast<std::size_t>(id - 0x1000) < member_count() &&
        (flags & dispatch_propertyput)) {
        if (params.count() != 1) return disp_e_badparamcount;
        variant text;
        const hresult hr = change_type(text, params.arg(0), vt_bstr);
        if (failed(hr)) return hr;
        const std::wstring& name = member_name(static_cast<std::size_t>(id - 0x1000));
        // A line break in a name or value would let a script add header lines
        // of its own making (or end the head early).
        if (!is_safe_header_value(name) || !is_safe_header_value(text.bstr()) ||
            name.find(L':') != std::wstring::npos || name.find(L' ') != std::wstring::npos)
            return e_invalidarg;
        if (!provider_.can_change()) return e_fail;
        if (response_headers* h = provider_.headers()) h->add_wide(name, text.bstr());
        set_member(name, text.bstr());
        return s_ok;
    }
    return idispatch_ex_wstr_impl::dynamic_invoke(id, lcid, flags, params, result, ei, caller);
}

} // namespace scripting
