// Conditional requests (entity tags, dates and the WebDAV If header) and the
// Range header.
#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/config/config_cache.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/response_files.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_services.h"

#include <limits>

bool etag_list_contains(std::string_view etag, std::string_view value) {
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) comma = value.size();
        if (cl::trimmed(value.substr(pos, comma - pos)) == etag) return true;
        pos = comma + 1;
    }
    return false;
}

bool parse_range_position(std::string_view text, int64_t& value) {
    if (text.empty()) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const int d = c - '0';
        if (v > (std::numeric_limits<int64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

namespace {

// Open flags of a file that is only looked at: binary, others may read.
constexpr uint32_t look_flags = cl::o_rdonly | cl::o_binary;
constexpr uint32_t look_share = cl::sh_denywr;

} // namespace

bool http_get_request::modified_since(const std::string& date, const std::wstring& path) {
    std::string stored;
    if (path.empty()) {
        stored = file_->modified_time_text();
    } else {
        cl::simple_file f;
        if (f.open(path, look_flags, look_share)) stored = f.modified_time_text();
    }
    return is_modified_since(stored, date);
}

int http_get_request::check_preconditions(int s, const std::wstring& path, bool use_path) {
    if (!data) return s;
    const std::string& if_match = data->header(http_header_if_match);
    const std::string& if_none_match = data->header(http_header_if_none_match);
    const std::string& if_modified = data->header(http_header_if_modified_since);
    const std::string& if_unmodified = data->header(http_header_if_unmodified_since);
    const std::wstring target = use_path ? path : std::wstring();

    std::string etag;
    if (!if_match.empty() || !if_none_match.empty()) {
        if (use_path) {
            cl::simple_file f;
            if (f.open(path, look_flags, look_share)) etag = f.etag();
        } else {
            // The tag of the coding the answer would be sent in: a compressed
            // body has a tag of its own, which is what the client holds.
            // Only a GET or HEAD answer is ever compressed.
            const std::string method = variable("REQUEST_METHOD");
            etag = method == "GET" || method == "HEAD" ? coded_etag(file_->etag(), file_->size())
                                                       : file_->etag();
        }
    }
    if (!if_match.empty()) {
        if (etag.empty()) return 412;
        if (cl::trimmed(if_match) != "*" && !etag_list_contains(etag, if_match)) return 412;
    }
    if (!if_none_match.empty() && !etag.empty()) {
        if (cl::trimmed(if_none_match) == "*" || etag_list_contains(etag, if_none_match)) {
            const bool newer = !if_modified.empty() && modified_since(if_modified, target);
            if (!newer) {
                const std::string method = variable("REQUEST_METHOD");
                return method == "GET" || method == "HEAD" ? 304 : 412;
            }
        }
    }
    // A client that sent entity tags asked about content, not dates: when none
    // of its tags matched, an unchanged date must not turn the answer into a
    // 304 for content the client does not have.
    if (!if_modified.empty() && if_none_match.empty() && !modified_since(if_modified, target))
        return 304;
    if (!if_unmodified.empty() && modified_since(if_unmodified, target)) return 412;
    if (s >= 300) return s;
    if (!if_header_allows_write()) return 412;
    return s;
}

void http_get_request::add_range(int64_t first, int64_t last) {
    bool merged = true;
    while (merged) {
        merged = false;
        for (auto it = ranges.begin(); it != ranges.end(); ++it) {
            const auto [f, l] = *it;
            bool joins = false;
            if ((f <= first && first <= l) || l + 1 == first) {
                first = f;
                joins = true;
            }
            if ((f <= last && last <= l) || f == last + 1) {
                last = l;
                joins = true;
            }
            // An entry that lies wholly inside the new range is part of it.
            if (first <= f && l <= last) joins = true;
            if (joins) {
                ranges.erase(it);
                merged = true;
                break;
            }
        }
    }
    ranges.emplace_back(first, last);
}

void http_get_request::parse_range_header(int64_t size) {
    ranges.clear();
    if (!data || size < 2) return;
    const std::string& header = data->header(http_header_range);
    if (header.size() < 6 || header.compare(0, 6, "bytes=") != 0) return;
    const std::string_view spec = std::string_view(header).substr(6);
    const bool tracing = trace_level() > 1;
    std::size_t pos = 0;
    while (pos <= spec.size()) {
        std::size_t comma = spec.find(',', pos);
        if (comma == std::string_view::npos) comma = spec.size();
        const std::string_view token = cl::trimmed(spec.substr(pos, comma - pos));
        pos = comma + 1;
        if (tracing) cl::trace_out.write(cl::format_str("range: [%?]\n", token));
        const std::size_t dash = token.find('-');
        // A token that is no pair of positions makes the whole header
        // unusable: the answer is then the whole file.
        if (dash == std::string_view::npos) {
            ranges.clear();
            return;
        }
        const std::string_view first_text = cl::trimmed(token.substr(0, dash));
        const std::string_view last_text = cl::trimmed(token.substr(dash + 1));
        int64_t first = 0, last = 0;
        if (!first_text.empty() && !last_text.empty()) {
            if (!parse_range_position(first_text, first) ||
                !parse_range_position(last_text, last)) {
                ranges.clear();
                return;
            }
        } else if (!first_text.empty()) {
            if (!parse_range_position(first_text, first)) {
                ranges.clear();
                return;
            }
            last = size - 1;
        } else {
            int64_t n = 0;
            if (!parse_range_position(last_text, n)) {
                ranges.clear();
                return;
            }
            first = n > size ? 0 : size - n;
            last = size - 1;
        }
        if (first > last || last >= size) break;
        add_range(first, last);
    }
    if (ranges.size() != 1) {
        ranges.clear();
        return;
    }
    if (tracing)
        cl::trace_out.write(
            cl::format_str("range request: %?-%?\n", ranges[0].first, ranges[0].second));
}

namespace {

enum if_token_kind { if_state = 0, if_punct = 1, if_etag = 2, if_not = 3 };

struct if_token {
    if_token_kind kind;
    std::string text;
};

bool is_if_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// False when the header holds anything outside the grammar.
bool tokenize_if_header(std::string_view h, std::vector<if_token>& out) {
    std::size_t i = 0;
    while (i < h.size()) {
        const char c = h[i];
        if (is_if_space(c)) {
            ++i;
        } else if (c == '<') {
            const std::size_t end = h.find('>', i + 1);
            if (end == std::string_view::npos) return false;
            out.push_back({if_state, std::string(h.substr(i + 1, end - i - 1))});
            i = end + 1;
        } else if (c == '(' || c == ')' || c == '[' || c == ']') {
            out.push_back({if_punct, std::string(1, c)});
            ++i;
        } else if (c == '"' || (c == 'W' && h.substr(i, 3) == "W/\"")) {
            const std::size_t open = c == '"' ? i : i + 2;
            const std::size_t end = h.find('"', open + 1);
            if (end == std::string_view::npos) return false;
            out.push_back({if_etag, std::string(h.substr(i, end + 1 - i))});
            i = end + 1;
        } else if (h.substr(i, 3) == "Not" || h.substr(i, 3) == "not") {
            out.push_back({if_not, std::string()});
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

bool is_punct(const if_token& t, char c) {
    return t.kind == if_punct && t.text[0] == c;
}

// The local path of a resource tag: an absolute URL (scheme and host
// dropped) or a path, percent-encoded, configured like a request path.
bool tag_resource(const std::string& tag, const config_info* cfg, std::wstring& resource) {
    std::string_view t = tag;
    const std::size_t scheme = t.find("://");
    if (scheme != std::string_view::npos) {
        const std::size_t slash = t.find('/', scheme + 3);
        t = slash == std::string_view::npos ? std::string_view("/") : t.substr(slash);
    }
    const std::size_t end = t.find_first_of("?#");
    if (end != std::string_view::npos) t = t.substr(0, end);
    if (t.empty()) return false;
    cl::sh_ptr<config_info> tagged = server_config::config_for_url(
        t, cfg ? std::wstring_view(cfg->method) : std::wstring_view(L"GET"));
    if (!tagged) return false;
    resource = tagged->local_path;
    return true;
}

} // namespace

bool http_get_request::check_if_condition(const std::wstring& resource, bool is_lock_token,
                                          const std::string& token) {
    if (is_lock_token) {
        submitted_lock_tokens.push_back(token);
        return the_lock_tokens().is_current_lock_token(resource, token);
    }
    const config_info* cfg = config();
    if (!cfg || resource != cfg->local_path) {
        cl::simple_file f;
        if (!f.open(resource, look_flags, look_share)) return false;
        return f.etag() == token;
    }
    return file_->etag() == token;
}

bool http_get_request::if_header_allows_write() {
    if (!data) return true;
    const auto found = data->unknown_headers.find(std::string_view("if"));
    if (found == data->unknown_headers.end()) return true;
    const config_info* cfg = config();
    std::wstring resource = cfg ? cfg->local_path : std::wstring();

    std::vector<if_token> tokens;
    if (!tokenize_if_header(found->second, tokens) || tokens.empty()) return false;
    std::size_t i = 0;
    if (tokens[0].kind == if_state && !tag_resource(tokens[0].text, cfg, resource)) return false;
    if (tokens[0].kind == if_state) i = 1;
    if (i >= tokens.size()) return false;
    bool any = false;
    while (i < tokens.size()) {
        // Another tagged resource: the lists after it are about that one.
        if (tokens[i].kind == if_state) {
            if (!tag_resource(tokens[i].text, cfg, resource)) return false;
            if (++i >= tokens.size()) return false;
        }
        if (!is_punct(tokens[i], '(')) return false;
        ++i;
        bool all = true;
        int conditions = 0;
        while (i < tokens.size() && !is_punct(tokens[i], ')')) {
            bool negate = false;
            if (tokens[i].kind == if_not) {
                negate = true;
                ++i;
            }
            bool value = false;
            if (i < tokens.size() && tokens[i].kind == if_state) {
                value = check_if_condition(resource, true, tokens[i].text);
                ++i;
            } else if (i + 2 < tokens.size() && is_punct(tokens[i], '[') &&
                       tokens[i + 1].kind == if_etag && is_punct(tokens[i + 2], ']')) {
                value = check_if_condition(resource, false, tokens[i + 1].text);
                i += 3;
            } else {
                return false;
            }
            all = all && (negate ? !value : value);
            ++conditions;
        }
        if (i >= tokens.size() || conditions == 0) return false;
        ++i; // the ")"
        any = any || all;
    }
    return any;
}
