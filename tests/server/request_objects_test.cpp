#include "request_test_support.h"
#include "server/access_checker.h"
#include "server/method_table.h"
#include "server/named_mutex.h"
#include "server/request_processor.h"
#include "server/response_files.h"
#include "server/run_request.h"

#include <gtest/gtest.h>

#include <thread>

using namespace request_test;

namespace {

TEST(ResponseFiles, StringFileIsConsumedByReads) {
    string_file f("0123456789abcde");
    EXPECT_EQ(f.size(), 15);
    char buf[16] = {};
    EXPECT_EQ(f.read(buf, 10), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(f.size(), 5);
    EXPECT_EQ(f.read(buf, 10), 5);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    EXPECT_EQ(f.read(buf, 10), 0);
    EXPECT_EQ(f.size(), 0);
    // Writing to a read-only text changes nothing and claims the length.
    EXPECT_EQ(f.write("xy", 2), 2);
    EXPECT_EQ(f.size(), 0);
}

TEST(ResponseFiles, WriteableStringFileStopsAtItsLimit) {
    writeable_string_file f(32768);
    const std::string big(32760, 'a');
    EXPECT_EQ(f.write(big.data(), static_cast<int64_t>(big.size())), 32760);
    const std::string more(20, 'b');
    EXPECT_EQ(f.write(more.data(), 20), 8);
    EXPECT_EQ(f.size(), 32768);
    EXPECT_EQ(f.write(more.data(), 20), 0);
    // Reading makes room again: the limit bounds what is held.
    std::string out(100, '\0');
    EXPECT_EQ(f.read(out.data(), 100), 100);
    EXPECT_EQ(f.write(more.data(), 20), 20);
}

TEST(ResponseFiles, NulFileHasNothingAndRefusesRanges) {
    nul_file f;
    char c;
    EXPECT_EQ(f.size(), 0);
    EXPECT_EQ(f.read(&c, 1), 0);
    EXPECT_EQ(f.write("abc", 3), 3);
    EXPECT_EQ(f.modified_time_text(), "");
    EXPECT_EQ(f.etag(), "");
    EXPECT_FALSE(f.set_ranges({{0, 1}}));
    string_file s("hello");
    EXPECT_FALSE(s.set_ranges({{0, 1}}));
}

TEST(RequestData, UnknownHeadersIgnoreCaseAndKnownOnesAreNotSearched) {
    http_request_data d;
    d.unknown_headers["If"] = "(<x>)";
    d.known_headers[http_header_host] = "example";
    EXPECT_EQ(d.get_header("if"), "(<x>)");
    EXPECT_EQ(d.get_header("IF"), "(<x>)");
    EXPECT_EQ(d.get_header("Host"), "");
}

TEST(RequestData, KnownHeadersComeFromTheSlotsTheRecordSaysItsHeadFilled) {
    const uint64_t host = uint64_t{1} << khttp::header_host;
    const uint64_t agent = uint64_t{1} << khttp::header_user_agent;
    const struct {
        uint64_t filled;
        const char *host, *agent;
    } cases[] = {
        {0, "h", "a"},            // made elsewhere: every slot is read
        {host | agent, "h", "a"}, // both filled by the head
        {host, "h", ""},          // the agent's slot holds what an older head left
        {agent, "", "a"},
    };
    for (const auto& c : cases) {
        khttp::request k;
        k.known_headers[khttp::header_host] = "h";
        k.known_headers[khttp::header_user_agent] = "a";
        k.unknown_headers = {{"X-One", "1"}};
        k.filled_headers = c.filled;
        const auto d = make_request_data(k, win32::systemtime{});
        EXPECT_EQ(d->header(http_header_host), c.host) << c.filled;
        EXPECT_EQ(d->header(http_header_user_agent), c.agent) << c.filled;
        EXPECT_EQ(d->get_header("x-one"), "1") << c.filled;
    }
}

TEST(RequestData, ANameThatCameMoreThanOnceKeepsEveryValue) {
    using fields = std::vector<std::pair<std::string, std::string>>;
    const struct {
        fields sent;
        const char* joined;
    } cases[] = {
        {{{"X-Rep", "1"}, {"x-rep", "2"}}, "1, 2"},
        {{{"X-Rep", "1"}, {"X-Other", "o"}, {"X-REP", "3"}}, "1, 3"},
        {{{"X-Rep", ""}, {"X-Rep", "2"}}, "2"},
        {{{"X-Rep", "1"}, {"X-Rep", ""}}, "1"},
    };
    for (const auto& c : cases) {
        khttp::request k;
        k.unknown_headers = c.sent;
        const auto d = make_request_data(k, win32::systemtime{});
        EXPECT_EQ(d->get_header("x-rep"), c.joined) << c.joined;
        // In the spelling that came first.
        EXPECT_EQ(d->unknown_headers.find(std::string_view("x-rep"))->first, "X-Rep");
    }
}

TEST(CgiVariables, HeaderNames) {
    EXPECT_EQ(cgi_header_variable_name("User-Agent"), "HTTP_USER_AGENT");
    EXPECT_EQ(cgi_header_variable_name("X-Forwarded-For"), "HTTP_X_FORWARDED_FOR");
    EXPECT_EQ(cgi_header_variable_name("transferMode.dlna.org"), "HTTP_TRANSFERMODE.DLNA.ORG");
}

class CgiVariablesFixture : public request_fixture {};

TEST_F(CgiVariablesFixture, CreationAndRunVariables) {
    set_cgi_values({"tq/1.0", "/srv/pub/", "/srv/private/"});
    auto r = get_request("");
    r->info = cl::make_sh<req_info>();
    r->info->set("SERVER_NAME", "127.0.0.1");
    r->data->version = 100;
    r->data->known_headers[http_header_user_agent] = "agent/1";
    r->data->known_headers[http_header_referer] = "http://a/";
    r->data->unknown_headers["X-Forwarded-For"] = "10.0.0.1";
    set_request_variables(*r);
    const req_info& v = *r->info;
    EXPECT_EQ(v.get("SERVER_SOFTWARE"), "tq/1.0");
    EXPECT_EQ(v.get("SERVER_PROTOCOL"), "HTTP/1.1");
    EXPECT_EQ(v.get("GATEWAY_INTERFACE"), "CGI/1.1");
    EXPECT_EQ(v.get("DOCUMENT_ROOT"), "/srv/pub/");
    EXPECT_EQ(v.get("_TSKQVL_PRIVATE_DIR"), "/srv/private/");
    EXPECT_EQ(v.get("SERVER_NAME"), "127.0.0.1"); // no Host header
    EXPECT_TRUE(v.has("CONTENT_LENGTH"));
    EXPECT_TRUE(v.has("CONTENT_TYPE"));
    EXPECT_EQ(v.get("CONTENT_LENGTH"), "");
    EXPECT_EQ(v.get("REDIRECT_STATUS"), "200");
    EXPECT_EQ(v.get("HTTP_USER_AGENT"), "agent/1");
    EXPECT_EQ(v.get("HTTP_X_FORWARDED_FOR"), "10.0.0.1");
    EXPECT_EQ(r->user_agent, "agent/1");
    EXPECT_EQ(r->referer, "http://a/");
    EXPECT_TRUE(r->close_connection); // HTTP/1.0 without Connection
    set_cgi_values({});
}

TEST_F(CgiVariablesFixture, HostAndConnection) {
    auto r = get_request("");
    r->data->known_headers[http_header_host] = "www.example";
    r->data->known_headers[http_header_connection] = "close";
    set_request_variables(*r);
    EXPECT_EQ(r->info->get("SERVER_NAME"), "www.example");
    EXPECT_TRUE(r->close_connection);
    auto k = get_request("");
    k->data->version = 100;
    k->data->known_headers[http_header_connection] = "Keep-Alive";
    set_request_variables(*k);
    EXPECT_FALSE(k->close_connection);
}

TEST_F(CgiVariablesFixture, ProxyHeaderAndUnderscoreNamesGetNoVariable) {
    auto r = get_request("");
    r->data->unknown_headers["Proxy"] = "http://evil:8080/";
    r->data->unknown_headers["X-Foo"] = "right";
    r->data->unknown_headers["X_Foo"] = "wrong";
    r->data->unknown_headers["Content_Length"] = "99";
    set_request_variables(*r);
    EXPECT_FALSE(r->info->has("HTTP_PROXY"));
    EXPECT_EQ(r->info->get("HTTP_X_FOO"), "right");
    EXPECT_FALSE(r->info->has("HTTP_CONTENT_LENGTH"));
}

TEST_F(CgiVariablesFixture, DlnaTransferModeIsEchoed) {
    auto r = get_request("");
    r->data->unknown_headers["transferMode.dlna.org"] = "Streaming";
    set_request_variables(*r);
    EXPECT_EQ(r->headers->get("transferMode.dlna.org"), "Streaming");
    EXPECT_EQ(r->info->get("HTTP_TRANSFERMODE.DLNA.ORG"), "Streaming");
    auto plain = get_request("");
    set_request_variables(*plain);
    EXPECT_EQ(plain->headers->get("transferMode.dlna.org"), "");
}

TEST(CgiVariables, AuthenticationVariables) {
    auth_info a;
    a.user_name = "ann";
    a.auth_type_name = "Digest";
    a.realm = "home";
    a.require_text = "valid-user";
    a.user_file = "/u.txt";
    cl::sh_ptr<req_info> info = cl::make_sh<req_info>();
    set_cgi_auth_variables(a, *info);
    EXPECT_EQ(info->get("REMOTE_USER"), "ann");
    EXPECT_EQ(info->get("AUTH_TYPE"), "Digest");
    EXPECT_EQ(info->get("_TSKQVL_AUTHNAME"), "home");
    EXPECT_EQ(info->get("_TSKQVL_REQUIRE"), "valid-user");
    EXPECT_EQ(info->get("_TSKQVL_AUTHUSERFILE"), "/u.txt");
}

// A handler that notes that it ran and what it saw.
struct probe_request : http_request {
    probe_request() : http_request(cl::make_sh<response_headers>()) {}
    int handle() override {
        ++runs;
        mutex_seen = request_mutex != nullptr;
        return answer;
    }
    int runs = 0;
    int answer = 0;
    bool mutex_seen = false;
};

struct refusing_impersonator : request_impersonator {
    bool impersonate(const std::wstring& user, const std::wstring& password) override {
        last_user = user;
        last_password = password;
        return false;
    }
    std::wstring last_user, last_password;
};

class RunRequest : public request_fixture {};

TEST_F(RunRequest, FailedImpersonationAnswers403WithoutTheHandler) {
    refusing_impersonator imp;
    set_request_impersonator(&imp);
    auto config = config_for("");
    config->user = L"nobody-here";
    config->userpwd = L"/users.txt";
    config->lock_file = L"m1";
    host_.values[{"/users.txt", "nobody-here"}] = "secret";
    probe_request r;
    auto info = cl::make_sh<req_info>();
    info->config = config;
    EXPECT_EQ(run_request(r, nullptr, std::make_shared<http_request_data>(), info, true), 403);
    EXPECT_EQ(r.runs, 0);
    EXPECT_EQ(r.request_mutex, nullptr);
    EXPECT_EQ(imp.last_user, L"nobody-here");
    EXPECT_EQ(imp.last_password, L"secret");
    set_request_impersonator(nullptr);
}

TEST_F(RunRequest, HandlerResultAndSharedMutex) {
    auto config = config_for("");
    config->lock_file = L"shared";
    probe_request first, second;
    auto info1 = cl::make_sh<req_info>();
    info1->config = config;
    auto info2 = cl::make_sh<req_info>();
    info2->config = config;
    first.answer = 405;
    EXPECT_EQ(run_request(first, nullptr, std::make_shared<http_request_data>(), info1, false),
              405);
    EXPECT_EQ(run_request(second, nullptr, std::make_shared<http_request_data>(), info2, false), 0);
    EXPECT_TRUE(first.mutex_seen);
    ASSERT_NE(first.request_mutex, nullptr);
    // Both hold the same object; only the first request owns it.
    EXPECT_EQ(first.request_mutex, second.request_mutex);
    EXPECT_TRUE(first.request_mutex->owned_by(&first));
    EXPECT_FALSE(first.request_mutex->owned_by(&second));
    EXPECT_EQ(first.request_mutex->name(), L"Global\\Teskqvel\\http_request_mutexes\\shared");
    EXPECT_EQ(second.info->get("REDIRECT_STATUS"), "200");
}

TEST_F(RunRequest, WithoutVariablesAConfigurationIsMade) {
    probe_request r;
    auto data = std::make_shared<http_request_data>();
    data->method = "GET";
    data->path = L"/<bad>";
    EXPECT_EQ(run_request(r, nullptr, data, nullptr, false), 0);
    ASSERT_TRUE(r.info);
    ASSERT_NE(r.config(), nullptr);
    EXPECT_EQ(r.info->data, data.get());
    EXPECT_EQ(r.runs, 1);
}

struct throwing_request : http_request {
    throwing_request() : http_request(cl::make_sh<response_headers>()) {}
    int handle() override { throw std::runtime_error("boom"); }
};

TEST_F(RunRequest, AnExceptionBecomesA500) {
    throwing_request r;
    auto info = cl::make_sh<req_info>();
    info->config = config_for("");
    EXPECT_EQ(run_request(r, nullptr, std::make_shared<http_request_data>(), info, false), 500);
}

TEST(NamedMutex, OwnershipWaitsAndRelease) {
    int a = 0, b = 0;
    bool existed = true;
    auto m = named_mutex::create(L"test-mutex", &a, true, &existed);
    EXPECT_FALSE(existed);
    auto again = named_mutex::create(L"test-mutex", &b, true, &existed);
    EXPECT_TRUE(existed);
    EXPECT_EQ(m, again);
    EXPECT_FALSE(m->wait(&b, 10));
    EXPECT_FALSE(m->release(&b));
    std::thread t([&] { EXPECT_TRUE(m->wait(&b, 0xFFFFFFFFu)); });
    EXPECT_TRUE(m->release(&a));
    t.join();
    EXPECT_TRUE(m->owned_by(&b));
    EXPECT_TRUE(m->release(&b));
    m.reset();
    again.reset();
    // Once nobody holds it the name makes a new mutex.
    auto fresh = named_mutex::create(L"test-mutex", &a, false, &existed);
    EXPECT_FALSE(existed);
    EXPECT_FALSE(fresh->owned_by(&a));
}

TEST(ScriptTiming, StartAndStop) {
    EXPECT_EQ(script_timing_stop("never-started"), 0u);
    script_timing_start("s1");
    (void)script_timing_stop("s1");
    EXPECT_EQ(script_timing_stop("s1"), 0u); // a second stop
    script_timing_start("s2");
    script_timing_start("s2");
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GE(script_timing_stop("s2"), 1000u);
}

TEST(RequestClasses, ConstructorsAndPlaceholders) {
    auto h = cl::make_sh<response_headers>();
    http_error_request e304(h, 304), e404(h, 404), e205(h, 205);
    EXPECT_TRUE(e304.no_body);
    EXPECT_TRUE(e205.no_body);
    EXPECT_FALSE(e404.no_body);
    EXPECT_EQ(e404.status_code, 404);
    EXPECT_EQ(e404.reason, std::string(status_text(404)));
    EXPECT_EQ(e404.mode, mode_get);
    proxy_request proxy(h);
    EXPECT_EQ(proxy.piece_size, 4096u);
    EXPECT_EQ(proxy.handle(), 500); // nothing to forward without request data
    http_script_request script(h, L"/x.js");
    EXPECT_EQ(script.script_target, L"/x.js");
    EXPECT_EQ(script.file().size(), 0);
}

// The server's own methods are there from the start; methods added later
// follow them in "Allow", and a name is never taken twice.
TEST(RequestClasses, MethodTable) {
    ASSERT_NE(find_method("GET"), nullptr);
    EXPECT_FALSE(find_method("GET")->may_block);
    EXPECT_FALSE(find_method("OPTIONS")->may_block);
    EXPECT_TRUE(find_method("POST")->may_block);
    EXPECT_EQ(find_method("get"), nullptr);
    EXPECT_EQ(find_method("TRACE"), nullptr);
    const std::string before = allow_list();
    EXPECT_EQ(before.rfind("GET,HEAD,POST,OPTIONS", 0), 0u);
    static constexpr method_row rows[] = {
        {"XTEST",
         [](cl::sh_ptr<response_headers> h) -> std::unique_ptr<http_request> {
             return std::make_unique<http_error_request>(std::move(h), 418);
         },
         true},
        {"GET", nullptr, true},
    };
    add_methods(rows, std::size(rows));
    ASSERT_NE(find_method("XTEST"), nullptr);
    EXPECT_TRUE(find_method("XTEST")->may_block);
    EXPECT_EQ(static_cast<http_error_request&>(
                  *find_method("XTEST")->make(cl::make_sh<response_headers>()))
                  .status_code,
              418);
    EXPECT_FALSE(find_method("GET")->may_block);
    EXPECT_EQ(allow_list(), before + ",XTEST");
}

TEST(RequestClasses, DestructionWaitsForHandedOffWork) {
    std::atomic<bool> finished{false};
    std::thread worker;
    {
        http_get_request r(cl::make_sh<response_headers>(), mode_get);
        r.work_started();
        worker = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            finished = true;
            r.work_done();
        });
    }
    EXPECT_TRUE(finished);
    worker.join();
}

} // namespace
