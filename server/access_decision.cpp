#include "server/access_decision.h"

#include "core/text.h"
#include "core/trace.h"
#include "server/blocklist.h"
#include "server/config/config_cache.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/request_processor.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_services.h"

namespace {

// The methods that read: a request for an access file itself is answered by
// the login its folder asks for (always one); any other use of it is refused.
bool reads(std::string_view method) {
    return method == "GET" || method == "HEAD" || method == "POST" || method == "OPTIONS";
}

} // namespace

access_client access_client_of(const http_request& request, const auth_info* verified) {
    access_client c;
    if (request.data) {
        c.authorization = request.data->header(http_header_authorization);
        c.uri = request.data->raw_url;
    }
    c.method = request.variable("REQUEST_METHOD");
    if (c.method.empty() && request.data) c.method = request.data->method;
    c.info = request.info.get();
    c.verified = verified ? verified : request.info ? request.info->login.get() : nullptr;
    return c;
}

bool is_access_file(const config_info& config, const std::wstring& path) {
    std::wstring_view name = path;
    while (!name.empty() && name.back() == L'/')
        name.remove_suffix(1);
    const std::size_t slash = name.rfind(L'/');
    if (slash != std::wstring_view::npos) name.remove_prefix(slash + 1);
    // Compared without regard to case: refusing more is the safe side.
    return !name.empty() && (cl::iequals_w(name, config.access_filename) ||
                             cl::iequals_w(name, std::wstring_view(L".htaccess")));
}

std::wstring url_path_of_local(const std::wstring& local_path) {
    std::wstring root = public_dir();
    while (!root.empty() && root.back() == L'/')
        root.pop_back();
    if (root.empty() || local_path.size() < root.size() ||
        local_path.compare(0, root.size(), root) != 0)
        return std::wstring();
    if (local_path.size() == root.size()) return L"/";
    if (local_path[root.size()] != L'/') return std::wstring();
    return local_path.substr(root.size());
}

access_answer decide_access_config(const access_client& client, std::string_view method,
                                   cl::sh_ptr<config_info> config, access_use use) {
    access_answer a;
    a.config = config;
    a.status = 403;
    // No configuration: a blocked folder on the way, or a name no file may have.
    if (!config) return a;
    const config_info& c = *config;
    if (!config_inside_root(c)) return a;
    if (is_blocked(c.local_path)) return a;
    if ((use == access_use::member || !reads(method)) && is_access_file(c, c.local_path)) return a;
    if (!check_require(method, c, client.info)) return a;
    a = decide_login(client, method, std::move(config));
    return a;
}

access_answer decide_login(const access_client& client, std::string_view method,
                           cl::sh_ptr<config_info> config) {
    access_answer a;
    a.config = std::move(config);
    const cl::sh_ptr<config_info>& cfg = a.config;
    if (!cfg) {
        a.status = 403;
        return a;
    }
    a.auth.method = client.method.empty() ? std::string(method) : client.method;
    a.auth.uri = client.uri;
    const auto settle = [&a](access_checker& check) {
        if (!check.result()) {
            a.status = static_cast<int>(check.status_code() ? check.status_code() : 401);
            a.challenge = check.take_challenge_headers();
        } else {
            a.success = check.take_success_headers();
        }
        a.auth_applies = check.auth_applies();
        a.already_done = check.already_done();
    };
    if (client.verified) {
        access_checker check(cfg, a.auth, client.authorization, *client.verified);
        settle(check);
    } else {
        access_checker check(cfg, a.auth, client.authorization);
        settle(check);
    }
    return a;
}

access_answer decide_access(const access_client& client, std::string_view method,
                            const std::wstring& url_path, access_use use) {
    const std::wstring method_w = cl::utf8_to_utf16(std::string(method));
    return decide_access_config(client, method, server_config::config_for_path(url_path, method_w),
                                use);
}

access_answer decide_access_local(const access_client& client, std::string_view method,
                                  const std::wstring& local_path, access_use use) {
    const std::wstring url = url_path_of_local(local_path);
    if (url.empty()) {
        access_answer a;
        a.status = 403;
        return a;
    }
    return decide_access(client, method, url, use);
}

access_answer decide_access_url(const access_client& client, std::string_view method,
                                std::string_view url, access_use use) {
    const std::wstring method_w = cl::utf8_to_utf16(std::string(method));
    return decide_access_config(client, method, server_config::config_for_url(url, method_w), use);
}

std::string challenge_text(const access_answer& answer) {
    return "You need authorization for access:\n\n" + answer.challenge->to_text();
}

int answer_refusal(http_request& request, const access_answer& answer) {
    if (answer.status != 401) return answer.status ? answer.status : 403;
    if (request.info) request.info->user_name = answer.auth.user_name; // who tried
    request.headers->add_all(*answer.challenge);
    const config_info* cfg = answer.config ? answer.config.get() : request.config();
    request.headers->add("Content-Type", cfg ? cfg->mime_type_of_file(L"string_file.txt")
                                             : std::string("text/plain"));
    request.text_body = challenge_text(answer);
    request.send_simple_response(401);
    return 0;
}

void record_login(http_request& request, const access_answer& answer,
                  const std::wstring& transfer_file) {
    if (request.info) {
        request.info->user_name = answer.auth.user_name;
        set_cgi_auth_variables(answer.auth, *request.info);
    }
    request.headers->add_all(*answer.success);
    the_transfer_registry().set_transfer_file(request.info ? request.info->connection_id : 0,
                                              transfer_file, answer.auth.user_name);
}
