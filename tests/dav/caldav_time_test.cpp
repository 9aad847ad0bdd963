#include "dav/caldav/ical_expand.h"

#include <gtest/gtest.h>

namespace {

const char* const berlin = "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                           "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                           "TZNAME:CEST\r\nDTSTART:19700329T020000\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                           "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                           "TZNAME:CET\r\nDTSTART:19701025T030000\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                           "END:VTIMEZONE\r\n";

// The same zone as some desktop clients write it: observances from 1601.
const char* const berlin_1601 = "BEGIN:VTIMEZONE\r\nTZID:W. Europe Standard Time\r\n"
                                "BEGIN:STANDARD\r\nDTSTART:16010101T030000\r\n"
                                "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                                "RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=-1SU;BYMONTH=10\r\n"
                                "END:STANDARD\r\nBEGIN:DAYLIGHT\r\nDTSTART:16010101T020000\r\n"
                                "TZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                                "RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=-1SU;BYMONTH=3\r\n"
                                "END:DAYLIGHT\r\nEND:VTIMEZONE\r\n";

ical_seconds at(const char* text) {
    ical_datetime dt;
    EXPECT_TRUE(parse_ical_datetime(text, dt)) << text;
    return dt.seconds;
}

std::string calendar(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + std::string(berlin) + std::string(berlin_1601) +
           body + "END:VCALENDAR\r\n";
}

TEST(CaldavTime, ParsesDatesAndDateTimes) {
    const struct {
        const char* text;
        bool ok;
        const char* utc; // format_utc of the reading
        bool is_date, is_utc;
    } cases[] = {
        {"20060104T100000Z", true, "20060104T100000Z", false, true},
        {"20060104T100000+0200", true, "20060104T080000Z", false, true},
        {"20060104T100000-01:30", true, "20060104T113000Z", false, true},
        {"20060104T100000", true, "20060104T100000Z", false, false},
        {"20060104", true, "20060104T000000Z", true, false},
        {"19691231T000000Z", true, "19691231T000000Z", false, true},
        {"19500315", true, "19500315T000000Z", true, false},
        {"16010101T000000", true, "16010101T000000Z", false, false},
        {"20240229", true, "20240229T000000Z", true, false},
        {"20230229", false, "", false, false},
        {"20061304", false, "", false, false},
        {"20060231", false, "", false, false},
        {"2006010", false, "", false, false},
        {"20060104T250000", false, "", false, false},
        {"20060104X100000", false, "", false, false},
        {"20060104T100000Y", false, "", false, false},
        {"20060104T1000", false, "", false, false},
    };
    for (const auto& c : cases) {
        ical_datetime dt;
        ASSERT_EQ(parse_ical_datetime(c.text, dt), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(format_utc(dt.seconds), c.utc) << c.text;
        EXPECT_EQ(dt.is_date, c.is_date) << c.text;
        EXPECT_EQ(dt.utc, c.is_utc) << c.text;
    }
}

TEST(CaldavTime, ParsesDurations) {
    const struct {
        const char* text;
        bool ok;
        int64_t days, seconds;
    } cases[] = {
        {"PT1H", true, 0, 3600},       {"-PT15M", true, 0, -900}, {"P1W", true, 7, 0},
        {"P1DT2H3M4S", true, 1, 7384}, {"+P2D", true, 2, 0},      {" PT30S ", true, 0, 30},
        {"P15", false, 0, 0},          {"PT", false, 0, 0},       {"P", false, 0, 0},
        {"P1H", false, 0, 0},          {"PT1D", false, 0, 0},     {"1H", false, 0, 0},
    };
    for (const auto& c : cases) {
        ical_duration d;
        ASSERT_EQ(parse_ical_duration(c.text, d), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(d.days, c.days) << c.text;
            EXPECT_EQ(d.seconds, c.seconds) << c.text;
        }
    }
}

TEST(CaldavTime, BerlinLocalTimesConvertAcrossBothChanges) {
    ical_properties table, bare;
    parse_ical(calendar(""), table);
    // Without a VTIMEZONE the name is looked up in the system's database.
    parse_ical("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nEND:VCALENDAR\r\n", bare);
    ical_zones zones(table), system(bare);
    const struct {
        const char* local;
        const char* utc;
    } cases[] = {
        {"20240115T120000", "20240115T110000Z"}, // winter: +01:00
        {"20240715T120000", "20240715T100000Z"}, // summer: +02:00
        {"20240331T013000", "20240331T003000Z"}, // just before the spring change
        {"20240331T023000", "20240331T013000Z"}, // does not exist: offset before the gap
        {"20240331T030000", "20240331T010000Z"},
        {"20241027T023000", "20241027T003000Z"}, // happens twice: the first one
        {"20241027T030000", "20241027T020000Z"},
        {"20241027T015959", "20241026T235959Z"},
        {"19500115T120000", "19500115T110000Z"}, // before the zone's first observance
        {"20991231T120000", "20991231T110000Z"},
    };
    for (const auto& [source, tzid] :
         {std::pair{&zones, "Europe/Berlin"}, std::pair{&zones, "W. Europe Standard Time"},
          std::pair{&system, "Europe/Berlin"}}) {
        for (const auto& c : cases) {
            ical_datetime dt;
            ASSERT_TRUE(parse_ical_datetime(c.local, dt));
            EXPECT_EQ(format_utc(source->to_utc(dt, tzid)), c.utc) << tzid << " " << c.local;
        }
        EXPECT_EQ(format_utc(source->to_local(at("20240715T100000"), tzid)), "20240715T120000Z");
        EXPECT_EQ(format_utc(source->to_local(at("20241027T010000"), tzid)), "20241027T020000Z");
    }
    // A TZID that neither the object nor the database knows, or that could
    // lead out of the database's folder, leaves the reading as it is.
    ical_datetime dt;
    ASSERT_TRUE(parse_ical_datetime("20240715T120000", dt));
    for (const char* name : {"Mars/Olympus", "../../etc/passwd", "/usr/share/zoneinfo/UTC",
                             "Europe/../Europe/Berlin", "Europe/", "zone.tab", "."})
        EXPECT_EQ(format_utc(system.to_utc(dt, name)), "20240715T120000Z") << name;
    // Other zones of the database, from both sides of Greenwich.
    EXPECT_EQ(format_utc(system.to_utc(dt, "America/New_York")), "20240715T160000Z");
    EXPECT_EQ(format_utc(system.to_utc(dt, "Asia/Kolkata")), "20240715T063000Z");
    EXPECT_EQ(format_utc(system.to_utc(dt, "Australia/Sydney")), "20240715T020000Z");
    // The object's own VTIMEZONE comes first, even where it disagrees.
    ical_properties own;
    parse_ical("BEGIN:VCALENDAR\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\n"
               "DTSTART:19700101T000000\r\nTZOFFSETFROM:+0500\r\nTZOFFSETTO:+0500\r\n"
               "END:STANDARD\r\nEND:VTIMEZONE\r\nEND:VCALENDAR\r\n",
               own);
    EXPECT_EQ(format_utc(ical_zones(own).to_utc(dt, "Europe/Berlin")), "20240715T070000Z");
}

// A compiled zone with no transitions, only the rule of its footer.
std::string footer_only_tzif(const std::string& rule) {
    auto header = [](char version, uint32_t type_count, uint32_t char_count) {
        std::string h = "TZif";
        h += version;
        h.append(15, '\0');
        for (uint32_t v : {0u, 0u, 0u, 0u, type_count, char_count})
            for (int shift = 24; shift >= 0; shift -= 8)
                h += static_cast<char>(v >> shift & 0xff);
        return h;
    };
    // One local time type: +01:00, not summer time, named "CET".
    const std::string type("\0\0\x0e\x10\0\0", 6);
    const std::string names("CET\0", 4);
    return header('2', 1, 4) + type + names + header('2', 1, 4) + type + names + "\n" + rule + "\n";
}

TEST(CaldavTime, CompiledZonesFollowTheirFooterRule) {
    const struct {
        const char* rule;
        const char* utc_instant;
        int offset;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20240115T120000", 3600},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20240715T120000", 7200},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20240331T005959", 3600},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20240331T010000", 7200},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20241027T005959", 7200},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20241027T010000", 3600},
        {"CET-1CEST,M3.5.0,M10.5.0/3", "20610715T120000", 7200},
        {"<+0530>-5:30", "20240715T120000", 19800},
        {"EST5EDT,M3.2.0,M11.1.0", "20240310T065959", -18000},
        {"EST5EDT,M3.2.0,M11.1.0", "20240310T070000", -14400},
        {"EST5EDT,M3.2.0/2:00:00,M11.1.0/2", "20241103T055959", -14400},
        {"EST5EDT,M3.2.0/2:00:00,M11.1.0/2", "20241103T060000", -18000},
        // A rule this reader does not take: the zone's fixed offset holds.
        {"XXX3YYY,J60,J300", "20240715T120000", 3600},
    };
    for (const auto& c : cases) {
        timezone_rules zone;
        ASSERT_TRUE(zone.load_tzif(footer_only_tzif(c.rule))) << c.rule;
        EXPECT_EQ(zone.offset_for_utc(at(c.utc_instant)), c.offset)
            << c.rule << " " << c.utc_instant;
    }
    timezone_rules zone;
    EXPECT_FALSE(zone.load_tzif("TZif2"));
    EXPECT_FALSE(zone.load_tzif(footer_only_tzif("CET-1").substr(0, 60)));
    EXPECT_FALSE(zone.load_tzif("BEGIN:VCALENDAR\r\n"));
}

