#include "core/folders.h"
#include "core/lcg_random.h"
#include "core/reg_key.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Folders : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tq_folders_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    std::wstring path(const std::string& name) const { return (dir_ / name).wstring(); }
    std::wstring dirw() const { return dir_.wstring() + L"/"; }
    void put(const std::string& name, const std::string& content = "x") const {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    fs::path dir_;
};

// Restores an environment variable when the test ends.
class scoped_env {
  public:
    scoped_env(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~scoped_env() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

} // namespace

TEST_F(Folders, ModuleDirIsTheFolderOfTheExecutable) {
    const std::wstring d = cl::get_module_dir();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), L'/');
    EXPECT_TRUE(fs::exists(fs::path(d) / "tests_core"));
}

TEST_F(Folders, KeyPaths) {
    EXPECT_EQ(cl::company_key_path(L"teskqvel"), L"Software\\Tesk\\teskqvel");
    EXPECT_EQ(cl::company_key_path_versioned(L"teskqvel", 110), L"Software\\Tesk\\teskqvel\\1.10");
    EXPECT_EQ(cl::company_key_path_versioned(L"x", 5), L"Software\\Tesk\\x\\0.05");
}

TEST_F(Folders, InstallDirComesFromTheRegistry) {
    registry::set_data_directory(dir_.string());
    std::wstring d = L"stale";
    EXPECT_FALSE(cl::get_install_dir(L"teskqvel", d));
    EXPECT_EQ(d, L"");
    cl::reg_key k;
    ASSERT_TRUE(k.create(L"Software\\Tesk\\teskqvel"));
    ASSERT_TRUE(k.set_string_a(L"install_dir", ""));
    EXPECT_FALSE(cl::get_install_dir(L"teskqvel", d)); // empty counts as missing
    ASSERT_TRUE(k.set_string_a(L"install_dir", "/opt/tesk"));
    EXPECT_TRUE(cl::get_install_dir(L"teskqvel", d));
    EXPECT_EQ(d, L"/opt/tesk/");
}

TEST_F(Folders, CommonAppDataFollowsXdgDataHomeAndIsCreated) {
    const std::string xdg = (dir_ / "xdg").string();
    scoped_env env("XDG_DATA_HOME", xdg.c_str());
    const std::wstring d = cl::get_common_app_data_dir(L"teskqvel");
    EXPECT_EQ(d, fs::path(xdg).wstring() + L"/Tesk/teskqvel/");
    EXPECT_TRUE(fs::is_directory(d));
    EXPECT_EQ(cl::get_company_folder(cl::csidl_common_appdata, L"other"),
              fs::path(xdg).wstring() + L"/Tesk/other/");
    EXPECT_EQ(cl::get_folder(12345), L"");
}

TEST_F(Folders, FixedSystemFolders) {
    EXPECT_EQ(cl::get_system_dir(), L"/usr/lib/");
    EXPECT_EQ(cl::get_windows_dir(), L"/usr/");
    scoped_env env("TMPDIR", dir_.c_str());
    EXPECT_EQ(cl::get_temp_dir(), dirw());
}

TEST_F(Folders, TempFiles) {
    const std::wstring t = cl::create_temp_file(dirw());
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(fs::path(t).parent_path(), dir_);
    EXPECT_EQ(fs::path(t).filename().string().rfind("tmp", 0), 0u);
    EXPECT_TRUE(fs::is_regular_file(t));
    EXPECT_EQ(cl::create_temp_file(path("missing/")), L"");
}

TEST_F(Folders, UniqueTempFileIsNewPrivateAndGoneOnClose) {
    std::wstring name1, name2;
    cl::file_hnd a, b;
    ASSERT_TRUE(cl::create_unique_temp_file(a, dirw() + L"up_", cl::o_rdwr, name1));
    ASSERT_TRUE(cl::create_unique_temp_file(b, dirw() + L"up_", cl::o_rdwr, name2));
    EXPECT_NE(name1, name2);
    const std::string n = fs::path(name1).filename().string();
    EXPECT_EQ(n.rfind("up_", 0), 0u);
    EXPECT_EQ(n.substr(n.size() - 4), ".tmp");
    EXPECT_EQ(n.substr(3, n.size() - 7).find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(name1));
    EXPECT_TRUE(::fcntl(a.handle(), F_GETFD) & FD_CLOEXEC);
    cl::file_hnd other;
    EXPECT_FALSE(other.open(name1, cl::o_rdonly, cl::sh_denyno)); // opened without sharing
    a.close();
    EXPECT_FALSE(fs::exists(name1));
    // Any failure other than "exists" ends the attempts.
    std::wstring n3;
    EXPECT_FALSE(cl::create_unique_temp_file(b, path("nodir/up_"), cl::o_rdwr, n3));
    EXPECT_TRUE(n3.empty());
}

