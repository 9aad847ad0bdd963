#include "server/access_checker.h"

#include "core/format.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/time.h"
#include "server/auth_digest.h"
#include "server/config/path_lookup.h"
#include "server/http_request.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <atomic>

namespace {

std::atomic<auth_scheme*> installed_scheme{nullptr};

void trace(const std::string& s) {
    cl::trace_out.write(s);
}

} // namespace

auth_scheme& the_auth_scheme() {
    auth_scheme* s = installed_scheme.load(std::memory_order_acquire);
    return s ? *s : http_auth_scheme();
}

void set_auth_scheme(auth_scheme* scheme) {
    installed_scheme.store(scheme, std::memory_order_release);
}

void fill_auth_request(auth_info& info, const http_request& request) {
    info.method = request.variable("REQUEST_METHOD");
    if (request.data) {
        if (info.method.empty()) info.method = request.data->method;
        info.uri = request.data->raw_url;
    }
}

std::string traceable_authorization(const std::string& header) {
    if (header.size() >= 5 && cl::iequals(std::string_view(header).substr(0, 5), "Basic"))
        return header.substr(0, 5) + " ***";
    return header;
}

bool is_safe_user_name(const std::string& user) {
    if (user.empty() || user == "." || user == "..") return false;
    for (unsigned char c : user)
        if (c < 32 || c == 127 || c == '/' || c == '\\') return false;
    return true;
}

bool user_in_group(const std::wstring& group_file, const std::string& group,
                   const std::string& user) {
    if (group_file.empty()) return false;
    std::string members = the_script_host().get_user_password(group_file, group);
    std::size_t i = 0, n = members.size();
    while (i < n) {
        while (i < n && cl::is_space(members[i]))
            ++i;
        std::size_t start = i;
        while (i < n && !cl::is_space(members[i]))
            ++i;
        if (i > start && members.compare(start, i - start, user) == 0) return true;
    }
    return false;
}

access_checker::access_checker(cl::sh_ptr<config_info> config, auth_info& info,
                               std::string authorization, std::string* user_name_out)
    : config_(std::move(config)), info_(info), authorization_(std::move(authorization)),
      user_name_out_(user_name_out) {
    result_ = config_ ? check() : false;
}

access_checker::access_checker(cl::sh_ptr<config_info> config, auth_info& info,
                               std::string authorization, const auth_info& verified)
    : config_(std::move(config)), info_(info), authorization_(std::move(authorization)),
      user_name_out_(nullptr), verified_(&verified) {
    result_ = config_ ? check() : false;
}

bool access_checker::challenge(int32_t auth_type, const std::string& realm, bool stale) {
    the_auth_scheme().add_challenge(*this, auth_type, realm, stale);
    status_code_ = 401;
    return false;
}

namespace {

// Whether AuthUserFile is a folder of users or a user file is asked on every
// login; the answer is kept for a second per thread.
uint32_t user_file_attributes(const std::wstring& path) {
    struct last_answer {
        std::wstring path;
        uint32_t attributes = invalid_file_attributes;
        uint64_t at_ms = 0;
    };
    thread_local last_answer last;
    const uint64_t now = win32::get_tick_count64();
    if (last.at_ms != 0 && now - last.at_ms < 1000 && last.path == path) return last.attributes;
    last.path = path;
    last.attributes = file_attributes_of(path);
    last.at_ms = now;
    return last.attributes;
}

} // namespace

std::string access_checker::stored_password(const std::string& user) {
    const config_info& c = *config_;
    script_host& host = the_script_host();
    const std::wstring& users = c.auth_user_file;
    uint32_t attr = users.empty() ? invalid_file_attributes : user_file_attributes(users);
    if (attr != invalid_file_attributes && (attr & file_attribute_directory)) {
        std::wstring user_w = cl::utf8_to_utf16(user);
        std::wstring folder = cl::with_backslash(users) + user_w;
        std::wstring profile = folder + L"/profile.txt";
        uint32_t folder_attr = file_attributes_of(folder);
        if (!server_config::check_any_filename(profile, trace_level()) ||
            folder_attr == invalid_file_attributes || !(folder_attr & file_attribute_directory)) {
            if (trace_level() > 1)
                trace(cl::format_str("invalid user profile name: %?\n", profile));
            return {};
        }
        info_.private_dir = public_dir() + L"private/" + user_w + L"/";
        return host.get_user_password(profile, "password");
    }
    return host.get_user_value(users, user, user);
}

