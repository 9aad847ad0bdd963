// COPY and MOVE of files and folder trees to the place a Destination header
// names.
#include "dav/copy_move.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "dav/dav_requests.h"
#include "dav/file_attributes.h"
#include "dav/locks.h"
#include "dav/tree_ops.h"
#include "dav/write_support.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/request_processor.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {

std::string u8(const std::wstring& s) {
    return cl::utf16_to_utf8(s);
}

std::string without_slash(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

// The real path of a local path whose last part may be missing: its folder
// resolved, the name appended. Empty when the folder does not resolve.
std::string real_path_of(const std::wstring& path) {
    const std::string p = without_slash(u8(path));
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return std::string();
    const std::string dir = slash == 0 ? std::string("/") : p.substr(0, slash);
    char buf[PATH_MAX];
    if (!::realpath(dir.c_str(), buf)) return std::string();
    std::string out = buf;
    if (out != "/") out += "/";
    return out + p.substr(slash + 1);
}

bool is_below(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           (ancestor == "/" || path[ancestor.size()] == '/');
}

bool hex_digit(char c, int& v) {
    v = cl::hex_digit_value(static_cast<unsigned char>(c));
    return v >= 0;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The host and port of an authority ("host", "host:port", "[v6]:port").
void split_authority(std::string_view authority, std::string& host, std::string& port) {
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    const std::size_t bracket = authority.rfind(']');
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        host = lower(authority.substr(0, colon));
        port = std::string(authority.substr(colon + 1));
    } else {
        host = lower(authority);
        port.clear();
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
}

} // namespace

bool own_names::names(std::string_view authority, bool secure) const {
    std::string host, port;
    split_authority(authority, host, port);
    if (port.empty()) port = secure ? "443" : "80";
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) return false;
    return std::find(hosts.begin(), hosts.end(), host) != hosts.end();
}

void own_names::add(std::string_view authority) {
    std::string host, port;
    split_authority(authority, host, port);
    if (!host.empty()) hosts.push_back(host);
    if (!port.empty()) ports.push_back(port);
}

int destination_url_path(std::string_view header, std::string& path, const own_names* own,
                         bool* folder_spelling) {
    std::string_view d = cl::trimmed(header);
    if (d.empty()) return 400;
    bool absolute = true, secure = false;
    if (d.size() >= 7 && cl::iequals(d.substr(0, 7), "http://")) {
        d.remove_prefix(7);
    } else if (d.size() >= 8 && cl::iequals(d.substr(0, 8), "https://")) {
        d.remove_prefix(8);
        secure = true;
    } else if (d.front() == '/') {
        absolute = false;
    } else {
        return 400;
    }
    if (absolute) {
        // The host part ends at the first "/", where the path begins.
        const std::size_t slash = d.find('/');
        if (slash == std::string_view::npos) return 400;
        // Another server's resource is not this one's to write.
        if (own && !own->names(d.substr(0, slash), secure)) return 502;
        d.remove_prefix(slash);
    }
    const std::size_t end = d.find_first_of("?#");
    if (end != std::string_view::npos) d = d.substr(0, end);
    // The decoded path must name a file the way a request path may.
    std::string decoded;
    for (std::size_t i = 0; i < d.size(); ++i) {
        if (d[i] != '%') {
            decoded += d[i];
            continue;
        }
        int hi = 0, lo = 0;
        if (i + 2 >= d.size() || !hex_digit(d[i + 1], hi) || !hex_digit(d[i + 2], lo)) return 400;
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!cl::is_valid_utf8(decoded)) return 400;
    for (unsigned char c : decoded)
        if (c < 32 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*' ||
            c == ':')
            return 400;
    const std::wstring normal = server_config::resolve_relative_path(cl::utf8_to_utf16(decoded));
    if (normal.empty()) return 400;
    if (folder_spelling)
        *folder_spelling = decoded.size() > 1 && (decoded.back() == '/' || decoded.back() == '\\');
    path = std::string(d);
    return 0;
}

namespace {

// The host names and addresses under which this request reached the server.
own_names names_of_server(const http_request& r) {
    own_names own;
    if (r.data) own.add(r.data->header(http_header_host));
    if (r.info) {
        own.add(r.info->get("SERVER_NAME"));
        own.ports.push_back(r.info->get("SERVER_PORT"));
    }
    const std::string configured = cl::utf16_to_utf8(server_settings().host_name);
    if (!configured.empty() && configured != "+" && configured != "*") own.add(configured);
    for (const char* local : {"localhost", "127.0.0.1", "::1"})
        own.hosts.push_back(local);
    return own;
}

} // namespace

