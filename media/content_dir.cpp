#include "media/content_dir.h"

#include "core/format.h"
#include "core/ip_addr.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "media/dlna_profiles.h"
#include "media/media_server.h"
#include "system/ipv4_text.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>

namespace media {

using automation::dispparams;
using automation::excepinfo;
using automation::hresult;
using automation::idispatch_i;
using automation::variant;

namespace {

const char didl_header[] = "<DIDL-Lite xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                           "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
                           "xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
                           "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\">";

content_dir* self_of(idispatch_i* d) {
    return static_cast<content_dir*>(static_cast<content_dir_i*>(d));
}

void trace2(const char* what) {
    if (media_trace_level() > 1) cl::trace_out.write(cl::format_str("con dir: %?\n", what));
}

bool starts_i(const std::string& s, std::string_view p) {
    return s.size() >= p.size() && cl::iequals(std::string_view(s).substr(0, p.size()), p);
}

// The answer is written as UTF-8 from the start: a large folder's answer is
// megabytes, and four bytes a character would be four times that. Players
// parse every byte of it, so only what XML needs is replaced: "&", "<" and
// the double quote (the texts also stand in attributes); ">" only where it
// would end "]]>", which no text may hold.
void append_escaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            if (out.size() >= 2 && out[out.size() - 1] == ']' && out[out.size() - 2] == ']')
                out += "&gt;";
            else
                out += '>';
            break;
        default:
            // Characters XML cannot carry at all.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += '?';
            else
                out += c;
        }
    }
}

void append_escaped(std::string& out, std::wstring_view text) {
    append_escaped(out, cl::utf16_to_utf8(text));
}

void append_container(std::string& out, const std::wstring& id, const std::wstring& parent,
                      uint32_t children, const std::wstring& title) {
    out += "<container id=\"";
    append_escaped(out, id);
    out += "\" restricted=\"1\" parentID=\"";
    append_escaped(out, parent);
    out += "\" childCount=\"";
    out += std::to_string(children);
    out += "\" searchable=\"0\"><upnp:class name=\"object.container\">object.container"
           "</upnp:class><upnp:writeStatus>NOT_WRITABLE</upnp:writeStatus><dc:title>";
    append_escaped(out, title);
    out += "</dc:title></container>";
}

// flags: the last MIME type and its DLNA field.
void append_item(std::string& out, const std::string& dir_id, const media_entry& e,
                 const std::string& url, std::pair<std::string, std::string>& flags) {
    const char* cls;
    const char* attrs;
    int kind;
    if (starts_i(e.mime_type, "audio/")) {
        cls = "object.item.audioItem";
        attrs = "bitsPerSample=\"16\" duration=\"0:01:00.000\" nrAudioChannels=\"2\" "
                "bitrate=\"24000\" sampleFrequency=\"44100\"";
        kind = 0;
    } else if (starts_i(e.mime_type, "video/")) {
        cls = "object.item.videoItem";
        attrs = "duration=\"0:01:00.000\" bitrate=\"1500000\" nrAudioChannels=\"2\" "
                "resolution=\"640x480\"";
        kind = 1;
    } else {
        cls = "object.item.imageItem";
        attrs = "resolution=\"500x500\"";
        kind = 2;
    }
    // Items cannot be changed through the service: restricted.
    out += "<item id=\"";
    out += dir_id;
    out += '-';
    append_escaped(out, e.id_text);
    out += "\" restricted=\"1\" parentID=\"";
    out += dir_id;
    out += "\"><upnp:class name=\"";
    out += cls;
    out += "\">";
    out += cls;
    out += "</upnp:class><res size=\"";
    out += std::to_string(e.size);
    out += "\" protocolInfo=\"http-get:*:";
    append_escaped(out, std::string_view(e.mime_type));
    out += ':';
    // A folder's files share a few types: the field is made once per type
    // and answer.
    if (flags.second.empty() || flags.first != e.mime_type) {
        flags.first = e.mime_type;
        flags.second = cl::utf16_to_utf8(append_dlna_flags(e.mime_type));
    }
    out += flags.second;
    out += "\" ";
    out += attrs;
    out += '>';
    append_escaped(out, std::string_view(url));
    out += "</res><dc:date>";
    append_escaped(out, e.date);
    out += "</dc:date><dc:creator>unknown</dc:creator><dc:title>";
    append_escaped(out, cl::file_name_part(e.path));
    out += "</dc:title>";
    auto element = [&](const char* open, const std::wstring& text, const char* close) {
        if (text.empty()) return;
        out += open;
        append_escaped(out, text);
        out += close;
    };
    if (kind == 0) {
        element("<upnp:artist role=\"AlbumArtist\">", e.artist, "</upnp:artist>");
        element("<upnp:album>", e.album, "</upnp:album>");
    } else if (kind == 1) {
        element("<upnp:genre>", e.album, "</upnp:genre>");
    } else {
        element("<upnp:album>", e.album, "</upnp:album>");
    }
    out += "</item>";
}

