// The bridge between duktape and the automation objects. Engine errors are
// C++ exceptions here (the engine is built that way), so native frames that
// an error passes through unwind normally; every entry from native code into
// the engine goes through a protected call.
#include "platform/script_engine/engine.h"
#include "platform/automation/class_registry.h"
#include "platform/automation/type_info.h"

#include <duktape.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace script_engine {

using namespace automation;

namespace {

thread_local engine* t_current = nullptr;

// Asked of a dispatch object that is a JavaScript value of an engine.
constexpr guid iid_js_value{
    0x5A1C0E01, 0x7D2B, 0x4E63, {0x9F, 0x10, 0x3B, 0x44, 0x8C, 0x21, 0x6E, 0x05}};

constexpr const char* k_ptr = DUK_HIDDEN_SYMBOL("tq_ptr");
constexpr const char* k_target = DUK_HIDDEN_SYMBOL("tq_target");
constexpr const char* k_dispid = DUK_HIDDEN_SYMBOL("tq_dispid");
constexpr const char* k_kind = DUK_HIDDEN_SYMBOL("tq_kind");
constexpr const char* k_refs = DUK_HIDDEN_SYMBOL("tq_refs");
constexpr const char* k_handler = DUK_HIDDEN_SYMBOL("tq_handler");
constexpr const char* k_rethrow = DUK_HIDDEN_SYMBOL("tq_rethrow");

enum class stop_reason { none, ended, interrupted, timed_out };

std::wstring hresult_message(hresult hr) {
    if (hr == disp_e_membernotfound || hr == disp_e_unknownname)
        return L"Object doesn't support this property or method";
    if (hr == disp_e_badparamcount)
        return L"Wrong number of arguments or invalid property assignment";
    if (hr == disp_e_typemismatch) return L"Type mismatch";
    if (hr == disp_e_overflow) return L"Overflow";
    if (hr == e_invalidarg) return L"Invalid procedure call or argument";
    if (hr == regdb_e_classnotreg || hr == co_e_classstring)
        return L"Automation server can't create object";
    wchar_t buf[48];
    std::swprintf(buf, 48, L"Automation error 0x%08X", static_cast<unsigned>(hr));
    return buf;
}

} // namespace

namespace {
class js_object;
}

struct engine::impl {
    engine* self = nullptr;
    duk_context* ctx = nullptr;
    error_sink sink;
    std::atomic<bool> interrupt_requested{false};
    stop_reason stopping = stop_reason::none;
    bool have_stop_info = false;
    excepinfo stop_info;
    bool have_raise = false;
    excepinfo raise_info;
    uint32_t limit_ms = 0;
    std::chrono::steady_clock::time_point deadline{};
    int depth = 0;
    uint32_t next_ref = 1;
    std::map<std::string, std::vector<std::wstring>> chunks; // chunk name -> its lines
    int chunk_count = 0;
    std::set<js_object*> live;

    // The script-side wrapper (a Proxy) of each native object handed to the
    // script, kept while the object lives on beyond it, so that reaching a
    // long-lived object (the page's webserver) costs no new engine objects
    // per access. Objects with a fixed member table also keep their member
    // look-ups and method functions.
    struct member_entry {
        dispid id = 0;
        uint16_t kinds = 0;
        uint32_t function_ref = 0; // a method's function; 0 for a property
    };
    struct wrapper_entry {
        uint32_t proxy_ref = 0;
        bool fixed_members = false;
        // Read from a named item's global property (the page's webserver):
        // kept across runs while the native side holds it.
        bool sticky = false;
        std::unordered_map<std::string, member_entry> members;
    };
    std::unordered_map<idispatch_i*, wrapper_entry> wrappers;
    // At the end of each outermost call every wrapper is let go but those of
    // the named items' members that the native side still holds: the script
    // alone decides the lifetime of every other object (native caches that
    // sweep unused objects see them unused).
    bool sticky_push = false;
    void prune_wrappers(duk_context* c);
    void unkeep(duk_context* c, uint32_t ref);

    bool check_timeout() {
        if (stopping != stop_reason::none) return true;
        if (interrupt_requested.load(std::memory_order_relaxed)) {
            stopping = stop_reason::interrupted;
            return true;
        }
        if (limit_ms && std::chrono::steady_clock::now() >= deadline) {
            stopping = stop_reason::timed_out;
            return true;
        }
        return false;
    }

    // Runs fn inside the engine's protection. At the outermost level the run
    // time starts, and errors that end the run are reported.
    hresult enter(const std::function<void(duk_context*)>& fn, excepinfo* ei);
    void fill_error(duk_idx_t idx, script_error& out);
    void report(const script_error& e);
    uint32_t keep(duk_idx_t idx); // pins a value, returns its reference number
    void drop(uint32_t ref);
};

} // namespace script_engine

void tq_duk_force_interrupt(duk_context* ctx);

int tq_duk_exec_timeout_check(void* udata) {
    auto* p = static_cast<script_engine::engine::impl*>(udata);
    return p && p->check_timeout() ? 1 : 0;
}

namespace script_engine {

namespace {

engine::impl* impl_of(duk_context* ctx) {
    duk_memory_functions f;
    duk_get_memory_functions(ctx, &f);
    return static_cast<engine::impl*>(f.udata);
}

void push_variant(duk_context* ctx, const variant& v);
variant get_variant(duk_context* ctx, duk_idx_t idx);

void push_wide(duk_context* ctx, std::wstring_view s) {
    const std::string t = wide_to_engine(s);
    duk_push_lstring(ctx, t.data(), t.size());
}

std::wstring get_wide(duk_context* ctx, duk_idx_t idx) {
    duk_size_t n = 0;
    const char* p = duk_get_lstring(ctx, idx, &n);
    return p ? engine_to_wide(std::string_view(p, n)) : std::wstring();
}

// A JavaScript value seen by native code.
class js_object final : public idispatch_ex_i {
  public:
    js_object(engine::impl* eng, uint32_t ref) : eng_(eng), ref_(ref) { eng_->live.insert(this); }

    void detach() { eng_ = nullptr; }
    uint32_t ref() const { return ref_; }
    engine::impl* owner() const { return eng_; }