int dav_copy_move(http_copy_move_request& r) {
    cl::sh_ptr<config_info> cfg(r.config());
    if (!cfg || !r.data) return 500;
    int refusal = 0;
    if (!access_step(r, cfg, refusal)) return refusal;
    const std::wstring& source = cfg->local_path;
    if (is_blocked(source)) return 403;
    const entry_kind kind = kind_of(source);
    if (kind == entry_kind::missing) return 404;
    if (kind == entry_kind::other || is_access_file(*cfg, source) ||
        path_below_root(source) == L"/")
        return 403;
    const int pre = check_conditions(r, 0, source);
    if (pre != 0) return pre;

    const std::string dest_header = r.data->get_header("destination");
    if (dest_header.empty()) return answer_text(r, 400, "Missing destination header");
    const std::string overwrite_header = std::string(cl::trimmed(r.data->get_header("overwrite")));
    bool overwrite = false;
    if (cl::iequals(overwrite_header, "t"))
        overwrite = true;
    else if (!overwrite_header.empty() && !cl::iequals(overwrite_header, "f"))
        return 400;
    const std::string depth = std::string(cl::trimmed(r.data->get_header("depth")));
    bool recursive = true;
    if (depth == "0")
        recursive = false;
    else if (!depth.empty() && !cl::iequals(depth, "infinity"))
        return 400;
    // A folder moves whole or not at all.
    if (!r.copy && !recursive && kind == entry_kind::folder) return 400;

    // The destination is asked about as a PUT of it by this client would be,
    // the source as a GET (and for a MOVE as its DELETE); the login verified
    // for the request serves every question.
    std::string dest_url;
    const own_names own = names_of_server(r);
    bool dest_folder_spelling = false;
    if (const int s = destination_url_path(dest_header, dest_url, &own, &dest_folder_spelling))
        return s;
    const access_client client = access_client_of(r);
    const auto refused = [&r](const access_answer& a) { return answer_refusal(r, a); };
    for (const char* m : {"GET", r.copy ? "" : "DELETE"}) {
        if (!*m) continue;
        const access_answer a = decide_access_local(client, m, source);
        if (!a.granted()) return refused(a);
    }
    const access_answer da = decide_access_url(client, "PUT", dest_url);
    if (!da.granted()) return refused(da);
    cl::sh_ptr<config_info> dcfg = da.config;
    // A destination with a "/" after a file's name names a folder that is
    // not there: nothing to put the source in.
    if (names_file_as_folder(dest_folder_spelling, *dcfg)) return 409;
    const std::wstring& dest = dcfg->local_path;
    if (path_below_root(dest) == L"/") return 403;

    const std::string rs = real_path_of(source), rd = real_path_of(dest);
    if (rd.empty()) return 409; // no folder to put it in
    if (rs == rd) return answer_text(r, 200, r.copy ? "Copied." : "Moved.");
    // Into its own tree it would never end; onto a folder above it, the
    // replaced folder would take the source with it.
    if (is_below(rd, rs) || is_below(rs, rd)) return 403;
    const entry_kind dest_kind = kind_of(dest);
    if (dest_kind != entry_kind::missing && !overwrite) return 412;
    // A read-only file is neither moved away nor overwritten.
    if ((!r.copy && is_read_only_file(rs)) || is_read_only_file(rd)) return 403;

    if (!r.copy)
        if (const int s = check_write_lock(
                r, source, kind == entry_kind::folder ? write_scope::tree : write_scope::member))
            return s;
    if (const int s = check_write_lock(
            r, dest, dest_kind == entry_kind::folder ? write_scope::tree : write_scope::member))
        return s;

    if (trace_level() > 1)
        cl::trace_out.write_w(
            cl::format_wstr(L"%? %? -> %?\n", cl::utf8_to_utf16(r.data->method), source, dest));
    // A folder replaced at the destination is removed with all below it:
    // each of its members must be the client's to remove.
    if (dest_kind == entry_kind::folder) {
        std::vector<tree_failure> kept;
        if (!refused_members(dest, member_rights(r, dest, false, true), kept))
            return answer_failures(r, kept);
    }
    const member_check rights = member_rights(r, source, true, !r.copy, dest);
    transfer_result result = copy_or_move(source, dest, !r.copy, overwrite, recursive, &rights);
    if (result.status != 0) return result.status;
    if (!r.copy) the_lock_table().remove_tree(lock_key(source));
    if (!result.failures.empty()) return answer_failures(r, result.failures);
    return answer_text(r, dest_kind == entry_kind::missing ? 201 : 200,
                       r.copy ? "Copied." : "Moved.");
}
