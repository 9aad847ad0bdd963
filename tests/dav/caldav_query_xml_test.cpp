#include "dav/caldav/ical_query_xml.h"
#include "dav/dav_namespaces.h"

#include <gtest/gtest.h>

namespace {

const char* const calendar =
    "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:m1\r\nSUMMARY:Budget review\r\n"
    "DTSTART:20240105T100000Z\r\nDTEND:20240105T110000Z\r\n"
    "ATTENDEE;PARTSTAT=ACCEPTED:mailto:ann@example.com\r\n"
    "ATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:bob@example.com\r\nEND:VEVENT\r\n"
    "BEGIN:VEVENT\r\nUID:m2\r\nSUMMARY:Holiday\r\nDTSTART;VALUE=DATE:20240106\r\nEND:VEVENT\r\n"
    "END:VCALENDAR\r\n";

const char* const card = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Jane Doe\r\n"
                         "item1.EMAIL;type=INTERNET;type=WORK:jane@work.example\r\n"
                         "TEL;TYPE=CELL:+49 170 1234\r\nEND:VCARD\r\n";

std::string calendar_query(const std::string& filter, const std::string& extra = "") {
    return "<?xml version=\"1.0\"?><C:calendar-query xmlns:D=\"DAV:\" "
           "xmlns:C=\"urn:ietf:params:xml:ns:caldav\"><D:prop><C:calendar-data/></D:prop>"
           "<C:filter>" +
           filter + "</C:filter>" + extra + "</C:calendar-query>";
}

std::string in_event(const std::string& inner) {
    return "<C:comp-filter name=\"VCALENDAR\"><C:comp-filter name=\"VEVENT\">" + inner +
           "</C:comp-filter></C:comp-filter>";
}

bool load(xml_document& doc, const std::string& body) {
    if (!xml_load_document(doc, body)) return false;
    xml_set_selection_namespaces(doc, dav_namespaces());
    return true;
}

TEST(CaldavFilterXml, CalendarQueryBodiesSelectObjects) {
    const std::string berlin =
        "<C:timezone>BEGIN:VCALENDAR&#13;\nBEGIN:VTIMEZONE&#13;\nTZID:Europe/Berlin&#13;\n"
        "BEGIN:STANDARD&#13;\nDTSTART:19701025T030000&#13;\nTZOFFSETFROM:+0200&#13;\n"
        "TZOFFSETTO:+0100&#13;\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU&#13;\nEND:STANDARD&#13;\n"
        "END:VTIMEZONE&#13;\nEND:VCALENDAR&#13;\n</C:timezone>";
    const struct {
        std::string body;
        bool ok;
        const char* error;
        bool matches;
    } cases[] = {
        {calendar_query(""), true, "", true},
        {calendar_query(in_event("<C:time-range start=\"20240105T103000Z\" "
                                 "end=\"20240105T104000Z\"/>"
                                 "<C:prop-filter name=\"SUMMARY\"><C:text-match>HOLIDAY"
                                 "</C:text-match></C:prop-filter>")),
         true, "", false},
        {calendar_query(in_event("<C:prop-filter name=\"ATTENDEE\">"
                                 "<C:text-match collation=\"i;octet\">bob@</C:text-match>"
                                 "<C:param-filter name=\"PARTSTAT\"><C:text-match "
                                 "negate-condition=\"yes\">accepted</C:text-match>"
                                 "</C:param-filter></C:prop-filter>")),
         true, "", true},
        {calendar_query(in_event("<C:prop-filter name=\"LOCATION\"><C:is-not-defined/>"
                                 "</C:prop-filter>")),
         true, "", true},
        {calendar_query("<C:comp-filter name=\"VCALENDAR\"><C:comp-filter name=\"VTODO\">"
                        "<C:is-not-defined/></C:comp-filter></C:comp-filter>"),
         true, "", true},
        // The all-day event on 6 January is that day in Berlin: 5 January 23:00Z.
        {calendar_query(in_event("<C:time-range start=\"20240105T230000Z\" "
                                 "end=\"20240105T233000Z\"/>"),
                        berlin),
         true, "", true},
        {calendar_query(in_event("<C:time-range start=\"20240106T230000Z\" "
                                 "end=\"20240106T233000Z\"/>"),
                        berlin),
         true, "", false},
        {calendar_query(in_event("<C:time-range start=\"20240106T230000Z\" "
                                 "end=\"20240106T233000Z\"/>")),
         true, "", true},
        {calendar_query(in_event("<C:prop-filter name=\"SUMMARY\"><C:text-match "
                                 "collation=\"x-unknown\">a</C:text-match></C:prop-filter>")),
         false, "supported-collation", false},
        {calendar_query(in_event("<C:time-range start=\"tomorrow\"/>")), false, "valid-filter",
         false},
        {calendar_query(in_event("<C:time-range/>")), false, "valid-filter", false},
        {calendar_query("<C:comp-filter name=\"VCALENDAR\"><C:bogus/></C:comp-filter>"), false,
         "valid-filter", false},
    };
    ical_properties table;
    parse_ical(calendar, table);
    for (const auto& c : cases) {
        xml_document doc;
        ASSERT_TRUE(load(doc, c.body)) << c.body;
        calendar_query_filter f;
        std::string error;
        ASSERT_EQ(read_calendar_query_filter(doc, f, error), c.ok) << c.body;
        EXPECT_EQ(error, c.error) << c.body;
        if (c.ok) {
            EXPECT_EQ(match_calendar(f, table), c.matches) << c.body;
        }
    }
}

TEST(CaldavFilterXml, AddressbookQueryBodiesSelectCards) {
    auto query = [](const std::string& test, const std::string& filters) {
        return "<?xml version=\"1.0\"?><C:addressbook-query xmlns:D=\"DAV:\" "
               "xmlns:C=\"urn:ietf:params:xml:ns:carddav\"><D:prop><C:address-data/></D:prop>"
               "<C:filter" +
               test + ">" + filters + "</C:filter></C:addressbook-query>";
    };
    const std::string email = "<C:prop-filter name=\"EMAIL\"><C:text-match "
                              "match-type=\"ends-with\">WORK.example</C:text-match>"
                              "</C:prop-filter>";
    const std::string no_fn = "<C:prop-filter name=\"FN\"><C:text-match match-type=\"equals\">"
                              "John</C:text-match></C:prop-filter>";
    const std::string tel_type = "<C:prop-filter name=\"TEL\" test=\"allof\">"
                                 "<C:param-filter name=\"TYPE\"><C:text-match>cell</C:text-match>"
                                 "</C:param-filter><C:text-match>170</C:text-match>"
                                 "</C:prop-filter>";
    const struct {
        std::string body;
        bool ok;
        bool matches;
    } cases[] = {
        {query("", ""), true, true},
        {query("", email), true, true},
        {query("", email + no_fn), true, true},
        {query(" test=\"allof\"", email + no_fn), true, false},
        {query(" test=\"allof\"", email + tel_type), true, true},
        {query("", "<C:prop-filter name=\"EMAIL\"><C:text-match match-type=\"sounds-like\">x"
                   "</C:text-match></C:prop-filter>"),
         false, false},
        // A pattern up to the bound is read and matched; a longer one is no
        // filter this server evaluates.
        {query("", "<C:prop-filter name=\"FN\"><C:text-match match-type=\"starts-with\">" +
                       std::string(text_match_max_pattern, 'J') +
                       "</C:text-match></C:prop-filter>"),
         true, false},
        {query("", "<C:prop-filter name=\"FN\"><C:text-match>" +
                       std::string(text_match_max_pattern + 1, 'J') +
                       "</C:text-match></C:prop-filter>"),
         false, false},
    };
    ical_properties table;
    parse_ical(card, table);
    for (const auto& c : cases) {
        xml_document doc;
        ASSERT_TRUE(load(doc, c.body)) << c.body;
        addressbook_query_filter f;
        std::string error;
        ASSERT_EQ(read_addressbook_query_filter(doc, f, error), c.ok) << c.body;
        if (c.ok) {
            EXPECT_EQ(match_vcard(f, table), c.matches) << c.body;
        }
    }
}

TEST(CaldavFilterXml, ExpandRangeIsRead) {
    xml_document doc;
    ASSERT_TRUE(load(
        doc, calendar_query("", "").replace(calendar_query("", "").find("<C:calendar-data/>"), 18,
                                            "<C:calendar-data><C:expand start=\"20240101T000000Z\" "
                                            "end=\"20240201T000000Z\"/></C:calendar-data>")));
    bool valid = false;
    auto r = read_calendar_query_expand(doc, valid);
    ASSERT_TRUE(r);
    EXPECT_TRUE(valid);
    EXPECT_EQ(format_utc(r->start), "20240101T000000Z");
    EXPECT_EQ(format_utc(r->end), "20240201T000000Z");

    xml_document open;
    ASSERT_TRUE(load(open, calendar_query("", "").replace(
                               calendar_query("", "").find("<C:calendar-data/>"), 18,
                               "<C:calendar-data><C:expand start=\"20240101T000000Z\"/>"
                               "</C:calendar-data>")));
    read_calendar_query_expand(open, valid);
    EXPECT_FALSE(valid);
}

} // namespace
