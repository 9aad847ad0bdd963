// Shared pieces of the server tests: a script host fake, a trace capture and a
// temporary folder per test.
#pragma once
#include "core/text.h"
#include "core/trace.h"
#include "server/config/config_cache.h"
#include "server/directives/directives.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace test_support {

class capture_sink : public cl::trace_base {
  public:
    void write(std::string_view text, bool) override { text_.append(text); }
    void flush(bool) override {}
    std::string take() { return std::exchange(text_, std::string()); }

  private:
    std::string text_;
};

// Stands in for the script host with the behaviour the server relies on.
class fake_script_host : public script_host {
  public:
    std::string get_user_value(const std::wstring& file, const std::string& key,
                               const std::string& field) override {
        ++lookups;
        last_field = field;
        auto it = values.find({cl::utf16_to_utf8(file), key});
        return it == values.end() ? std::string() : it->second;
    }

    std::map<std::pair<std::string, std::string>, std::string> values;
    std::string last_field;
    int lookups = 0;
};

// A fresh temporary folder with "pub/" (document root) and "data/"
// (program-data directory), the fake host installed and traces captured.
class server_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "srvXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ / "pub");
        std::filesystem::create_directories(dir_ / "data");
        set_script_host(&host_);
        set_public_dir(w(dir_ / "pub"));
        set_data_dir(w(dir_ / "data"));
        set_trace_level(1);
        build_directive_table();
        cl::trace_out.add(&sink_);
    }
    void TearDown() override {
        cl::trace_out.remove(&sink_);
        server_config::set_config_source(nullptr);
        set_script_host(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    static std::wstring w(const std::filesystem::path& p) { return cl::utf8_to_utf16(p.string()); }
    std::wstring pub() const { return public_dir(); }
    std::filesystem::path pub_path() const { return dir_ / "pub"; }
    std::filesystem::path data_path() const { return dir_ / "data"; }

    static void write_file(const std::filesystem::path& p, const std::string& bytes) {
        std::filesystem::create_directories(p.parent_path());
        std::ofstream f(p, std::ios::binary);
        f << bytes;
    }
    // Applies lines as the given file's content would.
    static void lines(config_info& c, std::initializer_list<const wchar_t*> ls,
                      const std::wstring& source = L"/t/.htaccess") {
        uint32_t n = 1;
        for (const wchar_t* l : ls)
            parse_config_line_at(c, l, source, n++);
    }

    std::filesystem::path dir_;
    fake_script_host host_;
    capture_sink sink_;
};

} // namespace test_support
