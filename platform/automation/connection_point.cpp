#include "platform/automation/connection_point.h"

namespace automation {

connection_point::~connection_point() {
    unadvise_all();
}

hresult connection_point::query_interface(const guid& iid, void** out) {
    if (!out) return e_pointer;
    if (iid == iid_iunknown || iid == iid_iconnection_point) {
        add_ref();
        *out = static_cast<iconnection_point_i*>(this);
        return s_ok;
    }
    *out = nullptr;
    return e_nointerface;
}

hresult connection_point::get_connection_interface(guid* out) {
    if (!out) return e_pointer;
    *out = iid_;
    return s_ok;
}

hresult connection_point::advise(iunknown_i* sink, uint32_t* cookie) {
    if (!sink || !cookie) return e_pointer;
    *cookie = 0;
    void* p = nullptr;
    if (failed(sink->query_interface(iid_, &p)) && failed(sink->query_interface(iid_idispatch, &p)))
        return connect_e_cannotconnect;
    std::lock_guard g(lock_);
    *cookie = next_cookie_++;
    sinks_.emplace(*cookie, static_cast<idispatch_i*>(p));
    return s_ok;
}

hresult connection_point::unadvise(uint32_t cookie) {
    idispatch_i* sink = nullptr;
    {
        std::lock_guard g(lock_);
        auto it = sinks_.find(cookie);
        if (it == sinks_.end()) return connect_e_noconnection;
        sink = it->second;
        sinks_.erase(it);
    }
    sink->release();
    return s_ok;
}

void connection_point::unadvise_all() {
    std::map<uint32_t, idispatch_i*> gone;
    {
        std::lock_guard g(lock_);
        gone.swap(sinks_);
    }
    for (auto& [cookie, sink] : gone)
        sink->release();
}

std::size_t connection_point::sink_count() const {
    std::lock_guard g(lock_);
    return sinks_.size();
}

int connection_point::fire(dispid member, std::vector<variant> first_to_last) {
    // Calls run without the lock: a sink may unadvise from inside its handler.
    std::vector<idispatch_i*> targets;
    {
        std::lock_guard g(lock_);
        for (auto& [cookie, sink] : sinks_) {
            sink->add_ref();
            targets.push_back(sink);
        }
    }
    int called = 0;
    for (idispatch_i* sink : targets) {
        dispparams params = dispparams::of(first_to_last);
        variant result;
        if (succeeded(sink->invoke(member, iid_null, lcid_user_default, dispatch_method, params,
                                   &result, nullptr, nullptr)))
            ++called;
        sink->release();
    }
    return called;
}

} // namespace automation
