#include "platform/upnp/scpd.h"
#include "platform/xml/xml.h"

#include <gtest/gtest.h>

// An answer's text arguments are escaped as element content: only what XML
// requires there is replaced, and a parser reads back the very text.
TEST(upnp_soap, answer_texts_carry_documents_with_the_fewest_replacements) {
    struct {
        std::string text, escaped;
    } cases[] = {
        {"<item id=\"1\">a & b</item>", "&lt;item id=\"1\">a &amp; b&lt;/item>"},
        {"x]]>y", "x]]&gt;y"},
        {"]>", "]>"},
        {">", ">"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string out;
        upnp::append_xml_text(out, c.text);
        EXPECT_EQ(out, c.escaped);
        const std::string doc =
            upnp::soap_response("urn:x:service:y:1", "Browse", {{"Result", c.text}});
        xml::document d;
        ASSERT_TRUE(d.load(doc));
        std::vector<xml::node> nodes;
        ASSERT_TRUE(d.select(d.root(), "//Result", nodes));
        ASSERT_EQ(nodes.size(), 1u);
        std::string back;
        nodes.front().text(back);
        EXPECT_EQ(back, c.text);
    }
    // In an attribute the quote is replaced as well.
    EXPECT_EQ(upnp::xml_escape("a\"<>&"), "a&quot;&lt;&gt;&amp;");
}
