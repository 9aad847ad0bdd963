// The one answer to "may this client do this method on this URL?". Every road
// to a file of the tree asks it: the request's own target, a COPY or MOVE
// Destination, each member of a tree a DAV method reads, copies, moves or
// deletes, each object a report reads, SSI includes, script file objects and
// media items. It weighs, in this order: the per-path configuration with its
// Location, Files and Limit sections (none for a blocked folder or a
// forbidden name), links confined to the document root, the blocklist, the
// access files (never written nor listed), the Require rule and the login.
#pragma once
#include "core/ref_cnt.h"
#include "server/access_checker.h"
#include "server/config_info.h"
#include "server/response_headers.h"

#include <memory>
#include <string>
#include <string_view>

class http_request;
class req_info;

// Who asks. A login verified once for the request is reused for every later
// question of the same request: a Digest answer counts once.
struct access_client {
    std::string authorization;           // the Authorization header
    std::string method;                  // the request's method, which a Digest answer names
    std::string uri;                     // the request target as received
    const req_info* info = nullptr;      // the variables "Require env" reads
    const auth_info* verified = nullptr; // the login verified for this request
};

// The client of a request; its verified login is the one given, else the
// request's once its own access check has passed (the records must outlive
// the client).
access_client access_client_of(const http_request& request, const auth_info* verified = nullptr);

// What a road does with the file.
enum class access_use {
    request, // the request's own target: access files are left to the login
    member,  // read or written on behalf of another target: access files refused
};

struct access_answer {
    int status = 0; // 0 granted, else 403 or 401
    cl::sh_ptr<config_info> config;
    auth_info auth; // the login's record when one applied
    // The 401 challenge, and "Authentication-Info" when the login was
    // verified now.
    lazy_headers challenge;
    lazy_headers success;
    // Whether a login applied at all, and whether it was the one verified
    // before for this request (nothing verified anew).
    bool auth_applies = false;
    bool already_done = false;
    bool granted() const { return status == 0; }
};

// The decision for a URL path as a request carries it (decoded, starting at
// the root of the tree).
access_answer decide_access(const access_client& client, std::string_view method,
                            const std::wstring& url_path, access_use use = access_use::member);
// The same for a local path of the tree; 403 for one outside it.
access_answer decide_access_local(const access_client& client, std::string_view method,
                                  const std::wstring& local_path,
                                  access_use use = access_use::member);
// The same for a URL as a client wrote it (percent-encoded), such as a
// Destination header's path.
access_answer decide_access_url(const access_client& client, std::string_view method,
                                std::string_view url, access_use use = access_use::member);
// The decision for a configuration already looked up for the method.
access_answer decide_access_config(const access_client& client, std::string_view method,
                                   cl::sh_ptr<config_info> config,
                                   access_use use = access_use::member);

// The text of a 401 answer: what the challenge asks for.
std::string challenge_text(const access_answer& answer);
// The answer of a refused decision: a 401 is sent here (the challenge's
// headers and text, the type of a text file of the configuration) and 0 is
// returned, as the request was answered; any other refusal's status is
// returned for the caller's error answer. Only for a refused answer.
int answer_refusal(http_request& request, const access_answer& answer);
// Records a granted login on the request: the user it names (the access log
// and the CGI variables), the "Authentication-Info" headers and the file the
// connection transfers.
void record_login(http_request& request, const access_answer& answer,
                  const std::wstring& transfer_file);

// The last step of the decision alone, the login with its Require kinds, for
// a target whose other steps were decided before (or that has none, such as
// an error page).
access_answer decide_login(const access_client& client, std::string_view method,
                           cl::sh_ptr<config_info> config);

// True when the name of path is the configuration's access file name (or
// ".htaccess"), compared without regard to case.
bool is_access_file(const config_info& config, const std::wstring& path);

// The URL path ("/a/b") of a local path inside the document root; empty for
// one outside it.
std::wstring url_path_of_local(const std::wstring& local_path);
