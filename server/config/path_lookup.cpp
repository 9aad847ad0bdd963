#include "server/config/path_lookup.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/time.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace server_config {

namespace {

bool is_separator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

wchar_t lower_ascii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? wchar_t(c + 32) : c;
}

bool iequals_ascii(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    return true;
}

// The names that Windows reserves for devices. They are refused here too, so
// that a tree stays usable when it is copied to a system that reserves them.
bool is_device_name(std::wstring_view component) {
    static const wchar_t* const bare[] = {L"con", L"prn", L"aux", L"nul"};
    auto matches_device = [](std::wstring_view name) {
        for (const wchar_t* d : bare)
            if (iequals_ascii(name, d)) return true;
        if (name.size() == 4 && name[3] >= L'1' && name[3] <= L'9' &&
            (iequals_ascii(name.substr(0, 3), L"com") || iequals_ascii(name.substr(0, 3), L"lpt")))
            return true;
        return false;
    };
    if (iequals_ascii(component, L"clock$")) return true;
    if (matches_device(component)) return true;
    // "con.txt" names the device as well.
    std::size_t dot = component.find(L'.');
    return dot != std::wstring_view::npos && matches_device(component.substr(0, dot));
}

bool starts_with(std::wstring_view text, std::wstring_view prefix) {
    return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

void trace_refusal(std::wstring_view path, int mode, int level) {
    if (level > 1)
        cl::trace_out.write_w(
            cl::format_wstr(L"illegal filename: [%?], %?\n", std::wstring(path), mode));
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// No "\", no "." or ".." component, no empty component but a leading or
// trailing "/".
bool is_plain_path(std::wstring_view path) {
    if (path.empty()) return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != L'/') {
            if (path[i] == L'\\') return false;
            continue;
        }
        std::wstring_view part = path.substr(start, i - start);
        if (part.empty()) {
            if (start != 0 && i != path.size()) return false;
        } else if (part[0] == L'.' && (part.size() == 1 || (part.size() == 2 && part[1] == L'.'))) {
            return false;
        }
        start = i + 1;
    }
    // "/" alone is plain; "//" and a doubled trailing "/" are not.
    return path.size() < 2 || path.substr(path.size() - 2) != L"//";
}

} // namespace

std::wstring_view resolve_relative_path(std::wstring_view path, std::wstring& storage) {
    if (is_plain_path(path)) return path;
    storage = resolve_relative_path(path);
    return storage;
}

std::wstring resolve_relative_path(std::wstring_view path) {
    // Most paths are plain already: one scan says so, and they come back as
    // they are.
    if (is_plain_path(path)) return std::wstring(path);
    std::vector<std::wstring_view> parts;
    const bool leading = !path.empty() && is_separator(path.front());
    const bool trailing = path.size() > 1 && is_separator(path.back());
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t j = i;
        while (j < path.size() && !is_separator(path[j]))
            ++j;
        std::wstring_view part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            // Nothing left to remove: the path would climb out of its root.
            if (parts.empty()) return {};
            parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::wstring out;
    if (leading) out.push_back(L'/');
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k) out.push_back(L'/');
        out.append(parts[k]);
    }
    if (trailing && !parts.empty()) out.push_back(L'/');
    return out;
}

bool has_invalid_path_char(std::wstring_view text) {
    // Every request path is checked: one test of a bit for most characters.
    constexpr uint64_t below_64 = 0xFFFFFFFFull | 1ull << '"' | 1ull << '*' | 1ull << ':' |
                                  1ull << '<' | 1ull << '>' | 1ull << '?';
    for (const wchar_t c : text) {
        if (c < 64 ? c < 0 || (below_64 >> c & 1) != 0 : c == L'|') return true;
    }
    return false;
}

bool check_filename_in(int mode, std::wstring_view path, std::wstring_view public_dir,
                       std::wstring_view private_dir, int trace_level) {
    auto refuse = [&] {
        trace_refusal(path, mode, trace_level);
        return false;
    };
    if (mode == filename_public_only && !starts_with(path, public_dir)) return refuse();
    if (mode == filename_public_or_private && !starts_with(path, public_dir) &&
        !starts_with(path, private_dir))
        return refuse();
    if (path.size() > 260 || path.size() < 2) return refuse();
    if (path.front() != L'/') return refuse();
    if (has_invalid_path_char(path.substr(1))) return refuse();
    if (path.find(L"..") != std::wstring_view::npos) return refuse();
    // Components: the path must already be in its plain form (what a full-path
    // normalisation would give back unchanged).
    std::size_t i = 1;
    while (i < path.size()) {
        std::size_t j = path.find(L'/', i);
        if (j == std::wstring_view::npos) j = path.size();
        std::wstring_view part = path.substr(i, j - i);
        if (part.empty() && j < path.size()) return refuse(); // "//"
        if (!part.empty()) {
            if (part == L".") return refuse();
            if (part.back() == L'.' || part.back() == L' ') return refuse();
            if (is_device_name(part)) return refuse();
        }
        i = j + 1;
    }
    struct stat st {};
    if (::lstat(cl::utf16_to_utf8(path).c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) ||
            S_ISSOCK(st.st_mode))
            return refuse();
        if (S_ISLNK(st.st_mode) && ::stat(cl::utf16_to_utf8(path).c_str(), &st) == 0 &&
            (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) ||
             S_ISSOCK(st.st_mode)))
            return refuse();
    }
    return true;
}

bool check_filename(int mode, std::wstring_view path) {
    std::wstring pub, priv;
    if (mode != filename_any_dir) {
        pub = public_dir();
        if (mode == filename_public_or_private) priv = private_dir();
    }
    return check_filename_in(mode, path, pub, priv, trace_level());
}

bool url_decode(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) {
            out.clear();
            return false;
        }
        int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
        if (hi < 0 || lo < 0) {
            out.clear();
            return false;
        }
        out.push_back(char(hi * 16 + lo));
        i += 2;
    }
    return true;
}

std::string url_escape_path(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    std::size_t i = 0;
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (text.substr(0, scheme.size()) == scheme) {
            // The host and port stay as they are: escaping the ":" before a
            // port would make the link point nowhere.
            std::size_t end = text.find('/', scheme.size());
            if (end == std::string_view::npos) end = text.size();
            i = scheme.size();
            out.append(scheme);
            for (; i < end; ++i) {
                unsigned char c = static_cast<unsigned char>(text[i]);
                if (is_ascii_alnum(c) || std::string_view(".-_~:@[]!$&'()+,;=").find(char(c)) !=
                                             std::string_view::npos) {
                    out.push_back(char(c));
                } else {
                    out.push_back('%');
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 15]);
                }
            }
            break;
        }
    }
    for (; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_ascii_alnum(c) || c == '.' || c == '~' || c == '/') {
            out.push_back(char(c));
        } else if (c == '\\') {
            out.push_back('/');
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

int64_t file_last_write_time(const std::wstring& path) {
    int fd = ::open(cl::utf16_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    int rc = ::fstat(fd, &st);
    ::close(fd);
    if (rc != 0) return -1;
    return static_cast<int64_t>(win32::filetime_from_timespec(st.st_mtim));
}

} // namespace server_config
