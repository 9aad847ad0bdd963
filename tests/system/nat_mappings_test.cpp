#include "system/nat_mappings.h"

#include "../common/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/types.h>

namespace {

// The gateway stand-in, a Python script on loopback, for one test.
class igd_double {
  public:
    igd_double(const std::string& log, bool permanent_only) : log_(log) {
        const std::string cmd = std::string("exec python3 ") + TQ_TEST_SOURCE_DIR +
                                "/igd_double.py '" + log + "'" +
                                (permanent_only ? " --permanent-only" : "");
        pipe_ = ::popen(cmd.c_str(), "r");
        if (pipe_ && std::fscanf(pipe_, "%d %d", &port_, &pid_) != 2) port_ = 0;
    }
    ~igd_double() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        if (pipe_) ::pclose(pipe_);
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/rootDesc.xml";
    }
    int port() const { return port_; }
    // The actions the gateway was asked for, in order.
    std::vector<std::string> actions() const {
        std::vector<std::string> out;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            const auto a = line.find("\"action\": \"") + 11;
            out.push_back(
                line.substr(a, line.find('"', a) - a) +
                (line.find("\"NewLeaseDuration\": \"0\"") != std::string::npos ? "/0" : ""));
        }
        return out;
    }

  private:
    std::string log_;
    FILE* pipe_ = nullptr;
    int port_ = 0;
    int pid_ = 0;
};

using nat_mappings = tq_test::temp_dir_test;

TEST_F(nat_mappings, maps_the_facing_address_and_removes_only_its_own) {
    igd_double igd((dir_ / "log").string(), false);
    ASSERT_GT(igd.port(), 0) << "python3 and the gateway double must run";
    auto g = nat::gateway::from_url(igd.url());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->lan_address(), "127.0.0.1");
    ASSERT_TRUE(sys::nat_setup_with(std::move(g)));

    EXPECT_TRUE(sys::nat_add_port_mappings(8080, L"TCP", 8080, L"Tesk Qvelora HTTP"));
    EXPECT_TRUE(sys::nat_add_port_mappings(8443, L"TCP", 8443, L"Tesk Qvelora HTTPS"));
    auto other = nat::gateway::from_url(igd.url());
    ASSERT_TRUE(other);
    nat::mapping_entry e;
    ASSERT_EQ(other->get(8080, "TCP", e), 0);
    EXPECT_EQ(e.internal_client, "127.0.0.1");
    EXPECT_EQ(e.internal_port, 8080);
    EXPECT_EQ(e.description, "Tesk Qvelora HTTP");
    EXPECT_EQ(e.lease_seconds, sys::nat_lease_seconds);
    EXPECT_TRUE(e.enabled);

    // The lease is renewed by asking again.
    sys::nat_renew_mappings();

    // A mapping this program never made is not touched.
    ASSERT_EQ(other->add(9090, "TCP", 9090, "10.0.0.9", "someone", 0), 0);
    EXPECT_FALSE(sys::nat_remove_port_mapping(9090, L"TCP"));
    // Another computer took 8443 after our lease ran out: it stays theirs.
    ASSERT_EQ(other->add(8443, "TCP", 8443, "10.0.0.9", "someone", 0), 0);
    EXPECT_FALSE(sys::nat_remove_port_mapping(8443, L"TCP"));
    ASSERT_EQ(other->get(8443, "TCP", e), 0);
    EXPECT_EQ(e.internal_client, "10.0.0.9");

    EXPECT_TRUE(sys::nat_remove_port_mapping(8080, L"TCP"));
    EXPECT_NE(other->get(8080, "TCP", e), 0);
    EXPECT_EQ(sys::nat_mapping_count(), 0u);
    sys::nat_release_globals();
    EXPECT_FALSE(sys::nat_add_port_mappings(8080, L"TCP", 8080, L"Tesk Qvelora HTTP"));

    EXPECT_EQ(igd.actions(), (std::vector<std::string>{
                                 "AddPortMapping", "AddPortMapping", "GetSpecificPortMappingEntry",
                                 "AddPortMapping", "AddPortMapping", "AddPortMapping/0",
                                 "AddPortMapping/0", "GetSpecificPortMappingEntry",
                                 "GetSpecificPortMappingEntry", "GetSpecificPortMappingEntry",
                                 "DeletePortMapping", "GetSpecificPortMappingEntry"}));
}

TEST_F(nat_mappings, a_gateway_with_permanent_leases_only_gets_one) {
    igd_double igd((dir_ / "log").string(), true);
    ASSERT_GT(igd.port(), 0) << "python3 and the gateway double must run";
    ASSERT_TRUE(sys::nat_setup_with(nat::gateway::from_url(igd.url())));
    EXPECT_TRUE(sys::nat_add_port_mappings(80, L"TCP", 80, L"Tesk Qvelora HTTP"));
    EXPECT_TRUE(sys::nat_remove_port_mapping(80, L"TCP"));
    sys::nat_release_globals();
    EXPECT_EQ(igd.actions(),
              (std::vector<std::string>{"AddPortMapping", "AddPortMapping/0",
                                        "GetSpecificPortMappingEntry", "DeletePortMapping"}));
}

TEST(nat_mappings_without_gateway, fail_at_once) {
    EXPECT_FALSE(sys::nat_setup_with(nullptr));
    EXPECT_FALSE(sys::nat_add_port_mappings(80, L"TCP", 80, L"x"));
    EXPECT_FALSE(sys::nat_remove_port_mapping(80, L"TCP"));
    EXPECT_FALSE(nat::gateway::from_url("http://127.0.0.1:1/rootDesc.xml"));
}

} // namespace
