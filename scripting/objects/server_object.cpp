// Server lists for scripts, the writable view of the response headers, and
// the connection of a created object's events to script functions.
#include "core/format.h"
#include "core/sync.h"
#include "core/trace.h"
#include "platform/automation/connection_point.h"
#include "platform/script_engine/engine.h"
#include "scripting/objects/object_support.h"
#include "scripting/objects/script_objects.h"
#include "scripting/objects/thread_queue.h"
#include "server/blocklist.h"
#include "server/response_headers.h"

#include <atomic>
#include <map>
#include <set>

namespace scripting::objects {

namespace {

// ---------------------------------------------------------------- server object

struct iserver_object_i : idispatch_ex_i {};
constexpr guid iid_iserver_object{
    0x4FFA4A75, 0x4CAF, 0x4E65, {0x95, 0x4B, 0xA4, 0xFB, 0xFC, 0x82, 0xC5, 0x80}};

class server_obj;
struct list_provider {
    template <class M> void refresh_members(M&) {}
    void member_deleted(const std::wstring&) {}
    const server_list_source* lists = nullptr;
};

class server_obj final
    : public automation::idispatch_ex_wstr_impl<iserver_object_i, 0x1000, list_provider> {
  public:
    explicit server_obj(const server_list_source* lists) : idispatch_ex_wstr_impl(&provider_) {
        provider_.lists = lists;
        load_type_info(program_type_library(), iid_iserver_object);
    }
    hresult construct(const std::wstring& name) {
        std::vector<std::wstring> keys, values;
        if (name == L"blocklist") {
            blocklist_list(keys, values);
        } else if (provider_.lists && *provider_.lists) {
            (*provider_.lists)(name, keys, values);
        }
        for (std::size_t i = 0; i < keys.size() && i < values.size(); ++i)
            set_member(keys[i], values[i]);
        return s_ok;
    }

  private:
    list_provider provider_;
};

// The list is filled at construction; scripts see only its entries (a member
// of the type table would show up among them when a script enumerates).
const type_info iserver_object_type{iid_iserver_object, L"iserver_object", {}};

// ---------------------------------------------------------------- response headers

struct iheaders_i : idispatch_ex_i {};

struct header_provider {
    template <class M> void refresh_members(M&) {}
    void member_deleted(const std::wstring& name) {
        if (headers) headers->remove(name);
    }
    cl::sh_ptr<response_headers_base> headers;
};

class header_obj final
    : public automation::idispatch_ex_wstr_impl<iheaders_i, 0x1000, header_provider> {
    using base = automation::idispatch_ex_wstr_impl<iheaders_i, 0x1000, header_provider>;

  public:
    explicit header_obj(cl::sh_ptr<response_headers_base> headers) : base(&provider_) {
        provider_.headers = std::move(headers);
        set_read_only(false);
        std::vector<std::wstring> names, values;
        if (provider_.headers) provider_.headers->copy_out(names, values);
        for (std::size_t i = 0; i < names.size() && i < values.size(); ++i)
            set_member(names[i], values[i]);
        set_changed(false);
    }

  protected:
    hresult dynamic_invoke(dispid id, lcid lcid, uint16_t flags, dispparams& params,
                           variant* result, excepinfo* ei, iunknown_i* caller) override {
        if ((flags & (dispatch_propertyput | dispatch_propertyputref)) && params.count() != 1)
            return disp_e_badparamcount;
        const hresult hr = base::dynamic_invoke(id, lcid, flags, params, result, ei, caller);
        if (succeeded(hr) && (flags & (dispatch_propertyput | dispatch_propertyputref)) &&
            id >= 0x1000 && static_cast<std::size_t>(id - 0x1000) < member_count() &&
            provider_.headers) {
            const std::size_t i = static_cast<std::size_t>(id - 0x1000);
            provider_.headers->add_wide(member_name(i), member_value(i));
        }
        return hr;
    }

  private:
    header_provider provider_;
};

// ---------------------------------------------------------------- event connections

class event_sink;

struct sink_set {
    std::mutex lock;
    std::set<event_sink*> sinks;
};
sink_set& sinks() {
    static auto* s = new sink_set;
    return *s;
}

// Receives a source's events and calls the script's function prefix + event
// name on the script's own thread: an event raised on another thread waits in
// that thread's queue until the script sleeps or waits.
class event_sink final : public idispatch_i {
  public:
    event_sink(std::map<dispid, std::wstring> names, std::wstring prefix,
               automation::com_ptr<idispatch_i> handler)
        : names_(std::move(names)), prefix_(std::move(prefix)), handler_(std::move(handler)),
          home_(thread_queue::current()) {
        std::lock_guard lk(sinks().lock);
        sinks().sinks.insert(this);
    }

    hresult query_interface(const guid& iid, void** out) override {
        if (!out) return e_pointer;
        if (iid == iid_iunknown || iid == iid_idispatch || iid == source_iid_) {
            add_ref();
            *out = static_cast<idispatch_i*>(this);
            return s_ok;
        }
        *out = nullptr;
        return e_nointerface;
    }
    uint32_t add_ref() override { return static_cast<uint32_t>(++count_); }
    uint32_t release() override {
        std::unique_lock lk(sinks().lock);
        const int n = --count_;
        if (n != 0) return static_cast<uint32_t>(n);
        sinks().sinks.erase(this);
        lk.unlock();
        delete this;
        return 0;
    }
    // add_ref unless the last reference is already gone (under the set's lock).
    bool try_add_ref() {
        int n = count_.load();
        while (n > 0)
            if (count_.compare_exchange_weak(n, n + 1)) return true;
        return false;
    }
    hresult get_type_info_count(uint32_t* out) override {
        if (out) *out = 0;
        return s_ok;
    }
    hresult get_type_info(uint32_t, lcid, const automation::type_info** out) override {
        if (out) *out = nullptr;
        return e_notimpl;
    }
    hresult get_ids_of_names(const guid&, const std::wstring*, uint32_t, lcid, dispid*) override {
        return e_notimpl;
    }
    hresult invoke(dispid member, const guid&, lcid, uint16_t flags, dispparams& params, variant*,
                   excepinfo*, uint32_t*) override {
        auto it = names_.find(member);
        if (it == names_.end()) return disp_e_membernotfound;
        const std::wstring function = prefix_ + it->second;
        auto home = home_.lock();
        if (!home || home->on_own_thread()) {
            call(function, flags, params);
            return s_ok;
        }
        automation::com_ptr<event_sink> self(this);
        home->post([self, function, flags, copy = params]() mutable {
            self->call(function, flags, copy);
        });
        return s_ok;
    }

