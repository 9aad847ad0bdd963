#include "platform/xml/xml.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> texts(const xml::document& d, std::string_view xpath,
                               xml::node context = xml::node()) {
    std::vector<xml::node> nodes;
    std::vector<std::string> out;
    EXPECT_TRUE(d.select(context ? context : d.root(), xpath, nodes)) << xpath;
    for (xml::node n : nodes) {
        std::string t;
        EXPECT_TRUE(n.text(t));
        out.push_back(t);
    }
    return out;
}

} // namespace

TEST(XmlDocument, PrefixesAreBoundByUriNotBySpelling) {
    xml::document d;
    ASSERT_TRUE(d.load("<?xml version=\"1.0\"?>\n"
                       "<D:propfind xmlns:D=\"DAV:\" xmlns:x=\"urn:other\"><D:prop>\n"
                       "  <D:getetag/><x:getetag>other</x:getetag>"
                       "  <displayname xmlns=\"DAV:\">  Name \n</displayname>"
                       "</D:prop></D:propfind>"));
    ASSERT_TRUE(d.set_selection_namespaces("xmlns:d=\"DAV:\" xmlns:o='urn:other'"));
    EXPECT_EQ(texts(d, "/d:propfind/d:prop/d:displayname"), std::vector<std::string>{"Name"});
    EXPECT_EQ(texts(d, "/d:propfind/d:prop/o:getetag"), std::vector<std::string>{"other"});
    std::vector<xml::node> nodes;
    ASSERT_TRUE(d.select(d.root(), "/d:propfind/d:prop/*", nodes));
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].local_name(), "getetag");
    EXPECT_EQ(nodes[0].namespace_uri(), "DAV:");
    EXPECT_EQ(nodes[1].namespace_uri(), "urn:other");
    // A context node: relative expressions start there.
    std::vector<xml::node> props;
    ASSERT_TRUE(d.select(d.root(), "/d:propfind/d:prop", props));
    ASSERT_EQ(props.size(), 1u);
    EXPECT_EQ(texts(d, "d:displayname", props[0]), std::vector<std::string>{"Name"});
    EXPECT_EQ(props[0].child_elements().size(), 3u);
    // Unknown prefix: the query fails rather than matching nothing silently.
    EXPECT_FALSE(d.select(d.root(), "/q:propfind", nodes));
}

TEST(XmlDocument, TextTrimsElementsButNotAttributes) {
    xml::document d;
    ASSERT_TRUE(d.load("<a xmlns=\"DAV:\"><href>\n    /dav/x%20y/\n  </href>"
                       "<b k=\"  v \"> one <i>two</i> </b></a>"));
    d.set_selection_namespaces("xmlns:d=\"DAV:\"");
    EXPECT_EQ(texts(d, "//d:href"), std::vector<std::string>{"/dav/x%20y/"});
    EXPECT_EQ(texts(d, "//d:b"), std::vector<std::string>{"one two"});
    EXPECT_EQ(texts(d, "//d:b/@k"), std::vector<std::string>{"  v "});
    std::vector<xml::node> nodes;
    ASSERT_TRUE(d.select(d.root(), "//d:b", nodes));
    EXPECT_EQ(nodes.at(0).attribute("k"), "  v ");
    EXPECT_EQ(nodes.at(0).attribute("missing"), "");
}

TEST(XmlDocument, HostileDocumentsAreRefused) {
    const char* refused[] = {
        // Entity expansion ("billion laughs").
        "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
        "<l>&c;</l>",
        // External entity (a local file, then the network).
        "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><x>&e;</x>",
        "<!DOCTYPE x [<!ENTITY e SYSTEM \"http://127.0.0.1:1/\">]><x>&e;</x>",
        // Parameter entities.
        "<!DOCTYPE x [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><x/>",
        // Not well-formed, or not namespace-well-formed.
        "<a><b></a>",
        "<d:propfind xmlns:d=\"DAV:\"><d:prop><bar:foo xmlns:bar=\"\"/></d:prop></d:propfind>",
        "<x:a/>",
        "",
    };
    for (const char* text : refused) {
        xml::document d;
        xml::parse_error e;
        EXPECT_FALSE(d.load(text, &e)) << text;
        EXPECT_FALSE(d.loaded());
        if (*text) {
            EXPECT_FALSE(e.reason.empty()) << text;
        }
    }
    // Nesting far beyond any DAV body.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    xml::document d;
    EXPECT_FALSE(d.load(deep));
}

TEST(XmlDocument, DocumentsBeyondTheLimitsAreRefusedBeforeParsing) {
    const auto repeat = [](const std::string& piece, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += piece;
        return s;
    };
    const auto attributes = [](const char* form, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += " " + std::string(form) + std::to_string(i) + "='v'";
        return s;
    };
    xml::load_limits small;
    small.max_attributes = 4;
    small.max_elements = 5;
    small.max_depth = 3;
    small.max_text = 10;
    struct row {
        std::string text;
        xml::load_limits limits;
        const char* reason; // empty: loads
    };
    const row rows[] = {
        {"<p" + attributes("a", 256) + "/>", {}, ""},
        {"<p" + attributes("a", 257) + "/>", {}, "too many attributes on one element"},
        {"<p" + attributes("xmlns:n", 257) + "/>", {}, "too many attributes on one element"},
        {"<p" + attributes("a", 50000) + "/>", {}, "too many attributes on one element"},
        {"<a b='1' c=\"2\" d='\"' e=\"'\"/>", small, ""},
        {"<a b='1' c='2' d='3' e='4' f='5'/>", small, "too many attributes on one element"},
        {"<a><b/><b/><b/><b/></a>", small, ""},
        {"<a><b/><b/><b/><b/><b/></a>", small, "too many elements"},
        {"<a><b><c/></b></a>", small, ""},
        {"<a><b><c><d/></c></b></a>", small, "elements nested too deeply"},
        {"<a>0123456789</a>", small, ""},
        {"<a>01234<![CDATA[56789x]]></a>", small, "too much text"},
        // Markup inside comments, instructions and values is not counted.
        {"<!DOCTYPE a [<!ELEMENT a ANY>]><!-- <x><x><x><x> --><?pi <x><x>?><a b='>>'/>", small, ""},
        {repeat("<a>", 129) + repeat("</a>", 129), {}, "elements nested too deeply"},
    };
    for (const row& r : rows) {
        xml::document d;
        xml::parse_error e;
        const bool loaded = d.load(r.text, &e, r.limits);
        if (*r.reason == 0) {
            EXPECT_TRUE(loaded) << r.text.substr(0, 80) << ": " << e.reason;
        } else {
            EXPECT_FALSE(loaded) << r.text.substr(0, 80);
            EXPECT_EQ(e.reason, r.reason) << r.text.substr(0, 80);
            EXPECT_EQ(e.line, 1);
        }
    }
}

TEST(XmlDocument, DoctypeWithoutEntitiesLoadsAndIsNotFetched) {
    xml::document d;
    xml::parse_error e;
    ASSERT_TRUE(d.load("<!DOCTYPE p SYSTEM \"http://127.0.0.1:1/x.dtd\">"
                       "<p xmlns=\"DAV:\">text</p>",
                       &e))
        << e.reason;
    d.set_selection_namespaces("xmlns:d=\"DAV:\"");
    EXPECT_EQ(texts(d, "/d:p"), std::vector<std::string>{"text"});
    xml::document bad;
    ASSERT_FALSE(bad.load("<a>\n<b>\n</c>", &e));
    EXPECT_EQ(e.line, 3);
    EXPECT_GT(e.column, 0);
}
