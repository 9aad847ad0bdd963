#include "platform/http_client/winhttp.h"

#include "core/dll_registry.h"
#include "core/text.h"
#include "platform/http_client/http_client.h"
#include "platform/win32/errors.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace winhttp {

namespace {

constexpr uint32_t error_invalid_handle = 6;
constexpr uint32_t error_insufficient_buffer = 122;
constexpr uint32_t error_invalid_parameter = 87;
constexpr uint32_t error_file_not_found = 2;
constexpr uint32_t error_invalid_option = 12009;
constexpr uint32_t error_incorrect_handle_type = 12018;
constexpr uint32_t error_header_not_found = 12150;
constexpr uint32_t error_autodetection_failed = 12180;

enum class kind { session, connect, request };

struct handle_base {
    explicit handle_base(kind k) : type(k) {}
    virtual ~handle_base() = default;
    kind type;
    status_callback callback = nullptr;
    uintptr_t context = 0;
};

struct session_h final : handle_base {
    session_h() : handle_base(kind::session) {}
    std::shared_ptr<http_client::session> s;
    std::wstring proxy;  // WinHTTP form: "host:port" or "http=...;https=..."
    std::wstring bypass; // WinHTTP form
    uint32_t connect_timeout = 0;
};

struct connect_h final : handle_base {
    connect_h() : handle_base(kind::connect) {}
    session_h* owner = nullptr;
    std::string server;
    uint16_t port = 0;
};

struct request_h final : handle_base {
    request_h() : handle_base(kind::request) {}
    connect_h* conn = nullptr;
    std::unique_ptr<http_client::request> r;
    bool secure = false;
    bool received = false;
};

// The open handles: a handle value is the object's address, checked here
// before every use, so a stale or foreign value fails as on Windows.
struct handle_table {
    std::mutex lock;
    std::map<handle_base*, std::unique_ptr<handle_base>> open;
};
handle_table& handles() {
    static auto* t = new handle_table;
    return *t;
}

template <class T> T* find(hinternet h, kind k) {
    auto& t = handles();
    std::lock_guard lk(t.lock);
    auto it = t.open.find(static_cast<handle_base*>(h));
    if (it == t.open.end()) {
        win32::set_last_error(error_invalid_handle);
        return nullptr;
    }
    if (it->second->type != k) {
        win32::set_last_error(error_incorrect_handle_type);
        return nullptr;
    }
    return static_cast<T*>(it->second.get());
}

hinternet add(std::unique_ptr<handle_base> h) {
    auto& t = handles();
    std::lock_guard lk(t.lock);
    handle_base* p = h.get();
    t.open.emplace(p, std::move(h));
    return p;
}

void notify(handle_base* h, uint32_t status, const void* info, uint32_t length) {
    if (h->callback && h->callback != invalid_status_callback)
        h->callback(h, h->context, status, info, length);
}

void notify_text(handle_base* h, uint32_t status, const std::string& text) {
    const std::wstring w = cl::utf8_to_utf16(text);
    notify(h, status, w.c_str(), uint32_t(w.size()));
}

void notify_number(handle_base* h, uint32_t status, uint32_t n) {
    notify(h, status, &n, sizeof(n));
}

std::string narrow(const wchar_t* w) {
    return w ? cl::utf16_to_utf8(w) : std::string();
}

// The entry of a WinHTTP proxy list for the scheme: "http=a:1;https=b:2"
// names one per scheme, a plain "a:1" serves both.
std::string proxy_for_scheme(const std::wstring& list, bool secure) {
    const std::string s = cl::utf16_to_utf8(list);
    std::string plain;
    std::size_t i = 0;
    while (i <= s.size()) {
        std::size_t end = s.find_first_of("; ", i);
        if (end == std::string::npos) end = s.size();
        const std::string item = s.substr(i, end - i);
        const auto eq = item.find('=');
        if (eq == std::string::npos) {
            if (plain.empty()) plain = item;
        } else if (item.substr(0, eq) == (secure ? "https" : "http")) {
            return item.substr(eq + 1);
        }
        i = end + 1;
    }
    return plain;
}

std::string env(const char* lower, const char* upper) {
    const char* v = std::getenv(lower);
    if (!v || !*v) v = std::getenv(upper);
    return v && *v ? v : std::string();
}

// libproxy, bound when the system has it.
struct libproxy {
    using new_fn = void* (*)();
    using get_fn = char** (*)(void*, const char*);
    using free_fn = void (*)(void*);
    void* lib = nullptr;
    new_fn factory_new = nullptr;
    get_fn get_proxies = nullptr;
    free_fn factory_free = nullptr;

