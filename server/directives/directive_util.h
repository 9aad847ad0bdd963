// Helpers shared by the directive sources (not part of the public interface).
#pragma once
#include "core/text.h"
#include "core/trace.h"
#include "server/config_info.h"

#include <string>
#include <string_view>
#include <vector>

namespace directive_detail {

inline std::string u8(std::wstring_view s) {
    return cl::utf16_to_utf8(s);
}
inline std::wstring wide(std::string_view s) {
    return cl::utf8_to_utf16(s);
}

// Words split at white space; empty words never produced.
std::vector<std::wstring> split_words(std::wstring_view text);
std::vector<std::string> split_words_narrow(std::string_view text);
// Words where one beginning with a double quote runs to the next double
// quote; the quotes are dropped and the enclosed text is trimmed.
std::vector<std::wstring> quoted_words(std::wstring_view text);
std::wstring join(const std::vector<std::wstring>& words, std::wstring_view sep);
std::wstring join_narrow(const std::vector<std::string>& words, std::wstring_view sep);
// The decimal text of an unsigned or signed value.
inline std::wstring dec(int64_t v) {
    return cl::int64_to_wstring(v);
}

void trace(const std::string& text);

// Directive set and get functions of the other sources, referenced by the table.
void set_redirect(config_info&, std::wstring_view);
void set_redirect_match(config_info&, std::wstring_view);
void set_redirect_permanent(config_info&, std::wstring_view);
void set_redirect_temp(config_info&, std::wstring_view);
void set_redirect_host(config_info&, std::wstring_view);
std::wstring get_redirect(const config_info&);
std::wstring get_redirect_match(const config_info&);
std::wstring get_redirect_permanent(const config_info&);
std::wstring get_redirect_temp(const config_info&);
std::wstring get_redirect_host(const config_info&);

void set_add_handler(config_info&, std::wstring_view);
void set_remove_handler(config_info&, std::wstring_view);
void set_add_type(config_info&, std::wstring_view);
void set_remove_type(config_info&, std::wstring_view);
void set_auth_type(config_info&, std::wstring_view);
void set_require(config_info&, std::wstring_view);
void set_allow_override(config_info&, std::wstring_view);
void set_allow_origin(config_info&, std::wstring_view);
std::wstring get_add_handler(const config_info&);
std::wstring get_add_type(const config_info&);
std::wstring get_auth_type(const config_info&);
std::wstring get_require(const config_info&);
std::wstring get_allow_override(const config_info&);
std::wstring get_allow_origin(const config_info&);

void open_files(config_info&, std::wstring_view);
void open_files_match(config_info&, std::wstring_view);
void open_location(config_info&, std::wstring_view);
void open_location_match(config_info&, std::wstring_view);
void open_limit(config_info&, std::wstring_view);

} // namespace directive_detail
