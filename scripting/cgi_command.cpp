#include "scripting/cgi_command.h"

#include "core/folders.h"
#include "core/text.h"
#include "server/server_dirs.h"

#include <algorithm>
#include <cctype>
#include <cstring>

extern char** environ;

namespace scripting {

namespace {

bool ends_with_exe(const std::wstring& path) {
    return path.size() >= 4 && cl::to_lower_copy_w(path.substr(path.size() - 4)) == L".exe";
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = cl::to_lower_char(c);
    return out;
}

// Percent-encodes what may not stand in a URL path as it is.
std::string escape_url_path(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~!$&'()*+,;=:@", c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace

std::wstring add_exe_extension(const std::wstring& path) {
    if (ends_with_exe(path) || cl::file_exists(path)) return path;
    if (cl::file_exists(path + L".exe")) return path + L".exe";
    return path;
}

std::vector<std::wstring> split_arguments(std::wstring_view text) {
    std::vector<std::wstring> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && cl::is_space_w(text[i]))
            ++i;
        if (i >= text.size()) break;
        std::wstring word;
        bool quoted = false;
        while (i < text.size() && (quoted || !cl::is_space_w(text[i]))) {
            if (text[i] == L'"')
                quoted = !quoted;
            else
                word += text[i];
            ++i;
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool build_interpreter_command(std::wstring_view line, const std::wstring& script_path,
                               bool interpreter_mode, interpreter_command& out) {
    out = interpreter_command{};
    std::wstring_view text = line;
    if (!interpreter_mode) {
        const std::size_t bang = text.find(L'!');
        if (bang == std::wstring_view::npos) return false;
        text = text.substr(bang + 1);
    }
    while (!text.empty() && cl::is_space_w(text.front()))
        text.remove_prefix(1);
    std::wstring t(text);
    cl::trim_right_w(t);
    if (t.empty()) return false;

    if (t.front() == L'"') {
        out.text = t;
        out.argv = split_arguments(t);
        if (out.argv.empty() || out.argv.front().empty()) return false;
    } else {
        // The program path ends before the first "/" or "-" that follows a
        // blank: what comes from there on are its options.
        std::size_t split = std::wstring::npos;
        for (std::size_t i = 1; i < t.size(); ++i) {
            if ((t[i] == L'/' || t[i] == L'-') && cl::is_space_w(t[i - 1])) {
                split = i;
                break;
            }
        }
        std::wstring program, rest;
        if (split != std::wstring::npos) {
            program = t.substr(0, split);
            cl::trim_right_w(program);
            rest = t.substr(split);
        } else {
            program = t;
        }
        program = add_exe_extension(program);
        // "#!/usr/bin/env python3": a program path with a blank that names no
        // file is a program and its argument, as the kernel reads such lines.
        if (rest.empty() && !cl::file_exists(program)) {
            const auto blank = std::find_if(program.begin(), program.end(),
                                            [](wchar_t c) { return cl::is_space_w(c); });
            if (blank != program.end()) {
                rest = std::wstring(blank, program.end());
                program.erase(blank, program.end());
                cl::trim_left_w(rest);
            }
        }
        out.text = L"\"" + program + L"\"";
        if (!rest.empty()) out.text += L" " + rest;
        out.argv.push_back(program);
        for (std::wstring& w : split_arguments(rest))
            out.argv.push_back(std::move(w));
    }
    if (script_path.find(L' ') != std::wstring::npos)
        out.text += L" \"" + script_path + L"\"";
    else
        out.text += L" " + script_path;
    out.argv.push_back(script_path);
    return true;
}

environment_block environment_block::of_process() {
    environment_block b;
    for (char** e = environ; e && *e; ++e) {
        std::string_view item(*e);
        const std::size_t eq = item.find('=');
        b.set(std::string(item.substr(0, eq)),
              eq == std::string_view::npos ? std::string() : std::string(item.substr(eq + 1)));
    }
    return b;
}

void environment_block::set(std::string name, std::string value) {
    name.erase(
        std::remove_if(name.begin(), name.end(), [](char c) { return c == '=' || c == '\0'; }),
        name.end());
    value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
    if (name.empty()) return;
    std::string item = name + "=" + value;
    const auto [it, inserted] = index_.emplace(lower(name), entries_.size());
    if (inserted)
        entries_.push_back(std::move(item));
    else
        entries_[it->second] = std::move(item);
}

environment_block cgi_environment(const req_info& info) {
    environment_block b = environment_block::of_process();
    for (const auto& [name, value] : info.variables())
        b.set(name, value);
    return b;
}

void complete_cgi_variables(req_info& info, const std::wstring& script_path) {
    std::string path = cl::utf16_to_utf8(script_path);
    // From the document root's final "/" on: the script's URL path.
    const std::wstring& root = public_dir();
    const std::size_t cut =
        std::min(script_path.size(), root.empty() ? std::size_t(0) : root.size() - 1);
    std::string script_name = cl::utf16_to_utf8(std::wstring_view(script_path).substr(cut));
    // The address the client asked for, query string included: programs
    // that build links back to themselves read it.
    std::string uri = info.get("_TSKQVL_PATH");
    uri = escape_url_path(uri.empty() ? script_name : uri);
    const std::string query = info.get("QUERY_STRING");
    if (!query.empty()) uri.append("?").append(query);
    std::string root_var = info.get("DOCUMENT_ROOT");
    std::replace(root_var.begin(), root_var.end(), '\\', '/');
    info.set(req_info::slot::path_translated, std::string_view(path));
    info.set(req_info::slot::script_name, std::move(script_name));
    info.set(req_info::slot::request_uri, std::move(uri));
    info.set(req_info::slot::script_filename, std::move(path));
    info.set(req_info::slot::document_root, std::move(root_var));
}

} // namespace scripting
