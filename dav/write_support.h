// What the writing DAV methods share: the access step, the request's
// conditions on a path, short text answers and multistatus answers naming
// what failed, and the refusal of the access files.
#pragma once
#include "core/ref_cnt.h"
#include "dav/dav_request.h" // is_access_file
#include "dav/tree_ops.h"

#include <string>
#include <vector>

class http_request;
class config_info;

// Short text bodies of the answers.
// Sends the text with the content type of "string_file.txt"; returns 0.
int answer_text(http_request& request, int status, const std::string& text);
// A 207 answer with one response per failure, its href and status; returns 0.
int answer_failures(http_request& request, const std::vector<tree_failure>& failures);

// The access decision of the configuration for the request's method and
// login. True when granted (the CGI authentication variables and the
// connection's user are set unless only checking). When denied, false is
// returned with the status the handler answers: 0 after the 401 answer has
// been sent, else 403.
bool access_step(http_request& request, const cl::sh_ptr<config_info>& config, int& refusal,
                 bool only_check = false);

// The check of the members of a tree one request handles: each member of
// source is asked about as a GET when read, as a DELETE when removed, and its
// place below dest (when given) as a PUT; the login verified for the request
// answers every question, each once. A read-only file is never removed. An
// access file goes with its folder when it is removed or moved, and is
// never copied.
member_check member_rights(const http_request& request, const std::wstring& source, bool read,
                           bool remove, const std::wstring& dest = std::wstring());

// The request's conditions (If-Match, If-None-Match, the dates and the If
// header) against the resource at path: status when they hold, else 412 (or
// 304).
int check_conditions(http_request& request, int status, const std::wstring& path);
// The same for the empty file a lock made on a new name: it is there for
// every condition (a client may have read its entity tag) but "If-None-Match:
// *", with which the client asks not to replace content someone else stored.
int check_conditions_of_new(http_request& request, int status, const std::wstring& path);

// True when the request comes with a body.
bool has_request_body(const http_request& request);

// The escaped URL path of a local path below the document root.
std::string local_href(const std::wstring& local_path);

// The kinds of local entries.
enum class entry_kind { missing, file, folder, other };
entry_kind kind_of(const std::wstring& path);
