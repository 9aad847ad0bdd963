// The values the program shell hands to the server before server_start, and
// the server-wide settings that server_start reads from "global.ini". Both
// are written only while no request runs (before start, during start and
// stop) and read freely by request threads afterwards.
#pragma once
#include <cstdint>
#include <string>

namespace cl {
class ini_file;
}

// Filled by the program shell before server_start (server/server_start.h).
struct shell_values {
    std::wstring install_dir;           // the executable's folder, ending in "/"
    std::wstring data_dir;              // the program-data directory, ending in "/"
    cl::ini_file* global_ini = nullptr; // "global.ini"; not owned
    std::wstring product_name;          // default of "server_name"
    std::string master_password;        // key of the stored dynamic-address password
    bool enable_media_server = false;
    bool dump_request_body = false;       // "-dump_request_body"; the INI key wins
    bool enable_script_debugging = false; // "-enable_script_debugging"; the INI key wins
    int func_trace = 1;                   // the global trace level
};
shell_values& shell_settings();

// Process priority classes of the priority settings.
enum class priority_class { normal, above_normal, below_normal, high };
// "normal", "above_normal", "below_normal", "high" (exact case); anything
// else is normal.
priority_class priority_from_name(const std::wstring& name);

// What server_start read. The "current value" settings keep what they held
// before the read when the key is missing, so these start at their defaults.
struct server_values {
    priority_class server_priority = priority_class::normal;
    priority_class cgi_priority = priority_class::normal;
    uint32_t max_connections = 5000;
    uint32_t connection_timeout = 300; // seconds
    // A request body must arrive at request_body_min_rate bytes a second
    // (0: no bound) once request_body_grace seconds have passed since its head.
    uint32_t request_body_grace = 20;
    uint32_t request_body_min_rate = 500;
    bool enable_script_timing = false;
    bool enable_request_cache = false;
    std::wstring proxy_port;     // empty: no proxy
    uint32_t proxy_timeout = 30; // seconds of every wait on the upstream server
    // Upstreams on this machine ("host:port", separated by commas or blanks)
    // that clients from other machines may reach through the proxy.
    std::wstring proxy_local_upstreams;
    // Upstream connections are kept open for the next request to the same
    // upstream instead of one connection per request.
    bool proxy_keep_alive = false;
    bool enable_kernel_streaming = true;     // buffer-data flag on body sends
    uint32_t thread_cleanup_interval = 2000; // ms, at least 500
    bool thread_pool_trace = false;
    std::wstring log_dir; // ends in "/" unless empty
    std::wstring dynip_prefix;
    bool enable_script_debugging = false;
    bool dump_request_body = false;
    bool dump_cgi_output = false;
    std::string server_name; // "Server" header
    uint32_t server_port = 80;
    uint32_t https_port = 0; // 0: no HTTPS
    std::wstring host_name = L"+";
    std::wstring rel_uri;
    std::string digest_secret;
};
server_values& server_settings();

// Reads the settings of section "param" (and "Param", "dynip") into values.
// The "current value" keys start from what values holds. The dynamic-address
// password that begins with "!" is stored back encrypted with the master
// password. No side effects beyond the INI file.
void read_server_settings(cl::ini_file& ini, const shell_values& shell, server_values& values);

// "log_dir" of section "Param"; default the public directory followed by
// "logs/". Ends in "/" unless empty.
std::wstring read_log_dir(cl::ini_file& ini, const std::wstring& public_dir);
