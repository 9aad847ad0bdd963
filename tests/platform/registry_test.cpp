#include "platform/registry/registry.h"
#include "platform/registry/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace registry;
namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        static std::atomic<int> n{0};
        dir_ = fs::path(base ? base : "/tmp") /
               ("registry_" + std::to_string(getpid()) + "_" + std::to_string(n++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        set_data_directory(dir_.string());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Forgets what was read, so the next call reads the files again.
    void reload() { set_data_directory(dir_.string()); }

    hkey create(hkey root, const std::wstring& sub, uint32_t access = key_all_access) {
        hkey h = 0;
        EXPECT_EQ(reg_create_key(root, sub, 0, access, &h, nullptr), 0u);
        return h;
    }
    uint32_t set_sz(hkey k, const std::wstring& name, const std::wstring& v) {
        return reg_set_value(k, name, reg_sz, v.c_str(),
                             uint32_t((v.size() + 1) * sizeof(wchar_t)));
    }
    std::wstring get_sz(hkey k, const std::wstring& name) {
        wchar_t buf[512] = {};
        uint32_t size = sizeof buf, type = 0;
        if (reg_query_value(k, name, &type, buf, &size) != 0) return L"<missing>";
        return std::wstring(buf);
    }

    fs::path dir_;
};

} // namespace

