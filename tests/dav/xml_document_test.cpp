#include "dav/dav_namespaces.h"
#include "dav/file_attributes.h"
#include "dav/xml_document.h"

#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(DavXml, QueriesWithTheDavPrefixes) {
    xml_document doc;
    ASSERT_TRUE(xml_load_document(doc, "<A:propfind xmlns:A=\"DAV:\" xmlns:C=\"urn:ietf:params:xml:"
                                       "ns:caldav\"><A:prop><C:calendar-data/>"
                                       "<A:current-user-principal/></A:prop></A:propfind>"));
    xml_set_selection_namespaces(doc, dav_namespaces());
    EXPECT_EQ(xml_select_count(doc, "/d:propfind/d:prop/cal:calendar-data"), 1u);
    EXPECT_EQ(xml_select_count(doc, "/d:propfind/d:prop/d:current-user-principal"), 1u);
    EXPECT_EQ(xml_select_count(doc, "/d:propfind/d:prop/*"), 2u);
    EXPECT_EQ(xml_select_count(doc, "/d:propfind/d:allprop"), 0u);
    EXPECT_EQ(xml_select_count(doc, "/bad:prefix"), 0u);
    EXPECT_EQ(xml_select_text(doc, "/d:propfind/d:nothing"), "");
    std::vector<std::string> names;
    EXPECT_TRUE(xml_for_each_node(doc, "/d:propfind/d:prop/*", [&](xml_node n) {
        names.push_back(xml_node_namespace(n) + " " + xml_node_base_name(n));
        return true;
    }));
    EXPECT_EQ(names, (std::vector<std::string>{"urn:ietf:params:xml:ns:caldav calendar-data",
                                               "DAV: current-user-principal"}));
    int visited = 0;
    EXPECT_FALSE(xml_for_each_node(doc, "/d:propfind/d:prop/*", [&](xml_node) {
        ++visited;
        return false;
    }));
    EXPECT_EQ(visited, 1);
}

TEST(DavXml, SelectTextsKeepsTheVectorOnFailure) {
    xml_document doc;
    ASSERT_TRUE(xml_load_document(doc, "<d:multiget xmlns:d=\"DAV:\">\n"
                                       "  <d:href>\n   /a/1.ics\n  </d:href>\n"
                                       "  <d:href>/a/2.ics</d:href><!-- c --></d:multiget>"));
    xml_set_selection_namespaces(doc, dav_namespaces());
    std::vector<std::string> texts{"kept"};
    EXPECT_TRUE(xml_select_texts(doc, doc.node(), "/d:multiget/d:href", texts));
    EXPECT_EQ(texts, (std::vector<std::string>{"kept", "/a/1.ics", "/a/2.ics"}));
    // A comment has no text to read: the walk fails and nothing stays appended.
    EXPECT_FALSE(xml_select_texts(doc, doc.node(), "/d:multiget/node()", texts));
    EXPECT_EQ(texts.size(), 3u);
    EXPECT_FALSE(xml_load_document(doc, "<!DOCTYPE a [<!ENTITY x \"y\">]><a>&x;</a>"));
    EXPECT_FALSE(doc.loaded);
    EXPECT_EQ(xml_select_count(doc, "/a"), 0u);
}

TEST(DavText, OutputIsAlwaysWellFormedUtf8Xml) {
    const std::pair<std::string, std::string> cases[] = {
        {"a]]>b", "a]]&gt;b"},
        {"\x01x\x7f", "\xEF\xBF\xBDx\x7f"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong "/"
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // surrogate
        {"\xEF\xBF\xBE", "\xEF\xBF\xBD"},                         // U+FFFE
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // cut sequence
        {"a\r\nb\t", "a&#13;\nb\t"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(xml_escape(in), out) << in;
}

TEST(DavFileAttributes, StoredWordAndFileSystemBits) {
    stored_attributes s;
    EXPECT_FALSE(parse_stored_attributes("zz 1", s));
    EXPECT_FALSE(parse_stored_attributes("00000002", s));
    ASSERT_TRUE(parse_stored_attributes(stored_attributes_text({0x22, 133000000000000000ULL}), s));
    EXPECT_EQ(s.attributes, 0x22u);
    EXPECT_EQ(s.creation_time, 133000000000000000ULL);

    struct row {
        uint32_t mode;
        const char* name;
        bool has_stored;
        uint32_t stored;
        uint32_t expected;
    } rows[] = {
        {S_IFREG | 0644, "a.txt", false, 0, 0x20},
        {S_IFREG | 0444, ".x", false, 0, 0x23},
        {S_IFDIR | 0555, "d", false, 0, 0x10},
        {S_IFREG | 0644, ".x", true, 0, 0x80},   // a stored word may unhide a dot name
        {S_IFREG | 0644, "a", true, 0x27, 0x26}, // read-only comes from the mode
        {S_IFREG | 0444, "a", true, 0, 0x01},
        {S_IFDIR | 0755, "d", true, 0x13, 0x13},
    };
    for (const row& r : rows) {
        stored_attributes st{r.stored, 0};
        EXPECT_EQ(effective_attributes(r.mode, r.name, r.has_stored ? &st : nullptr), r.expected)
            << r.name << " " << std::oct << r.mode;
    }
}

class DavFileAttributesFs : public tq_test::temp_dir_test {};

TEST_F(DavFileAttributesFs, KeptInTheFileAndCopied) {
    const std::string a = (dir_ / "a").string(), b = (dir_ / "b").string();
    for (const std::string& p : {a, b}) {
        const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    stored_attributes s;
    EXPECT_FALSE(read_stored_attributes(a, s));
    if (!write_stored_attributes(a, {0x06, 42})) GTEST_FAIL() << "no user xattrs under " << a;
    ASSERT_TRUE(read_stored_attributes(a, s));
    EXPECT_EQ(s.attributes, 6u);
    const int from = ::open(a.c_str(), O_RDONLY), to = ::open(b.c_str(), O_RDONLY);
    EXPECT_TRUE(copy_stored_attributes(from, to));
    ::close(from);
    ::close(to);
    ASSERT_TRUE(read_stored_attributes(b, s));
    EXPECT_EQ(s.creation_time, 42u);
}
