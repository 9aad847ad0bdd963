#include "dav/proppatch.h"

#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_request.h"
#include "dav/dav_requests.h"
#include "dav/file_attributes.h"
#include "dav/locks.h"
#include "dav/properties.h"
#include "dav/xml_document.h"
#include "platform/win32/open_beneath.h"
#include "server/access_checker.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_tables.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

constexpr std::string_view ms_namespace = "urn:schemas-microsoft-com:";

enum class kind { creation, access, write, attributes, readonly, hidden, other };

// One property of a set or remove instruction, in document order.
struct instruction {
    std::string name_xml; // the empty element written back in the answer
    kind what = kind::other;
    bool set = true;
    int status = 200;
    win32::filetime time = 0;
    uint32_t word = 0;
};

std::string answer_name(const std::string& local, const std::string& ns) {
    if (ns == "DAV:") return "<d:" + local + "/>";
    if (ns == ms_namespace) return "<Z:" + local + "/>";
    // Any other namespace is declared on the element itself, so the client
    // reads back the name it sent.
    return "<" + local + " xmlns=\"" + xml_escape(ns) + "\"/>";
}

instruction classify(xml_node node, bool set) {
    instruction in;
    in.set = set;
    const std::string local = xml_node_base_name(node);
    const std::string ns = xml_node_namespace(node);
    in.name_xml = answer_name(local, ns);
    std::string value;
    xml_node_text(node, value);
    // The Windows names are known in any namespace: clients differ in the
    // one they use.
    if (local == "Win32CreationTime" || local == "Win32LastAccessTime" ||
        local == "Win32LastModifiedTime") {
        in.what = local == "Win32CreationTime"     ? kind::creation
                  : local == "Win32LastAccessTime" ? kind::access
                                                   : kind::write;
        if (!set)
            in.status = 403; // a time cannot be removed
        else if (!parse_http_date(cl::trimmed(value), in.time) || in.time == 0)
            in.status = 409;
    } else if (local == "Win32FileAttributes") {
        in.what = kind::attributes;
        if (!set)
            in.status = 403;
        else if (!parse_hex_word(cl::trimmed(value), in.word))
            in.status = 409;
    } else if (ns == "DAV:" && (local == "isreadonly" || local == "ishidden")) {
        in.what = local == "isreadonly" ? kind::readonly : kind::hidden;
    } else {
        // Nothing else is stored anywhere, live or dead: refusing it is the
        // only honest answer.
        in.status = 403;
    }
    return in;
}

void mark(std::vector<instruction>& list, std::initializer_list<kind> kinds, int status) {
    for (instruction& in : list)
        for (kind k : kinds)
            if (in.what == k && in.status == 200) in.status = status;
}

// Applies the checked instructions to the open file; on a refusal the
// affected properties are marked 403 and those not yet tried 424.
void apply_instructions(std::vector<instruction>& list, int fd, const std::string& path) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        mark(list,
             {kind::creation, kind::access, kind::write, kind::attributes, kind::readonly,
              kind::hidden},
             403);
        return;
    }
    const bool is_dir = S_ISDIR(st.st_mode);
    const std::size_t slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
    stored_attributes stored;
    const bool has_stored = read_stored_attributes(fd, stored);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    uint32_t word = effective_attributes(st.st_mode, name, has_stored ? &stored : nullptr);
    win32::filetime creation = 0, access = 0, write = 0;
    bool attributes_given = false, creation_given = false, readonly_given = false;
    int readonly = -1, hidden = -1;
    for (const instruction& in : list) {
        switch (in.what) {
        case kind::creation:
            creation = in.time;
            creation_given = true;
            break;
        case kind::access:
            access = in.time;
            break;
        case kind::write:
            write = in.time;
            break;
        case kind::attributes:
            word = in.word;
            attributes_given = true;
            break;
        case kind::readonly:
            readonly = in.set ? 1 : 0;
            readonly_given = true;
            break;
        case kind::hidden:
            hidden = in.set ? 1 : 0;
            break;
        case kind::other:
            break;
        }
    }
    // The word first, then the two bits, as a client sending both expects.
    const auto bit = [&word](int state, uint32_t b) {
        if (state == 1) {
            word = (word & ~cl::file_attribute_normal) | b;
        } else if (state == 0) {
            word &= ~b;
            if (word == 0) word = cl::file_attribute_normal;
        }
    };
    bit(readonly, cl::file_attribute_readonly);
    bit(hidden, cl::file_attribute_hidden);
    if (attributes_given) readonly_given = true;

    // 1. What the file system has no place for.
    if (attributes_given || hidden != -1 || creation_given || (is_dir && readonly_given)) {
        stored_attributes next;
        next.attributes = word & ~(cl::file_attribute_normal | cl::file_attribute_directory);
        if (!is_dir) next.attributes &= ~cl::file_attribute_readonly;
        next.creation_time = creation_given ? creation : (has_stored ? stored.creation_time : 0);
        if (!write_stored_attributes(fd, next)) {
            mark(list, {kind::attributes, kind::hidden, kind::creation}, 403);
            if (is_dir) mark(list, {kind::readonly}, 403);
            mark(list, {kind::readonly, kind::access, kind::write}, 424);
            return;
        }
    }
    // 2. Read-only is the owner's write permission of a file.
    if (!is_dir && readonly_given) {
        const bool want_readonly = (word & cl::file_attribute_readonly) != 0;
        mode_t mode = st.st_mode & 07777;
        mode = want_readonly ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
        if (mode != (st.st_mode & 07777) && ::fchmod(fd, mode) != 0) {
            mark(list, {kind::readonly, kind::attributes}, 403);
            mark(list, {kind::access, kind::write}, 424);
            return;
        }
    }
    // 3. The times last: nothing above may move them again.
    if ((access || write) && !set_file_times(fd, 0, access, write))
        mark(list, {kind::access, kind::write}, 403);
}

} // namespace

