// The CGI variables of one request and the other per-request values that
// CGI programs, server-side includes and scripts read.
#pragma once
#include "core/ref_cnt.h"
#include "server/config_info.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

struct auth_info;
struct http_request_data;
class http_request;

class req_info : public cl::ref_cnt_shared, public request_variables {
  public:
    // Sets SERVER_SOFTWARE, SERVER_PROTOCOL, GATEWAY_INTERFACE, DOCUMENT_ROOT
    // and _TSKQVL_PRIVATE_DIR.
    req_info();
    ~req_info() override;

    // Setting a variable replaces its value.
    void set(const std::string& name, const std::string& value);
    // Empty when the variable is not set.
    std::string get(std::string_view name) const override;
    bool has(std::string_view name) const { return variables.find(name) != variables.end(); }

    uint64_t connection_id = 0;
    std::map<std::string, std::string, std::less<>> variables;
    http_request_data* data = nullptr; // not owned
    cl::sh_ptr<config_info> config;
    std::string user_name; // the authenticated user
    // Kept for the script host.
    std::wstring host_text1;
    std::wstring host_text2;
    uint32_t host_word1 = 0;
    uint32_t host_word2 = 0;
};

// The server-wide values of the creation variables; server start sets them.
struct cgi_server_values {
    std::string server_software;
    std::string document_root; // the public directory
    std::string private_dir;
};
const cgi_server_values& cgi_values();
void set_cgi_values(const cgi_server_values& values);

// The name of the CGI variable of a request header: "HTTP_" and the name with
// ASCII letters upper-cased and "-" turned into "_".
std::string cgi_header_variable_name(std::string_view header_name);

// The variables that depend on the request headers (run time), the
// transferMode.dlna.org echo, the access-log copies and close_connection.
void set_request_variables(http_request& request);
// REMOTE_USER, AUTH_TYPE, _TSKQVL_AUTHNAME, _TSKQVL_REQUIRE, _TSKQVL_AUTHUSERFILE.
void set_cgi_auth_variables(const auth_info& auth, req_info& info);
