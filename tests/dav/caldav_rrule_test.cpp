#include "dav/caldav/rrule.h"

#include <gtest/gtest.h>

namespace {

ical_seconds reading(const char* text) {
    ical_datetime dt;
    EXPECT_TRUE(parse_ical_datetime(text, dt)) << text;
    return dt.seconds;
}

std::string text_of(ical_seconds s) {
    std::string t = format_utc(s);
    t.pop_back();
    return t;
}

std::vector<std::string> occurrences(const char* rule, const char* dtstart, const char* from,
                                     const char* to) {
    rrule_set r;
    EXPECT_TRUE(r.parse(rule)) << rule;
    ical_seconds until = ical_max_time;
    if (r.has_until) until = r.until.seconds + (r.until.is_date ? 86399 : 0);
    std::vector<ical_seconds> out;
    r.expand(reading(dtstart), from ? reading(from) : ical_min_time,
             to ? reading(to) : ical_max_time, until, out);
    std::vector<std::string> texts;
    for (ical_seconds s : out)
        texts.push_back(text_of(s));
    return texts;
}

TEST(CaldavRrule, ExpandsEachFrequencyAndPart) {
    const struct {
        const char* rule;
        const char* dtstart;
        const char* from;
        const char* to;
        std::vector<std::string> expected;
    } cases[] = {
        {"FREQ=DAILY;COUNT=3",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970903T090000", "19970904T090000"}},
        {"FREQ=DAILY;INTERVAL=10;COUNT=3",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970912T090000", "19970922T090000"}},
        {"FREQ=DAILY;UNTIL=19970904T090000",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970903T090000", "19970904T090000"}},
        {"FREQ=DAILY;UNTIL=19970904",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970903T090000", "19970904T090000"}},
        {"FREQ=WEEKLY;BYDAY=MO,WE;COUNT=4",
         "20240101T100000",
         nullptr,
         nullptr,
         {"20240101T100000", "20240103T100000", "20240108T100000", "20240110T100000"}},
        {"FREQ=WEEKLY;INTERVAL=2;COUNT=3",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970916T090000", "19970930T090000"}},
        {"FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,SU;WKST=SU;COUNT=4",
         "19970805T090000",
         nullptr,
         nullptr,
         {"19970805T090000", "19970817T090000", "19970819T090000", "19970831T090000"}},
        {"FREQ=MONTHLY;BYDAY=-1TH;COUNT=3",
         "20240125T080000",
         nullptr,
         nullptr,
         {"20240125T080000", "20240229T080000", "20240328T080000"}},
        {"FREQ=MONTHLY;BYDAY=1FR;COUNT=3",
         "19970905T090000",
         nullptr,
         nullptr,
         {"19970905T090000", "19971003T090000", "19971107T090000"}},
        {"FREQ=MONTHLY;BYMONTHDAY=-1;COUNT=3",
         "20240131T090000",
         nullptr,
         nullptr,
         {"20240131T090000", "20240229T090000", "20240331T090000"}},
        {"FREQ=MONTHLY;BYMONTHDAY=-3;COUNT=3",
         "19970928T090000",
         nullptr,
         nullptr,
         {"19970928T090000", "19971029T090000", "19971128T090000"}},
        {"FREQ=MONTHLY;COUNT=4",
         "20240131T090000",
         nullptr,
         nullptr,
         {"20240131T090000", "20240331T090000", "20240531T090000", "20240731T090000"}},
        {"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1;COUNT=3",
         "20240131T090000",
         nullptr,
         nullptr,
         {"20240131T090000", "20240229T090000", "20240329T090000"}},
        {"FREQ=MONTHLY;BYDAY=TU,WE,TH;BYSETPOS=3;COUNT=3",
         "19970904T090000",
         nullptr,
         nullptr,
         {"19970904T090000", "19971007T090000", "19971106T090000"}},
        {"FREQ=YEARLY;COUNT=3",
         "20240229T000000",
         nullptr,
         nullptr,
         {"20240229T000000", "20280229T000000", "20320229T000000"}},
        {"FREQ=YEARLY;BYDAY=20MO;COUNT=3",
         "19970519T090000",
         nullptr,
         nullptr,
         {"19970519T090000", "19980518T090000", "19990517T090000"}},
        {"FREQ=YEARLY;BYWEEKNO=20;BYDAY=MO;COUNT=3",
         "19970512T090000",
         nullptr,
         nullptr,
         {"19970512T090000", "19980511T090000", "19990517T090000"}},
        {"FREQ=YEARLY;BYMONTH=3;BYDAY=TH;COUNT=3",
         "19970313T090000",
         nullptr,
         nullptr,
         {"19970313T090000", "19970320T090000", "19970327T090000"}},
        {"FREQ=YEARLY;INTERVAL=4;BYMONTH=11;BYDAY=TU;BYMONTHDAY=2,3,4,5,6,7,8;COUNT=3",
         "19961105T090000",
         nullptr,
         nullptr,
         {"19961105T090000", "20001107T090000", "20041102T090000"}},
        {"FREQ=YEARLY;BYYEARDAY=1,100,-1;COUNT=4",
         "20240101T000000",
         nullptr,
         nullptr,
         {"20240101T000000", "20240409T000000", "20241231T000000", "20250101T000000"}},
        {"FREQ=HOURLY;INTERVAL=3;COUNT=3",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970902T120000", "19970902T150000"}},
        {"FREQ=MINUTELY;INTERVAL=15;COUNT=3",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970902T091500", "19970902T093000"}},
        {"FREQ=DAILY;BYHOUR=9,10;BYMINUTE=0,30;COUNT=4",
         "19970902T090000",
         nullptr,
         nullptr,
         {"19970902T090000", "19970902T093000", "19970902T100000", "19970902T103000"}},
        // DTSTART always counts, even where the rule would not make it.
        {"FREQ=WEEKLY;BYDAY=MO;COUNT=2",
         "20240102T100000",
         nullptr,
         nullptr,
         {"20240102T100000", "20240108T100000"}},
        // A birthday from 1950 shows up in 2024.
        {"FREQ=YEARLY", "19500315", "20240101T000000", "20241231T000000", {"20240315T000000"}},
        // COUNT counts from DTSTART, whatever range is asked for.
        {"FREQ=DAILY;COUNT=10",
         "20240101T090000",
         "20240105T000000",
         "20240131T000000",
         {"20240105T090000", "20240106T090000", "20240107T090000", "20240108T090000",
          "20240109T090000", "20240110T090000"}},
        {"FREQ=DAILY;COUNT=10", "20240101T090000", "20240201T000000", "20240301T000000", {}},
        // INTERVAL keeps the series' own grid when the range starts later.
        {"FREQ=DAILY;INTERVAL=3",
         "20240101T090000",
         "20240110T000000",
         "20240116T235959",
         {"20240110T090000", "20240113T090000", "20240116T090000"}},
        {"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO",
         "20240101T090000",
         "20240301T000000",
         "20240331T000000",
         {"20240311T090000", "20240325T090000"}},
        {"FREQ=MONTHLY;INTERVAL=5;BYMONTHDAY=15",
         "19990115T090000",
         "20240101T000000",
         "20241231T000000",
         {"20240115T090000", "20240615T090000", "20241115T090000"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(occurrences(c.rule, c.dtstart, c.from, c.to), c.expected) << c.rule;
}

TEST(CaldavRrule, RefusesMalformedAndOutOfRangeRules) {
    const char* bad[] = {
        "FREQ=DAILY;INTERVAL=0",
        "FREQ=YEARLY;BYMONTH=13",
        "FREQ=DAILY;BYHOUR=25",
        "FREQ=DAILY;BYMINUTE=60",
        "FREQ=DAILY;COUNT=2;UNTIL=20240101",
        "FREQ=DAILY;FREQ=WEEKLY",
        "FREQ=MONTHLY;BYDAY=0MO",
        "FREQ=MONTHLY;BYDAY=XX",
        "freq=DAILY",
        "BYDAY=MO",
        "FREQ=MONTHLY;BYMONTHDAY=0",
        "FREQ=MONTHLY;BYMONTHDAY=32",
        "FREQ=WEEKLY;BYMONTHDAY=1",
        "FREQ=WEEKLY;BYDAY=1MO",
        "FREQ=SOMETIMES",
        "FREQ=DAILY;COUNT=0",
        "FREQ=DAILY;BYSETPOS=0",
        "FREQ=DAILY;UNTIL=yesterday",
        "FREQ=MONTHLY;BYWEEKNO=3",
        "FREQ=DAILY;BYYEARDAY=5",
        "FREQ=DAILY;COUNT=-1",
        "FREQ=DAILY;INTERVAL=2;INTERVAL=3",
        "FREQ=DAILY;BYFOO=1",
        "FREQ=DAILY;=1",
    };
    for (const char* rule : bad) {
        rrule_set r;
        EXPECT_FALSE(r.parse(rule)) << rule;
    }
    rrule_set r;
    EXPECT_TRUE(r.parse("FREQ=DAILY;X-NAME=1;BYMONTH=-1"));
}

TEST(CaldavRrule, HostileRulesStopAtTheirBounds) {
    const struct {
        const char* rule;
        const char* dtstart;
        const char* from;
        const char* to;
    } cases[] = {
        {"FREQ=SECONDLY", "19700101T000000", nullptr, nullptr},
        {"FREQ=SECONDLY;COUNT=2000000000", "19700101T000000", "20240101T000000", "20240201T000000"},
        {"FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30", "20000101T000000", nullptr, nullptr},
        {"FREQ=YEARLY;BYHOUR=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23;"
         "BYMINUTE=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,"
         "29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,"
         "58,59;BYSECOND=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,"
         "27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,"
         "56,57,58,59;COUNT=1000000000",
         "20000101T000000", "20240101T000000", "20240201T000000"},
    };
    rrule_limits limits;
    limits.max_results = 1000;
    limits.max_work = 200000;
    for (const auto& c : cases) {
        rrule_set r;
        ASSERT_TRUE(r.parse(c.rule)) << c.rule;
        std::vector<ical_seconds> out;
        r.expand(reading(c.dtstart), c.from ? reading(c.from) : ical_min_time,
                 c.to ? reading(c.to) : ical_max_time, ical_max_time, out, limits);
        EXPECT_LE(out.size(), limits.max_results) << c.rule;
    }
    // An impossible day ends at the year 9999, with DTSTART as the only instance.
    rrule_set r;
    ASSERT_TRUE(r.parse("FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30"));
    std::vector<ical_seconds> out;
    rrule_limits untimed; // the work bound alone decides, however slow the machine
    untimed.max_time = std::chrono::hours(1);
    EXPECT_TRUE(r.expand(reading("20000101T000000"), ical_min_time, ical_max_time, ical_max_time,
                         out, untimed));
    EXPECT_EQ(out.size(), 1u);
    // A request whose deadline has passed expands nothing more.
    rrule_limits late;
    late.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    ASSERT_TRUE(r.parse("FREQ=DAILY"));
    out.clear();
    EXPECT_FALSE(r.expand(reading("20240101T000000"), reading("20240101T000000"),
                          reading("20240201T000000"), ical_max_time, out, late));
    EXPECT_TRUE(out.empty());
    // Over-long rules report that they were cut short.
    ASSERT_TRUE(r.parse("FREQ=SECONDLY"));
    out.clear();
    EXPECT_FALSE(r.expand(reading("19700101T000000"), ical_min_time, ical_max_time, ical_max_time,
                          out, limits));
}

} // namespace
