// The directive table: every directive name with the override classes that
// permit it, the function that applies its argument and the one that renders
// its value; the simple directives live here, the others beside their topic.
#include "core/format.h"
#include "core/path.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/directives/directive_util.h"
#include "server/directives/directives.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <sys/stat.h>

using namespace directive_detail;

namespace directive_detail {

std::vector<std::wstring> split_words(std::wstring_view text) {
    std::vector<std::wstring> out;
    std::size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n && cl::is_space_w(text[i]))
            ++i;
        std::size_t start = i;
        while (i < n && !cl::is_space_w(text[i]))
            ++i;
        if (i > start) out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

std::vector<std::string> split_words_narrow(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n && cl::is_space(text[i]))
            ++i;
        std::size_t start = i;
        while (i < n && !cl::is_space(text[i]))
            ++i;
        if (i > start) out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

std::vector<std::wstring> quoted_words(std::wstring_view text) {
    std::vector<std::wstring> out;
    std::size_t i = 0, n = text.size();
    while (i < n) {
        while (i < n && cl::is_space_w(text[i]))
            ++i;
        if (i >= n) break;
        if (text[i] == L'"') {
            std::size_t close = text.find(L'"', i + 1);
            std::size_t stop = close == std::wstring_view::npos ? n : close;
            std::wstring w(text.substr(i + 1, stop - i - 1));
            cl::trim_w(w);
            if (!w.empty()) out.push_back(std::move(w));
            i = close == std::wstring_view::npos ? n : close + 1;
        } else {
            std::size_t start = i;
            while (i < n && !cl::is_space_w(text[i]))
                ++i;
            out.emplace_back(text.substr(start, i - start));
        }
    }
    return out;
}

std::wstring join(const std::vector<std::wstring>& words, std::wstring_view sep) {
    std::wstring s;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) s.append(sep);
        s.append(words[i]);
    }
    return s;
}

std::wstring join_narrow(const std::vector<std::string>& words, std::wstring_view sep) {
    std::wstring s;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) s.append(sep);
        s.append(wide(words[i]));
    }
    return s;
}

void trace(const std::string& text) {
    cl::trace_out.write(text);
}

} // namespace directive_detail

// ---------------------------------------------------------------------------
// File arguments and expiry times

std::wstring resolve_file_argument(const config_info& config, std::wstring_view argument,
                                   bool allow_directories) {
    std::wstring rel = server_config::resolve_relative_path(argument);
    if (rel.empty()) return {};
    std::wstring full;
    if (rel.front() == cl::path_sep_w)
        full = cl::remove_backslash(public_dir()) + rel;
    else
        full = config.directory_being_read + rel;
    if (!server_config::check_any_filename(full, trace_level())) return {};
    if (is_blocked(full)) return {};
    // Only an existing target is a valid argument (a missing error document
    // stores nothing).
    uint32_t attr = file_attributes_of(full);
    if (attr == invalid_file_attributes) return {};
    if (!allow_directories && (attr & file_attribute_directory)) return {};
    return full;
}

namespace {

constexpr int64_t one_year = 31536000;

struct unit_entry {
    const wchar_t* singular;
    const wchar_t* plural;
    int64_t seconds;
};
constexpr unit_entry units[] = {
    {L"year", L"years", 31536000}, {L"month", L"months", 2635200}, {L"week", L"weeks", 604800},
    {L"day", L"days", 86400},      {L"hour", L"hours", 3600},      {L"minute", L"minutes", 60},
    {L"second", L"seconds", 1},
};

int64_t unit_seconds(const std::wstring& w) {
    for (const auto& u : units)
        if (w == u.singular || w == u.plural) return u.seconds;
    return 0;
}

int32_t invalid_expiry(const config_info& config, std::wstring_view argument) {
    if (trace_level() > 0 && !config.file_being_read.empty())
        trace(cl::format_str("Invalid ExpiresByType parameters [%?] in file %?, line %?\n",
                             argument, config.file_being_read, config.line_number));
    return expiry_unset;
}

} // namespace

