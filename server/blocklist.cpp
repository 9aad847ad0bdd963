#include "server/blocklist.h"

#include "core/path.h"
#include "core/sync.h"
#include "core/text.h"
#include "server/directives/directives.h"
#include "server/server_dirs.h"

#include "platform/win32/replace_file.h"
#include <atomic>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace {

cl::critical_section blocklist_lock;
std::set<std::wstring, cl::wstring_iless> blocklist;

std::wstring blocklist_file() {
    std::wstring dir = data_dir();
    return dir.empty() ? std::wstring() : dir + L"blocklist.txt";
}

// A line written in double quotes (a path with blanks) is read back without
// its quoting, so entries survive a save and a load unchanged.
std::wstring unquote_entry(const std::wstring& line) {
    if (line.size() < 2 || line.front() != L'"' || line.back() != L'"') return line;
    std::wstring out;
    for (std::size_t i = 1; i + 1 < line.size(); ++i) {
        if (line[i] == L'\\' && i + 2 < line.size()) ++i;
        out.push_back(line[i]);
    }
    return out;
}

std::wstring quote_entry(const std::wstring& entry) {
    if (entry.find(L' ') == std::wstring::npos) return entry;
    std::wstring out = L"\"";
    for (wchar_t c : entry) {
        if (c == L'"' || c == L'\\') out.push_back(L'\\');
        out.push_back(c);
    }
    out.push_back(L'"');
    return out;
}

void append_utf16le(std::string& out, std::wstring_view text) {
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        auto unit = [&](uint32_t u) {
            out.push_back(static_cast<char>(u & 0xFF));
            out.push_back(static_cast<char>(u >> 8));
        };
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            unit(0xD800 + (c >> 10));
            unit(0xDC00 + (c & 0x3FF));
        } else {
            unit(c > 0x10FFFF ? 0xFFFD : c);
        }
    }
}

} // namespace

namespace {
// Bumped with every change of the set, after the change is made.
std::atomic<uint64_t> blocklist_changes{0};
} // namespace

uint64_t blocklist_generation() {
    return blocklist_changes.load(std::memory_order_acquire);
}

void load_blocklist() {
    std::wstring file = blocklist_file();
    if (file.empty()) return;
    std::wstring root = public_dir();
    std::vector<std::wstring> entries;
    if (!read_text_file_lines(file, [&](const std::wstring& raw) {
            std::wstring line = raw;
            cl::trim_w(line);
            if (line.empty() || line[0] == L'#') return;
            line = unquote_entry(line);
            if (line.size() > 1 && line.back() == cl::path_sep_w) line.pop_back();
            if (cl::is_relative_path(line)) line = root + line;
            entries.push_back(std::move(line));
        }))
        return;
    cl::cs_lock g(blocklist_lock);
    for (auto& e : entries)
        blocklist.insert(std::move(e));
    ++blocklist_changes;
}

bool is_blocked(const std::wstring& path) {
    std::wstring key = cl::remove_backslash(path);
    cl::cs_lock g(blocklist_lock);
    return blocklist.count(key) != 0;
}

bool is_blocked_below(const std::wstring& folder) {
    const std::wstring key = cl::remove_backslash(folder);
    cl::cs_lock g(blocklist_lock);
    // The set is ordered ignoring case as it compares: entries that begin
    // with the folder's path follow one another from the first one not
    // before it.
    const auto it = blocklist.lower_bound(key);
    return it != blocklist.end() && it->size() >= key.size() &&
           cl::iequals_w(std::wstring_view(*it).substr(0, key.size()), key);
}

void blocklist_add(const std::wstring& path) {
    if (is_blocked(path)) return;
    {
        cl::cs_lock g(blocklist_lock);
        blocklist.insert(path);
        ++blocklist_changes;
    }
    save_blocklist();
}

void blocklist_remove(const std::wstring& path) {
    {
        cl::cs_lock g(blocklist_lock);
        auto it = blocklist.find(path);
        if (it == blocklist.end()) return;
        blocklist.erase(it);
        ++blocklist_changes;
    }
    save_blocklist();
}

void blocklist_list(std::vector<std::wstring>& first, std::vector<std::wstring>& second) {
    cl::cs_lock g(blocklist_lock);
    for (const auto& e : blocklist) {
        first.push_back(e);
        second.push_back(e);
    }
}

bool save_blocklist() {
    cl::cs_lock g(blocklist_lock);
    std::wstring file = blocklist_file();
    if (file.empty()) return false;
    // UTF-16 little-endian with its byte-order mark, one entry per line.
    std::string data = "\xFF\xFE";
    for (const auto& e : blocklist)
        append_utf16le(data, quote_entry(e) + L"\r\n");
    std::string target = cl::utf16_to_utf8(file);
    return win32::replace_file_contents(target, data);
}

void clear_blocklist() {
    cl::cs_lock g(blocklist_lock);
    blocklist.clear();
    ++blocklist_changes;
}
