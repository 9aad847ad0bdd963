#include "system/system_helpers.h"

#include "../common/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(system_helpers, hex_dump_lines) {
    std::string bytes;
    for (int i = 0; i < 17; ++i)
        bytes += char('A' + i);
    bytes[1] = '\n';
    bytes[2] = char(0xE4);
    const std::string text = sys::hex_dump_text(bytes.data(), bytes.size(), ">", "+");
    EXPECT_EQ(text, ">41 0a e4 44 45 46 47 48-49 4a 4b 4c 4d 4e 4f 50 A..DEFGHIJKLMNOP\n"
                    "+51" +
                        std::string(46, ' ') + "Q\n");
    // A single byte has no character column.
    EXPECT_EQ(sys::hex_dump_text("x", 1, "", ""), "78\n");
    EXPECT_EQ(sys::hex_dump_text("x", 0, "", ""), "");
    // Every line is exactly as wide as a full one, whatever the count.
    for (std::size_t n = 2; n <= 40; ++n) {
        const std::string t = sys::hex_dump_text(std::string(n, 'z').data(), n, "", "");
        const auto last = t.rfind('\n', t.size() - 2);
        const std::string line = t.substr(last == std::string::npos ? 0 : last + 1);
        EXPECT_EQ(line.size(), 48 + (n % 16 ? n % 16 : 16) + 1) << n;
    }
}

TEST(system_helpers, names_of_states_and_events) {
    EXPECT_EQ(sys::service_state_name(4), "running");
    EXPECT_EQ(sys::service_state_name(7), "paused");
    EXPECT_EQ(sys::service_state_name(9), "Unknown status (9)");
    EXPECT_EQ(sys::session_change_name(1, 0), "console connect");
    EXPECT_EQ(sys::session_change_name(8, 2), "session unlock");
    EXPECT_EQ(sys::session_change_name(12, 255), "unknown (12 ff)");
    EXPECT_EQ(sys::swap_bytes16(0x1234), 0x3412);
    EXPECT_EQ(sys::swap_bytes32(0x12345678u), 0x78563412u);
}

using system_process = tq_test::temp_dir_test;

TEST_F(system_process, runs_an_argument_vector_without_a_shell) {
    // A shell would expand the "$" and run the second command.
    ASSERT_TRUE(sys::run_process({"touch", "made; touch made2 $USER"}, dir_.string(), true, true));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "made; touch made2 $USER"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "made2"));
    // The folder is the child's working directory.
    ASSERT_TRUE(sys::run_process({"touch", "relative"}, dir_.string(), true, true));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "relative"));
    EXPECT_FALSE(sys::run_process({"/nonexistent/program"}, "", true, true));
    EXPECT_FALSE(sys::open_url("--help"));
}

TEST(system_helpers, module_of_an_address) {
    std::wstring name;
    uint64_t offset = 0;
    ASSERT_TRUE(
        sys::module_of_address(reinterpret_cast<const void*>(&sys::hex_dump_text), name, offset));
    EXPECT_NE(name.find(L"tests_system"), std::wstring::npos);
    EXPECT_GT(offset, 0u);
    EXPECT_EQ(sys::own_module_name(), L"tests_system");
}

} // namespace
