#include "core/trace.h"
#include "platform/service/service.h"
#include "shell/service_mode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct captured_trace : cl::trace_base {
    std::string text;
    void write(std::string_view t, bool) override { text += t; }
    void flush(bool) override {}
};

class Installation : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        root_ = fs::path(base ? base : "/tmp") / ("inst_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "units");
        fs::create_directories(root_ / "run");
        const fs::path tool = root_ / "systemctl";
        // Starting makes the service run, stopping ends it.
        const std::string state = (root_ / "state").string();
        std::ofstream(tool) << "#!/bin/sh\ncase \"$1\" in\n"
                               "is-active) cat '"
                            << state
                            << "' 2>/dev/null || echo inactive;;\n"
                               "start) echo active > '"
                            << state
                            << "';;\n"
                               "stop) echo inactive > '"
                            << state
                            << "';;\n"
                               "esac\nexit 0\n";
        fs::permissions(tool, fs::perms::owner_all);
        saved_ = service::manager();
        service::manager().systemctl = tool.string();
        service::manager().unit_dir = (root_ / "units").string();
        service::manager().runtime_dir = (root_ / "run").string();
        cl::trace_out.add(&trace_);
    }
    void TearDown() override {
        cl::trace_out.remove(&trace_);
        service::manager() = saved_;
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    bool install(bool on) {
        return install_service(L"tqsvc", L"tq web server", L"the description",
                               L"\"/usr/bin/tq\" -service", service::service_win32_own_process, on);
    }
    fs::path root_;
    service::manager_config saved_;
    captured_trace trace_;
};

} // namespace

TEST_F(Installation, InstallStartRemoveWithTheirTraceLines) {
    // Removing a service that is not there succeeds.
    EXPECT_TRUE(install(false));
    EXPECT_EQ(trace_.text.rfind("Deinstalling service+ (tqsvc)\nopening service+\n"
                                "Deinstalling service-\n",
                                0),
              0u)
        << trace_.text;

    trace_.text.clear();
    EXPECT_TRUE(install(true));
    EXPECT_NE(trace_.text.find("creating service+\ncreating service-\nstarting service+\n"
                               "starting service-\nopening service-\nInstalling service-\n"
                               "tqsvc service: status running, win32 exit code 0\n"),
              std::string::npos)
        << trace_.text;
    EXPECT_TRUE(fs::exists(root_ / "units" / "tqsvc.service"));

    // Installed but stopped: not created again, started.
    std::ofstream(root_ / "state") << "inactive\n";
    trace_.text.clear();
    EXPECT_TRUE(install(true));
    EXPECT_NE(trace_.text.find("not creating service, service already there!\n"),
              std::string::npos);

    trace_.text.clear();
    EXPECT_TRUE(install(false));
    EXPECT_NE(trace_.text.find("stopping service\nService status is running\n"
                               "Service is stopped now\ndeleting service\nopening service-\n"
                               "service deleted and gone\nDeinstalling service-\n"),
              std::string::npos)
        << trace_.text;
    EXPECT_FALSE(fs::exists(root_ / "units" / "tqsvc.service"));
}

TEST_F(Installation, WithoutAManagerInstallingFails) {
    fs::remove_all(root_ / "run");
    EXPECT_FALSE(install(true));
    EXPECT_NE(trace_.text.find("OpenSCManager failed: 2\n"), std::string::npos);
}