TEST_F(Registry, TypedValuesSurviveTheFile) {
    hkey k = create(hkey_local_machine, L"Software\\Tesk\\teskqvel");
    const uint32_t dw = 0xDEADBEEF;
    const uint64_t qw = 0x0123456789ABCDEFull;
    const wchar_t multi[] = L"one\0two\0\0";
    std::vector<uint8_t> bin(256);
    for (int i = 0; i < 256; ++i)
        bin[i] = uint8_t(i);
    ASSERT_EQ(set_sz(k, L"install_dir", L"/opt/tesk"), 0u);
    ASSERT_EQ(reg_set_value(k, L"path", reg_expand_sz, L"%HOME%/x", 9 * sizeof(wchar_t)), 0u);
    ASSERT_EQ(reg_set_value(k, L"multi", reg_multi_sz, multi, sizeof multi - sizeof(wchar_t)), 0u);
    ASSERT_EQ(reg_set_value(k, L"dw", reg_dword, &dw, 4), 0u);
    ASSERT_EQ(reg_set_value(k, L"qw", reg_qword, &qw, 8), 0u);
    ASSERT_EQ(reg_set_value(k, L"bin", reg_binary, bin.data(), 256), 0u);
    ASSERT_EQ(reg_set_value(k, L"empty", reg_binary, nullptr, 0), 0u);
    ASSERT_EQ(reg_set_value(k, L"odd", reg_sz, "abc", 3), 0u); // not whole characters
    ASSERT_EQ(set_sz(k, L"", L"default"), 0u);
    reload();

    EXPECT_EQ(get_sz(k, L"install_dir"), L"/opt/tesk");
    EXPECT_EQ(get_sz(k, L""), L"default");
    struct row {
        const wchar_t* name;
        uint32_t type;
        const void* data;
        uint32_t size;
    } rows[] = {
        {L"path", reg_expand_sz, L"%HOME%/x", 9 * sizeof(wchar_t)},
        {L"multi", reg_multi_sz, multi, sizeof multi - sizeof(wchar_t)},
        {L"dw", reg_dword, &dw, 4},
        {L"qw", reg_qword, &qw, 8},
        {L"bin", reg_binary, bin.data(), 256},
        {L"empty", reg_binary, nullptr, 0},
        {L"odd", reg_sz, "abc", 3},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.name, r.name + wcslen(r.name)));
        uint8_t buf[1024];
        uint32_t type = 99, size = sizeof buf;
        ASSERT_EQ(reg_query_value(k, r.name, &type, buf, &size), 0u);
        EXPECT_EQ(type, r.type);
        ASSERT_EQ(size, r.size);
        if (r.size) {
            EXPECT_EQ(std::memcmp(buf, r.data, r.size), 0);
        }
    }
    EXPECT_EQ(reg_close_key(k), 0u);
    EXPECT_EQ(reg_close_key(k), 6u);
}

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheirCase) {
    hkey k = create(hkey_current_user, L"Software\\Tesk");
    ASSERT_EQ(set_sz(k, L"MixedName", L"v1"), 0u);
    ASSERT_EQ(set_sz(k, L"MIXEDNAME", L"v2"), 0u); // same value
    hkey o = 0;
    ASSERT_EQ(reg_open_key(hkey_current_user, L"SOFTWARE\\tesk", key_read, &o), 0u);
    EXPECT_EQ(get_sz(o, L"mixedname"), L"v2");
    uint32_t disp = 0;
    hkey c = 0;
    ASSERT_EQ(reg_create_key(hkey_current_user, L"software\\TESK", 0, key_read, &c, &disp), 0u);
    EXPECT_EQ(disp, reg_opened_existing_key);
    // Non-ASCII letters fold too.
    hkey u = create(k, L"Ärger");
    ASSERT_EQ(reg_open_key(k, L"äRGER", key_read, &o), 0u);

    key_info info;
    ASSERT_EQ(reg_query_info_key(k, &info), 0u);
    EXPECT_EQ(info.values, 1u);
    wchar_t name[64];
    uint32_t len = 64;
    ASSERT_EQ(reg_enum_value(k, 0, name, &len, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(std::wstring(name), L"MixedName");
    len = 64;
    ASSERT_EQ(reg_enum_key(k, 0, name, &len), 0u);
    EXPECT_EQ(std::wstring(name), L"Ärger");
    (void)u;
}

TEST_F(Registry, EnumerationOrderBuffersAndEnd) {
    hkey k = create(hkey_local_machine, L"e");
    for (const wchar_t* n : {L"zeta", L"Alpha", L"beta"})
        create(k, n);
    for (const wchar_t* n : {L"z", L"a", L"m"})
        ASSERT_EQ(set_sz(k, n, L"x"), 0u);

    key_info info;
    ASSERT_EQ(reg_query_info_key(k, &info), 0u);
    EXPECT_EQ(info.subkeys, 3u);
    EXPECT_EQ(info.max_subkey_len, 5u);
    EXPECT_EQ(info.values, 3u);

    std::vector<std::wstring> keys;
    wchar_t buf[16];
    for (uint32_t i = 0;; ++i) {
        uint32_t len = 16;
        const uint32_t e = reg_enum_key(k, i, buf, &len);
        if (e == 259) break;
        ASSERT_EQ(e, 0u);
        EXPECT_EQ(len, wcslen(buf));
        keys.emplace_back(buf);
        ASSERT_LT(i, 10u);
    }
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"Alpha", L"beta", L"zeta"}));

    uint32_t small = 5; // "Alpha" needs 6 with its NUL
    EXPECT_EQ(reg_enum_key(k, 0, buf, &small), 234u);
    EXPECT_EQ(small, 6u);

    std::vector<std::wstring> values;
    for (uint32_t i = 0; i < 3; ++i) {
        uint32_t len = 16;
        ASSERT_EQ(reg_enum_value(k, i, buf, &len, nullptr, nullptr, nullptr), 0u);
        values.emplace_back(buf);
    }
    EXPECT_EQ(values, (std::vector<std::wstring>{L"z", L"a", L"m"})); // creation order
    uint32_t len = 16;
    EXPECT_EQ(reg_enum_value(k, 3, buf, &len, nullptr, nullptr, nullptr), 259u);
}

