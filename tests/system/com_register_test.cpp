// Registration of a class in the registry store and its removal.
#include "core/reg_key.h"
#include "platform/registry/registry.h"
#include "system/com_register.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr automation::guid clsid{0x11112222, 0x3333, 0x4444, {1, 2, 3, 4, 5, 6, 7, 8}};
const std::wstring id = L"{11112222-3333-4444-0102-030405060708}";

class com_register_test : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        fs::path root = base ? base : fs::temp_directory_path();
        fs::create_directories(root);
        std::string tmpl = (root / "regXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        registry::set_data_directory(dir_.string());
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string store() {
        std::ifstream in(registry::root_file(registry::hkey_local_machine), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::wstring value(const std::wstring& key, const std::wstring& name = L"") {
        cl::reg_key k;
        if (!k.open(registry::hkey_classes_root, key, registry::key_read)) return L"<none>";
        return k.query_string_or(name, L"<none>");
    }
    fs::path dir_;
};

TEST_F(com_register_test, executable_and_library_layouts) {
    com_register_server(L"/opt/x/teskqvel", clsid, L"tq.test", L"a test class");
    EXPECT_EQ(value(L"tq.test"), L"tq.test");
    EXPECT_EQ(value(L"tq.test\\CurVer"), L"tq.test.1");
    EXPECT_EQ(value(L"tq.test.1\\CLSID"), id);
    EXPECT_EQ(value(L"CLSID\\" + id), L"a test class");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\LocalServer32"), L"/opt/x/teskqvel");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\InprocHandler"), L"ole32.dll");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\VersionIndependantProgID"), L"tq.test");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\InProcServer32"), L"<none>");
    // Registered again as a library: the server key changes kind.
    com_register_server(L"/opt/x/tq.DLL", clsid, L"tq.test", L"a test class");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\InProcServer32"), L"/opt/x/tq.DLL");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\InProcServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(value(L"CLSID\\" + id + L"\\LocalServer32"), L"<none>");
    EXPECT_TRUE(grant_users_read_on_key(registry::hkey_classes_root, L"tq.test"));
    EXPECT_FALSE(grant_users_read_on_key(registry::hkey_classes_root, L"tq.none"));
}

TEST_F(com_register_test, removal_leaves_the_store_as_found) {
    // An empty store, and one that holds another class and other software.
    cl::reg_write_string(registry::hkey_local_machine, L"Temp", L"", L"");
    cl::reg_delete_key(registry::hkey_local_machine, L"Temp");
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            cl::reg_write_string(registry::hkey_classes_root, L"CLSID\\{other}", L"", L"other");
            cl::reg_write_string(registry::hkey_local_machine, L"Software\\Tesk\\x", L"v", L"1");
        }
        const std::string before = store();
        com_register_server(L"/opt/x/teskqvel", clsid, L"tq.test", L"a test class");
        EXPECT_NE(store(), before);
        com_unregister_server(clsid, L"tq.test");
        EXPECT_EQ(store(), before) << "round " << round;
        EXPECT_EQ(value(L"tq.test"), L"<none>");
    }
    EXPECT_EQ(value(L"CLSID\\{other}"), L"other");
}

} // namespace