TEST(LcgRandom, FollowsTheTwoGenerators) {
    cl::lcg_seed(714025ull * 7 + 3); // x = 3, y = 7
    const uint64_t x = (3 * 4096 + 150889) % 714025, y = (7 * 741 + 66037) % 312500;
    EXPECT_EQ(cl::lcg_random64(), x * 312500 + y);
    EXPECT_EQ(cl::lcg_random(), (x * 4096 + 150889) % 714025);
}

TEST_F(Folders, ExistenceAndReadOnly) {
    put("f");
    EXPECT_TRUE(cl::file_exists(path("f")));
    EXPECT_FALSE(cl::file_exists(dirw()));
    EXPECT_FALSE(cl::file_exists(path("none")));
    ::chmod((dir_ / "f").c_str(), 0444);
    EXPECT_TRUE(cl::clear_read_only(path("f")));
    struct stat st;
    ::stat((dir_ / "f").c_str(), &st);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
    EXPECT_TRUE(cl::clear_read_only(path("f")));
    EXPECT_FALSE(cl::clear_read_only(path("none")));
}

TEST_F(Folders, WaitFileWritable) {
    EXPECT_TRUE(cl::wait_file_writable(path("missing"), 10000));
    put("w", "data");
    EXPECT_TRUE(cl::wait_file_writable(path("w"), 0));
    {
        cl::file_hnd locked;
        ASSERT_TRUE(locked.open(path("w"), cl::o_rdonly, cl::sh_denywr));
        EXPECT_FALSE(cl::wait_file_writable(path("w"), 0));
    }
    std::ifstream in(dir_ / "w");
    std::string s;
    in >> s;
    EXPECT_EQ(s, "data"); // probing never touches the content
}

TEST_F(Folders, CreateDirTree) {
    EXPECT_TRUE(cl::create_dir_tree(path("a/b/c/")));
    EXPECT_TRUE(fs::is_directory(dir_ / "a/b/c"));
    EXPECT_TRUE(cl::create_dir_tree(path("a/b/c")));
    put("file");
    EXPECT_FALSE(cl::create_dir_tree(path("file/sub")));
}

TEST_F(Folders, DeleteTreeNeverLeavesTheTree) {
    put("outside/keep.txt");
    put("t/a/b/c.txt");
    put("t/d.txt");
    fs::create_directory_symlink(dir_ / "outside", dir_ / "t/a/link_dir");
    fs::create_symlink(dir_ / "outside/keep.txt", dir_ / "t/link_file");
    EXPECT_TRUE(cl::delete_tree(path("t/")));
    EXPECT_FALSE(fs::exists(dir_ / "t"));
    EXPECT_TRUE(fs::exists(dir_ / "outside/keep.txt"));

    // A link given as the tree itself is removed as a link.
    fs::create_directory_symlink(dir_ / "outside", dir_ / "top_link");
    EXPECT_TRUE(cl::delete_tree(path("top_link")));
    EXPECT_FALSE(fs::is_symlink(dir_ / "top_link"));
    EXPECT_TRUE(fs::exists(dir_ / "outside/keep.txt"));

    EXPECT_FALSE(cl::delete_tree(path("missing")));
    EXPECT_FALSE(cl::delete_tree(L"/"));
}

TEST_F(Folders, RemoveAndRenameNeverReplace) {
    put("a", "A");
    put("b", "B");
    EXPECT_FALSE(cl::rename_file(path("a"), path("b")));
    EXPECT_TRUE(fs::exists(dir_ / "a"));
    EXPECT_TRUE(cl::rename_file(path("a"), path("c")));
    EXPECT_FALSE(fs::exists(dir_ / "a"));
    EXPECT_TRUE(cl::remove_file(path("c")));
    EXPECT_FALSE(cl::remove_file(path("c")));
}

