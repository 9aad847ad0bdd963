// Reading directive files: the line grammar (comments, continuation lines,
// name and argument, the AllowOverride gate, unknown directives) and the
// conditional sections Files, FilesMatch, Location, LocationMatch and Limit.
#include "core/format.h"
#include "core/path.h"
#include "core/uni_file.h"
#include "platform/win32/time.h"
#include "server/config/path_lookup.h"
#include "server/directives/directive_util.h"
#include "server/directives/directives.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <boost/regex.hpp>

#include <sys/stat.h>

using namespace directive_detail;

// ---------------------------------------------------------------------------
// Text files. Directive files, "mime.types" and "blocklist.txt" are read
// through the library's encoded text files (encoding by byte-order mark,
// UTF-8 without one); only one line is held at a time, never the file.

text_file_reader::~text_file_reader() {
    close();
}

void text_file_reader::close() {
    if (file_) file_->close();
    file_.reset();
}

bool text_file_reader::open(const std::wstring& path) {
    close();
    auto f = std::make_unique<cl::uni_file>();
    // Others may read or edit the file meanwhile; a directory opens as an error.
    if (!f->open(path, cl::o_rdonly, cl::sh_denyno)) return false;
    // The mark counts at the start of the file only (the open consumed it);
    // one that starts a later line is that line's text.
    f->set_flags(f->flags() & ~cl::uni_file::uf_skip_bom_line);
    struct stat st {};
    if (::fstat(f->handle(), &st) != 0) return false;
    last_write_time_ = win32::filetime_from_timespec(st.st_mtim);
    file_ = std::move(f);
    return true;
}

void text_file_reader::read_lines(const std::function<void(const std::wstring&)>& on_line) {
    if (!file_) return;
    std::wstring line;
    while (file_->read_line_w(line)) {
        on_line(line);
    }
    close();
}

bool read_text_file_lines(const std::wstring& path,
                          const std::function<void(const std::wstring&)>& on_line,
                          uint64_t* last_write_time) {
    text_file_reader reader;
    if (!reader.open(path)) return false;
    if (last_write_time) *last_write_time = reader.last_write_time();
    reader.read_lines(on_line);
    return true;
}

// ---------------------------------------------------------------------------
// Files and lines

void parse_config_file(config_info& config, const std::wstring& directory) {
    config.directory_being_read = cl::with_backslash(directory);
    std::wstring path = config.directory_being_read + config.access_filename;
    if (!server_config::check_any_filename(path, trace_level())) return;
    text_file_reader reader;
    if (!reader.open(path)) {
        config.missing_files.insert(path);
        return;
    }
    config.file_times[path] = reader.last_write_time();
    config.file_being_read = path;
    config.line_number = 1;
    reader.read_lines([&](const std::wstring& line) {
        parse_config_line(config, line);
        ++config.line_number;
    });
}

namespace {

const wchar_t* const closers[] = {L"</files>", L"</filesmatch>", L"</location>",
                                  L"</locationmatch>", L"</limit>"};

struct nested_opener {
    const wchar_t* text;
    std::size_t length;
    uint8_t kind;
};
const nested_opener nested_openers[] = {
    {L"<files ", 7, section_files},        {L"<filesmatch ", 12, section_files_match},
    {L"<location ", 10, section_location}, {L"<locationmatch ", 15, section_location_match},
    {L"<limit ", 7, section_limit},
};

bool is_ascii_space(wchar_t c) {
    return c == L' ' || (c >= 9 && c <= 13);
}

} // namespace

void parse_config_line_at(config_info& config, const std::wstring& line, const std::wstring& source,
                          uint32_t line_number) {
    config.file_being_read = source;
    config.line_number = line_number;
    parse_config_line(config, line);
}

void parse_config_line(config_info& config, const std::wstring& raw) {
    if (raw.empty()) return;
    if (raw.back() == L'\\') {
        config.continuation.append(raw, 0, raw.size() - 1);
        return;
    }
    std::wstring line;
    if (!config.continuation.empty()) {
        line = std::move(config.continuation);
        config.continuation.clear();
        line += raw;
    } else {
        line = raw;
    }
    std::size_t b = 0, e = line.size();
    while (b < e && is_ascii_space(line[b]))
        ++b;
    while (e > b && is_ascii_space(line[e - 1]))
        --e;
    std::wstring_view text(line.data() + b, e - b);
    if (text.empty() || text[0] == L'#') return;

    if (!config.section_stack.empty()) {
        uint8_t k = config.section_stack.back();
        if (cl::iequals_w(text, closers[k / 2])) {
            config.section_stack.pop_back();
            return;
        }
        if ((k & 1) == 0) {
            for (const auto& o : nested_openers) {
                if (text.size() >= o.length &&
                    cl::iequals_w(text.substr(0, o.length), std::wstring_view(o.text, o.length))) {
                    config.section_stack.push_back(o.kind);
                    break;
                }
            }
            return;
        }
    }

    std::size_t ws = 0;
    while (ws < text.size() && !cl::is_space_w(text[ws]))
        ++ws;
    if (ws == text.size()) {
        trace(cl::format_str("Error in file %?, line %?\n", config.file_being_read,
                             config.line_number));
        return;
    }
    std::wstring name(text.substr(0, ws));
    std::wstring_view argument = cl::trimmed_w(text.substr(ws));
    const directive_entry* entry = find_directive(name);
    if (!entry) {
        config.other_directives[name] = std::wstring(argument);
        return;
    }
    if (entry->override_class != 0 && (entry->override_class & config.allow_override) == 0) return;
    entry->set(config, argument);
}

