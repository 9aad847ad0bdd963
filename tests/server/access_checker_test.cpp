// The access check, with a stand-in credential scheme: the Authorization
// header carries "user:password" in plain text.
#include "server/access_checker.h"
#include "server_test_support.h"

using test_support::server_fixture;

namespace {

class plain_scheme : public auth_scheme {
  public:
    std::string user_name(const access_checker& c, int32_t) override {
        auto colon = c.authorization().find(':');
        return colon == std::string::npos ? c.authorization() : c.authorization().substr(0, colon);
    }
    void add_challenge(access_checker& c, int32_t type, const std::string& realm,
                       bool stale) override {
        c.challenge_headers().add("WWW-Authenticate", std::string(auth_type_names[type]) +
                                                          " realm=\"" + realm + "\"" +
                                                          (stale ? " stale" : ""));
    }
    bool verify(access_checker& c, int32_t, const std::string&, const std::string& password,
                bool& stale) override {
        ++verifications;
        auto colon = c.authorization().find(':');
        stale = false;
        bool ok = colon != std::string::npos && c.authorization().substr(colon + 1) == password;
        if (ok) c.success_headers().add("Authentication-Info", "ok");
        return ok;
    }
    int verifications = 0;
};

class access_check : public server_fixture {
  protected:
    void SetUp() override {
        server_fixture::SetUp();
        set_auth_scheme(&scheme_);
        set_trace_level(2);
        users_ = pub() + L"users.txt";
        write_file(pub_path() / "users.txt", "x");
        host_.values[{cl::utf16_to_utf8(users_), "alice"}] = "secret";
        host_.values[{cl::utf16_to_utf8(users_), "bob"}] = "pw";
    }
    void TearDown() override {
        set_auth_scheme(nullptr);
        server_fixture::TearDown();
    }
    cl::sh_ptr<config_info> config(std::initializer_list<const wchar_t*> ls,
                                   const std::wstring& file = L"page.html") {
        cl::sh_ptr<config_info> c(new config_info);
        c->directory_being_read = pub();
        c->directory = pub() + L"area/";
        c->file_name = file;
        lines(*c, ls);
        sink_.take();
        return c;
    }

