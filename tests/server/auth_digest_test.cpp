// The Digest computation against the published MD5 examples, header
// parameter reading, the nonce table (counts, replays, bound, purge) and whole
// Digest logins through the access check.
#include "server/auth_digest.h"
#include "server_test_support.h"

#include <ctime>

using test_support::server_fixture;

namespace {

TEST(digest_computation, published_md5_examples) {
    struct example {
        digest_input in;
        const char* response;
    };
    const example examples[] = {
        // The qop="auth" example of RFC 2617.
        {{"Mufasa", "testrealm@host.com", "Circle Of Life", "GET", "/dir/index.html",
          "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", "auth"},
         "6629fae49393a05397450978507c4ef1"},
        // The MD5 example of RFC 7616.
        {{"Mufasa", "http-auth@example.org", "Circle of Life", "GET", "/dir/index.html",
          "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
          "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", "auth"},
         "8ca523f5e9506fed4657c9700eebdbec"},
    };
    for (const example& e : examples)
        EXPECT_EQ(digest_response(e.in), e.response) << e.in.realm;
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digest_kd("a", "b"), md5_hex("a:b"));
    // Without qop: KD(HA1, nonce ":" HA2); rspauth uses an empty method.
    digest_input old = examples[0].in;
    old.qop.clear();
    const std::string ha1 = md5_hex("Mufasa:testrealm@host.com:Circle Of Life");
    EXPECT_EQ(digest_response(old),
              digest_kd(ha1, old.nonce + ":" + md5_hex("GET:/dir/index.html")));
    EXPECT_EQ(digest_rspauth(old), digest_kd(ha1, old.nonce + ":" + md5_hex(":/dir/index.html")));
}

TEST(digest_computation, header_parameters) {
    const std::string h = "Digest username=\"Mu\\\"fasa\", realm=\"a, b\", nonce=abc ,"
                          " cnonce=\"c1\", nc=00000002,qop=auth, uri = \"/x?a=1\"";
    struct row {
        const char* name;
        const char* value;
    };
    for (const row& r : {row{"username", "Mu\"fasa"}, row{"realm", "a, b"}, row{"nonce", "abc"},
                         row{"cnonce", "c1"}, row{"nc", "00000002"}, row{"qop", "auth"},
                         row{"uri", "/x?a=1"}, row{"opaque", ""}, row{"b", ""}})
        EXPECT_EQ(auth_param(h, r.name), r.value) << r.name;

    EXPECT_EQ(basic_part("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==", true), "Aladdin");
    EXPECT_EQ(basic_part("basic  QWxhZGRpbjpvcGVuIHNlc2FtZQ==", false), "open sesame");
    EXPECT_EQ(basic_part("Basic QWxhZGRpbg==", true), "") << "no colon";
    EXPECT_EQ(basic_part("Digest QWxhZGRpbjpvcGVuIHNlc2FtZQ==", true), "");

    EXPECT_EQ(domain_path(L"/srv/pub/a/b/", L"/srv/pub/"), "/a/b/");
    EXPECT_EQ(domain_path(L"/srv/pub/", L"/srv/pub/"), "/");
    EXPECT_EQ(domain_path(L"/srv/", L"/srv/pub/"), "/");
    EXPECT_EQ(domain_path(L"/elsewhere/deep/path/", L"/srv/pub/"), "/");
}

class nonce_table_test : public ::testing::Test {
  protected:
    void SetUp() override {
        clear_digest_nonces();
        limit_ = digest_nonce_limit();
    }
    void TearDown() override {
        set_digest_nonce_limit(limit_);
        clear_digest_nonces();
    }
    std::size_t limit_ = 0;
};

