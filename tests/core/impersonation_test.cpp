#include "core/impersonation.h"

#include "core/trace.h"
#include "platform/win32/errors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <string>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

uid_t current_fsuid() {
    return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
}
gid_t current_fsgid() {
    return static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
}

std::vector<gid_t> current_groups() {
    int n = getgroups(0, nullptr);
    std::vector<gid_t> g(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0) getgroups(n, g.data());
    return g;
}

// Accepts one password for every account and counts the checks.
struct fake_check : cl::password_check {
    std::atomic<int> calls{0};
    uint32_t check(const std::string&, const std::string& password, uint32_t) override {
        ++calls;
        return password == "right" ? 0u : uint32_t(win32::error_logon_failure);
    }
};

struct capture_sink : cl::trace_base {
    std::string text;
    void write(std::string_view t, bool) override { text += t; }
    void flush(bool) override {}
};

struct captured {
    capture_sink sink;
    captured() { cl::trace_out.add(&sink); }
    ~captured() { cl::trace_out.remove(&sink); }
};

// The owner of a file newly created by the calling thread in dir.
uid_t create_owner(const std::string& dir, const char* name) {
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return static_cast<uid_t>(-2);
    struct stat st {};
    fstat(fd, &st);
    close(fd);
    return st.st_uid;
}