TEST_F(Registry, ErrorCodesOfReadsAndRights) {
    hkey h = 0;
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"missing", key_read, &h), 2u);
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"\\lead", key_read, &h), error_bad_pathname);
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"a\\\\b", key_read, &h), error_bad_pathname);
    EXPECT_EQ(reg_open_key(0x1234, L"x", key_read, &h), 6u);
    EXPECT_EQ(reg_create_key(hkey_local_machine, std::wstring(256, L'n'), 0, key_read, &h, nullptr),
              87u);

    hkey k = create(hkey_local_machine, L"r\\s\\");
    ASSERT_EQ(set_sz(k, L"v", L"0123456789"), 0u);
    uint32_t type = 0, size = 8;
    wchar_t buf[2];
    EXPECT_EQ(reg_query_value(k, L"v", &type, buf, &size), 234u);
    EXPECT_EQ(size, 11 * sizeof(wchar_t));
    size = 0;
    EXPECT_EQ(reg_query_value(k, L"v", &type, nullptr, &size), 0u); // size only
    EXPECT_EQ(size, 11 * sizeof(wchar_t));
    EXPECT_EQ(reg_query_value(k, L"nope", &type, nullptr, &size), 2u);

    hkey ro = 0;
    ASSERT_EQ(reg_open_key(hkey_local_machine, L"r\\s", key_read, &ro), 0u);
    EXPECT_EQ(set_sz(ro, L"v", L"new"), 5u);
    EXPECT_EQ(reg_delete_value(ro, L"v"), 5u);
    EXPECT_EQ(reg_create_key(ro, L"child", 0, key_read, &h, nullptr), 5u);
    EXPECT_EQ(get_sz(ro, L"v"), L"0123456789");
    hkey wo = 0;
    ASSERT_EQ(reg_open_key(hkey_local_machine, L"r\\s", key_set_value, &wo), 0u);
    EXPECT_EQ(reg_query_value(wo, L"v", &type, nullptr, &size), 5u);
}

TEST_F(Registry, DeletingKeysValuesAndTrees) {
    hkey k = create(hkey_local_machine, L"d\\a\\b");
    hkey a = 0;
    ASSERT_EQ(reg_open_key(hkey_local_machine, L"d\\a", key_all_access, &a), 0u);
    ASSERT_EQ(set_sz(a, L"v", L"x"), 0u);
    EXPECT_EQ(reg_delete_value(a, L"v"), 0u);
    EXPECT_EQ(reg_delete_value(a, L"v"), 2u);
    EXPECT_EQ(reg_delete_key(hkey_local_machine, L"d\\a"), 5u); // has a subkey
    EXPECT_EQ(reg_delete_key(hkey_local_machine, L"d\\nope"), 2u);
    EXPECT_EQ(reg_delete_key(a, L"B"), 0u);
    // The handle on the deleted key reports so.
    EXPECT_EQ(set_sz(k, L"v", L"x"), error_key_deleted);

    create(a, L"x\\y\\z");
    ASSERT_EQ(set_sz(a, L"keep", L"1"), 0u);
    EXPECT_EQ(reg_delete_tree(a, L""), 0u); // empties a, keeps it
    key_info info;
    ASSERT_EQ(reg_query_info_key(a, &info), 0u);
    EXPECT_EQ(info.subkeys + info.values, 0u);
    EXPECT_EQ(reg_delete_tree(hkey_local_machine, L"d"), 0u);
    reload();
    hkey h = 0;
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"d", key_read, &h), 2u);
}

TEST_F(Registry, ClassesRootIsTheMachineClassesKey) {
    hkey c = create(hkey_classes_root, L"CLSID\\{1}");
    ASSERT_EQ(set_sz(c, L"", L"x"), 0u);
    hkey m = 0;
    ASSERT_EQ(reg_open_key(hkey_local_machine, L"software\\classes\\clsid\\{1}", key_read, &m), 0u);
    EXPECT_EQ(get_sz(m, L""), L"x");
    EXPECT_EQ(root_file(hkey_classes_root), root_file(hkey_local_machine));
    EXPECT_NE(root_file(hkey_current_user), root_file(hkey_local_machine));
}

