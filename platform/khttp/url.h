// Request-target and URL-prefix handling of the HTTP service: the canonical
// path every handler sees, and the prefixes that route requests to a queue.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace khttp {

// Decodes a request path (the target's part before "?"): percent escapes,
// UTF-8 (invalid sequences become U+FFFD), "\" read as "/", "." and ".."
// segments resolved. Empty result: the path is refused (%00, a bad escape, a
// control character, ".." above the root, or no leading "/").
std::optional<std::wstring> canonicalize_path(std::string_view raw_path);
// The same into out, and its UTF-8 form (wide_to_utf8 of out) into utf8:
// both keep their capacity from call to call. False when refused (out and
// utf8 then hold nothing to rely on).
bool canonicalize_path(std::string_view raw_path, std::string& utf8, std::wstring& out);
// A plain target: ASCII without controls, escapes, backslashes or segments
// that begin with a dot, which is its own canonical form.
bool is_plain_path(std::string_view raw_path);
// canonicalize_path without the shortcut for plain targets, which must give
// what this gives.
bool decode_path(std::string_view raw_path, std::string& utf8, std::wstring& out);

// UTF-8 to wide; invalid, overlong and surrogate sequences become U+FFFD.
std::wstring utf8_to_wide(std::string_view s);
// The same, replacing what out held; false when some sequence became U+FFFD.
bool utf8_to_wide(std::string_view s, std::wstring& out);
std::string wide_to_utf8(std::wstring_view s);

struct url_prefix {
    bool secure = false;
    std::string host; // lower case; "+" or "*" for any host
    uint16_t port = 0;
    std::wstring path; // begins and ends with "/"
    bool any_host() const { return host == "+" || host == "*"; }
};

// Parses "http://HOST:PORT/REL/" (scheme and host without regard to case; the
// path must end in "/"). Empty on a malformed prefix.
std::optional<url_prefix> parse_url_prefix(std::wstring_view text);

// How well a prefix matches a request: -1 for no match, else a rank where a
// longer path and then an explicit host rank higher.
long match_rank(const url_prefix& p, bool secure, uint16_t port, std::string_view host_lower,
                std::wstring_view abs_path);

// Splits the request target into path and query, taking the host of an
// absolute URL ("http://host/path"). False for a target of another form.
bool split_target(std::string_view target, std::string& host, std::string& path,
                  std::string& query);

} // namespace khttp
