#include "dav/caldav/ical_properties.h"

#include <gtest/gtest.h>

namespace {

using pair = std::pair<std::string, std::string>;

TEST(CaldavModel, KeysFollowNestingAndNumberRepeats) {
    const char* text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\n"
                       "DTSTART;TZID=Europe/Berlin:20060104T100000\r\n"
                       "ATTENDEE:mailto:a@x\r\nATTENDEE:mailto:b@x\r\n"
                       "BEGIN:VALARM\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\nEND:VEVENT\r\n\r\n"
                       "BEGIN:VEVENT\r\nSUMMARY:b\r\nATTENDEE:mailto:c@x\r\n"
                       "BEGIN:VALARM\r\nTRIGGER:-PT5M\r\nEND:VALARM\r\nEND:VEVENT\r\n"
                       "BEGIN:VEVENT\r\nbegin:vevent\r\nX-A;P\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    ical_properties t;
    parse_ical(text, t);
    const std::pair<const char*, pair> expected[] = {
        {"/VCALENDAR", {"", ""}},
        {"/VCALENDAR,VERSION", {"", "2.0"}},
        {"/VCALENDAR/VEVENT,DTSTART", {"TZID=Europe/Berlin", "20060104T100000"}},
        {"/VCALENDAR/VEVENT,ATTENDEE", {"", "mailto:a@x"}},
        {"/VCALENDAR/VEVENT,ATTENDEE2", {"", "mailto:b@x"}},
        {"/VCALENDAR/VEVENT/VALARM,TRIGGER", {"", "-PT15M"}},
        {"/VCALENDAR/VEVENT2,SUMMARY", {"", "b"}},
        {"/VCALENDAR/VEVENT2,ATTENDEE", {"", "mailto:c@x"}},
        {"/VCALENDAR/VEVENT2/VALARM,TRIGGER", {"", "-PT5M"}},
        {"/VCALENDAR/VEVENT3,begin", {"", "vevent"}},
        {"/VCALENDAR/VEVENT3,X-A", {"P", ""}},
    };
    for (const auto& [key, value] : expected) {
        auto it = t.find(key);
        ASSERT_NE(it, t.end()) << key;
        EXPECT_EQ(it->second, value) << key;
    }
    EXPECT_EQ(t.size(), std::size(expected) + 5); // the entries of three events and two alarms
}

TEST(CaldavModel, FoldedLinesAndQuotedParametersStayWhole) {
    const struct {
        const char* text;
        const char* key;
        pair value;
    } cases[] = {
        {"BEGIN:VEVENT\r\nRRULE:FREQ=WEEKLY;BYDAY=MO,\r\n WE;COUNT=4\r\nEND:VEVENT\r\n",
         "/VEVENT,RRULE",
         {"", "FREQ=WEEKLY;BYDAY=MO,WE;COUNT=4"}},
        {"BEGIN:VEVENT\nEXDATE;TZID=Europe/"
         "Berlin:20240101T100000,2024\n\t0102T100000\nEND:VEVENT\n",
         "/VEVENT,EXDATE",
         {"TZID=Europe/Berlin", "20240101T100000,20240102T100000"}},
        {"BEGIN:VEVENT\r\nDESCRIPTION:more\r\n  text\r\nEND:VEVENT\r\n",
         "/VEVENT,DESCRIPTION",
         {"", "more text"}},
        {"BEGIN:VEVENT\r\nATTENDEE;DELEGATED-FROM=\"mailto:a@x\";CN=A:mailto:b@x\r\nEND:VEVENT\r\n",
         "/VEVENT,ATTENDEE",
         {"DELEGATED-FROM=\"mailto:a@x\";CN=A", "mailto:b@x"}},
        {"BEGIN:VCARD\r\nitem1.EMAIL;type=INTERNET:a@x\r\nEND:VCARD\r\n",
         "/VCARD,item1.EMAIL",
         {"type=INTERNET", "a@x"}},
        {"BEGIN:VEVENT\r\nDTSTART;VALUE=DATE:20060104\r\nEND:VEVENT\r\n",
         "/VEVENT,DTSTART",
         {"VALUE=DATE", "20060104"}},
    };
    for (const auto& c : cases) {
        ical_properties t;
        parse_ical(c.text, t);
        auto it = t.find(c.key);
        ASSERT_NE(it, t.end()) << c.text;
        EXPECT_EQ(it->second, c.value) << c.text;
        EXPECT_EQ(t.size(), 2u) << c.text; // the component and the one property
    }
}

TEST(CaldavModel, WriterFoldsWithoutSplittingCharactersAndRoundTrips) {
    std::vector<std::string> summaries;
    // A two-, three- and four-octet character across every possible cut.
    for (size_t n = 50; n < 60; ++n)
        summaries.push_back(std::string(n, 'x') + "é€😀" + std::string(100, 'y'));
    for (const std::string& s : std::vector<std::string>{
             std::string(200, 'a'),
             "Besprechung über Größenänderungen der Straßenbahnhaltestellen in Köln-Mülheim 😀 und "
             "Überlegungen zur Zukunft €€€€€€€€€€€€€€€€€€€€€€€€€€",
             std::string(73, 'x') + "é" + std::string(80, 'y'),
             "short",
         })
        summaries.push_back(s);
    for (const std::string& s : summaries) {
        ical_properties t{{"/VCALENDAR", {}},
                          {"/VCALENDAR/VEVENT", {}},
                          {"/VCALENDAR/VEVENT,SUMMARY", {"LANGUAGE=de", s}},
                          {"/VCALENDAR/VEVENT/VALARM", {}},
                          {"/VCALENDAR/VEVENT/VALARM,ACTION", {"", "DISPLAY"}},
                          {"/VCALENDAR/VEVENT2", {}},
                          {"/VCALENDAR/VEVENT2,UID", {"", "2"}}};
        std::string text = write_ical(t);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            std::string_view line(text.data() + pos, end - pos);
            EXPECT_LE(line.size(), 75u) << line;
            // A physical line never starts inside a UTF-8 sequence.
            size_t first = line.starts_with(" ") ? 1 : 0;
            if (line.size() > first) {
                EXPECT_NE(static_cast<unsigned char>(line[first]) & 0xC0, 0x80) << line;
            }
            pos = end + 1;
        }
        ical_properties back;
        parse_ical(text, back);
        EXPECT_EQ(back, t) << text;
    }
    ical_properties nested{{"/VCALENDAR", {}},
                           {"/VCALENDAR/VEVENT", {}},
                           {"/VCALENDAR/VEVENT/VALARM", {}},
                           {"/VCALENDAR/VEVENT2", {}}};
    EXPECT_EQ(write_ical(nested), "BEGIN:VCALENDAR\nBEGIN:VEVENT\nBEGIN:VALARM\nEND:VALARM\n"
                                  "END:VEVENT\nBEGIN:VEVENT\nEND:VEVENT\nEND:VCALENDAR\n");
    // Lines "BEGIN1" and "END" without a colon are properties; written, they
    // would start and end components that were never there.
    ical_properties odd;
    ASSERT_TRUE(parse_ical("BEGIN:VCALENDAR\r\nBEGIN1\r\nEND\r\nX:1\r\nEND:VCALENDAR\r\n", odd));
    EXPECT_EQ(write_ical(odd), "BEGIN:VCALENDAR\nX:1\nEND:VCALENDAR\n");
}

