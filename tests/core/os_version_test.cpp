#include "core/os_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

namespace {

os_facts sample_facts(uint32_t procs) {
    os_facts f;
    f.valid = true;
    f.sysname = "Linux";
    f.release = "6.1.0-18-amd64";
    f.kernel_build = "#1 SMP Debian 6.1.76-1";
    f.machine = "x86_64";
    f.pretty_name = "Debian GNU/Linux 12 (bookworm)";
    f.processors = procs;
    f.page_size = 4096;
    f.lang_id = 0x0407;
    return f;
}

std::wstring bits() {
    return os_version::is_x64() ? L" (x64)" : L"";
}

TEST(os_version, flags_and_numbers) {
    os_version v(sample_facts(4));
    EXPECT_TRUE(v.valid);
    EXPECT_EQ(v.number, 602u);
    EXPECT_EQ(v.number, v.major * 100 + v.minor);
    EXPECT_TRUE(v.is_nt5 && v.is_xp && v.is_2003 && v.is_vista && v.is_win7 && v.is_win8);
    EXPECT_FALSE(v.is_9x || v.is_98 || v.is_me || v.is_ce || v.is_wow64 || v.faked);
    EXPECT_EQ(v.build, 6001u);
    EXPECT_EQ(v.service_pack, 0u);
    EXPECT_EQ(v.service_pack_number, 0u);
    EXPECT_EQ(v.processors, 4u);
    EXPECT_EQ(v.page_size, 4096u);
    EXPECT_EQ(std::wstring(v.short_name), os_short_name(602, os_version::is_x64()));
    EXPECT_EQ(v.build_lab, L"#1 SMP Debian 6.1.76-1");
}

TEST(os_version, texts_in_shape) {
    os_version v(sample_facts(4));
    EXPECT_EQ(v.name, L"Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(v.edition, L" (Linux 6.1.0-18-amd64 x86_64)");
    EXPECT_EQ(v.long_text, L"Debian GNU/Linux 12 (bookworm)" + bits() +
                               L" v6.02.6001 (Linux 6.1.0-18-amd64 x86_64) (4 procs), LangId 0407");
    EXPECT_EQ(v.version_text, L"6.02.6001 (Linux 6.1.0-18-amd64 x86_64) (4 procs)" + bits());
    EXPECT_EQ(v.name_sp_text, L"Debian GNU/Linux 12 (bookworm)");
}

// The build enters the registration text only below 6003.
TEST(os_version, registration_text_leaves_large_builds_out) {
    const struct {
        const char* release;
        const char* head;
    } cases[] = {
        {"6.1.0-18-amd64", "6.02 6001; "},
        {"6.2.0", "6.02 6002; "},
        {"6.3.0", "6.02; "},
        {"6.10.4", "6.02; "},
    };
    for (const auto& c : cases) {
        os_facts f = sample_facts(2);
        f.release = c.release;
        const std::string text = registration_text(os_version(f));
        EXPECT_EQ(text.substr(0, std::strlen(c.head)), c.head) << c.release;
    }
}

TEST(os_version, one_processor_has_no_processor_part) {
    os_version one(sample_facts(1));
    EXPECT_EQ(one.long_text.find(L"procs"), std::wstring::npos);
    EXPECT_EQ(one.version_text.find(L"procs"), std::wstring::npos);
    os_version two(sample_facts(2));
    EXPECT_NE(two.long_text.find(L" (2 procs)"), std::wstring::npos);
}

TEST(os_version, fallbacks_of_the_facts) {
    os_facts f = sample_facts(1);
    f.pretty_name.clear();
    EXPECT_EQ(os_version(f).name, L"Linux");
    f.sysname.clear();
    f.release = "weird";
    f.machine.clear();
    os_version bare(f);
    EXPECT_EQ(bare.name, std::wstring(bare.short_name));
    EXPECT_EQ(bare.edition, L" (weird)");
    EXPECT_EQ(bare.build, 0u);
    f.release = "10.20.3";
    EXPECT_EQ(os_version(f).build, 10020u);

    os_facts failed;
    os_version none(failed);
    EXPECT_FALSE(none.valid);
    EXPECT_EQ(none.number, 0u);
    EXPECT_FALSE(none.is_xp);
    EXPECT_TRUE(none.long_text.empty());
}

TEST(os_version, short_names) {
    struct row {
        uint32_t number;
        const wchar_t* name32;
        const wchar_t* name64;
    } rows[] = {
        {400, L"Windows NT", L"Windows XP/Server 2003 (x64)"},
        {500, L"Windows 2000", L"Windows XP/Server 2003 (x64)"},
        {501, L"Windows XP", L"Windows XP/Server 2003 (x64)"},
        {502, L"Windows Server 2003", L"Windows XP/Server 2003 (x64)"},
        {599, L"Windows Server 2003", L"Windows XP/Server 2003 (x64)"},
        {600, L"Windows Vista", L"Windows Vista (x64)"},
        {601, L"Windows 7", L"Windows 7 (x64)"},
        {602, L"Windows 8", L"Windows 8 (x64)"},
        {603, L"Windows 8", L"Windows 8 (x64)"},
    };
    for (const auto& r : rows) {
        EXPECT_STREQ(os_short_name(r.number, false), r.name32) << r.number;
        EXPECT_STREQ(os_short_name(r.number, true), r.name64) << r.number;
    }
    EXPECT_STREQ(required_os_name(), L"Windows XP");
}

TEST(os_version, running_system) {
    const os_version& v = os_version::instance();
    ASSERT_TRUE(v.valid);
    EXPECT_TRUE(v.is_vista);
    EXPECT_GE(v.processors, 1u);
    EXPECT_GT(v.page_size, 0u);
    EXPECT_FALSE(v.name.empty());
    std::wregex shape(L".+ v6\\.02\\.[0-9]+.*, LangId [0-9a-f]{4}");
    EXPECT_TRUE(std::regex_match(v.long_text, shape)) << v.long_text;
    std::string reg = registration_text();
    EXPECT_EQ(reg.rfind("6.02", 0), 0u) << reg;
    EXPECT_NE(reg.find("; "), std::string::npos);
}

TEST(machine_values, differ_between_calls) {
    uint8_t a[16], b[16];
    entropy_seed(a);
    entropy_seed(b);
    EXPECT_NE(std::memcmp(a, b, 16), 0);
    EXPECT_NE(machine_hash(false), machine_hash(false));
    EXPECT_NE(machine_hash(true), machine_hash(true));
}

} // namespace