TEST_F(Folders, LocalWriteTime) {
    put("t");
    struct timespec ts[2] = {{951868800, 0}, {951868800, 0}};
    ::utimensat(AT_FDCWD, (dir_ / "t").c_str(), ts, 0);
    scoped_env tz("TZ", "UTC");
    ::tzset();
    win32::systemtime st;
    ASSERT_TRUE(cl::file_local_write_time(path("t"), st));
    EXPECT_EQ(st.year, 2000);
    EXPECT_EQ(st.month, 3);
    EXPECT_EQ(st.day, 1);
    EXPECT_FALSE(cl::file_local_write_time(path("none"), st));
}

TEST_F(Folders, AclMapsOntoPermissionBits) {
    put("p");
    ::chmod((dir_ / "p").c_str(), 0600);
    auto mode = [&] {
        struct stat st;
        ::stat((dir_ / "p").c_str(), &st);
        return st.st_mode & 0777;
    };
    EXPECT_TRUE(cl::set_file_acl(path("p"), cl::acl_trustee::everyone, cl::generic_read,
                                 cl::grant_access, 1));
    EXPECT_EQ(mode(), 0644u);
    EXPECT_TRUE(
        cl::set_file_acl(path("p"), cl::acl_trustee::group, cl::generic_all, cl::set_access, 0));
    EXPECT_EQ(mode(), 0674u);
    EXPECT_TRUE(cl::set_file_acl(path("p"), cl::acl_trustee::group, 0, cl::revoke_access, 0));
    EXPECT_EQ(mode(), 0604u);
    EXPECT_TRUE(
        cl::set_file_acl(path("p"), cl::acl_trustee::owner, cl::generic_write, cl::deny_access, 0));
    EXPECT_EQ(mode(), 0404u);
    EXPECT_FALSE(cl::set_file_acl(path("p"), cl::acl_trustee::owner, cl::generic_read, 9, 0));
    EXPECT_FALSE(cl::set_file_acl(path("none"), cl::acl_trustee::owner, cl::generic_read, 1, 0));
}

TEST_F(Folders, EnumFilesWalksEntriesThenQueuedFoldersInOrder) {
    put("b.txt");
    put("a.txt");
    put("c.log");
    put("z/inner.txt");
    put("z/deep/x.txt");
    put("m/skip.txt");
    fs::create_directory_symlink(dir_, dir_ / "loop");
    std::vector<std::string> seen;
    const bool r =
        cl::enum_files(dirw() + L"*.*", [&](const std::wstring& d, const cl::find_data& e) {
            EXPECT_EQ(d.back(), L'/');
            const std::string rel = fs::path(d).parent_path().lexically_relative(dir_).string();
            seen.push_back((rel == "." ? "" : rel + "/") + fs::path(e.file_name).string() +
                           ((e.attributes & cl::file_attribute_directory) ? "/" : ""));
            return e.file_name != L"m"; // m is not walked
        });
    EXPECT_TRUE(r);
    const std::vector<std::string> expected = {
        "a.txt", "b.txt", "c.log", "loop/", "m/", "z/", "z/deep/", "z/inner.txt", "z/deep/x.txt"};
    EXPECT_EQ(seen, expected);
}

TEST_F(Folders, EnumFilesPatternAndStop) {
    put("b.txt");
    put("a.txt");
    put("c.log");
    put("[x].txt");
    std::vector<std::wstring> seen;
    EXPECT_TRUE(cl::enum_files(dirw() + L"*.txt", [&](const std::wstring&, const cl::find_data& e) {
        seen.push_back(e.file_name);
        EXPECT_EQ(e.size, 1u);
        return true;
    }));
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"[x].txt", L"a.txt", L"b.txt"}));
    int calls = 0;
    EXPECT_FALSE(cl::enum_files(dirw() + L"*", [&](const std::wstring&, const cl::find_data&) {
        ++calls;
        return false;
    }));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(cl::enum_files(path("nothing/*.*"), [](const std::wstring&, const cl::find_data&) {
        ADD_FAILURE();
        return true;
    }));
}
