#include "shell/ml.h"

#include "core/file_hnd.h"
#include "core/format.h"
#include "core/os_version.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/uni_file.h"

#include <algorithm>
#include <glob.h>

namespace {

bool is_white(wchar_t c) {
    return c == 9 || c == 10 || c == 11 || c == 12 || c == 13 || c == 32;
}
bool is_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}
bool is_dec(wchar_t c) {
    return c >= L'0' && c <= L'9';
}
int hex_value(wchar_t c) {
    if (is_dec(c)) return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}
bool is_id_start(wchar_t c) {
    return is_letter(c) || c == L'_' || c == L'-';
}
bool is_id_char(wchar_t c) {
    return is_id_start(c) || is_dec(c);
}

void fold_ascii(std::wstring& s) {
    for (auto& c : s)
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + 32);
}

uint16_t directive_number(const std::wstring& arg) {
    if (arg.size() >= 2 && arg[0] == L'0' && (arg[1] == L'x' || arg[1] == L'X'))
        return uint16_t(cl::cstr_hex_to_int_w(arg.c_str() + 2));
    return uint16_t(cl::cstr_to_int_w(arg.c_str()));
}

void diagnose(const std::wstring& path, int line, const std::string& message) {
    cl::trace_err.write(cl::format_str("ML: %?(%?): %?\n", cl::utf16_to_utf8(path), line, message));
}

// All files matching the pattern, in name order.
std::vector<std::wstring> matching_files(const std::wstring& pattern) {
    std::vector<std::wstring> out;
    if (pattern.empty()) return out;
    glob_t g{};
    if (::glob(cl::utf16_to_utf8(pattern).c_str(), GLOB_MARK, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            std::string p = g.gl_pathv[i];
            if (!p.empty() && p.back() == '/') continue; // a directory
            out.push_back(cl::utf8_to_utf16(p));
        }
    }
    ::globfree(&g);
    return out;
}

struct reader_state {
    enum st {
        start,
        comment,
        directive,
        arguments,
        id,
        after_id,
        value,
        string,
        escape,
        escape_cr,
        hex,
        after_string,
        after_null,
        value_comment
    };
};

} // namespace

ml_language* language_file_list::current() {
    if (current_ < 0 || size_t(current_) >= languages.size()) return nullptr;
    return &languages[size_t(current_)];
}

void language_file_list::set_language(uint16_t langid) {
    for (size_t i = 0; i < languages.size(); ++i) {
        auto& l = languages[i];
        if (!l.langids.empty() && l.langids[0] == langid) {
            current_ = int(i);
            l.langids.resize(1);
            return;
        }
    }
    // No locale database names languages here: the file's own "language"
    // text gives the name.
    ml_language l;
    l.langids.push_back(langid);
    languages.push_back(l);
    current_ = int(languages.size() - 1);
}

bool language_file_list::scan_file(const std::wstring& path) {
    ML temp;
    return temp.load(path, {}, *this, true);
}

uint16_t language_file_list::select(uint16_t r, uint16_t s) {
    auto own = [](const ml_language& l) { return l.langids.empty() ? 0 : l.langids[0]; };
    auto pick = [&](auto pred) -> bool {
        for (size_t i = 0; i < languages.size(); ++i)
            if (!languages[i].langids.empty() && pred(own(languages[i]))) {
                current_ = int(i);
                return true;
            }
        return false;
    };
    if (pick([&](uint16_t id) { return id == r; }) || pick([&](uint16_t id) { return id == s; }) ||
        pick([&](uint16_t id) { return id == ((s & 0x3FF) | 0x400); }) ||
        pick([&](uint16_t id) { return (id & 0x3FF) == (s & 0x3FF); }) ||
        pick([&](uint16_t id) { return id == 0x409; }) || pick([](uint16_t) { return true; }))
        return own(languages[size_t(current_)]);
    cl::trace_err.write("No language found in multi language file!\n");
    current_ = -1;
    return 0;
}

bool enumerate_language_files(const std::wstring& main_path, const std::wstring& pattern,
                              language_file_list& list) {
    if (!list.scan_file(main_path)) return false;
    for (const auto& path : matching_files(pattern)) {
        if (path == main_path) continue;
        language_file_list temp;
        temp.scan_file(path);
        for (const auto& l : temp.languages) {
            if (l.langids.empty()) continue;
            bool known = false;
            for (const auto& k : list.languages)
                known = known || (!k.langids.empty() && k.langids[0] == l.langids[0]);
            if (known) continue;
            list.set_language(l.langids[0]);
            *list.current() = l;
            if (list.current()->langids.back() != 0x409) list.current()->langids.push_back(0x409);
        }
    }
    return true;
}

