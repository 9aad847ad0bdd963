// A server-parsed page as its author (or a WebDAV user) wrote it: every
// directive with its attributes, includes of files, of pages that include
// themselves, of folders behind a login and of names that climb out of the
// document root. Nothing outside the root and nothing behind the login
// ever reaches the page's output, and the output stays bounded.
#include "core/text.h"
#include "scripting/ssi_file.h"
#include "server/config/config_cache.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/script_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/server_world.h"

#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 16 * 1024) return 0;
    const fuzz::server_world& world = fuzz::set_up_server();
    static const bool made = [&] {
        std::filesystem::create_directories(world.pub + "s/sub");
        std::filesystem::create_directories(world.pub + "locked");
        return fuzz::write_file(world.data + "secret.txt", "SECRET-OUTSIDE") &&
               fuzz::write_file(world.pub + "locked/.htaccess",
                                "AuthType Basic\nAuthName L\nAuthUserFile users.txt\n"
                                "Require valid-user\n") &&
               fuzz::write_file(world.pub + "locked/x.txt", "SECRET-LOCKED") &&
               fuzz::write_file(world.pub + "s/inc.txt", "[inc]") &&
               fuzz::write_file(world.pub + "s/sub/self.shtml",
                                "<!--#include virtual=\"/s/sub/self.shtml\" -->"
                                "<!--#include file=\"../inc.txt\" -->");
    }();
    FUZZ_CHECK(made);
    const std::string page = world.pub + "s/page.shtml";
    FUZZ_CHECK(fuzz::write_file(page, fuzz::as_text(data, size)));

    auto d = std::make_shared<http_request_data>();
    d->method = "GET";
    d->raw_url = "/s/page.shtml?a=1";
    d->query = "a=1";
    cl::sh_ptr<req_info> info = cl::make_sh<req_info>();
    info->data = d.get();
    info->config = server_config::config_for_path(L"/s/page.shtml", L"GET");
    FUZZ_CHECK(info->config);
    info->set("REQUEST_METHOD", "GET");
    info->set("QUERY_STRING", "a=<b>");

    scripting::parsed_file f(info, cl::utf8_to_utf16(page));
    FUZZ_CHECK(f.open(cl::utf8_to_utf16(page), cl::o_rdonly | cl::o_binary, cl::sh_denywr));
    f.start(nullptr);
    std::string out;
    char buf[8192];
    for (int i = 0; i < 10000; ++i) {
        const int64_t n = f.read(buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        FUZZ_CHECK(out.size() <= 64 * (size + 1024));
    }
    FUZZ_CHECK(out.find("SECRET-OUTSIDE") == std::string::npos ||
               fuzz::as_text(data, size).find("SECRET-OUTSIDE") != std::string_view::npos);
    FUZZ_CHECK(out.find("SECRET-LOCKED") == std::string::npos ||
               fuzz::as_text(data, size).find("SECRET-LOCKED") != std::string_view::npos);

    // The pieces of an include target on their own.
    std::wstring file;
    std::string query;
    scripting::ssi_split_include_target(fuzz::as_text(data, size), file, query);
    for (const wchar_t c : file)
        FUZZ_CHECK(c >= 32 && std::wstring_view(L"<>\"|?*:").find(c) == std::wstring_view::npos);
    (void)scripting::ssi_url_decode(fuzz::as_text(data, size), true);
    (void)scripting::ssi_query_decode(fuzz::as_text(data, size));
    return 0;
}
