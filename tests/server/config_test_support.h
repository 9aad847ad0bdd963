// A temporary tree (program data with "pub" and "private") for the tests of
// the per-path configuration: the cache, its change watches, the path rules
// and the directories read from the global file.
#pragma once
#include "core/ini_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/blocklist.h"
#include "server/directives/directives.h"
#include "server/server_dirs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace config_test {

class capture_sink : public cl::trace_base {
  public:
    void write(std::string_view text, bool) override { text_.append(text); }
    void flush(bool) override {}
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

class tree_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "scrXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ / "data" / "pub");
        std::filesystem::create_directories(dir_ / "data" / "private");
        set_data_dir(w(dir_ / "data"));
        set_public_dir(w(dir_ / "data" / "pub"));
        set_private_dir(w(dir_ / "data" / "private"));
        set_trace_level(1);
        clear_blocklist();
        build_directive_table();
        cl::trace_out.add(&sink_);
    }
    void TearDown() override {
        cl::trace_out.remove(&sink_);
        clear_blocklist();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    static std::wstring w(const std::filesystem::path& p) { return cl::utf8_to_utf16(p.string()); }
    std::filesystem::path data_path() const { return dir_ / "data"; }
    std::filesystem::path pub_path() const { return dir_ / "data" / "pub"; }
    static void write_file(const std::filesystem::path& p, const std::string& bytes) {
        std::filesystem::create_directories(p.parent_path());
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f << bytes;
    }

    std::filesystem::path dir_;
    cl::ini_file ini_;
    capture_sink sink_;
};

} // namespace config_test