ML::ML() : data_(std::make_shared<data>()) {}

std::shared_ptr<const ML::data> ML::snapshot() const {
    std::lock_guard<std::mutex> lk(lock_);
    return data_;
}

void ML::install(std::shared_ptr<const data> d) {
    std::lock_guard<std::mutex> lk(lock_);
    data_ = std::move(d);
}

bool ML::load(const std::wstring& path, const std::vector<uint16_t>& priority,
              language_file_list& langs, bool scan, const std::vector<std::string>* ignored) {
    auto d = std::make_shared<data>(*snapshot());
    const bool ok = load_into(*d, path, priority, langs, scan, ignored);
    if (!scan) install(d);
    return ok;
}

bool ML::load_into(data& d, const std::wstring& path, const std::vector<uint16_t>& priority,
                   language_file_list& langs, bool scan, const std::vector<std::string>* ignored) {
    using S = reader_state;
    langs.reset_current();
    cl::uni_file f;
    if (!f.open(path, cl::o_rdonly | cl::o_binary, cl::sh_denyno)) {
        cl::trace_err.write(cl::format_str("ML: error opening file %?\n", cl::utf16_to_utf8(path)));
        return false;
    }
    int line = 1;
    S::st state = S::start;
    std::wstring name, arg, id, value;
    std::vector<std::wstring> args;
    uint32_t acc = 0;
    bool is_null = false, continuation = false, taken = false;

    auto position = [&](uint16_t lang) {
        auto it = std::find(priority.begin(), priority.end(), lang);
        return size_t(it - priority.begin());
    };
    auto define_part = [&] {
        const bool prev = taken;
        taken = false;
        ml_language* cur = langs.current();
        if (id == L"language" && !value.empty() && !is_null && cur &&
            cur->name == L"unknown language")
            cur->name = value;
        if (scan || !cur || cur->langids.empty() || priority.empty()) return;
        const uint16_t c = cur->langids[0];
        auto existing = d.strings.find(id);
        if (!(continuation && prev)) {
            if (ignored) {
                const std::string narrow = cl::utf16_to_utf8(id);
                if (std::find(ignored->begin(), ignored->end(), narrow) != ignored->end()) return;
            }
            const size_t pc = position(c);
            if (pc >= priority.size()) return;
            const size_t pe =
                existing == d.strings.end() ? priority.size() : position(existing->second.langid);
            if (pc >= pe) return;
        }
        ml_string& s = d.strings[id];
        if (!continuation) s.text.clear();
        if (!is_null) s.text += value;
        s.langid = c;
        taken = true;
    };
    auto run_directive = [&] {
        if (args.empty()) return;
        const uint16_t n = directive_number(args[0]);
        const std::string nm = cl::utf16_to_utf8(name);
        ml_language* cur = langs.current();
        if (name == L"language") {
            langs.set_language(n);
        } else if (name.compare(0, 8, L"fallback") == 0) {
            const std::wstring rest = name.substr(8);
            const size_t k = rest.empty() ? 0 : size_t(cl::cstr_to_int_w(rest.c_str()));
            if (!cur)
                diagnose(path, line, "no language specified");
            else if (k + 1 != cur->langids.size())
                diagnose(path, line, "fallbackid out of sequence");
            else
                cur->langids.push_back(n);
        } else if (name == L"charset") {
            if (!cur)
                diagnose(path, line, "no language specified");
            else
                cur->charset = n;
        } else {
            diagnose(path, line, "unknown directive '#" + nm + "'");
        }
    };
    auto append_value = [&](wchar_t c) {
        if (value.size() < max_text_length) value += c;
    };

    wchar_t c = 0;
    bool cr_pending = false; // the value's last character is a CR just read in a literal
    while (f.read_char(c)) {
        if (c == L'\n') ++line;
        const bool was_cr = cr_pending;
        cr_pending = false;
        bool again = true;
        while (again) {
            again = false;
            switch (state) {
            case S::start:
                if (is_white(c)) break;
                if (c == L'/') {
                    state = S::comment;
                } else if (c == L'#') {
                    name.clear();
                    state = S::directive;
                } else if (is_id_start(c)) {
                    id.assign(1, c);
                    state = S::id;
                } else {
                    diagnose(path, line, "expected identifier, '#' or '/'");
                    state = c == L'\n' ? S::start : S::comment;
                }
                break;
            case S::comment:
                if (c == L'\n') state = S::start;
                break;
            case S::directive:
                if (is_letter(c) || is_dec(c)) {
                    if (name.size() < max_directive_name) name += c;
                } else if (is_white(c) && c != L'\n') {
                    args.clear();
                    arg.clear();
                    state = S::arguments;
                } else {
                    diagnose(path, line, "expected space");
                    // A name ended by the line end has used that line end:
                    // the next line is read normally.
                    state = c == L'\n' ? S::start : S::comment;
                }
                break;
            case S::arguments:
                if (is_white(c)) {
                    if (!arg.empty()) {
                        if (args.size() < max_directive_arguments) args.push_back(arg);
                        arg.clear();
                    }
                    if (c == L'\n') {
                        run_directive();
                        state = S::start;
                    }
                } else if (arg.size() < max_argument_length) {
                    arg += c;
                }
                break;
            case S::id:
                if (is_id_char(c)) {
                    if (id.size() < max_id_length) id += c;
                } else if (is_white(c)) {
                    state = S::after_id;
                } else if (c == L'=') {
                    fold_ascii(id);
                    continuation = false;
                    is_null = false;
                    state = S::value;
                } else {
                    diagnose(path, line, "expected space or '='");
                    state = S::comment;
                }
                break;
            case S::after_id:
                if (is_white(c)) break;
                if (c == L'=') {
                    fold_ascii(id);
                    continuation = false;
                    is_null = false;
                    state = S::value;
                } else {
                    diagnose(path, line, "expected '='");
                    state = S::comment;
                }
                break;
            case S::value:
                if (is_white(c)) break;
                if (c == L'"') {
                    value.clear();
                    is_null = false;
                    state = S::string;
                } else if (c == L'0') {
                    value.clear();
                    is_null = true;
                    state = S::after_null;
                } else {
                    diagnose(path, line, "expected '\"' or '0'");
                    state = c == L'\n' ? S::start : S::comment;
                }
                break;
            case S::string:
                if (c == L'\\') {
                    state = S::escape;
                } else if (c == L'\n') {
                    // The CR of a CR LF line end belongs to the line end.
                    if (was_cr && !value.empty() && value.back() == L'\r') value.pop_back();
                    diagnose(path, line, "forgotten '\"'?");
                    state = S::after_string;
                } else if (c == L'"') {
                    state = S::after_string;
                } else {
                    const size_t before = value.size();
                    append_value(c);
                    cr_pending = c == L'\r' && value.size() > before;
                }
                break;
            case S::escape:
                state = S::string;
                switch (c) {
                case L'\n':
                    break;
                case L'\r':
                    state = S::escape_cr;
                    break;
                case L'"':
                    append_value(L'"');
                    break;
                case L'\'':
                    append_value(L'\'');
                    break;
                case L'\\':
                    append_value(L'\\');
                    break;
                case L'a':
                    append_value(7);
                    break;
                case L'b':
                    append_value(8);
                    break;
                case L'f':
                    append_value(12);
                    break;
                case L'n':
                    append_value(10);
                    break;
                case L'r':
                    append_value(13);
                    break;
                case L't':
                    append_value(9);
                    break;
                case L'v':
                    append_value(11);
                    break;
                case L'x':
                    acc = 0;
                    state = S::hex;
                    break;
                default:
                    diagnose(path, line, "unknown escape char");
                    append_value(L'?');
                }
                break;
            case S::escape_cr:
                // A backslash before a CR LF line end continues the literal
                // as one before LF does.
                state = S::string;
                if (c != L'\n') {
                    diagnose(path, line, "unknown escape char");
                    append_value(L'?');
                    again = true;
                }
                break;
            case S::hex: {
                const int v = hex_value(c);
                if (v >= 0) {
                    acc = (acc * 16 + uint32_t(v)) & 0xFFFF;
                } else {
                    append_value(wchar_t(acc));
                    state = S::string;
                    again = true;
                }
                break;
            }
            case S::after_string:
            case S::after_null:
                if (is_white(c)) break;
                if (c == L'"' && state == S::after_string) {
                    state = S::string;
                } else if (c == L'/') {
                    state = S::value_comment;
                } else if (c == L';') {
                    define_part();
                    state = S::start;
                } else if (c == L',') {
                    define_part();
                    continuation = true;
                    state = S::value;
                } else {
                    diagnose(path, line, "expected ';', ',' or '\"'");
                    state = c == L'\n' ? S::start : S::comment;
                }
                break;
            case S::value_comment:
                if (c == L'\n') state = S::after_string;
                break;
            }
        }
    }
    if (state != S::start && state != S::comment) diagnose(path, line, "file short?");
    return true;
}

