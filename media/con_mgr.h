// The ConnectionManager service object of the media server device, the
// event source through which the device host subscribes to a service's
// state variables, and the content features of the HTTP side.
#pragma once
#include "platform/automation/com_objects.h"
#include "platform/upnp/upnp.h"

#include <mutex>
#include <string>
#include <string_view>

namespace media {

// The host's sink, kept while it is subscribed; state changes are handed to
// it on a thread of their own, never under the catalogue's lock.
class upnp_event_source : public automation::iunknown<upnp::event_source_i> {
  public:
    upnp_event_source() : automation::iunknown<upnp::event_source_i>(upnp::iid_event_source) {}
    upnp::hresult advise(automation::iunknown_i* subscriber) override;
    upnp::hresult unadvise(automation::iunknown_i* subscriber) override;
    // Tells the sink (when there is one) that the variables changed.
    void signal(const automation::dispid* ids, uint32_t count);
    bool subscribed();

  private:
    std::mutex lock_;
    automation::com_ptr<upnp::event_sink_i> sink_;
};

// Posts the change to the server pool (or runs it on the calling thread when
// there is none).
void post_signal_dispids(automation::com_ptr<upnp_event_source> source,
                         const automation::dispid* ids, uint32_t count);

struct con_mgr_i : automation::idispatch_i {};
inline constexpr automation::guid iid_con_mgr{
    0x7207D555, 0x972A, 0x48C2, {0xB5, 0x37, 0x7B, 0x72, 0x0C, 0x6E, 0x5E, 0x1B}};

class con_mgr : public automation::idispatch<con_mgr_i> {
  public:
    con_mgr();

    std::wstring source_protocol_info;
    std::wstring sink_protocol_info;
    std::wstring current_connection_ids = L"0";
    std::wstring connection_status = L"OK";
    std::wstring connection_manager;
    std::wstring direction = L"Output";
    std::wstring protocol_info;
    int32_t connection_id = -1;
    int32_t av_transport_id = 0;
    int32_t rcs_id = 0;
    std::mutex lock;

    automation::com_ptr<upnp_event_source> event_source();

  protected:
    automation::hresult query_other(const automation::guid& iid, void** out) override;

  private:
    automation::com_ptr<upnp_event_source> source_;
};

// The value of the contentFeatures.dlna.org header for a Content-Type.
std::wstring get_content_features(std::string_view content_type);

} // namespace media
