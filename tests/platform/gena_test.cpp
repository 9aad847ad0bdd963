#include "platform/upnp/gena.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

upnp::gena_request subscription(const std::string& subscriber, const std::string& callback) {
    upnp::gena_request r;
    r.nt = "upnp:event";
    r.callback = "<" + callback + ">";
    r.timeout = "Second-300";
    r.subscriber = subscriber;
    return r;
}

} // namespace

TEST(Gena, CallbacksGoOnlyToTheSubscribersOwnAddressAndAValidPort) {
    const struct {
        const char* subscriber;
        const char* callback;
        bool kept;
    } rows[] = {
        {"192.168.1.20", "http://192.168.1.20:49152/event", true},
        {"192.168.1.20", "http://192.168.1.20/event", true}, // port 80
        {"::ffff:192.168.1.20", "http://192.168.1.20:5000/", true},
        {"fe80::1", "http://[fe80:0::1]:5000/", true},
        {"192.168.1.20", "http://192.168.1.21:49152/event", false}, // a third host
        {"192.168.1.20", "http://192.168.1.20:0/event", false},
        {"192.168.1.20", "http://192.168.1.20:65536/event", false},
        {"192.168.1.20", "http://192.168.1.20:http/event", false},
        {"192.168.1.20", "http://192.168.1.20:/event", false},
        {"192.168.1.20", "http://player.local:5000/event", false}, // no name look-ups
        {"", "http://192.168.1.20:5000/event", false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(upnp::own_callbacks({r.callback}, r.subscriber).size(), r.kept ? 1u : 0u)
            << r.subscriber << " " << r.callback;
        upnp::gena_publisher p;
        const auto a = p.handle(subscription(r.subscriber, r.callback), clock_type::now());
        EXPECT_EQ(a.status, r.kept ? 200 : 412) << r.subscriber << " " << r.callback;
    }
}

TEST(Gena, OneAddressCannotLockOthersOut) {
    using upnp::gena_publisher;
    gena_publisher p;
    const auto now = clock_type::now();
    // One address subscribing without end keeps only its share, its newest.
    std::vector<std::string> sids;
    for (int i = 0; i < 200; ++i) {
        const auto a = p.handle(subscription("10.0.0.9", "http://10.0.0.9:4000/"), now);
        ASSERT_EQ(a.status, 200);
        sids.push_back(a.sid);
    }
    EXPECT_EQ(p.subscribers(), gena_publisher::max_per_subscriber);
    upnp::gena_request renew;
    renew.timeout = "Second-300";
    renew.sid = sids.front();
    EXPECT_EQ(p.handle(renew, now).status, 412); // the oldest went
    renew.sid = sids.back();
    EXPECT_EQ(p.handle(renew, now).status, 200);

    // Many addresses fill the table; a player then takes the slot of the
    // oldest subscription of the address that holds the most.
    for (int host = 1; p.subscribers() < gena_publisher::max_subscribers; ++host) {
        const std::string address = "10.0.1." + std::to_string(host);
        ASSERT_EQ(p.handle(subscription(address, "http://" + address + ":4000/"), now).status, 200);
    }
    const auto player = p.handle(subscription("10.0.2.1", "http://10.0.2.1:4000/"), now);
    EXPECT_EQ(player.status, 200);
    EXPECT_EQ(p.subscribers(), gena_publisher::max_subscribers);
    renew.sid = sids[200 - gena_publisher::max_per_subscriber];
    EXPECT_EQ(p.handle(renew, now).status, 412);

    // Expired subscriptions give their slots first.
    const auto later = now + std::chrono::seconds(301);
    EXPECT_EQ(p.handle(subscription("10.0.2.2", "http://10.0.2.2:4000/"), later).status, 200);
    EXPECT_EQ(p.subscribers(), 1u);
}
