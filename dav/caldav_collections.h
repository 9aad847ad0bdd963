// Calendar and address-book collections: which PROPFIND and REPORT requests
// belong to them, the per-user store folders, and the PROPFIND answers that
// CalDAV and CardDAV clients use to find their stores.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class config_info;
class http_prop_base_request;
struct xml_document;

enum class store_kind { calendar, addressbook };

// True when the request is one of the kind: its body asks for a report or a
// property of the kind's namespace, or its target lies in a store of the
// kind. Creates the user's store folder of the kind (prefix + "personal")
// when it says true and the target lies in the user's folder.
bool is_store_request(store_kind kind, http_prop_base_request& request,
                      const std::wstring& local_path, const xml_document& document);

// Makes the folder with an access file holding "qvel_lock on" (requests in a
// store then run one at a time) when nothing of that name exists yet. Failures
// are not reported: the target is then answered as missing.
void create_store_folder(const config_info& config, const std::wstring& folder);

// The PROPFIND answer of the kind (the multistatus head is in the answer
// already): the target's response and, with a Depth other than 0, those of
// its objects, or for a folder that is no store, of its direct entries.
// Returns 207.
int store_propfind(store_kind kind, http_prop_base_request& request, const xml_document& document);

// "<d:supported-report><d:report><" + prefix + name + "/></d:report></d:supported-report>\n".
std::string supported_report(std::string_view name, std::string_view prefix = "d:");

// "<d:href>" + the folder's href + "</d:href>".
std::string principal_href(const std::wstring& folder);

// The href of a local path below the document root: percent-encoded and
// escaped for XML.
std::string dav_local_href(const std::wstring& path);

// The entity tag of a folder, computed like a file's; it changes whenever an
// object is added, replaced or removed. Empty when the folder is missing.
std::string collection_etag(const std::wstring& folder);

// True for a file directly in a store folder of some user's private folder
// (the document root's "private/<user>/" + a store prefix); the store's kind
// goes to `kind` when given.
bool is_store_object(const std::wstring& path, store_kind* kind = nullptr);