    libproxy() {
        lib = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return;
        factory_new = reinterpret_cast<new_fn>(dlsym(lib, "px_proxy_factory_new"));
        get_proxies = reinterpret_cast<get_fn>(dlsym(lib, "px_proxy_factory_get_proxies"));
        factory_free = reinterpret_cast<free_fn>(dlsym(lib, "px_proxy_factory_free"));
    }
    bool usable() const { return factory_new && get_proxies && factory_free; }
    static libproxy& instance() {
        static libproxy l;
        return l;
    }
};

std::string first_address(const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return {};
    char text[INET6_ADDRSTRLEN] = {};
    const void* addr =
        list->ai_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_addr)
            : &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
    const bool ok = inet_ntop(list->ai_family, addr, text, sizeof(text)) != nullptr;
    freeaddrinfo(list);
    return ok ? text : std::string();
}

} // namespace

hinternet win_http_open(const wchar_t* agent, uint32_t access_type, const wchar_t* proxy,
                        const wchar_t* bypass, uint32_t) {
    uint32_t error = 0;
    auto s = http_client::session::open(narrow(agent), access_type, error);
    if (!s) {
        win32::set_last_error(error ? error : 12004);
        return nullptr;
    }
    auto h = std::make_unique<session_h>();
    h->s = std::move(s);
    if (access_type == access_type_named_proxy) {
        h->proxy = proxy ? proxy : L"";
        h->bypass = bypass ? bypass : L"";
    }
    return add(std::move(h));
}

hinternet win_http_connect(hinternet session, const wchar_t* server, uint16_t port, uint32_t) {
    auto* s = find<session_h>(session, kind::session);
    if (!s) return nullptr;
    if (!server || !*server) {
        win32::set_last_error(error_invalid_parameter);
        return nullptr;
    }
    auto h = std::make_unique<connect_h>();
    h->owner = s;
    h->server = narrow(server);
    h->port = port;
    h->callback = s->callback;
    h->context = s->context;
    auto* raw = h.get();
    hinternet result = add(std::move(h));
    notify_number(raw, status_handle_created, uint32_t(reinterpret_cast<uintptr_t>(raw)));
    return result;
}

hinternet win_http_open_request(hinternet connect, const wchar_t* verb, const wchar_t* path,
                                const wchar_t*, const wchar_t* referrer,
                                const wchar_t* const* accept_types, uint32_t flags) {
    auto* c = find<connect_h>(connect, kind::connect);
    if (!c) return nullptr;
    auto h = std::make_unique<request_h>();
    h->conn = c;
    h->secure = (flags & flag_secure) != 0;
    h->callback = c->callback;
    h->context = c->context;
    std::vector<std::string> accept;
    for (auto p = accept_types; p && *p; ++p)
        accept.push_back(narrow(*p));
    session_h* s = c->owner;
    s->s->set_proxy(proxy_for_scheme(s->proxy, h->secure), narrow(s->bypass.c_str()));
    if (s->connect_timeout) {
        http_client::timeouts t = s->s->get_timeouts();
        t.connect_ms = s->connect_timeout;
        s->s->set_timeouts(t);
    }
    const uint16_t port = c->port ? c->port : uint16_t(h->secure ? 443 : 80);
    http_client::connection conn(s->s, c->server, port);
    h->r = std::make_unique<http_client::request>(
        conn, verb && *verb ? narrow(verb) : "GET", path ? narrow(path) : "/", narrow(referrer),
        std::move(accept), h->secure ? http_client::flag_secure : 0);
    if (h->secure) h->r->want_certificate();
    if (flags & flag_refresh) h->r->add_headers("Cache-Control: no-cache\r\nPragma: no-cache", 0);
    auto* raw = h.get();
    hinternet result = add(std::move(h));
    notify_number(raw, status_handle_created, uint32_t(reinterpret_cast<uintptr_t>(raw)));
    return result;
}

