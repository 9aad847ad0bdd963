#include "dav/caldav_collections.h"

#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "dav/caldav_object_cache.h"
#include "dav/caldav_reports.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_request.h"
#include "dav/dav_requests.h"
#include "dav/locks.h"
#include "dav/properties.h"
#include "dav/xml_document.h"
#include "server/access_checker.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

// A fixed placeholder domain: the server keeps no mail addresses.
constexpr std::string_view mail_domain = "teskqvel.invalid";

bool starts_with_ignoring_case(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && cl::iequals_w(text.substr(0, prefix.size()), prefix);
}

// Users and stores are told apart exactly: "Alice" is not "alice", on a file
// system that keeps them apart.
bool starts_with(std::wstring_view text, std::wstring_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::wstring with_slash(std::wstring path) {
    if (path.empty() || path.back() != L'/') path += L'/';
    return path;
}

std::wstring prefix_of(store_kind kind) {
    return kind == store_kind::calendar ? caldav_prefix() : carddav_prefix();
}

struct kind_texts {
    const char* ns;          // the namespace URI of the kind
    const char* query;       // the query report's root element
    const char* multiget;    // the multiget report's root element
    const char* resource;    // the resourcetype element
    const char* object_name; // a file name giving the objects' content type
    const char* home_set;    // the home-set property
    const char* description; // the description property and its text
    const char* description_text;
    const char* data; // the object data property
};

const kind_texts& texts_of(store_kind kind) {
    static const kind_texts calendar{"urn:ietf:params:xml:ns:caldav",
                                     "cal:calendar-query",
                                     "cal:calendar-multiget",
                                     "<cal:calendar/>",
                                     "x.ics",
                                     "cal:calendar-home-set",
                                     "cal:calendar-description",
                                     "(calendar)",
                                     "cal:calendar-data"};
    static const kind_texts addressbook{"urn:ietf:params:xml:ns:carddav",
                                        "card:addressbook-query",
                                        "card:addressbook-multiget",
                                        "<card:addressbook/>",
                                        "x.vcf",
                                        "card:addressbook-home-set",
                                        "card:addressbook-description",
                                        "(address book)",
                                        "card:address-data"};
    return kind == store_kind::calendar ? calendar : addressbook;
}

// What one PROPFIND answer needs to know, worked out once.
struct propfind_context {
    store_kind kind;
    const xml_document* document;
    const config_info* config;
    std::wstring user_folder; // ends in "/"; empty without a user
    std::string user_name;
    std::string principal; // principal_href of the user folder

    bool asked(std::string_view name) const {
        std::string xpath = "/d:propfind/d:prop/";
        xpath += name;
        return xml_select_count(*document, xpath) != 0;
    }
    // A client that names no property (allprop, or no body) gets the usual
    // set, locks included.
    bool all_properties() const { return xml_select_count(*document, "/d:propfind/d:prop") == 0; }
    // A lock client asks for either property to learn who holds a lock.
    bool asked_locks() const {
        return all_properties() || asked("d:lockdiscovery") || asked("d:supportedlock");
    }
    // A folder is a store when it lies in the user's folder and its name
    // below it starts with the prefix of a kind.
    std::optional<store_kind> store_of(const std::wstring& folder) const {
        if (user_folder.empty()) return std::nullopt;
        for (store_kind k : {store_kind::calendar, store_kind::addressbook}) {
            const std::wstring prefix = prefix_of(k);
            if (!prefix.empty() && starts_with(folder, user_folder + prefix)) return k;
        }
        return std::nullopt;
    }
};

void append_home_set(std::string& out, const propfind_context& c, store_kind kind) {
    const char* name = texts_of(kind).home_set;
    out += '<';
    out += name;
    out += ">\n";
    // The home is the folder that holds the stores; clients list it to find
    // them.
    if (!c.user_folder.empty()) {
        out += principal_href(c.user_folder);
        out += '\n';
    }
    out += "</";
    out += name;
    out += ">\n";
}

void append_unsupported(std::string& out, const propfind_context& c) {
    static const char* const calendar[] = {"cs:calendar-proxy-read",
                                           "cs:calendar-proxy-write",
                                           "cs:calendar-proxy-read-for",
                                           "cs:calendar-proxy-write-for",
                                           "cal:calendar-inbox-URL",
                                           "cal:calendar-outbox-URL",
                                           "d:acl",
                                           "d:supported-privilege-set",
                                           "d:current-user-privilege-set",
                                           "A:calendar-color",
                                           "A:calendar-order",
                                           nullptr};
    static const char* const addressbook[] = {"d:acl", "d:supported-privilege-set",
                                              "d:current-user-privilege-set",
                                              "card:principal-address", nullptr};
    std::string missing;
    for (const char* const* p = c.kind == store_kind::calendar ? calendar : addressbook; *p; ++p) {
        if (!c.asked(*p)) continue;
        missing += '<';
        missing += *p;
        missing += "/>\n";
    }
    if (missing.empty()) return;
    out += "<d:propstat><d:prop>\n";
    out += missing;
    out += "</d:prop>\n<d:status>HTTP/1.1 404 Not Found</d:status></d:propstat>\n";
}

// The response of a folder: a store of the kind, the user's folder (the
// principal and home of the stores) or another folder.
void append_folder_response(std::string& out, const propfind_context& c, const std::wstring& folder,
                            const std::string& href) {
    const std::optional<store_kind> store = c.store_of(folder);
    const kind_texts& t = texts_of(store.value_or(c.kind));
    const bool home = !c.user_folder.empty() && folder == c.user_folder;
    out += "<d:response><d:href>";
    out += href;
    out += "</d:href><d:propstat>\n<d:prop>\n";
    if (c.asked("d:principal-collection-set")) out += "<d:principal-collection-set/>";
    if (c.asked("d:current-user-principal") && !c.principal.empty()) {
        out += "<d:current-user-principal>";
        out += c.principal;
        out += "</d:current-user-principal>\n";
    }
    // Clients that keep calendars and contacts ask for both homes at once.
    for (store_kind k : {store_kind::calendar, store_kind::addressbook})
        if (c.asked(texts_of(k).home_set)) append_home_set(out, c, k);
    if (c.asked(t.description)) {
        out += '<';
        out += t.description;
        out += '>';
        out += t.description_text;
        out += "</";
        out += t.description;
        out += ">\n";
    }
    if (c.asked("d:displayname")) {
        out += "<d:displayname>";
        out += xml_escape(c.user_name);
        out += "</d:displayname>\n";
    }
    if (c.asked("cal:calendar-user-address-set") && !c.user_name.empty()) {
        out += "<cal:calendar-user-address-set><d:href>mailto:";
        out += xml_escape(c.user_name);
        out += '@';
        out += mail_domain;
        out += "</d:href></cal:calendar-user-address-set>\n";
    }
    out += "<d:resourcetype><d:collection/>";
    if (store) out += t.resource;
    if (home) out += "<d:principal/>";
    out += "</d:resourcetype>\n";
    if (store) {
        out += "<d:getcontenttype>";
        out += xml_escape(c.config->mime_type_of_file(cl::utf8_to_utf16(t.object_name)));
        out += "</d:getcontenttype>\n";
    }
    if (!c.principal.empty()) {
        out += "<d:owner>";
        out += c.principal;
        out += "</d:owner>\n";
    }
    const std::string etag = collection_etag(folder);
    if (!etag.empty() && (!store || *store == store_kind::calendar)) {
        out += "<d:getetag>";
        out += xml_escape(etag);
        out += "</d:getetag>";
    }
    // Only the reports that are answered: a client that finds one listed
    // relies on it.
    out += "<d:supported-report-set>\n";
    if (store) {
        const std::string_view prefix = *store == store_kind::calendar ? "cal:" : "card:";
        const std::string_view query = t.query, multiget = t.multiget;
        out += supported_report(query.substr(prefix.size()), prefix);
        out += supported_report(multiget.substr(prefix.size()), prefix);
    }
    out += "</d:supported-report-set>\n";
    if (store == store_kind::calendar) {
        if (c.asked("cal:supported-calendar-component-set"))
            out += "<cal:supported-calendar-component-set><cal:comp name=\"VEVENT\"/>"
                   "<cal:comp name=\"VTODO\"/><cal:comp name=\"VJOURNAL\"/>"
                   "<cal:comp name=\"VALARM\"/><cal:comp name=\"VTIMEZONE\"/>"
                   "<cal:comp name=\"VFREEBUSY\"/></cal:supported-calendar-component-set>\n";
        if (c.asked("cal:supported-collation-set"))
            out += "<cal:supported-collation-set><cal:supported-collation>i;ascii-casemap</"
                   "cal:supported-collation><cal:supported-collation>i;octet</"
                   "cal:supported-collation><cal:supported-collation>i;unicode-casemap</"
                   "cal:supported-collation></cal:supported-collation-set>";
    }
    if (store == store_kind::addressbook) {
        if (c.asked("card:supported-collation-set"))
            out += "<card:supported-collation-set><card:supported-collation>i;ascii-casemap</"
                   "card:supported-collation><card:supported-collation>i;octet</"
                   "card:supported-collation><card:supported-collation>i;unicode-casemap</"
                   "card:supported-collation></card:supported-collation-set>";
        if (c.asked("card:supported-address-data"))
            out += "<card:supported-address-data><card:address-data-type "
                   "content-type=\"text/vcard\" version=\"3.0\"/></card:supported-address-data>";
    }
    if (store && !etag.empty()) {
        out += "<cs:getctag>";
        out += xml_escape(etag);
        out += "</cs:getctag>\n";
    }
    if (c.asked_locks()) append_lock_properties(out, folder);
    out += "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat>\n";
    append_unsupported(out, c);
    out += "</d:response>\n";
}

unsigned object_properties(const propfind_context& c) {
    unsigned bits = 0;
    if (c.asked("d:getcontenttype")) bits |= report_content_type;
    if (c.asked("d:resourcetype")) bits |= report_resource_type;
    if (c.asked("d:getetag")) bits |= report_etag;
    if (c.asked(texts_of(c.kind).data))
        bits |= c.kind == store_kind::calendar ? report_calendar_data : report_address_data;
    if (c.asked_locks()) bits |= report_locks;
    constexpr unsigned usual = report_content_type | report_resource_type | report_etag;
    if (c.all_properties()) bits |= usual;
    return bits ? bits : usual;
}

} // namespace