bool set_file_times(int fd, win32::filetime creation, win32::filetime access,
                    win32::filetime write) {
    if (creation) {
        stored_attributes stored;
        if (!read_stored_attributes(fd, stored)) {
            struct stat st {};
            if (::fstat(fd, &st) != 0) return false;
            const std::string path = win32::descriptor_path(fd);
            std::string_view name = path;
            const std::size_t slash = name.rfind('/');
            if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
            stored.attributes = effective_attributes(st.st_mode, name, nullptr) &
                                ~(cl::file_attribute_normal | cl::file_attribute_directory |
                                  cl::file_attribute_readonly);
        }
        stored.creation_time = creation;
        if (!write_stored_attributes(fd, stored)) return false;
    }
    if (!access && !write) return true;
    struct timespec times[2];
    times[0] = access ? win32::timespec_from_filetime(access) : timespec{0, UTIME_OMIT};
    times[1] = write ? win32::timespec_from_filetime(write) : timespec{0, UTIME_OMIT};
    return ::futimens(fd, times) == 0;
}

int proppatch_handle(http_proppatch_request& request) {
    request.auth = std::make_unique<auth_info>();
    const int prologue = dav_prologue(request, *request.auth);
    if (prologue == dav_answered) return 0;
    if (prologue != 0) return prologue;
    request.method = request.variable("REQUEST_METHOD");
    const config_info* cfg = request.config();
    request.headers->add("Content-Type",
                         cfg->mime_type_of_file(L"resp.xml") + "; charset=\"utf-8\"");
    if (const int s = read_dav_body(request, request.body)) return s;
    if (trace_level() >= 2) cl::trace_out.write(cl::format_str("request body: %?\n", request.body));
    if (!cfg->is_file() && !cfg->is_directory()) return 404;
    // The access files decide who may do what: no DAV client changes them.
    if (is_access_file(*cfg, cfg->local_path)) return 403;
    // Properties belong to the resource: a lock on it guards them too.
    if (const int s = check_write_lock(request, cfg->local_path, write_scope::content)) return s;

    xml_document document;
    if (!xml_load_document(document, request.body)) return 400;
    xml_set_selection_namespaces(document, L"xmlns:d=\"DAV:\"");
    if (xml_select_count(document, "/d:propertyupdate") == 0) return 400;

    std::vector<instruction> list;
    xml_for_each_node(document,
                      "/d:propertyupdate/d:set/d:prop/* | /d:propertyupdate/d:remove/d:prop/*",
                      [&](xml_node node) {
                          const std::string parent = xml_node_base_name(node.parent().parent());
                          list.push_back(classify(node, parent == "set"));
                          return true;
                      });
    // All or nothing: one property that cannot be stored leaves every other
    // one unchanged too.
    bool refused = false;
    for (const instruction& in : list)
        refused = refused || in.status != 200;
    if (refused) {
        for (instruction& in : list)
            if (in.status == 200) in.status = 424;
    } else {
        // What is changed is the file opened beneath the root, never what a
        // name swapped in meanwhile would lead to.
        const std::string path = cl::utf16_to_utf8(cfg->local_path);
        const int fd = cl::open_tree_file(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        apply_instructions(list, fd, path);
        if (fd >= 0) ::close(fd);
    }

    std::wstring url = request.data->path;
    if (cfg->is_directory() && (url.empty() || url.back() != L'/')) url += L'/';
    std::string& out = request.answer;
    out = multistatus_head();
    out += "<d:response><d:href>";
    out += dav_href(url);
    out += "</d:href>\n";
    bool all_ok = true;
    for (const instruction& in : list) {
        out += "<d:propstat><d:prop>";
        out += in.name_xml;
        out += "</d:prop><d:status>HTTP/1.1 ";
        out += in.status == 200   ? "200 OK"
               : in.status == 409 ? "409 Conflict"
               : in.status == 424 ? "424 Failed Dependency"
                                  : "403 Forbidden";
        out += "</d:status></d:propstat>\n";
        all_ok = all_ok && in.status == 200;
    }
    if (all_ok) out += "<d:responsedescription>Changed</d:responsedescription>\n";
    out += "</d:response>\n</d:multistatus>";
    if (trace_level() >= 2) cl::trace_out.write(cl::format_str("xml response: %?\n", out));
    send_dav_answer(request, 207, out);
    return 0;
}
