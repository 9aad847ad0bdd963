#include "scripting/config_commands.h"

#include "core/format.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/uni_file.h"
#include "server/blocklist.h"
#include "server/config/config_cache.h"
#include "server/directives/directives.h"
#include "server/dynip.h"
#include "server/server_dirs.h"

#include <atomic>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace scripting {

namespace {

std::string u8(std::wstring_view s) {
    return cl::utf16_to_utf8(std::wstring(s));
}

// A path of a command as a full local path: relative paths start at the
// document tree, as in the block list file.
std::wstring full_path(const std::wstring& path) {
    if (!path.empty() && cl::is_relative_path(path)) return public_dir() + path;
    return path;
}

bool caller_allowed(cl::ini_file& ini, const std::wstring& caller) {
    std::wstring users = ini.get_string_or(L"param", L"command_users", L"");
    cl::trim_w(users);
    if (users.empty()) return true;
    // An unknown caller never matches, not even an empty entry.
    if (caller.empty()) return false;
    for (std::wstring_view entry : cl::comma_list_w(users))
        if (entry == caller) return true;
    return false;
}

// True when path equals root or lies below it (both resolved, root ending
// without "/").
bool inside(const std::string& path, const std::string& root) {
    if (root.empty() || path.compare(0, root.size(), root) != 0) return false;
    return path.size() == root.size() || path[root.size()] == '/' || root == "/";
}

// The path with its links and ".." resolved as far as it exists.
std::string resolved(const std::wstring& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(u8(path), ec);
    if (ec) return {};
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

bool write_all_lines(const std::wstring& path, int encoding, bool with_mark,
                     const std::vector<std::wstring>& lines) {
    cl::uni_file out;
    // A new name of our own: a file or link left at that name is never followed.
    const uint32_t flags =
        cl::o_wronly | cl::o_creat | cl::o_excl | cl::o_binary | cl::o_sequential;
    if (!out.open_with_bom_mode(path, flags, with_mark ? encoding : cl::enc_ansi, cl::sh_denyrw))
        return false;
    // A UTF-8 file without a mark is read back as plain text, which is UTF-8
    // here: no mark is written for it either.
    if (!with_mark && encoding != cl::enc_ansi) out.set_encoding(encoding, true);
    bool ok = true;
    for (const std::wstring& line : lines)
        ok = ok && out.write_line(line);
    ok = ok && out.flush() && ::fsync(out.handle()) == 0;
    ok = out.close() == 0 && ok;
    return ok;
}

std::wstring settings_lines(const config_info& config) {
    std::wstring out;
    for (const auto& [name, entry] : directive_table()) {
        if (!entry.get) continue;
        const std::wstring value = entry.get(config);
        // A directive stored for several keys (extensions, redirects) gives
        // one line per key: each goes out as a line of its own that reads
        // back as it was written, extensions with their dot.
        const bool extensions = name == L"AddHandler" || name == L"AddType";
        std::size_t at = 0;
        while (at < value.size()) {
            std::size_t end = value.find(L'\n', at);
            if (end == std::wstring::npos) end = value.size();
            std::wstring line = value.substr(at, end - at);
            at = end + 1;
            if (line.empty()) continue;
            const std::size_t blank = line.rfind(L' ');
            if (extensions && blank != std::wstring::npos && blank + 1 < line.size() &&
                line[blank + 1] != L'.')
                line.insert(blank + 1, 1, L'.');
            out += L"\n" + name + L" " + line;
        }
    }
    for (const auto& [name, value] : config.other_directives)
        out += L"\n" + name + L" " + value;
    return out;
}

bool flag_word(const std::wstring& w) {
    return w == L"1" || cl::iequals_w(w, L"true") || cl::iequals_w(w, L"yes");
}

} // namespace

std::wstring user_name_of_uid(uid_t uid) {
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return {};
    return cl::utf8_to_utf16(found->pw_name);
}

std::wstring current_user_name() {
    return user_name_of_uid(::geteuid());
}

std::wstring take_path_argument(std::wstring_view& text) {
    text = cl::trimmed_w(text);
    std::wstring out;
    if (!text.empty() && text.front() == L'"') {
        std::size_t i = 1;
        for (; i < text.size() && text[i] != L'"'; ++i) {
            if (text[i] == L'\\' && i + 1 < text.size() &&
                (text[i + 1] == L'"' || text[i + 1] == L'\\'))
                ++i;
            out.push_back(text[i]);
        }
        text.remove_prefix(i < text.size() ? i + 1 : i);
    } else {
        std::size_t i = 0;
        while (i < text.size() && !cl::is_space_w(text[i]))
            ++i;
        out.assign(text.substr(0, i));
        text.remove_prefix(i);
    }
    text = cl::trimmed_w(text);
    return out;
}

std::wstring run_server_command(cl::ini_file& ini, std::wstring_view line_in,
                                const std::wstring& caller) {
    try {
        std::wstring_view line = cl::trimmed_w(line_in);
        bool traced = trace_level() > 0;
        if (!line.empty() && line.front() == L'@') {
            traced = false;
            line = cl::trimmed_w(line.substr(1));
        }
        if (line.empty()) return {};
        if (traced) cl::trace_out.write_w(cl::format_wstr(L"cmd: %?\n", line));

        std::size_t blank = 0;
        while (blank < line.size() && !cl::is_space_w(line[blank]))
            ++blank;
        const std::wstring_view word = line.substr(0, blank);
        std::wstring_view args = cl::trimmed_w(line.substr(blank));

        if (word == L"file_status") {
            const std::wstring path = take_path_argument(args);
            return is_blocked(full_path(path)) ? L"blocked" : L"";
        }
        if (word == L"pub_dir" || word == L"private_dir") {
            std::wstring dir = word == L"pub_dir" ? public_dir() : private_dir();
            if (traced) cl::trace_out.write_w(cl::format_wstr(L"   %?\n", dir));
            return dir;
        }
        if (word == L"current_user") return caller;
        return run_protected_command(ini, line, caller);
    } catch (const std::exception& e) {
        cl::trace_out.write(cl::format_str("cmd failed: %?\n", e.what()));
        return L"command failed";
    }
}

std::wstring run_protected_command(cl::ini_file& ini, std::wstring_view line,
                                   const std::wstring& caller) {
    if (!caller_allowed(ini, caller)) return L"Not allowed";
    line = cl::trimmed_w(line);
    std::size_t blank = 0;
    while (blank < line.size() && !cl::is_space_w(line[blank]))
        ++blank;
    const std::wstring_view word = line.substr(0, blank);
    std::wstring_view args = cl::trimmed_w(line.substr(blank));

    if (word == L"block" || word == L"unblock") {
        const std::wstring path = take_path_argument(args);
        if (path.empty()) return {};
        if (word == L"block")
            blocklist_add(full_path(path));
        else
            blocklist_remove(full_path(path));
        return {};
    }
    if (word == L"get_settings") {
        const std::wstring path = take_path_argument(args);
        cl::sh_ptr<config_info> config;
        const std::wstring error = get_directory_config(path, config);
        if (!error.empty()) return error;
        return settings_lines(*config);
    }
    if (word == L"get_directives") return directive_names_text();
    if (word == L"delete_setting") return edit_access_file(args, false);
    if (word == L"insert_setting") return edit_access_file(args, true);
    if (word == L"add_dynip_redirect") {
        const std::vector<std::wstring> w = cl::split_blanks(args);
        // name, host, port, and the two flags (missing flags are clear).
        if (w.size() < 3 || w.size() > 5) return L"Invalid arguments";
        set_dynamic_entry(u8(w[0]), u8(w[1] + L" " + w[2]), w.size() > 3 && flag_word(w[3]) ? 1 : 0,
                          w.size() > 4 && flag_word(w[4]) ? 1 : 0);
        return L"OK";
    }
    return L"unknown command";
}

std::wstring get_directory_config(const std::wstring& path, cl::sh_ptr<config_info>& out) {
    const std::string target = resolved(full_path(path));
    const std::string pub = resolved(public_dir());
    const std::string data = resolved(data_dir());
    if (target.empty() || pub.empty() || !inside(target, pub)) {
        if (!target.empty() && !data.empty() && inside(target, data))
            return L"No public sub-directory";
        return L"No Tesk qvel directory";
    }
    std::wstring rel = cl::utf8_to_utf16(target.substr(pub.size()));
    while (!rel.empty() && rel.front() == L'/')
        rel.erase(0, 1);
    rel = L"/" + rel;
    if (rel.back() != L'/') rel.push_back(L'/');
    out = server_config::get_config_info(rel, L"GET");
    if (!out || !out->is_directory()) return L"No public sub-directory";
    return {};
}

std::wstring edit_access_file(std::wstring_view arguments, bool insert) {
    const std::wstring dir = take_path_argument(arguments);
    const std::wstring setting(arguments);
    // An empty setting begins every line: a delete would empty the file.
    if (setting.empty()) return L"No setting given";
    cl::sh_ptr<config_info> config;
    const std::wstring error = get_directory_config(dir, config);
    if (!error.empty()) return error;

    const std::wstring file = cl::with_backslash(config->directory) + config->access_filename;
    std::vector<std::wstring> lines;
    int encoding = cl::enc_ansi;
    bool with_mark = false;
    bool matched = false;
    {
        cl::uni_file in;
        if (!in.open(file, cl::o_rdonly | cl::o_binary, cl::sh_denywr))
            return L"Unable to read .htaccess file";
        encoding = in.encoding();
        with_mark = in.bom_length() > 0;
        std::wstring line;
        while (in.read_line_w(line)) {
            if (!insert && line.size() >= setting.size() &&
                cl::iequals_w(std::wstring_view(line).substr(0, setting.size()), setting)) {
                matched = true;
                continue;
            }
            lines.push_back(line);
        }
    }
    if (insert) lines.push_back(setting);

    static std::atomic<uint32_t> serial{0};
    const std::wstring temp =
        cl::format_wstr(L"%?.%?.%?.new", file, static_cast<int64_t>(::getpid()), ++serial);
    if (!write_all_lines(temp, encoding, with_mark, lines)) {
        ::unlink(u8(temp).c_str());
        return L"Unable to write .htaccess file";
    }
    struct stat st {};
    if (::stat(u8(file).c_str(), &st) == 0) ::chmod(u8(temp).c_str(), st.st_mode & 07777);
    if (::rename(u8(temp).c_str(), u8(file).c_str()) != 0) {
        ::unlink(u8(temp).c_str());
        return L"Unable to write .htaccess file";
    }
    return insert || matched ? L"OK" : L"OK FALSE";
}

int32_t seconds_until_maintenance(cl::ini_file& ini, int32_t time_of_day) {
    const std::wstring text = ini.get_string_or(L"param", L"maintenance_time", L"00:00:00");
    std::vector<std::wstring> parts;
    std::size_t i = 0;
    for (;;) {
        const std::size_t j = text.find(L':', i);
        parts.emplace_back(text.substr(i, j == std::wstring::npos ? std::wstring::npos : j - i));
        if (j == std::wstring::npos) break;
        i = j + 1;
    }
    int32_t at = 0;
    if (parts.size() == 3)
        at = cl::rstring_to_int_w(cl::rstring_from_wstring(parts[0])) * 3600 +
             cl::rstring_to_int_w(cl::rstring_from_wstring(parts[1])) * 60 +
             cl::rstring_to_int_w(cl::rstring_from_wstring(parts[2]));
    return at - time_of_day;
}

} // namespace scripting