bool win_http_send_request(hinternet request, const wchar_t* headers, uint32_t headers_length,
                           const void* optional, uint32_t optional_length, uint32_t total_length,
                           uintptr_t context) {
    auto* r = find<request_h>(request, kind::request);
    if (!r) return false;
    r->context = context;
    std::string extra;
    if (headers)
        extra = cl::utf16_to_utf8(headers_length == 0xFFFFFFFFu
                                      ? std::wstring(headers)
                                      : std::wstring(headers, headers_length));
    notify_text(r, status_resolving_name, r->conn->server);
    const uint32_t rc = r->r->send(extra, std::max(total_length, optional_length));
    std::string ip = r->r->primary_ip();
    // A connection that failed leaves no address behind; the name is then
    // resolved here, so the notification still tells where it pointed.
    if (ip.empty() && rc != 0 && r->conn->owner->proxy.empty()) ip = first_address(r->conn->server);
    if (!ip.empty()) {
        notify_text(r, status_name_resolved, ip);
        notify_text(r, status_connecting_to_server, ip);
    }
    if (rc != 0) {
        if (rc == http_client::error_secure_failure)
            notify_number(r, status_secure_failure, secure_flag_invalid_ca);
        win32::set_last_error(rc);
        return false;
    }
    notify_text(r, status_connected_to_server, ip);
    notify(r, status_sending_request, nullptr, 0);
    if (optional && optional_length) {
        std::size_t written = 0;
        if (const uint32_t e = r->r->write_data(optional, optional_length, written)) {
            win32::set_last_error(e);
            return false;
        }
    }
    notify_number(r, status_request_sent, optional_length);
    return true;
}

bool win_http_query_option(hinternet handle, uint32_t option, void* buffer, uint32_t* length) {
    if (option != option_security_certificate_struct) {
        win32::set_last_error(error_invalid_option);
        return false;
    }
    auto* r = find<request_h>(handle, kind::request);
    if (!r) return false;
    if (!buffer || !length || *length < sizeof(certificate_info)) {
        if (length) *length = sizeof(certificate_info);
        win32::set_last_error(error_insufficient_buffer);
        return false;
    }
    const std::string subject = r->r->certificate_subject();
    if (subject.empty()) {
        win32::set_last_error(12019);
        return false;
    }
    static_cast<certificate_info*>(buffer)->subject = cl::utf8_to_utf16(subject);
    return true;
}

bool win_http_receive_response(hinternet request, void*) {
    auto* r = find<request_h>(request, kind::request);
    if (!r) return false;
    notify(r, status_receiving_response, nullptr, 0);
    if (const uint32_t e = r->r->receive_response()) {
        win32::set_last_error(e);
        return false;
    }
    r->received = true;
    notify_number(r, status_response_received, uint32_t(r->r->raw_headers().size()));
    notify(r, status_headers_available, nullptr, 0);
    return true;
}

bool win_http_query_data_available(hinternet request, uint32_t* available) {
    auto* r = find<request_h>(request, kind::request);
    if (!r) return false;
    std::size_t n = 0;
    if (const uint32_t e = r->r->query_data_available(n)) {
        win32::set_last_error(e);
        return false;
    }
    if (available) *available = uint32_t(std::min<std::size_t>(n, 0xFFFFFFFFu));
    return true;
}

bool win_http_read_data(hinternet request, void* buffer, uint32_t to_read, uint32_t* read) {
    auto* r = find<request_h>(request, kind::request);
    if (!r) return false;
    std::size_t got = 0;
    if (const uint32_t e = r->r->read_data(buffer, to_read, got)) {
        win32::set_last_error(e);
        return false;
    }
    if (read) *read = uint32_t(got);
    return true;
}

bool win_http_close_handle(hinternet handle) {
    std::unique_ptr<handle_base> owned;
    {
        auto& t = handles();
        std::lock_guard lk(t.lock);
        auto it = t.open.find(static_cast<handle_base*>(handle));
        if (it == t.open.end()) {
            win32::set_last_error(error_invalid_handle);
            return false;
        }
        owned = std::move(it->second);
        t.open.erase(it);
    }
    notify_number(owned.get(), status_handle_closing,
                  uint32_t(reinterpret_cast<uintptr_t>(owned.get())));
    if (owned->type == kind::request) {
        notify(owned.get(), status_closing_connection, nullptr, 0);
        static_cast<request_h*>(owned.get())->r.reset();
        notify(owned.get(), status_connection_closed, nullptr, 0);
    }
    return true;
}