    plain_scheme scheme_;
    std::wstring users_;
    auth_info info_;
};

TEST_F(access_check, no_auth_type_means_no_authentication) {
    auto c = config({L"Require valid-user"});
    access_checker a(c, info_, "alice:secret");
    EXPECT_TRUE(a.result());
    EXPECT_FALSE(a.auth_applies());
    EXPECT_EQ(info_.user_name, "");
}

TEST_F(access_check, basic_with_all_granted_is_left_to_check_require) {
    auto c = config({L"AuthType Basic", L"Require all granted"});
    std::string user = "unchanged";
    access_checker a(c, info_, "alice:wrong", &user);
    EXPECT_TRUE(a.result());
    EXPECT_FALSE(a.auth_applies());
    EXPECT_EQ(user, "unchanged");
}

TEST_F(access_check, valid_user_with_right_and_wrong_password) {
    auto c = config(
        {L"AuthType Basic", L"AuthName Zone", L"AuthUserFile users.txt", L"Require valid-user"});
    std::string user;
    access_checker ok(c, info_, "alice:secret", &user);
    EXPECT_TRUE(ok.result());
    EXPECT_TRUE(ok.auth_applies());
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(info_.auth_type_name, "Basic");
    EXPECT_EQ(info_.realm, "Zone");
    EXPECT_EQ(info_.require_text, "valid-user");
    EXPECT_EQ(info_.user_file, cl::utf16_to_utf8(users_));
    EXPECT_EQ(ok.success_headers().get("Authentication-Info"), "ok");
    EXPECT_EQ(host_.last_field, "alice")
        << "hash-list users are looked up with their name as field";
    EXPECT_EQ(sink_.take(), "authorization: [alice:secret]\n");

    access_checker bad(c, info_, "alice:nope");
    EXPECT_FALSE(bad.result());
    EXPECT_EQ(bad.status_code(), 401u);
    EXPECT_EQ(bad.challenge_headers().get("WWW-Authenticate"), "Basic realm=\"Zone\"");
}

TEST_F(access_check, user_list_not_matched_is_challenged_with_trace) {
    auto c = config({L"AuthType Digest", L"AuthUserFile users.txt", L"Require user a b"});
    access_checker a(c, info_, "alice:secret");
    EXPECT_FALSE(a.result());
    EXPECT_EQ(a.status_code(), 401u);
    EXPECT_EQ(scheme_.verifications, 0);
    EXPECT_EQ(sink_.take(), "authorization: [alice:secret]\nRequirement not matched: alice\n");
    auto d = config({L"AuthType Digest", L"AuthUserFile users.txt", L"Require user bob alice"});
    EXPECT_TRUE(access_checker(d, info_, "alice:secret").result());
}

TEST_F(access_check, group_membership) {
    write_file(pub_path() / "groups.txt", "x");
    host_.values[{cl::utf16_to_utf8(pub()) + "groups.txt", "staff"}] = "carol  alice";
    auto c = config({L"AuthType Basic", L"AuthUserFile users.txt", L"AuthGroupFile groups.txt",
                     L"Require group nobody staff"});
    EXPECT_TRUE(access_checker(c, info_, "alice:secret").result());
    EXPECT_FALSE(access_checker(c, info_, "bob:pw").result());
    EXPECT_TRUE(user_in_group(pub() + L"groups.txt", "staff", "carol"));
    EXPECT_FALSE(user_in_group(pub() + L"groups.txt", "staff", "caro"));
    EXPECT_FALSE(user_in_group(L"", "staff", "carol"));
}

TEST_F(access_check, missing_user_and_missing_password_are_challenged) {
    auto c = config({L"AuthType Basic", L"AuthUserFile users.txt", L"Require valid-user"});
    access_checker none(c, info_, "");
    EXPECT_FALSE(none.result());
    EXPECT_EQ(sink_.take(), "authorization: []\nNo user name given for authentication\n");
    // A user without a stored password is refused even with an empty password.
    access_checker nopw(c, info_, "mallory:");
    EXPECT_FALSE(nopw.result());
    EXPECT_EQ(scheme_.verifications, 0);
    EXPECT_EQ(sink_.take(), "authorization: [mallory:]\nno password given for authentication\n");
}

class unsafe_user : public access_check, public ::testing::WithParamInterface<const char*> {};

TEST_P(unsafe_user, is_refused_before_any_file_is_read) {
    auto c = config({L"AuthType Basic", L"AuthUserFile users.txt", L"Require valid-user"});
    int before = host_.lookups;
    access_checker a(c, info_, std::string(GetParam()) + ":pw");
    EXPECT_FALSE(a.result());
    EXPECT_EQ(host_.lookups, before);
    EXPECT_NE(sink_.take().find("invalid user name: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(table, unsafe_user,
                         ::testing::Values("a/b", "a\\b", ".", "..", "a\tb", "a\x7f"));

TEST_F(access_check, user_folders_give_profile_password_and_private_directory) {
    std::filesystem::create_directories(pub_path() / "people" / "alice");
    write_file(pub_path() / "people" / "bob", "not a folder");
    host_.values[{cl::utf16_to_utf8(pub()) + "people/alice/profile.txt", "password"}] = "p1";
    auto c = config({L"AuthType Basic", L"AuthUserFile people", L"Require valid-user"});
    ASSERT_EQ(c->auth_user_file, pub() + L"people");
    access_checker ok(c, info_, "alice:p1");
    EXPECT_TRUE(ok.result());
    EXPECT_EQ(info_.private_dir, pub() + L"private/alice/");
    EXPECT_EQ(host_.last_field, "password");

    auth_info other;
    access_checker no_folder(c, other, "bob:p1");
    EXPECT_FALSE(no_folder.result());
    EXPECT_EQ(other.private_dir, L"");
    EXPECT_NE(sink_.take().find("invalid user profile name: " + cl::utf16_to_utf8(pub()) +
                                "people/bob/profile.txt\n"),
              std::string::npos);
}

// This system serves its access files, but only to an authenticated user.
TEST_F(access_check, access_file_itself_always_needs_a_valid_user) {
    auto c = config({}, L".HTACCESS");
    access_checker a(c, info_, "");
    EXPECT_FALSE(a.result());
    EXPECT_TRUE(a.auth_applies());
    EXPECT_EQ(info_.auth_type_name, "Digest");
    EXPECT_EQ(info_.realm, ".htaccess");
    EXPECT_EQ(info_.require_text, "valid-user");
    EXPECT_EQ(a.challenge_headers().get("WWW-Authenticate"), "Digest realm=\".htaccess\"");
}

TEST_F(access_check, invalid_require_is_challenged) {
    auto c = config({L"AuthType Basic", L"AuthUserFile users.txt", L"Require ip 1.2.3.4"});
    access_checker a(c, info_, "alice:secret");
    EXPECT_FALSE(a.result());
    EXPECT_NE(sink_.take().find("no valid 'Require' specified\n"), std::string::npos);
}

TEST_F(access_check, actual_user_owns_the_folder_below_the_prefix) {
    std::filesystem::create_directories(pub_path() / "home");
    auto c = config({L"AuthType Basic", L"AuthUserFile users.txt", L"Require actual-user home"});
    c->directory = pub() + L"home/alice/docs/";
    EXPECT_TRUE(access_checker(c, info_, "alice:secret").result());
    EXPECT_FALSE(access_checker(c, info_, "bob:pw").result());
    // Another spelling is another folder on this file system: neither the
    // prefix nor the user's folder matches in a different case.
    c->directory = pub() + L"home/Alice/";
    EXPECT_FALSE(access_checker(c, info_, "alice:secret").result());
    c->directory = pub() + L"HOME/alice/";
    EXPECT_FALSE(access_checker(c, info_, "alice:secret").result());
}

TEST_F(access_check, default_scheme_is_basic_and_digest) {
    set_auth_scheme(nullptr);
    auto c = config(
        {L"AuthType Basic", L"AuthName R", L"AuthUserFile users.txt", L"Require valid-user"});
    EXPECT_TRUE(access_checker(c, info_, "Basic YWxpY2U6c2VjcmV0").result()); // alice:secret
    access_checker a(c, info_, "Basic YWxpY2U6d3Jvbmc=");                     // alice:wrong
    EXPECT_FALSE(a.result());
    EXPECT_EQ(a.status_code(), 401u);
    EXPECT_EQ(a.challenge_headers().get("WWW-Authenticate"), "Basic realm=\"R\"");
}

} // namespace
