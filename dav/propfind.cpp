#include "dav/propfind.h"

#include "core/format.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "dav/caldav_collections.h"
#include "dav/caldav_reports.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_request.h"
#include "dav/dav_requests.h"
#include "dav/member_access.h"
#include "dav/properties.h"
#include "dav/xml_document.h"
#include "server/access_checker.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace {
constexpr std::size_t kept_answer_limit = 32 * 1024 * 1024;
} // namespace

bool parse_depth(std::string_view text, int32_t& depth) {
    text = cl::trimmed(text);
    depth = 0;
    if (text.empty()) return true;
    if (text[0] >= '0' && text[0] <= '9') {
        int64_t v = 0;
        for (char c : text) {
            if (c < '0' || c > '9') break;
            v = v * 10 + (c - '0');
            if (v > INT32_MAX) return false;
        }
        depth = static_cast<int32_t>(v);
        return true;
    }
    if (cl::iequals(text, "infinity")) depth = -1;
    return true;
}

int run_prop_frame(http_prop_base_request& request,
                   const std::function<int(xml_document&)>& answer) {
    request.auth = std::make_unique<auth_info>();
    const int prologue = dav_prologue(request, *request.auth);
    if (prologue == dav_answered) return 0;
    if (prologue != 0) return prologue;
    request.method = request.variable("REQUEST_METHOD");
    request.user_folder = request.auth->private_dir;
    const config_info* cfg = request.config();
    request.headers->add("Content-Type",
                         cfg->mime_type_of_file(L"resp.xml") + "; charset=\"utf-8\"");
    if (const int s = read_dav_body(request, request.body)) return s;

    xml_document document;
    if (!request.body.empty()) {
        if (trace_level() >= 2)
            cl::trace_out.write(cl::format_str("request body: %?\n", request.body));
        xml_load_document(document, request.body);
        xml_set_selection_namespaces(document, dav_namespaces());
    }
    if (!parse_depth(request.data->get_header("depth"), request.depth)) return 400;

    // Each pool thread keeps the memory of its last answer: a listing of
    // thousands of entries then writes into pages that are already there.
    thread_local std::string kept;
    request.answer.swap(kept);
    request.answer.clear();
    const int status = answer(document);
    // An answer that sent itself (an error with a DAV error body).
    if (status == dav_answered) {
        kept.swap(request.answer);
        kept.clear();
        return 0;
    }
    if (status < 300) {
        if (trace_level() >= 2 && !request.answer.empty())
            cl::trace_out.write(cl::format_str("xml response: %?\n", request.answer));
        send_dav_answer(request, status, request.answer);
    }
    kept.swap(request.answer);
    kept.clear();
    if (kept.capacity() > kept_answer_limit) std::string().swap(kept);
    return status < 300 ? 0 : status;
}

namespace {

// The real path of the document root, against which links in a listing are
// checked.
std::string real_root() {
    std::string root = cl::utf16_to_utf8(public_dir());
    char* real = ::realpath(root.c_str(), nullptr);
    if (!real) return root;
    std::string r(real);
    std::free(real);
    if (r.empty() || r.back() != '/') r += '/';
    return r;
}

// A listed entry that is a symbolic link is shown (as what it points to)
// only when it stays inside the document root; the walk never goes through
// it otherwise.
bool link_stays_inside(const std::string& path, const std::string& root, bool& is_dir) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    std::string r(real);
    std::free(real);
    struct stat st {};
    if (::stat(r.c_str(), &st) != 0) return false;
    is_dir = S_ISDIR(st.st_mode);
    if (is_dir) r += '/';
    return r.compare(0, root.size(), root) == 0;
}

} // namespace