std::wstring text_arg(const variant& v) {
    variant t;
    if (automation::failed(automation::change_type(t, v, automation::vt_bstr))) return {};
    return t.bstr();
}

bool uint_arg(const variant& v, uint32_t& out) {
    variant t;
    if (automation::failed(automation::change_type(t, v, automation::vt_i8))) return false;
    if (t.int_value() < 0 || t.int_value() > 0xFFFFFFFFll) return false;
    out = uint32_t(t.int_value());
    return true;
}

#define CD_GET_TEXT(fn, field)                                                                     \
    hresult fn(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {                    \
        trace2(#fn);                                                                               \
        content_dir* c = self_of(d);                                                               \
        std::lock_guard<std::mutex> g(c->lock);                                                    \
        if (r) *r = variant::from_bstr(c->field);                                                  \
        return automation::s_ok;                                                                   \
    }
#define CD_GET_UINT(fn, field)                                                                     \
    hresult fn(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {                    \
        trace2(#fn);                                                                               \
        content_dir* c = self_of(d);                                                               \
        std::lock_guard<std::mutex> g(c->lock);                                                    \
        if (r) *r = variant::from_int(automation::vt_ui4, c->field);                               \
        return automation::s_ok;                                                                   \
    }

CD_GET_TEXT(get_TransferIDs, transfer_ids)
CD_GET_TEXT(get_A_ARG_TYPE_ObjectID, object_id)
CD_GET_TEXT(get_A_ARG_TYPE_Result, result)
CD_GET_TEXT(get_A_ARG_TYPE_SearchCriteria, search_criteria)
CD_GET_TEXT(get_A_ARG_TYPE_BrowseFlag, browse_flag)
CD_GET_TEXT(get_A_ARG_TYPE_Filter, filter)
CD_GET_TEXT(get_A_ARG_TYPE_SortCriteria, sort_criteria)
CD_GET_UINT(get_A_ARG_TYPE_Index, index)
CD_GET_UINT(get_A_ARG_TYPE_Count, count)
CD_GET_UINT(get_A_AE_UpdateRG_TYPID, a_ae_update_rg_typid)
CD_GET_UINT(get_A_ARG_TYPE_TransferID, transfer_id)
CD_GET_TEXT(get_A_ARG_TYPE_TransferStatus, transfer_status)
CD_GET_TEXT(get_A_ARG_TYPE_TransferLength, transfer_length)
CD_GET_TEXT(get_A_ARG_TYPE_TransferTotal, transfer_total)
CD_GET_TEXT(get_A_ARG_TYPE_TagValueList, tag_value_list)
CD_GET_TEXT(get_A_ARG_TYPE_URI, uri)
CD_GET_TEXT(get_SearchCapabilities, search_capabilities)
CD_GET_TEXT(get_SortCapabilities, sort_capabilities)
CD_GET_UINT(get_SystemUpdateID, system_update_id)
CD_GET_TEXT(get_ContainerUpdateIDs, container_update_ids)
CD_GET_UINT(get_A_ARG_TYPE_UpdateID, update_id)

hresult GetSearchCapabilities(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    trace2("GetSearchCapabilities");
    content_dir* c = self_of(d);
    std::lock_guard<std::mutex> g(c->lock);
    p.arg(0) = variant::from_bstr(c->search_capabilities);
    return automation::s_ok;
}

hresult GetSortCapabilities(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    trace2("GetSortCapabilities");
    content_dir* c = self_of(d);
    std::lock_guard<std::mutex> g(c->lock);
    p.arg(0) = variant::from_bstr(c->sort_capabilities);
    return automation::s_ok;
}

hresult GetSystemUpdateID(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    trace2("GetSystemUpdateID");
    content_dir* c = self_of(d);
    std::lock_guard<std::mutex> g(c->lock);
    p.arg(0) = variant::from_int(automation::vt_ui4, c->system_update_id);
    return automation::s_ok;
}

// (endpoint, ObjectID, BrowseFlag, Filter, StartingIndex, RequestedCount,
//  SortCriteria, Result, NumberReturned, TotalMatches, UpdateID)
hresult Browse(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    content_dir* c = self_of(d);
    const std::wstring object_id = text_arg(p.arg(1));
    const std::wstring flag = text_arg(p.arg(2));
    uint32_t start = 0, count = 0;
    if (!uint_arg(p.arg(4), start) || !uint_arg(p.arg(5), count)) return automation::e_invalidarg;
    // Only the two flags the service defines: anything else is an invalid
    // argument, never read as one of them.
    if (!cl::iequals_w(flag, L"BrowseMetadata") && !cl::iequals_w(flag, L"BrowseDirectChildren"))
        return automation::e_invalidarg; // answered 402
    const std::wstring local = local_address_for(p.arg(0).unknown());
    browse_result r;
    {
        std::lock_guard<std::mutex> g(c->lock);
        c->filter = text_arg(p.arg(3));
        c->sort_criteria = text_arg(p.arg(6));
    }
    if (!c->browse(local, object_id, flag, start, count, r)) return upnp::action_error(701);
    // The document goes out as UTF-8 bytes, which the device host escapes
    // into its answer from where they lie: the cached answer is not copied.
    p.arg(7) = variant::from_array(r.result);
    p.arg(8) = variant::from_int(automation::vt_ui4, r.number_returned);
    p.arg(9) = variant::from_int(automation::vt_ui4, r.total_matches);
    p.arg(10) = variant::from_int(automation::vt_ui4, r.update_id);
    return automation::s_ok;
}

hresult Search(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    if (media_trace_level() > 1) cl::trace_out.write("UPnP search\n");
    return automation::e_notimpl;
}

#define CD_NOT_IMPLEMENTED(fn)                                                                     \
    hresult fn(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {                        \
        trace2(#fn);                                                                               \
        return automation::e_notimpl;                                                              \
    }
CD_NOT_IMPLEMENTED(CreateObject)
CD_NOT_IMPLEMENTED(DestroyObject)
CD_NOT_IMPLEMENTED(UpdateObject)
CD_NOT_IMPLEMENTED(ImportResource)
CD_NOT_IMPLEMENTED(ExportResource)
CD_NOT_IMPLEMENTED(StopTransferResource)
CD_NOT_IMPLEMENTED(GetTransferProgress)
CD_NOT_IMPLEMENTED(DeleteResource)
CD_NOT_IMPLEMENTED(CreateReference)

using automation::member_get;
using automation::member_method;

const automation::type_info content_dir_type{
    iid_content_dir,
    L"IUPnPService_content_dirDual",
    {
        {1, L"TransferIDs", member_get, 0, 0, get_TransferIDs},
        {2, L"A_ARG_TYPE_ObjectID", member_get, 0, 0, get_A_ARG_TYPE_ObjectID},
        {3, L"A_ARG_TYPE_Result", member_get, 0, 0, get_A_ARG_TYPE_Result},
        {4, L"A_ARG_TYPE_SearchCriteria", member_get, 0, 0, get_A_ARG_TYPE_SearchCriteria},
        {5, L"A_ARG_TYPE_BrowseFlag", member_get, 0, 0, get_A_ARG_TYPE_BrowseFlag},
        {6, L"A_ARG_TYPE_Filter", member_get, 0, 0, get_A_ARG_TYPE_Filter},
        {7, L"A_ARG_TYPE_SortCriteria", member_get, 0, 0, get_A_ARG_TYPE_SortCriteria},
        {8, L"A_ARG_TYPE_Index", member_get, 0, 0, get_A_ARG_TYPE_Index},
        {9, L"A_ARG_TYPE_Count", member_get, 0, 0, get_A_ARG_TYPE_Count},
        {10, L"A_AE_UpdateRG_TYPID", member_get, 0, 0, get_A_AE_UpdateRG_TYPID},
        {11, L"A_ARG_TYPE_TransferID", member_get, 0, 0, get_A_ARG_TYPE_TransferID},
        {12, L"A_ARG_TYPE_TransferStatus", member_get, 0, 0, get_A_ARG_TYPE_TransferStatus},
        {13, L"A_ARG_TYPE_TransferLength", member_get, 0, 0, get_A_ARG_TYPE_TransferLength},
        {14, L"A_ARG_TYPE_TransferTotal", member_get, 0, 0, get_A_ARG_TYPE_TransferTotal},
        {15, L"A_ARG_TYPE_TagValueList", member_get, 0, 0, get_A_ARG_TYPE_TagValueList},
        {16, L"A_ARG_TYPE_URI", member_get, 0, 0, get_A_ARG_TYPE_URI},
        {17, L"SearchCapabilities", member_get, 0, 0, get_SearchCapabilities},
        {18, L"SortCapabilities", member_get, 0, 0, get_SortCapabilities},
        {19, L"SystemUpdateID", member_get, 0, 0, get_SystemUpdateID},
        {20, L"ContainerUpdateIDs", member_get, 0, 0, get_ContainerUpdateIDs},
        {21, L"A_ARG_TYPE_UpdateID", member_get, 0, 0, get_A_ARG_TYPE_UpdateID},
        {22, L"GetSearchCapabilities", member_method, 1, 1, GetSearchCapabilities},
        {23, L"GetSortCapabilities", member_method, 1, 1, GetSortCapabilities},
        {24, L"GetSystemUpdateID", member_method, 1, 1, GetSystemUpdateID},
        {25, L"Browse", member_method, 11, 11, Browse},
        {26, L"Search", member_method, 0, 11, Search},
        {27, L"CreateObject", member_method, 0, 4, CreateObject},
        {28, L"DestroyObject", member_method, 0, 1, DestroyObject},
        {29, L"UpdateObject", member_method, 0, 3, UpdateObject},
        {30, L"ImportResource", member_method, 0, 3, ImportResource},
        {31, L"ExportResource", member_method, 0, 3, ExportResource},
        {32, L"StopTransferResource", member_method, 0, 1, StopTransferResource},
        {33, L"GetTransferProgress", member_method, 0, 4, GetTransferProgress},
        {34, L"DeleteResource", member_method, 0, 1, DeleteResource},
        {35, L"CreateReference", member_method, 0, 3, CreateReference},
    }};
const bool content_dir_registered =
    (automation::program_type_library().add(&content_dir_type), true);

} // namespace

std::wstring xml_escape_w(std::wstring_view text) {
    std::string r;
    append_escaped(r, text);
    return cl::utf8_to_utf16(r);
}

content_dir::content_dir(media_store& store, uint32_t http_port)
    : store_(store), http_port_(http_port) {
    (void)content_dir_registered;
    load_type_info(automation::program_type_library(), iid_content_dir);
    system_update_id = store_.system_update_id();
    container_update_ids = store_.container_update_ids();
    store_.add_listener(this, [this] { on_store_changed(); });
}

content_dir::~content_dir() {
    store_.remove_listener(this);
}

void content_dir::on_store_changed() {
    automation::com_ptr<upnp_event_source> source;
    {
        std::lock_guard<std::mutex> g(lock);
        system_update_id = store_.system_update_id();
        container_update_ids = store_.container_update_ids();
        update_id = 0;
        source = source_;
    }
    static const automation::dispid ids[] = {dispid_system_update_id, dispid_container_update_ids,
                                             dispid_a_arg_type_update_id};
    if (source && source->subscribed()) post_signal_dispids(source, ids, 3);
}

automation::hresult content_dir::query_other(const automation::guid& iid, void** out) {
    if (iid == upnp::iid_event_source) {
        std::lock_guard<std::mutex> g(lock);
        if (!source_) source_ = automation::com_ptr<upnp_event_source>(new upnp_event_source);
        source_->add_ref();
        *out = static_cast<upnp::event_source_i*>(source_.get());
        return automation::s_ok;
    }
    return automation::idispatch<content_dir_i>::query_other(iid, out);
}

bool content_dir::browse(const std::wstring& local_address, const std::wstring& oid,
                         const std::wstring& flag, uint32_t starting_index,
                         uint32_t requested_count, browse_result& out) {
    const int level = media_trace_level();
    if (level != 0) cl::trace_out.write_w(cl::format_wstr(L"uPnP browse: %? %?\n", oid, flag));
    if (level > 1) cl::trace_out.write_w(cl::format_wstr(L"   domain: %?\n", local_address));
    // Players page through a folder and browse it again and again: the
    // object and the last answer are kept until the catalogue changes.
    const uint32_t generation = store_.system_update_id();
    const std::wstring key = oid + L'\n' + flag + L'\n' + std::to_wstring(starting_index) + L'\n' +
                             std::to_wstring(requested_count) + L'\n' + local_address;
    {
        std::lock_guard<std::mutex> g(cache_lock_);
        if (answer_.result.result && answer_.generation == generation && answer_.key == key) {
            out = answer_.result;
            std::lock_guard<std::mutex> f(lock);
            object_id = oid;
            browse_flag = flag;
            index = starting_index;
            count = out.number_returned;
            update_id = out.update_id;
            return true;
        }
    }
    std::shared_ptr<const media_object> cached;
    {
        std::lock_guard<std::mutex> g(cache_lock_);
        if (object_.obj && object_.generation == generation && object_.oid == oid)
            cached = object_.obj;
    }
    if (!cached) {
        auto fresh = std::make_shared<media_object>();
        if (!store_.find_object(oid, *fresh)) {
            std::lock_guard<std::mutex> g(lock);
            object_id = oid;
            browse_flag = flag;
            index = starting_index;
            count = 0;
            return false;
        }
        cached = fresh;
        std::lock_guard<std::mutex> g(cache_lock_);
        object_ = {oid, generation, cached};
    }
    const media_object& obj = *cached;
    const std::wstring host = local_address.find(L':') != std::wstring::npos
                                  ? L"[" + local_address + L"]"
                                  : local_address;
    const std::wstring base = L"http://" + host + L":" + std::to_wstring(http_port_);
    const std::wstring media_name = folder_name(store_.folder());
    const std::wstring root = store_.document_root();
    const std::string base8 = cl::utf16_to_utf8(base);
    auto url_of = [&](const std::wstring& path) {
        const std::string url =
            base8 + cl::utf16_to_utf8(media_url_path(url_path_from_file(path, root), media_name));
        if (level > 1) cl::trace_out.write(cl::format_str("   url: %?\n", url));
        return url;
    };
    const std::string dir8 = cl::utf16_to_utf8(obj.is_item ? obj.parent_id : obj.entry.id_text);

    // Only the page asked for is written out; the total counts them all.
    const uint32_t limit = requested_count == 0 ? 0xFFFFFFFFu : requested_count;
    std::string doc = didl_header;
    uint32_t total = 0, returned = 0;
    std::pair<std::string, std::string> flags;
    auto in_page = [&](uint32_t i) { return i >= starting_index && i - starting_index < limit; };
    {
        // One buffer for the whole answer, grown once.
        const std::size_t n =
            obj.children.size() > starting_index
                ? std::min<std::size_t>(obj.children.size() - starting_index, limit)
                : 1;
        doc.reserve(doc.size() + 32 + n * 800);
    }
    if (!obj.is_item && cl::iequals_w(flag, L"BrowseDirectChildren")) {
        total = uint32_t(obj.children.size());
        for (uint32_t i = 0; i < total; ++i) {
            if (!in_page(i)) continue;
            const media_entry& e = obj.children[i];
            if (e.mime_type.empty())
                append_container(doc, e.id_text, obj.entry.id_text, e.child_count,
                                 folder_name(e.path));
            else
                append_item(doc, dir8, e, url_of(e.path), flags);
            ++returned;
        }
    } else {
        total = 1;
        if (in_page(0)) {
            if (obj.is_item)
                append_item(doc, dir8, obj.entry, url_of(obj.entry.path), flags);
            else
                append_container(doc, obj.entry.id_text, obj.parent_id, obj.entry.child_count,
                                 folder_name(obj.entry.path));
            ++returned;
        }
    }
    doc += "</DIDL-Lite>";
    out.update_id = oid == L"0" ? generation : obj.update_id;
    out.total_matches = total;
    out.number_returned = returned;
    out.result = std::make_shared<automation::safearray>();
    out.result->data.assign(doc.begin(), doc.end());
    {
        std::lock_guard<std::mutex> g(cache_lock_);
        answer_ = {key, generation, out};
    }
    std::lock_guard<std::mutex> g(lock);
    object_id = oid;
    browse_flag = flag;
    index = starting_index;
    count = returned;
    update_id = out.update_id;
    return true;
}

std::wstring local_address_for(automation::iunknown_i* endpoint) {
    if (!endpoint) return L"127.0.0.1";
    void* p = nullptr;
    if (automation::failed(endpoint->query_interface(upnp::iid_remote_endpoint_info, &p)) || !p)
        return L"127.0.0.1";
    automation::com_ptr<upnp::remote_endpoint_info_i> info;
    info.attach(static_cast<upnp::remote_endpoint_info_i*>(p));
    std::wstring remote;
    if (automation::failed(info->get_string_value(L"RemoteAddress", &remote))) return L"127.0.0.1";
    return local_address_for_remote(remote);
}

std::wstring local_address_for_remote(const std::wstring& remote) {
    const std::wstring fallback = L"127.0.0.1";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return fallback;
    std::wstring found;
    if (remote.find(L':') == std::wstring::npos) {
        const cl::ipv4_addr r = ipv4_parse(remote);
        uint32_t ra;
        std::memcpy(&ra, r.bytes.data(), 4);
        for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
            const uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            const uint32_t m = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
            if ((a & m) == (ra & m)) {
                cl::ipv4_addr la;
                std::memcpy(la.bytes.data(), &a, 4);
                found = cl::ipv4_to_string(la);
            }
        }
    } else {
        std::array<uint8_t, 16> ra{};
        if (cl::ip_network_parse(remote, ra) >= 0)
            for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
                if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6) continue;
                const auto* a = reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr.s6_addr;
                if (std::memcmp(a, ra.data(), 8) != 0) continue;
                std::wstring t;
                for (int g = 0; g < 8; ++g)
                    t +=
                        cl::format_wstr(g ? L":%x" : L"%x", unsigned(a[2 * g] << 8 | a[2 * g + 1]));
                found = t;
            }
    }
    freeifaddrs(list);
    return found.empty() ? fallback : found;
}

} // namespace media
