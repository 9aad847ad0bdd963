// Authorization values against folders that ask for a Basic or a Digest
// login, through the server's whole access check (configuration, user
// file, scheme). A value the fuzzer writes passes only with the right name
// and password; a Digest answer made right passes once and never again;
// the trace's form of a value never holds Basic credentials.
#include "core/text.h"
#include "server/access_checker.h"
#include "server/auth_digest.h"
#include "server/config/config_cache.h"
#include "server/script_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/server_world.h"

#include <filesystem>

namespace {

cl::sh_ptr<config_info> config_of(const wchar_t* path) {
    return server_config::config_for_path(path, L"GET");
}

void set_up() {
    static const bool done = [] {
        const fuzz::server_world& w = fuzz::set_up_server();
        for (const char* kind : {"basic", "digest"}) {
            const std::string dir = w.pub + kind + "/";
            std::filesystem::create_directories(dir);
            fuzz::write_file(dir + "x.txt", "x");
            fuzz::write_file(dir + "users.txt", "\"ann\",\"secret\"\r\n");
            fuzz::write_file(dir + ".htaccess", std::string("AuthType ") + kind +
                                                    "\nAuthName Zone\nAuthUserFile users.txt\n"
                                                    "Require valid-user\n");
        }
        set_digest_secret("fuzz secret");
        return true;
    }();
    (void)done;
}

bool check(const wchar_t* path, const std::string& authorization) {
    auth_info info;
    info.method = "GET";
    info.uri = cl::utf16_to_utf8(path);
    const cl::sh_ptr<config_info> c = config_of(path);
    FUZZ_CHECK(c);
    access_checker checker(c, info, authorization);
    FUZZ_CHECK(checker.auth_applies());
    return checker.result();
}

bool clean_field(std::string_view s) {
    for (const char c : s)
        if (c == '"' || c == '\\' || c == ',' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 8192) return 0;
    set_up();
    std::string_view in = fuzz::as_text(data, size);
    const unsigned mode = fuzz::take_choice(in, 3);
    const std::string header(in);

    const std::string shown = traceable_authorization(header);
    if (cl::iequals(header.substr(0, 6), "Basic ") && header.size() > 6)
        FUZZ_CHECK(shown.substr(5).find(cl::trimmed(header.substr(6))) == std::string::npos ||
                   cl::trimmed(header.substr(6)).find_first_not_of("*") == std::string_view::npos);
    (void)auth_param(header, "username");
    (void)is_safe_user_name(basic_part(header, true));

    if (mode == 0) {
        const bool ok = check(L"/basic/x.txt", header);
        FUZZ_CHECK(ok ==
                   (basic_part(header, true) == "ann" && basic_part(header, false) == "secret"));
    } else if (mode == 1) {
        // No nonce the fuzzer could know: a Digest login never passes.
        FUZZ_CHECK(!check(L"/digest/x.txt", header));
    } else {
        // The input as the client's nonce and nc: an answer made right.
        const std::size_t cut = in.find('|');
        digest_input d;
        d.user = "ann";
        d.realm = "Zone";
        d.password = "secret";
        d.method = "GET";
        d.uri = "/digest/x.txt";
        d.nonce = new_digest_nonce();
        d.qop = "auth";
        d.cnonce = std::string(in.substr(0, cut));
        d.nc = cut == std::string_view::npos ? "00000001" : std::string(in.substr(cut + 1));
        if (!clean_field(d.cnonce) || !clean_field(d.nc) || d.nc.empty() || d.cnonce.empty() ||
            cl::trimmed(d.cnonce) != d.cnonce || cl::trimmed(d.nc) != d.nc)
            return 0;
        const std::string answer =
            "Digest username=\"ann\", realm=\"Zone\", nonce=\"" + d.nonce + "\", uri=\"" + d.uri +
            "\", qop=auth, nc=" + d.nc + ", cnonce=\"" + d.cnonce + "\", response=\"" +
            digest_response(d) + "\", opaque=\"" + md5_hex("Zone" + digest_secret()) + "\"";
        const uint32_t nc = cl::rstring_hex_to_int(d.nc);
        const bool first = check(L"/digest/x.txt", answer);
        if (first) FUZZ_CHECK(nc != 0);
        if (d.nc == "00000001") FUZZ_CHECK(first);
        // The same answer again is a replay.
        FUZZ_CHECK(!check(L"/digest/x.txt", answer));
    }
    return 0;
}