// ---------------------------------------------------------------------------
// Sections

namespace {

// The text the Location patterns see: the target's path below the document
// root, beginning with "/".
std::wstring location_text(const config_info& config) {
    std::wstring root = public_dir();
    std::wstring text;
    if (!root.empty() && config.directory.size() >= root.size())
        text = config.directory.substr(root.size() - 1);
    else
        text = config.directory;
    return text + config.file_name;
}

// A regular expression searched anywhere in the text. An expression the
// library rejects, or one too costly to match, matches nothing.
bool regex_search_safe(const std::wstring& pattern, const std::wstring& text) {
    try {
        boost::wregex re(pattern);
        return boost::regex_search(text, re);
    } catch (const std::exception&) {
        return false;
    }
}

std::wstring wildcard_to_regex(std::wstring_view pattern) {
    std::wstring re = L"^";
    for (wchar_t c : pattern) {
        switch (c) {
        case L'?':
            re += L'.';
            break;
        case L'*':
            re += L".*";
            break;
        case L'\\':
        case L'^':
        case L'.':
        case L'$':
        case L'|':
        case L'(':
        case L')':
        case L'[':
        case L']':
        case L'+':
        case L'/':
            re += L'\\';
            re += c;
            break;
        default:
            re += c;
        }
    }
    re += L'$';
    return re;
}

std::wstring_view drop_one_closing_bracket(std::wstring_view a) {
    if (!a.empty() && a.back() == L'>') a.remove_suffix(1);
    return a;
}

// The argument of <FilesMatch and <LocationMatch as an expression.
std::wstring match_argument(std::wstring_view a) {
    std::wstring s(drop_one_closing_bracket(a));
    cl::trim_right_w(s);
    cl::strip_quotes(s);
    return s;
}

void push_section(config_info& c, uint8_t kind, bool matched) {
    c.section_stack.push_back(static_cast<uint8_t>(kind | (matched ? 1 : 0)));
}

} // namespace

bool match_section_pattern(const config_info& config, std::wstring_view argument, bool files_mode) {
    std::wstring text = files_mode ? config.file_name : location_text(config);
    std::wstring carry;
    for (const auto& word : quoted_words(drop_one_closing_bracket(argument))) {
        std::wstring candidate = carry + word;
        carry.clear();
        if (candidate.empty()) continue;
        if (candidate == L"~") {
            carry = L"~";
            continue;
        }
        if (candidate[0] == L'~') {
            std::wstring re = candidate.substr(1);
            cl::strip_quotes(re);
            if (regex_search_safe(re, text)) return true;
            continue;
        }
        if (regex_search_safe(wildcard_to_regex(candidate), text)) return true;
    }
    return false;
}

namespace directive_detail {

// Sections nested in a skipped section are not opened here; a skipped
// Limit section skips the same way for every name, and a skipped name section
// has set the mark itself.
void open_files(config_info& c, std::wstring_view a) {
    c.name_sections = true;
    push_section(c, section_files, match_section_pattern(c, a, true));
}

void open_files_match(config_info& c, std::wstring_view a) {
    c.name_sections = true;
    push_section(c, section_files_match, regex_search_safe(match_argument(a), c.file_name));
}

void open_location(config_info& c, std::wstring_view a) {
    c.name_sections = true;
    push_section(c, section_location, match_section_pattern(c, a, false));
}

void open_location_match(config_info& c, std::wstring_view a) {
    c.name_sections = true;
    push_section(c, section_location_match, regex_search_safe(match_argument(a), location_text(c)));
}

void open_limit(config_info& c, std::wstring_view a) {
    bool matched = false;
    for (const auto& w : quoted_words(drop_one_closing_bracket(a)))
        if (cl::to_upper_copy_w(w) == c.method) matched = true;
    push_section(c, section_limit, matched);
}

} // namespace directive_detail
