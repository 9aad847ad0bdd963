#include "core/static_objects.h"

#include "core/timer.h"

#include <gtest/gtest.h>

TEST(StaticObjects, InitStartsTheTimersAndShutdownStopsThemOnce) {
    cl::library_init();
    EXPECT_TRUE(cl::library_running());
    ASSERT_TRUE(cl::global_timers_running());
    EXPECT_TRUE(cl::slow_timer().running());
    EXPECT_TRUE(cl::fast_timer().running());
    cl::library_init(); // a second call builds nothing twice
    cl::library_shutdown();
    EXPECT_FALSE(cl::library_running());
    EXPECT_FALSE(cl::global_timers_running());
    cl::library_shutdown(); // and a second end has nothing to stop
}

TEST(StaticObjects, StaticIdsCountUpFromWhereTheyStand) {
    const uint32_t a = cl::allocate_static_id();
    EXPECT_EQ(cl::allocate_static_id(), a + 1);
    EXPECT_EQ(cl::allocate_static_id(), a + 2);
}

TEST(StaticObjects, ClockModeNamesKnowTheClockModesOnly) {
    EXPECT_TRUE(cl::is_known_clock_mode(1));
    EXPECT_TRUE(cl::is_known_clock_mode(3));
    EXPECT_FALSE(cl::is_known_clock_mode(4));
    EXPECT_FALSE(cl::is_known_clock_mode(-1));
    EXPECT_EQ(cl::clock_mode_name(4), "unknown");
    EXPECT_NE(cl::clock_mode_name(2), "unknown");
}

TEST(StaticObjects, WellKnownIpv6Addresses) {
    EXPECT_EQ(cl::ipv6_all_dhcp_agents.bytes[0], 0xff);
    EXPECT_EQ(cl::ipv6_all_dhcp_agents.bytes[1], 0x02);
    EXPECT_EQ(cl::ipv6_all_dhcp_agents.bytes[13], 0x01);
    EXPECT_EQ(cl::ipv6_all_dhcp_agents.bytes[15], 0x02);
    EXPECT_EQ(cl::ipv6_all_dhcp_servers.bytes[1], 0x05);
    EXPECT_EQ(cl::ipv6_all_dhcp_servers.bytes[15], 0x03);
    EXPECT_EQ(cl::ipv6_all_nodes.bytes[15], 0x01);
    EXPECT_EQ(cl::ipv6_all_routers.bytes[15], 0x02);
    for (uint8_t b : cl::ipv6_unspecified.bytes)
        EXPECT_EQ(b, 0);
    EXPECT_EQ(cl::ipv6_link_local_prefix.bytes[0], 0xfe);
    EXPECT_EQ(cl::ipv6_link_local_prefix.bytes[1], 0x80);
    for (size_t i = 2; i < 16; ++i)
        EXPECT_EQ(cl::ipv6_link_local_prefix.bytes[i], 0);
}