TEST_F(nonce_table_test, counts_are_used_once_each_up_to_32) {
    const std::string n = new_digest_nonce();
    EXPECT_EQ(n.size(), 32u);
    EXPECT_NE(new_digest_nonce(), n);
    EXPECT_EQ(use_digest_nonce(n, 1), nonce_use::accepted);
    EXPECT_EQ(use_digest_nonce(n, 1), nonce_use::stale);
    EXPECT_EQ(use_digest_nonce(n, 32), nonce_use::accepted);
    EXPECT_EQ(use_digest_nonce(n, 33), nonce_use::stale);
    EXPECT_EQ(use_digest_nonce(n, 0), nonce_use::stale) << "a used nonce is not fresh";
    const std::string fresh = new_digest_nonce();
    EXPECT_EQ(use_digest_nonce(fresh, 0), nonce_use::accepted);
    EXPECT_EQ(use_digest_nonce(fresh, 0), nonce_use::stale);
    EXPECT_EQ(use_digest_nonce(fresh, 2), nonce_use::stale) << "used up";
    EXPECT_EQ(use_digest_nonce("0123456789abcdef0123456789abcdef", 1), nonce_use::unknown);
}

TEST_F(nonce_table_test, purge_by_age) {
    const std::string n = new_digest_nonce();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    purge_digest_nonces(now + 899);
    EXPECT_TRUE(digest_nonce_known(n));
    purge_digest_nonces(now + 901 + 5);
    EXPECT_FALSE(digest_nonce_known(n));
    EXPECT_EQ(digest_nonce_count(), 0u);
}

TEST_F(nonce_table_test, a_flood_of_challenges_stays_within_the_bound) {
    set_digest_nonce_limit(100);
    const std::string first = new_digest_nonce();
    std::string last;
    for (int i = 0; i < 5000; ++i)
        last = new_digest_nonce();
    EXPECT_EQ(digest_nonce_count(), 100u);
    EXPECT_FALSE(digest_nonce_known(first)) << "the oldest makes room";
    EXPECT_TRUE(digest_nonce_known(last));
    EXPECT_EQ(use_digest_nonce(last, 1), nonce_use::accepted);
}

// Whole logins through the access check with the Basic and Digest schemes.
class digest_login : public server_fixture {
  protected:
    void SetUp() override {
        server_fixture::SetUp();
        set_auth_scheme(nullptr);
        set_digest_secret("s3cret");
        clear_digest_nonces();
        write_file(pub_path() / "users.txt", "x");
        host_.values[{cl::utf16_to_utf8(pub() + L"users.txt"), "alice"}] = "secret";
        cfg_ = cl::sh_ptr<config_info>(new config_info);
        cfg_->directory_being_read = pub();
        cfg_->directory = pub() + L"area/";
        cfg_->file_name = L"page.html";
        lines(*cfg_, {L"AuthType Digest", L"AuthName R", L"AuthUserFile users.txt",
                      L"Require valid-user"});
        info_.method = "GET";
        info_.uri = "/area/page.html?x=1";
    }
    void TearDown() override {
        clear_digest_nonces();
        server_fixture::TearDown();
    }

    // A fresh challenge's nonce and opaque.
    std::pair<std::string, std::string> challenge() {
        auth_info i = info_;
        access_checker a(cfg_, i, "");
        EXPECT_FALSE(a.result());
        const std::string h = a.challenge_headers().get("WWW-Authenticate");
        EXPECT_EQ(h.rfind("Digest realm=\"R\", domain=\"/area/\", nonce=\"", 0), 0u) << h;
        EXPECT_NE(h.find(", stale=false, qop=\"auth\""), std::string::npos) << h;
        return {auth_param(h, "nonce"), auth_param(h, "opaque")};
    }
    std::string answer(const std::string& nonce, const std::string& opaque, const std::string& uri,
                       const std::string& nc, const std::string& qop = "auth",
                       const std::string& password = "secret") {
        digest_input in{"alice", "R", password, "GET", uri, nonce, nc, "cn", qop};
        std::string h = "Digest username=\"alice\", realm=\"R\", nonce=\"" + nonce + "\", uri=\"" +
                        uri + "\", response=\"" + digest_response(in) + "\", opaque=\"" + opaque +
                        "\"";
        if (!qop.empty()) h += ", qop=" + qop + ", nc=" + nc + ", cnonce=\"cn\"";
        return h;
    }
    bool login(const std::string& header, bool* stale = nullptr) {
        auth_info i = info_;
        access_checker a(cfg_, i, header);
        if (stale)
            *stale = a.challenge_headers().get("WWW-Authenticate").find("stale=true") !=
                     std::string::npos;
        return a.result();
    }

