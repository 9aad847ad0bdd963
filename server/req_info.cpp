#include "server/req_info.h"

#include "core/format.h"
#include "core/name_index.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/access_checker.h"
#include "server/http_request.h"
#include "server/response_headers.h"
#include "server/server_dirs.h"

#include <algorithm>
#include <stdexcept>

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

// The names that get a slot of their own, in byte order (binary search):
// the ones the server sets on nearly every request and the creation ones.
constexpr std::array<std::string_view, req_info::slot_count> slot_names = {
    "AUTH_TYPE",        "CONTENT_LENGTH",        "CONTENT_TYPE",
    "COOKIE",           "DOCUMENT_ROOT",         "GATEWAY_INTERFACE",
    "PATH_TRANSLATED",  "QUERY_STRING",          "REDIRECT_STATUS",
    "REMOTE_ADDR",      "REMOTE_HOST",           "REMOTE_PORT",
    "REMOTE_USER",      "REQUEST_METHOD",        "REQUEST_URI",
    "SCRIPT_FILENAME",  "SCRIPT_NAME",           "SERVER_NAME",
    "SERVER_PORT",      "SERVER_PROTOCOL",       "SERVER_SOFTWARE",
    "_TSKQVL_AUTHNAME", "_TSKQVL_AUTHUSERFILE",  "_TSKQVL_FILE",
    "_TSKQVL_PATH",     "_TSKQVL_PRIVATE_DIR",   "_TSKQVL_REDIRECT_TO",
    "_TSKQVL_REQUIRE",  "_TSKQVL_RESPONSE_CODE", "_TSKQVL_RESPONSE_TEXT",
};
static_assert(std::is_sorted(slot_names.begin(), slot_names.end()));
static_assert(req_info::slot_count <= 32, "one bit per slot in slot_set_");

constexpr int no_slot = -1;

constexpr int slot_number(std::string_view name) {
    for (std::size_t i = 0; i < slot_names.size(); ++i)
        if (slot_names[i] == name) return static_cast<int>(i);
    return no_slot;
}
static_assert(slot_names.size() ==
              static_cast<std::size_t>(req_info::slot::tskqvl_response_text) + 1);
static_assert(slot_number("AUTH_TYPE") == static_cast<int>(req_info::slot::auth_type));
static_assert(slot_number("CONTENT_TYPE") == static_cast<int>(req_info::slot::content_type));
static_assert(slot_number("QUERY_STRING") == static_cast<int>(req_info::slot::query_string));
static_assert(slot_number("PATH_TRANSLATED") == static_cast<int>(req_info::slot::path_translated));
static_assert(slot_number("SCRIPT_FILENAME") == static_cast<int>(req_info::slot::script_filename));
static_assert(slot_number("SCRIPT_NAME") == static_cast<int>(req_info::slot::script_name));
static_assert(slot_number("DOCUMENT_ROOT") == static_cast<int>(req_info::slot::document_root));
static_assert(slot_number("REMOTE_ADDR") == static_cast<int>(req_info::slot::remote_addr));
static_assert(slot_number("REMOTE_HOST") == static_cast<int>(req_info::slot::remote_host));
static_assert(slot_number("REMOTE_PORT") == static_cast<int>(req_info::slot::remote_port));
static_assert(slot_number("REQUEST_METHOD") == static_cast<int>(req_info::slot::request_method));
static_assert(slot_number("SERVER_NAME") == static_cast<int>(req_info::slot::server_name));
static_assert(slot_number("SERVER_PORT") == static_cast<int>(req_info::slot::server_port));
static_assert(slot_number("SERVER_SOFTWARE") == static_cast<int>(req_info::slot::server_software));
static_assert(slot_number("_TSKQVL_FILE") == static_cast<int>(req_info::slot::tskqvl_file));
static_assert(slot_number("_TSKQVL_PATH") == static_cast<int>(req_info::slot::tskqvl_path));
static_assert(slot_number("_TSKQVL_REDIRECT_TO") ==
              static_cast<int>(req_info::slot::tskqvl_redirect_to));
static_assert(slot_number("_TSKQVL_RESPONSE_CODE") ==
              static_cast<int>(req_info::slot::tskqvl_response_code));
static_assert(slot_number("_TSKQVL_RESPONSE_TEXT") ==
              static_cast<int>(req_info::slot::tskqvl_response_text));

int slot_of(std::string_view name) {
    // Every read of a variable looks its name up.
    static constexpr cl::name_index<req_info::slot_count, false> index(slot_names);
    return index.find(name);
}

int slot_index(std::string_view name) {
    const int i = slot_of(name);
    if (i == no_slot) throw std::logic_error("req_info: no such slot");
    return i;
}

const int slot_content_length = slot_index("CONTENT_LENGTH");
const int slot_content_type = slot_index("CONTENT_TYPE");
const int slot_cookie = slot_index("COOKIE");
const int slot_server_name = slot_index("SERVER_NAME");
const int slot_redirect_status = slot_index("REDIRECT_STATUS");

const std::string server_protocol_value = "HTTP/1.1";
const std::string gateway_interface_value = "CGI/1.1";

