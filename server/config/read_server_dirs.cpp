#include "server/config/read_server_dirs.h"

#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/version.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/req_info.h"
#include "server/server_dirs.h"

namespace server_config {

namespace {

const std::wstring section = L"Param";

// A configured directory as an absolute plain path ending in "/": relative
// values are taken from `base`; "." and ".." steps are resolved so that the
// prefix tests of the path checks compare like with like. Empty when the
// value cannot be made into one.
std::wstring absolute_dir(std::wstring value, const std::wstring& base) {
    if (value.empty()) return {};
    if (value.front() != L'/') value = cl::with_backslash(base) + value;
    std::wstring plain = resolve_relative_path(value);
    if (plain.empty() || plain.front() != L'/') return {};
    cl::append_backslash(plain);
    return plain;
}

std::wstring read_trimmed(cl::ini_file& ini, const wchar_t* key, const wchar_t* def) {
    std::wstring v = ini.get_string_or(section, key, def);
    cl::trim_w(v);
    return v;
}

} // namespace

std::string server_software_text() {
    return std::string(cl::product_name) + "/" + cl::product_version;
}

void read_server_dirs(cl::ini_file& ini) {
    const std::wstring data = data_dir();

    std::wstring pub = read_trimmed(ini, L"public_dir", L"pub/");
    if (pub.empty()) pub = L"pub/";
    pub = absolute_dir(pub, data);
    if (pub.empty()) pub = absolute_dir(L"pub/", data);
    cl::trace_out.write_w(L"public dir: " + pub + L"\n");

    std::wstring media = read_trimmed(ini, L"media_dir", L"media/");
    media = absolute_dir(media, pub);
    cl::trace_out.write_w(L"media dir: " + media + L"\n");

    std::wstring priv = read_trimmed(ini, L"private_dir", L"private/");
    if (priv.empty()) priv = L"private/";
    priv = absolute_dir(priv, data);
    if (priv.empty()) priv = absolute_dir(L"private/", data);
    cl::trace_out.write_w(L"private dir: " + priv + L"\n");

    set_public_dir(pub);
    set_media_dir(media);
    set_private_dir(priv);
    set_server_software(server_software_text());
    // The creation variables of every request (SERVER_SOFTWARE,
    // DOCUMENT_ROOT, _TSKQVL_PRIVATE_DIR).
    set_cgi_values({server_software_text(), cl::utf16_to_utf8(pub), cl::utf16_to_utf8(priv)});

    load_blocklist();

    set_caldav_prefix(read_trimmed(ini, L"caldav_prefix", L"caldav_"));
    set_carddav_prefix(read_trimmed(ini, L"carddav_prefix", L"carddav_"));
}

} // namespace server_config
