#include "dav/caldav_reports.h"

#include "core/path.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/tree_root.h"
#include "dav/caldav/ical_expand.h"
#include "dav/caldav/ical_properties.h"
#include "dav/caldav/ical_query.h"
#include "dav/caldav/ical_query_xml.h"
#include "dav/caldav_object_cache.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_request.h"
#include "dav/dav_requests.h"
#include "dav/locks.h"
#include "dav/member_access.h"
#include "dav/properties.h"
#include "dav/store_index.h"
#include "dav/xml_document.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/script_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

namespace {

struct report_texts {
    const char* query;    // "/cal:calendar-query"
    const char* multiget; // "/cal:calendar-multiget"
    const char* data;     // "cal:calendar-data"
    unsigned data_bit;
    const char* ns_declaration;
};

const report_texts& texts_of(store_kind kind) {
    static const report_texts calendar{"/cal:calendar-query", "/cal:calendar-multiget",
                                       "cal:calendar-data", report_calendar_data,
                                       "xmlns:cal=\"urn:ietf:params:xml:ns:caldav\""};
    static const report_texts addressbook{"/card:addressbook-query", "/card:addressbook-multiget",
                                          "card:address-data", report_address_data,
                                          "xmlns:card=\"urn:ietf:params:xml:ns:carddav\""};
    return kind == store_kind::calendar ? calendar : addressbook;
}

unsigned requested_properties(const xml_document& document, const std::string& root,
                              const report_texts& t) {
    unsigned bits = 0;
    const std::string prop = root + "/d:prop/";
    if (xml_select_count(document, prop + "d:getcontenttype")) bits |= report_content_type;
    if (xml_select_count(document, prop + "d:resourcetype")) bits |= report_resource_type;
    if (xml_select_count(document, prop + "d:getetag")) bits |= report_etag;
    if (xml_select_count(document, prop + t.data)) bits |= t.data_bit;
    return bits ? bits : report_content_type | report_resource_type | report_etag | t.data_bit;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path of an href (an absolute path or a full URL), percent-decoded;
// nullopt for one that does not decode to UTF-8 text without controls.
std::optional<std::string> href_path(std::string_view href) {
    href = cl::trimmed(href);
    if (const std::size_t scheme = href.find("://"); scheme != std::string_view::npos) {
        const std::size_t slash = href.find('/', scheme + 3);
        if (slash == std::string_view::npos) return std::nullopt;
        href.remove_prefix(slash);
    }
    if (const std::size_t query = href.find_first_of("?#"); query != std::string_view::npos)
        href = href.substr(0, query);
    std::string out;
    out.reserve(href.size());
    for (std::size_t i = 0; i < href.size(); ++i) {
        if (href[i] != '%') {
            out += href[i];
            continue;
        }
        if (i + 2 >= href.size()) return std::nullopt;
        const int hi = hex_value(href[i + 1]), lo = hex_value(href[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!cl::is_valid_utf8(out)) return std::nullopt;
    for (unsigned char c : out)
        if (c < 32 || c == 127) return std::nullopt;
    return out;
}

bool is_write_temp(std::string_view name) {
    return cl::is_write_temp_name(name);
}

void append_forbidden(std::string& out, std::string_view href) {
    out += "<d:response><d:href>";
    out += xml_escape(href);
    out += "</d:href><d:status>HTTP/1.1 403 Forbidden</d:status></d:response>\n";
}

// The collection's URL (ending in "/") and local folder (ending in "/").
struct collection {
    std::string url;     // UTF-8, decoded
    std::wstring folder; // local
    std::string href;    // escaped, for the responses
};

void answer_multiget(std::string& out, const xml_document& document, const report_texts& t,
                     const collection& c, const config_info& config, bool is_directory,
                     const access_client& client) {
    std::vector<std::string> hrefs;
    xml_select_texts(document, document.node(), std::string(t.multiget) + "/d:href", hrefs);
    const unsigned bits = requested_properties(document, t.multiget, t);
    out.reserve(out.size() + hrefs.size() * 1024);
    for (const std::string& href : hrefs) {
        // Only names directly in the collection, compared exactly: an href
        // into another folder (another user's store, a sub-folder) or one
        // that differs in case is refused, whatever the file system says.
        const std::optional<std::string> path = href_path(href);
        if (!is_directory || !path || path->size() <= c.url.size() ||
            path->compare(0, c.url.size(), c.url) != 0) {
            append_forbidden(out, href);
            continue;
        }
        const std::string_view name = std::string_view(*path).substr(c.url.size());
        if (name.find('/') != std::string_view::npos || name == "." || name == ".." ||
            is_write_temp(name)) {
            append_forbidden(out, href);
            continue;
        }
        const std::wstring local = c.folder + cl::utf8_to_utf16(name);
        // Each object is read only as a GET of it by this client would be.
        if (!decide_access_local(client, "GET", local).granted()) {
            append_forbidden(out, href);
            continue;
        }
        struct stat st {};
        if (::stat(cl::utf16_to_utf8(local).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            append_forbidden(out, href);
            continue;
        }
        write_report_response(out, local,
                              c.href + xml_escape(url_escape_name(local.substr(c.folder.size()))),
                              bits, config, nullptr);
    }
}

// A report runs for at most this long, and expands at most this many
// instances over all its objects (each component has its own bound, the
// rules' max_results).
constexpr std::chrono::seconds report_time_budget{10};
constexpr std::size_t report_instance_limit = 100000;

std::size_t count_components(const ical_properties& table) {
    std::size_t n = 0;
    for (const auto& entry : table)
        n += entry.first.find(',') == std::string::npos;
    return n;
}

// The answer of a query cut short by a bound holds what was found so far and
// says so for the collection, as a search over more matches than the server
// gives out does: the client knows the list is incomplete, rather than
// taking it for the whole.
void append_truncated(std::string& out, const std::string& collection_href) {
    out += "<d:response><d:href>";
    out += collection_href;
    out += "</d:href><d:status>HTTP/1.1 507 Insufficient Storage</d:status>"
           "<d:error><d:number-of-matches-within-limits/></d:error>"
           "<d:responsedescription>The answer was cut short at the server's bound on time, "
           "instances or size.</d:responsedescription></d:response>\n";
}

void append_error(std::string& out, const report_texts& t, const std::string& precondition) {
    out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:error xmlns:d=\"DAV:\" ";
    out += t.ns_declaration;
    out += "><";
    out += t.data_bit == report_calendar_data ? "cal:" : "card:";
    out += precondition;
    out += "/></d:error>";
}

} // namespace

std::string url_escape_name(const std::wstring& name) {
    return server_config::url_escape_path(cl::utf16_to_utf8(name));
}

store_listing::~store_listing() {
    if (dir_fd >= 0) ::close(dir_fd);
}

namespace {

// The entries of a folder read directly, when the index cannot watch it.
std::shared_ptr<const indexed_entries> read_folder(DIR* d) {
    auto list = std::make_shared<indexed_entries>();
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        indexed_entry entry;
        entry.name = name;
        entry.wide = cl::utf8_to_utf16(entry.name);
        bool folder_entry = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            if (::fstatat(::dirfd(d), e->d_name, &st, 0) != 0) continue;
            folder_entry = S_ISDIR(st.st_mode);
        }
        entry.folder = folder_entry;
        entry.link = e->d_type != DT_REG && e->d_type != DT_DIR;
        list->push_back(std::move(entry));
    }
    return list;
}

} // namespace

bool list_store_folder(const config_info& config, const std::wstring& folder, store_listing& out,
                       const access_client* client) {
    const std::string dir = cl::utf16_to_utf8(folder);
    out.all = the_store_index().list(dir);
    out.indexed = out.all != nullptr;
    // Opened beneath the root, as every road opens what it decided about:
    // a folder swapped for a link out of the tree is not read.
    out.dir_fd = cl::open_tree_file(dir, O_RDONLY | O_DIRECTORY);
    if (out.dir_fd < 0) return false;
    if (!out.all) {
        const int list_fd = ::dup(out.dir_fd);
        std::unique_ptr<DIR, int (*)(DIR*)> d(list_fd >= 0 ? ::fdopendir(list_fd) : nullptr,
                                              ::closedir);
        if (!d) {
            if (list_fd >= 0) ::close(list_fd);
            return false;
        }
        out.all = read_folder(d.get());
    }
    // Each entry is read only as a GET of it by this client would be.
    const bool blocked_below = is_blocked_below(folder);
    std::optional<member_access> access;
    if (client) access.emplace(*client, folder);
    out.entries.reserve(out.all->size());
    for (const indexed_entry& e : *out.all) {
        if (is_write_temp(e.name) || is_access_file(config, e.wide)) continue;
        if (blocked_below && is_blocked(folder + e.wide)) continue;
        if (access && access->status(e.wide, e.folder, out.indexed && !e.link && e.memo) != 0)
            continue;
        out.entries.push_back(&e);
    }
    return true;
}

std::shared_ptr<const stored_object> read_store_entry(const store_listing& listing,
                                                      const indexed_entry& entry, bool need_text) {
    return listing.indexed && !entry.link
               ? read_stored_object_known(listing.dir_fd, entry.name.c_str(), entry.identity,
                                          need_text)
               : read_stored_object_at(listing.dir_fd, entry.name.c_str(), need_text);
}

void write_report_response(std::string& out, const std::wstring& path, const std::string& href,
                           unsigned properties, const config_info& config,
                           const std::string* data) {
    std::shared_ptr<const stored_object> object;
    if (!path.empty()) {
        // The text is read only when it is sent; the entity tag alone needs
        // no more than the file's information.
        const bool need_text = (properties & (report_calendar_data | report_address_data)) && !data;
        object = read_stored_object(path, need_text);
    }
    write_object_response(out, object.get(), path, href, properties, config, data);
}

bool write_object_response(std::string& out, const stored_object* object, const std::wstring& path,
                           const std::string& href, unsigned properties, const config_info& config,
                           const std::string* data) {
    const std::string empty;
    const std::string& text = data ? *data : object ? object->text : empty;
    if ((properties & (report_calendar_data | report_address_data)) &&
        ((!data && object && object->too_large) ||
         out.size() + text.size() > report_answer_limit)) {
        out += "<d:response><d:href>";
        out += href;
        out += "</d:href><d:status>HTTP/1.1 507 Insufficient Storage</d:status></d:response>\n";
        return false;
    }
    out += "<d:response><d:href>";
    out += path.empty() ? std::string("empty") : href;
    out += "</d:href><d:propstat>";
    if (!path.empty() && !object) {
        out += "<d:status>HTTP/1.1 404 Not Found</d:status></d:propstat></d:response>\n";
        return true;
    }
    out += "<d:prop>\n";
    if (properties & report_content_type) {
        out += "<d:getcontenttype>";
        out += xml_escape(config.mime_type_of_file(path));
        out += "</d:getcontenttype>\n";
    }
    if (properties & report_resource_type) out += "<d:resourcetype/>\n";
    if ((properties & report_etag) && object && !object->etag.empty()) {
        out += "<d:getetag>";
        out += xml_escape(object->etag);
        out += "</d:getetag>\n";
    }
    if (properties & report_calendar_data) {
        out += "<cal:calendar-data>";
        out += xml_escape(text);
        out += "</cal:calendar-data>\n";
    }
    if (properties & report_address_data) {
        out += "<card:address-data>";
        out += xml_escape(text);
        out += "</card:address-data>\n";
    }
    if (properties & report_locks) append_lock_properties(out, path);
    out += "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>\n";
    return true;
}

int store_report(store_kind kind, http_prop_base_request& request, const xml_document& document) {
    const report_texts& t = texts_of(kind);
    const config_info* cfg = request.config();
    std::string& out = request.answer;
    const bool multiget = xml_select_count(document, t.multiget) != 0;
    const bool query = !multiget && xml_select_count(document, t.query) != 0;
    if (!multiget && !query) {
        // A report this server does not run is refused, never answered with
        // an empty list that a client would take for an empty collection.
        out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:error xmlns:d=\"DAV:\">"
              "<d:supported-report/></d:error>";
        send_dav_answer(request, 403, out);
        return dav_answered;
    }

    collection c;
    const bool is_directory = cfg->is_directory();
    c.folder = cfg->local_path;
    std::wstring url = request.data ? request.data->path : std::wstring();
    if (c.folder.empty() || c.folder.back() != L'/') c.folder += L'/';
    if (url.empty() || url.back() != L'/') url += L'/';
    c.url = cl::utf16_to_utf8(url);
    c.href = dav_href(url);

    if (multiget) {
        out = multistatus_head();
        answer_multiget(out, document, t, c, *cfg, is_directory, access_client_of(request));
        out += "</d:multistatus>";
        return 207;
    }

    std::string error;
    calendar_query_filter calendar_filter;
    addressbook_query_filter card_filter;
    std::optional<time_range> expand;
    bool valid = true;
    if (kind == store_kind::calendar) {
        valid = read_calendar_query_filter(document, calendar_filter, error);
        if (valid) {
            expand = read_calendar_query_expand(document, valid);
            if (!valid) error = "valid-filter";
        }
    } else {
        valid = read_addressbook_query_filter(document, card_filter, error);
    }
    if (!valid) {
        append_error(out, t, error.empty() ? "valid-filter" : error);
        send_dav_answer(request, 403, out);
        return dav_answered;
    }

    const unsigned bits = requested_properties(document, t.query, t);
    out = multistatus_head();
    if (!is_directory) {
        out += "</d:multistatus>";
        return 207;
    }
    const bool needs_table = kind == store_kind::calendar
                                 ? calendar_filter.root.has_value() || expand.has_value()
                                 : !card_filter.props.empty();
    store_listing listing;
    const access_client client = access_client_of(request);
    if (!list_store_folder(*cfg, c.folder, listing, &client)) {
        out += "</d:multistatus>";
        return 207;
    }
    // The whole report shares one time budget and one count of instances;
    // the server's stop ends it too. What is cut short is said in the answer.
    rrule_limits& limits = calendar_filter.limits;
    limits.deadline = std::chrono::steady_clock::now() + report_time_budget;
    limits.stop = &the_http_server().stop_flag();
    std::size_t instances = 0;
    bool complete = true;
    // Objects whose instances all lie outside the ranges asked for are
    // passed over without evaluating the filter; once a query has seen an
    // object, without looking at the object either.
    const span_query by_spans =
        kind == store_kind::calendar ? span_query_of(calendar_filter) : span_query{};
    for (const indexed_entry* e : listing.entries) {
        if (e->folder) continue;
        if (limits.out_of_time(std::chrono::steady_clock::now())) {
            complete = false;
            break;
        }
        const calendar_spans* known =
            !by_spans.any && e->memo && listing.indexed ? e->memo->spans() : nullptr;
        if (known && !spans_may_match(by_spans, *known)) continue;
        // A file that vanished since the listing is left out.
        const std::shared_ptr<const stored_object> object = read_store_entry(listing, *e, true);
        if (!object) continue;
        // The object's path and href, made only for an object answered.
        const auto respond = [&](unsigned properties, const std::string* data) {
            return write_object_response(out, object.get(), c.folder + e->wide,
                                         c.href +
                                             xml_escape(server_config::url_escape_path(e->name)),
                                         properties, *cfg, data);
        };
        if (needs_table && object->too_large) {
            // Not read, so not matched: neither in the answer nor left out.
            complete &= respond(report_calendar_data, nullptr);
            continue;
        }
        if (!by_spans.any && !known) {
            const calendar_spans& spans = object->spans();
            if (e->memo && listing.indexed) e->memo->keep(spans);
            if (!spans_may_match(by_spans, spans)) continue;
        }
        const ical_properties* table = needs_table ? &object->table() : nullptr;
        if (table && !(kind == store_kind::calendar ? match_calendar(calendar_filter, *table)
                                                    : match_vcard(card_filter, *table)))
            continue;
        if (expand) {
            ical_zones zones(*table, calendar_filter.floating_zone.get());
            bool whole = true;
            const ical_properties expanded_table =
                expand_calendar_data(*table, zones, *expand, calendar_filter.limits, &whole);
            complete &= whole;
            instances += count_components(expanded_table);
            if (instances > report_instance_limit) {
                complete = false;
                break;
            }
            const std::string expanded = write_ical(expanded_table);
            complete &= respond(bits, &expanded);
        } else {
            complete &= respond(bits, nullptr);
        }
    }
    if (limits.out_of_time(std::chrono::steady_clock::now())) complete = false;
    if (!complete) append_truncated(out, c.href);
    out += "</d:multistatus>";
    return 207;
}