    cl::sh_ptr<config_info> cfg_;
    auth_info info_;
};

TEST_F(digest_login, answer_accepted_once_per_count) {
    auto [nonce, opaque] = challenge();
    const std::string h = answer(nonce, opaque, info_.uri, "00000001");
    {
        auth_info i = info_;
        access_checker a(cfg_, i, h);
        ASSERT_TRUE(a.result());
        const std::string rspauth = digest_rspauth(
            {"alice", "R", "secret", "GET", info_.uri, nonce, "00000001", "cn", "auth"});
        EXPECT_EQ(a.success_headers().get("Authentication-Info"),
                  "qop=\"auth\", rspauth=\"" + rspauth + "\", cnonce=\"cn\", nc=00000001");
        EXPECT_EQ(i.user_name, "alice");
    }
    bool stale = false;
    EXPECT_FALSE(login(h, &stale));
    EXPECT_TRUE(stale);
    EXPECT_TRUE(login(answer(nonce, opaque, info_.uri, "00000002")));
    EXPECT_FALSE(login(answer(nonce, opaque, info_.uri, "00000021"), &stale));
    EXPECT_TRUE(stale);
}

TEST_F(digest_login, every_part_of_the_answer_counts) {
    auto [nonce, opaque] = challenge();
    bool stale = true;
    EXPECT_FALSE(login(answer(nonce, opaque, info_.uri, "00000001", "auth", "wrong"), &stale));
    EXPECT_FALSE(stale);
    EXPECT_FALSE(login(answer(nonce, "0000", info_.uri, "00000002"))) << "opaque";
    EXPECT_FALSE(login(answer(nonce, opaque, info_.uri, "00000003", "auth-int"))) << "qop";
    EXPECT_FALSE(login(answer(nonce, opaque, "/area/other.html", "00000004"))) << "uri";
    EXPECT_FALSE(
        login(answer("0123456789abcdef0123456789abcdef", opaque, info_.uri, "00000005"), &stale));
    EXPECT_FALSE(stale) << "unknown nonces are not stale";
    // The target without its query is accepted (some clients leave it out).
    EXPECT_TRUE(login(answer(nonce, opaque, "/area/page.html", "00000006")));
    // A caller that did not give the request target admits no Digest login.
    info_.uri.clear();
    EXPECT_FALSE(login(answer(nonce, opaque, "/area/page.html?x=1", "00000007")));
}

TEST_F(digest_login, older_form_without_qop_needs_a_fresh_nonce) {
    auto [nonce, opaque] = challenge();
    const std::string h = answer(nonce, opaque, info_.uri, "", "");
    auth_info i = info_;
    access_checker a(cfg_, i, h);
    ASSERT_TRUE(a.result());
    EXPECT_EQ(a.success_headers().get("Authentication-Info").find("cnonce"), std::string::npos);
    bool stale = false;
    EXPECT_FALSE(login(h, &stale));
    EXPECT_TRUE(stale);
}

TEST_F(digest_login, basic_credentials_never_reach_the_trace) {
    set_trace_level(3);
    cl::sh_ptr<config_info> c(new config_info);
    c->directory_being_read = pub();
    c->directory = pub();
    c->file_name = L"page.html";
    lines(*c, {L"AuthType Basic", L"AuthName R", L"AuthUserFile users.txt", L"Require valid-user"});
    auth_info i;
    sink_.take();
    EXPECT_TRUE(access_checker(c, i, "Basic YWxpY2U6c2VjcmV0").result());
    const std::string t = sink_.take();
    EXPECT_NE(t.find("authorization: [Basic ***]"), std::string::npos) << t;
    EXPECT_EQ(t.find("YWxpY2U6c2VjcmV0"), std::string::npos) << t;
}

} // namespace