    void connected(const guid& iid, iconnection_point_i* cp, uint32_t cookie) {
        source_iid_ = iid;
        cp_ = cp;
        cookie_ = cookie;
    }
    void disconnect() {
        iconnection_point_i* cp = std::exchange(cp_, nullptr);
        if (cp) cp->unadvise(cookie_);
    }

  private:
    ~event_sink() {
        // The handler belongs to the script's engine, which is used on its
        // own thread only.
        auto home = home_.lock();
        if (home && !home->on_own_thread() && handler_) {
            home->post([h = std::move(handler_)]() mutable { h.reset(); });
        }
    }
    void call(const std::wstring& function, uint16_t flags, dispparams& params) {
        if (!handler_) return;
        dispid id = dispid_unknown;
        if (failed(handler_->get_ids_of_names(iid_null, &function, 1, lcid_user_default, &id)))
            return;
        variant ignored;
        excepinfo ei;
        (void)flags;
        handler_->invoke(id, iid_null, lcid_user_default, dispatch_method, params, &ignored, &ei,
                         nullptr);
    }

    std::map<dispid, std::wstring> names_;
    std::wstring prefix_;
    automation::com_ptr<idispatch_i> handler_;
    std::weak_ptr<thread_queue> home_;
    std::atomic<int> count_{0};
    guid source_iid_{};
    iconnection_point_i* cp_ = nullptr; // not held: the source owns its connection points
    uint32_t cookie_ = 0;
};

} // namespace

hresult create_server_object(const std::wstring& name, cl::sh_ptr<response_headers_base> headers,
                             const server_list_source& lists, variant* out) {
    if (!out) return e_pointer;
    register_type_once(iserver_object_type);
    if (name == L"http_response_header") {
        automation::com_ptr<header_obj> obj(new header_obj(std::move(headers)));
        *out = variant::from_dispatch(obj.get());
        return s_ok;
    }
    automation::com_ptr<server_obj> obj(new server_obj(&lists));
    const hresult hr = obj->construct(name);
    if (failed(hr)) return hr;
    *out = variant::from_dispatch(obj.get());
    return s_ok;
}

hresult connect_object_events(idispatch_i* obj, const variant& param, script_engine::engine& eng) {
    if (!obj) return e_pointer;
    if (param.vt() == vt_null || param.vt() == vt_empty) return s_ok;
    automation::com_ptr<idispatch_i> handler;
    std::wstring prefix;
    if (param.vt() == vt_bstr) {
        idispatch_ex_i* global = nullptr;
        if (failed(eng.get_script_dispatch(&global)) || !global) return e_fail;
        handler.attach(global);
        prefix = param.bstr();
    } else if (param.vt() == vt_dispatch && param.dispatch()) {
        handler = automation::com_ptr<idispatch_i>(param.dispatch());
    } else {
        return disp_e_badvartype;
    }

    void* p = nullptr;
    if (failed(obj->query_interface(iid_iconnection_point_container, &p)))
        return connect_e_noconnection;
    automation::com_ptr<iconnection_point_container_i> container;
    container.attach(static_cast<iconnection_point_container_i*>(p));
    std::vector<iconnection_point_i*> points;
    container->enum_connection_points(&points);
    bool any = false;
    for (iconnection_point_i* cp : points) {
        automation::com_ptr<iconnection_point_i> hold;
        hold.attach(cp);
        guid iid;
        const automation::type_info* ti = nullptr;
        if (any || failed(cp->get_connection_interface(&iid)) ||
            failed(program_type_library().get_type_info_of_guid(iid, &ti)) || !ti)
            continue;
        std::map<dispid, std::wstring> names;
        for (const auto& m : ti->members())
            names.emplace(m.id, m.name);
        cl::trace_out.write_w(cl::format_wstr(L"ConnectObject: using interface %?\n", ti->name()));
        automation::com_ptr<event_sink> sink(new event_sink(std::move(names), prefix, handler));
        sink->connected(iid, cp, 0);
        uint32_t cookie = 0;
        if (succeeded(cp->advise(static_cast<idispatch_i*>(sink.get()), &cookie))) {
            sink->connected(iid, cp, cookie);
            any = true;
        }
    }
    return any ? s_ok : connect_e_noconnection;
}

void disconnect_all_event_handlers() {
    std::vector<automation::com_ptr<event_sink>> all;
    {
        std::lock_guard lk(sinks().lock);
        for (event_sink* s : sinks().sinks)
            if (s->try_add_ref()) {
                automation::com_ptr<event_sink> p;
                p.attach(s);
                all.push_back(std::move(p));
            }
    }
    for (auto& s : all)
        s->disconnect();
}

std::size_t connected_event_handlers() {
    std::lock_guard lk(sinks().lock);
    return sinks().sinks.size();
}

} // namespace scripting::objects
