#include "scripting/cgi_command.h"
#include "scripting/cgi_file.h"
#include "scripting/run_as.h"
#include "scripting/ssi_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace scripting;

namespace {

struct command_case {
    const wchar_t* line;
    const wchar_t* script;
    bool interpreter;
    const wchar_t* text; // empty: no command
    std::vector<std::wstring> argv;
};

const command_case command_cases[] = {
    {L"#!/bin/sh", L"/p/a.cgi", false, L"\"/bin/sh\" /p/a.cgi", {L"/bin/sh", L"/p/a.cgi"}},
    {L"#! /bin/sh -e -x",
     L"/p/a.cgi",
     false,
     L"\"/bin/sh\" -e -x /p/a.cgi",
     {L"/bin/sh", L"-e", L"-x", L"/p/a.cgi"}},
    // A program path with a blank and no such file: program and argument.
    {L"#!/usr/bin/env python3",
     L"/p/a.py",
     false,
     L"\"/usr/bin/env\" python3 /p/a.py",
     {L"/usr/bin/env", L"python3", L"/p/a.py"}},
    // Quoted: used as it stands.
    {L"#!\"/opt/my tools/run\" -q",
     L"/p/a b.cgi",
     false,
     L"\"/opt/my tools/run\" -q \"/p/a b.cgi\"",
     {L"/opt/my tools/run", L"-q", L"/p/a b.cgi"}},
    {L"#!", L"/p/a.cgi", false, L"", {}},
    {L"no bang here", L"/p/a.cgi", false, L"", {}},
    {L"/usr/bin/php-cgi -c /etc/php.ini",
     L"/p/x.php",
     true,
     L"\"/usr/bin/php-cgi\" -c /etc/php.ini /p/x.php",
     {L"/usr/bin/php-cgi", L"-c", L"/etc/php.ini", L"/p/x.php"}},
    {L"   ", L"/p/x.php", true, L"", {}},
};

TEST(cgi_command, interpreter_commands) {
    for (const command_case& c : command_cases) {
        interpreter_command cmd;
        const bool built = build_interpreter_command(c.line, c.script, c.interpreter, cmd);
        EXPECT_EQ(built, c.text[0] != 0) << c.line;
        if (!built) continue;
        EXPECT_EQ(cmd.text, c.text) << c.line;
        EXPECT_EQ(cmd.argv, c.argv) << c.line;
    }
}

TEST(cgi_command, environment_block_replaces_in_place) {
    environment_block b;
    b.set("PATH", "/bin");
    b.set("A=B", std::string("x\0y", 3));
    b.set("path", "/usr/bin");
    b.set("", "ignored");
    ASSERT_EQ(b.entries().size(), 2u);
    EXPECT_EQ(b.entries()[0], "path=/usr/bin");
    EXPECT_EQ(b.entries()[1], "AB=xy");
}

TEST(cgi_file, status_lines_and_headers) {
    struct status_case {
        std::vector<cl::rfc822_header> lines;
        const char* status;
        const char* location;
    };
    const status_case cases[] = {
        {{{"HTTP/1.1 404 Not Found", ""}, {"Content-Type", "text/plain"}}, "404 Not Found", ""},
        {{{"HTTP/1.1", ""}}, "", ""},
        {{{"Status", "201 Created"}, {"Location", "/x"}}, "201 Created", "/x"},
        {{{"Location", "http://h/x"}}, "302 Found", "http://h/x"},
        {{{"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}}, "", ""},
    };
    for (const status_case& c : cases) {
        response_headers h;
        cgi_file::parse_cgi_status(c.lines, h);
        EXPECT_EQ(h.get("Status"), c.status);
        EXPECT_EQ(h.get("Location"), c.location);
        EXPECT_EQ(h.get("Content-Length"), "");
        EXPECT_EQ(h.get("Transfer-Encoding"), "");
    }
}

TEST(ssi, attributes_and_decoding) {
    EXPECT_EQ(ssi_get_attribute(" var=\"QUERY_STRING\" ", "var"), "QUERY_STRING");
    EXPECT_EQ(ssi_get_attribute(" var = plain next", "var"), "plain");
    EXPECT_EQ(ssi_get_attribute(" file=\"var=x\" var=y", "var"), "y");
    EXPECT_EQ(ssi_get_attribute(" var", "var"), "");
    EXPECT_EQ(ssi_get_attribute(" other=1", "var"), "");

    EXPECT_EQ(ssi_url_decode("/a%20b.txt", false), "/a b.txt");
    EXPECT_EQ(ssi_url_decode("/a+b", true), "/a b");
    EXPECT_EQ(ssi_url_decode("/a+b", false), "");
    EXPECT_EQ(ssi_url_decode("/a%2", false), "");
    EXPECT_EQ(ssi_url_decode("/a b", false), "");
    EXPECT_EQ(ssi_url_decode("/a:b", false), "");

    std::wstring file;
    std::string query;
    ssi_split_include_target("/cgi/q.cgi?x=1&y=a+b%21", file, query);
    EXPECT_EQ(file, L"/cgi/q.cgi");
    EXPECT_EQ(query, "x=1&y=a b!");
    ssi_split_include_target("/a%3Ab.txt", file, query);
    EXPECT_EQ(file, L"");
    EXPECT_EQ(html_escape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
}

// Accepts exactly one password for every user.
struct fixed_password final : cl::password_check {
    uint32_t check(const std::string&, const std::string& password, uint32_t) override {
        return password == "right" ? 0u : 1326u;
    }
};

// A child that writes its user id into the pipe.
spawn_spec id_child(int in, int out) {
    spawn_spec spec;
    spec.program = "/bin/sh";
    spec.argv = {"/bin/sh", "-c", "id -u"};
    spec.env = {"PATH=/usr/bin:/bin"};
    spec.stdin_fd = in;
    spec.stdout_fd = out;
    return spec;
}

std::string run_and_read(run_as_user& runner, const wchar_t* password, bool& ok) {
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    in[0] = move_above_standard(in[0]);
    out[1] = move_above_standard(out[1]);
    spawn_spec spec = id_child(in[0], out[1]);
    std::shared_ptr<child_process> child;
    ok = runner.run(L"nobody", password, spec, child);
    close(in[0]);
    close(in[1]);
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    if (child) {
        EXPECT_TRUE(child->wait_exit(10000));
        EXPECT_EQ(child->exit_code(), 0);
    }
    return text;
}

TEST(run_as, account_with_its_password) {
    fixed_password check;
    run_as_user runner(&check);
    bool ok = false;
    const std::string wrong = run_and_read(runner, L"wrong", ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(wrong, "");
    const std::string right = run_and_read(runner, L"right", ok);
    if (geteuid() != 0) {
        // Without root no id can change: a clean refusal, nothing runs.
        EXPECT_FALSE(ok);
        EXPECT_EQ(runner.last_error(), 1314u);
        EXPECT_EQ(right, "");
        return;
    }
    ASSERT_TRUE(ok);
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    EXPECT_EQ(right, std::to_string(nobody->pw_uid) + "\n");
}

TEST(spawn, missing_program_and_folder) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    const int in = move_above_standard(p[0]);
    const int out = move_above_standard(p[1]);
    spawn_spec spec = id_child(in, out);
    spec.program = "/no/such/program";
    std::shared_ptr<child_process> child;
    EXPECT_EQ(spawn_process(spec, child), 2u);
    EXPECT_EQ(child, nullptr);
    spec = id_child(in, out);
    spec.cwd = "/no/such/folder";
    EXPECT_EQ(spawn_process(spec, child), 2u);
    EXPECT_EQ(child, nullptr);
    close(in);
    close(out);
}

} // namespace
