// The REPORTs of calendar and address-book collections: calendar-query,
// calendar-multiget, addressbook-query and addressbook-multiget, answered
// with one d:response per object file of the collection folder.
#pragma once
#include "dav/caldav_collections.h"
#include "dav/caldav_object_cache.h"
#include "dav/store_index.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct access_client;

class config_info;

// The properties an object response carries.
enum : unsigned {
    report_content_type = 1,
    report_resource_type = 2,
    report_etag = 4,
    report_calendar_data = 8,
    report_address_data = 16,
    report_locks = 32, // d:lockdiscovery and d:supportedlock
};

// The answer of a REPORT the kind's test claimed: 207 with the multistatus in
// the request's answer, or 403 with a DAV error body for a filter the server
// cannot evaluate or a report it does not run.
int store_report(store_kind kind, http_prop_base_request& request, const xml_document& document);

// Appends the d:response of an object file. The data is the replacement text
// (an expanded calendar) or, when null, the whole file. A file that cannot
// be read gets a 404 propstat.
void write_report_response(std::string& out, const std::wstring& path, const std::string& href,
                           unsigned properties, const config_info& config, const std::string* data);

// The entries of a store folder that a request may read.
struct store_listing {
    store_listing() = default;
    store_listing(const store_listing&) = delete;
    store_listing& operator=(const store_listing&) = delete;
    ~store_listing();

    int dir_fd = -1; // the open folder
    // Identities are current (the folder index): a cached object is taken
    // without a system call.
    bool indexed = false;
    std::shared_ptr<const indexed_entries> all; // every name of the folder
    // Those kept, in the file system's order: without ".", "..", the access
    // files and the temporary files of writes in progress, and with a
    // client, only what a GET of theirs may read.
    std::vector<const indexed_entry*> entries;
};
// False when the folder cannot be opened.
bool list_store_folder(const config_info& config, const std::wstring& folder, store_listing& out,
                       const access_client* client = nullptr);

// The object of an entry of the listing (null when it cannot be read).
std::shared_ptr<const stored_object> read_store_entry(const store_listing& listing,
                                                      const indexed_entry& entry, bool need_text);

// What one report or PROPFIND answer may hold in object data. An object
// whose data would take the answer beyond it (or that is too large to be
// read) gets a 507 response of its own, so the client knows to fetch it
// alone.
inline constexpr std::size_t report_answer_limit = 32 * 1024 * 1024;

struct stored_object;
// write_report_response for an object already read (null: missing). False
// when the object's data did not fit the answer and it got a 507 response.
bool write_object_response(std::string& out, const stored_object* object, const std::wstring& path,
                           const std::string& href, unsigned properties, const config_info& config,
                           const std::string* data);

// One name percent-encoded for an href (not yet escaped for XML).
std::string url_escape_name(const std::wstring& name);