bool access_checker::check() {
    const config_info& c = *config_;
    int32_t auth_type = c.auth_type;
    int32_t kind = c.require_kind;
    std::string realm = c.auth_name;
    std::string require_text = c.require_text;

    // The access file itself is always protected.
    if (!c.file_name.empty() && cl::iequals_w(c.file_name, c.access_filename)) {
        if (auth_type == auth_none) auth_type = auth_digest;
        if (kind == require_all_granted || kind == require_all_denied) kind = require_valid_user;
        if (realm.empty()) realm = ".htaccess";
        if (require_text.empty()) require_text = "valid-user";
    }

    if (auth_type == auth_none || (kind > require_group && kind != require_actual_user)) {
        info_.user_name.clear();
        auth_applies_ = false;
        return true;
    }

    info_.auth_type_name = auth_type_names[auth_type >= 0 && auth_type <= 2 ? auth_type : 0];
    info_.realm = realm;
    info_.require_text = require_text;
    info_.user_file = cl::utf16_to_utf8(c.auth_user_file);
    auth_applies_ = true;
    if (trace_level() > 1)
        trace(cl::format_str("authorization: [%?]\n", traceable_authorization(authorization_)));

    // The same login as one verified before for this request: its user is
    // known, and its credentials are not verified again.
    const bool known = verified_ && !verified_->user_name.empty() &&
                       verified_->auth_type_name == info_.auth_type_name &&
                       verified_->realm == realm && verified_->user_file == info_.user_file;
    std::string user = known ? verified_->user_name : the_auth_scheme().user_name(*this, auth_type);
    info_.user_name = user;
    if (user_name_out_) *user_name_out_ = user;

    if (user.empty()) {
        if (trace_level() > 1) trace("No user name given for authentication\n");
        return challenge(auth_type, realm, false);
    }
    // A user name becomes part of a path below: refuse every name that could
    // leave its folder or hide control characters.
    if (!is_safe_user_name(user)) {
        if (trace_level() > 1) trace(cl::format_str("invalid user name: %?\n", user));
        return challenge(auth_type, realm, false);
    }

    std::string password = known ? std::string() : stored_password(user);
    if (!known && password.empty()) {
        if (trace_level() > 1) trace("no password given for authentication\n");
        return challenge(auth_type, realm, false);
    }

    bool matched = false;
    switch (kind) {
    case require_invalid:
        if (trace_level() > 0) trace("no valid 'Require' specified\n");
        return challenge(auth_type, realm, false);
    case require_valid_user:
        matched = true;
        break;
    case require_user:
        for (const auto& n : c.require_names)
            if (n == user) {
                matched = true;
                break;
            }
        break;
    case require_group:
        for (const auto& g : c.require_names)
            if (user_in_group(c.auth_group_file, g, user)) {
                matched = true;
                break;
            }
        break;
    case require_actual_user: {
        // Each name is a directory prefix; the folder right below it must be
        // the user's own. Both tests are exact: on this file system another
        // spelling is another folder.
        std::wstring user_w = cl::utf8_to_utf16(user);
        for (const auto& n : c.require_names) {
            if (n.empty()) continue;
            std::wstring prefix = cl::utf8_to_utf16(n);
            if (c.directory.size() < prefix.size() ||
                c.directory.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::size_t end = c.directory.find(cl::path_sep_w, prefix.size());
            std::wstring part =
                c.directory.substr(prefix.size(), end == std::wstring::npos ? std::wstring::npos
                                                                            : end - prefix.size());
            if (part == user_w) {
                matched = true;
                break;
            }
        }
        break;
    }
    default:
        break;
    }
    if (!matched) {
        if (trace_level() > 1) trace(cl::format_str("Requirement not matched: %?\n", user));
        return challenge(auth_type, realm, false);
    }

    if (known) {
        already_done_ = true;
        return true;
    }
    bool stale = false;
    if (!the_auth_scheme().verify(*this, auth_type, realm, password, stale))
        return challenge(auth_type, realm, stale);
    return true;
}
