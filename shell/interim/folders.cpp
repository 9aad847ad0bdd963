#include "core/folders.h"

#include "core/path.h"
#include "core/reg_key.h"
#include "core/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace cl {

namespace {

bool is_dir(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string data_home() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') return x;
    if (::geteuid() == 0) return "/var/lib";
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') return std::string();
    return std::string(home) + "/.local/share";
}

} // namespace

std::wstring get_module_dir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::wstring();
    std::wstring p = utf8_to_utf16(std::string_view(buf, static_cast<size_t>(n)));
    strip_file_name(p);
    return p;
}

std::wstring company_key_path(const std::wstring& subkey) {
    return L"Software\\Tesk\\" + subkey;
}

bool get_install_dir(const std::wstring& subkey, std::wstring& dir) {
    dir.clear();
    reg_key key;
    if (!key.open(0, company_key_path(subkey), registry::key_read)) return false;
    std::wstring value;
    if (!key.query_string_w(L"install_dir", value) || value.empty()) return false;
    append_backslash(value);
    dir = value;
    return true;
}

bool create_dir_tree(const std::wstring& path) {
    std::string p = utf16_to_utf8(path);
    if (p.empty()) return false;
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i != p.size() && p[i] != '/') continue;
        std::string part = p.substr(0, i);
        if (is_dir(part)) continue;
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::wstring get_common_app_data_dir(const std::wstring& subdirectory) {
    std::string base = data_home();
    if (base.empty()) return std::wstring();
    std::wstring dir = utf8_to_utf16(base);
    append_backslash(dir);
    dir += L"Tesk/" + subdirectory + L"/";
    if (!create_dir_tree(dir)) return std::wstring();
    return dir;
}

bool file_exists(const std::wstring& path) {
    struct stat st {};
    return ::stat(utf16_to_utf8(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

} // namespace cl
