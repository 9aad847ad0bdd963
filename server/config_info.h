// The effective configuration of one request target: defaults, then the
// global directive file, then the access file of every directory from the
// document root down to the target, evaluated for one request method. Built
// once by one thread, then shared read-only by reference counting.
#pragma once
#include "core/ref_cnt.h"
#include "core/text.h"
#include "platform/automation/unknown.h"
#include "server/response_headers.h"
#include "server/served_file_memo.h"

#include <boost/regex.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using wide_iless_map = std::map<std::wstring, std::wstring, cl::wstring_iless>;

inline constexpr uint32_t invalid_file_attributes = 0xFFFFFFFFu;
inline constexpr uint32_t file_attribute_directory = 0x10u;
inline constexpr uint32_t file_attribute_normal = 0x80u;

// Expiry codes: seconds after access (positive) or after modification
// (negative); these two mark "modification plus 0" and "unset or invalid".
inline constexpr int32_t expiry_modification_zero = static_cast<int32_t>(0x80000001u);
inline constexpr int32_t expiry_unset = static_cast<int32_t>(0x80000000u);

// Override classes of AllowOverride.
inline constexpr uint32_t override_indexes = 1;
inline constexpr uint32_t override_file_info = 2;
inline constexpr uint32_t override_auth_config = 4;
inline constexpr uint32_t override_user_info = 8;

// AuthType values.
inline constexpr int32_t auth_none = 0;
inline constexpr int32_t auth_basic = 1;
inline constexpr int32_t auth_digest = 2;
extern const char* const auth_type_names[3];
extern const wchar_t* const auth_type_names_w[3];

// Require kinds.
enum require_kind : int32_t {
    require_invalid = -1,
    require_valid_user = 0,
    require_user = 1,
    require_group = 2,
    require_all_granted = 3,
    require_all_denied = 4,
    require_env = 5,
    require_method = 6,
    require_actual_user = 7,
};

// Handler kinds.
enum handler_kind : uint32_t {
    handler_type_map = 0,
    handler_java_script = 1,
    handler_cgi_script = 2,
    handler_server_parsed = 3,
    handler_prog_id = 4,
    handler_php_script = 5,
};
// The JScript engine's class id {F414C260-6AC0-11CF-B6D1-00AA00BBBB58}.
extern const automation::guid clsid_jscript;

struct redirect_record {
    uint32_t status = 0;
    std::wstring pattern;
    std::wstring target;
    uint8_t is_expression = 0;
};

struct host_redirect_record {
    uint32_t status = 0;
    std::string pattern;
    std::string replacement;
    // Compiled once when the record is added; shared by every request.
    std::shared_ptr<const boost::regex> expression;
};

struct handler_record {
    uint32_t kind = 0;
    automation::guid class_id{};
    std::wstring name;
};

// Section kinds on the section stack: odd active, even skipped.
enum section_kind : uint8_t {
    section_files = 0,
    section_files_match = 2,
    section_location = 4,
    section_location_match = 6,
    section_limit = 8,
};

class config_info : public cl::ref_cnt_shared {
  public:
    // All defaults, method "GET"; used for error pages, which have no target.
    config_info();
    // All defaults, the method upper-cased, then the global directive file of
    // the program-data directory read into it.
    explicit config_info(std::wstring_view method);
    ~config_info() override = default;

    bool is_directory() const {
        return attributes != invalid_file_attributes && (attributes & file_attribute_directory);
    }
    bool is_file() const {
        return attributes != invalid_file_attributes && !(attributes & file_attribute_directory);
    }

    // Fills the redirect target and status from the first redirect rule that
    // applies to the URL path.
    void find_redirect(const std::wstring& url);
    // Never empty.
    std::string mime_type_of_file(std::wstring_view name) const;
    // Handler kind of the file (0 when none) and its class id.
    uint32_t handler_for_file(std::wstring_view name, automation::guid& class_id) const;

    // --- directive fields ---
    wide_iless_map other_directives;
    std::map<std::wstring, uint64_t> file_times;
    std::set<std::wstring> missing_files;
    std::vector<redirect_record> redirects;
    std::vector<host_redirect_record> host_redirects;
    std::vector<uint8_t> section_stack;
    std::map<std::string, int32_t, string_iless> expires_by_type;
    std::wstring file_being_read;
    std::wstring continuation;
    std::wstring directory_being_read;
    uint32_t line_number = 0;
    int32_t expires_default = expiry_unset;
    uint32_t allow_override = 0xFFFFFFFFu;
    std::wstring user;
    std::wstring lock_file;
    std::string redirect_target;
    std::string user_utf8;
    std::string force_type;
    uint32_t redirect_status = 0;
    uint32_t deflate_minimum_size = 256;
    int32_t deflate_compression_level = -1;
    uint32_t deflate_mem_level = 9;
    uint32_t deflate_window_size = 15;
    int32_t auth_type = auth_none;
    int32_t require_kind = require_all_denied;
    std::wstring userpwd;
    std::wstring access_filename = L".htaccess";
    std::wstring default_error_document;
    std::wstring rewrite_script;
    std::wstring auth_user_file;
    std::wstring auth_group_file;
    std::string ssi_start_tag;
    std::string ssi_end_tag;
    std::string default_type;
    std::string auth_name;
    std::string require_text;
    std::vector<std::wstring> directory_index;
    std::vector<std::wstring> module_paths;
    std::vector<std::string> allowed_origins;
    std::vector<std::string> require_names;
    // A Files, FilesMatch, Location or LocationMatch section was met: the
    // configuration may differ between two names of one folder, so a
    // decision taken for one member holds for no other.
    bool name_sections = false;
    bool file_etag = false;
    bool deflate_output = false;
    bool expires_active = false;
    bool logging = true;
    std::map<uint32_t, std::wstring> error_documents;
    std::map<std::wstring, std::string, cl::wstring_iless> added_types;
    std::map<std::wstring, handler_record, cl::wstring_iless> handlers;

    // --- the target ---
    std::wstring directory;  // ends in "/"
    std::wstring file_name;  // empty for a directory
    std::wstring local_path; // directory followed by file name
    std::wstring method = L"GET";
    std::string file_name_utf8;
    std::string directory_utf8;
    std::string local_path_utf8; // set in the configurations of the cache, else empty
    uint32_t attributes = invalid_file_attributes;
    // Facts about the file at local_path, kept while this configuration is
    // handed out.
    mutable served_file_memo served_file;
};

// The attributes of a local path in the values above: the directory bit for a
// directory, "normal" for anything else, invalid when it does not exist.
uint32_t file_attributes_of(const std::wstring& path);

// The request variables that "Require env" consults (the CGI variables of a
// request implement it).
class request_variables {
  public:
    virtual ~request_variables() = default;
    virtual std::string get(std::string_view name) const = 0;
};

// True when the Require rule admits the request. Never throws.
bool check_require(std::string_view method, const config_info& config,
                   const request_variables* variables);

// The first host-redirect rule that rewrites the Host header; the target is
// empty when none applies. The result belongs to the one request.
struct host_redirect_result {
    std::string target;
    uint32_t status = 0;
};
host_redirect_result apply_host_redirects(const config_info& config, std::string_view host);

void add_redirect(config_info& config, const std::wstring& pattern, const std::wstring& target,
                  uint32_t status, bool is_expression);
