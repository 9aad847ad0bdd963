#include "server/req_info.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/access_checker.h"
#include "server/http_request.h"
#include "server/response_headers.h"
#include "server/server_dirs.h"

namespace {

cgi_server_values& values_storage() {
    static cgi_server_values values;
    return values;
}

// A client may not set the variable HTTP_PROXY: programs take it for the
// address of their outgoing proxy, so a "Proxy" header would steer them.
bool is_dropped_header(std::string_view name) {
    return cl::iequals(name, "Proxy");
}

} // namespace

const cgi_server_values& cgi_values() {
    return values_storage();
}
void set_cgi_values(const cgi_server_values& values) {
    values_storage() = values;
}

req_info::req_info() {
    const cgi_server_values& v = cgi_values();
    set("SERVER_SOFTWARE", v.server_software);
    set("SERVER_PROTOCOL", "HTTP/1.1");
    set("GATEWAY_INTERFACE", "CGI/1.1");
    set("DOCUMENT_ROOT", v.document_root);
    set("_TSKQVL_PRIVATE_DIR", v.private_dir);
}

req_info::~req_info() = default;

void req_info::set(const std::string& name, const std::string& value) {
    variables[name] = value;
}

std::string req_info::get(std::string_view name) const {
    const auto it = variables.find(name);
    return it == variables.end() ? std::string() : it->second;
}

std::string cgi_header_variable_name(std::string_view header_name) {
    std::string name = "HTTP_";
    name.reserve(5 + header_name.size());
    for (char c : header_name)
        name += c == '-' ? '_' : cl::to_upper_char(c);
    return name;
}

void set_request_variables(http_request& request) {
    if (!request.info || !request.data) return;
    req_info& info = *request.info;
    const http_request_data& data = *request.data;
    const bool tracing = trace_level() >= 2;

    info.set("CONTENT_LENGTH", data.header(http_header_content_length));
    info.set("CONTENT_TYPE", data.header(http_header_content_type));
    info.set("COOKIE", data.header(http_header_cookie));
    const std::string& host = data.header(http_header_host);
    if (!host.empty()) info.set("SERVER_NAME", host);
    info.set("REDIRECT_STATUS", "200");

    if (tracing) cl::trace_out.write("Client header:\n");
    for (int id = 0; id < http_header_request_maximum; ++id) {
        const std::string& value = data.known_headers[id];
        if (value.empty()) continue;
        const std::string_view name = request_header_name(id);
        if (tracing) {
            const bool credentials =
                id == http_header_authorization || id == http_header_proxy_authorization;
            cl::trace_out.write(cl::format_str(
                "   %?: %?\n", name, credentials ? traceable_authorization(value) : value));
        }
        info.set(cgi_header_variable_name(name), value);
    }

    // A DLNA client asks for its transfer mode to be echoed.
    const auto mode = data.unknown_headers.find(std::string_view("transferMode.dlna.org"));
    if (mode != data.unknown_headers.end() && request.headers)
        request.headers->add(mode->first, mode->second);

    request.referer = data.header(http_header_referer);
    request.user_agent = data.header(http_header_user_agent);
    const std::string& connection = data.header(http_header_connection);
    if (cl::iequals(connection, "Close") || (data.version == 100 && connection.empty()))
        request.close_connection = true;

    for (const auto& [name, value] : data.unknown_headers) {
        // "X_Foo" and "X-Foo" would both become HTTP_X_FOO; a header spelled
        // with "_" could then replace what the proxy or client sent under the
        // proper name, so such names get no variable at all.
        if (name.find('_') != std::string::npos || is_dropped_header(name)) continue;
        if (tracing) cl::trace_out.write(cl::format_str("   %?: %?\n", name, value));
        info.set(cgi_header_variable_name(name), value);
    }
}

void set_cgi_auth_variables(const auth_info& auth, req_info& info) {
    info.set("REMOTE_USER", auth.user_name);
    info.set("AUTH_TYPE", auth.auth_type_name);
    info.set("_TSKQVL_AUTHNAME", auth.realm);
    info.set("_TSKQVL_REQUIRE", auth.require_text);
    info.set("_TSKQVL_AUTHUSERFILE", auth.user_file);
}