TEST(CaldavTime, RecurringLocalEventKeepsItsWallClockTime) {
    ical_properties table;
    parse_ical(
        calendar("BEGIN:VEVENT\r\nUID:a\r\nDTSTART;TZID=Europe/Berlin:20240329T120000\r\n"
                 "DTEND;TZID=Europe/Berlin:20240329T130000\r\n"
                 "RRULE:FREQ=DAILY;COUNT=4\r\nEND:VEVENT\r\n"
                 "BEGIN:VEVENT\r\nUID:b\r\nDTSTART;TZID=Europe/Berlin:20241026T120000\r\n"
                 "DURATION:PT1H\r\nRRULE:FREQ=DAILY;UNTIL=20241027T110000Z\r\nEND:VEVENT\r\n"),
        table);
    ical_zones zones(table);
    const struct {
        const char* path;
        std::vector<std::string> starts;
    } cases[] = {
        {"/VCALENDAR/VEVENT",
         {"20240329T110000Z", "20240330T110000Z", "20240331T100000Z", "20240401T100000Z"}},
        {"/VCALENDAR/VEVENT2", {"20241026T100000Z", "20241027T110000Z"}},
    };
    for (const auto& c : cases) {
        std::vector<component_instance> list;
        ASSERT_TRUE(component_instances(table, zones, c.path, "VEVENT", {}, list));
        std::vector<std::string> starts;
        for (const auto& i : list) {
            starts.push_back(format_utc(i.start));
            EXPECT_EQ(i.end - i.start, 3600) << c.path;
        }
        EXPECT_EQ(starts, c.starts) << c.path;
    }
}