bool is_store_request(store_kind kind, http_prop_base_request& request,
                      const std::wstring& local_path, const xml_document& document) {
    // No body asks for every property (allprop): inside a store that is
    // the store's own answer too.
    if (!document.loaded && !request.body.empty()) return false;
    const std::wstring path = with_slash(local_path);
    const std::wstring& user = request.user_folder;
    const bool in_user_folder = !user.empty() && starts_with(path, user);
    if (!in_user_folder && path != public_dir()) return false;
    const kind_texts& t = texts_of(kind);
    std::string namespaced = "/d:propfind/d:prop/*[namespace-uri()='";
    namespaced += t.ns;
    namespaced += "']";
    const bool body = xml_select_count(document, std::string("/") + t.query) != 0 ||
                      xml_select_count(document, std::string("/") + t.multiget) != 0 ||
                      xml_select_count(document, namespaced) != 0;
    const std::wstring prefix = prefix_of(kind);
    const bool in_store = !prefix.empty() && in_user_folder && starts_with(path, user + prefix);
    // The home is a principal also to a client that asks only DAV:
    // properties of it (answered here, without making a store).
    const bool at_home =
        kind == store_kind::calendar && in_user_folder && path == user && document.loaded &&
        xml_select_count(document, "/d:propfind/d:prop/*[namespace-uri()!='DAV:']") == 0;
    if (!body && !in_store) return at_home;
    if (!prefix.empty() && in_user_folder && request.config())
        create_store_folder(*request.config(), user + prefix + L"personal");
    return true;
}