bool win_http_get_ie_proxy_config_for_current_user(proxy_config* config) {
    if (!config) {
        win32::set_last_error(error_invalid_parameter);
        return false;
    }
    *config = proxy_config();
    const std::string all = env("all_proxy", "ALL_PROXY");
    std::string http = env("http_proxy", "HTTP_PROXY");
    std::string https = env("https_proxy", "HTTPS_PROXY");
    if (http.empty()) http = all;
    if (https.empty()) https = all;
    std::string list;
    if (!http.empty() && (https.empty() || http == https))
        list = http;
    else {
        if (!http.empty()) list = "http=" + http;
        if (!https.empty()) list += (list.empty() ? "https=" : ";https=") + https;
    }
    config->proxy = cl::utf8_to_utf16(list);
    std::string bypass = env("no_proxy", "NO_PROXY");
    for (char& c : bypass)
        if (c == ',') c = ';';
    config->proxy_bypass = cl::utf8_to_utf16(bypass);
    config->auto_detect = libproxy::instance().usable();
    if (list.empty() && !config->auto_detect) {
        win32::set_last_error(error_file_not_found);
        return false;
    }
    return true;
}

bool win_http_get_proxy_for_url(hinternet session, const wchar_t* url,
                                const autoproxy_options* options, proxy_info* info) {
    if (!find<session_h>(session, kind::session)) return false;
    if (!url || !options || !info) {
        win32::set_last_error(error_invalid_parameter);
        return false;
    }
    libproxy& lp = libproxy::instance();
    if (!lp.usable()) {
        win32::set_last_error(error_autodetection_failed);
        return false;
    }
    void* factory = lp.factory_new();
    char** proxies = factory ? lp.get_proxies(factory, narrow(url).c_str()) : nullptr;
    bool ok = proxies && proxies[0];
    if (ok) {
        const std::string first = proxies[0];
        *info = proxy_info();
        if (first.rfind("direct://", 0) == 0) {
            info->access_type = access_type_no_proxy;
        } else if (first.rfind("http://", 0) == 0) {
            info->access_type = access_type_named_proxy;
            std::string hostport = first.substr(7);
            if (!hostport.empty() && hostport.back() == '/') hostport.pop_back();
            info->proxy = cl::utf8_to_utf16(hostport);
        } else {
            ok = false; // a SOCKS or other proxy WinHTTP could not use either
        }
    }
    if (proxies) {
        for (char** p = proxies; *p; ++p)
            std::free(*p);
        std::free(proxies);
    }
    if (factory) lp.factory_free(factory);
    if (!ok) win32::set_last_error(error_autodetection_failed);
    return ok;
}

bool win_http_set_option(hinternet handle, uint32_t option, const void* buffer, uint32_t length) {
    handle_base* h = nullptr;
    {
        auto& t = handles();
        std::lock_guard lk(t.lock);
        auto it = t.open.find(static_cast<handle_base*>(handle));
        if (it != t.open.end()) h = it->second.get();
    }
    if (!h) {
        win32::set_last_error(error_invalid_handle);
        return false;
    }
    switch (option) {
    case option_context_value:
        if (!buffer || length < sizeof(uintptr_t)) break;
        std::memcpy(&h->context, buffer, sizeof(uintptr_t));
        return true;
    case option_connect_timeout:
        if (h->type != kind::session || !buffer || length < sizeof(uint32_t)) break;
        std::memcpy(&static_cast<session_h*>(h)->connect_timeout, buffer, sizeof(uint32_t));
        return true;
    case option_proxy: {
        if (h->type != kind::session || !buffer) break;
        const auto* info = static_cast<const proxy_info*>(buffer);
        auto* s = static_cast<session_h*>(h);
        s->proxy = info->access_type == access_type_named_proxy ? info->proxy : L"";
        s->bypass = info->access_type == access_type_named_proxy ? info->proxy_bypass : L"";
        return true;
    }
    default:
        win32::set_last_error(error_invalid_option);
        return false;
    }
    win32::set_last_error(error_invalid_parameter);
    return false;
}