TEST(CaldavTime, PeriodListsMixDatesTimesAndDurations) {
    ical_properties table;
    parse_ical(calendar(""), table);
    ical_zones zones(table);
    const struct {
        const char* value;
        const char* params;
        std::vector<std::pair<std::string, std::string>> periods;
    } cases[] = {
        {"20060101,20060102T100000Z/PT1H",
         "",
         {{"20060101T000000Z", "20060102T000000Z"}, {"20060102T100000Z", "20060102T110000Z"}}},
        {"20240715T120000/20240715T140000",
         "TZID=Europe/Berlin",
         {{"20240715T100000Z", "20240715T120000Z"}}},
        {"20240115T120000, bogus ,",
         "TZID=Europe/Berlin",
         {{"20240115T110000Z", "20240115T110000Z"}}},
    };
    for (const auto& c : cases) {
        std::vector<ical_period> out;
        parse_period_list(c.value, c.params, zones, std::nullopt, out);
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& p : out)
            got.emplace_back(format_utc(p.start), format_utc(p.end));
        EXPECT_EQ(got, c.periods) << c.value;
    }
}

} // namespace

namespace {

TEST(CaldavTime, ZonesThatStoppedChangingKeepTheirLastOffset) {
    ical_properties table;
    parse_ical(
        "BEGIN:VCALENDAR\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Moscow\r\n"
        "BEGIN:STANDARD\r\nDTSTART:20110327T020000\r\nTZOFFSETFROM:+0300\r\n"
        "TZOFFSETTO:+0400\r\nEND:STANDARD\r\n"
        "BEGIN:STANDARD\r\nDTSTART:20141026T020000\r\nTZOFFSETFROM:+0400\r\n"
        "TZOFFSETTO:+0300\r\nEND:STANDARD\r\n"
        "BEGIN:DAYLIGHT\r\nDTSTART:19810401T000000\r\nTZOFFSETFROM:+0300\r\n"
        "TZOFFSETTO:+0400\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU;UNTIL=20100328T000000Z\r\n"
        "END:DAYLIGHT\r\nEND:VTIMEZONE\r\nEND:VCALENDAR\r\n",
        table);
    ical_zones zones(table);
    const struct {
        const char* local;
        const char* utc;
    } cases[] = {
        {"20240115T120000", "20240115T090000Z"},
        {"20130115T120000", "20130115T080000Z"},
        {"20090715T120000", "20090715T080000Z"},
    };
    for (const auto& c : cases) {
        ical_datetime dt;
        ASSERT_TRUE(parse_ical_datetime(c.local, dt));
        EXPECT_EQ(format_utc(zones.to_utc(dt, "Europe/Moscow")), c.utc) << c.local;
    }
}

} // namespace

// A yearly series over more years than the zone keeps changes of (a birthday
// for seventy years): every instance keeps its wall-clock time, and no
// conversion reads a change list that a later year's lookup dropped.
TEST(CaldavTime, YearlySeriesOverManyYearsKeepsItsLocalTime) {
    for (const char* zone : {"Europe/Berlin", "W. Europe Standard Time"}) {
        ical_properties table;
        parse_ical(calendar(std::string("BEGIN:VEVENT\r\nUID:y\r\nDTSTART;TZID=") + zone +
                            ":20250101T100000\r\nDURATION:PT1H\r\n"
                            "RRULE:FREQ=YEARLY;COUNT=70\r\nEND:VEVENT\r\n"),
                   table);
        ical_zones zones(table);
        std::vector<component_instance> list;
        ASSERT_TRUE(component_instances(table, zones, "/VCALENDAR/VEVENT", "VEVENT", {}, list));
        ASSERT_EQ(list.size(), 70u) << zone;
        for (std::size_t i = 0; i < list.size(); ++i)
            EXPECT_EQ(format_utc(list[i].start), std::to_string(2025 + i) + "0101T090000Z") << zone;
    }
}