// The creation value of a slot; null for a slot that has none.
const std::string* creation_value(std::string_view name) {
    const cgi_server_values& v = values_storage();
    if (name == "SERVER_SOFTWARE") return &v.server_software;
    if (name == "SERVER_PROTOCOL") return &server_protocol_value;
    if (name == "GATEWAY_INTERFACE") return &gateway_interface_value;
    if (name == "DOCUMENT_ROOT") return &v.document_root;
    if (name == "_TSKQVL_PRIVATE_DIR") return &v.private_dir;
    return nullptr;
}

// True for the names that the request headers can give a value.
constexpr bool is_header_variable(std::string_view name) {
    return name.starts_with("HTTP_") || name == "CONTENT_LENGTH" || name == "CONTENT_TYPE" ||
           name == "COOKIE" || name == "SERVER_NAME" || name == "REDIRECT_STATUS";
}

} // namespace

const cgi_server_values& cgi_values() {
    return values_storage();
}
void set_cgi_values(const cgi_server_values& values) {
    values_storage() = values;
}

req_info::req_info() = default;

req_info::~req_info() = default;

std::unique_lock<std::mutex> req_info::guard() const {
    if (shared_.load(std::memory_order_acquire)) return std::unique_lock<std::mutex>(vars_lock_);
    return std::unique_lock<std::mutex>();
}

// Until the variables are shared, only the request's thread settles them.
std::unique_lock<std::mutex> req_info::settle_guard() const {
    if (shared_.load(std::memory_order_acquire)) return std::unique_lock<std::mutex>(settle_lock_);
    return std::unique_lock<std::mutex>();
}

void req_info::set(std::string_view name, std::string_view value) {
    const auto g = guard();
    store(name, std::string(value));
}

void req_info::set(std::string_view name, std::string&& value) {
    const auto g = guard();
    store(name, std::move(value));
}

namespace {

// The slots of header variables, worked out once from their names.
constexpr uint32_t header_slots = [] {
    uint32_t m = 0;
    for (std::size_t i = 0; i < slot_names.size(); ++i)
        if (is_header_variable(slot_names[i])) m |= 1u << i;
    return m;
}();

} // namespace

template <class V> void req_info::store_slot(slot s, V&& value) {
    const auto i = static_cast<std::size_t>(s);
    // A header variable set now replaces what the headers gave it before.
    if ((header_slots >> i & 1u) != 0 && has_pending_.load(std::memory_order_acquire))
        settle_header_variables();
    slots_[i] = std::forward<V>(value);
    slot_set_ |= 1u << i;
    borrowed_ &= ~(1u << i);
}

void req_info::lend(slot s, const std::string& text) {
    const auto i = static_cast<std::size_t>(s);
    if ((header_slots >> i & 1u) != 0 && has_pending_.load(std::memory_order_acquire))
        settle_header_variables();
    lent_[i] = &text;
    slot_set_ |= 1u << i;
    borrowed_ |= 1u << i;
}

void req_info::borrow(slot s, const std::string& text,
                      const std::shared_ptr<khttp::request>& keeper) {
    const auto g = guard();
    if (lender_ != keeper) lender_ = keeper;
    lend(s, text);
}

void req_info::borrow(slot s, const std::string& text, const cl::sh_ptr<config_info>& keeper) {
    const auto g = guard();
    if (config_lender_.get() != keeper.get()) config_lender_ = keeper;
    lend(s, text);
}

void req_info::set(slot s, std::string_view value) {
    const auto g = guard();
    store_slot(s, value);
}

void req_info::set(slot s, std::string&& value) {
    const auto g = guard();
    store_slot(s, std::move(value));
}

void req_info::store(std::string_view name, std::string&& value) {
    // A header variable set now replaces what the headers gave it before.
    if (has_pending_.load(std::memory_order_acquire) && is_header_variable(name))
        settle_header_variables();
    const int slot = slot_of(name);
    if (slot != no_slot) {
        slots_[static_cast<std::size_t>(slot)] = std::move(value);
        slot_set_ |= 1u << slot;
        borrowed_ &= ~(1u << slot);
        return;
    }
    const auto it = others_.find(name);
    if (it != others_.end())
        it->second = std::move(value);
    else
        others_.emplace(std::string(name), std::move(value));
}

const std::string* req_info::find(std::string_view name) const {
    if (has_pending_.load(std::memory_order_acquire) && is_header_variable(name))
        settle_header_variables();
    const int slot = slot_of(name);
    if (slot != no_slot) {
        if (borrowed_ & (1u << slot)) return lent_[static_cast<std::size_t>(slot)];
        if (slot_set_ & (1u << slot)) return &slots_[static_cast<std::size_t>(slot)];
        return creation_values_ ? creation_value(name) : nullptr;
    }
    const auto it = others_.find(name);
    return it == others_.end() ? nullptr : &it->second;
}

std::string req_info::get(std::string_view name) const {
    const auto g = guard();
    const std::string* v = find(name);
    return v ? *v : std::string();
}