int32_t parse_expiry(const config_info& config, std::wstring_view argument) {
    std::wstring_view text = cl::trimmed_w(argument);
    if (text.size() < 2) return invalid_expiry(config, text);
    if (text[0] != L'"') {
        if (!cl::is_digit_w(text[1])) return invalid_expiry(config, text);
        int64_t secs = cl::rstring_to_int_w(cl::wrstring(text.substr(1)));
        wchar_t c = cl::to_lower_w(text[0]);
        if (c == L'a') return secs > one_year ? expiry_unset : static_cast<int32_t>(secs);
        if (c == L'm') return secs == 0 ? expiry_modification_zero : static_cast<int32_t>(-secs);
        return invalid_expiry(config, text);
    }
    if (text.size() < 2 || text.back() != L'"') return invalid_expiry(config, text);
    std::vector<std::wstring> words = split_words(text.substr(1, text.size() - 2));
    if (words.empty()) return invalid_expiry(config, text);
    bool modification = false;
    if (words[0] == L"modification")
        modification = true;
    else if (words[0] != L"access" && words[0] != L"now")
        return invalid_expiry(config, text);
    std::size_t i = 1;
    if (i < words.size() && words[i] == L"plus") ++i;
    int64_t sum = 0;
    bool too_large = false;
    while (i + 1 < words.size()) {
        if (!cl::is_digit_w(words[i][0])) break;
        int64_t unit = unit_seconds(words[i + 1]);
        if (!unit) break;
        sum += int64_t(cl::wstring_to_int(words[i])) * unit;
        // Keep the sum representable; anything this large is invalid anyway.
        if (sum > INT32_MAX) {
            too_large = true;
            sum = INT32_MAX;
        }
        i += 2;
    }
    if (i != words.size()) return invalid_expiry(config, text);
    if (!modification) {
        if (sum > one_year) {
            if (trace_level() > 0 && !config.file_being_read.empty())
                trace(
                    cl::format_str("Invalid expiration time (more than 1 year is not allowed) [%?] "
                                   "in file %?, line %?\n",
                                   text, config.file_being_read, config.line_number));
            return expiry_unset;
        }
        return static_cast<int32_t>(sum);
    }
    // A modification offset that does not fit the 32-bit code would wrap into
    // an access time; refuse it instead.
    if (too_large) return invalid_expiry(config, text);
    return sum == 0 ? expiry_modification_zero : static_cast<int32_t>(-sum);
}

