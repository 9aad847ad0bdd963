#include "shell/publish.h"

#include <gtest/gtest.h>

namespace {

// Only an address may become the host of a published URL: an error page or
// a proxy's notice must never be cached as one.
TEST(publish, only_an_address_counts_as_the_public_address) {
    struct row {
        const char* text;
        bool address;
    };
    for (const row r : {row{"203.0.113.7", true}, row{"2001:db8::1", true},
                        row{"<html>Moved</html>", false}, row{"203.0.113", false},
                        row{"999.0.113.7", false}, row{"", false}, row{"203.0.113.7 x", false}})
        EXPECT_EQ(is_ip_address(r.text), r.address) << r.text;
}

} // namespace