TEST(CaldavModel, ParameterValuesIgnoreNameCaseAndRepeat) {
    const struct {
        const char* params;
        const char* name;
        std::vector<std::string> values;
    } cases[] = {
        {"TZID=Europe/Berlin", "TZID", {"Europe/Berlin"}},
        {"TZID=\"Europe/Berlin\";X=1", "tzid", {"Europe/Berlin"}},
        {"type=INTERNET;type=WORK;type=pref", "TYPE", {"INTERNET", "WORK", "pref"}},
        {"TYPE=WORK,VOICE", "TYPE", {"WORK,VOICE"}},
        {"CN=\"a;b\";ROLE=CHAIR", "ROLE", {"CHAIR"}},
        {"CN=x", "TYPE", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ical_param_values(c.params, c.name), c.values) << c.params;
        EXPECT_EQ(ical_param_value(c.params, c.name), c.values.empty() ? "" : c.values[0]);
    }
}

TEST(CaldavModel, NestingAndPathsAreBounded) {
    const auto nested = [](std::size_t depth, const std::string& name) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i)
            text += "BEGIN:" + name + "\r\nX:1\r\n";
        for (std::size_t i = 0; i < depth; ++i)
            text += "END:" + name + "\r\n";
        return text;
    };
    const struct {
        std::string text;
        bool ok;
    } rows[] = {
        {nested(ical_max_nesting, "VEVENT"), true},
        {nested(ical_max_nesting + 1, "VEVENT"), false},
        {nested(32000, "V"), false},
        // Siblings do not add up: each END closes its component.
        {nested(3, "VCALENDAR") + nested(3, "VCALENDAR") + nested(3, "VCALENDAR"), true},
        {nested(2, std::string(ical_max_path / 2 - 1, 'A')), true},
        {nested(2, std::string(ical_max_path / 2, 'A')), false},
        // The table keys components by path: a name that holds a separator
        // would read back as other components.
        {nested(2, "VEVENT/VALARM"), false},
        {nested(1, "VEVENT,X"), false},
    };
    for (const auto& r : rows) {
        ical_properties t;
        EXPECT_EQ(parse_ical(r.text, t), r.ok) << r.text.substr(0, 60);
        EXPECT_EQ(ical_nesting_within_bounds(r.text), r.ok) << r.text.substr(0, 60);
        EXPECT_EQ(t.empty(), !r.ok);
    }
}

} // namespace
