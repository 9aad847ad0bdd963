// The HTTP client seen through the WinHTTP functions that the program binds
// at run time: a "DLL" named "winhttp.dll" whose functions are the ones
// below, exported under their WinHTTP names. They keep WinHTTP's flow
// (session, connection and request handles; send, receive, query, read,
// close), its option and query numbers, its status notifications and its
// last-error reporting (win32::get_last_error after a false or null result).
//
// The "Internet Explorer configuration" of the current user is the proxy
// environment (http_proxy, https_proxy, all_proxy, no_proxy, upper case
// too); proxy discovery for a URL asks libproxy when the system has it.
#pragma once
#include <cstdint>
#include <string>

namespace winhttp {

using hinternet = void*;
// info points at a wide text (names, addresses) or a uint32_t (sizes, flags,
// handle values), as the status says.
using status_callback = void (*)(hinternet handle, uintptr_t context, uint32_t status,
                                 const void* info, uint32_t info_length);

constexpr uint32_t access_type_default_proxy = 0;
constexpr uint32_t access_type_no_proxy = 1;
constexpr uint32_t access_type_named_proxy = 3;

constexpr uint32_t flag_refresh = 0x100;
constexpr uint32_t flag_secure = 0x800000;

constexpr uint32_t option_connect_timeout = 3;
constexpr uint32_t option_security_certificate_struct = 32;
constexpr uint32_t option_proxy = 38;
constexpr uint32_t option_context_value = 45;

constexpr uint32_t query_status_code = 19;
constexpr uint32_t query_custom = 65535;
constexpr uint32_t query_flag_number = 0x20000000;

constexpr uint32_t autoproxy_auto_detect = 1;
constexpr uint32_t autoproxy_config_url = 2;
constexpr uint32_t auto_detect_type_dhcp = 1;
constexpr uint32_t auto_detect_type_dns_a = 2;

constexpr uint32_t callback_all_notifications = 0xFFFFFFFF;
const status_callback invalid_status_callback = reinterpret_cast<status_callback>(intptr_t(-1));

// Status notifications.
constexpr uint32_t status_resolving_name = 0x1;
constexpr uint32_t status_name_resolved = 0x2;
constexpr uint32_t status_connecting_to_server = 0x4;
constexpr uint32_t status_connected_to_server = 0x8;
constexpr uint32_t status_sending_request = 0x10;
constexpr uint32_t status_request_sent = 0x20;
constexpr uint32_t status_receiving_response = 0x40;
constexpr uint32_t status_response_received = 0x80;
constexpr uint32_t status_closing_connection = 0x100;
constexpr uint32_t status_connection_closed = 0x200;
constexpr uint32_t status_handle_created = 0x400;
constexpr uint32_t status_handle_closing = 0x800;
constexpr uint32_t status_secure_failure = 0x10000;
constexpr uint32_t status_headers_available = 0x20000;
constexpr uint32_t status_request_error = 0x200000;

constexpr uint32_t secure_flag_cert_cn_invalid = 0x10;
constexpr uint32_t secure_flag_invalid_ca = 0x4;

struct proxy_config {
    bool auto_detect = false;
    std::wstring auto_config_url;
    std::wstring proxy;
    std::wstring proxy_bypass;
};

struct autoproxy_options {
    uint32_t flags = 0;
    uint32_t auto_detect_flags = 0;
    std::wstring auto_config_url;
};

struct proxy_info {
    uint32_t access_type = access_type_no_proxy;
    std::wstring proxy;
    std::wstring proxy_bypass;
};

struct certificate_info {
    std::wstring subject;
};

hinternet win_http_open(const wchar_t* agent, uint32_t access_type, const wchar_t* proxy,
                        const wchar_t* bypass, uint32_t flags);
hinternet win_http_connect(hinternet session, const wchar_t* server, uint16_t port,
                           uint32_t reserved);
hinternet win_http_open_request(hinternet connect, const wchar_t* verb, const wchar_t* path,
                                const wchar_t* version, const wchar_t* referrer,
                                const wchar_t* const* accept_types, uint32_t flags);
bool win_http_send_request(hinternet request, const wchar_t* headers, uint32_t headers_length,
                           const void* optional, uint32_t optional_length, uint32_t total_length,
                           uintptr_t context);
bool win_http_query_option(hinternet handle, uint32_t option, void* buffer, uint32_t* length);
bool win_http_receive_response(hinternet request, void* reserved);
bool win_http_query_data_available(hinternet request, uint32_t* available);
bool win_http_read_data(hinternet request, void* buffer, uint32_t to_read, uint32_t* read);
bool win_http_close_handle(hinternet handle);
bool win_http_get_ie_proxy_config_for_current_user(proxy_config* config);
bool win_http_get_proxy_for_url(hinternet session, const wchar_t* url,
                                const autoproxy_options* options, proxy_info* info);
bool win_http_set_option(hinternet handle, uint32_t option, const void* buffer, uint32_t length);
status_callback win_http_set_status_callback(hinternet handle, status_callback callback,
                                             uint32_t flags, uintptr_t reserved);
bool win_http_query_headers(hinternet request, uint32_t info_level, const wchar_t* name,
                            void* buffer, uint32_t* length, uint32_t* index);

// Makes "winhttp.dll" loadable through the class library's DLL registry,
// once the HTTP library could be set up; false when it could not.
bool register_winhttp_dll();

} // namespace winhttp