    hresult query_interface(const guid& iid, void** out) override {
        if (!out) return e_pointer;
        if (iid == iid_iunknown || iid == iid_idispatch || iid == iid_idispatch_ex ||
            iid == iid_js_value) {
            add_ref();
            *out = static_cast<idispatch_ex_i*>(this);
            return s_ok;
        }
        *out = nullptr;
        return e_nointerface;
    }
    uint32_t add_ref() override { return ++count_; }
    uint32_t release() override {
        const uint32_t n = --count_;
        if (n == 0) {
            if (eng_) {
                eng_->live.erase(this);
                eng_->drop(ref_);
            }
            delete this;
        }
        return n;
    }
    hresult get_type_info_count(uint32_t* out) override {
        if (!out) return e_pointer;
        *out = 0;
        return s_ok;
    }
    hresult get_type_info(uint32_t, lcid, const automation::type_info** out) override {
        if (out) *out = nullptr;
        return e_notimpl;
    }
    hresult get_ids_of_names(const guid&, const std::wstring* names, uint32_t count, lcid,
                             dispid* ids) override {
        if (!names || !ids) return e_pointer;
        hresult hr = s_ok;
        for (uint32_t i = 0; i < count; ++i)
            if (failed(get_disp_id(names[i], 0, &ids[i]))) hr = disp_e_unknownname;
        return hr;
    }
    hresult invoke(dispid member, const guid&, lcid id, uint16_t flags, dispparams& params,
                   variant* result, excepinfo* ei, uint32_t*) override {
        return invoke_ex(member, id, flags, params, result, ei, nullptr);
    }
    hresult get_disp_id(const std::wstring& name, uint32_t flags, dispid* out) override;
    hresult invoke_ex(dispid member, lcid, uint16_t flags, dispparams& params, variant* result,
                      excepinfo* ei, iunknown_i*) override;
    hresult delete_member_by_name(const std::wstring& name, uint32_t) override;
    hresult delete_member_by_disp_id(dispid member) override {
        if (member <= 0 || static_cast<std::size_t>(member) > names_.size())
            return disp_e_membernotfound;
        return delete_member_by_name(names_[static_cast<std::size_t>(member - 1)], 0);
    }
    hresult get_member_properties(dispid, uint32_t, uint32_t*) override { return e_notimpl; }
    hresult get_member_name(dispid member, std::wstring* out) override {
        if (!out) return e_pointer;
        if (member <= 0 || static_cast<std::size_t>(member) > names_.size())
            return disp_e_membernotfound;
        *out = names_[static_cast<std::size_t>(member - 1)];
        return s_ok;
    }
    hresult get_next_disp_id(uint32_t flags, dispid member, dispid* out) override;
    hresult get_name_space_parent(iunknown_i** out) override {
        if (out) *out = nullptr;
        return e_notimpl;
    }

  private:
    ~js_object() = default;
    void push_self(duk_context* ctx) {
        duk_push_global_stash(ctx);
        duk_get_prop_string(ctx, -1, k_refs);
        duk_get_prop_index(ctx, -1, ref_);
        duk_remove(ctx, -2);
        duk_remove(ctx, -2);
    }
    dispid id_for(const std::wstring& name) {
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (names_[i] == name) return static_cast<dispid>(i + 1);
        names_.push_back(name);
        return static_cast<dispid>(names_.size());
    }

