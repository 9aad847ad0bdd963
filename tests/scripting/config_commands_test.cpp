// The configuration command interpreter, the maintenance time, the event
// script list and the dynamic-address notice.
#include "core/reg_key.h"
#include "core/uni_file.h"
#include "scripting/config_command_object.h"
#include "scripting/config_command_socket.h"
#include "scripting/config_commands.h"
#include "scripting/daily_maintenance.h"
#include "scripting/dynip_notify.h"
#include "scripting/event_scripts.h"
#include "scripting_test_support.h"
#include "server/access_log.h"
#include "server/directives/directives.h"
#include "server/dynip.h"

#include <algorithm>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using scripting_test::tree_fixture;

class commands_test : public tree_fixture {
  protected:
    void SetUp() override {
        tree_fixture::SetUp();
        ini("[param]\r\n");
    }
    void ini(const std::string& text) {
        write_file(data_path() / "global.ini", text);
        ini_.set_path(w(data_path() / "global.ini"), false);
    }
    std::wstring run(const std::wstring& line, const std::wstring& caller = L"alice") {
        return scripting::run_server_command(ini_, line, caller);
    }
    static std::string read(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(commands_test, callers_are_checked_by_the_name_they_come_with) {
    ini("[param]\r\ncommand_users= bob, alice\r\n");
    const std::wstring file = w(pub_path() / "a b.txt");
    // Open words answer everyone; changing words only listed callers,
    // compared exactly.
    EXPECT_EQ(run(L"pub_dir", L"mallory"), public_dir());
    EXPECT_EQ(run(L"block \"" + file + L"\"", L"mallory"), L"Not allowed");
    EXPECT_EQ(run(L"block \"" + file + L"\"", L"Alice"), L"Not allowed");
    EXPECT_EQ(run(L"block \"" + file + L"\"", L""), L"Not allowed");
    EXPECT_FALSE(is_blocked(file));
    EXPECT_EQ(run(L"block \"" + file + L"\"", L"alice"), L"");
    EXPECT_EQ(run(L"file_status \"" + file + L"\"", L"mallory"), L"blocked");
    EXPECT_EQ(run(L"current_user", L"mallory"), L"mallory");
    EXPECT_EQ(run(L"unblock \"" + file + L"\"", L"bob"), L"");
    EXPECT_EQ(run(L"file_status \"" + file + L"\""), L"");
    ini("[param]\r\ncommand_users=\r\n");
    EXPECT_EQ(run(L"block x.txt", L"anyone"), L"");
    EXPECT_TRUE(is_blocked(public_dir() + L"x.txt"));
}

TEST_F(commands_test, words_and_trace) {
    EXPECT_EQ(run(L"Block x"), L"unknown command");
    EXPECT_EQ(run(L"frobnicate"), L"unknown command");
    EXPECT_EQ(run(L"   "), L"");
    EXPECT_EQ(run(L"@"), L"");
    EXPECT_EQ(run(L"private_dir"), private_dir());
    EXPECT_NE(run(L"get_directives").find(L"\nAddHandler\n"), std::wstring::npos);
    sink_.text();
    const std::size_t before = sink_.text().size();
    EXPECT_EQ(run(L"@pub_dir"), public_dir());
    EXPECT_EQ(sink_.text().size(), before);
    EXPECT_EQ(run(L"pub_dir"), public_dir());
    EXPECT_NE(sink_.text().find("cmd: pub_dir\n"), std::string::npos);
}

TEST_F(commands_test, settings_are_lines_the_reader_takes_back) {
    const auto dir = pub_path() / "multi";
    std::filesystem::create_directories(dir);
    write_file(dir / ".htaccess", "Require all granted\r\n"
                                  "AddHandler java-script .jss .js\r\n"
                                  "AddType text/x-one .one .uno\r\n"
                                  "Redirect /a http://example.org/a\r\n"
                                  "Redirect /b http://example.org/b\r\n");
    const std::wstring text = run(L"get_settings " + w(dir));
    std::vector<std::wstring> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    const auto count = [&](const std::wstring& line) {
        return std::count(lines.begin(), lines.end(), line);
    };
    EXPECT_EQ(count(L"AddHandler java-script .js"), 1) << cl::utf16_to_utf8(text);
    EXPECT_EQ(count(L"AddHandler java-script .jss"), 1);
    EXPECT_EQ(count(L"AddType text/x-one .one"), 1);
    EXPECT_EQ(count(L"AddType text/x-one .uno"), 1);
    // Every line begins with a directive's name, and read back the lines
    // give the same settings.
    config_info again;
    for (const std::wstring& line : lines) {
        const std::wstring name = line.substr(0, line.find(L' '));
        EXPECT_TRUE(find_directive(name) || name.empty()) << cl::utf16_to_utf8(line);
        parse_config_line(again, line);
    }
    cl::sh_ptr<config_info> original;
    ASSERT_TRUE(scripting::get_directory_config(w(dir), original).empty());
    EXPECT_EQ(again.handlers.size(), original->handlers.size());
    EXPECT_EQ(again.added_types, original->added_types);
    EXPECT_EQ(again.redirects.size(), original->redirects.size());
    EXPECT_EQ(again.redirects.size(), 2u);
}

TEST_F(commands_test, quoted_path_arguments) {
    struct row {
        std::wstring in, word, rest;
    } rows[] = {
        {L"plain rest", L"plain", L"rest"},
        {L"\"with blank\" rest of it", L"with blank", L"rest of it"},
        {L"\"a \\\"q\\\" \\\\ b\"", L"a \"q\" \\ b", L""},
        {L"\"unclosed", L"unclosed", L""},
        {L"  ", L"", L""},
    };
    for (const row& r : rows) {
        std::wstring_view text = r.in;
        EXPECT_EQ(scripting::take_path_argument(text), r.word) << cl::utf16_to_utf8(r.in);
        EXPECT_EQ(std::wstring(text), r.rest);
    }
}

TEST_F(commands_test, access_file_edits) {
    const auto dir = pub_path() / "sub";
    std::filesystem::create_directories(dir);
    // UTF-16 LE with its mark: the rewrite keeps the encoding.
    std::string utf16 = "\xFF\xFE";
    for (const char c : std::string("DefaultType x\r\nRequire all granted\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    write_file(dir / ".htaccess", utf16);
    const std::wstring d = w(dir);
    EXPECT_EQ(run(L"insert_setting \"" + d + L"\" ExpiresActive On"), L"OK");
    EXPECT_EQ(run(L"delete_setting " + d + L" defaulttype"), L"OK");
    EXPECT_EQ(run(L"delete_setting " + d + L" NoSuchSetting"), L"OK FALSE");
    // An empty setting begins every line: refused, nothing changed.
    const std::string kept = read(dir / ".htaccess");
    EXPECT_EQ(run(L"delete_setting " + d), L"No setting given");
    EXPECT_EQ(read(dir / ".htaccess"), kept);
    cl::uni_file f;
    ASSERT_TRUE(f.open(w(dir / ".htaccess"), cl::o_rdonly | cl::o_binary));
    EXPECT_EQ(f.encoding(), cl::enc_utf16le);
    std::vector<std::wstring> lines;
    for (std::wstring line; f.read_line_w(line);)
        lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"Require all granted", L"ExpiresActive On"}));
    f.close();
    EXPECT_NE(run(L"get_settings " + d).find(L"\nRequire all granted"), std::wstring::npos);
    // No stray temporary files are left beside it.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++entries;
    EXPECT_EQ(entries, 1u);

    EXPECT_EQ(run(L"insert_setting " + w(pub_path() / "missing") + L" A b"),
              L"No public sub-directory");
    std::filesystem::create_directories(pub_path() / "empty");
    EXPECT_EQ(run(L"insert_setting " + w(pub_path() / "empty") + L" A b"),
              L"Unable to read .htaccess file");
}

TEST_F(commands_test, paths_outside_the_tree_are_refused) {
    const auto outside = dir_ / "outside";
    std::filesystem::create_directories(outside);
    write_file(outside / ".htaccess", "Require all granted\r\n");
    std::filesystem::create_directory_symlink(outside, pub_path() / "link");
    for (const std::wstring& p : {w(pub_path() / "link"), w(pub_path() / ".." / ".." / "outside"),
                                  w(outside), std::wstring(L"../../outside")})
        EXPECT_EQ(run(L"insert_setting " + p + L" Deny x"), L"No Tesk qvel directory")
            << cl::utf16_to_utf8(p);
    EXPECT_EQ(run(L"get_settings " + w(data_path() / "private")), L"No public sub-directory");
    EXPECT_EQ(read(outside / ".htaccess"), "Require all granted\r\n");
}

TEST_F(commands_test, dynamic_names_and_their_expiry) {
    EXPECT_EQ(run(L"add_dynip_redirect box 10.0.0.9 8081 1 0"), L"OK");
    EXPECT_EQ(run(L"add_dynip_redirect broken"), L"Invalid arguments");
    ASSERT_TRUE(has_dynamic_entry("box"));
    set_dynip_prefix("/dyn/");
    std::string location, address;
    int status = 0;
    uint8_t flag = 0;
    ASSERT_TRUE(lookup_dynamic_redirect("/dyn/box/x?y", location, status, address, flag));
    EXPECT_EQ(location, "http://10.0.0.9:8081/x?y");
    EXPECT_EQ(flag, 1);
    set_dynip_prefix("");
    run(L"add_dynip_redirect old 10.0.0.8 80");
    const int64_t now = 2000000000;
    ASSERT_TRUE(set_dynamic_entry_time("box", now - 600000));
    ASSERT_TRUE(set_dynamic_entry_time("old", now - 600001));
    EXPECT_EQ(expire_dynamic_entries(now), 1u);
    EXPECT_TRUE(has_dynamic_entry("box"));
    EXPECT_FALSE(has_dynamic_entry("old"));
    remove_dynamic_entry("box");
}

TEST_F(commands_test, maintenance_time) {
    struct row {
        const char* setting;
        int32_t now, expected;
    } rows[] = {
        {"03:30:00", 3 * 3600, 1800},
        {"03:30:00", 4 * 3600, -1800},
        {"03:30", 3 * 3600, -3 * 3600},
        {nullptr, 3600, -3600},
    };
    for (const row& r : rows) {
        ini(r.setting ? std::string("[param]\r\nmaintenance_time=") + r.setting + "\r\n"
                      : std::string("[param]\r\n"));
        EXPECT_EQ(scripting::seconds_until_maintenance(ini_, r.now), r.expected);
    }
    // Less than five minutes before the time: the first run is tomorrow's.
    ini("[param]\r\nmaintenance_time=03:30:00\r\n");
    access_log log;
    scripting::daily_maintenance m(ini_, log, nullptr);
    EXPECT_EQ(m.first_delay_ms(3 * 3600 + 29 * 60), (60 + 86400) * 1000LL);
    EXPECT_EQ(m.first_delay_ms(3 * 3600 + 20 * 60), 600 * 1000LL);
}

TEST_F(commands_test, event_scripts_in_file_order) {
    ini("[scripts]\r\non_start=/a.cgi\r\nOn_start=/wrong.cgi\r\non_start_2=/b.cgi  x   y \r\n"
        "on_startup=\r\non_stop=/c.cgi a b\r\n");
    std::vector<std::string> seen;
    auto run = [&](const std::string& url, const std::wstring& p) {
        seen.push_back(url + "|" + cl::utf16_to_utf8(p));
    };
    EXPECT_EQ(scripting::run_event_scripts(ini_, L"on_start", run), 2u);
    EXPECT_EQ(seen, (std::vector<std::string>{"/a.cgi|", "/b.cgi|x y"}));
    seen.clear();
    scripting::run_event_scripts(ini_, L"on_stop", run);
    EXPECT_EQ(seen, (std::vector<std::string>{"/c.cgi|a b"}));
    // A URL that maps to nothing runs nothing and says so.
    EXPECT_FALSE(scripting::run_script_url_discard_output("/nothing-here.cgi", L""));
    EXPECT_NE(sink_.text().find("run script: invalid or unallowed path"), std::string::npos);
}

TEST(dynip_notify, datagram_reaches_the_target_of_its_family) {
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string target = "127.0.0.1 " + std::to_string(ntohs(a.sin_port));

    scripting::datagram_socket v6(AF_INET6), v4(AF_INET);
    const std::string payload = scripting::dynip_payload("10.1.2.3 4567", 2);
    EXPECT_EQ(payload, "call 10.1.2.3 4567 2");
    EXPECT_FALSE(v4.send_datagram("127.0.0.1", payload)); // no blank: nothing sent
    EXPECT_FALSE(v6.send_datagram(target, payload));      // no address of that family
    ASSERT_TRUE(v4.send_datagram(target, payload));
    char buf[256];
    timeval tv{10, 0};
    ::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = ::recv(rx, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), payload);
    ::close(rx);
}

} // namespace

