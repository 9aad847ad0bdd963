#include "system/winhttp_client.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/http_client/winhttp.h"
#include "platform/win32/errors.h"
#include "system/error_text.h"

#include <mutex>

namespace sys {

namespace {

constexpr const char* entry_names[] = {
    "WinHttpOpen",
    "WinHttpConnect",
    "WinHttpOpenRequest",
    "WinHttpSendRequest",
    "WinHttpQueryOption",
    "WinHttpReceiveResponse",
    "WinHttpQueryDataAvailable",
    "WinHttpReadData",
    "WinHttpCloseHandle",
    "WinHttpGetIEProxyConfigForCurrentUser",
    "WinHttpGetProxyForUrl",
    "WinHttpSetOption",
    "WinHttpSetStatusCallback",
    "WinHttpQueryHeaders",
};
static_assert(std::size(entry_names) == winhttp_api::count);

using namespace winhttp;

// What the status callback learns during one call.
struct request_context {
    std::wstring resolved_address;
    uint32_t secure_failure_flags = 0;
};

std::wstring text_of(uint32_t code) {
    return error_text(code, error_kind::winhttp);
}

void trace(const std::string& s) {
    cl::trace_net.write(s);
}

void trace_failure(const char* what, uint32_t code) {
    trace(cl::format_str("%? failed with error code %?: %?\n", what, code, text_of(code)));
}

std::string secure_failure_text(uint32_t flags) {
    switch (flags) {
    case 0x1:
        return "Certification revocation checking has been enabled, but the revocation check "
               "failed to verify whether a certificate has been revoked. The server used to "
               "check for revocation might be unreachable.";
    case 0x2:
        return "SSL certificate is invalid.";
    case 0x20:
        return "SSL certificate was revoked.";
    case secure_flag_invalid_ca:
        return "The function is unfamiliar with the Certificate Authority that generated the "
               "server's certificate.";
    case secure_flag_cert_cn_invalid:
        return "SSL certificate common name (host name field) is incorrect, for example, if "
               "you entered www.example.com and the common name on the certificate says "
               "www.example.net.";
    case 0x8:
        return "SSL certificate date that was received from the server is bad. The certificate "
               "is expired.";
    case 0x80000000u:
        return "The application experienced an internal error loading the SSL libraries.";
    default:
        return cl::format_str("Unknown error 0x%x.", flags);
    }
}

void status_callback_fn(hinternet, uintptr_t context, uint32_t status, const void* info,
                        uint32_t length) {
    static std::mutex lock;
    std::lock_guard lk(lock);
    auto* ctx = reinterpret_cast<request_context*>(context);
    if (ctx && info) {
        if (status == status_name_resolved)
            ctx->resolved_address = static_cast<const wchar_t*>(info);
        if (status == status_secure_failure)
            ctx->secure_failure_flags = *static_cast<const uint32_t*>(info);
    }
    trace("WINHTTP STATUS: " + winhttp_status_text(status, info, length) + "\n");
}

// Function types of the bound entries.
using open_fn = decltype(win_http_open);
using connect_fn = decltype(win_http_connect);
using open_request_fn = decltype(win_http_open_request);
using send_request_fn = decltype(win_http_send_request);
using query_option_fn = decltype(win_http_query_option);
using receive_response_fn = decltype(win_http_receive_response);
using query_data_available_fn = decltype(win_http_query_data_available);
using read_data_fn = decltype(win_http_read_data);
using close_handle_fn = decltype(win_http_close_handle);
using get_ie_proxy_config_fn = decltype(win_http_get_ie_proxy_config_for_current_user);
using get_proxy_for_url_fn = decltype(win_http_get_proxy_for_url);
using set_option_fn = decltype(win_http_set_option);
using set_status_callback_fn = decltype(win_http_set_status_callback);
using query_headers_fn = decltype(win_http_query_headers);

winhttp_api& client_api() {
    static winhttp_api api;
    return api;
}

struct attempt_flags {
    bool detect_proxy = false;
    bool use_alternative = false;
};

// One attempt: steps from opening the session to closing the handles.
bool run_attempt(const winhttp_api& api, const attempt_flags& flags, request_context& ctx,
                 const std::wstring& agent, const std::wstring& server, const wchar_t* alternative,
                 uint16_t port, const std::wstring& path, const wchar_t* const* accept_types,
                 bool secure, const wchar_t* const* subjects,
                 const std::vector<std::wstring>& header_names, uint32_t connect_timeout,
                 winhttp_response& out) {
    out.body.clear();
    out.error = 0;
    const auto fail = [&](const char* what) {
        out.error = win32::get_last_error();
        trace_failure(what, out.error);
        return false;
    };
    const std::string agent8 = cl::utf16_to_utf8(agent);
    hinternet session = nullptr, connection = nullptr, request = nullptr;
    proxy_config ie;
    bool named_proxy = false;
    bool ok = true;

    if (!flags.detect_proxy) {
        trace(cl::format_str("Opening WinHttp session for %? with default proxy.\n", agent8));
        session = api.get<open_fn>(winhttp_api::open)(agent.c_str(), access_type_default_proxy,
                                                      nullptr, nullptr, 0);
    } else {
        trace("Retrieving the Internet Explorer proxy configuration for the current user.\n");
        if (!api.get<get_ie_proxy_config_fn>(winhttp_api::get_ie_proxy_config)(&ie)) {
            trace("No Internet Explorer proxy configuration has been found.\n");
            ie = proxy_config();
        } else {
            trace(cl::format_str("Internet Explorer proxy configuration retrieved: AutoDetect = "
                                 "%?, AutoConfigUrl = \"%?\", Proxy = \"%?\", ProxyBypass = "
                                 "\"%?\".\n",
                                 ie.auto_detect ? 1 : 0, ie.auto_config_url, ie.proxy,
                                 ie.proxy_bypass));
        }
        if (!ie.proxy.empty()) {
            named_proxy = true;
            if (ie.proxy_bypass.empty())
                trace(cl::format_str("Opening WinHttp session for %? with proxy \"%?\" and "
                                     "no proxy bypass.\n",
                                     agent8, ie.proxy));
            else
                trace(cl::format_str("Opening WinHttp session for %? with proxy \"%?\" and proxy "
                                     "bypass \"%?\".\n",
                                     agent8, ie.proxy, ie.proxy_bypass));
            session = api.get<open_fn>(winhttp_api::open)(
                agent.c_str(), access_type_named_proxy, ie.proxy.c_str(),
                ie.proxy_bypass.empty() ? nullptr : ie.proxy_bypass.c_str(), 0);
        } else {
            trace(cl::format_str("Opening WinHttp session for %? with default proxy.\n", agent8));
            session = api.get<open_fn>(winhttp_api::open)(agent.c_str(), access_type_default_proxy,
                                                          nullptr, nullptr, 0);
        }
    }
    if (!session) {
        ok = fail("Opening WinHttp session");
    } else if (api.get<set_status_callback_fn>(winhttp_api::set_status_callback)(
                   session, &status_callback_fn, callback_all_notifications, 0) ==
               invalid_status_callback) {
        out.error = win32::get_last_error();
        trace(cl::format_str("Setting WinHttp status callback function failed with error code "
                             "%?: %?\n",
                             out.error, text_of(out.error)));
        ok = false;
    } else {
        const uintptr_t context = reinterpret_cast<uintptr_t>(&ctx);
        if (!api.get<set_option_fn>(winhttp_api::set_option)(session, option_context_value,
                                                             &context, sizeof(context))) {
            const uint32_t e = win32::get_last_error();
            trace(cl::format_str("Error %? setting WinHttp option context value: %?\n", e,
                                 text_of(e)));
        }
    }

    // Discovery, in the detection attempt without a named proxy.
    if (ok && flags.detect_proxy && !named_proxy) {
        autoproxy_options options;
        if (!ie.auto_config_url.empty()) {
            trace(cl::format_str("Requesting proxy configuration from \"%?\".\n",
                                 ie.auto_config_url));
            options.flags = autoproxy_config_url;
            options.auto_config_url = ie.auto_config_url;
        } else {
            trace("Using Web Proxy Auto-Discovery (WPAD) protocol to try to discover proxy "
                  "settings.\n");
            options.flags = autoproxy_auto_detect;
            options.auto_detect_flags = auto_detect_type_dhcp | auto_detect_type_dns_a;
        }
        // The look-up wants the whole URL of the request.
        const std::wstring url = std::wstring(secure ? L"https://" : L"http://") + server +
                                 (port ? L":" + std::to_wstring(port) : L"") + path;
        proxy_info info;
        if (!api.get<get_proxy_for_url_fn>(winhttp_api::get_proxy_for_url)(session, url.c_str(),
                                                                           &options, &info)) {
            out.error = win32::get_last_error();
            trace(cl::format_str("Failed getting proxy configuration with error code %?: %?\n",
                                 out.error, text_of(out.error)));
            ok = false;
        } else {
            trace(cl::format_str("Proxy configuration retrieved: AccessType = %?, Proxy = \"%?\", "
                                 "ProxyBypass = \"%?\".\n",
                                 info.access_type == access_type_no_proxy
                                     ? "Internet accessed through a direct connection"
                                     : "Internet accessed using a proxy",
                                 info.proxy, info.proxy_bypass));
            trace("Changing session proxy settings accordingly.\n");
            if (!api.get<set_option_fn>(winhttp_api::set_option)(session, option_proxy, &info,
                                                                 sizeof(info))) {
                out.error = win32::get_last_error();
                trace(cl::format_str("Failed changing proxy settings with error code %?: %?\n",
                                     out.error, text_of(out.error)));
                ok = false;
            }
        }
    }
    if (ok && connect_timeout != 0 &&
        !api.get<set_option_fn>(winhttp_api::set_option)(session, option_connect_timeout,
                                                         &connect_timeout, sizeof(connect_timeout)))
        ok = fail("Setting the connect time-out");

    if (ok) {
        const std::wstring host = flags.use_alternative && alternative ? alternative : server;
        trace(cl::format_str("Connection to %? on port %?.\n", host,
                             port ? port : (secure ? 443 : 80)));
        connection = api.get<connect_fn>(winhttp_api::connect)(session, host.c_str(), port, 0);
        if (!connection) ok = fail("Connection");
    }
    if (ok) {
        trace(cl::format_str("Opening %?request.\n", secure ? "secure " : ""));
        request = api.get<open_request_fn>(winhttp_api::open_request)(
            connection, nullptr, path.c_str(), nullptr, nullptr, accept_types,
            flag_refresh | (secure ? flag_secure : 0));
        if (!request) ok = fail("Opening request");
    }
    if (ok) {
        trace("Sending request.\n");
        if (!api.get<send_request_fn>(winhttp_api::send_request)(request, nullptr, 0, nullptr, 0, 0,
                                                                 reinterpret_cast<uintptr_t>(&ctx)))
            ok = fail("Sending request");
    }
    if (ok && secure && subjects && subjects[0]) {
        certificate_info cert;
        uint32_t length = sizeof(cert);
        if (!api.get<query_option_fn>(winhttp_api::query_option)(
                request, option_security_certificate_struct, &cert, &length)) {
            ok = fail("Querying server certificate");
        } else {
            const std::wstring subject = cl::to_lower_copy_w(cert.subject);
            for (auto s = subjects; *s; ++s) {
                if (subject.find(cl::to_lower_copy_w(*s)) != std::wstring::npos) continue;
                out.error = 12175;
                trace("Check against server certificate failed.\n");
                trace(cl::format_str("server cert: ---\n%?\nend server cert ---\n", cert.subject));
                ok = false;
                break;
            }
        }
    }
    if (ok) {
        trace("Receiving server response.\n");
        if (!api.get<receive_response_fn>(winhttp_api::receive_response)(request, nullptr))
            ok = fail("Receiving server response");
    }
    while (ok) {
        trace("Querying server response data.\n");
        uint32_t available = 0;
        if (!api.get<query_data_available_fn>(winhttp_api::query_data_available)(request,
                                                                                 &available)) {
            ok = fail("Querying server response data");
            break;
        }
        if (available == 0) break;
        std::string piece(available, '\0');
        uint32_t got = 0;
        if (!api.get<read_data_fn>(winhttp_api::read_data)(request, piece.data(), available,
                                                           &got)) {
            ok = fail("Reading server response data");
            break;
        }
        out.body.append(piece.data(), got);
    }
    if (ok) {
        trace("Querying server HTTP response code.\n");
        uint32_t code = 0, length = sizeof(code);
        if (api.get<query_headers_fn>(winhttp_api::query_headers)(
                request, query_status_code | query_flag_number, nullptr, &code, &length, nullptr)) {
            out.status = uint16_t(code);
            trace(cl::format_str("HTTP response code is %?\n", code));
        }
        if (!header_names.empty()) trace("Querying server HTTP response headers.\n");
        for (const std::wstring& name : header_names) {
            uint32_t index = 0;
            std::wstring buffer(256, L'\0');
            for (bool retried = false;;) {
                uint32_t bytes = uint32_t(buffer.size() * sizeof(wchar_t));
                if (api.get<query_headers_fn>(winhttp_api::query_headers)(
                        request, query_custom, name.c_str(), buffer.data(), &bytes, &index)) {
                    out.headers.emplace_back(name, std::wstring(buffer.c_str()));
                    retried = false;
                    continue;
                }
                if (win32::get_last_error() != 122 || retried) break;
                buffer.assign(bytes / sizeof(wchar_t) * 2 + 1, L'\0');
                retried = true;
            }
        }
    }

    const auto close = [&](hinternet h, const char* what) {
        if (h && !api.get<close_handle_fn>(winhttp_api::close_handle)(h)) {
            const uint32_t e = win32::get_last_error();
            trace(cl::format_str("Failed closing %? handle with error code %?: %?\n", what, e,
                                 text_of(e)));
        }
    };
    close(request, "request");
    close(connection, "connection");
    close(session, "session");
    if (!ok && !session && out.error == 0 && flags.detect_proxy) out.error = 12029;
    return ok;
}

} // namespace

winhttp_api::winhttp_api() {
    winhttp::register_winhttp_dll();
    if (load(L"winhttp.dll"))
        cl::trace_net.write("WinHTTP 5.1 loaded.\n");
    else if (load(L"winhttp5.dll"))
        cl::trace_net.write("WinHTTP 5.0 loaded.\n");
    else
        cl::trace_net.write("Cannot load WinHTTP.\n");
}

winhttp_api::~winhttp_api() {
    for (std::size_t i = count; i-- > 0;)
        procs_[i].clear();
}

bool winhttp_api::load(const std::wstring& dll_name) {
    loaded_ = false;
    for (std::size_t i = 0; i < count; ++i)
        if (!procs_[i].bind(dll_name, entry_names[i])) return false;
    loaded_ = true;
    return true;
}

bool winhttp_request(const std::wstring& agent, const std::wstring& server,
                     const wchar_t* alternative_address, uint16_t port, const std::wstring& path,
                     const wchar_t* const* accept_types, bool secure,
                     const wchar_t* const* certificate_subjects,
                     const std::vector<std::wstring>& header_names, uint32_t connect_timeout_ms,
                     winhttp_response& out) {
    out.status = 0;
    out.headers.clear();
    const winhttp_api& api = client_api();
    if (!api.loaded()) {
        out.error = 1157;
        return false;
    }
    request_context ctx;
    attempt_flags flags;
    for (;;) {
        const bool ok = run_attempt(api, flags, ctx, agent, server, alternative_address, port, path,
                                    accept_types, secure, certificate_subjects, header_names,
                                    connect_timeout_ms, out);
        if (ok) return true;
        if (out.error == 12029 && !flags.detect_proxy) {
            flags.detect_proxy = true;
            trace("Trying to detect proxy configuration.\n");
            continue;
        }
        if ((out.error == 12029 || out.error == 12175 || out.error == 12180) &&
            alternative_address && *alternative_address && !flags.use_alternative &&
            !cl::iequals_w(ctx.resolved_address, alternative_address)) {
            flags.use_alternative = true;
            flags.detect_proxy = false;
            trace(cl::format_str("Trying to connect to the IP address %? instead of the resolved "
                                 "IP address %?.\n",
                                 alternative_address, ctx.resolved_address));
            continue;
        }
        return false;
    }
}

bool winhttp_fetch(const std::wstring& agent, const std::wstring& server,
                   const wchar_t* alternative_address, const std::wstring& path,
                   const wchar_t* const* accept_types, bool secure,
                   const wchar_t* const* certificate_subjects, std::string& body, uint32_t& error,
                   uint16_t& status) {
    winhttp_response out;
    const bool ok = winhttp_request(agent, server, alternative_address, 0, path, accept_types,
                                    secure, certificate_subjects, {}, 0, out);
    body = std::move(out.body);
    error = out.error;
    status = out.status;
    return ok;
}

bool winhttp_available() {
    static winhttp_api api;
    return api.loaded();
}

std::string winhttp_status_text(uint32_t status, const void* info, uint32_t) {
    const auto text = [&] {
        return info ? cl::utf16_to_utf8(static_cast<const wchar_t*>(info)) : std::string();
    };
    const auto number = [&] { return info ? *static_cast<const uint32_t*>(info) : 0u; };
    switch (status) {
    case status_resolving_name:
        return cl::format_str("Resolving name for %?.", text());
    case status_name_resolved:
        return cl::format_str("Server name %? has been resolved.", text());
    case status_connecting_to_server:
        return cl::format_str("Connecting to server at %?.", text());
    case status_connected_to_server:
        return cl::format_str("Connected to server at %?.", text());
    case status_sending_request:
        return "Sending request to the server.";
    case status_request_sent:
        return cl::format_str("%? bytes sent to server.", number());
    case status_receiving_response:
        return "Waiting for server response.";
    case status_response_received:
        return cl::format_str("%? bytes received from server.", number());
    case status_closing_connection:
        return "Closing connection.";
    case status_connection_closed:
        return "Closed connection to server.";
    case status_handle_created:
        return cl::format_str("Handle %08x created.", number());
    case status_handle_closing:
        return cl::format_str("Handle %08x closed.", number());
    case status_secure_failure:
        return "Error while retrieving an SSL certificate from the server: " +
               secure_failure_text(number());
    case status_headers_available:
        return "Response header has been received and is available.";
    default:
        return cl::format_str("%u.", status);
    }
}

} // namespace sys
