#include "server/server_settings.h"

#include "core/format.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "system/password_crypt.h"

#include <algorithm>
#include <cwchar>

shell_values& shell_settings() {
    static shell_values values;
    return values;
}

server_values& server_settings() {
    static server_values values;
    return values;
}

priority_class priority_from_name(const std::wstring& name) {
    if (name == L"above_normal") return priority_class::above_normal;
    if (name == L"below_normal") return priority_class::below_normal;
    if (name == L"high") return priority_class::high;
    return priority_class::normal;
}

namespace {

const std::wstring param = L"param";

uint32_t get_uint_or(cl::ini_file& ini, const wchar_t* key, uint32_t current) {
    const int32_t v = ini.get_int(param, key, static_cast<int32_t>(current));
    return v < 0 ? 0u : static_cast<uint32_t>(v);
}

} // namespace

void read_server_settings(cl::ini_file& ini, const shell_values& shell, server_values& v) {
    v.server_priority = priority_from_name(ini.get_string_or(param, L"server_priority", L"normal"));
    v.cgi_priority = priority_from_name(ini.get_string_or(param, L"cgi_priority", L"normal"));

    v.max_connections = get_uint_or(ini, L"max_connections", v.max_connections);
    v.connection_timeout = get_uint_or(ini, L"connection_timeout", v.connection_timeout);
    // Seconds are counted in milliseconds in 32 bits by the HTTP service.
    v.request_body_grace =
        std::min<uint32_t>(get_uint_or(ini, L"request_body_grace", v.request_body_grace), 86400);
    v.request_body_min_rate = get_uint_or(ini, L"request_body_min_rate", v.request_body_min_rate);
    v.enable_script_timing = ini.get_bool(param, L"enable_script_timing", v.enable_script_timing);
    v.enable_request_cache = ini.get_bool(param, L"enable_request_cache", v.enable_request_cache);
    {
        // Each wait on the upstream is counted in milliseconds in 32 bits:
        // a day at most, so that no value wraps around to a short wait.
        const std::wstring text = ini.get_string_or(param, L"proxy_timeout", L"");
        if (!text.empty()) {
            wchar_t* end = nullptr;
            const long long seconds = std::wcstoll(text.c_str(), &end, 10);
            if (end && *end == L'\0' && seconds >= 1 && seconds <= 86400)
                v.proxy_timeout = static_cast<uint32_t>(seconds);
            else
                cl::trace_out.write(
                    cl::format_str("proxy_timeout %? is outside 1..86400 seconds; %? is kept\n",
                                   cl::utf16_to_utf8(text), v.proxy_timeout));
        }
    }
    v.proxy_port = ini.get_string_or_wstring(param, L"proxy_port", v.proxy_port);
    v.proxy_local_upstreams =
        ini.get_string_or_wstring(param, L"proxy_local_upstreams", v.proxy_local_upstreams);
    v.proxy_keep_alive = ini.get_bool(param, L"proxy_keep_alive", v.proxy_keep_alive);
    // Buffered sending is always available on this platform: the HTTP service
    // keeps small buffered output until the answer's next send, so a head and
    // a small body leave in one write.
    v.enable_kernel_streaming = ini.get_bool(param, L"enable_kernel_streaming", true);

    const int32_t cleanup = ini.get_int(param, L"thread_cleanup_interval", 2000);
    v.thread_cleanup_interval = static_cast<uint32_t>(std::max(cleanup, 500));
    v.thread_pool_trace = ini.get_bool(param, L"thread_pool_trace", false);

    // A password typed in plain after "!" is stored encrypted from now on.
    const std::wstring dynip = L"dynip";
    const std::wstring password =
        std::wstring(cl::trimmed_w(ini.get_string_or(dynip, L"password", L"")));
    if (!password.empty() && password[0] == L'!') {
        const std::wstring hex =
            encrypt_hex_string(std::wstring_view(password).substr(1), shell.master_password);
        ini.write_value(dynip, L"password", hex, true);
    }
    std::wstring prefix = ini.get_string_or(dynip, L"prefix", L"");
    if (!prefix.empty() && prefix[0] != L'/') prefix.insert(prefix.begin(), L'/');
    v.dynip_prefix = prefix;

    v.enable_script_debugging =
        ini.get_bool(param, L"enable_script_debugging", shell.enable_script_debugging);
    v.dump_request_body = ini.get_bool(param, L"dump_request_body", shell.dump_request_body);
    v.dump_cgi_output = ini.get_bool(param, L"dump_cgi_output", v.dump_cgi_output);

    v.server_name =
        cl::utf16_to_utf8(ini.get_string_or_wstring(param, L"server_name", shell.product_name));
    v.server_port = get_uint_or(ini, L"server_port", 80);
    v.https_port = get_uint_or(ini, L"https_port", 0);
    v.host_name = ini.get_string_or(param, L"host_name", L"+");
    v.rel_uri = ini.get_string_or(param, L"rel_uri", L"");
}

std::wstring read_log_dir(cl::ini_file& ini, const std::wstring& public_dir) {
    std::wstring dir = ini.get_string_or_wstring(L"Param", L"log_dir", public_dir + L"logs/");
    if (!dir.empty() && dir.back() != L'/') dir += L'/';
    return dir;
}
