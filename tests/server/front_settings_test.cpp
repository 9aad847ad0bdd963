// Server settings from "global.ini": defaults, "current value" keys that a
// command-line switch set, the clamps and the stored dynamic-address password.
#include "core/ini_file.h"
#include "core/text.h"
#include "server/server_settings.h"
#include "system/password_crypt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

class settings_test : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "setXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        file_ = dir_ / "global.ini";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void write(const std::string& text) {
        std::ofstream f(file_, std::ios::binary);
        f << text;
        ini_.set_path(cl::utf8_to_utf16(file_.string()), true);
    }
    server_values read(const shell_values& shell = shell_values()) {
        server_values v;
        read_server_settings(ini_, shell, v);
        return v;
    }

    std::filesystem::path dir_, file_;
    cl::ini_file ini_;
};

TEST(priority_names, exact_names_only) {
    const struct {
        const wchar_t* text;
        priority_class expected;
    } cases[] = {
        {L"normal", priority_class::normal},
        {L"above_normal", priority_class::above_normal},
        {L"below_normal", priority_class::below_normal},
        {L"high", priority_class::high},
        {L"High", priority_class::normal},
        {L"realtime", priority_class::normal},
        {L"", priority_class::normal},
    };
    for (const auto& c : cases)
        EXPECT_EQ(priority_from_name(c.text), c.expected) << cl::utf16_to_utf8(c.text);
}

TEST_F(settings_test, defaults_of_an_empty_file) {
    write("[param]\r\n");
    shell_values shell;
    shell.product_name = L"Tesk qvel";
    const server_values v = read(shell);
    EXPECT_EQ(v.max_connections, 5000u);
    EXPECT_EQ(v.connection_timeout, 300u);
    EXPECT_EQ(v.server_port, 80u);
    EXPECT_EQ(v.https_port, 0u);
    EXPECT_EQ(v.host_name, L"+");
    EXPECT_EQ(v.rel_uri, L"");
    EXPECT_EQ(v.server_name, "Tesk qvel");
    EXPECT_EQ(v.thread_cleanup_interval, 2000u);
    EXPECT_TRUE(v.proxy_port.empty());
    EXPECT_FALSE(v.dump_request_body);
    EXPECT_TRUE(v.enable_kernel_streaming);
}

TEST_F(settings_test, values_of_the_file) {
    write("[param]\r\nserver_port=8080\r\nhttps_port=8443\r\nhost_name=127.0.0.1\r\n"
          "rel_uri=dav\r\nmax_connections=1\r\nserver_name=caf\xc3\xa9\r\n"
          "server_priority=High\r\nproxy_port=3128\r\n");
    const server_values v = read();
    EXPECT_EQ(v.server_port, 8080u);
    EXPECT_EQ(v.https_port, 8443u);
    EXPECT_EQ(v.host_name, L"127.0.0.1");
    EXPECT_EQ(v.rel_uri, L"dav");
    EXPECT_EQ(v.max_connections, 1u);
    EXPECT_EQ(v.server_name, "caf\xc3\xa9");
    EXPECT_EQ(v.server_priority, priority_class::normal);
    EXPECT_EQ(v.proxy_port, L"3128");
}

TEST_F(settings_test, cleanup_interval_is_raised_to_500) {
    write("[param]\r\nthread_cleanup_interval=100\r\n");
    EXPECT_EQ(read().thread_cleanup_interval, 500u);
    write("[param]\r\nthread_cleanup_interval=700\r\n");
    EXPECT_EQ(read().thread_cleanup_interval, 700u);
}

TEST_F(settings_test, switches_hold_unless_the_file_has_the_key) {
    shell_values shell;
    shell.dump_request_body = true;
    shell.enable_script_debugging = true;
    write("[param]\r\n");
    server_values v = read(shell);
    EXPECT_TRUE(v.dump_request_body);
    EXPECT_TRUE(v.enable_script_debugging);
    write("[param]\r\ndump_request_body=0\r\nenable_script_debugging=0\r\n");
    v = read(shell);
    EXPECT_FALSE(v.dump_request_body);
    EXPECT_FALSE(v.enable_script_debugging);
}

TEST_F(settings_test, plain_dynip_password_after_bang_is_stored_encrypted) {
    shell_values shell;
    shell.master_password = "master";
    write("[dynip]\r\npassword= !secret \r\nprefix=dyn\r\n");
    const server_values v = read(shell);
    EXPECT_EQ(v.dynip_prefix, L"/dyn");
    std::wstring stored;
    ASSERT_TRUE(ini_.get_value(L"dynip", L"password", stored));
    EXPECT_NE(stored, L"!secret");
    EXPECT_EQ(decrypt_hex_string(stored, "master"), L"secret");

    write("[dynip]\r\npassword=plain\r\nprefix=/dyn\r\n");
    EXPECT_EQ(read(shell).dynip_prefix, L"/dyn");
    ASSERT_TRUE(ini_.get_value(L"dynip", L"password", stored));
    EXPECT_EQ(stored, L"plain");
}

TEST_F(settings_test, log_dir_default_and_trailing_slash) {
    write("[param]\r\n");
    EXPECT_EQ(read_log_dir(ini_, L"/srv/pub/"), L"/srv/pub/logs/");
    write("[Param]\r\nlog_dir=/var/log/q\r\n");
    EXPECT_EQ(read_log_dir(ini_, L"/srv/pub/"), L"/var/log/q/");
    write("[Param]\r\nlog_dir=\r\n");
    EXPECT_EQ(read_log_dir(ini_, L"/srv/pub/"), L"");
}

} // namespace
