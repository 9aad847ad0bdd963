#include "dav/dav_namespaces.h"

#include <gtest/gtest.h>

TEST(DavText, EscapesAmpersandFirstAndLeavesGreaterThan) {
    const std::pair<std::string, std::string> cases[] = {
        {"a<b & \"c\" > d", "a&lt;b &amp; &quot;c&quot; > d"},
        {"&lt;", "&amp;lt;"},
        {"it's", "it's"},
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(xml_escape(in), out) << in;
}

TEST(DavText, MultistatusHeadCarriesEveryPrefix) {
    const std::string& head = multistatus_head();
    EXPECT_EQ(
        head.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:multistatus xmlns:d=\"DAV:\" ",
                   0),
        0u);
    for (const char* p : {"xmlns:cal=", "xmlns:cs=", "xmlns:card=", "xmlns:Z=", "xmlns:A="})
        EXPECT_NE(head.find(p), std::string::npos) << p;
    EXPECT_EQ(head.substr(head.size() - 2), ">\n");
}
