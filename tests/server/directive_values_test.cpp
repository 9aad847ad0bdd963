// Each directive's set and get function, table-driven where the argument forms
// are many.
#include "server/blocklist.h"
#include "server_test_support.h"

using test_support::server_fixture;

namespace {

class directive_values : public server_fixture {
  protected:
    config_info c;
    std::wstring get(const wchar_t* name) { return find_directive(name)->get(c); }
};

struct round_trip {
    const wchar_t* line;
    const wchar_t* name;
    const wchar_t* expected_get;
};

void PrintTo(const round_trip& p, std::ostream* os) {
    *os << cl::utf16_to_utf8(p.line);
}

class directive_round_trip : public directive_values,
                             public ::testing::WithParamInterface<round_trip> {};

TEST_P(directive_round_trip, set_then_get) {
    const auto& p = GetParam();
    c.directory_being_read = pub();
    lines(c, {p.line});
    EXPECT_EQ(get(p.name), p.expected_get) << cl::utf16_to_utf8(p.line);
}

INSTANTIATE_TEST_SUITE_P(
    table, directive_round_trip,
    ::testing::Values(
        round_trip{L"qvel_deflateminimumsize 1024", L"qvel_deflateminimumsize", L"1024"},
        round_trip{L"SetOutputFilter DEFLATE", L"SetOutputFilter", L"deflate"},
        round_trip{L"SetOutputFilter gzip", L"SetOutputFilter", L""},
        round_trip{L"DeflateCompressionLevel -3", L"DeflateCompressionLevel", L"-3"},
        round_trip{L"DeflateMemLevel 8", L"DeflateMemLevel", L"8"},
        round_trip{L"DeflateWindowSize 12", L"DeflateWindowSize", L"12"},
        round_trip{L"SSIStartTag <!--#", L"SSIStartTag", L"<!--#"},
        round_trip{L"SSIEndTag -->", L"SSIEndTag", L"-->"},
        round_trip{L"DirectoryIndex a.html \"my page.html\"", L"DirectoryIndex",
                   L"a.html my page.html"},
        round_trip{L"ExpiresActive on", L"ExpiresActive", L"On"},
        round_trip{L"ExpiresActive yes", L"ExpiresActive", L"Off"},
        round_trip{L"ExpiresDefault A3600", L"ExpiresDefault", L"A3600"},
        round_trip{L"ExpiresDefault m60", L"ExpiresDefault", L"M60"},
        round_trip{L"ExpiresDefault M0", L"ExpiresDefault", L"M0"},
        round_trip{L"ExpiresDefault \"access plus 1 month 2 days\"", L"ExpiresDefault",
                   L"A2808000"},
        round_trip{L"ExpiresDefault \"now 1 hour\"", L"ExpiresDefault", L"A3600"},
        round_trip{L"ExpiresDefault \"modification plus 2 years\"", L"ExpiresDefault",
                   L"M63072000"},
        round_trip{L"ExpiresDefault \"modification\"", L"ExpiresDefault", L"M0"},
        round_trip{L"ExpiresByType text/html A60", L"ExpiresByType", L"text/html A60"},
        round_trip{L"DefaultType text/x-weird", L"DefaultType", L"text/x-weird"},
        round_trip{L"FileETag MTime Size", L"FileETag", L"All"},
        round_trip{L"FileETag none", L"FileETag", L"None"},
        round_trip{L"AuthName My Realm", L"AuthName", L"My Realm"},
        round_trip{L"AuthType basic", L"AuthType", L"Basic"},
        round_trip{L"AuthType DIGEST", L"AuthType", L"Digest"},
        round_trip{L"AuthType None", L"AuthType", L"None"},
        round_trip{L"AuthType NTLM", L"AuthType", L"Basic"},
        round_trip{L"User www", L"User", L"www"},
        round_trip{L"qvel_accesscontrolalloworigin *", L"qvel_accesscontrolalloworigin", L"*"},
        round_trip{L"qvel_accesscontrolalloworigin http://a http://b",
                   L"qvel_accesscontrolalloworigin", L"http://a http://b"},
        round_trip{L"AllowOverride None AuthConfig", L"AllowOverride", L"AuthConfig"},
        round_trip{L"AllowOverride AuthConfig None", L"AllowOverride", L"None"},
        round_trip{L"AllowOverride indexes userinfo fileinfo", L"AllowOverride",
                   L"FileInfo Indexes UserInfo"},
        round_trip{L"AllowOverride bogus all", L"AllowOverride", L"All"},
        round_trip{L"qvel_logging disable", L"qvel_logging", L"disable"},
        round_trip{L"qvel_logging ENABLE", L"qvel_logging", L"enable"},
        round_trip{L"qvel_lock off", L"qvel_lock", L"off"},
        round_trip{L"ForceType image/png", L"ForceType", L"image/png"},
        round_trip{L"Require user a b", L"Require", L"user a b"},
        round_trip{L"Require all denied foo", L"Require", L"invalid"},
        round_trip{L"RemoveType .x", L"RemoveType", L""},
        round_trip{L"<Files x> y", L"<Files", L""}));

TEST_F(directive_values, defaults_of_both_constructors) {
    for (const config_info& d : {config_info(), config_info(L"propfind")}) {
        EXPECT_EQ(d.expires_default, expiry_unset);
        EXPECT_EQ(d.allow_override, 0xFFFFFFFFu);
        EXPECT_EQ(d.deflate_minimum_size, 256u);
        EXPECT_EQ(d.deflate_compression_level, -1);
        EXPECT_EQ(d.deflate_mem_level, 9u);
        EXPECT_EQ(d.deflate_window_size, 15u);
        EXPECT_EQ(d.auth_type, auth_none);
        EXPECT_EQ(d.require_kind, require_all_denied);
        EXPECT_EQ(d.access_filename, L".htaccess");
        EXPECT_TRUE(d.logging);
        EXPECT_FALSE(d.file_etag || d.deflate_output || d.expires_active);
        EXPECT_FALSE(d.is_file() || d.is_directory());
    }
    EXPECT_EQ(config_info(L"propfind").method, L"PROPFIND");
    EXPECT_EQ(config_info().method, L"GET");
}

TEST_F(directive_values, empty_numbers_and_empty_index_keep_earlier_values) {
    lines(c, {L"DirectoryIndex a b", L"DirectoryIndex  \"\"  ", L"DeflateMemLevel 7"});
    find_directive(L"DeflateMemLevel")->set(c, L"");
    find_directive(L"DirectoryIndex")->set(c, L"");
    EXPECT_EQ(c.deflate_mem_level, 7u);
    EXPECT_EQ(get(L"DirectoryIndex"), L"a b");
}

TEST_F(directive_values, expiry_limits_and_messages) {
    set_trace_level(1);
    // Expiry after access is limited to one year in this system.
    lines(c, {L"ExpiresDefault A31536001"});
    EXPECT_EQ(c.expires_default, expiry_unset);
    EXPECT_EQ(sink_.take(), ""); // over a year in the short form: no message
    lines(c, {L"ExpiresDefault \"access plus 2 years\""});
    EXPECT_EQ(c.expires_default, expiry_unset);
    EXPECT_EQ(sink_.take(), "Invalid expiration time (more than 1 year is not allowed) "
                            "[\"access plus 2 years\"] in file /t/.htaccess, line 1\n");
    lines(c, {L"ExpiresDefault X10"});
    EXPECT_EQ(sink_.take(),
              "Invalid ExpiresByType parameters [X10] in file /t/.htaccess, line 1\n");
    lines(c, {L"ExpiresDefault \"access plus 1 fortnight\""});
    EXPECT_EQ(c.expires_default, expiry_unset);
    EXPECT_NE(sink_.take(), "");
    lines(c, {L"ExpiresDefault \"access plus 1\""});
    EXPECT_EQ(c.expires_default, expiry_unset);
    sink_.take();
    // A modification offset too large for the 32-bit code is refused rather
    // than wrapped into an access time.
    lines(c, {L"ExpiresDefault \"modification plus 2000000000 years\""});
    EXPECT_EQ(c.expires_default, expiry_unset);
    sink_.take();
    // Without a file being read (a script's line) nothing is traced.
    parse_expiry(config_info(), L"Q1");
    EXPECT_EQ(sink_.take(), "");
}

TEST_F(directive_values, expires_by_type_replaces_and_traces_short_arguments) {
    lines(c, {L"ExpiresByType text/html A60", L"ExpiresByType TEXT/HTML M5",
              L"ExpiresByType image/png \"access plus 1 day\"", L"ExpiresByType text/css",
              L"ExpiresByType a/b x"});
    EXPECT_EQ(get(L"ExpiresByType"), L"image/png A86400\ntext/html M5");
    EXPECT_EQ(sink_.take(),
              "Invalid ExpiresByType parameters [text/css] in file /t/.htaccess, line 4\n"
              "Invalid ExpiresByType parameters [a/b x] in file /t/.htaccess, line 5\n");
}

TEST_F(directive_values, error_documents) {
    write_file(pub_path() / "err" / "404.html", "x");
    c.directory_being_read = pub() + L"err/";
    lines(c, {L"ErrorDocument 404 https://example.invalid/nf", L"ErrorDocument 500 missing.html",
              L"ErrorDocument 403 404.html", L"ErrorDocument /err/404.html",
              L"ErrorDocument 401 /err"});
    EXPECT_EQ(c.error_documents[404], L"https://example.invalid/nf");
    EXPECT_EQ(c.error_documents.count(500), 0u) << "a missing file stores nothing";
    EXPECT_EQ(c.error_documents[403], pub() + L"err/404.html");
    EXPECT_EQ(c.default_error_document, pub() + L"err/404.html");
    EXPECT_EQ(c.error_documents.count(401), 0u) << "directories are not error documents";
    EXPECT_EQ(get(L"ErrorDocument"), pub() + L"err/404.html\n403 " + pub() +
                                         L"err/404.html\n404 "
                                         L"https://example.invalid/nf");
}

TEST_F(directive_values, file_arguments_resolve_below_root_or_reading_directory) {
    write_file(pub_path() / "users" / "list.txt", "x");
    write_file(pub_path() / "users" / "etc" / "passwd", "x");
    c.directory_being_read = pub() + L"users/";
    lines(c, {L"AuthUserFile list.txt", L"AuthGroupFile /users", L"qvel_userpwd ../../etc/passwd",
              L"RewriteScript /users"});
    EXPECT_EQ(c.auth_user_file, pub() + L"users/list.txt");
    EXPECT_EQ(c.auth_group_file, pub() + L"users"); // directories allowed here
    // A path that would leave its directory names no file.
    EXPECT_EQ(c.userpwd, L"");
    EXPECT_EQ(c.rewrite_script, L""); // a directory where a file is needed
    blocklist_add(pub() + L"users/list.txt");
    lines(c, {L"AuthUserFile list.txt"});
    EXPECT_EQ(c.auth_user_file, L"");
    clear_blocklist();
}

TEST_F(directive_values, module_paths_grow_and_lock_names_the_access_file) {
    c.directory_being_read = pub() + L"m/";
    for (const char* d : {"m/a", "b", "m/c"})
        std::filesystem::create_directories(pub_path() / d);
    lines(c, {L"qvel_add_module_path a /b missing", L"qvel_add_module_path c", L"qvel_lock ON"});
    EXPECT_EQ(get(L"qvel_add_module_path"), pub() + L"m/a/ " + pub() + L"b/ " + pub() + L"m/c/");
    EXPECT_EQ(c.lock_file, pub() + L"m/.htaccess");
    EXPECT_EQ(get(L"qvel_lock"), L"on");
}

TEST_F(directive_values, mime_types_file_feeds_the_type_table) {
    write_file(
        data_path() / "mime.types",
        "# comment\n\ntext/html html .htm\napplication/x-a a\n  application/x-b a  \nimage/none\n");
    build_directive_table();
    EXPECT_EQ(mime_types().size(), 3u);
    EXPECT_EQ(mime_types().at(L"HTM"), "text/html");
    EXPECT_EQ(mime_types().at(L"a"), "application/x-b");
    std::filesystem::remove(data_path() / "mime.types");
    build_directive_table();
    EXPECT_TRUE(mime_types().empty());
}

} // namespace