    engine::impl* eng_;
    uint32_t ref_;
    std::atomic<uint32_t> count_{0};
    std::vector<std::wstring> names_; // dispid = index + 1; 0 is the value itself
    std::vector<dispid> enum_;        // the keys seen at the start of an enumeration
};

hresult js_object::get_disp_id(const std::wstring& name, uint32_t flags, dispid* out) {
    if (!out) return e_pointer;
    *out = dispid_unknown;
    if (!eng_) return e_unexpected;
    bool found = false;
    std::wstring actual = name;
    const hresult hr = eng_->enter(
        [&](duk_context* ctx) {
            push_self(ctx);
            if (!duk_is_object(ctx, -1)) return;
            push_wide(ctx, name);
            found = duk_has_prop(ctx, -2);
            if (!found && (flags & fdex_name_case_insensitive)) {
                duk_enum(ctx, -1, DUK_ENUM_INCLUDE_NONENUMERABLE);
                while (!found && duk_next(ctx, -1, 0)) {
                    std::wstring key = get_wide(ctx, -1);
                    if (equal_names(key, name)) {
                        found = true;
                        actual = key;
                    }
                    duk_pop(ctx);
                }
                duk_pop(ctx);
            }
            if (!found && (flags & fdex_name_ensure)) {
                push_wide(ctx, name);
                duk_push_undefined(ctx);
                duk_put_prop(ctx, -3);
                found = true;
            }
        },
        nullptr);
    if (failed(hr)) return hr;
    if (!found) return disp_e_unknownname;
    *out = id_for(actual);
    return s_ok;
}

hresult js_object::invoke_ex(dispid member, lcid, uint16_t flags, dispparams& params,
                             variant* result, excepinfo* ei, iunknown_i*) {
    if (!eng_) return e_unexpected;
    if (member != dispid_value && (member < 0 || static_cast<std::size_t>(member) > names_.size()))
        return disp_e_membernotfound;
    const std::wstring name = member == dispid_value ? std::wstring() : names_[member - 1];
    variant out;
    hresult status = s_ok;
    const hresult hr = eng_->enter(
        [&](duk_context* ctx) {
            push_self(ctx);
            const duk_idx_t obj = duk_get_top_index(ctx);
            if (flags & (dispatch_propertyput | dispatch_propertyputref)) {
                if (params.count() < 1 || member == dispid_value) {
                    status = disp_e_badparamcount;
                    return;
                }
                push_wide(ctx, name);
                push_variant(ctx, params.args.front());
                duk_put_prop(ctx, obj);
                return;
            }
            if (member == dispid_value) {
                if ((flags & (dispatch_method | dispatch_construct)) && duk_is_callable(ctx, obj)) {
                    duk_dup(ctx, obj);
                    for (std::size_t i = 0; i < params.count(); ++i)
                        push_variant(ctx, params.arg(i));
                    if (flags & dispatch_construct)
                        duk_new(ctx, static_cast<duk_idx_t>(params.count()));
                    else
                        duk_call(ctx, static_cast<duk_idx_t>(params.count()));
                    out = get_variant(ctx, -1);
                } else if (flags & dispatch_propertyget) {
                    duk_dup(ctx, obj);
                    duk_to_primitive(ctx, -1, DUK_HINT_NONE);
                    out = get_variant(ctx, -1);
                } else {
                    status = disp_e_membernotfound;
                }
                return;
            }
            push_wide(ctx, name);
            duk_get_prop(ctx, obj);
            if ((flags & dispatch_method) && duk_is_callable(ctx, -1)) {
                duk_dup(ctx, obj);
                for (std::size_t i = 0; i < params.count(); ++i)
                    push_variant(ctx, params.arg(i));
                duk_call_method(ctx, static_cast<duk_idx_t>(params.count()));
                out = get_variant(ctx, -1);
            } else if (flags & dispatch_propertyget) {
                out = get_variant(ctx, -1);
            } else {
                status = disp_e_membernotfound;
            }
        },
        ei);
    if (failed(hr)) return hr;
    if (failed(status)) return status;
    if (result) *result = std::move(out);
    return s_ok;
}

hresult js_object::delete_member_by_name(const std::wstring& name, uint32_t) {
    if (!eng_) return e_unexpected;
    return eng_->enter(
        [&](duk_context* ctx) {
            push_self(ctx);
            push_wide(ctx, name);
            duk_del_prop(ctx, -2);
        },
        nullptr);
}

hresult js_object::get_next_disp_id(uint32_t, dispid member, dispid* out) {
    if (!out) return e_pointer;
    *out = -1;
    if (!eng_) return e_unexpected;
    if (member == dispid_startenum) {
        std::vector<std::wstring> keys;
        const hresult hr = eng_->enter(
            [&](duk_context* ctx) {
                push_self(ctx);
                if (!duk_is_object(ctx, -1)) return;
                duk_enum(ctx, -1, 0);
                while (duk_next(ctx, -1, 0)) {
                    keys.push_back(get_wide(ctx, -1));
                    duk_pop(ctx);
                }
            },
            nullptr);
        if (failed(hr)) return hr;
        enum_.clear();
        for (const auto& k : keys)
            enum_.push_back(id_for(k));
        if (enum_.empty()) return s_false;
        *out = enum_.front();
        return s_ok;
    }
    for (std::size_t i = 0; i < enum_.size(); ++i)
        if (enum_[i] == member) {
            if (i + 1 < enum_.size()) {
                *out = enum_[i + 1];
                return s_ok;
            }
            break;
        }
    return s_false;
}

// ---- native objects seen by scripts ----

void push_kept(duk_context* ctx, uint32_t ref) {
    duk_push_global_stash(ctx);
    duk_get_prop_string(ctx, -1, k_refs);
    duk_get_prop_index(ctx, -1, ref);
    duk_remove(ctx, -2);
    duk_remove(ctx, -2);
}

idispatch_i* native_of(duk_context* ctx, duk_idx_t target) {
    duk_get_prop_string(ctx, target, k_ptr);
    auto* p = static_cast<idispatch_i*>(duk_get_pointer(ctx, -1));
    duk_pop(ctx);
    return p;
}

// Kinds of a member from the object's type table (0 when it has none).
uint16_t member_kinds(idispatch_i* d, dispid id) {
    uint32_t n = 0;
    const automation::type_info* ti = nullptr;
    if (failed(d->get_type_info_count(&n)) || n == 0 || failed(d->get_type_info(0, 0, &ti)) || !ti)
        return 0;
    const member_desc* m = ti->find(id);
    return m ? m->kinds : 0;
}

// The fewest arguments a member of the object's type table takes (0 without one).
uint16_t member_min_args(idispatch_i* d, dispid id) {
    uint32_t n = 0;
    const automation::type_info* ti = nullptr;
    if (failed(d->get_type_info_count(&n)) || n == 0 || failed(d->get_type_info(0, 0, &ti)) || !ti)
        return 0;
    const member_desc* m = ti->find(id);
    return m ? m->min_args : 0;
}

hresult lookup(idispatch_i* d, const std::wstring& name, dispid* id) {
    void* p = nullptr;
    if (succeeded(d->query_interface(iid_idispatch_ex, &p))) {
        auto* ex = static_cast<idispatch_ex_i*>(p);
        const hresult hr = ex->get_disp_id(name, fdex_name_case_sensitive, id);
        ex->release();
        return hr;
    }
    return d->get_ids_of_names(iid_null, &name, 1, lcid_user_default, id);
}

// Throws the error for a failed call: the script's own error when it passed
// through native code unchanged, else one made from the exception record.
[[noreturn]] void throw_failure(duk_context* ctx, hresult hr, const excepinfo& ei) {
    engine::impl* eng = impl_of(ctx);
    if (eng->stopping != stop_reason::none)
        (void)duk_error(ctx, DUK_ERR_RANGE_ERROR, "script ended");
    if (hr == disp_e_exception) {
        duk_push_global_stash(ctx);
        duk_get_prop_string(ctx, -1, k_rethrow);
        if (!duk_is_undefined(ctx, -1)) {
            duk_push_undefined(ctx);
            duk_put_prop_string(ctx, -3, k_rethrow);
            (void)duk_throw(ctx);
            __builtin_unreachable();
        }
        duk_pop_2(ctx);
    }
    const std::wstring text = ei.description.empty() ? hresult_message(hr) : ei.description;
    const std::string t = wide_to_engine(text);
    duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", t.c_str());
    push_wide(ctx, text);
    duk_put_prop_string(ctx, -2, "description");
    if (ei.code)
        duk_push_int(ctx, ei.code);
    else
        duk_push_int(ctx, ei.scode ? ei.scode : hr);
    duk_put_prop_string(ctx, -2, "number");
    if (!ei.source.empty()) {
        push_wide(ctx, ei.source);
        duk_put_prop_string(ctx, -2, "source");
    }
    // The line is the script's, not that of this bridge.
    duk_inspect_callstack_entry(ctx, -2);
    if (duk_is_object(ctx, -1)) {
        duk_get_prop_string(ctx, -1, "lineNumber");
        duk_put_prop_string(ctx, -3, "tq_line");
        duk_get_prop_string(ctx, -1, "function");
        duk_get_prop_string(ctx, -1, "fileName");
        duk_put_prop_string(ctx, -4, "tq_file");
        duk_pop(ctx);
    }
    duk_pop(ctx);
    (void)duk_throw(ctx);
    __builtin_unreachable();
}

// After a native member returned: an ending or a raised error takes over.
// The run's time and an interrupt are looked at here too: a loop of few
// instructions around slow members would reach the engine's own check late.
void after_native_call(duk_context* ctx) {
    engine::impl* eng = impl_of(ctx);
    if (eng->stopping != stop_reason::none || eng->check_timeout()) {
        tq_duk_force_interrupt(ctx);
        (void)duk_error(ctx, DUK_ERR_RANGE_ERROR, "script ended");
    }
    if (eng->have_raise) {
        excepinfo ei = std::move(eng->raise_info);
        eng->have_raise = false;
        throw_failure(ctx, disp_e_exception, ei);
    }
}

void push_native(duk_context* ctx, idispatch_i* d);
void push_callable_native(duk_context* ctx, idispatch_i* d);

// The arguments of the native member that runs on this thread, for
// native_arg_utf8; a member that calls back into a script saves and
// restores them around the nested call.
struct native_call_args {
    duk_context* ctx = nullptr;
    duk_idx_t first = 0, count = 0;
};
thread_local native_call_args current_args;

class native_args_scope {
  public:
    native_args_scope(duk_context* ctx, duk_idx_t first, duk_idx_t count)
        : saved_(std::exchange(current_args, native_call_args{ctx, first, count})) {}
    ~native_args_scope() { current_args = saved_; }
    native_args_scope(const native_args_scope&) = delete;
    native_args_scope& operator=(const native_args_scope&) = delete;

