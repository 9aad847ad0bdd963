#include "core/reg_key.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace registry;

namespace {

class RegKey : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        static std::atomic<int> n{0};
        dir_ = fs::path(base ? base : "/tmp") /
               ("reg_key_" + std::to_string(getpid()) + "_" + std::to_string(n++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        set_data_directory(dir_.string());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

} // namespace

TEST_F(RegKey, NewHolderHasNoKeyAndOpensUnderTheMachineRootByDefault) {
    cl::reg_key k;
    EXPECT_EQ(k.handle(), cl::reg_key::no_key);
    EXPECT_EQ(k.last_error(), 0);
    EXPECT_FALSE(k.open(0, L"Software\\Tesk\\teskqvel", key_read));
    EXPECT_EQ(k.last_error(), 2);
    EXPECT_FALSE(k.is_open());

    ASSERT_TRUE(cl::reg_write_string(0, L"Software\\Tesk\\teskqvel", L"install_dir", L"/opt/t"));
    ASSERT_TRUE(k.open(L"Software\\Tesk\\teskqvel")); // path first, machine root, read access
    EXPECT_EQ(k.query_string_or(L"install_dir", L"none"), L"/opt/t");
    EXPECT_FALSE(k.set_dword(L"x", 1)); // opened for reading
    EXPECT_EQ(k.last_error(), 5);
    cl::reg_key u;
    EXPECT_FALSE(u.open(hkey_current_user, L"Software\\Tesk\\teskqvel", key_read));

    k.reset(); // forgets the key without closing it
    EXPECT_FALSE(k.is_open());
    EXPECT_EQ(k.last_error(), 0);
}

TEST_F(RegKey, StringsOfEveryLengthReadBack) {
    cl::reg_key k;
    ASSERT_TRUE(k.create(L"s"));
    // 63 characters and the NUL fill the first buffer exactly; longer ones
    // take the second read.
    for (std::size_t len : {0u, 1u, 63u, 64u, 127u, 128u, 5000u}) {
        SCOPED_TRACE(len);
        std::wstring v(len, L'x');
        for (std::size_t i = 0; i < len; ++i)
            v[i] = wchar_t(L'a' + i % 26);
        ASSERT_TRUE(k.set_value(L"v", reg_sz, v.c_str(), uint32_t((len + 1) * sizeof(wchar_t))));
        std::wstring out;
        ASSERT_TRUE(k.query_string_w(L"v", out));
        EXPECT_EQ(out, v);
    }
    const wchar_t padded[] = L"abc\0\0";
    ASSERT_TRUE(k.set_value(L"p", reg_expand_sz, padded, sizeof padded));
    std::wstring out;
    ASSERT_TRUE(k.query_string_w(L"p", out));
    EXPECT_EQ(out, L"abc");

    ASSERT_TRUE(k.set_string_a(L"utf8", "Grüße \xE2\x82\xAC"));
    std::string narrow;
    ASSERT_TRUE(k.query_string(L"utf8", narrow));
    EXPECT_EQ(narrow, "Grüße \xE2\x82\xAC");
    ASSERT_TRUE(k.query_string_w(L"utf8", out));
    EXPECT_EQ(out, L"Grüße €");
    uint32_t type = 0;
    ASSERT_TRUE(k.query_type(L"utf8", type));
    EXPECT_EQ(type, reg_sz);
    EXPECT_FALSE(k.query_type(L"missing", type));
    EXPECT_EQ(k.last_error(), 2);
}

TEST_F(RegKey, TypedReadsCheckTypeAndSize) {
    cl::reg_key k;
    ASSERT_TRUE(k.create(L"t", hkey_current_user));
    ASSERT_TRUE(k.set_dword(L"dw", 0x12345678));
    ASSERT_TRUE(k.set_string_a(L"text", "1"));
    const uint64_t q = 7;
    ASSERT_TRUE(k.set_value(L"q", reg_qword, &q, 8));

    uint32_t v = 0;
    ASSERT_TRUE(k.get_dword(L"dw", v));
    EXPECT_EQ(v, 0x12345678u);
    v = 99;
    EXPECT_FALSE(k.get_dword(L"text", v)); // stored as REG_SZ
    EXPECT_EQ(k.last_error(), 1);
    EXPECT_EQ(v, 99u);
    EXPECT_FALSE(k.get_dword(L"missing", v));
    EXPECT_EQ(k.last_error(), 2);

    uint32_t small = 0;
    EXPECT_FALSE(k.query_value_exact(L"q", reg_qword, &small, 4)); // stored size is 8
    EXPECT_EQ(k.last_error(), 234);
    uint64_t big = 0;
    ASSERT_TRUE(k.query_value_exact(L"q", reg_qword, &big, 8));
    EXPECT_EQ(big, 7u);

    std::wstring s;
    EXPECT_FALSE(k.query_string_w(L"dw", s)); // not a string type
    EXPECT_EQ(k.last_error(), 1);
    EXPECT_EQ(k.query_string_or(L"dw", L"def"), L"def");
}

TEST_F(RegKey, EnumeratingAndDeleting) {
    cl::reg_key k;
    ASSERT_TRUE(k.create(L"Software\\Tesk\\product"));
    for (const wchar_t* n : {L"b\\x\\y", L"a", L"c\\z"}) {
        cl::reg_key sub;
        ASSERT_TRUE(sub.create(std::wstring(L"Software\\Tesk\\product\\") + n));
        ASSERT_TRUE(sub.set_dword(L"v", 1));
    }
    std::vector<std::wstring> names;
    ASSERT_TRUE(k.enum_subkeys(names));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"c", L"b", L"a"}));

    // Missing values and keys count as deleted.
    EXPECT_TRUE(k.delete_value(L"nothing"));
    EXPECT_EQ(k.last_error(), 0);
    EXPECT_TRUE(k.delete_subkey(L"nothing"));
    EXPECT_TRUE(k.delete_subkey_tree(L"nothing"));
    EXPECT_TRUE(cl::reg_delete_key(0, L"Software\\nothing"));
    EXPECT_TRUE(cl::reg_delete_tree(0, L"Software\\nothing"));

    EXPECT_FALSE(k.delete_subkey(L"b")); // still has subkeys
    EXPECT_EQ(k.last_error(), 5);
    EXPECT_TRUE(k.delete_subkey_tree(L"B")) << k.last_error();
    EXPECT_TRUE(k.delete_subkey(L"a")) << k.last_error();
    ASSERT_TRUE(k.enum_subkeys(names));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"c"}));

    EXPECT_FALSE(k.delete_subkey_tree(L""));   // would be the key itself
    EXPECT_FALSE(cl::reg_delete_tree(0, L"")); // would be the whole root

    EXPECT_TRUE(cl::reg_delete_tree_wstring(L"Software\\Tesk", 0));
    cl::reg_key gone;
    EXPECT_FALSE(gone.open(0, L"Software\\Tesk", key_read));
    cl::reg_key sw;
    EXPECT_TRUE(sw.open(0, L"Software", key_read));

    ASSERT_TRUE(cl::reg_write_string(0, L"x\\y", L"", L"d"));
    EXPECT_TRUE(cl::reg_delete_key_wstring(0, L"x\\y"));
    EXPECT_TRUE(cl::reg_delete_key(0, L"x"));
    EXPECT_FALSE(gone.open(0, L"x", key_read));
}
