#include "core/ini_file.h"

#include "core/text.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace cl {

namespace {

std::wstring trim(std::wstring_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == L' ' || s[b] == L'\t'))
        ++b;
    while (e > b && (s[e - 1] == L' ' || s[e - 1] == L'\t'))
        --e;
    return std::wstring(s.substr(b, e - b));
}

bool same(std::wstring_view a, std::wstring_view b) {
    return to_lower_copy_w(a) == to_lower_copy_w(b);
}

// The section name of a "[name]" line.
bool section_line(const std::wstring& line, std::wstring& name) {
    std::wstring t = trim(line);
    if (t.size() < 2 || t.front() != L'[' || t.back() != L']') return false;
    name = trim(std::wstring_view(t).substr(1, t.size() - 2));
    return true;
}

bool pair_line(const std::wstring& line, std::wstring& key, std::wstring& value) {
    std::wstring t = trim(line);
    if (t.empty() || t[0] == L';') return false;
    size_t eq = t.find(L'=');
    if (eq == std::wstring::npos) return false;
    key = trim(std::wstring_view(t).substr(0, eq));
    value = trim(std::wstring_view(t).substr(eq + 1));
    return true;
}

} // namespace

bool ini_file::set_path(const std::wstring& path, bool prefer_utf8) {
    path_ = path;
    prefer_utf8_ = prefer_utf8;
    return true;
}

bool ini_file::read_lines(std::vector<std::wstring>& lines) {
    lines.clear();
    std::ifstream in(utf16_to_utf8(path_), std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    if (text.size() > (16u << 20)) return false;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(utf8_to_utf16(line));
        pos = end + 1;
    }
    return true;
}

bool ini_file::find_in(const std::vector<std::wstring>& lines, const std::wstring& section,
                       const std::wstring& key, std::wstring& value) {
    bool in_section = false;
    std::wstring name, k, v;
    for (const auto& line : lines) {
        if (section_line(line, name)) {
            in_section = same(name, trim(section));
            continue;
        }
        if (in_section && pair_line(line, k, v) && same(k, trim(key))) {
            value = v;
            return true;
        }
    }
    return false;
}

bool ini_file::get_value(const std::wstring& section, const std::wstring& key,
                         std::wstring& value) {
    std::vector<std::wstring> lines;
    return read_lines(lines) && find_in(lines, section, key, value);
}

bool ini_file::store(
    const std::vector<std::pair<std::pair<std::wstring, std::wstring>, std::wstring>>& changes) {
    std::vector<std::wstring> lines;
    read_lines(lines);
    for (const auto& [sk, value] : changes) {
        const auto& [section, key] = sk;
        bool in_section = false, done = false;
        size_t section_end = lines.size(); // insertion point in the matching section
        bool section_found = false;
        std::wstring name, k, v;
        for (size_t i = 0; i < lines.size() && !done; ++i) {
            if (section_line(lines[i], name)) {
                if (in_section) {
                    section_end = i;
                    break;
                }
                in_section = same(name, trim(section));
                if (in_section) section_found = true;
                continue;
            }
            if (in_section && pair_line(lines[i], k, v) && same(k, trim(key))) {
                lines[i] = k + L"=" + value;
                done = true;
            }
        }
        if (done) continue;
        if (!section_found) {
            lines.push_back(L"[" + section + L"]");
            lines.push_back(key + L"=" + value);
        } else {
            // Before blank lines that end the section.
            while (section_end > 0 && trim(lines[section_end - 1]).empty())
                --section_end;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(section_end),
                         key + L"=" + value);
        }
    }
    std::string out;
    for (const auto& l : lines)
        out += utf16_to_utf8(l) + "\r\n";
    const std::string path = utf16_to_utf8(path_);
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    std::string_view rest(out);
    while (ok && !rest.empty()) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n <= 0)
            ok = false;
        else
            rest.remove_prefix(static_cast<size_t>(n));
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool ini_file::write_value(const std::wstring& section, const std::wstring& key,
                           const std::wstring& value, bool) {
    return store({{{section, key}, value}});
}

int32_t ini_file::get_int(const std::wstring& section, const std::wstring& key, int32_t def) {
    std::wstring v;
    if (!get_value(section, key, v)) return def;
    return static_cast<int32_t>(std::wcstol(v.c_str(), nullptr, 10));
}

bool ini_file::get_bool(const std::wstring& section, const std::wstring& key, bool def) {
    return get_int(section, key, def ? 1 : 0) != 0;
}

std::wstring ini_file::get_string_or_wstring(const std::wstring& section, const std::wstring& key,
                                             const std::wstring& def) {
    std::wstring v;
    return get_value(section, key, v) ? v : def;
}

std::string ini_file::get_narrow_string_or(const std::wstring& section, const std::wstring& key,
                                           const std::string& def) {
    std::wstring v;
    return get_value(section, key, v) ? utf16_to_utf8(v) : def;
}

cached_ini::~cached_ini() {
    flush();
}

bool cached_ini::set_path(const std::wstring& path, bool prefer_utf8) {
    std::lock_guard lk(lock_);
    flush();
    ini_file::set_path(path, prefer_utf8);
    return read_lines(lines_);
}

bool cached_ini::get_value(const std::wstring& section, const std::wstring& key,
                           std::wstring& value) {
    std::lock_guard lk(lock_);
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
        if (same(it->first.first, section) && same(it->first.second, key)) {
            value = it->second;
            return true;
        }
    }
    return find_in(lines_, section, key, value);
}

bool cached_ini::set_value(const std::wstring& section, const std::wstring& key,
                           const std::wstring& value, bool) {
    std::lock_guard lk(lock_);
    pending_.push_back({{section, key}, value});
    return true;
}

bool cached_ini::flush() {
    std::lock_guard lk(lock_);
    if (pending_.empty() || path_.empty()) return true;
    if (!store(pending_)) return false;
    pending_.clear();
    read_lines(lines_);
    return true;
}

} // namespace cl