namespace {

TEST_F(commands_test, command_object_lives_while_registered) {
    registry::set_data_directory(data_path().string());
    scripting::config_command_options o;
    o.ini = &ini_;
    o.data_dir = w(data_path()) + L"/";
    o.module_path = L"/opt/tq/teskqvel";
    scripting::register_config_command_object(true, o);
    automation::guid clsid;
    ASSERT_EQ(automation::clsid_from_prog_id(L"teskqvel.config", &clsid), automation::s_ok);
    automation::com_ptr<automation::iunknown_i> unknown;
    ASSERT_EQ(automation::co_create_instance(clsid, nullptr, automation::clsctx_local_server,
                                             automation::iid_iunknown,
                                             reinterpret_cast<void**>(unknown.put())),
              automation::s_ok);
    automation::com_ptr<automation::idispatch_i> obj;
    ASSERT_EQ(
        unknown->query_interface(automation::iid_idispatch, reinterpret_cast<void**>(obj.put())),
        automation::s_ok);
    unknown.reset();
    auto call = [&](const std::wstring& line) {
        automation::dispid id = 0;
        const std::wstring name = L"cmd";
        EXPECT_EQ(obj->get_ids_of_names(automation::iid_null, &name, 1, 0, &id), automation::s_ok);
        automation::dispparams p =
            automation::dispparams::of({automation::variant::from_bstr(line)});
        automation::variant result;
        EXPECT_EQ(obj->invoke(id, automation::iid_null, 0, automation::dispatch_method, p, &result,
                              nullptr, nullptr),
                  automation::s_ok);
        return result.bstr();
    };
    EXPECT_EQ(call(L""), L"");
    EXPECT_EQ(call(L"pub_dir"), public_dir());
    // The same commands come through the socket, named by the peer.
    std::string result, error;
    ASSERT_TRUE(scripting::send_config_command(scripting::config_socket_path(o.data_dir),
                                               "current_user", result, error))
        << error;
    EXPECT_EQ(cl::utf8_to_utf16(result), scripting::current_user_name());
    obj.reset();
    scripting::register_config_command_object(false, o);
    EXPECT_FALSE(scripting::send_config_command(scripting::config_socket_path(o.data_dir),
                                                "pub_dir", result, error));
    void* none = nullptr;
    EXPECT_EQ(automation::co_create_instance(clsid, nullptr, automation::clsctx_local_server,
                                             automation::iid_iunknown, &none),
              automation::regdb_e_classnotreg);
    cl::reg_key k;
    EXPECT_FALSE(k.open(registry::hkey_classes_root, L"teskqvel.config", registry::key_read));
}

} // namespace

namespace {

TEST_F(commands_test, socket_in_a_directory_with_a_long_path) {
    // Longer than a socket address holds: reached through the directory.
    const auto deep = data_path() / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    const std::string path = scripting::config_socket_path(w(deep) + L"/");
    ASSERT_GT(path.size(), 108u);
    scripting::config_command_listener listener;
    ASSERT_TRUE(listener.start(path, [](const std::wstring& line, const std::wstring& caller) {
        return line + L" from " + caller;
    }));
    std::string result, error;
    ASSERT_TRUE(scripting::send_config_command(path, "ping\n", result, error)) << error;
    EXPECT_EQ(result, "ping from " + cl::utf16_to_utf8(scripting::current_user_name()));
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    listener.stop();
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