void ML::set_file_placeholders(data& d) {
    d.placeholders[L"%"] = L"%";
    if (d.strings.count(L"product")) d.placeholders[L"p"] = lookup_in(d, L"product", true);
    if (d.strings.count(L"webbase")) d.placeholders[L"w"] = lookup_in(d, L"webbase", true);
}

bool ML::load_file_into(data& d, const std::wstring& path, const std::vector<uint16_t>& priority,
                        const std::vector<std::string>* ignored) {
    if (priority.empty()) return false;
    d.chosen = priority[0];
    language_file_list langs;
    const bool ok = load_into(d, path, priority, langs, false, ignored);
    d.charset = langs.current() ? langs.current()->charset : 0;
    if (ok) set_file_placeholders(d);
    return ok;
}

bool ML::load_file(const std::wstring& path, const std::vector<uint16_t>& priority,
                   const std::vector<std::string>* ignored) {
    auto d = std::make_shared<data>(*snapshot());
    const bool ok = load_file_into(*d, path, priority, ignored);
    install(d);
    return ok;
}

bool ML::load_files(const std::wstring& main_path, const std::wstring& pattern,
                    const std::vector<uint16_t>& priority, const std::wstring& product,
                    const std::vector<std::string>& ignored) {
    auto d = std::make_shared<data>();
    d->placeholders = snapshot()->placeholders;
    if (!load_file_into(*d, main_path, priority, nullptr)) {
        cl::trace_out.write(
            cl::format_str("Error loading ML file '%?'.\n", cl::utf16_to_utf8(main_path)));
        return false;
    }
    bool more = false;
    for (const auto& path : matching_files(pattern)) {
        if (path == main_path) continue;
        load_file_into(*d, path, priority, &ignored);
        more = true;
    }
    if (more) set_file_placeholders(*d);
    if (!product.empty()) {
        d->strings[L"product"] = ml_string{product, d->chosen};
        d->placeholders[L"p"] = product;
    }
    install(d);
    return true;
}