status_callback win_http_set_status_callback(hinternet handle, status_callback callback, uint32_t,
                                             uintptr_t) {
    auto& t = handles();
    std::lock_guard lk(t.lock);
    auto it = t.open.find(static_cast<handle_base*>(handle));
    if (it == t.open.end()) {
        win32::set_last_error(error_invalid_handle);
        return invalid_status_callback;
    }
    status_callback old = it->second->callback;
    it->second->callback = callback;
    return old;
}

bool win_http_query_headers(hinternet request, uint32_t info_level, const wchar_t* name,
                            void* buffer, uint32_t* length, uint32_t* index) {
    auto* r = find<request_h>(request, kind::request);
    if (!r) return false;
    if (!r->received || !length) {
        win32::set_last_error(12019);
        return false;
    }
    if ((info_level & 0xFFFF) == query_status_code) {
        if (info_level & query_flag_number) {
            if (!buffer || *length < sizeof(uint32_t)) {
                *length = sizeof(uint32_t);
                win32::set_last_error(error_insufficient_buffer);
                return false;
            }
            const uint32_t code = r->r->status_code();
            std::memcpy(buffer, &code, sizeof(code));
            *length = sizeof(code);
            return true;
        }
        name = nullptr;
    }
    std::wstring value;
    if ((info_level & 0xFFFF) == query_status_code) {
        value = std::to_wstring(r->r->status_code());
    } else if ((info_level & 0xFFFF) == query_custom && name) {
        const std::string wanted = narrow(name);
        uint32_t skip = index ? *index : 0;
        bool found = false;
        for (const auto& [n, v] : r->r->header_list()) {
            if (!cl::iequals(n, wanted)) continue;
            if (skip-- != 0) continue;
            value = cl::utf8_to_utf16(v);
            found = true;
            break;
        }
        if (!found) {
            win32::set_last_error(error_header_not_found);
            return false;
        }
    } else {
        win32::set_last_error(error_invalid_parameter);
        return false;
    }
    const uint32_t needed = uint32_t((value.size() + 1) * sizeof(wchar_t));
    if (!buffer || *length < needed) {
        *length = needed;
        win32::set_last_error(error_insufficient_buffer);
        return false;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *length = needed - sizeof(wchar_t);
    if (index) ++*index;
    return true;
}

bool register_winhttp_dll() {
    static const bool ok = [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
        static const cl::export_entry exports[] = {
            {"WinHttpOpen", reinterpret_cast<cl::farproc>(&win_http_open)},
            {"WinHttpConnect", reinterpret_cast<cl::farproc>(&win_http_connect)},
            {"WinHttpOpenRequest", reinterpret_cast<cl::farproc>(&win_http_open_request)},
            {"WinHttpSendRequest", reinterpret_cast<cl::farproc>(&win_http_send_request)},
            {"WinHttpQueryOption", reinterpret_cast<cl::farproc>(&win_http_query_option)},
            {"WinHttpReceiveResponse", reinterpret_cast<cl::farproc>(&win_http_receive_response)},
            {"WinHttpQueryDataAvailable",
             reinterpret_cast<cl::farproc>(&win_http_query_data_available)},
            {"WinHttpReadData", reinterpret_cast<cl::farproc>(&win_http_read_data)},
            {"WinHttpCloseHandle", reinterpret_cast<cl::farproc>(&win_http_close_handle)},
            {"WinHttpGetIEProxyConfigForCurrentUser",
             reinterpret_cast<cl::farproc>(&win_http_get_ie_proxy_config_for_current_user)},
            {"WinHttpGetProxyForUrl", reinterpret_cast<cl::farproc>(&win_http_get_proxy_for_url)},
            {"WinHttpSetOption", reinterpret_cast<cl::farproc>(&win_http_set_option)},
            {"WinHttpSetStatusCallback",
             reinterpret_cast<cl::farproc>(&win_http_set_status_callback)},
            {"WinHttpQueryHeaders", reinterpret_cast<cl::farproc>(&win_http_query_headers)},
        };
        cl::dll_registry::add_module(L"winhttp.dll", exports, std::size(exports));
        return true;
    }();
    return ok;
}

} // namespace winhttp
