// A fresh folder per test, removed afterwards, with small helpers to put and
// get whole files in it.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace tq_test {

class temp_dir_test : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("tq_" + std::string(info->test_suite_name()) + "_" + std::to_string(::getpid()) +
                "_" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::wstring path(const char* name) const { return (dir_ / name).wstring(); }
    void put(const char* name, const std::string& content) const {
        std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << content;
    }
    std::string get(const char* name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::filesystem::path dir_;
};

} // namespace tq_test
