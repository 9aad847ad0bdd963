// Directive files and mime.types as the server reads them: an access file
// of a folder below the document root (a WebDAV user may write one), read
// by the script host's configuration look-up for a file below it, redirects
// and sections included; or the program-data folder's mime.types. Every
// configuration found maps below the document root, and every type read
// has an extension without blanks.
#include "server/directives/directives.h"
#include "core/text.h"
#include "server/config/config_cache.h"
#include "server/config_info.h"
#include "server/script_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/server_world.h"

#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 16 * 1024) return 0;
    const fuzz::server_world& world = fuzz::set_up_server();
    std::string_view text = fuzz::as_text(data, size);
    const unsigned mode = fuzz::take_choice(text, 2);
    if (mode == 1) {
        FUZZ_CHECK(fuzz::write_file(world.data + "mime.types", text));
        build_directive_table();
        for (const auto& [ext, type] : mime_types()) {
            FUZZ_CHECK(!ext.empty());
            FUZZ_CHECK(!type.empty());
            for (const wchar_t c : ext)
                FUZZ_CHECK(c != L' ' && c != L'\t');
        }
        FUZZ_CHECK(fuzz::write_file(world.data + "mime.types", fuzz::default_mime_types));
        build_directive_table();
        return 0;
    }
    static const bool made = [&] {
        std::filesystem::create_directories(world.pub + "d/e");
        return fuzz::write_file(world.pub + "d/e/x.txt", "x");
    }();
    FUZZ_CHECK(made);
    FUZZ_CHECK(fuzz::write_file(world.pub + "d/.htaccess", text));
    script_host& host = the_script_host();
    server_config::clear_config_info_cache();
    const std::wstring pub = cl::utf8_to_utf16(world.pub);
    for (const wchar_t* path : {L"/d/e/x.txt", L"/d/", L"/d/missing.shtml"}) {
        for (const wchar_t* method : {L"GET", L"PROPFIND"}) {
            const cl::sh_ptr<config_info> c = server_config::config_for_path(path, method);
            if (!c) continue;
            FUZZ_CHECK(c->local_path.compare(0, pub.size(), pub) == 0);
            FUZZ_CHECK(c->local_path.find(L"/../") == std::wstring::npos);
        }
    }
    // The same text line by line into a bare configuration.
    config_info bare(L"GET");
    bare.directory = pub + L"d/";
    std::size_t start = 0;
    const std::wstring wide = cl::utf8_to_utf16(std::string(text));
    for (int lines = 0; start <= wide.size() && lines < 2000; ++lines) {
        std::size_t end = wide.find(L'\n', start);
        if (end == std::wstring::npos) end = wide.size();
        parse_config_line_at(bare, wide.substr(start, end - start), L"fuzz", lines + 1);
        start = end + 1;
    }
    bare.find_redirect(L"/d/e/x.txt");
    (void)match_section_pattern(bare, wide.substr(0, 200), true);
    return 0;
}