int propfind_answer(http_prop_base_request& request, xml_document& document) {
    const config_info* cfg = request.config();
    // A body that is there but no XML is an error of the client, not a
    // request for everything.
    if (!request.body.empty() && !document.loaded) return 400;
    for (store_kind kind : {store_kind::calendar, store_kind::addressbook})
        if (is_store_request(kind, request, cfg->local_path, document))
            return store_propfind(kind, request, document);
    if (!cfg->is_file() && !cfg->is_directory()) return 404;

    dav_property_context context;
    context.config = cfg;
    context.document = &document;
    context.user_folder = request.user_folder;
    context.caldav_prefix = caldav_prefix();
    context.carddav_prefix = carddav_prefix();

    std::wstring target = cfg->local_path;
    std::wstring url = request.data->path;
    if (cfg->is_directory()) {
        if (target.empty() || target.back() != L'/') target += L'/';
        if (url.empty() || url.back() != L'/') url += L'/';
    }
    std::string& out = request.answer;
    out = multistatus_head();
    const std::string base_href = dav_href(url);
    const bool is_directory = write_dav_properties(out, context, target, base_href, true);

    if (request.depth == 1 && is_directory) {
        const std::string folder = cl::utf16_to_utf8(target);
        // The folder decided about, opened beneath the root.
        const int folder_fd = cl::open_tree_file(folder, O_RDONLY | O_DIRECTORY);
        std::unique_ptr<DIR, int (*)(DIR*)> dir(folder_fd >= 0 ? ::fdopendir(folder_fd) : nullptr,
                                                ::closedir);
        if (!dir && folder_fd >= 0) ::close(folder_fd);
        if (dir) {
            std::vector<std::pair<std::string, unsigned char>> names;
            while (const dirent* e = ::readdir(dir.get())) {
                const std::string_view name = e->d_name;
                if (name != "." && name != ".." && !cl::is_write_temp_name(name))
                    names.emplace_back(name, e->d_type);
            }
            // About a kilobyte per entry: one allocation instead of a dozen
            // copies of a growing answer.
            out.reserve(out.size() + names.size() * 1024 + 4096);
            const int dir_fd = ::dirfd(dir.get());
            const std::string root = real_root();
            dav_entry entry;
            entry.dir_fd = dir_fd;
            // A member is named only when a GET of it by this client would
            // not be refused by its rules (one behind a login the client
            // lacks is named: its GET would ask for the login).
            const access_client client = access_client_of(request);
            member_access access(client, target);
            for (const auto& [name, type] : names) {
                entry.name = name.c_str();
                entry.path = folder;
                entry.path += name;
                entry.info =
                    cl::file_information_at(dir_fd, name.c_str(), false, entry.ok, entry.mode);
                if (!entry.ok) continue;
                bool entry_is_dir = S_ISDIR(entry.mode);
                const bool regular_file = S_ISREG(entry.mode);
                if (S_ISLNK(entry.mode)) {
                    if (!link_stays_inside(entry.path, root, entry_is_dir)) continue;
                    entry.info =
                        cl::file_information_at(dir_fd, name.c_str(), true, entry.ok, entry.mode);
                    if (!entry.ok) continue;
                }
                const std::wstring wide_name = cl::utf8_to_utf16(name);
                std::wstring path = target + wide_name;
                if (entry_is_dir) {
                    path += L'/';
                    entry.path += '/';
                }
                if (is_blocked(path)) continue;
                if (access.status(wide_name, entry_is_dir, regular_file) == 403) continue;
                std::string href = base_href;
                href += xml_escape(server_config::url_escape_path(name));
                if (entry_is_dir) href += '/';
                write_dav_properties(out, context, entry, path, href, false);
            }
        }
    }
    out += "</d:multistatus>";
    return 207;
}

int report_answer(http_prop_base_request& request, xml_document& document) {
    if (!document.loaded) return 400;
    for (store_kind kind : {store_kind::calendar, store_kind::addressbook})
        if (is_store_request(kind, request, request.config()->local_path, document))
            return store_report(kind, request, document);
    // No report of plain folders is supported: refused, never answered with
    // an empty multistatus.
    return 403;
}