namespace {

std::wstring expiry_text(int32_t code) {
    if (code == expiry_unset) return {};
    if (code == expiry_modification_zero) return L"M0";
    if (code >= 0) return L"A" + dec(code);
    return L"M" + dec(-int64_t(code));
}

bool yes_word(std::wstring_view arg, const char* word) {
    return cl::iequals(u8(arg), word);
}

// ---------------------------------------------------------------------------
// Set and get functions of the simple directives

void set_userpwd(config_info& c, std::wstring_view a) {
    c.userpwd = resolve_file_argument(c, a, false);
}
std::wstring get_userpwd(const config_info& c) {
    return c.userpwd;
}

void set_access_filename(config_info& c, std::wstring_view a) {
    c.access_filename = a;
}
std::wstring get_access_filename(const config_info& c) {
    return c.access_filename;
}

void set_deflate_min(config_info& c, std::wstring_view a) {
    if (!a.empty())
        c.deflate_minimum_size = static_cast<uint32_t>(cl::rstring_to_int_w(cl::wrstring(a)));
}
std::wstring get_deflate_min(const config_info& c) {
    return dec(c.deflate_minimum_size);
}

void set_output_filter(config_info& c, std::wstring_view a) {
    c.deflate_output = yes_word(a, "deflate");
}
std::wstring get_output_filter(const config_info& c) {
    return c.deflate_output ? L"deflate" : L"";
}

void set_compression_level(config_info& c, std::wstring_view a) {
    if (!a.empty()) c.deflate_compression_level = cl::rstring_to_int_w(cl::wrstring(a));
}
std::wstring get_compression_level(const config_info& c) {
    return dec(c.deflate_compression_level);
}

void set_mem_level(config_info& c, std::wstring_view a) {
    if (!a.empty())
        c.deflate_mem_level = static_cast<uint32_t>(cl::rstring_to_int_w(cl::wrstring(a)));
}
std::wstring get_mem_level(const config_info& c) {
    return dec(c.deflate_mem_level);
}

void set_window_size(config_info& c, std::wstring_view a) {
    if (!a.empty())
        c.deflate_window_size = static_cast<uint32_t>(cl::rstring_to_int_w(cl::wrstring(a)));
}
std::wstring get_window_size(const config_info& c) {
    return dec(c.deflate_window_size);
}

void set_ssi_start(config_info& c, std::wstring_view a) {
    c.ssi_start_tag = u8(a);
}
std::wstring get_ssi_start(const config_info& c) {
    return wide(c.ssi_start_tag);
}
void set_ssi_end(config_info& c, std::wstring_view a) {
    c.ssi_end_tag = u8(a);
}
std::wstring get_ssi_end(const config_info& c) {
    return wide(c.ssi_end_tag);
}

void set_directory_index(config_info& c, std::wstring_view a) {
    auto words = quoted_words(a);
    if (!words.empty()) c.directory_index = std::move(words);
}
std::wstring get_directory_index(const config_info& c) {
    return join(c.directory_index, L" ");
}

void set_expires_active(config_info& c, std::wstring_view a) {
    c.expires_active = yes_word(a, "on");
}
std::wstring get_expires_active(const config_info& c) {
    return c.expires_active ? L"On" : L"Off";
}

void set_expires_by_type(config_info& c, std::wstring_view a) {
    std::size_t ws = 0;
    while (ws < a.size() && !cl::is_space_w(a[ws]))
        ++ws;
    if (ws >= a.size() || a.size() - ws - 1 < 2) {
        trace(cl::format_str("Invalid ExpiresByType parameters [%?] in file %?, line %?\n", a,
                             c.file_being_read, c.line_number));
        return;
    }
    int32_t code = parse_expiry(c, a.substr(ws + 1));
    if (code != expiry_unset) c.expires_by_type[u8(a.substr(0, ws))] = code;
}
std::wstring get_expires_by_type(const config_info& c) {
    std::vector<std::wstring> lines;
    for (const auto& [type, code] : c.expires_by_type)
        lines.push_back(wide(type) + L" " + expiry_text(code));
    return join(lines, L"\n");
}

void set_expires_default(config_info& c, std::wstring_view a) {
    c.expires_default = parse_expiry(c, a);
}
std::wstring get_expires_default(const config_info& c) {
    return expiry_text(c.expires_default);
}

bool is_web_url(std::wstring_view doc) {
    std::string d = u8(doc.substr(0, 8));
    return (d.size() >= 7 && cl::iequals(d.substr(0, 7), "http://")) ||
           (d.size() >= 8 && cl::iequals(d.substr(0, 8), "https://"));
}

void set_error_document(config_info& c, std::wstring_view a) {
    std::size_t ws = 0;
    while (ws < a.size() && !cl::is_space_w(a[ws]))
        ++ws;
    bool has_code = ws < a.size();
    uint32_t code = 0;
    std::wstring_view doc = a;
    if (has_code) {
        code = static_cast<uint32_t>(cl::wstring_to_int(std::wstring(a.substr(0, ws))));
        doc = cl::trimmed_w(a.substr(ws));
    }
    std::wstring stored =
        is_web_url(doc) ? std::wstring(doc) : resolve_file_argument(c, doc, false);
    if (stored.empty()) return;
    if (has_code)
        c.error_documents[code] = std::move(stored);
    else
        c.default_error_document = std::move(stored);
}
std::wstring get_error_document(const config_info& c) {
    std::vector<std::wstring> lines;
    if (!c.default_error_document.empty()) lines.push_back(c.default_error_document);
    for (const auto& [code, doc] : c.error_documents)
        lines.push_back(dec(code) + L" " + doc);
    return join(lines, L"\n");
}

std::wstring get_empty(const config_info&) {
    return {};
}

void set_default_type(config_info& c, std::wstring_view a) {
    c.default_type = u8(a);
}
std::wstring get_default_type(const config_info& c) {
    return wide(c.default_type);
}

void set_file_etag(config_info& c, std::wstring_view a) {
    c.file_etag = !yes_word(a, "none");
}
std::wstring get_file_etag(const config_info& c) {
    return c.file_etag ? L"All" : L"None";
}

void set_rewrite_script(config_info& c, std::wstring_view a) {
    c.rewrite_script = resolve_file_argument(c, a, false);
}
std::wstring get_rewrite_script(const config_info& c) {
    return c.rewrite_script;
}

void set_auth_user_file(config_info& c, std::wstring_view a) {
    c.auth_user_file = resolve_file_argument(c, a, true);
}
std::wstring get_auth_user_file(const config_info& c) {
    return c.auth_user_file;
}
void set_auth_group_file(config_info& c, std::wstring_view a) {
    c.auth_group_file = resolve_file_argument(c, a, true);
}
std::wstring get_auth_group_file(const config_info& c) {
    return c.auth_group_file;
}

void set_auth_name(config_info& c, std::wstring_view a) {
    c.auth_name = u8(a);
}
std::wstring get_auth_name(const config_info& c) {
    return wide(c.auth_name);
}

void set_user(config_info& c, std::wstring_view a) {
    c.user = a;
    c.user_utf8 = u8(a);
}
std::wstring get_user(const config_info& c) {
    return c.user;
}

void unmatched_files(config_info& c, std::wstring_view) {
    trace(cl::format_str("Unmatched </Files> or </FilesMatch> in file %?, line %?\n",
                         c.file_being_read, c.line_number));
}
void unmatched_location(config_info& c, std::wstring_view) {
    trace(cl::format_str("Unmatched </Location> or </LocationMatch> in file %?, line %?\n",
                         c.file_being_read, c.line_number));
}
void unmatched_limit(config_info& c, std::wstring_view) {
    trace(cl::format_str("Unmatched </Limit> in file %?, line %?\n", c.file_being_read,
                         c.line_number));
}

void set_module_path(config_info& c, std::wstring_view a) {
    for (const auto& w : split_words(a)) {
        std::wstring p = resolve_file_argument(c, w, true);
        if (!p.empty()) c.module_paths.push_back(cl::with_backslash(p));
    }
}
std::wstring get_module_path(const config_info& c) {
    return join(c.module_paths, L" ");
}

void set_logging(config_info& c, std::wstring_view a) {
    c.logging = yes_word(a, "enable");
}
std::wstring get_logging(const config_info& c) {
    return c.logging ? L"enable" : L"disable";
}

void set_lock(config_info& c, std::wstring_view a) {
    if (yes_word(a, "on"))
        c.lock_file = c.directory_being_read + c.access_filename;
    else
        c.lock_file.clear();
}
std::wstring get_lock(const config_info& c) {
    return c.lock_file.empty() ? L"off" : L"on";
}

void set_force_type(config_info& c, std::wstring_view a) {
    c.force_type = u8(a);
}
std::wstring get_force_type(const config_info& c) {
    return wide(c.force_type);
}

struct table_row {
    const wchar_t* name;
    uint32_t override_class;
    void (*set)(config_info&, std::wstring_view);
    std::wstring (*get)(const config_info&);
};

const table_row rows[] = {
    {L"qvel_userpwd", 0, set_userpwd, get_userpwd},
    {L"AccessFilename", 0, set_access_filename, get_access_filename},
    {L"qvel_deflateminimumsize", 0, set_deflate_min, get_deflate_min},
    {L"SetOutputFilter", 0, set_output_filter, get_output_filter},
    {L"DeflateCompressionLevel", 0, set_compression_level, get_compression_level},
    {L"DeflateMemLevel", 0, set_mem_level, get_mem_level},
    {L"DeflateWindowSize", 0, set_window_size, get_window_size},
    {L"SSIStartTag", 0, set_ssi_start, get_ssi_start},
    {L"SSIEndTag", 0, set_ssi_end, get_ssi_end},
    {L"DirectoryIndex", 1, set_directory_index, get_directory_index},
    {L"ExpiresActive", 1, set_expires_active, get_expires_active},
    {L"ExpiresByType", 1, set_expires_by_type, get_expires_by_type},
    {L"ExpiresDefault", 1, set_expires_default, get_expires_default},
    {L"ErrorDocument", 2, set_error_document, get_error_document},
    {L"AddType", 2, set_add_type, get_add_type},
    {L"AddHandler", 2, set_add_handler, get_add_handler},
    {L"RemoveType", 2, set_remove_type, get_empty},
    {L"RemoveHandler", 2, set_remove_handler, get_empty},
    {L"DefaultType", 2, set_default_type, get_default_type},
    {L"FileETag", 2, set_file_etag, get_file_etag},
    {L"Redirect", 2, set_redirect, get_redirect},
    {L"RedirectMatch", 2, set_redirect_match, get_redirect_match},
    {L"RedirectPermanent", 2, set_redirect_permanent, get_redirect_permanent},
    {L"RedirectTemp", 2, set_redirect_temp, get_redirect_temp},
    {L"RewriteScript", 2, set_rewrite_script, get_rewrite_script},
    {L"AuthUserFile", 4, set_auth_user_file, get_auth_user_file},
    {L"Require", 4, set_require, get_require},
    {L"AuthGroupFile", 4, set_auth_group_file, get_auth_group_file},
    {L"AuthName", 4, set_auth_name, get_auth_name},
    {L"AuthType", 4, set_auth_type, get_auth_type},
    {L"User", 8, set_user, get_user},
    {L"qvel_accesscontrolalloworigin", 2, set_allow_origin, get_allow_origin},
    {L"AllowOverride", 0, set_allow_override, get_allow_override},
    {L"<Files", 0, open_files, get_empty},
    {L"<FilesMatch", 0, open_files_match, get_empty},
    {L"</Files>", 0, unmatched_files, get_empty},
    {L"</FilesMatch>", 0, unmatched_files, get_empty},
    {L"<Location", 0, open_location, get_empty},
    {L"<LocationMatch", 0, open_location_match, get_empty},
    {L"</Location>", 0, unmatched_location, get_empty},
    {L"</LocationMatch>", 0, unmatched_location, get_empty},
    {L"<Limit", 4, open_limit, get_empty},
    {L"</Limit>", 4, unmatched_limit, get_empty},
    {L"qvel_add_module_path", 0, set_module_path, get_module_path},
    {L"qvel_logging", 0, set_logging, get_logging},
    {L"qvel_lock", 0, set_lock, get_lock},
    {L"ForceType", 2, set_force_type, get_force_type},
    {L"qvel_redirect_host", 2, set_redirect_host, get_redirect_host},
};
static_assert(sizeof(rows) / sizeof(rows[0]) == 48);

directive_map table_value;
mime_type_map mime_value;

void load_mime_types() {
    mime_value.clear();
    std::wstring dir = data_dir();
    if (dir.empty()) return;
    read_text_file_lines(dir + L"mime.types", [](const std::wstring& raw) {
        std::wstring line = raw;
        cl::trim_w(line);
        if (line.empty() || line[0] == L'#') return;
        auto words = split_words(line);
        for (std::size_t i = 1; i < words.size(); ++i) {
            std::wstring ext = words[i];
            if (!ext.empty() && ext[0] == L'.') ext.erase(0, 1);
            if (!ext.empty()) mime_value[ext] = u8(words[0]);
        }
    });
}

} // namespace

void build_directive_table() {
    table_value.clear();
    for (const auto& r : rows)
        table_value.emplace(r.name, directive_entry{r.override_class, r.set, r.get});
    load_mime_types();
}

const directive_map& directive_table() {
    return table_value;
}
const mime_type_map& mime_types() {
    return mime_value;
}

const directive_entry* find_directive(std::wstring_view name) {
    auto it = table_value.find(name);
    return it == table_value.end() ? nullptr : &it->second;
}

std::wstring directive_names_text() {
    std::wstring s = L"AllowOverride\n";
    for (const auto& [name, entry] : table_value)
        s.append(name).append(L"\n");
    return s;
}

// ---------------------------------------------------------------------------

uint32_t file_attributes_of(const std::wstring& path) {
    struct stat st {};
    if (::stat(u8(path).c_str(), &st) != 0) return invalid_file_attributes;
    return S_ISDIR(st.st_mode) ? file_attribute_directory : file_attribute_normal;
}
