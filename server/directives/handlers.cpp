// Handlers, types and the access directives: AddHandler, RemoveHandler,
// AddType, RemoveType, AuthType, Require, AllowOverride and the allowed
// origins; the type and handler lookups and the Require rule built on them.
#include "core/format.h"
#include "core/path.h"
#include "server/config/path_lookup.h"
#include "server/directives/directive_util.h"
#include "server/directives/directives.h"
#include "server/directives/handler_registry.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <mutex>

using namespace directive_detail;

const char* const auth_type_names[3] = {"None", "Basic", "Digest"};
const wchar_t* const auth_type_names_w[3] = {L"None", L"Basic", L"Digest"};
const automation::guid clsid_jscript{
    0xF414C260, 0x6AC0, 0x11CF, {0xB6, 0xD1, 0x00, 0xAA, 0x00, 0xBB, 0xBB, 0x58}};

namespace {

std::mutex resolver_lock;
progid_resolver resolver_value;

bool clsid_from_progid(const std::wstring& progid, automation::guid& out) {
    progid_resolver r;
    {
        std::lock_guard<std::mutex> g(resolver_lock);
        r = resolver_value;
    }
    return r && r(progid, out);
}

struct handler_word {
    const wchar_t* word;
    uint32_t kind;
};
const handler_word handler_words[] = {
    {L"type-map", handler_type_map},     {L"java-script", handler_java_script},
    {L"cgi-script", handler_cgi_script}, {L"server-parsed", handler_server_parsed},
    {L"php-script", handler_php_script},
};

// An extension word without its one leading "."; empty for a lone ".".
std::wstring extension_word(const std::wstring& w) {
    return !w.empty() && w[0] == L'.' ? w.substr(1) : w;
}

// The dot-separated segments of a file name from the right, never the part
// before the first dot.
template <class F> bool for_each_segment(std::wstring_view name, F&& f) {
    std::size_t end = name.size();
    while (true) {
        std::size_t dot = name.rfind(L'.', end == 0 ? 0 : end - 1);
        if (dot == std::wstring_view::npos || end == 0) return false;
        std::wstring_view seg = name.substr(dot + 1, end - dot - 1);
        if (!seg.empty() && f(seg)) return true;
        if (dot == 0) return false;
        end = dot;
    }
}

} // namespace

void set_progid_resolver(progid_resolver resolver) {
    std::lock_guard<std::mutex> g(resolver_lock);
    resolver_value = std::move(resolver);
}

// ---------------------------------------------------------------------------

config_info::config_info() = default;

config_info::config_info(std::wstring_view request_method) {
    method = cl::to_upper_copy_w(request_method);
    std::wstring dir = data_dir();
    if (!dir.empty()) parse_config_file(*this, dir);
}

std::string config_info::mime_type_of_file(std::wstring_view name) const {
    if (!force_type.empty()) return force_type;
    const std::wstring_view file = cl::file_name_view(name);
    std::string found;
    for_each_segment(file, [&](std::wstring_view seg) {
        auto a = added_types.find(seg);
        if (a != added_types.end()) {
            found = a->second;
            return true;
        }
        auto m = mime_types().find(seg);
        if (m != mime_types().end()) {
            found = m->second;
            return true;
        }
        return false;
    });
    if (!found.empty()) return found;
    if (!default_type.empty()) return default_type;
    std::wstring ext = cl::file_extension(file);
    if (ext.empty()) return "application/octet-stream";
    return "application/" + u8(ext);
}

uint32_t config_info::handler_for_file(std::wstring_view name, automation::guid& class_id) const {
    const std::wstring_view file = cl::file_name_view(name);
    uint32_t kind = 0;
    for_each_segment(file, [&](std::wstring_view seg) {
        auto h = handlers.find(seg);
        if (h == handlers.end()) return false;
        kind = h->second.kind;
        class_id = h->second.class_id;
        return true;
    });
    return kind;
}

