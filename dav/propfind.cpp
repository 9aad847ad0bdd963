#include "dav/propfind.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "dav/dav_methods.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_request.h"
#include "dav/properties.h"
#include "dav/xml_document.h"
#include "server/access_checker.h"
#include "server/blocklist.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

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

    const int status = answer(document);
    if (status >= 300) return status;
    if (trace_level() >= 2 && !request.answer.empty())
        cl::trace_out.write(cl::format_str("xml response: %?\n", request.answer));
    request.text_body = std::move(request.answer);
    request.answer.clear();
    request.send_simple_response(status);
    return 0;
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
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (dir) {
            const std::string root = real_root();
            script_host& host = the_script_host();
            std::string entry_path;
            while (const dirent* e = ::readdir(dir.get())) {
                const std::string_view name = e->d_name;
                if (name == "." || name == "..") continue;
                entry_path = folder;
                entry_path += name;
                bool entry_is_dir = e->d_type == DT_DIR;
                if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                    struct stat st {};
                    if (::lstat(entry_path.c_str(), &st) != 0) continue;
                    if (S_ISLNK(st.st_mode)) {
                        if (!link_stays_inside(entry_path, root, entry_is_dir)) continue;
                    } else {
                        entry_is_dir = S_ISDIR(st.st_mode);
                    }
                }
                std::wstring path = cl::utf8_to_utf16(entry_path);
                if (entry_is_dir) path += L'/';
                if (is_blocked(path)) continue;
                std::string href = base_href;
                href += xml_escape(host.url_escape_path(name));
                if (entry_is_dir) href += '/';
                write_dav_properties(out, context, path, href, false);
            }
        }
    }
    out += "</d:multistatus>";
    return 207;
}

int report_answer(http_prop_base_request&, xml_document& document) {
    if (!document.loaded) return 400;
    // No report of plain folders is supported: refused, never answered with
    // an empty multistatus.
    return 403;
}
