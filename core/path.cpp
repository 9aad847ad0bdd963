// Path helpers on "/"-separated local paths.
#include "core/path.h"

namespace cl {

namespace {

template <class C> constexpr C sep() noexcept {
    return C('/');
}

template <class C> std::size_t last_sep(std::basic_string_view<C> p) noexcept {
    return p.rfind(sep<C>());
}

template <class C> void append_sep_impl(std::basic_string<C>& p) {
    if (!p.empty() && p.back() != sep<C>()) p += sep<C>();
}

template <class C> std::basic_string<C> remove_sep_impl(std::basic_string_view<C> p) {
    if (p.size() > 1 && p.back() == sep<C>()) p.remove_suffix(1);
    return std::basic_string<C>(p);
}

template <class C> std::size_t ext_dot(std::basic_string_view<C> p) noexcept {
    std::size_t dot = p.rfind(C('.'));
    if (dot == p.npos) return p.npos;
    std::size_t s = last_sep(p);
    if (s != p.npos && s > dot) return p.npos;
    return dot;
}

template <class C> std::basic_string<C> ext_impl(std::basic_string_view<C> p) {
    std::size_t dot = ext_dot(p);
    return dot == p.npos ? std::basic_string<C>() : std::basic_string<C>(p.substr(dot + 1));
}

template <class C>
std::pair<std::basic_string<C>, std::basic_string<C>> split_ext_impl(std::basic_string_view<C> p) {
    std::size_t dot = ext_dot(p);
    if (dot == p.npos) return {std::basic_string<C>(p), {}};
    return {std::basic_string<C>(p.substr(0, dot)), std::basic_string<C>(p.substr(dot))};
}

template <class C>
std::pair<std::basic_string<C>, std::basic_string<C>> split_path_impl(std::basic_string_view<C> p) {
    std::size_t s = last_sep(p);
    if (s == p.npos) return {{}, std::basic_string<C>(p)};
    return {std::basic_string<C>(p.substr(0, s + 1)), std::basic_string<C>(p.substr(s + 1))};
}

template <class C> void strip_file_impl(std::basic_string<C>& p) {
    std::size_t s = last_sep(std::basic_string_view<C>(p));
    p.resize(s == p.npos ? 0 : s + 1);
}

template <class C> void strip_dir_impl(std::basic_string<C>& p) {
    std::size_t s = last_sep(std::basic_string_view<C>(p));
    if (s != p.npos) p.erase(0, s + 1);
}

template <class C> void strip_quotes_impl(std::basic_string<C>& s) {
    if (s.size() >= 2 && s.front() == C('"') && s.back() == C('"')) {
        s.pop_back();
        s.erase(0, 1);
    }
}

} // namespace

void append_backslash(std::wstring& path) {
    append_sep_impl(path);
}
void append_backslash(std::string& path) {
    append_sep_impl(path);
}
std::wstring with_backslash(std::wstring_view path) {
    std::wstring r(path);
    append_sep_impl(r);
    return r;
}
std::string with_backslash(std::string_view path) {
    std::string r(path);
    append_sep_impl(r);
    return r;
}
std::wstring remove_backslash(std::wstring_view path) {
    return remove_sep_impl(path);
}
std::string remove_backslash(std::string_view path) {
    return remove_sep_impl(path);
}

std::wstring file_extension(std::wstring_view path) {
    return ext_impl(path);
}
std::string file_extension(std::string_view path) {
    return ext_impl(path);
}
std::pair<std::wstring, std::wstring> split_extension(std::wstring_view path) {
    return split_ext_impl(path);
}
std::pair<std::string, std::string> split_extension(std::string_view path) {
    return split_ext_impl(path);
}
std::pair<std::wstring, std::wstring> split_path(std::wstring_view path) {
    return split_path_impl(path);
}
std::pair<std::string, std::string> split_path(std::string_view path) {
    return split_path_impl(path);
}
std::wstring dir_part(std::wstring_view path) {
    return split_path_impl(path).first;
}
std::string dir_part(std::string_view path) {
    return split_path_impl(path).first;
}
std::wstring file_name_part(std::wstring_view path) {
    return std::wstring(file_name_view(path));
}
std::string file_name_part(std::string_view path) {
    const std::size_t s = last_sep(path);
    return std::string(s == path.npos ? path : path.substr(s + 1));
}
std::wstring_view file_name_view(std::wstring_view path) noexcept {
    const std::size_t s = last_sep(path);
    return s == path.npos ? path : path.substr(s + 1);
}
void strip_file_name(std::wstring& path) {
    strip_file_impl(path);
}
void strip_file_name(std::string& path) {
    strip_file_impl(path);
}
void strip_dir_part(std::wstring& path) {
    strip_dir_impl(path);
}
void strip_dir_part(std::string& path) {
    strip_dir_impl(path);
}
bool is_relative_path(std::wstring_view path) noexcept {
    return !path.empty() && path[0] != L'/';
}
bool is_relative_path(std::string_view path) noexcept {
    return !path.empty() && path[0] != '/';
}

void add_quotes(std::wstring& s) {
    if (s.size() >= 2 && s.front() == L'"' && s.back() == L'"') return;
    s.insert(s.begin(), L'"');
    s += L'"';
}
void strip_quotes(std::wstring& s) {
    strip_quotes_impl(s);
}
void strip_quotes(std::string& s) {
    strip_quotes_impl(s);
}

} // namespace cl
