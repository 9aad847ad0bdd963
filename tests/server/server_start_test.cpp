// Server start and stop: the firewall steps in order, the early end without a
// type library, the proxy's client session, the held objects, a live start on
// loopback and the statistics line at stop.
#include "core/format.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/timer.h"
#include "core/trace.h"
#include "server/access_log.h"
#include "server/http_server.h"
#include "server/request_thread.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"
#include "server/server_start.h"
#include "server/start_services.h"
#include "tests/common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using tq_test::exchange;
using tq_test::free_port;

std::vector<std::string> firewall_calls;
bool firewall_enabled = true;

class fake_firewall : public firewall_ports {
  public:
    bool init(uint32_t profiles) override {
        firewall_calls.push_back("init " + std::to_string(profiles));
        return true;
    }
    bool is_enabled() override { return firewall_enabled; }
    bool add_port(uint32_t port, bool tcp, const std::wstring& name) override {
        firewall_calls.push_back("add " + std::to_string(port) + (tcp ? " tcp " : " udp ") +
                                 cl::utf16_to_utf8(name));
        return port != 2869; // one refusal, traced
    }
    bool remove_port(uint32_t port, bool tcp) override {
        firewall_calls.push_back("remove " + std::to_string(port) + (tcp ? " tcp" : " udp"));
        return true;
    }
};

std::unique_ptr<firewall_ports> make_fake_firewall() {
    return std::make_unique<fake_firewall>();
}

class fake_services : public start_services {
  public:
    bool type_library_loads() override { return typelib; }
    uint32_t open_http_session() override {
        ++sessions;
        return 12029;
    }
    bool typelib = true;
    int sessions = 0;
};

class capture_sink : public cl::trace_base {
  public:
    void write(std::string_view text, bool) override { text_.append(text); }
    void flush(bool) override {}
    std::string text_;
};

class server_start_test : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!cl::global_timers_running()) {
            cl::start_global_timers();
            started_timers_ = true;
        }
        const char* base = std::getenv("TQ_TEST_TMP");
        std::filesystem::path root = base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "startXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ / "pub");
        firewall_calls.clear();
        firewall_enabled = true;
        set_firewall_factory(make_fake_firewall);
        set_start_services(&services_);
        cl::trace_out.add(&sink_);
        set_public_dir(L"");
        port_ = free_port();
    }
    void TearDown() override {
        cl::trace_out.remove(&sink_);
        set_firewall_factory(nullptr);
        set_start_services(nullptr);
        shell_settings() = shell_values();
        server_settings() = server_values();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        if (started_timers_) cl::stop_global_timers();
    }
    void configure(const std::string& extra, bool media = false) {
        std::ofstream f(dir_ / "global.ini", std::ios::binary);
        f << "[param]\r\nserver_port=" << port_ << "\r\nhost_name=127.0.0.1\r\n" << extra;
        f.close();
        ini_.set_path(cl::utf8_to_utf16((dir_ / "global.ini").string()), true);
        shell_values& s = shell_settings();
        s.data_dir = cl::utf8_to_utf16(dir_.string()) + L"/";
        s.install_dir = s.data_dir;
        s.global_ini = &ini_;
        s.product_name = L"Tesk qvel";
        s.enable_media_server = media;
    }

    std::filesystem::path dir_;
    cl::ini_file ini_;
    fake_services services_;
    capture_sink sink_;
    uint16_t port_ = 0;
    bool started_timers_ = false;
};

TEST_F(server_start_test, live_start_serves_and_stop_undoes_it_in_order) {
    configure("https_port=" + std::to_string(port_) +
                  "\r\n[active_x_objects]\r\nx=No.Such.Object\r\n",
              true);
    ASSERT_TRUE(server_start());
    EXPECT_NE(server_pool(), nullptr);
    EXPECT_NE(request_thread_state(), nullptr);
    EXPECT_EQ(the_http_server().registered_urls(),
              std::vector<std::wstring>{cl::format_wstr(L"http://127.0.0.1:%?/", port_)});
    EXPECT_TRUE(the_access_log().is_open());
    EXPECT_EQ(the_access_log().path(), cl::utf8_to_utf16((dir_ / "pub/logs/access.log").string()));
    // A request reaches the processor.
    const std::string r = exchange(port_, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", true);
    EXPECT_EQ(r.substr(0, 9), "HTTP/1.1 ");
    EXPECT_EQ(services_.sessions, 0); // no proxy port, no session
    server_stop();
    EXPECT_EQ(server_pool(), nullptr);
    EXPECT_FALSE(the_access_log().is_open());
    EXPECT_TRUE(the_http_server().registered_urls().empty());

    const std::string p = std::to_string(port_);
    // The same port for HTTPS is opened and closed once.
    EXPECT_EQ(firewall_calls, (std::vector<std::string>{
                                  "init 7", "add " + p + " tcp Tesk qvel",
                                  "add " + p + " udp Tesk qvel", "add 1900 udp Tesk qvel uPnP",
                                  "add 2869 tcp Tesk qvel uPnP", "init 7", "remove " + p + " tcp",
                                  "remove " + p + " udp", "remove 1900 udp", "remove 2869 tcp"}));
    EXPECT_NE(sink_.text_.find("unable to add TCP port 2869 to Windows firewall\n"),
              std::string::npos);
    EXPECT_NE(sink_.text_.find("unable to get CLSID for No.Such.Object (800401f3)\n"),
              std::string::npos);
    EXPECT_NE(sink_.text_.find("R 0/0, M 0/0, W 0/0, S 0/0 SW 0\n"), std::string::npos);
    EXPECT_NE(sink_.text_.find("Adding url http://127.0.0.1:" + p + "/\n"), std::string::npos);
}

TEST_F(server_start_test, disabled_firewall_gets_one_line_and_no_ports) {
    firewall_enabled = false;
    configure("https_port=0\r\nproxy_port=" + std::to_string(free_port()) + "\r\n");
    ASSERT_TRUE(server_start());
    EXPECT_EQ(services_.sessions, 1);
    EXPECT_NE(sink_.text_.find("unable to start WinHttp session: 12029\n"), std::string::npos);
    server_stop();
    EXPECT_NE(sink_.text_.find("Windows firewall not enabled\n"), std::string::npos);
    for (const std::string& call : firewall_calls)
        EXPECT_EQ(call.rfind("add", 0), std::string::npos) << call;
}

TEST_F(server_start_test, missing_type_library_ends_start_early_and_stop_copes) {
    services_.typelib = false;
    configure("");
    EXPECT_FALSE(server_start());
    EXPECT_EQ(server_pool(), nullptr);
    EXPECT_TRUE(the_http_server().registered_urls().empty());
    EXPECT_NE(sink_.text_.find("Unable to load TypeLib"), std::string::npos);
    server_stop();
    EXPECT_EQ(server_pool(), nullptr);
    EXPECT_TRUE(firewall_calls.empty());
}

} // namespace