// Under /tmp rather than the build tree: the impersonated account must be able
// to reach it.
struct temp_dir {
    std::string path;
    temp_dir() {
        char tmpl[] = "/tmp/tq_imp_XXXXXX";
        path = mkdtemp(tmpl);
        chmod(path.c_str(), 0777); // the impersonated account may create files in it
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

TEST(impersonation, anonymous_is_a_no_op_success) {
    fake_check check;
    cl::impersonation_state s(&check);
    uid_t before = current_fsuid();
    for (const wchar_t* user : {L"", L"anonymous", L"Anonymous"}) {
        EXPECT_TRUE(s.impersonate_user(user, L"whatever"));
        EXPECT_TRUE(s.impersonating());
        EXPECT_EQ(s.user(), L"");
        EXPECT_EQ(current_fsuid(), before);
    }
    EXPECT_EQ(check.calls, 0);
    s.revert_impersonation();
    EXPECT_FALSE(s.impersonating());
}

TEST(impersonation, bad_user_names_are_refused) {
    EXPECT_FALSE(cl::valid_user_name(L""));
    for (const wchar_t* name :
         {L".", L"..", L"a\nb", L"tab\there", L"\x01root", L"del\x7f", L"c1\x85"}) {
        SCOPED_TRACE(testing::Message() << "name #" << std::wstring(name).size());
        EXPECT_FALSE(cl::valid_user_name(name));
        fake_check check;
        cl::impersonation_state s(&check);
        win32::set_last_error(0);
        EXPECT_FALSE(s.impersonate_user(name, L"right"));
        EXPECT_EQ(win32::get_last_error(), uint32_t(win32::error_logon_failure));
        EXPECT_FALSE(s.impersonating());
        EXPECT_EQ(check.calls, 0);
    }
    EXPECT_TRUE(cl::valid_user_name(L"nobody"));
    EXPECT_TRUE(cl::valid_user_name(L"j.doe"));
}

TEST(impersonation, password_is_never_traced) {
    fake_check check;
    cl::impersonation_state s(&check);
    s.set_trace_level(3);
    captured cap;
    EXPECT_FALSE(s.impersonate_user(L"nobody", L"s3cret-Wrong"));
    EXPECT_NE(cap.sink.text.find("User login failure: nobody ("), std::string::npos)
        << cap.sink.text;
    EXPECT_NE(cap.sink.text.find("   user: [nobody], pwd: ["), std::string::npos) << cap.sink.text;
    EXPECT_EQ(cap.sink.text.find("s3cret"), std::string::npos) << cap.sink.text;
    // Control characters of a refused name do not break the trace line.
    cap.sink.text.clear();
    EXPECT_FALSE(s.impersonate_user(L"x\ny", L"pw"));
    EXPECT_NE(cap.sink.text.find("User login failure: x?y (1326)\n"), std::string::npos)
        << cap.sink.text;
}

// Without root nothing can be switched: a named user fails with
// error_privilege_not_held. As root the check runs in a child that gives
// root up first.
TEST(impersonation, named_user_without_root_fails_cleanly) {
    auto attempt = [] {
        fake_check check;
        cl::impersonation_state s(&check);
        uid_t before = current_fsuid();
        bool ok = s.impersonate_user(L"nobody", L"right");
        return !ok && win32::get_last_error() == win32::error_privilege_not_held &&
               !s.impersonating() && current_fsuid() == before && s.impersonate_user(L"", L"");
    };
    if (geteuid() != 0) {
        EXPECT_TRUE(attempt());
        return;
    }
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        gid_t nogroup = 65534;
        bool dropped = setgroups(1, &nogroup) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
        _exit(!dropped ? 2 : attempt() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(impersonation, pam_refuses_unknown_users_and_empty_passwords) {
    auto& pam = cl::pam_password_check();
    EXPECT_EQ(pam.check("tq-no-such-user-4711", "password", cl::logon32_logon_network),
              uint32_t(win32::error_logon_failure));
    EXPECT_EQ(pam.check("nobody", "", cl::logon32_logon_network),
              uint32_t(win32::error_logon_failure));
    EXPECT_EQ(pam.check("nobody", "guess", cl::logon32_logon_network),
              uint32_t(win32::error_logon_failure));
}

TEST(impersonation, account_lookup) {
    cl::logon_token t;
    ASSERT_EQ(cl::lookup_account("nobody", t), 0u);
    EXPECT_EQ(t.uid, 65534u);
    EXPECT_FALSE(t.groups.empty());
    EXPECT_EQ(cl::lookup_account("tq-no-such-user-4711", t), uint32_t(win32::error_logon_failure));
}

class as_root : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "switching file-system ids needs root";
    }
};

TEST_F(as_root, files_belong_to_the_impersonated_user_on_this_thread_only) {
    temp_dir dir;
    fake_check check;
    const uid_t uid0 = current_fsuid();
    const gid_t gid0 = current_fsgid();
    const auto groups0 = current_groups();
    cl::logon_token nobody;
    ASSERT_EQ(cl::lookup_account("nobody", nobody), 0u);
    {
        cl::impersonation_state s(&check);
        ASSERT_TRUE(s.impersonate_user(L"nobody", L"right"));
        EXPECT_EQ(s.user(), L"nobody");
        EXPECT_EQ(current_fsuid(), nobody.uid);
        EXPECT_EQ(current_fsgid(), nobody.gid);
        EXPECT_EQ(current_groups(), nobody.groups);
        EXPECT_EQ(create_owner(dir.path, "as_nobody"), nobody.uid);

        // A thread made now inherits the ids of its maker, until its entry
        // restores the process's own.
        uid_t inherited = 0, other_owner = 0;
        std::vector<gid_t> other_groups;
        std::thread t([&] {
            inherited = current_fsuid();
            EXPECT_TRUE(cl::restore_process_ids());
            other_owner = create_owner(dir.path, "other_thread");
            other_groups = current_groups();
        });
        t.join();
        EXPECT_EQ(inherited, nobody.uid);
        EXPECT_EQ(other_owner, uid0);
        EXPECT_EQ(other_groups, groups0);
        // ... and this thread is still the impersonated user.
        EXPECT_EQ(create_owner(dir.path, "still_nobody"), nobody.uid);

        s.revert_impersonation();
        EXPECT_EQ(current_fsuid(), uid0);
        EXPECT_EQ(current_fsgid(), gid0);
        EXPECT_EQ(current_groups(), groups0);
        EXPECT_EQ(create_owner(dir.path, "reverted"), uid0);

        // The end of the state reverts too.
        ASSERT_TRUE(s.impersonate_user(L"nobody", L"right"));
    }
    EXPECT_EQ(current_fsuid(), uid0);
    EXPECT_EQ(current_groups(), groups0);
}

TEST_F(as_root, a_held_log_on_is_kept_only_for_the_same_password) {
    fake_check check;
    cl::impersonation_state s(&check);
    s.set_trace_level(2);
    captured cap;
    ASSERT_TRUE(s.impersonate_user(L"nobody", L"right"));
    ASSERT_TRUE(s.impersonate_user(L"nobody", L"right"));
    EXPECT_EQ(check.calls, 1); // logged on once

    // A wrong password after a right one is checked, fails, and leaves the
    // thread reverted.
    EXPECT_FALSE(s.impersonate_user(L"nobody", L"wrong"));
    EXPECT_EQ(check.calls, 2);
    EXPECT_FALSE(s.impersonating());
    EXPECT_EQ(current_fsuid(), 0u);

    // From a user to the anonymous case: revert first, then no user name.
    ASSERT_TRUE(s.impersonate_user(L"nobody", L"right"));
    ASSERT_TRUE(s.impersonate_user(L"", L""));
    EXPECT_EQ(s.user(), L"");
    EXPECT_EQ(current_fsuid(), 0u);
    s.revert_impersonation();

    const std::string& t = cap.sink.text;
    EXPECT_NE(t.find("Impersonating user [nobody]\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Reverting from user [nobody]\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Impersonating user []\n"), std::string::npos) << t;
    EXPECT_NE(t.find("User login failure: nobody (1326)\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("wrong"), std::string::npos) << t;
}

TEST_F(as_root, unknown_account_with_accepted_password_fails) {
    fake_check check;
    cl::impersonation_state s(&check);
    EXPECT_FALSE(s.impersonate_user(L"tq-no-such-user-4711", L"right"));
    EXPECT_EQ(win32::get_last_error(), uint32_t(win32::error_logon_failure));
    EXPECT_FALSE(s.impersonating());
    EXPECT_FALSE(s.impersonate_user(L"nobody", L"right", 42));
    EXPECT_EQ(win32::get_last_error(), uint32_t(win32::error_invalid_parameter));
}

} // namespace
