#include "platform/service/service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A stand-in systemctl: logs its arguments, answers is-active from a file.
class FakeManager : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        root_ = fs::path(base ? base : "/tmp") / ("svc_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "units");
        fs::create_directories(root_ / "run");
        const fs::path tool = root_ / "systemctl";
        std::ofstream(tool) << "#!/bin/sh\n"
                               "echo \"$*\" >> '"
                            << (root_ / "calls").string()
                            << "'\n"
                               "if [ \"$1\" = is-active ]; then cat '"
                            << (root_ / "state").string()
                            << "'; exit 0; fi\n"
                               "if [ \"$1\" = stop ]; then echo inactive > '"
                            << (root_ / "state").string() << "'; fi\nexit 0\n";
        fs::permissions(tool, fs::perms::owner_all);
        std::ofstream(root_ / "state") << "inactive\n";
        saved_ = service::manager();
        service::manager().systemctl = tool.string();
        service::manager().unit_dir = (root_ / "units").string();
        service::manager().runtime_dir = (root_ / "run").string();
    }
    void TearDown() override {
        service::manager() = saved_;
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
    service::manager_config saved_;
};

} // namespace

TEST_F(FakeManager, InstallWritesTheUnitAndRemoveDeletesIt) {
    uint32_t err = 0;
    ASSERT_TRUE(service::open_manager(err));
    EXPECT_FALSE(service::service_installed("tq"));
    ASSERT_TRUE(service::create_service("tq", "tq web server", "\"/opt/tq dir/tq\" -service", err));
    ASSERT_TRUE(service::set_description("tq", "a long\ndescription", err));
    ASSERT_TRUE(service::set_description("tq", "the description", err));
    const std::string unit = read_all(root_ / "units" / "tq.service");
    EXPECT_NE(unit.find("Description=tq web server\nX-Description=the description\n"),
              std::string::npos)
        << unit;
    EXPECT_EQ(unit.find("a long"), std::string::npos) << "replaced, not added";
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("ExecStart=\"/opt/tq dir/tq\" -service\n"), std::string::npos);
    ASSERT_TRUE(service::start_service("tq", err));
    std::ofstream(root_ / "state") << "active\n";
    uint32_t state = 0;
    ASSERT_TRUE(service::query_state("tq", state));
    EXPECT_EQ(state, service::service_running);
    ASSERT_TRUE(service::control_stop_service("tq", err));
    ASSERT_TRUE(service::query_state("tq", state));
    EXPECT_EQ(state, service::service_stopped);
    ASSERT_TRUE(service::delete_service("tq", err));
    EXPECT_FALSE(service::service_installed("tq"));
    EXPECT_EQ(read_all(root_ / "calls"), "daemon-reload\nenable tq.service\n"
                                         "start --no-block tq.service\nis-active tq.service\n"
                                         "stop --no-block tq.service\nis-active tq.service\n"
                                         "disable tq.service\ndaemon-reload\n");
}

TEST_F(FakeManager, NoRunningManagerIsAnError) {
    fs::remove_all(root_ / "run");
    uint32_t err = 0;
    EXPECT_FALSE(service::open_manager(err));
    EXPECT_EQ(err, service::error_file_not_found);
    service::manager().systemctl = (root_ / "missing").string();
    EXPECT_EQ(service::run_program(service::manager().systemctl, {"x"}), -1);
    uint32_t state = 0;
    EXPECT_FALSE(service::query_state("tq", state));
}

TEST(ServiceNotify, StatusReachesTheNotifySocket) {
    const char* base = std::getenv("TQ_TEST_TMP");
    const fs::path dir = fs::path(base ? base : "/tmp") / ("notify_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "n.sock").string();
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    const char* old = std::getenv("NOTIFY_SOCKET");
    const std::string saved = old ? old : "";
    ::unsetenv("NOTIFY_SOCKET");
    uint32_t err = 0;
    EXPECT_FALSE(service::start_dispatcher([] {}, err));
    EXPECT_EQ(err, service::error_failed_service_controller_connect);
    EXPECT_FALSE(service::notify("READY=1\n"));

    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    auto next = [&] {
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return std::string(buf, n > 0 ? size_t(n) : 0);
    };
    service::service_status s;
    s.current_state = service::service_running;
    EXPECT_TRUE(service::set_status(s));
    EXPECT_EQ(next(), "READY=1\nSTATUS=running\n");
    s.current_state = service::service_stop_pending;
    EXPECT_TRUE(service::set_status(s));
    EXPECT_EQ(next(), "STOPPING=1\nSTATUS=stopping\n");
    s.current_state = service::service_stopped;
    EXPECT_TRUE(service::set_status(s));
    EXPECT_EQ(next(), "STATUS=stopped\n") << "stopping is told once";

    if (old)
        ::setenv("NOTIFY_SOCKET", saved.c_str(), 1);
    else
        ::unsetenv("NOTIFY_SOCKET");
    ::close(fd);
    fs::remove_all(dir);
}