std::wstring ml_decode_entities(std::wstring t) {
    static const std::pair<const wchar_t*, const wchar_t*> table[] = {
        {L"&amp;", L"&"}, {L"&quot;", L"\""}, {L"&apos;", L"'"}, {L"&lt;", L"<"}, {L"&gt;", L">"}};
    for (const auto& [from, to] : table) {
        const std::wstring f = from;
        std::wstring out;
        size_t pos = 0;
        for (size_t at; (at = t.find(f, pos)) != std::wstring::npos; pos = at + f.size())
            out.append(t, pos, at - pos).append(to);
        out.append(t, pos, std::wstring::npos);
        t.swap(out);
    }
    return t;
}

std::wstring ML::lookup_in(const data& d, std::wstring_view id_in, bool decode) {
    std::wstring id(id_in);
    fold_ascii(id);
    auto it = d.strings.find(id);
    if (it == d.strings.end()) return L"*** ml: String not found [name='" + id + L"']";
    if (it->second.text.empty() || !decode) return it->second.text;
    std::wstring t = ml_decode_entities(it->second.text);
    // A "%" directly after an inserted value is examined like any other.
    size_t p = 0;
    while ((p = t.find(L'%', p)) != std::wstring::npos) {
        bool replaced = false;
        for (const auto& [name, val] : d.placeholders) {
            if (name.empty() || t.size() - (p + 1) < name.size() ||
                t.compare(p + 1, name.size(), name) != 0)
                continue;
            t.replace(p, name.size() + 1, val);
            p += val.size();
            replaced = true;
            break;
        }
        if (!replaced) ++p;
    }
    return t;
}

std::wstring ML::lookup(std::wstring_view id, bool decode) const {
    return lookup_in(*snapshot(), id, decode);
}

std::wstring ML::get(std::string_view id) const {
    if (id.size() >= 3 && uint8_t(id[0]) == 0xE6 && uint8_t(id[1]) == 0xB1 &&
        uint8_t(id[2]) == 0xD7)
        id.remove_prefix(3);
    std::wstring w;
    for (char c : id)
        w += wchar_t(uint8_t(c));
    return lookup(w, true);
}

std::wstring ML::get(std::wstring_view id) const {
    return lookup(id, true);
}

bool ML::has(std::wstring_view id_in) const {
    std::wstring id(id_in);
    fold_ascii(id);
    return snapshot()->strings.count(id) != 0;
}