void create_store_folder(const config_info& config, const std::wstring& folder) {
    std::string dir = cl::utf16_to_utf8(folder);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    // Made in the user's folder as opened beneath the root: a link swapped
    // in for it on the way makes nothing elsewhere.
    std::string leaf;
    const int parent = cl::open_tree_parent(dir, O_RDONLY, leaf);
    if (parent < 0) return;
    struct stat st {};
    if (::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        ::close(parent);
        return;
    }
    if (::mkdirat(parent, leaf.c_str(), 0777) != 0) {
        // Most often the user's own folder is missing: say so, since the
        // client only sees a home that answers 404.
        if (trace_level() > 0)
            cl::trace_out.write(cl::format_str("store folder %? not made: %?\n", dir,
                                               std::string(std::strerror(errno))));
        ::close(parent);
        return;
    }
    const int store =
        ::openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(parent);
    if (store < 0) return;
    const std::string access = cl::utf16_to_utf8(config.access_filename);
    const int fd =
        ::openat(store, access.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    ::close(store);
    if (fd < 0) return;
    static constexpr char line[] = "qvel_lock on\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, line, sizeof line - 1);
    ::close(fd);
}

std::string supported_report(std::string_view name, std::string_view prefix) {
    std::string out = "<d:supported-report><d:report><";
    out += prefix.empty() ? std::string_view("d:") : prefix;
    out += name;
    out += "/></d:report></d:supported-report>\n";
    return out;
}

std::string dav_local_href(const std::wstring& path) {
    const std::wstring root = public_dir();
    std::wstring below = path;
    if (root.size() > 1 && starts_with_ignoring_case(below, root)) below.erase(0, root.size() - 1);
    return dav_href(below);
}

std::string principal_href(const std::wstring& folder) {
    return "<d:href>" + dav_local_href(folder) + "</d:href>";
}

std::string collection_etag(const std::wstring& folder) {
    std::string dir = cl::utf16_to_utf8(folder);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    bool ok = false;
    uint32_t mode = 0;
    const cl::file_information info =
        cl::file_information_at(AT_FDCWD, dir.c_str(), true, ok, mode);
    if (!ok || !S_ISDIR(mode)) return {};
    return cl::entity_tag(info);
}

int store_propfind(store_kind kind, http_prop_base_request& request, const xml_document& document) {
    const config_info* cfg = request.config();
    propfind_context c{kind, &document, cfg, request.user_folder, {}, {}};
    if (request.auth) c.user_name = request.auth->user_name;
    if (!c.user_folder.empty()) c.principal = principal_href(c.user_folder);

    std::string& out = request.answer;
    out = multistatus_head();
    const bool is_dir = cfg->is_directory();
    const std::wstring target = is_dir ? with_slash(cfg->local_path) : cfg->local_path;
    std::wstring url = request.data ? request.data->path : std::wstring();
    if (is_dir) url = with_slash(url);
    const std::string href = dav_href(url);

    if (!is_dir && cfg->is_file()) {
        // An object answers like an object listed in its collection.
        write_report_response(out, target, href, object_properties(c), *cfg, nullptr);
    } else if (!is_dir) {
        out += "<d:response><d:href>";
        out += href;
        out += "</d:href><d:propstat>\n<d:status>HTTP/1.1 404 Not Found</d:status></d:propstat>\n";
        append_unsupported(out, c);
        out += "</d:response>\n";
    } else {
        append_folder_response(out, c, target, href);
    }
    if (request.depth != 0 && is_dir) {
        const bool store = c.store_of(target).has_value();
        const unsigned bits = object_properties(c);
        store_listing listing;
        const access_client client = access_client_of(request);
        list_store_folder(*cfg, target, listing, &client);
        out.reserve(out.size() + listing.entries.size() * 512);
        const bool need_text = bits & (report_calendar_data | report_address_data);
        for (const indexed_entry* e : listing.entries) {
            const std::wstring path = target + e->wide;
            const std::string entry_href =
                href + xml_escape(server_config::url_escape_path(e->name));
            if (!e->folder) {
                const auto object = read_store_entry(listing, *e, need_text);
                write_object_response(out, object.get(), path, entry_href, bits, *cfg, nullptr);
            } else if (!store) {
                // The user's folder lists its stores, so clients find them.
                append_folder_response(out, c, with_slash(path), entry_href + "/");
            }
        }
    }
    out += "</d:multistatus>";
    return 207;
}

bool is_store_object(const std::wstring& path, store_kind* kind) {
    const std::wstring users = public_dir() + L"private/";
    if (!starts_with(path, users)) return false;
    const std::wstring_view rest = std::wstring_view(path).substr(users.size());
    const std::size_t user_end = rest.find(L'/');
    if (user_end == std::wstring_view::npos || user_end == 0) return false;
    const std::wstring_view store = rest.substr(user_end + 1);
    const std::size_t store_end = store.find(L'/');
    if (store_end == std::wstring_view::npos || store_end + 1 == store.size() ||
        store.find(L'/', store_end + 1) != std::wstring_view::npos)
        return false;
    for (store_kind k : {store_kind::calendar, store_kind::addressbook}) {
        const std::wstring prefix = prefix_of(k);
        if (!prefix.empty() && starts_with(store.substr(0, store_end), prefix)) {
            if (kind) *kind = k;
            return true;
        }
    }
    return false;
}