  private:
    native_call_args saved_;
};

duk_ret_t call_member(duk_context* ctx, idispatch_i* d, dispid id, uint16_t flags,
                      duk_idx_t first_arg, duk_idx_t nargs, bool sticky_result = false) {
    dispparams params;
    for (duk_idx_t i = nargs - 1; i >= 0; --i)
        params.args.push_back(get_variant(ctx, first_arg + i));
    if (flags & dispatch_propertyput) params.named.push_back(dispid_propertyput);
    variant result;
    excepinfo ei;
    hresult hr;
    {
        native_args_scope args(ctx, first_arg, nargs);
        hr = d->invoke(id, iid_null, lcid_user_default, flags, params, &result, &ei, nullptr);
    }
    after_native_call(ctx);
    if (failed(hr)) throw_failure(ctx, hr, ei);
    engine::impl* eng = impl_of(ctx);
    eng->sticky_push = sticky_result;
    push_variant(ctx, result);
    eng->sticky_push = false;
    return 1;
}

// Marks the getters of a named item's global properties: what they give
// (the page's webserver) is the host's own and lives as long as the page.
constexpr uint16_t kind_global_member = 0x8000;
// Marks a global getter whose value never changes (member_constant): its
// first reading replaces it with a plain value, which later reads find
// without a native call.
constexpr uint16_t kind_constant_member = 0x4000;

// A member function: hidden target (keeps the object alive) and dispid.
duk_ret_t native_method(duk_context* ctx) {
    const duk_idx_t nargs = duk_get_top(ctx);
    duk_push_current_function(ctx);
    duk_get_prop_string(ctx, -1, k_target);
    idispatch_i* d = native_of(ctx, -1);
    duk_get_prop_string(ctx, -2, k_dispid);
    const dispid id = duk_get_int(ctx, -1);
    duk_get_prop_string(ctx, -3, k_kind);
    uint16_t kind = static_cast<uint16_t>(duk_get_uint(ctx, -1));
    duk_pop_n(ctx, 4);
    if (!d) return DUK_RET_TYPE_ERROR;
    const bool global_member = kind & kind_global_member;
    const bool constant = kind & kind_constant_member;
    kind &= static_cast<uint16_t>(~(kind_global_member | kind_constant_member));
    // Accessors are handed the property key as an extra argument; it is no
    // argument of the member.
    duk_idx_t n = nargs;
    if (kind == dispatch_propertyget) n = 0;
    if (kind == dispatch_propertyput && n > 1) n = 1;
    const duk_ret_t r = call_member(
        ctx, d, id, kind ? kind : static_cast<uint16_t>(dispatch_method), 0, n, global_member);
    if (constant && kind == dispatch_propertyget && nargs > 0 && duk_is_string(ctx, 0)) {
        duk_push_global_object(ctx);
        duk_dup(ctx, 0);
        duk_dup(ctx, -3);
        duk_def_prop(ctx, -3,
                     DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_CLEAR_WRITABLE |
                         DUK_DEFPROP_SET_CONFIGURABLE | DUK_DEFPROP_CLEAR_ENUMERABLE);
        duk_pop(ctx);
    }
    return r;
}

void push_member_function(duk_context* ctx, duk_idx_t target, dispid id, uint16_t kind) {
    target = duk_normalize_index(ctx, target);
    duk_push_c_function(ctx, native_method, DUK_VARARGS);
    duk_dup(ctx, target);
    duk_put_prop_string(ctx, -2, k_target);
    duk_push_int(ctx, id);
    duk_put_prop_string(ctx, -2, k_dispid);
    duk_push_uint(ctx, kind);
    duk_put_prop_string(ctx, -2, k_kind);
}

std::vector<std::wstring> member_names(idispatch_i* d) {
    std::vector<std::wstring> names;
    uint32_t n = 0;
    const automation::type_info* ti = nullptr;
    if (succeeded(d->get_type_info_count(&n)) && n && succeeded(d->get_type_info(0, 0, &ti)) && ti)
        for (const auto& m : ti->members())
            names.push_back(m.name);
    void* p = nullptr;
    if (succeeded(d->query_interface(iid_idispatch_ex, &p))) {
        auto* ex = static_cast<idispatch_ex_i*>(p);
        dispid id = dispid_startenum;
        for (int guard = 0; guard < 1000000; ++guard) {
            if (ex->get_next_disp_id(fdex_enum_all, id, &id) != s_ok) break;
            std::wstring name;
            if (succeeded(ex->get_member_name(id, &name))) {
                bool dup = false;
                for (const auto& k : names)
                    dup = dup || equal_names(k, name);
                if (!dup) names.push_back(name);
            }
        }
        ex->release();
    }
    return names;
}

// Proxy traps: (target, key, ...), this is the shared handler.
duk_ret_t trap_get(duk_context* ctx) {
    idispatch_i* d = native_of(ctx, 0);
    if (!d || !duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
        duk_push_undefined(ctx);
        return 1;
    }
    engine::impl* eng = impl_of(ctx);
    // A kept wrapper of an object with a fixed member table answers a member
    // from what the first access learnt.
    auto w = eng->wrappers.find(d);
    if (w != eng->wrappers.end() && !w->second.fixed_members) w = eng->wrappers.end();
    std::string key;
    dispid id = dispid_unknown;
    uint16_t kinds = 0;
    bool known = false;
    if (w != eng->wrappers.end()) {
        duk_size_t n = 0;
        const char* k = duk_get_lstring(ctx, 1, &n);
        key.assign(k, n);
        auto m = w->second.members.find(key);
        if (m != w->second.members.end()) {
            if (m->second.function_ref) {
                push_kept(ctx, m->second.function_ref);
                return 1;
            }
            id = m->second.id;
            kinds = m->second.kinds;
            known = true;
        }
    }
    if (!known) {
        const std::wstring name = get_wide(ctx, 1);
        if (failed(lookup(d, name, &id))) {
            duk_push_undefined(ctx);
            return 1;
        }
        kinds = member_kinds(d, id);
        // Methods (and indexed properties, called like methods: obj.prop(a,
        // b)) are functions; a plain property is read at each access.
        uint16_t as_function = 0;
        if (kinds && !(kinds & member_get))
            as_function = dispatch_method;
        else if ((kinds & member_get) && member_min_args(d, id) > 0)
            as_function = dispatch_method | dispatch_propertyget;
        if (as_function) push_member_function(ctx, 0, id, as_function);
        if (w != eng->wrappers.end() && kinds) {
            // Looked up again: the member function may have run script code.
            auto again = eng->wrappers.find(d);
            if (again != eng->wrappers.end())
                again->second.members.emplace(
                    std::move(key),
                    engine::impl::member_entry{id, kinds, as_function ? eng->keep(-1) : 0u});
        }
        if (as_function) return 1;
    }
    variant result;
    excepinfo ei;
    dispparams none;
    const hresult hr = d->invoke(id, iid_null, lcid_user_default, dispatch_propertyget, none,
                                 &result, &ei, nullptr);
    after_native_call(ctx);
    if (hr == disp_e_membernotfound && !kinds) {
        push_member_function(ctx, 0, id, dispatch_method);
        return 1;
    }
    if (failed(hr)) throw_failure(ctx, hr, ei);
    // A member without arguments that makes an object serves both forms:
    // read as a property it is the object, called it gives the object too.
    if ((kinds & member_method) && (kinds & member_get) && result.vt() == vt_dispatch &&
        result.dispatch()) {
        push_callable_native(ctx, result.dispatch());
        return 1;
    }
    push_variant(ctx, result);
    return 1;
}

duk_ret_t trap_set(duk_context* ctx) {
    idispatch_i* d = native_of(ctx, 0);
    if (!d || duk_is_symbol(ctx, 1)) return DUK_RET_TYPE_ERROR;
    dispid id = dispid_unknown;
    const std::wstring name = get_wide(ctx, 1);
    void* p = nullptr;
    hresult hr;
    if (succeeded(d->query_interface(iid_idispatch_ex, &p))) {
        auto* ex = static_cast<idispatch_ex_i*>(p);
        hr = ex->get_disp_id(name, fdex_name_ensure, &id);
        ex->release();
    } else {
        hr = d->get_ids_of_names(iid_null, &name, 1, lcid_user_default, &id);
    }
    if (failed(hr)) throw_failure(ctx, hr, excepinfo{});
    duk_dup(ctx, 2);
    call_member(ctx, d, id, dispatch_propertyput, duk_get_top_index(ctx), 1);
    duk_push_true(ctx);
    return 1;
}

duk_ret_t trap_has(duk_context* ctx) {
    idispatch_i* d = native_of(ctx, 0);
    dispid id = dispid_unknown;
    duk_push_boolean(ctx, d && duk_is_string(ctx, 1) && !duk_is_symbol(ctx, 1) &&
                              succeeded(lookup(d, get_wide(ctx, 1), &id)));
    return 1;
}

duk_ret_t trap_delete(duk_context* ctx) {
    idispatch_i* d = native_of(ctx, 0);
    void* p = nullptr;
    if (!d || failed(d->query_interface(iid_idispatch_ex, &p))) {
        duk_push_false(ctx);
        return 1;
    }
    auto* ex = static_cast<idispatch_ex_i*>(p);
    const hresult hr = ex->delete_member_by_name(get_wide(ctx, 1), 0);
    ex->release();
    duk_push_boolean(ctx, succeeded(hr));
    return 1;
}

duk_ret_t trap_own_keys(duk_context* ctx) {
    idispatch_i* d = native_of(ctx, 0);
    duk_push_array(ctx);
    if (!d) return 1;
    duk_uarridx_t i = 0;
    for (const auto& name : member_names(d)) {
        push_wide(ctx, name);
        duk_put_prop_index(ctx, -2, i++);
        // The engine takes enumerability from the target: each listed key gets
        // an enumerable placeholder there (reads still go through the trap).
        push_wide(ctx, name);
        if (!duk_has_prop(ctx, 0)) {
            push_wide(ctx, name);
            duk_push_undefined(ctx);
            duk_def_prop(ctx, 0,
                         DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE |
                             DUK_DEFPROP_SET_ENUMERABLE | DUK_DEFPROP_SET_CONFIGURABLE);
        }
    }
    return 1;
}

duk_ret_t native_finalizer(duk_context* ctx) {
    auto* d = static_cast<idispatch_i*>(nullptr);
    duk_get_prop_string(ctx, 0, k_ptr);
    d = static_cast<idispatch_i*>(duk_get_pointer(ctx, -1));
    duk_pop(ctx);
    if (d) {
        duk_push_pointer(ctx, nullptr);
        duk_put_prop_string(ctx, 0, k_ptr);
        d->release();
    }
    return 0;
}

// Calling a value of another engine: its value member as a method.
duk_ret_t foreign_call(duk_context* ctx) {
    const duk_idx_t nargs = duk_get_top(ctx);
    duk_push_current_function(ctx);
    idispatch_i* d = native_of(ctx, -1);
    duk_pop(ctx);
    if (!d) return DUK_RET_TYPE_ERROR;
    return call_member(ctx, d, dispid_value, dispatch_method, 0, nargs);
}

// Turns the target on the stack top into a proxy of the native object: the
// target holds a reference, dropped by its finalizer.
void wrap_in_proxy(duk_context* ctx, idispatch_i* d) {
    d->add_ref();
    duk_push_pointer(ctx, d);
    duk_put_prop_string(ctx, -2, k_ptr);
    duk_push_c_function(ctx, native_finalizer, 1);
    duk_set_finalizer(ctx, -2);
    duk_push_global_stash(ctx);
    duk_get_prop_string(ctx, -1, k_handler);
    duk_remove(ctx, -2);
    duk_push_proxy(ctx, 0);
}

// Calling a native object read through a member that is also a method:
// the call gives the object itself.
duk_ret_t self_call(duk_context* ctx) {
    if (duk_get_top(ctx) != 0) return DUK_RET_TYPE_ERROR;
    duk_push_current_function(ctx);
    idispatch_i* d = native_of(ctx, -1);
    duk_pop(ctx);
    if (!d) return DUK_RET_TYPE_ERROR;
    push_native(ctx, d);
    return 1;
}

void push_callable_native(duk_context* ctx, idispatch_i* d) {
    void* p = nullptr;
    if (succeeded(d->query_interface(iid_js_value, &p))) {
        static_cast<idispatch_ex_i*>(p)->release();
        push_native(ctx, d);
        return;
    }
    duk_push_c_function(ctx, self_call, DUK_VARARGS);
    wrap_in_proxy(ctx, d);
}

void push_native(duk_context* ctx, idispatch_i* d) {
    if (!d) {
        duk_push_null(ctx);
        return;
    }
    void* p = nullptr;
    if (succeeded(d->query_interface(iid_js_value, &p))) {
        auto* js = static_cast<js_object*>(static_cast<idispatch_ex_i*>(p));
        if (js->owner() == impl_of(ctx)) {
            duk_push_global_stash(ctx);
            duk_get_prop_string(ctx, -1, k_refs);
            duk_get_prop_index(ctx, -1, js->ref());
            duk_remove(ctx, -2);
            duk_remove(ctx, -2);
            js->release();
            return;
        }
        js->release();
        // A value of another engine (a module's function, say) may be
        // called: its target is a function that calls the value.
        duk_push_c_function(ctx, foreign_call, DUK_VARARGS);
        wrap_in_proxy(ctx, d);
        return;
    }
    engine::impl* eng = impl_of(ctx);
    auto found = eng->wrappers.find(d);
    if (found != eng->wrappers.end()) {
        if (eng->sticky_push) found->second.sticky = true;
        push_kept(ctx, found->second.proxy_ref);
        return;
    }
    duk_push_object(ctx); // the target holds the reference
    wrap_in_proxy(ctx, d);
    engine::impl::wrapper_entry w;
    w.proxy_ref = eng->keep(-1);
    w.sticky = eng->sticky_push;
    void* ex = nullptr;
    uint32_t n = 0;
    if (succeeded(d->query_interface(iid_idispatch_ex, &ex)))
        static_cast<idispatch_ex_i*>(ex)->release();
    else
        w.fixed_members = succeeded(d->get_type_info_count(&n)) && n > 0;
    eng->wrappers.emplace(d, std::move(w));
}

void push_variant(duk_context* ctx, const variant& v) {
    switch (v.vt()) {
    case vt_empty:
        duk_push_undefined(ctx);
        return;
    case vt_null:
        duk_push_null(ctx);
        return;
    case vt_bool:
        duk_push_boolean(ctx, v.boolean() != 0);
        return;
    case vt_r4:
    case vt_r8:
        duk_push_number(ctx, v.r8());
        return;
    case vt_bstr:
        push_wide(ctx, v.bstr());
        return;
    case vt_dispatch:
        push_native(ctx, v.dispatch());
        return;
    case vt_unknown: {
        variant d;
        if (v.unknown() && succeeded(change_type(d, v, vt_dispatch)))
            push_native(ctx, d.dispatch());
        else
            duk_push_null(ctx);
        return;
    }
    default:
        break;
    }
    if (v.vt() == (vt_array | vt_ui1)) {
        const auto& a = v.array();
        const std::size_t n = a ? a->data.size() : 0;
        void* buf = duk_push_fixed_buffer(ctx, n);
        if (n) std::memcpy(buf, a->data.data(), n);
        duk_push_buffer_object(ctx, -1, 0, n, DUK_BUFOBJ_UINT8ARRAY);
        duk_remove(ctx, -2);
        return;
    }
    variant num;
    if (succeeded(change_type(num, v, vt_r8)))
        duk_push_number(ctx, num.r8());
    else
        duk_push_undefined(ctx);
}

variant get_variant(duk_context* ctx, duk_idx_t idx) {
    idx = duk_normalize_index(ctx, idx);
    switch (duk_get_type(ctx, idx)) {
    case DUK_TYPE_UNDEFINED:
    case DUK_TYPE_NONE:
        return variant();
    case DUK_TYPE_NULL:
        return variant::null();
    case DUK_TYPE_BOOLEAN:
        return variant::from_bool(duk_get_boolean(ctx, idx));
    case DUK_TYPE_NUMBER: {
        const double x = duk_get_number(ctx, idx);
        if (x >= -2147483648.0 && x <= 2147483647.0 &&
            x == static_cast<double>(static_cast<int32_t>(x)) && !(x == 0 && std::signbit(x)))
            return variant::from_i4(static_cast<int32_t>(x));
        return variant::from_r8(x);
    }
    case DUK_TYPE_STRING:
        return variant::from_bstr(get_wide(ctx, idx));
    case DUK_TYPE_BUFFER: {
        duk_size_t n = 0;
        const auto* p = static_cast<const uint8_t*>(duk_get_buffer_data(ctx, idx, &n));
        return variant::from_bytes(std::vector<uint8_t>(p, p + n));
    }
    default:
        break;
    }
    if (duk_is_object(ctx, idx)) {
        // A native object's proxy: the hidden pointer lives on its target.
        if (duk_get_prop_string(ctx, idx, k_ptr)) {
            auto* d = static_cast<idispatch_i*>(duk_get_pointer(ctx, -1));
            duk_pop(ctx);
            return variant::from_dispatch(d);
        }
        duk_pop(ctx);
        if (duk_is_buffer_data(ctx, idx) && !duk_is_callable(ctx, idx)) {
            duk_size_t n = 0;
            const auto* p = static_cast<const uint8_t*>(duk_get_buffer_data(ctx, idx, &n));
            return variant::from_bytes(std::vector<uint8_t>(p, p + n));
        }
        engine::impl* eng = impl_of(ctx);
        auto* js = new js_object(eng, eng->keep(idx));
        js->add_ref();
        variant v = variant::from_dispatch(js);
        js->release();
        return v;
    }
    return variant();
}

duk_ret_t active_x_object(duk_context* ctx) {
    const std::wstring prog_id = get_wide(ctx, 0);
    guid clsid;
    hresult hr = clsid_from_prog_id(prog_id, &clsid);
    void* p = nullptr;
    if (succeeded(hr))
        hr = co_create_instance(clsid, nullptr, clsctx_inproc_server | clsctx_local_server,
                                iid_iunknown, &p);
    void* d = nullptr;
    if (succeeded(hr)) {
        auto* unk = static_cast<iunknown_i*>(p);
        hr = unk->query_interface(iid_idispatch, &d);
        unk->release();
    }
    after_native_call(ctx);
    if (failed(hr)) throw_failure(ctx, hr, excepinfo{});
    push_native(ctx, static_cast<idispatch_i*>(d));
    static_cast<idispatch_i*>(d)->release();
    return 1;
}

void fatal_handler(void*, const char* msg) {
    std::fprintf(stderr, "script engine fatal error: %s\n", msg ? msg : "");
    std::abort();
}

duk_ret_t enter_trampoline(duk_context* ctx, void* udata) {
    (*static_cast<const std::function<void(duk_context*)>*>(udata))(ctx);
    return 0;
}

} // namespace

uint32_t engine::impl::keep(duk_idx_t idx) {
    idx = duk_normalize_index(ctx, idx);
    const uint32_t ref = next_ref++;
    duk_push_global_stash(ctx);
    duk_get_prop_string(ctx, -1, k_refs);
    duk_dup(ctx, idx);
    duk_put_prop_index(ctx, -2, ref);
    duk_pop_2(ctx);
    return ref;
}

void engine::impl::unkeep(duk_context* c, uint32_t ref) {
    duk_push_global_stash(c);
    duk_get_prop_string(c, -1, k_refs);
    duk_del_prop_index(c, -1, ref);
    duk_pop_2(c);
}

void engine::impl::prune_wrappers(duk_context* c) {
    std::vector<std::pair<idispatch_i*, wrapper_entry>> gone;
    for (auto it = wrappers.begin(); it != wrappers.end();) {
        bool keep = false;
        if (it->second.sticky) {
            it->first->add_ref();
            keep = it->first->release() > 1;
        }
        if (!keep) {
            gone.emplace_back(it->first, std::move(it->second));
            it = wrappers.erase(it);
        } else {
            ++it;
        }
    }
    // Dropping the references may finalize the wrappers, which releases the
    // objects: the table is already without them.
    for (auto& [d, w] : gone) {
        for (auto& [name, m] : w.members)
            if (m.function_ref) unkeep(c, m.function_ref);
        unkeep(c, w.proxy_ref);
    }
}

void engine::impl::drop(uint32_t ref) {
    enter(
        [ref](duk_context* c) {
            duk_push_global_stash(c);
            duk_get_prop_string(c, -1, k_refs);
            duk_del_prop_index(c, -1, ref);
        },
        nullptr);
}

void engine::impl::fill_error(duk_idx_t idx, script_error& e) {
    idx = duk_normalize_index(ctx, idx);
    e.scode = disp_e_exception;
    e.source = L"JavaScript runtime error";
    if (duk_is_error(ctx, idx)) {
        if (duk_get_error_code(ctx, idx) == DUK_ERR_SYNTAX_ERROR)
            e.source = L"JavaScript compilation error";
        duk_get_prop_string(ctx, idx, "message");
        e.description = get_wide(ctx, -1);
        duk_pop(ctx);
        if (duk_get_prop_string(ctx, idx, "tq_line"))
            e.line = duk_get_uint(ctx, -1);
        else {
            duk_pop(ctx);
            duk_get_prop_string(ctx, idx, "lineNumber");
            e.line = duk_get_uint(ctx, -1);
        }
        duk_pop(ctx);
        if (duk_get_prop_string(ctx, idx, "number") && duk_is_number(ctx, -1)) {
            const int n = duk_get_int(ctx, -1);
            if (n > 0 && n < 0x10000) e.code = static_cast<uint16_t>(n);
        }
        duk_pop(ctx);
        if (duk_get_prop_string(ctx, idx, "source") && duk_is_string(ctx, -1))
            e.source = get_wide(ctx, -1);
        duk_pop(ctx);
        if (!duk_get_prop_string(ctx, idx, "tq_file")) {
            duk_pop(ctx);
            duk_get_prop_string(ctx, idx, "fileName");
        }
        const char* file = duk_get_string(ctx, -1);
        auto it = file ? chunks.find(file) : chunks.end();
        if (it != chunks.end() && e.line >= 1 && e.line <= it->second.size())
            e.line_text = it->second[e.line - 1];
        duk_pop(ctx);
    } else {
        duk_dup(ctx, idx);
        e.description = get_wide(ctx, -1);
        if (!duk_is_string(ctx, -1)) {
            duk_pop(ctx);
            duk_dup(ctx, idx);
            duk_safe_to_string(ctx, -1);
            e.description = get_wide(ctx, -1);
        }
        duk_pop(ctx);
    }
}

void engine::impl::report(const script_error& e) {
    if (sink) sink(e);
}

hresult engine::impl::enter(const std::function<void(duk_context*)>& fn, excepinfo* ei) {
    const bool outermost = depth == 0;
    engine* saved = t_current;
    if (outermost) {
        t_current = self;
        if (limit_ms)
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    }
    ++depth;
    const duk_int_t rc = duk_safe_call(ctx, enter_trampoline,
                                       const_cast<void*>(static_cast<const void*>(&fn)), 0, 1);
    --depth;
    hresult hr = s_ok;
    if (rc != DUK_EXEC_SUCCESS) {
        script_error e;
        const stop_reason why = stopping;
        if (why == stop_reason::none) {
            fill_error(-1, e);
            hr = disp_e_exception;
            if (!outermost) {
                // Kept so that the error reaches the script above unchanged.
                duk_push_global_stash(ctx);
                duk_dup(ctx, -2);
                duk_put_prop_string(ctx, -2, k_rethrow);
                duk_pop(ctx);
            } else {
                report(e);
            }
        } else {
            hr = e_abort;
            if (outermost) {
                if (why == stop_reason::ended && have_stop_info) {
                    e.scode = stop_info.scode;
                    e.code = stop_info.code;
                    e.source = stop_info.source;
                    e.description = stop_info.description;
                    report(e);
                    hr = stop_info.scode == e_abort ? s_ok : disp_e_exception;
                } else if (why == stop_reason::timed_out) {
                    e.scode = e_abort;
                    e.source = L"JavaScript runtime error";
                    e.description = L"Script run time limit reached";
                    report(e);
                }
            }
        }
        if (ei) {
            ei->scode = e.scode;
            ei->code = e.code;
            ei->source = e.source;
            ei->description = e.description;
        }
    }
    duk_pop(ctx);
    if (outermost && !wrappers.empty()) {
        ++depth;
        duk_safe_call(
            ctx,
            [](duk_context* c, void* u) -> duk_ret_t {
                static_cast<engine::impl*>(u)->prune_wrappers(c);
                return 0;
            },
            this, 0, 1);
        duk_pop(ctx);
        --depth;
    }
    if (outermost) {
        stopping = stop_reason::none;
        have_stop_info = false;
        have_raise = false;
        interrupt_requested.store(false);
        duk_push_global_stash(ctx);
        duk_push_undefined(ctx);
        duk_put_prop_string(ctx, -2, k_rethrow);
        duk_pop(ctx);
        t_current = saved;
    }
    return hr;
}

engine::engine() : p_(std::make_unique<impl>()) {
    p_->self = this;
    p_->ctx = duk_create_heap(nullptr, nullptr, nullptr, p_.get(), fatal_handler);
    if (!p_->ctx) throw std::bad_alloc();
    duk_context* ctx = p_->ctx;
    duk_push_global_stash(ctx);
    duk_push_object(ctx);
    duk_put_prop_string(ctx, -2, k_refs);
    duk_push_object(ctx);
    static const duk_function_list_entry traps[] = {
        {"get", trap_get, 3},          {"set", trap_set, 4},
        {"has", trap_has, 2},          {"deleteProperty", trap_delete, 2},
        {"ownKeys", trap_own_keys, 1}, {nullptr, nullptr, 0}};
    duk_put_function_list(ctx, -1, traps);
    duk_put_prop_string(ctx, -2, k_handler);
    duk_pop(ctx);
}

engine::~engine() {
    for (js_object* js : p_->live)
        js->detach();
    p_->live.clear();
    // Finalizers of native objects' proxies run here and release them.
    duk_destroy_heap(p_->ctx);
}

void engine::set_error_sink(error_sink sink) {
    p_->sink = std::move(sink);
}

hresult engine::add_named_item(const std::wstring& name, idispatch_i* obj, bool global_members) {
    if (!obj) return e_pointer;
    return p_->enter(
        [&](duk_context* ctx) {
            duk_push_global_object(ctx);
            push_wide(ctx, name);
            push_native(ctx, obj);
            duk_def_prop(ctx, -3,
                         DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE |
                             DUK_DEFPROP_SET_CONFIGURABLE);
            if (!global_members) return;
            uint32_t n = 0;
            const automation::type_info* ti = nullptr;
            if (failed(obj->get_type_info_count(&n)) || !n ||
                failed(obj->get_type_info(0, 0, &ti)) || !ti)
                return;
            // The item's target keeps the object alive for the accessors.
            push_wide(ctx, name);
            duk_get_prop(ctx, -2);
            duk_push_object(ctx);
            obj->add_ref();
            duk_push_pointer(ctx, obj);
            duk_put_prop_string(ctx, -2, k_ptr);
            duk_push_c_function(ctx, native_finalizer, 1);
            duk_set_finalizer(ctx, -2);
            const duk_idx_t target = duk_get_top_index(ctx);
            for (const auto& m : ti->members()) {
                push_wide(ctx, m.name);
                if (!(m.kinds & (member_get | member_put))) {
                    push_member_function(ctx, target, m.id, dispatch_method);
                    duk_def_prop(ctx, -5,
                                 DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WRITABLE |
                                     DUK_DEFPROP_SET_CONFIGURABLE);
                    continue;
                }
                duk_uint_t flags = DUK_DEFPROP_SET_CONFIGURABLE;
                const bool constant = (m.kinds & member_constant) && !(m.kinds & member_put);
                push_member_function(ctx, target, m.id,
                                     dispatch_propertyget | kind_global_member |
                                         (constant ? kind_constant_member : uint16_t{0}));
                flags |= DUK_DEFPROP_HAVE_GETTER;
                if (m.kinds & member_put) {
                    push_member_function(ctx, target, m.id, dispatch_propertyput);
                    flags |= DUK_DEFPROP_HAVE_SETTER;
                }
                duk_def_prop(ctx, (m.kinds & member_put) ? -6 : -5, flags);
            }
        },
        nullptr);
}

void engine::enable_active_x_object() {
    p_->enter(
        [](duk_context* ctx) {
            duk_push_global_object(ctx);
            duk_push_c_function(ctx, active_x_object, 1);
            duk_put_prop_string(ctx, -2, "ActiveXObject");
        },
        nullptr);
}

hresult engine::parse_script_text(const std::wstring& code, excepinfo* ei) {
    const std::string name = "chunk" + std::to_string(++p_->chunk_count);
    auto& lines = p_->chunks[name];
    std::wstring line;
    for (wchar_t c : code) {
        if (c == L'\n') {
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    lines.push_back(line);
    const std::string text = wide_to_engine(code);
    return p_->enter(
        [&](duk_context* ctx) {
            duk_push_lstring(ctx, text.data(), text.size());
            duk_push_string(ctx, name.c_str());
            duk_compile(ctx, 0);
            duk_call(ctx, 0);
        },
        ei);
}

hresult engine::get_script_dispatch(idispatch_ex_i** out) {
    if (!out) return e_pointer;
    *out = nullptr;
    variant v;
    const hresult hr = p_->enter(
        [&](duk_context* ctx) {
            duk_push_global_object(ctx);
            v = get_variant(ctx, -1);
        },
        nullptr);
    if (failed(hr)) return hr;
    void* p = nullptr;
    if (!v.dispatch() || failed(v.dispatch()->query_interface(iid_idispatch_ex, &p))) return e_fail;
    *out = static_cast<idispatch_ex_i*>(p);
    return s_ok;
}

void engine::interrupt() {
    p_->interrupt_requested.store(true);
}

bool engine::current_run_over() {
    // Also while the ended run's error is reported (outside the run, the
    // engine still current): that write is part of the run.
    engine* e = t_current;
    if (!e) return false;
    const impl& p = *e->p_;
    if (p.stopping != stop_reason::none || p.interrupt_requested.load(std::memory_order_relaxed))
        return true;
    return p.limit_ms && std::chrono::steady_clock::now() >= p.deadline;
}

void engine::set_run_time_limit(uint32_t ms) {
    p_->limit_ms = ms;
}

hresult engine::interrupt_script_thread(uint32_t thread_id, const excepinfo* ei, uint32_t flags) {
    if (thread_id == scriptthreadid_all || thread_id == scriptthreadid_base || p_->depth == 0 ||
        t_current != this) {
        interrupt();
        return s_ok;
    }
    if (flags & scriptinterrupt_raiseexception) {
        p_->raise_info = ei ? *ei : excepinfo{};
        p_->have_raise = true;
        return s_ok;
    }
    // Ending the script: the time-out check now fires at every instruction, so
    // neither catch nor finally blocks run.
    p_->stopping = stop_reason::ended;
    p_->have_stop_info = ei != nullptr;
    if (ei) p_->stop_info = *ei;
    return s_ok;
}

hresult engine::raise_script_error(const std::wstring& description) {
    excepinfo ei;
    ei.code = script_error_code;
    ei.source = script_error_source;
    ei.description = description;
    return interrupt_script_thread(scriptthreadid_current, &ei, scriptinterrupt_raiseexception);
}

void engine::collect_garbage() {
    // Twice: objects whose finalizers ran are freed in the second pass.
    duk_gc(p_->ctx, 0);
    duk_gc(p_->ctx, 0);
}

engine* engine::current() {
    return t_current;
}

bool native_arg_utf8(std::size_t i, std::string_view& out) {
    const native_call_args& a = current_args;
    if (!a.ctx || i >= static_cast<std::size_t>(a.count)) return false;
    const duk_idx_t idx = a.first + static_cast<duk_idx_t>(i);
    if (!duk_is_string(a.ctx, idx)) return false;
    duk_size_t n = 0;
    const char* p = duk_get_lstring(a.ctx, idx, &n);
    if (!p || !engine_text_is_utf8(std::string_view(p, n))) return false;
    out = std::string_view(p, n);
    return true;
}

} // namespace script_engine
