// The job that the receive loop runs on the server thread pool for every
// request: request data and CGI variables from the kernel request, the
// directive passes, the access check, the request class by method, the run,
// the access-log line and the clean-up.
#pragma once
#include "platform/khttp/khttp.h"

#include <memory>

class _http_server;

// Never throws; the request is finished (answered or dropped) on return.
void process_request(_http_server& server, std::shared_ptr<khttp::request> request);

struct http_request_data;
namespace win32 {
struct systemtime;
}
// The request's data from the service's record: the known headers in the
// slots the record says its head filled (every slot of a record made
// elsewhere, which says none), the others by name.
std::shared_ptr<http_request_data> make_request_data(const khttp::request& k,
                                                     const win32::systemtime& now);

// The last component of the media directory ("media" of "/srv/pub/media/").
std::wstring media_folder_name(const std::wstring& media_dir);
// A path "/" + folder + ".enc/" + hex digits + "." + extension (prefix without
// regard to case) names "/" + folder + "/" + the decoded name + extension;
// anything else, and a name that would decode to a separator or a control
// character, stays as it is.
std::wstring decode_media_path(const std::wstring& path, const std::wstring& media_folder);

// True when the local path, with its symbolic links resolved, lies inside the
// document root (the test every request target passes).
bool path_inside_document_root(const std::wstring& local_path);
// Whether a URL path spelled as a folder's (a "/" after its last name) names,
// by the configuration made for it, something that is not a folder: such a
// path names a missing folder.
bool names_file_as_folder(bool folder_spelling, const class config_info& config);

class config_info;
// The same for the target of a configuration, answered once per configuration
// and root (a link on its path that changes makes a new configuration).
bool config_inside_root(const config_info& config);
