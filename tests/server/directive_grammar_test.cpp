// The line grammar: comments, continuation lines, name and argument, the
// AllowOverride gate, unknown directives, sections and the error traces.
#include "server_test_support.h"

using test_support::server_fixture;

namespace {

class grammar : public server_fixture {
  protected:
    config_info c;
};

TEST_F(grammar, continuation_keeps_the_blank_before_the_backslash) {
    lines(c, {L"AddType text/plain \\", L".txt"});
    ASSERT_EQ(c.added_types.count(L"txt"), 1u);
    EXPECT_EQ(c.added_types[L"txt"], "text/plain");
    EXPECT_TRUE(c.continuation.empty());
}

TEST_F(grammar, comments_and_names_with_hash) {
    lines(c, {L"  # comment", L"x#y z", L"", L"   "});
    EXPECT_EQ(c.other_directives.size(), 1u);
    EXPECT_EQ(c.other_directives[L"x#y"], L"z");
    EXPECT_EQ(sink_.take(), "");
}

// This system keeps an unknown directive for the scripts to read; it never
// fails the request because of it.
TEST_F(grammar, unknown_directive_is_kept_and_replaced_by_a_later_line) {
    lines(c, {L"Php_Value  a  b ", L"php_value c"});
    ASSERT_EQ(c.other_directives.size(), 1u);
    EXPECT_EQ(c.other_directives.begin()->first, L"Php_Value");
    EXPECT_EQ(c.other_directives.begin()->second, L"c");
}

TEST_F(grammar, line_without_white_space_traces_error_with_file_and_line) {
    lines(c, {L"# one", L"Lonely"}, L"/srv/pub/.htaccess");
    EXPECT_EQ(sink_.take(), "Error in file /srv/pub/.htaccess, line 2\n");
}

TEST_F(grammar, lone_closer_outside_a_section_is_an_error_line) {
    lines(c, {L"</Files>"});
    EXPECT_EQ(sink_.take(), "Error in file /t/.htaccess, line 1\n");
}

TEST_F(grammar, closer_with_white_space_outside_a_section_traces_unmatched) {
    lines(c, {L"</Files> x", L"</FilesMatch> x", L"</Location> x", L"</LocationMatch> y",
              L"</Limit> z"});
    EXPECT_EQ(sink_.take(),
              "Unmatched </Files> or </FilesMatch> in file /t/.htaccess, line 1\n"
              "Unmatched </Files> or </FilesMatch> in file /t/.htaccess, line 2\n"
              "Unmatched </Location> or </LocationMatch> in file /t/.htaccess, line 3\n"
              "Unmatched </Location> or </LocationMatch> in file /t/.htaccess, line 4\n"
              "Unmatched </Limit> in file /t/.htaccess, line 5\n");
}

TEST_F(grammar, directive_names_ignore_case) {
    lines(c, {L"allowoverride none"});
    EXPECT_EQ(c.allow_override, 0u);
    config_info d;
    lines(d, {L"ALLOWOVERRIDE None"});
    EXPECT_EQ(d.allow_override, 0u);
}

// In this system AllowOverride may stand in any directive file, the access
// files included; each line only narrows what later lines and files may set.
TEST_F(grammar, allow_override_gates_later_lines_and_only_narrows) {
    lines(c, {L"AllowOverride FileInfo Indexes", L"AuthName realm", L"DefaultType text/x",
              L"AllowOverride All", L"AuthName again", L"AccessFilename .acc"});
    EXPECT_EQ(c.auth_name, "");            // AuthConfig was removed
    EXPECT_EQ(c.default_type, "text/x");   // FileInfo still allowed
    EXPECT_EQ(c.allow_override, 3u);       // "All" cannot widen it again
    EXPECT_EQ(c.access_filename, L".acc"); // class 0: always permitted
}

TEST_F(grammar, limit_gated_by_allow_override_then_its_closer_is_an_error) {
    lines(c, {L"AllowOverride FileInfo", L"<Limit GET>", L"DefaultType a/b", L"</Limit>"});
    EXPECT_TRUE(c.section_stack.empty());
    EXPECT_EQ(c.default_type, "a/b");
    EXPECT_EQ(sink_.take(), "Error in file /t/.htaccess, line 4\n");
}

struct section_case {
    const wchar_t* opener;
    const wchar_t* closer;
    const wchar_t* file;
    bool applies;
};

void PrintTo(const section_case& p, std::ostream* os) {
    *os << cl::utf16_to_utf8(p.opener) << " / " << cl::utf16_to_utf8(p.file);
}

class sections : public grammar, public ::testing::WithParamInterface<section_case> {};

TEST_P(sections, apply_only_to_matching_targets) {
    const auto& p = GetParam();
    c.directory = pub() + L"sub/";
    c.file_name = p.file;
    lines(c, {p.opener, L"DefaultType x/in", p.closer, L"SSIStartTag after"});
    EXPECT_EQ(c.default_type, p.applies ? "x/in" : "") << cl::utf16_to_utf8(p.opener);
    // Matched or not, a section that looks at names marks the configuration
    // as one that can differ between the names of a folder.
    EXPECT_EQ(c.name_sections, !std::wstring_view(p.opener).starts_with(L"<Limit"));
    EXPECT_EQ(c.ssi_start_tag, "after");
    EXPECT_TRUE(c.section_stack.empty());
    EXPECT_EQ(sink_.take(), "");
}

INSTANTIATE_TEST_SUITE_P(
    table, sections,
    ::testing::Values(
        section_case{L"<Files *.php>", L"</Files>", L"a.php", true},
        section_case{L"<Files *.php>", L"</Files>", L"a.php5", false},
        section_case{L"<Files a?c.txt>", L"</files>", L"abc.txt", true},
        // Wildcards are case-sensitive: *.HTML is not a.html.
        section_case{L"<Files *.HTML>", L"</Files>", L"a.html", false},
        section_case{L"<Files x.txt \"my file.txt\">", L"</Files>", L"my file.txt", true},
        section_case{L"<Files ~ \"\\.php$\">", L"</Files>", L"a.php", true},
        section_case{L"<Files \"~\\.php$\">", L"</Files>", L"a.php", true},
        section_case{L"<Files \"~\\.php$\">", L"</Files>", L"a.phps", false},
        section_case{L"<FilesMatch \"\\.(gif|png)\" >", L"</FilesMatch>", L"a.png.bak", true},
        section_case{L"<FilesMatch ^a>", L"</FILESMATCH>", L"ba", false},
        section_case{L"<Location /sub/*>", L"</Location>", L"f.html", true},
        section_case{L"<Location /other/*>", L"</Location>", L"f.html", false},
        section_case{L"<LocationMatch ^/sub/f>", L"</LocationMatch>", L"f.html", true},
        section_case{L"<LocationMatch ^/f>", L"</LocationMatch>", L"f.html", false},
        // Method words are upper-cased before they are compared.
        section_case{L"<Limit POST get>", L"</Limit>", L"x", true},
        section_case{L"<Limit POST PUT>", L"</Limit>", L"x", false},
        // An expression the library rejects, or one that blows up while
        // matching, matches nothing and never stops the reading.
        section_case{L"<FilesMatch (unclosed>", L"</FilesMatch>", L"(unclosed", false},
        section_case{L"<Files ~ [z-a]>", L"</Files>", L"a", false},
        section_case{L"<FilesMatch \"(a*)*(b*)*(c*)*(d*)*(e*)*(f*)*(g*)*(h*)*(i*)*(j*)*(k*)*$\">",
                     L"</FilesMatch>",
                     L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaz", false}));

TEST_F(grammar, skipped_section_skips_nested_sections_of_the_same_kind) {
    c.file_name = L"a.txt";
    lines(c, {L"<Files *.php>", L"<Files x>", L"DefaultType in/nested", L"</Files>",
              L"DefaultType in/outer", L"</Files>", L"DefaultType out/side"});
    EXPECT_TRUE(c.section_stack.empty());
    EXPECT_EQ(c.default_type, "out/side");
}

TEST_F(grammar, nested_limit_in_skipped_limit_does_not_close_it_early) {
    c.method = L"POST";
    lines(c, {L"<Limit GET>", L"<Limit GET>", L"</Limit>", L"DefaultType skipped/yes", L"</Limit>",
              L"SSIEndTag done"});
    EXPECT_EQ(c.default_type, "");
    EXPECT_EQ(c.ssi_end_tag, "done");
    EXPECT_TRUE(c.section_stack.empty());
}

TEST_F(grammar, active_section_reads_its_lines_and_inner_sections) {
    c.file_name = L"a.php";
    c.method = L"GET";
    lines(c,
          {L"<Files *.php>", L"<Limit GET>", L"DefaultType both/match", L"</Limit>", L"</Files>"});
    EXPECT_EQ(c.default_type, "both/match");
    EXPECT_TRUE(c.section_stack.empty());
}

TEST_F(grammar, file_ending_inside_a_section_governs_the_next_file) {
    write_file(pub_path() / ".htaccess", "<Files *.php>\nDefaultType a/a\n");
    write_file(pub_path() / "sub" / ".htaccess", "DefaultType b/b\n</Files>\nSSIStartTag s\n");
    c.file_name = L"x.txt";
    parse_config_file(c, pub());
    ASSERT_EQ(c.section_stack.size(), 1u);
    parse_config_file(c, pub() + L"sub");
    EXPECT_EQ(c.default_type, "");
    EXPECT_EQ(c.ssi_start_tag, "s");
    EXPECT_TRUE(c.section_stack.empty());
}

TEST_F(grammar, parse_file_records_times_missing_files_and_line_numbers) {
    // A byte-order mark, CR LF and lone CR line ends.
    write_file(pub_path() / ".htaccess", "\xEF\xBB\xBF# first\r\nAuthName r\xC3\xA9\r\rBad\n");
    parse_config_file(c, pub());
    std::wstring path = pub() + L".htaccess";
    EXPECT_EQ(c.file_times.count(path), 1u);
    EXPECT_EQ(c.file_being_read, path);
    EXPECT_EQ(c.auth_name, "r\xC3\xA9");
    EXPECT_EQ(sink_.take(), "Error in file " + cl::utf16_to_utf8(path) + ", line 4\n");
    EXPECT_EQ(c.directory_being_read, pub());

    parse_config_file(c, pub() + L"none");
    EXPECT_EQ(c.missing_files.count(pub() + L"none/.htaccess"), 1u);
    EXPECT_EQ(c.file_being_read, path); // a missing file changes nothing else
}

TEST_F(grammar, utf16_files_are_read_by_their_mark) {
    std::string le = "\xFF\xFE";
    for (char ch : std::string("SSIStartTag <!--\r\n")) {
        le.push_back(ch);
        le.push_back('\0');
    }
    write_file(pub_path() / ".htaccess", le);
    parse_config_file(c, pub());
    EXPECT_EQ(c.ssi_start_tag, "<!--");
}

TEST_F(grammar, access_filename_takes_effect_for_later_files) {
    write_file(data_path() / ".htaccess", "AccessFilename .acc\n");
    write_file(pub_path() / ".acc", "AuthName from-acc\n");
    write_file(pub_path() / ".htaccess", "AuthName from-htaccess\n");
    config_info d(L"get");
    EXPECT_EQ(d.method, L"GET");
    parse_config_file(d, pub());
    EXPECT_EQ(d.auth_name, "from-acc");
}

TEST_F(grammar, rejected_file_name_is_not_read_nor_recorded) {
    config_info d;
    d.access_filename = L"bad:name";
    parse_config_file(d, pub());
    EXPECT_TRUE(d.missing_files.empty());
    EXPECT_TRUE(d.file_times.empty());
}

TEST_F(grammar, directory_table_has_48_entries_and_the_names_text) {
    EXPECT_EQ(directive_table().size(), 48u);
    std::wstring t = directive_names_text();
    EXPECT_EQ(t.rfind(L"AllowOverride\n", 0), 0u);
    EXPECT_NE(t.find(L"\nqvel_redirect_host\n"), std::wstring::npos);
    std::size_t lines_n = std::count(t.begin(), t.end(), L'\n');
    EXPECT_EQ(lines_n, 49u);
    ASSERT_NE(find_directive(L"requIRE"), nullptr);
    EXPECT_EQ(find_directive(L"Require")->override_class, 4u);
    EXPECT_EQ(find_directive(L"<limit")->override_class, 4u);
    EXPECT_EQ(find_directive(L"User")->override_class, 8u);
    EXPECT_EQ(find_directive(L"nope"), nullptr);
}

} // namespace
