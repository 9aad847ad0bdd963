// An INI file as the program reads it (the global settings, a user's
// file): its sections and keys as read, and a value written into it. Every
// pair a section lists reads back as that value, and a write keeps every
// other section as it was.
#include "core/ini_file.h"
#include "core/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using sections = std::vector<std::pair<std::wstring, std::vector<std::wstring>>>;

// Each section name once (names compare without regard to ASCII case), with
// the lines of its first occurrence.
sections all_sections(cl::ini_file& f) {
    sections out;
    std::vector<std::wstring> names;
    f.get_section_names(names);
    for (const std::wstring& n : names) {
        bool seen = false;
        for (const auto& [have, lines] : out)
            seen = seen || cl::iequals_w(have, n);
        if (seen) continue;
        std::vector<std::wstring> lines;
        f.get_section(n, lines);
        out.emplace_back(n, lines);
    }
    return out;
}

void drop(sections& s, std::wstring_view name) {
    std::erase_if(s, [&](const auto& e) { return cl::iequals_w(e.first, name); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 32 * 1024) return 0;
    const std::string path = fuzz::scratch_folder() + "fuzz.ini";
    FUZZ_CHECK(fuzz::write_file(path, fuzz::as_text(data, size)));
    cl::ini_file f;
    f.set_path(cl::utf8_to_utf16(path), true);
    const auto before = all_sections(f);
    for (const auto& [section, lines] : before) {
        for (const std::wstring& line : lines) {
            const std::size_t eq = line.find(L'=');
            if (eq == std::wstring::npos) continue;
            std::wstring value;
            const std::wstring key = line.substr(0, eq);
            // The first pair of a key in its section is the one read.
            bool first = true;
            for (const std::wstring& l : lines) {
                if (&l == &line) break;
                if (cl::iequals_w(l.substr(0, l.find(L'=')), key)) first = false;
            }
            if (!first || key.empty()) continue;
            FUZZ_CHECK(f.get_value(section, key, value));
            FUZZ_CHECK(value == line.substr(eq + 1));
        }
    }
    // A new key in a section of its own changes no other section.
    if (f.write_value(L"fuzz written", L"k", L"v 1")) {
        std::wstring value;
        FUZZ_CHECK(f.get_value(L"fuzz written", L"k", value) && value == L"v 1");
        auto after = all_sections(f);
        drop(after, L"fuzz written");
        auto expected = before;
        drop(expected, L"fuzz written");
        FUZZ_CHECK(after == expected);
    }
    return 0;
}
