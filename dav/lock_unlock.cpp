// LOCK and UNLOCK.
#include "dav/lock_unlock.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_request.h"
#include "dav/dav_requests.h"
#include "dav/locks.h"
#include "dav/write_support.h"
#include "dav/xml_document.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_tables.h"
#include "server/req_info.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string xml_content_type(const config_info& cfg) {
    return cfg.mime_type_of_file(L"resp.xml") + "; charset=\"utf-8\"";
}

std::string request_href(const http_lock_unlock_request& r) {
    std::string path = r.data ? cl::utf16_to_utf8(r.data->path) : std::string("/");
    if (path.empty() || path.front() != '/') path.insert(0, "/");
    return server_config::url_escape_path(path);
}

int send_xml(http_lock_unlock_request& r, const config_info& cfg, int status, std::string body) {
    if (trace_level() > 1) cl::trace_out.write(cl::format_str("xml response: %?\n", body));
    r.headers->add("Content-Type", xml_content_type(cfg));
    r.text_body = std::move(body);
    r.send_simple_response(status);
    return 0;
}

// The empty file a lock on a missing name makes, when its folder exists; its
// path, or empty when none was made.
std::string lock_create_empty_file(const std::wstring& path) {
    std::string p = cl::utf16_to_utf8(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    // Made in its folder opened beneath the root, never through a link.
    std::string leaf;
    const int dir = cl::open_tree_parent(p, O_RDONLY, leaf);
    const int fd = dir < 0 ? -1
                           : ::openat(dir, leaf.c_str(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (dir >= 0) ::close(dir);
    if (fd >= 0) {
        ::close(fd);
        return p;
    }
    if (trace_level() > 1)
        cl::trace_out.write(cl::format_str("lock: no empty file %? (%?)\n", p, errno));
    return std::string();
}

// A URL that ends in "/" names a folder, which a lock never makes.
bool names_folder(const http_lock_unlock_request& r) {
    return r.data && !r.data->path.empty() && r.data->path.back() == L'/';
}

int new_lock(http_lock_unlock_request& r, const config_info& cfg, const std::wstring& key,
             const std::string& body) {
    if (trace_level() > 1) cl::trace_out.write(cl::format_str("request body: %?\n", body));
    xml_document doc;
    if (!xml_load_document(doc, body)) return 400;
    xml_set_selection_namespaces(doc, L"xmlns:d=\"DAV:\"");
    if (xml_select_count(doc, "/d:lockinfo") == 0) return 400;
    // Only write locks exist.
    if (xml_select_count(doc, "/d:lockinfo/d:locktype/d:write") == 0) return 501;
    // And only exclusive ones (as supportedlock says): a shared lock asked
    // for is refused rather than granted as something else.
    if (xml_select_count(doc, "/d:lockinfo/d:lockscope/d:shared") != 0) {
        cl::trace_out.write("lock: shared locks are not offered\n");
        return 501;
    }
    lock_entry entry;
    entry.owner = xml_select_text(doc, "/d:lockinfo/d:owner/d:href");
    if (entry.owner.empty()) {
        entry.owner = xml_select_text(doc, "/d:lockinfo/d:owner");
        entry.owner_is_href = false;
    }
    const std::string depth = std::string(cl::trimmed(r.data->get_header("depth")));
    if (cl::iequals(depth, "infinity"))
        entry.depth_infinity = true;
    else if (!depth.empty() && depth != "0")
        return 400;

    entry.login = request_login(r);
    entry.holder = entry.login.empty() && r.info ? "@" + r.info->get("REMOTE_ADDR") : entry.login;

    const std::wstring& path = cfg.local_path;
    const bool missing = kind_of(path) == entry_kind::missing;
    if (missing && names_folder(r)) return 403;
    if (missing) {
        std::string p = cl::utf16_to_utf8(path);
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        const std::size_t slash = p.rfind('/');
        struct stat st {};
        if (slash == std::string::npos ||
            ::stat(p.substr(0, slash == 0 ? 1 : slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return 409;
    }
    const int64_t duration = parse_timeout_header(r.data->get_header("timeout"));
    std::wstring conflict;
    const int added = the_lock_table().add_lock(key, entry, duration, &conflict);
    if (added == 503) return 503;
    if (added != 0) {
        std::string answer = multistatus_head();
        answer += "<d:response>\n<d:href>" + xml_escape(lock_key_href(conflict)) +
                  "</d:href>\n<d:status>HTTP/1.1 423 Locked</d:status>\n</d:response>\n";
        answer += "<d:response>\n<d:href>" + xml_escape(request_href(r)) +
                  "</d:href>\n<d:status>HTTP/1.1 424 Failed Dependency</d:status>\n"
                  "</d:response>\n</d:multistatus>";
        return send_xml(r, cfg, 207, std::move(answer));
    }
    bool created = false;
    if (missing) {
        entry.created_file = lock_create_empty_file(path);
        created = !entry.created_file.empty();
        if (created) the_lock_table().set_created_file(key, entry.token, entry.created_file);
    }
    r.headers->add("Lock-Token", "<" + entry.token + ">");
    return send_xml(r, cfg, created ? 201 : 200, write_lockdiscovery(request_href(r), entry));
}

int refresh_lock(http_lock_unlock_request& r, const config_info& cfg, const std::wstring& key) {
    const std::vector<std::string> tokens = if_header_lock_tokens(r.data->get_header("if"));
    if (the_lock_table().names_foreign_lock(tokens, request_login(r))) return 403;
    // The If header names the lock; a list that does not hold fails first.
    if (!r.if_header_allows_write()) return 412;
    lock_entry entry;
    std::wstring lock_key;
    const int64_t duration = parse_timeout_header(r.data->get_header("timeout"));
    if (!the_lock_table().refresh(key, tokens, duration, entry, lock_key)) return 404;
    return send_xml(r, cfg, 200, write_lockdiscovery(lock_key_href(lock_key), entry));
}

int unlock(http_lock_unlock_request& r, const std::wstring& key) {
    std::string token = std::string(cl::trimmed(r.data->get_header("lock-token")));
    if (token.size() < 3 || token.front() != '<' || token.back() != '>') return 400;
    token = token.substr(1, token.size() - 2);
    if (the_lock_table().names_foreign_lock({token}, request_login(r))) return 403;
    const int s = the_lock_table().unlock(key, token);
    if (s != 204) return s;
    r.send_simple_response(204);
    return 0;
}

} // namespace

int dav_lock_unlock(http_lock_unlock_request& r) {
    cl::sh_ptr<config_info> cfg(r.config());
    if (!cfg || !r.data) return 500;
    const std::string& enc = r.data->header(http_header_content_encoding);
    if (!r.data->header(http_header_content_range).empty() ||
        (!enc.empty() && !cl::iequals(cl::trimmed(enc), "identity")))
        return 501;
    int refusal = 0;
    if (!access_step(r, cfg, refusal)) return refusal;
    const std::wstring& path = cfg->local_path;
    if (is_blocked(path) || is_access_file(*cfg, path)) return 403;
    const std::wstring key = lock_key(path);
    if (key.empty()) return 403;
    // A lock of the whole tree would stop every writer, as a DELETE or MOVE
    // of it would remove everything: the root is never locked.
    if (r.lock && key == L"/") return 403;
    if (!r.lock) return unlock(r, key);
    if (!has_request_body(r)) return refresh_lock(r, *cfg, key);
    std::string body;
    if (const int s = read_dav_body(r, body)) return s;
    if (cl::trimmed(body).empty()) return refresh_lock(r, *cfg, key);
    return new_lock(r, *cfg, key, body);
}
