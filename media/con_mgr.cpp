#include "media/con_mgr.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "media/dlna_profiles.h"
#include "media/media_server.h"
#include "server/request_thread.h"

#include <vector>

namespace media {

using automation::dispparams;
using automation::excepinfo;
using automation::hresult;
using automation::idispatch_i;
using automation::variant;

hresult upnp_event_source::advise(automation::iunknown_i* subscriber) {
    if (!subscriber) return automation::e_pointer;
    void* p = nullptr;
    const hresult hr = subscriber->query_interface(upnp::iid_event_sink, &p);
    if (automation::failed(hr)) return hr;
    automation::com_ptr<upnp::event_sink_i> sink;
    sink.attach(static_cast<upnp::event_sink_i*>(p));
    std::lock_guard<std::mutex> g(lock_);
    sink_ = std::move(sink); // an earlier sink is released
    return automation::s_ok;
}

hresult upnp_event_source::unadvise(automation::iunknown_i*) {
    automation::com_ptr<upnp::event_sink_i> old;
    std::lock_guard<std::mutex> g(lock_);
    old = std::move(sink_);
    return automation::s_ok;
}

bool upnp_event_source::subscribed() {
    std::lock_guard<std::mutex> g(lock_);
    return bool(sink_);
}

void upnp_event_source::signal(const automation::dispid* ids, uint32_t count) {
    automation::com_ptr<upnp::event_sink_i> sink;
    {
        // A reference taken under the lock: Unadvise may run at the same time.
        std::lock_guard<std::mutex> g(lock_);
        sink = sink_;
    }
    if (sink) sink->on_state_changed(count, ids);
}

void post_signal_dispids(automation::com_ptr<upnp_event_source> source,
                         const automation::dispid* ids, uint32_t count) {
    std::vector<automation::dispid> copy(ids, ids + count);
    auto job = [source, copy] {
        try {
            source->signal(copy.data(), uint32_t(copy.size()));
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("state change: %?\n", e.what()));
        }
    };
    if (cl::thread_pool* pool = server_pool(); pool && pool->run(job) != 0) return;
    job();
}

