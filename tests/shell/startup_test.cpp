#include "core/reg_key.h"
#include "shell/instance.h"
#include "shell/startup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ShellDirs : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        static std::atomic<int> n{0};
        root_ = fs::path(base ? base : "/tmp") /
                ("shell_" + std::to_string(getpid()) + "_" + std::to_string(n++));
        fs::remove_all(root_);
        fs::create_directories(root_ / "data");
        fs::create_directories(root_ / "reg");
        registry::set_data_directory((root_ / "reg").string());
        data_ = (root_ / "data").wstring() + L"/";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::string ini_text() {
        std::ifstream in(root_ / "data" / "master_pwd.ini", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string registry_copy() {
        cl::reg_key key;
        std::string v;
        if (key.open(0, L"Software\\Tesk\\teskqvel", registry::key_read))
            key.query_string(L"master_pwd", v);
        return v;
    }
    fs::path root_;
    std::wstring data_;
};

} // namespace

TEST_F(ShellDirs, MasterPasswordIsMadeThenCopiedToTheRegistryThenRestoredFromIt) {
    // First start: nothing anywhere, a new key goes to the file only.
    const std::string first = init_master_pwd(data_);
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.find_first_not_of("0123456789abcdef"), 0u) << first;
    EXPECT_NE(ini_text().find("master_pwd=" + first), std::string::npos);
    EXPECT_EQ(registry_copy(), "");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "data" / "master_pwd.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Second start: the file's key is kept and copied into the registry.
    EXPECT_EQ(init_master_pwd(data_), first);
    EXPECT_EQ(registry_copy(), first);

    // The file is lost: the key comes back from the registry and is written again.
    fs::remove(root_ / "data" / "master_pwd.ini");
    EXPECT_EQ(init_master_pwd(data_), first);
    EXPECT_NE(ini_text().find("master_pwd=" + first), std::string::npos);
}

TEST_F(ShellDirs, TheFileWinsOverADifferentRegistryCopy) {
    {
        std::ofstream out(root_ / "data" / "master_pwd.ini", std::ios::binary);
        out << "[param]\r\nmaster_pwd=from_file\r\n";
    }
    ASSERT_TRUE(
        cl::reg_write_string(0, L"Software\\Tesk\\teskqvel", L"master_pwd", L"from_registry"));
    EXPECT_EQ(init_master_pwd(data_), "from_file");
    EXPECT_EQ(registry_copy(), "from_file");
}

TEST_F(ShellDirs, TwoNewKeysDiffer) {
    const std::string a = init_master_pwd(data_);
    fs::remove(root_ / "data" / "master_pwd.ini");
    fs::remove_all(root_ / "reg");
    fs::create_directories(root_ / "reg");
    registry::set_data_directory((root_ / "reg").string());
    const std::string b = init_master_pwd(data_);
    EXPECT_NE(a, b);
}

TEST_F(ShellDirs, InstanceLockIsHeldByOneHolderAndFreedOnRelease) {
    EXPECT_FALSE(instance_running(data_));
    // Nothing runs: closing the running copy is done at once.
    EXPECT_TRUE(close_running_copy(data_, 3000));

    int first = take_instance_lock(data_, 1000);
    ASSERT_GE(first, 0);
    EXPECT_TRUE(instance_running(data_));
    EXPECT_EQ(take_instance_lock(data_, 50), -1);

    std::ifstream in(fs::path(instance_lock_path(data_)));
    pid_t pid = 0;
    in >> pid;
    EXPECT_EQ(pid, getpid());

    release_instance_lock(first);
    EXPECT_EQ(first, -1);
    EXPECT_FALSE(instance_running(data_));
    int again = take_instance_lock(data_, 50);
    EXPECT_GE(again, 0);
    release_instance_lock(again);

    // Another data directory has a lock of its own.
    EXPECT_NE(instance_lock_path(data_), instance_lock_path(data_ + L"other/"));
}
