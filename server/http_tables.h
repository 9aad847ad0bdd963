// The small fixed vocabularies of HTTP that the server shares: the header
// names that the kernel HTTP service knows by number, reason texts, method
// names, the headers every response starts with, and HTTP dates.
#pragma once
#include "platform/win32/time.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The kernel HTTP service's known-header numbers. The front end reports the
// known headers of a request, and takes those of a response, by these slots.
enum http_header_id : int {
    http_header_cache_control = 0,
    http_header_connection = 1,
    http_header_date = 2,
    http_header_keep_alive = 3,
    http_header_pragma = 4,
    http_header_trailer = 5,
    http_header_transfer_encoding = 6,
    http_header_upgrade = 7,
    http_header_via = 8,
    http_header_warning = 9,
    http_header_allow = 10,
    http_header_content_length = 11,
    http_header_content_type = 12,
    http_header_content_encoding = 13,
    http_header_content_language = 14,
    http_header_content_location = 15,
    http_header_content_md5 = 16,
    http_header_content_range = 17,
    http_header_expires = 18,
    http_header_last_modified = 19,

    // Request headers only.
    http_header_accept = 20,
    http_header_accept_charset = 21,
    http_header_accept_encoding = 22,
    http_header_accept_language = 23,
    http_header_authorization = 24,
    http_header_cookie = 25,
    http_header_expect = 26,
    http_header_from = 27,
    http_header_host = 28,
    http_header_if_match = 29,
    http_header_if_modified_since = 30,
    http_header_if_none_match = 31,
    http_header_if_range = 32,
    http_header_if_unmodified_since = 33,
    http_header_max_forwards = 34,
    http_header_proxy_authorization = 35,
    http_header_referer = 36,
    http_header_range = 37,
    http_header_te = 38,
    http_header_translate = 39,
    http_header_user_agent = 40,
    http_header_request_maximum = 41,

    // Response headers only; they share the numbers 20.. with the request side.
    http_header_accept_ranges = 20,
    http_header_age = 21,
    http_header_etag = 22,
    http_header_location = 23,
    http_header_proxy_authenticate = 24,
    http_header_retry_after = 25,
    http_header_server = 26,
    http_header_set_cookie = 27,
    http_header_vary = 28,
    http_header_www_authenticate = 29,
    http_header_response_maximum = 30,
};

// The kernel HTTP service's verb numbers.
enum http_verb : int {
    http_verb_unparsed = 0,
    http_verb_unknown = 1,
    http_verb_invalid = 2,
    http_verb_options = 3,
    http_verb_get = 4,
    http_verb_head = 5,
    http_verb_post = 6,
    http_verb_put = 7,
    http_verb_delete = 8,
    http_verb_trace = 9,
    http_verb_connect = 10,
    http_verb_track = 11,
    http_verb_move = 12,
    http_verb_copy = 13,
    http_verb_propfind = 14,
    http_verb_proppatch = 15,
    http_verb_mkcol = 16,
    http_verb_lock = 17,
    http_verb_unlock = 18,
    http_verb_search = 19,
    http_verb_maximum = 20,
};

// Index of a known header name, -1 for any other. Header names are not case
// sensitive on the wire, so neither is the look-up: "content-type" and
// "ETag" find their slots as "Content-Type" and "Etag" do.
int request_header_id(std::string_view name);
int response_header_id(std::string_view name);

// The name of a known header as the server writes it ("Content-Md5", "Etag",
// "Te", "Www-Authenticate"); empty for an index out of range.
std::string_view request_header_name(int id);
std::string_view response_header_name(int id);

// Each known response header's place among the others in name order
// without regard to case: two known names compare by their places alone.
extern const std::array<uint8_t, http_header_response_maximum> response_header_rank;

// Reason phrase of a status code; "Unknown Response" for codes not listed.
// "Bad Gateway " and "Service Unavailable " end in a blank.
std::string_view status_text(int code);

// The method of a request. A known verb below 20 gives its name, a larger
// number its decimal value. For the "unknown" verb the raw method text is
// upper-cased and stripped of everything but A-Z ("x-report" -> "XREPORT").
std::string method_name(int verb, std::string_view unknown_verb_text);
// The method as the client wrote it: a known verb's name, else the raw text.
std::string_view method_text(int verb, std::string_view unknown_verb_text);

// "Sun, 06 Nov 1994 08:49:37 GMT" for a UTC time; the year is not padded.
std::string format_http_date(const win32::systemtime& utc);

// Reads the three HTTP date forms (RFC 1123, RFC 850 with a two-digit year,
// asctime), white space trimmed at both ends. Day and month names are case
// sensitive. False when the text is not such a date or names no valid time.
bool parse_http_date(std::string_view text, win32::filetime& result);

// The date comparison behind the conditional requests: whether a target whose
// last-modified text is stored_date changed after given_date. An empty
// stored text, or either text not parsing, counts as modified. The request's
// own operation finds the stored text (its response file or a file on a path).
bool is_modified_since(std::string_view stored_date, std::string_view given_date);

// The headers every response starts with, in order: Date (the request time),
// Server, Accept-Ranges "bytes", Connection "Keep-Alive" and Keep-Alive
// "timeout=15, max=100". The response header map adds them in this order.
// The texts stay valid until the calling thread asks again for another second;
// those from standard_constants_from on are constants that last for good.
constexpr std::size_t standard_constants_from = 2;
std::array<std::pair<std::string_view, std::string_view>, 5>
standard_headers(const win32::systemtime& request_time_utc, std::string_view server_name);

// format_http_date of the time, made once per second and thread: the text
// stays valid until the thread asks for another second.
std::string_view cached_http_date(const win32::systemtime& utc);
