#include "scripting/jscript/script_source.h"

#include "core/format.h"
#include "core/path.h"
#include "core/uni_file.h"
#include "scripting/jscript/shost_file.h"
#include "server/config/path_lookup.h"
#include "server/server_dirs.h"

#include <sys/stat.h>

namespace scripting {

namespace {

bool is_format_char(wchar_t c) {
    return c == 0xAD || (c >= 0x600 && c <= 0x603) || c == 0x6DD || c == 0x70F ||
           (c >= 0x17B4 && c <= 0x17B5) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB);
}

bool is_space(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f' ||
           c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

void fail(load_context& context, const std::wstring& path) {
    if (context.request_context)
        context.request_context->error_text =
            cl::format_wstr(L"Unable to open include script file %?", path);
}

} // namespace

int64_t file_write_time(const std::wstring& path) {
    struct stat st {};
    if (::stat(cl::utf16_to_utf8(path).c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool parse_include_line(std::wstring_view raw, bool& in_comment, std::wstring& name) {
    std::wstring line;
    line.reserve(raw.size());
    for (wchar_t c : raw)
        if (!is_format_char(c)) line += c;
    const std::size_t n = line.size();
    bool only_space = true;
    for (std::size_t i = 0; i < n; ++i) {
        const wchar_t c = line[i];
        if (in_comment) {
            if (c == L'*' && i + 1 < n && line[i + 1] == L'/') {
                in_comment = false;
                ++i;
            }
            only_space = false;
            continue;
        }
        if (c == L'/' && i + 1 < n && line[i + 1] == L'*') {
            in_comment = true;
            only_space = false;
            ++i;
            continue;
        }
        if (c == L'/' && i + 1 < n && line[i + 1] == L'/') return false;
        if (c == L'"' || c == L'\'') {
            for (++i; i < n && line[i] != c; ++i)
                if (line[i] == L'\\') ++i;
            only_space = false;
            continue;
        }
        if (c == L'@' && only_space && line.compare(i + 1, 7, L"include") == 0) {
            std::size_t k = i + 8;
            while (k < n && is_space(line[k]))
                ++k;
            if (k >= n || line[k] != L'"') return false;
            const std::size_t start = ++k;
            while (k < n && line[k] != L'"')
                ++k;
            if (k >= n || k == start) return false;
            std::wstring found = line.substr(start, k - start);
            for (++k; k < n; ++k)
                if (!is_space(line[k])) return false;
            name = std::move(found);
            return true;
        }
        if (!is_space(c)) only_space = false;
    }
    return false;
}

bool read_script_source(const std::wstring& raw_path, std::wstring& text,
                        std::vector<source_piece>& pieces, load_context& context, int depth) {
    std::wstring path = raw_path;
    if (!path.empty() && path[0] == L'/') {
        const std::wstring resolved = server_config::resolve_relative_path(path);
        if (!resolved.empty()) path = resolved;
    }
    if (depth > max_include_depth ||
        !server_config::check_filename(server_config::filename_any_dir, path)) {
        fail(context, path);
        return false;
    }
    cl::uni_file f;
    if (!f.open(path, cl::o_rdonly | cl::o_binary | cl::o_sequential, cl::sh_denywr)) {
        fail(context, path);
        return false;
    }
    if (context.dependencies) (*context.dependencies)[path] = file_write_time(path);
    const std::wstring dir = cl::dir_part(path);
    bool in_comment = false;
    uint32_t line_no = 0;
    std::wstring line;
    while (f.read_line_w(line)) {
        ++line_no;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        std::wstring name;
        if (parse_include_line(line, in_comment, name)) {
            std::wstring target;
            if (cl::is_relative_path(name))
                target = dir + name;
            else
                target = cl::remove_backslash(public_dir()) + name;
            if (!read_script_source(target, text, pieces, context, depth + 1)) return false;
            continue;
        }
        text += line;
        text += L'\n';
        if (!pieces.empty() && pieces.back().file == path &&
            pieces.back().first_line + pieces.back().count == line_no)
            ++pieces.back().count;
        else
            pieces.push_back({path, line_no, 1});
    }
    return true;
}

} // namespace scripting
