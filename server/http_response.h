// The decisions of the response sender that depend on nothing but their
// inputs, open to the tests and to other senders.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The case number of a body: 1 when its size is known (0 or more), plus 2
// for a Transfer-Encoding header, plus 4 for a Content-Length header.
int body_encoding_case(int64_t size, bool has_transfer_encoding, bool has_content_length);
// Whether the case permits compression; te_value is the Transfer-Encoding
// header's value (case 2 needs "chunked").
bool body_case_allows_compression(int body_case, std::string_view te_value);

// An Internet Explorer older than Trident 5 (MSIE without Trident/, or with
// Trident/ followed by a digit up to 4), which mishandles raw deflate.
bool is_old_internet_explorer(std::string_view user_agent);

// The codings an Accept-Encoding value accepts: gzip when a token is "gzip",
// deflate when a token is "deflate" (tokens as they stand between the commas,
// not trimmed, without regard to case; a token with parameters such as
// ";q=0.5" counts for neither).
void accepted_codings(std::string_view accept_encoding, bool& gzip, bool& deflate);

// "?" matches one character, "*" any run; the whole text must match.
bool wildcard_match(std::string_view pattern, std::string_view text);

// The three compression parameters clamped into what zlib takes.
struct deflate_parameters {
    int level = -1;
    int mem_level = 9;
    int window_bits = 15;
};
deflate_parameters clamp_deflate_parameters(int level, int mem_level, int window_bits);

// The entity tag with the suffix of a content coding put inside its closing
// quote ("abc" and "CG-1915" give "abcCG-1915").
std::string etag_with_suffix(std::string_view etag, std::string_view suffix);

// True when one comma-separated, trimmed token of the header value equals
// the entity tag exactly (quotes and "W/" included).
bool etag_list_contains(std::string_view etag, std::string_view header_value);

// A byte position of a Range header: decimal digits only, no sign, no
// overflow; false for anything else.
bool parse_range_position(std::string_view text, int64_t& value);