TEST_F(Registry, FailedWriteKeepsTheOldFileAndTheOldValue) {
    hkey k = create(hkey_local_machine, L"w");
    ASSERT_EQ(set_sz(k, L"v", L"old"), 0u);
    const std::string file = root_file(hkey_local_machine);
    const std::string before = read_file(file);
    // A directory where the temporary file goes makes the write fail, even as root.
    fs::create_directory(file + ".tmp");
    EXPECT_NE(set_sz(k, L"v", L"new"), 0u);
    EXPECT_NE(set_sz(k, L"other", L"new"), 0u);
    hkey h = 0;
    EXPECT_NE(reg_create_key(hkey_local_machine, L"w2", 0, key_read, &h, nullptr), 0u);
    EXPECT_EQ(read_file(file), before);
    EXPECT_EQ(get_sz(k, L"v"), L"old");
    EXPECT_EQ(get_sz(k, L"other"), L"<missing>");
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"w2", key_read, &h), 2u);
    fs::remove(file + ".tmp");
    EXPECT_EQ(set_sz(k, L"v", L"new"), 0u);
    reload();
    EXPECT_EQ(get_sz(k, L"v"), L"new");
}

TEST_F(Registry, FilesArePrivateToTheOwner) {
    const mode_t old = umask(0);
    hkey a = create(hkey_local_machine, L"p");
    hkey b = create(hkey_current_user, L"p");
    umask(old);
    ASSERT_EQ(set_sz(a, L"master_pwd", L"secret"), 0u);
    ASSERT_EQ(set_sz(b, L"x", L"y"), 0u);
    for (hkey root : {hkey_local_machine, hkey_current_user}) {
        struct stat st {};
        ASSERT_EQ(stat(root_file(root).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(Registry, HostileNamesAndValuesStayInTheirFields) {
    const std::wstring names[] = {
        L"tab\there",
        L"new\nline\r",
        L"per%25cent%",
        L"back\\slash",
        std::wstring(L"nul\0in", 6),
        std::wstring(1, wchar_t(0xD800)) + L"surrogate",
        std::wstring(1, wchar_t(0x110000)),
        std::wstring(1, wchar_t(-1)),
        L"K\tV",
        L"\x7f\x1b[0m",
        L"日本語 ü",
    };
    hkey k = create(hkey_local_machine, L"h");
    std::vector<hkey> subs;
    for (const auto& n : names) {
        ASSERT_EQ(reg_set_value(k, n, reg_sz, n.data(), uint32_t(n.size() * sizeof(wchar_t))), 0u);
        if (n.find(L'\\') == n.npos && !n.empty()) subs.push_back(create(k, n));
    }
    const std::string text = read_file(root_file(hkey_local_machine));
    // Header, two K lines for the path, one V line per name, one K per subkey.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), long(3 + std::size(names) + subs.size()));
    reload();
    for (const auto& n : names) {
        std::vector<wchar_t> buf(64);
        uint32_t size = uint32_t(buf.size() * sizeof(wchar_t)), type = 0;
        ASSERT_EQ(reg_query_value(k, n, &type, buf.data(), &size), 0u);
        EXPECT_EQ(std::wstring(buf.data(), size / sizeof(wchar_t)), n);
    }
    key_info info;
    ASSERT_EQ(reg_query_info_key(k, &info), 0u);
    EXPECT_EQ(info.subkeys, subs.size());
}

TEST_F(Registry, DamagedFilesAreReadSafely) {
    const std::string file = root_file(hkey_local_machine);
    write_file(file, "teskqvel registry 1\n"
                     "K\tgood\n"
                     "V\tv\t1\ts:ok%00\n"
                     "V\tbad\t1\ts:%zz\n"          // bad escape
                     "V\tbad2\t4\td:99999999999\n" // too big for a DWORD
                     "V\tbad3\t3\tx:abc\n"         // odd hex
                     "K\tcut\xC3\n"                // cut UTF-8
                     "V\torphan\t1\ts:x\n"         // belongs to the broken key
                     "K\tover\xC0\xAF\n"           // overlong "/"
                     "garbage line\n"
                     "K\ta\\\\b\n" // empty name
                     "K\tgood\\sub\r\n");
    hkey h = 0;
    ASSERT_EQ(reg_open_key(hkey_local_machine, L"good", key_read, &h), 0u);
    EXPECT_EQ(get_sz(h, L"v"), L"ok");
    key_info info;
    ASSERT_EQ(reg_query_info_key(h, &info), 0u);
    EXPECT_EQ(info.values, 1u);
    EXPECT_EQ(info.subkeys, 1u);
    ASSERT_EQ(reg_query_info_key(hkey_local_machine, &info), 0u);
    EXPECT_EQ(info.subkeys, 1u);

    write_file(file, "not a registry\n");
    reload();
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"good", key_read, &h), error_baddb);
    EXPECT_EQ(reg_create_key(hkey_local_machine, L"x", 0, key_read, &h, nullptr), error_baddb);
    EXPECT_EQ(read_file(file), "not a registry\n"); // never overwritten

    ASSERT_EQ(truncate(file.c_str(), off_t(max_file_size) + 1), 0); // sparse, cheap
    reload();
    EXPECT_EQ(reg_open_key(hkey_local_machine, L"good", key_read, &h), error_baddb);
}

TEST_F(Registry, ChangesByAnotherProcessAreReadBeforeUseAndWrite) {
    hkey k = create(hkey_local_machine, L"s");
    ASSERT_EQ(set_sz(k, L"mine", L"1"), 0u);
    const std::string file = root_file(hkey_local_machine);
    // Another writer replaces the file (by rename, as this layer does).
    detail::key_node tree;
    ASSERT_TRUE(detail::parse(read_file(file), tree));
    auto& s = *detail::find_subkey(tree, L"s");
    s.values.push_back({L"theirs", reg_sz, {}});
    s.values.back().data.resize(sizeof(wchar_t) * 2);
    std::memcpy(s.values.back().data.data(), L"2", sizeof(wchar_t) * 2);
    write_file(file + ".other", detail::serialize(tree));
    fs::rename(file + ".other", file);

    EXPECT_EQ(get_sz(k, L"theirs"), L"2");
    ASSERT_EQ(set_sz(k, L"mine", L"3"), 0u);
    detail::key_node after;
    ASSERT_TRUE(detail::parse(read_file(file), after));
    EXPECT_NE(detail::find_value(*detail::find_subkey(after, L"s"), L"theirs"), nullptr);
}

TEST_F(Registry, ThreadsWritingAtOnceLoseNothing) {
    constexpr int threads = 6, per_thread = 20;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([this, t] {
            hkey k = create(hkey_current_user, L"t\\" + std::to_wstring(t));
            for (int i = 0; i < per_thread; ++i) {
                const uint32_t v = uint32_t(t * 1000 + i);
                EXPECT_EQ(reg_set_value(k, L"v" + std::to_wstring(i), reg_dword, &v, 4), 0u);
            }
            reg_close_key(k);
        });
    for (auto& th : pool)
        th.join();
    reload();
    for (int t = 0; t < threads; ++t) {
        hkey k = 0;
        ASSERT_EQ(reg_open_key(hkey_current_user, L"t\\" + std::to_wstring(t), key_read, &k), 0u);
        key_info info;
        ASSERT_EQ(reg_query_info_key(k, &info), 0u);
        EXPECT_EQ(info.values, uint32_t(per_thread));
    }
}

TEST_F(Registry, TwoProcessesWritingOneFileLoseNothing) {
    constexpr int writes = 40;
    hkey mine = create(hkey_local_machine, L"parent");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        hkey k = 0;
        int failed = reg_create_key(hkey_local_machine, L"child", 0, key_all_access, &k, nullptr);
        for (int i = 0; i < writes && !failed; ++i) {
            const uint32_t v = uint32_t(i);
            failed = reg_set_value(k, L"c" + std::to_wstring(i), reg_dword, &v, 4);
        }
        _exit(failed ? 1 : 0);
    }
    for (int i = 0; i < writes; ++i) {
        const uint32_t v = uint32_t(i);
        EXPECT_EQ(reg_set_value(mine, L"p" + std::to_wstring(i), reg_dword, &v, 4), 0u);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const wchar_t* name : {L"parent", L"child"}) {
        hkey k = 0;
        ASSERT_EQ(reg_open_key(hkey_local_machine, name, key_read, &k), 0u);
        key_info info;
        ASSERT_EQ(reg_query_info_key(k, &info), 0u);
        EXPECT_EQ(info.values, uint32_t(writes)) << std::wstring(name).size();
    }
}
