// What every DAV handler does first, and the request body of the methods that
// carry XML.
#pragma once
#include "server/access_decision.h" // is_access_file

#include <cstddef>
#include <string>

class http_get_request;
class config_info;
struct auth_info;

// The prologue's result when it answered the request itself (the 401 with
// its challenge); the handler then returns 0.
inline constexpr int dav_answered = -1;

// Content-Range or a content coding (501), the access check with its logins
// (a 401 answer is sent here), the CGI authentication variables and the
// connection's user, the blocklist (403), then the conditional headers of the
// target (412 or 304). 0 when the handler may go on.
int dav_prologue(http_get_request& request, auth_info& auth);

// The largest XML request body taken: a multiget of thousands of hrefs fits.
inline constexpr std::size_t dav_body_limit = 8 * 1024 * 1024;

// Receives the whole request body into `body`: 0, or 413 when it is larger
// than the limit (a declared length over it is refused before any byte is
// read), or 400 when the body could not be received whole.
int read_dav_body(http_get_request& request, std::string& body);

// Sends a complete answer of the status with the text as its body, in pieces:
// a listing of thousands of entries is never copied whole into the
// connection's buffer.
void send_dav_answer(http_get_request& request, int status, const std::string& body);
