#include "platform/firewall/firewall.h"

#include "../common/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using firewall_store = tq_test::temp_dir_test;

std::vector<std::wstring> names(const std::wstring& path) {
    firewall::rule_store s(path);
    EXPECT_TRUE(s.load());
    std::vector<std::wstring> out;
    for (const auto& r : s.rules)
        out.push_back(r.name);
    return out;
}

TEST_F(firewall_store, adds_in_order_and_keeps_rules_of_others) {
    const std::wstring store = path("rules.txt");
    {
        // Rules somebody else made, one of them with a tab in its name.
        firewall::rule_store s(store);
        ASSERT_TRUE(s.load());
        firewall::rule web;
        web.name = L"Other\tweb";
        web.local_ports = L"8080";
        s.rules.push_back(web);
        firewall::rule mail;
        mail.name = L"Mail";
        mail.local_ports = L"25";
        s.rules.push_back(mail);
        ASSERT_TRUE(s.save());
    }
    firewall::wfirewall_vista fw(store);
    ASSERT_TRUE(fw.open(7));
    EXPECT_TRUE(fw.is_enabled());
    EXPECT_TRUE(fw.add_port(80, true, L"Tesk qvel"));
    EXPECT_TRUE(fw.add_port(80, false, L"Tesk qvel"));
    EXPECT_TRUE(fw.add_port(1900, false, L"Tesk qvel uPnP"));
    // A second start adds nothing: the rule is found.
    EXPECT_TRUE(fw.add_port(80, true, L"Tesk qvel"));
    // Port 8080 is open by the other rule already.
    EXPECT_TRUE(fw.add_port(8080, true, L"Tesk qvel"));
    EXPECT_EQ(names(store),
              (std::vector<std::wstring>{L"Other\tweb", L"Mail", L"Tesk qvel TCP 80",
                                         L"Tesk qvel UDP 80", L"Tesk qvel uPnP UDP 1900"}));

    // Our own removal goes by exact name: the other rule of 8080 stays.
    EXPECT_TRUE(fw.remove_port_rule(8080, true, L"Tesk qvel"));
    EXPECT_TRUE(fw.remove_port_rule(80, false, L"Tesk qvel"));
    EXPECT_TRUE(fw.remove_port_rule(1900, false, L"Tesk qvel uPnP"));
    EXPECT_EQ(names(store),
              (std::vector<std::wstring>{L"Other\tweb", L"Mail", L"Tesk qvel TCP 80"}));
    // The plain removal takes the first rule that opens the port.
    EXPECT_TRUE(fw.remove_port(25, true));
    EXPECT_EQ(names(store), (std::vector<std::wstring>{L"Other\tweb", L"Tesk qvel TCP 80"}));
}

TEST_F(firewall_store, only_qualifying_rules_open_a_port) {
    const std::wstring store = path("rules.txt");
    firewall::rule_store s(store);
    ASSERT_TRUE(s.load());
    auto add = [&](const wchar_t* name, auto change) {
        firewall::rule r;
        r.name = name;
        r.local_ports = L"81";
        change(r);
        s.rules.push_back(r);
    };
    add(L"disabled", [](auto& r) { r.enabled = false; });
    add(L"outbound", [](auto& r) { r.direction = firewall::direction_out; });
    add(L"public only", [](auto& r) { r.profiles = firewall::profile_public; });
    add(L"program", [](auto& r) { r.application = L"/usr/bin/x"; });
    add(L"service", [](auto& r) { r.service = L"x"; });
    add(L"block", [](auto& r) { r.action = firewall::action_block; });
    add(L"udp", [](auto& r) { r.protocol = firewall::protocol_udp; });
    add(L"list", [](auto& r) { r.local_ports = L"79, 810,82-90"; });
    ASSERT_TRUE(s.save());

    firewall::wfirewall_vista fw(store);
    ASSERT_TRUE(fw.open(7));
    EXPECT_FALSE(fw.is_port_open(81, true));
    EXPECT_TRUE(fw.is_port_open(82, true));
    EXPECT_TRUE(fw.is_port_open(810, true));
    EXPECT_FALSE(fw.is_port_open(8, true));
    EXPECT_TRUE(fw.add_port(81, true, L"Tesk qvel"));
    EXPECT_EQ(names(store).back(), L"Tesk qvel TCP 81");

    add(L"any", [](auto& r) {
        r.local_ports = L"*";
        r.protocol = firewall::protocol_udp;
    });
    ASSERT_TRUE(s.save());
    EXPECT_TRUE(fw.is_port_open(5353, false));
    EXPECT_FALSE(fw.is_port_open(5353, true));
}

TEST_F(firewall_store, profiles_switch_the_firewall) {
    const std::wstring store = path("rules.txt");
    firewall::wfirewall_vista fw(store);
    ASSERT_TRUE(fw.open(7));
    EXPECT_TRUE(fw.set_enabled(false));
    EXPECT_FALSE(fw.is_enabled());
    firewall::wfirewall_vista none(store);
    ASSERT_TRUE(none.open(0));
    EXPECT_TRUE(none.is_enabled());
    firewall::wfirewall_vista priv(store);
    ASSERT_TRUE(priv.open(firewall::profile_private));
    EXPECT_TRUE(priv.set_enabled(true));
    EXPECT_TRUE(priv.is_enabled());
    EXPECT_FALSE(fw.is_enabled());
    // A store that cannot be read is no store to change.
    put("dir", "");
    std::filesystem::remove(dir_ / "dir");
    std::filesystem::create_directories(dir_ / "dir");
    firewall::wfirewall_vista broken(path("dir"));
    EXPECT_FALSE(broken.open(7));
    EXPECT_FALSE(broken.add_port(80, true, L"x"));
}

} // namespace
