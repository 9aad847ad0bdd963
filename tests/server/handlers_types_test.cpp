// Handlers, types and the Require rule.
#include "server/directives/handler_registry.h"
#include "server_test_support.h"

using test_support::server_fixture;

namespace {

class types : public server_fixture {
  protected:
    config_info c;
};

TEST_F(types, add_handler_maps_every_listed_extension) {
    lines(c, {L"AddHandler cgi-script .cgi pl", L"AddHandler CGI-Script .",
              L"AddHandler java-script jss"});
    automation::guid id{};
    EXPECT_EQ(c.handlers.size(), 3u);
    EXPECT_EQ(c.handler_for_file(L"/x/a.cgi", id), handler_cgi_script);
    EXPECT_EQ(c.handler_for_file(L"a.PL", id), handler_cgi_script);
    EXPECT_EQ(c.handler_for_file(L"a.jss", id), handler_java_script);
    EXPECT_EQ(id, clsid_jscript);
    EXPECT_EQ(c.handler_for_file(L"a.txt", id), 0u);
    EXPECT_EQ(find_directive(L"AddHandler")->get(c),
              L"cgi-script cgi\njava-script jss\ncgi-script pl");
}

TEST_F(types, handler_segments_are_tried_from_the_right) {
    lines(c, {L"AddHandler server-parsed shtml", L"AddHandler php-script php"});
    automation::guid id{};
    EXPECT_EQ(c.handler_for_file(L"a.php.shtml", id), handler_server_parsed);
    EXPECT_EQ(c.handler_for_file(L"a.php.bak", id), handler_php_script);
    // The part before the first dot is never an extension.
    EXPECT_EQ(c.handler_for_file(L"php", id), 0u);
    EXPECT_EQ(c.handler_for_file(L"/dir.php/readme", id), 0u);
    lines(c, {L"RemoveHandler .php shtml"});
    EXPECT_TRUE(c.handlers.empty());
}

TEST_F(types, prog_id_handlers_need_a_registered_class) {
    lines(c, {L"AddHandler My.Object x"});
    EXPECT_TRUE(c.handlers.empty());
    const automation::guid mine{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    set_progid_resolver([&](const std::wstring& id, automation::guid& out) {
        if (id != L"My.Object") return false;
        out = mine;
        return true;
    });
    lines(c, {L"AddHandler My.Object x", L"AddHandler Other.Object y"});
    set_progid_resolver(nullptr);
    automation::guid id{};
    EXPECT_EQ(c.handler_for_file(L"a.x", id), handler_prog_id);
    EXPECT_EQ(id, mine);
    EXPECT_EQ(c.handlers.count(L"y"), 0u);
    EXPECT_EQ(find_directive(L"AddHandler")->get(c), L"My.Object x");
}

struct type_case {
    std::vector<const wchar_t*> lines;
    const wchar_t* name;
    const char* type;
};

void PrintTo(const type_case& p, std::ostream* os) {
    *os << cl::utf16_to_utf8(p.name);
}

class mime_lookup : public types, public ::testing::WithParamInterface<type_case> {};

TEST_P(mime_lookup, type_of_file) {
    write_file(data_path() / "mime.types", "text/html html\napplication/gzip gz\n");
    build_directive_table();
    for (const wchar_t* l : GetParam().lines)
        lines(c, {l});
    EXPECT_EQ(c.mime_type_of_file(GetParam().name), GetParam().type)
        << cl::utf16_to_utf8(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    table, mime_lookup,
    ::testing::Values(
        type_case{{}, L"a.html", "text/html"},
        type_case{{L"AddType text/plain .html"}, L"x.HTML", "text/plain"},
        type_case{{}, L"a.tar.gz", "application/gzip"},
        type_case{{L"AddType application/x-tar tar"}, L"a.tar.zz", "application/x-tar"},
        type_case{{}, L"a.xyz", "application/xyz"},
        type_case{{}, L"README", "application/octet-stream"},
        type_case{{}, L"/d.html/README", "application/octet-stream"},
        type_case{{L"DefaultType text/x-def"}, L"a.xyz", "text/x-def"},
        type_case{{L"ForceType image/gif", L"AddType text/plain html"}, L"a.html", "image/gif"},
        type_case{{L"AddType text/plain .html txt", L"RemoveType .html"}, L"a.html", "text/html"},
        type_case{{L"AddType text/plain ."}, L"a.", "application/octet-stream"}));

TEST_F(types, add_type_get_text) {
    lines(c, {L"AddType text/html .txt", L"AddType text/plain TXT", L"AddType text/css css"});
    EXPECT_EQ(find_directive(L"AddType")->get(c), L"text/css css\ntext/plain txt");
}

class vars : public request_variables {
  public:
    std::string get(std::string_view name) const override {
        return name == "HTTPS" ? "on" : name == "EMPTY" ? "" : "";
    }
};

struct require_case {
    std::vector<const wchar_t*> lines;
    const char* method;
    bool passes;
    int32_t kind;
};

void PrintTo(const require_case& p, std::ostream* os) {
    *os << (p.lines.empty() ? std::string() : cl::utf16_to_utf8(p.lines.back())) << " " << p.method;
}

class require_rule : public types, public ::testing::WithParamInterface<require_case> {};

TEST_P(require_rule, check_require) {
    const auto& p = GetParam();
    for (const wchar_t* l : p.lines)
        lines(c, {l});
    vars v;
    EXPECT_EQ(c.require_kind, p.kind);
    EXPECT_EQ(check_require(p.method, c, &v), p.passes);
}

INSTANTIATE_TEST_SUITE_P(
    table, require_rule,
    ::testing::Values(
        require_case{{}, "GET", false, require_all_denied},
        require_case{{L"Require all granted"}, "GET", true, require_all_granted},
        require_case{{L"AuthType Basic", L"Require all granted"}, "GET", true, require_all_granted},
        require_case{{L"Require all denied"}, "GET", false, require_all_denied},
        require_case{{L"Require all denied foo"}, "GET", false, require_invalid},
        require_case{{L"Require all"}, "GET", false, require_invalid},
        require_case{{L"Require All granted"}, "GET", false, require_invalid}, // first word exact
        require_case{{L"Require valid-user"}, "GET", false, require_valid_user},
        require_case{{L"AuthType Digest", L"Require valid-user"}, "GET", true, require_valid_user},
        require_case{{L"Require user a"}, "GET", false, require_user},
        require_case{{L"AuthType Basic", L"Require user a"}, "GET", true, require_user},
        require_case{{L"AuthType Basic", L"Require group g"}, "GET", true, require_group},
        require_case{{L"Require env HTTPS"}, "GET", true, require_env},
        require_case{{L"Require env EMPTY MISSING"}, "GET", false, require_env},
        require_case{{L"Require method get post"}, "POST", true, require_method},
        require_case{{L"Require method get post"}, "PUT", false, require_method},
        require_case{{L"Require ip 127.0.0.1"}, "GET", false, require_invalid},
        require_case{{L"Require ip 1", L"Require all granted"}, "GET", true, require_all_granted},
        // The last Require line decides; this system never combines several.
        require_case{
            {L"Require method GET", L"Require all denied"}, "GET", false, require_all_denied}));

TEST_F(types, require_traces_conflicts_and_unsupported_forms) {
    lines(c, {L"Require ip 10.0.0.1"}, L"/p/.htaccess");
    EXPECT_EQ(sink_.take(), "Unsuported Require ip in file /p/.htaccess, line 1\n");
    EXPECT_EQ(c.require_text, "invalid");
    lines(c, {L"Require user bob"});
    EXPECT_FALSE(check_require("GET", c, nullptr));
    EXPECT_EQ(sink_.take(), "conflicting AuthType and Require directive!\n");
    lines(c, {L"Require bogus"});
    EXPECT_EQ(c.require_names, std::vector<std::string>{"bob"})
        << "names stay after an invalid line";
}

TEST_F(types, actual_user_names_become_directories_below_the_reading_directory) {
    c.directory_being_read = pub() + L"home/";
    lines(c, {L"Require actual-user users /other ../up bad:name"});
    ASSERT_EQ(c.require_names.size(), 4u);
    std::string base = cl::utf16_to_utf8(pub()) + "home/";
    EXPECT_EQ(c.require_names[0], base + "users/");
    EXPECT_EQ(c.require_names[1], base + "other/");
    // A name that would leave the reading directory resolves to nothing, and
    // so to the reading directory itself, as "." does.
    EXPECT_EQ(c.require_names[2], base);
    EXPECT_EQ(c.require_names[3], "");
}

} // namespace
