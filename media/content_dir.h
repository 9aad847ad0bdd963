// The ContentDirectory service object of the media server device: Browse
// answers with DIDL-Lite built from the media store, with item URLs on the
// program's own HTTP server at an address the player can reach; after each
// change of the store the update ids are evented.
#pragma once
#include "media/con_mgr.h"
#include "media/media_store.h"
#include "platform/automation/com_objects.h"

#include <memory>
#include <mutex>
#include <string>

namespace media {

struct content_dir_i : automation::idispatch_i {};
inline constexpr automation::guid iid_content_dir{
    0xB7576693, 0xA79B, 0x469B, {0xA0, 0xA4, 0xFA, 0x4E, 0x3D, 0x09, 0x7C, 0xBD}};

constexpr automation::dispid dispid_system_update_id = 19;
constexpr automation::dispid dispid_container_update_ids = 20;
constexpr automation::dispid dispid_a_arg_type_update_id = 21;

struct browse_result {
    // The document's UTF-8 bytes, shared with the answer cache and handed to
    // the device host as they are: read only.
    std::shared_ptr<automation::safearray> result;
    uint32_t number_returned = 0;
    uint32_t total_matches = 0;
    uint32_t update_id = 0;
};

class content_dir : public automation::idispatch<content_dir_i> {
  public:
    explicit content_dir(media_store& store, uint32_t http_port);
    ~content_dir() override;

    // Browse without the dispatch layer; false for an unknown object.
    bool browse(const std::wstring& local_address, const std::wstring& object_id,
                const std::wstring& browse_flag, uint32_t starting_index, uint32_t requested_count,
                browse_result& out);
    void on_store_changed();

    // The state-variable values (under lock).
    std::mutex lock;
    std::wstring transfer_ids, object_id, result, search_criteria, browse_flag, filter,
        sort_criteria, transfer_status, transfer_length, transfer_total, tag_value_list, uri;
    std::wstring search_capabilities, sort_capabilities, container_update_ids;
    uint32_t index = 0, count = 0, a_ae_update_rg_typid = 0, transfer_id = 0, system_update_id = 0,
             update_id = 0;

    media_store& store() { return store_; }

  protected:
    automation::hresult query_other(const automation::guid& iid, void** out) override;

  private:
    media_store& store_;
    uint32_t http_port_;
    struct object_entry {
        std::wstring oid;
        uint32_t generation = 0;
        std::shared_ptr<const media_object> obj;
    };
    struct answer_entry {
        std::wstring key;
        uint32_t generation = 0;
        browse_result result;
    };
    std::mutex cache_lock_;
    object_entry object_;
    answer_entry answer_;
    automation::com_ptr<upnp_event_source> source_;
};

// The address of this host on the network of the player (RemoteAddress of
// the endpoint information); "127.0.0.1" when none fits.
std::wstring local_address_for(automation::iunknown_i* endpoint_info);
std::wstring local_address_for_remote(const std::wstring& remote);

// & " < and control characters made safe for XML text and attributes; ">"
// stays, but where it would end "]]>".
std::wstring xml_escape_w(std::wstring_view text);

} // namespace media