bool check_require(std::string_view method, const config_info& config,
                   const request_variables* variables) {
    try {
        switch (config.require_kind) {
        case require_valid_user:
        case require_user:
        case require_group:
        case require_actual_user:
            if (config.auth_type == auth_none) {
                trace("conflicting AuthType and Require directive!\n");
                return false;
            }
            return true;
        case require_all_granted:
            return true;
        case require_env:
            if (!variables) return false;
            for (const auto& n : config.require_names)
                if (!variables->get(n).empty()) return true;
            return false;
        case require_method:
            for (const auto& n : config.require_names)
                if (cl::iequals(method, n)) return true;
            return false;
        default:
            return false;
        }
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------

namespace directive_detail {

void set_add_handler(config_info& c, std::wstring_view a) {
    auto words = split_words(a);
    if (words.empty()) return;
    handler_record rec;
    rec.name = words[0];
    bool known = false;
    for (const auto& h : handler_words) {
        if (cl::iequals_w(words[0], h.word)) {
            rec.kind = h.kind;
            known = true;
            break;
        }
    }
    if (!known) {
        rec.kind = handler_prog_id;
        if (!clsid_from_progid(words[0], rec.class_id)) return;
    } else if (rec.kind == handler_java_script) {
        rec.class_id = clsid_jscript;
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::wstring ext = extension_word(words[i]);
        if (!ext.empty()) c.handlers[ext] = rec;
    }
}

std::wstring get_add_handler(const config_info& c) {
    std::vector<std::wstring> lines;
    for (const auto& [ext, rec] : c.handlers)
        lines.push_back(rec.name + L" " + ext);
    return join(lines, L"\n");
}

void set_remove_handler(config_info& c, std::wstring_view a) {
    for (const auto& w : split_words(a)) {
        auto it = c.handlers.find(extension_word(w));
        if (it != c.handlers.end()) c.handlers.erase(it);
    }
}

void set_add_type(config_info& c, std::wstring_view a) {
    auto words = split_words(a);
    if (words.empty()) return;
    std::string type = u8(words[0]);
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::wstring ext = extension_word(words[i]);
        if (!ext.empty()) c.added_types[ext] = type;
    }
}

std::wstring get_add_type(const config_info& c) {
    std::vector<std::wstring> lines;
    for (const auto& [ext, type] : c.added_types)
        lines.push_back(wide(type) + L" " + ext);
    return join(lines, L"\n");
}

void set_remove_type(config_info& c, std::wstring_view a) {
    for (const auto& w : split_words(a)) {
        auto it = c.added_types.find(extension_word(w));
        if (it != c.added_types.end()) c.added_types.erase(it);
    }
}

void set_auth_type(config_info& c, std::wstring_view a) {
    c.auth_type = auth_basic;
    if (cl::iequals_w(a, L"Digest"))
        c.auth_type = auth_digest;
    else if (cl::iequals_w(a, L"None"))
        c.auth_type = auth_none;
}

std::wstring get_auth_type(const config_info& c) {
    int32_t t = c.auth_type;
    return auth_type_names_w[t >= 0 && t <= 2 ? t : 0];
}

void set_require(config_info& c, std::wstring_view a) {
    c.require_text = u8(a);
    auto words = split_words_narrow(c.require_text);
    int32_t kind = require_invalid;
    if (!words.empty()) {
        const std::string& w = words[0];
        if (w == "valid-user")
            kind = require_valid_user;
        else if (w == "user")
            kind = require_user;
        else if (w == "group")
            kind = require_group;
        else if (w == "all" && words.size() == 2)
            kind = words[1] == "granted"  ? require_all_granted
                   : words[1] == "denied" ? require_all_denied
                                          : require_invalid;
        else if (w == "env")
            kind = require_env;
        else if (w == "method")
            kind = require_method;
        else if (w == "actual-user")
            kind = require_actual_user;
    }
    c.require_kind = kind;
    if (kind == require_invalid) {
        c.require_text = "invalid";
        trace(cl::format_str("Unsuported Require %? in file %?, line %?\n",
                             words.empty() ? std::string() : words[0], c.file_being_read,
                             c.line_number));
        return;
    }
    c.require_names.assign(words.begin() + 1, words.end());
    if (kind != require_actual_user) return;
    for (auto& name : c.require_names) {
        std::wstring rel = server_config::resolve_relative_path(wide(name));
        if (!rel.empty() && rel[0] == cl::path_sep_w) rel.erase(0, 1);
        std::wstring path = c.directory_being_read + rel;
        name = server_config::check_any_filename(path, trace_level()) ? u8(cl::with_backslash(path))
                                                                      : std::string();
    }
}

std::wstring get_require(const config_info& c) {
    return wide(c.require_text);
}

void set_allow_override(config_info& c, std::wstring_view a) {
    uint32_t mask = 0;
    for (const auto& w : split_words(a)) {
        if (cl::iequals_w(w, L"all"))
            mask = 0xFFFFFFFFu;
        else if (cl::iequals_w(w, L"none"))
            mask = 0;
        else if (cl::iequals_w(w, L"AuthConfig"))
            mask |= override_auth_config;
        else if (cl::iequals_w(w, L"FileInfo"))
            mask |= override_file_info;
        else if (cl::iequals_w(w, L"Indexes"))
            mask |= override_indexes;
        else if (cl::iequals_w(w, L"UserInfo"))
            mask |= override_user_info;
    }
    c.allow_override &= mask;
}

std::wstring get_allow_override(const config_info& c) {
    if (c.allow_override == 0xFFFFFFFFu) return L"All";
    std::vector<std::wstring> words;
    if (c.allow_override & override_auth_config) words.emplace_back(L"AuthConfig");
    if (c.allow_override & override_file_info) words.emplace_back(L"FileInfo");
    if (c.allow_override & override_indexes) words.emplace_back(L"Indexes");
    if (c.allow_override & override_user_info) words.emplace_back(L"UserInfo");
    if (words.empty()) return L"None";
    return join(words, L" ");
}

void set_allow_origin(config_info& c, std::wstring_view a) {
    c.allowed_origins.clear();
    if (a == L"*") {
        c.allowed_origins.emplace_back("*");
        return;
    }
    for (const auto& w : split_words(a))
        c.allowed_origins.push_back(u8(w));
}

std::wstring get_allow_origin(const config_info& c) {
    return join_narrow(c.allowed_origins, L" ");
}

} // namespace directive_detail