void ML::set_placeholder(const std::wstring& name, const std::wstring& value) {
    std::lock_guard<std::mutex> lk(lock_);
    auto d = std::make_shared<data>(*data_);
    d->placeholders[name] = value;
    data_ = d;
}

uint16_t ML::chosen_language() const {
    return snapshot()->chosen;
}
uint16_t ML::charset() const {
    return snapshot()->charset;
}
size_t ML::size() const {
    return snapshot()->strings.size();
}
uint16_t ML::language_of(std::wstring_view id_in) const {
    std::wstring id(id_in);
    fold_ascii(id);
    auto d = snapshot();
    auto it = d->strings.find(id);
    return it == d->strings.end() ? 0 : it->second.langid;
}

ML& ml_table() {
    static ML* t = new ML; // looked up until the very end of the process
    return *t;
}

namespace language_codes {

namespace {
const std::map<uint16_t, const wchar_t*>& table() {
    static const std::map<uint16_t, const wchar_t*> t = {
        {0x0401, L"ar"},         {0x0402, L"bg"},         {0x0404, L"zh-tw"},
        {0x0405, L"cs"},         {0x0406, L"da"},         {0x0407, L"de"},
        {0x0408, L"el"},         {0x0409, L"en"},         {0x040a, L"es"},
        {0x040b, L"fi"},         {0x040c, L"fr"},         {0x040d, L"he"},
        {0x040e, L"hu"},         {0x040f, L"is"},         {0x0410, L"it"},
        {0x0411, L"ja"},         {0x0412, L"ko"},         {0x0413, L"nl"},
        {0x0414, L"no"},         {0x0415, L"pl"},         {0x0416, L"pt-br"},
        {0x0418, L"ro"},         {0x0419, L"ru"},         {0x041a, L"sr"},
        {0x041b, L"sk"},         {0x041c, L"sq"},         {0x041d, L"sv"},
        {0x041e, L"th"},         {0x041f, L"tr"},         {0x0421, L"id"},
        {0x0422, L"uk"},         {0x0423, L"be"},         {0x0424, L"sl"},
        {0x0425, L"et"},         {0x0426, L"lv"},         {0x0427, L"lt"},
        {0x0429, L"fa"},         {0x042a, L"vi"},         {0x042b, L"hy"},
        {0x042c, L"az"},         {0x042f, L"mk"},         {0x0436, L"af"},
        {0x0437, L"ka"},         {0x0439, L"hi"},         {0x043e, L"ms"},
        {0x043f, L"kk"},         {0x0440, L"ky"},         {0x0442, L"tk"},
        {0x0443, L"uz-latn"},    {0x046e, L"lb"},         {0x046f, L"kl"},
        {0x0804, L"zh-cn"},      {0x0807, L"de-ch"},      {0x0809, L"en-gb"},
        {0x080a, L"es-mx"},      {0x080c, L"fr-be"},      {0x0810, L"it-ch"},
        {0x0813, L"nl-be"},      {0x081a, L"sr-latn"},    {0x0843, L"uz-cyrl"},
        {0x0c07, L"de-at"},      {0x0c09, L"en-au"},      {0x0c0c, L"fr-ca"},
        {0x0c1a, L"sr-cyrl"},    {0x1007, L"de-lu"},      {0x1009, L"en-ca"},
        {0x100c, L"fr-ch"},      {0x101a, L"hr-ba-latn"}, {0x1407, L"de-li"},
        {0x1409, L"en-nz"},      {0x140c, L"fr-lu"},      {0x141a, L"bs-ba-latn"},
        {0x1809, L"en-ie"},      {0x180c, L"fr-mc"},      {0x181a, L"sr-ba-latn"},
        {0x1c09, L"en-za"},      {0x1c1a, L"sr-ba-cyrl"}, {0x2009, L"en-jm"},
        {0x201a, L"bs-ba-cyrl"}, {0x241a, L"sr-cs-latn"}, {0x281a, L"sr-cs-cyrl"},
        {0x2c1a, L"sr-me-latn"}, {0x301a, L"sr-me-cyrl"}, {0x4009, L"en-in"},
        {0xc009, L"en-us"}};
    return t;
}
} // namespace

std::wstring code(uint16_t l) {
    const auto& t = table();
    auto it = t.find(l);
    if (it != t.end()) return it->second;
    it = t.find(uint16_t((l & 0x3FF) | 0x400));
    if (it != t.end()) return it->second;
    for (const auto& [id, c] : t)
        if ((id & 0x3FF) == (l & 0x3FF)) return c;
    return L"en";
}

std::wstring system_language() {
    return code(uint16_t(os_version::instance().lang_id));
}

} // namespace language_codes
