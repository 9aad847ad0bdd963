// Outgoing interfaces: an object that raises events offers a connection point
// per event interface; sinks (dispatch objects) advise and unadvise, and the
// source fires a dispid at every connected sink.
#pragma once
#include "platform/automation/dispatch.h"

#include <map>
#include <mutex>

namespace automation {

struct iconnection_point_i : iunknown_i {
    virtual hresult get_connection_interface(guid* out) = 0;
    virtual hresult advise(iunknown_i* sink, uint32_t* cookie) = 0;
    virtual hresult unadvise(uint32_t cookie) = 0;

  protected:
    ~iconnection_point_i() = default;
};

struct iconnection_point_container_i : iunknown_i {
    // The connection point for an event interface, with a reference added;
    // E_NOINTERFACE (0x80040200 CONNECT_E_NOCONNECTION on Windows) when none.
    virtual hresult find_connection_point(const guid& iid, iconnection_point_i** out) = 0;
    // EnumConnectionPoints: every connection point of the object, each with a
    // reference added. Containers that cannot list theirs answer E_NOTIMPL.
    virtual hresult enum_connection_points(std::vector<iconnection_point_i*>* out) {
        if (out) out->clear();
        return e_notimpl;
    }

  protected:
    ~iconnection_point_container_i() = default;
};

constexpr hresult connect_e_noconnection = static_cast<hresult>(0x80040200);
constexpr hresult connect_e_advise_limit = static_cast<hresult>(0x80040201);
constexpr hresult connect_e_cannotconnect = static_cast<hresult>(0x80040202);

// The sink list of one connection point. The owning object embeds it and
// forwards its own reference counting (the owner outlives every call).
class connection_point : public iconnection_point_i {
  public:
    connection_point(iunknown_i& owner, const guid& iid) : owner_(owner), iid_(iid) {}
    ~connection_point();

    hresult query_interface(const guid& iid, void** out) override;
    uint32_t add_ref() override { return owner_.add_ref(); }
    uint32_t release() override { return owner_.release(); }
    hresult get_connection_interface(guid* out) override;
    // The sink must answer for the event interface or for IDispatch.
    hresult advise(iunknown_i* sink, uint32_t* cookie) override;
    hresult unadvise(uint32_t cookie) override;

    // Calls the member at every sink (in order of advice); sinks that fail are
    // skipped. Returns the number of sinks called.
    int fire(dispid member, std::vector<variant> first_to_last);
    std::size_t sink_count() const;
    void unadvise_all();

  private:
    iunknown_i& owner_;
    guid iid_;
    mutable std::mutex lock_;
    uint32_t next_cookie_ = 1;
    std::map<uint32_t, idispatch_i*> sinks_; // each holds a reference
};

} // namespace automation