std::string_view req_info::view(std::string_view name) const {
    const std::string* v = find(name);
    return v ? std::string_view(*v) : std::string_view();
}

bool req_info::has(std::string_view name) const {
    const auto g = guard();
    return find(name) != nullptr;
}

req_info::variable_map req_info::variables() const {
    const auto g = guard();
    settle_header_variables();
    variable_map all = others_;
    for (std::size_t i = 0; i < slot_count; ++i) {
        if (borrowed_ & (1u << i))
            all.emplace(std::string(slot_names[i]), *lent_[i]);
        else if (slot_set_ & (1u << i))
            all.emplace(std::string(slot_names[i]), slots_[i]);
        else if (const std::string* v = creation_values_ ? creation_value(slot_names[i]) : nullptr)
            all.emplace(std::string(slot_names[i]), *v);
    }
    return all;
}

void req_info::copy_variables(const req_info& other) {
    variable_map all = other.variables();
    {
        std::lock_guard<std::mutex> g(settle_lock_);
        pending_.reset();
        has_pending_.store(false, std::memory_order_release);
    }
    slots_.clear();
    slot_set_ = 0;
    borrowed_ = 0;
    others_.clear();
    creation_values_ = false;
    for (auto& [name, value] : all)
        store(name, std::move(value));
}

void req_info::defer_header_variables(std::shared_ptr<const http_request_data> d) {
    if (!d) return;
    const auto g = settle_guard();
    // The variables of other headers come first, as they would have been set
    // before these.
    if (pending_ && pending_ != d) make_header_variables();
    pending_ = std::move(d);
    has_pending_.store(true, std::memory_order_release);
}

void req_info::settle_header_variables() const {
    if (!has_pending_.load(std::memory_order_acquire)) return;
    const auto g = settle_guard();
    if (!pending_) return;
    make_header_variables();
    pending_.reset();
    has_pending_.store(false, std::memory_order_release);
}

void req_info::make_header_variables() const {
    const http_request_data& d = *pending_;
    const auto put_slot = [this](int slot, const std::string& value) {
        slots_[static_cast<std::size_t>(slot)] = value;
        slot_set_ |= 1u << slot;
        borrowed_ &= ~(1u << slot);
    };
    const auto put_other = [this](std::string name, const std::string& value) {
        others_.insert_or_assign(std::move(name), value);
    };
    put_slot(slot_content_length, d.header(http_header_content_length));
    put_slot(slot_content_type, d.header(http_header_content_type));
    put_slot(slot_cookie, d.header(http_header_cookie));
    const std::string& host = d.header(http_header_host);
    if (!host.empty()) put_slot(slot_server_name, host);
    put_slot(slot_redirect_status, "200");
    for (int id = 0; id < http_header_request_maximum; ++id) {
        const std::string& value = d.known_headers[id];
        if (!value.empty()) put_other(cgi_header_variable_name(request_header_name(id)), value);
    }
    for (const auto& [name, value] : d.unknown_headers) {
        // "X_Foo" and "X-Foo" would both become HTTP_X_FOO; a header spelled
        // with "_" could then replace what the proxy or client sent under the
        // proper name, so such names get no variable at all.
        if (name.find('_') != std::string::npos || is_dropped_header(name)) continue;
        put_other(cgi_header_variable_name(name), value);
    }
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

    if (trace_level() >= 2) {
        cl::trace_out.write("Client header:\n");
        for (int id = 0; id < http_header_request_maximum; ++id) {
            const std::string& value = data.known_headers[id];
            if (value.empty()) continue;
            const bool credentials =
                id == http_header_authorization || id == http_header_proxy_authorization;
            cl::trace_out.write(
                cl::format_str("   %?: %?\n", request_header_name(id),
                               credentials ? traceable_authorization(value) : value));
        }
        for (const auto& [name, value] : data.unknown_headers)
            if (name.find('_') == std::string::npos && !is_dropped_header(name))
                cl::trace_out.write(cl::format_str("   %?: %?\n", name, value));
    }
    info.defer_header_variables(request.data);

    // A DLNA client asks for its transfer mode to be echoed.
    const auto mode = data.unknown_headers.find(std::string_view("transferMode.dlna.org"));
    if (mode != data.unknown_headers.end() && request.headers)
        request.headers->add(mode->first, mode->second);

    request.referer = data.header(http_header_referer);
    request.user_agent = data.header(http_header_user_agent);
    const std::string& connection = data.header(http_header_connection);
    if (cl::iequals(connection, "Close") || (data.version == 100 && connection.empty()))
        request.close_connection = true;
}

void set_cgi_auth_variables(const auth_info& auth, req_info& info) {
    info.set(req_info::slot::remote_user, auth.user_name);
    info.set(req_info::slot::auth_type, auth.auth_type_name);
    info.set(req_info::slot::tskqvl_authname, auth.realm);
    info.set(req_info::slot::tskqvl_require, auth.require_text);
    info.set(req_info::slot::tskqvl_authuserfile, auth.user_file);
    if (!auth.user_name.empty()) info.login = std::make_shared<const auth_info>(auth);
}
