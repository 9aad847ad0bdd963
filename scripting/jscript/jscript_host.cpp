#include "scripting/jscript/jscript_host.h"

#include "core/folders.h"
#include "core/format.h"
#include "core/path.h"
#include "core/trace.h"
#include "scripting/jscript/global_objects.h"
#include "server/server_dirs.h"

#include <algorithm>
#include <set>

using namespace automation;

namespace scripting {

namespace {

std::set<std::wstring> global_names(script_engine::engine& eng) {
    std::set<std::wstring> names;
    automation::com_ptr<idispatch_ex_i> d;
    if (failed(eng.get_script_dispatch(d.put())) || !d) return names;
    dispid id = dispid_startenum;
    for (int guard = 0; guard < 100000; ++guard) {
        if (d->get_next_disp_id(fdex_enum_all, id, &id) != s_ok) break;
        std::wstring name;
        if (succeeded(d->get_member_name(id, &name))) names.insert(name);
    }
    return names;
}

} // namespace

jscript_host::jscript_host() {
    ++automation::g_com_stats.hosts.created;
}

jscript_host::~jscript_host() {
    if (global_) global_->detach_host();
    script_dispatch_.reset();
    {
        // The page's engine goes first: it may still hold functions of its
        // modules, which need their engines to be let go.
        std::lock_guard g(engine_lock_);
        engine_.reset();
    }
    global_.reset();
    current_ = nullptr;
    std::map<std::wstring, std::unique_ptr<jscript_host>> modules;
    {
        std::lock_guard g(engine_lock_);
        modules.swap(modules_);
    }
    modules.clear();
    ++automation::g_com_stats.hosts.destroyed;
}

void jscript_host::set_run_time_limit(uint32_t ms) {
    run_time_limit_ms_ = ms;
    std::lock_guard g(engine_lock_);
    if (engine_) engine_->set_run_time_limit(ms);
}

void jscript_host::interrupt() {
    std::lock_guard g(engine_lock_);
    if (engine_) engine_->interrupt();
    for (auto& [name, m] : modules_)
        m->interrupt();
}

hresult jscript_host::load(const std::wstring& path, load_context& params, bool need_main) {
    load_params_ = &params;
    request_context_ = params.request_context;
    if (!(params.class_id == ::clsid_jscript)) {
        load_params_ = nullptr;
        return regdb_e_classnotreg;
    }
    {
        std::lock_guard g(engine_lock_);
        engine_ = std::make_unique<script_engine::engine>();
        if (run_time_limit_ms_) engine_->set_run_time_limit(run_time_limit_ms_);
    }
    engine_->set_error_sink([this](const script_engine::script_error& e) { on_script_error(e); });
    global_ = automation::com_ptr<main_script_object>(new main_script_object(this));
    hresult hr = engine_->add_named_item(L"window", global_.get(), true);
    if (failed(hr)) {
        load_params_ = nullptr;
        return hr;
    }
    engine_->enable_active_x_object();
    path_ = path;
    std::wstring text;
    if (!read_script_source(path, text, pieces_, params)) {
        load_params_ = nullptr;
        return e_fail;
    }
    const std::set<std::wstring> before = global_names(*engine_);
    excepinfo ei;
    hr = engine_->parse_script_text(text, &ei);
    load_params_ = nullptr;
    if (failed(hr)) return hr;
    // The names the script made at global level: a request must not see
    // another's values in them.
    for (const std::wstring& n : global_names(*engine_))
        if (!before.count(n)) global_->note_name(n);
    hr = engine_->get_script_dispatch(script_dispatch_.put());
    if (failed(hr)) return hr;
    if (!need_main) return s_ok;
    const std::wstring main_name = L"main";
    hr = script_dispatch_->get_ids_of_names(iid_null, &main_name, 1, 0x400, &main_id_);
    if (succeeded(hr)) {
        // A global that is not a function cannot serve requests.
        variant v;
        dispparams none;
        if (succeeded(script_dispatch_->invoke(main_id_, iid_null, 0x400, dispatch_propertyget,
                                               none, &v, nullptr, nullptr)) &&
            v.vt() != vt_dispatch)
            hr = disp_e_unknownname;
    }
    if (failed(hr)) {
        const std::wstring t =
            cl::format_wstr(L"could not locate %?: %x\n", main_name, static_cast<uint32_t>(hr));
        if (request_context_) request_context_->error_text = t;
        if (trace_level() != 0) cl::trace_out.write_w(t);
        return hr;
    }
    return s_ok;
}

void jscript_host::run(const cl::sh_ptr<shost_file_adapter>& adapter, script_context* context) {
    current_ = adapter;
    request_context_ = context;
    if (global_) global_->set_current_request(adapter);
    if (script_dispatch_) {
        dispparams none;
        variant r;
        excepinfo ei;
        script_dispatch_->invoke(main_id_, iid_null, 0x400, dispatch_method, none, &r, &ei,
                                 nullptr);
    }
    if (shost_file* f = current_file()) f->end_response();
}

void jscript_host::after_run() {
    current_ = nullptr;
    if (global_) global_->set_current_request(nullptr);
}

bool jscript_host::has_global_state() {
    if (global_) {
        const std::wstring name = global_->global_state_name();
        if (!name.empty()) {
            if (trace_level() >= 2)
                cl::trace_out.write_w(
                    cl::format_wstr(L"Script has global state due to '%?'.\n", name));
            return true;
        }
    }
    for (auto& [n, m] : modules_)
        if (m->has_global_state()) return true;
    return false;
}

hresult jscript_host::require(const std::wstring& name, variant* result, excepinfo* ei) {
    *result = variant::null();
    jscript_host* mod = nullptr;
    auto it = modules_.find(name);
    if (it != modules_.end()) {
        mod = it->second.get();
    } else {
        if (!load_params_) {
            return engine_ && succeeded(engine_->raise_script_error(
                                  L"require is only allowed during script load"))
                       ? s_ok
                       : e_fail;
        }
        load_context& lc = *load_params_;
        // A module that requires itself (directly or round about) or a chain
        // too long would never end: it fails as an error of the script.
        if (lc.loading.size() >= static_cast<std::size_t>(max_require_depth) ||
            std::find(lc.loading.begin(), lc.loading.end(), name) != lc.loading.end()) {
            engine_->raise_script_error(
                cl::format_wstr(L"require of %? is circular or nested too deeply", name));
            return s_ok;
        }
        std::vector<std::wstring> dirs{lc.base_dir};
        for (auto d = lc.module_dirs.rbegin(); d != lc.module_dirs.rend(); ++d)
            dirs.push_back(*d);
        std::wstring file;
        for (std::wstring dir : dirs) {
            if (dir.empty()) continue;
            cl::append_backslash(dir);
            std::vector<std::wstring> tries;
            if (name.find(L'.') != std::wstring::npos)
                tries = {dir + name};
            else
                tries = {dir + name + L".jss", dir + name + L".js"};
            for (const auto& t : tries)
                if (cl::file_exists(t)) {
                    file = t;
                    break;
                }
            if (!file.empty()) break;
        }
        auto m = std::make_unique<jscript_host>();
        m->set_run_time_limit(run_time_limit_ms_);
        lc.loading.push_back(name);
        const hresult hr = m->load(file, lc, false);
        lc.loading.pop_back();
        load_params_ = &lc;
        if (failed(hr)) {
            // The module's own report says what went wrong; the caller's
            // error carries it.
            if (ei && request_context_ && !request_context_->error_text.empty()) {
                std::wstring text = request_context_->error_text;
                while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
                    text.pop_back();
                ei->description = cl::format_wstr(L"module %? failed: %?", name, text);
                ei->scode = hr;
                return disp_e_exception;
            }
            return hr;
        }
        if (!m->script_dispatch()) {
            const std::wstring t =
                cl::format_wstr(L"could not get script dispatch for module %?", file);
            if (request_context_) request_context_->error_text = t;
            if (trace_level() != 0) cl::trace_out.write_w(t + L"\n");
            return e_fail;
        }
        mod = m.get();
        std::lock_guard g(engine_lock_);
        modules_[name] = std::move(m);
    }
    if (trace_level() >= 2) cl::trace_out.write_w(cl::format_wstr(L"module %? members:\n", name));
    dispid id = dispid_unknown;
    if (failed(mod->script_dispatch()->get_disp_id(L"exports", fdex_name_case_sensitive, &id))) {
        if (trace_level() != 0) cl::trace_out.write("could not locate 'exports'\n");
        return disp_e_unknownname;
    }
    dispparams none;
    return mod->script_dispatch()->invoke(id, iid_null, 0, dispatch_propertyget, none, result,
                                          nullptr, nullptr);
}

void jscript_host::map_line(const std::vector<source_piece>& pieces, uint32_t line,
                            std::wstring& file, uint32_t& file_line) {
    file_line = line;
    if (pieces.empty()) {
        file.clear();
        return;
    }
    uint32_t l = line;
    for (const source_piece& p : pieces) {
        if (l > p.count) {
            l -= p.count;
            continue;
        }
        if (p.file.empty()) break;
        file = p.file;
        file_line = l - 1 + p.first_line;
        return;
    }
    file = pieces.back().file;
    file_line = 0;
}

std::wstring jscript_host::error_text(const script_engine::script_error& e) const {
    std::wstring file;
    uint32_t line = 0;
    map_line(pieces_, e.line, file, line);
    std::wstring t =
        cl::format_wstr(L"Script error in %?\n   Line %?, column %?\n", file, line, e.column);
    if (!e.line_text.empty()) t += L"   Line: " + e.line_text + L"\n";
    if (!e.description.empty()) t += L"   Description: " + e.description + L"\n";
    if (!e.source.empty()) t += L"   Source: " + e.source + L"\n";
    return t;
}

void jscript_host::on_script_error(const script_engine::script_error& e) {
    if (e.scode == e_abort && e.source == L"qvel" && e.description == L"normal script exit") return;
    const std::wstring t = error_text(e);
    cl::trace_out.write_w(t);
    if (request_context_) request_context_->error_text = t;
    if (errors_to_response_)
        if (shost_file* f = current_file()) f->write_error_text(t);
}

} // namespace scripting