namespace {

con_mgr* self_of(idispatch_i* d) {
    return static_cast<con_mgr*>(static_cast<con_mgr_i*>(d));
}

void trace2(const char* what) {
    if (media_trace_level() > 1) cl::trace_out.write(cl::format_str("con mgr: %?\n", what));
}

#define CM_GET_TEXT(fn, field)                                                                     \
    hresult fn(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {                    \
        trace2(#fn);                                                                               \
        con_mgr* c = self_of(d);                                                                   \
        std::lock_guard<std::mutex> g(c->lock);                                                    \
        if (r) *r = variant::from_bstr(c->field);                                                  \
        return automation::s_ok;                                                                   \
    }
#define CM_GET_INT(fn, field)                                                                      \
    hresult fn(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {                    \
        trace2(#fn);                                                                               \
        con_mgr* c = self_of(d);                                                                   \
        std::lock_guard<std::mutex> g(c->lock);                                                    \
        if (r) *r = variant::from_i4(c->field);                                                    \
        return automation::s_ok;                                                                   \
    }

CM_GET_TEXT(get_SourceProtocolInfo, source_protocol_info)
CM_GET_TEXT(get_SinkProtocolInfo, sink_protocol_info)
CM_GET_TEXT(get_CurrentConnectionIDs, current_connection_ids)
CM_GET_TEXT(get_A_ARG_TYPE_ConnectionStatus, connection_status)
CM_GET_TEXT(get_A_ARG_TYPE_ConnectionManager, connection_manager)
CM_GET_TEXT(get_A_ARG_TYPE_Direction, direction)
CM_GET_TEXT(get_A_ARG_TYPE_ProtocolInfo, protocol_info)
CM_GET_INT(get_A_ARG_TYPE_ConnectionID, connection_id)
CM_GET_INT(get_A_ARG_TYPE_AVTransportID, av_transport_id)
CM_GET_INT(get_A_ARG_TYPE_RcsID, rcs_id)

// Out arguments are the call's trailing arguments; the member writes them.
hresult GetProtocolInfo(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    trace2("GetProtocolInfo");
    con_mgr* c = self_of(d);
    std::lock_guard<std::mutex> g(c->lock);
    p.arg(0) = variant::from_bstr(c->source_protocol_info);
    p.arg(1) = variant::from_bstr(c->sink_protocol_info);
    return automation::s_ok;
}

hresult GetCurrentConnectionIDs(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    trace2("GetCurrentConnectionIDs");
    con_mgr* c = self_of(d);
    std::lock_guard<std::mutex> g(c->lock);
    p.arg(0) = variant::from_bstr(c->current_connection_ids);
    return automation::s_ok;
}

hresult PrepareForConnection(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    trace2("PrepareForConnection");
    return automation::e_notimpl;
}

hresult ConnectionComplete(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    trace2("ConnectionComplete");
    return automation::e_notimpl;
}

// (ConnectionID, RcsID, AVTransportID, ProtocolInfo, PeerConnectionManager,
//  PeerConnectionID, Direction, Status)
hresult GetCurrentConnectionInfo(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    trace2("GetCurrentConnectionInfo");
    con_mgr* c = self_of(d);
    std::lock_guard<std::mutex> g(c->lock);
    c->rcs_id = 0;
    c->av_transport_id = 0;
    c->protocol_info = c->source_protocol_info;
    c->connection_manager.clear();
    c->connection_id = -1;
    c->direction = L"Output";
    c->connection_status = L"OK";
    p.arg(1) = variant::from_i4(c->rcs_id);
    p.arg(2) = variant::from_i4(c->av_transport_id);
    p.arg(3) = variant::from_bstr(c->protocol_info);
    p.arg(4) = variant::from_bstr(c->connection_manager);
    p.arg(5) = variant::from_i4(c->connection_id);
    p.arg(6) = variant::from_bstr(c->direction);
    p.arg(7) = variant::from_bstr(c->connection_status);
    return automation::s_ok;
}

using automation::member_get;
using automation::member_method;

const automation::type_info con_mgr_type{
    iid_con_mgr,
    L"IUPnPService_con_mgrDual",
    {
        {1, L"SourceProtocolInfo", member_get, 0, 0, get_SourceProtocolInfo},
        {2, L"SinkProtocolInfo", member_get, 0, 0, get_SinkProtocolInfo},
        {3, L"CurrentConnectionIDs", member_get, 0, 0, get_CurrentConnectionIDs},
        {4, L"A_ARG_TYPE_ConnectionStatus", member_get, 0, 0, get_A_ARG_TYPE_ConnectionStatus},
        {5, L"A_ARG_TYPE_ConnectionManager", member_get, 0, 0, get_A_ARG_TYPE_ConnectionManager},
        {6, L"A_ARG_TYPE_Direction", member_get, 0, 0, get_A_ARG_TYPE_Direction},
        {7, L"A_ARG_TYPE_ProtocolInfo", member_get, 0, 0, get_A_ARG_TYPE_ProtocolInfo},
        {8, L"A_ARG_TYPE_ConnectionID", member_get, 0, 0, get_A_ARG_TYPE_ConnectionID},
        {9, L"A_ARG_TYPE_AVTransportID", member_get, 0, 0, get_A_ARG_TYPE_AVTransportID},
        {10, L"A_ARG_TYPE_RcsID", member_get, 0, 0, get_A_ARG_TYPE_RcsID},
        {11, L"GetProtocolInfo", member_method, 2, 2, GetProtocolInfo},
        {12, L"PrepareForConnection", member_method, 8, 8, PrepareForConnection},
        {13, L"ConnectionComplete", member_method, 1, 1, ConnectionComplete},
        {14, L"GetCurrentConnectionIDs", member_method, 1, 1, GetCurrentConnectionIDs},
        {15, L"GetCurrentConnectionInfo", member_method, 8, 8, GetCurrentConnectionInfo},
    }};
const bool con_mgr_registered = (automation::program_type_library().add(&con_mgr_type), true);

} // namespace

con_mgr::con_mgr() {
    (void)con_mgr_registered;
    load_type_info(automation::program_type_library(), iid_con_mgr);
    for (const auto& [mime, profile] : dlna_profiles()) {
        if (!source_protocol_info.empty()) source_protocol_info += L',';
        source_protocol_info += L"http-get:*:" + cl::utf8_to_utf16(mime) + L":*";
    }
    if (media_trace_level() != 0)
        cl::trace_out.write_w(
            cl::format_wstr(L"SourceProtocolInfo is: %?\n", source_protocol_info));
    protocol_info = source_protocol_info;
}

automation::com_ptr<upnp_event_source> con_mgr::event_source() {
    std::lock_guard<std::mutex> g(lock);
    return source_;
}

automation::hresult con_mgr::query_other(const automation::guid& iid, void** out) {
    if (iid == upnp::iid_event_source) {
        // One event source per service: a second query gets the same one.
        std::lock_guard<std::mutex> g(lock);
        if (!source_) source_ = automation::com_ptr<upnp_event_source>(new upnp_event_source);
        source_->add_ref();
        *out = static_cast<upnp::event_source_i*>(source_.get());
        return automation::s_ok;
    }
    return automation::idispatch<con_mgr_i>::query_other(iid, out);
}

std::wstring get_content_features(std::string_view content_type) {
    // Parameters after the type ("; charset=...") do not change the profile.
    std::string_view t = content_type.substr(0, content_type.find(';'));
    while (!t.empty() && t.back() == ' ')
        t.remove_suffix(1);
    return append_dlna_flags(t);
}

} // namespace media
