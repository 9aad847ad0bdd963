#include "dav/write_support.h"

#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "dav/dav_namespaces.h"
#include "dav/dav_requests.h"
#include "dav/locks.h"
#include "server/access_checker.h"
#include "server/access_decision.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/server_services.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <utility>

int answer_text(http_request& request, int status, const std::string& text) {
    const config_info* cfg = request.config();
    request.headers->add("Content-Type", cfg ? cfg->mime_type_of_file(L"string_file.txt")
                                             : std::string("text/plain"));
    request.text_body = text;
    request.send_simple_response(status);
    return 0;
}

int answer_failures(http_request& request, const std::vector<tree_failure>& failures) {
    std::string body = multistatus_head();
    for (const tree_failure& f : failures) {
        body += "<d:response>\n<d:href>";
        body += xml_escape(local_href(f.path));
        body += "</d:href>\n<d:status>HTTP/1.1 ";
        body += std::to_string(f.status) + " " + std::string(status_text(f.status));
        body += "</d:status>\n</d:response>\n";
    }
    body += "</d:multistatus>\n";
    request.headers->add("Content-Type", "application/xml; charset=\"utf-8\"");
    request.text_body = std::move(body);
    request.send_simple_response(207);
    return 0;
}

bool access_step(http_request& request, const cl::sh_ptr<config_info>& config, int& refusal,
                 bool only_check) {
    refusal = 0;
    const access_answer a =
        decide_access_config(access_client_of(request), request.data ? request.data->method : "",
                             config, access_use::request);
    if (!a.granted()) {
        refusal = answer_refusal(request, a);
        return false;
    }
    if (only_check) return true;
    record_login(request, a, config->local_path);
    return true;
}

member_check member_rights(const http_request& request, const std::wstring& source, bool read,
                           bool remove, const std::wstring& dest) {
    const cl::sh_ptr<config_info> top(request.config());
    const auto joined = [](const std::wstring& top_path, const std::wstring& rel, bool folder) {
        std::wstring p = top_path;
        while (!p.empty() && p.back() == L'/')
            p.pop_back();
        return p + L"/" + rel + (folder ? L"/" : L"");
    };
    // Each member is answered once, the first time it is asked about: a MOVE
    // asks about each in up to three walks (whether it moves whole, the
    // copy, the removal), and all three must go by the same answer.
    auto answers = std::make_shared<std::map<std::pair<std::wstring, bool>, int>>();
    return [client = access_client_of(request), top, source, read, remove, dest, joined,
            answers](const std::wstring& rel, bool folder, bool read_only) -> int {
        const auto [at, fresh] = answers->try_emplace({rel, folder}, 0);
        if (!fresh) return at->second;
        const std::wstring from = joined(source, rel, folder);
        int& answer = at->second;
        // An access file goes with its folder. A copy makes none: a PUT of
        // one is refused to every client, and a copy can do no more than
        // the PUT of each of its members.
        if (top && is_access_file(*top, from)) {
            answer = remove || dest.empty() ? member_with_folder : 403;
            return answer;
        }
        answer = 403;
        // A read-only file is not removed with its folder, as it is not alone.
        if (remove && read_only) return 403;
        for (const auto& [use, method] : {std::pair{read, "GET"}, std::pair{remove, "DELETE"}}) {
            if (!use) continue;
            const access_answer a = decide_access_local(client, method, from);
            if (!a.granted()) return answer = a.status;
        }
        if (!dest.empty()) {
            const access_answer a = decide_access_local(client, "PUT", joined(dest, rel, folder));
            if (!a.granted()) return answer = a.status;
        }
        return answer = 0;
    };
}

namespace {

int evaluate_conditions(http_request& request, int status, const std::wstring& path, bool as_new) {
    // The condition code belongs to the file handlers; a helper request
    // sharing this one's data and variables evaluates it.
    http_get_request cond(request.headers, mode_get);
    cond.data = request.data;
    cond.info = request.info;
    auto file = std::make_unique<cl::simple_file>();
    if (file->open(path, cl::o_rdonly | cl::o_binary, cl::sh_denyno) || file->open_info_only(path))
        cond.set_file(std::move(file));
    if (as_new && request.data &&
        cl::trimmed(request.data->header(http_header_if_none_match)) == "*") {
        auto without = std::make_shared<http_request_data>(*request.data);
        without->known_headers[http_header_if_none_match].clear();
        cond.data = std::move(without);
    }
    return cond.check_preconditions(status, path, true);
}

} // namespace

int check_conditions(http_request& request, int status, const std::wstring& path) {
    return evaluate_conditions(request, status, path, false);
}

int check_conditions_of_new(http_request& request, int status, const std::wstring& path) {
    return evaluate_conditions(request, status, path, true);
}

bool has_request_body(const http_request& request) {
    if (!request.data) return false;
    if (request.data->flags & khttp::request_flag_more_entity_body) return true;
    const std::string& length = request.data->header(http_header_content_length);
    if (!length.empty() && cl::trimmed(length) != "0") return true;
    return !request.data->header(http_header_transfer_encoding).empty();
}

std::string local_href(const std::wstring& local_path) {
    std::wstring key = path_below_root(local_path);
    if (key.empty()) key = L"/";
    std::string href = lock_key_href(key);
    // A folder's href ends in "/".
    if (key != L"/" && kind_of(local_path) == entry_kind::folder) href += "/";
    return href;
}

entry_kind kind_of(const std::wstring& path) {
    struct stat st {};
    std::string p = cl::utf16_to_utf8(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (::lstat(p.c_str(), &st) != 0) return entry_kind::missing;
    if (S_ISREG(st.st_mode)) return entry_kind::file;
    if (S_ISDIR(st.st_mode)) return entry_kind::folder;
    if (S_ISLNK(st.st_mode)) {
        // A link counts as what it points to, as the request processor sees it.
        if (::stat(p.c_str(), &st) != 0) return entry_kind::other;
        if (S_ISREG(st.st_mode)) return entry_kind::file;
        if (S_ISDIR(st.st_mode)) return entry_kind::folder;
    }
    return entry_kind::other;
}
