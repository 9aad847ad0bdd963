#include "dav/caldav/ical_query.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

const char* const berlin_zone = "BEGIN:VCALENDAR\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                                "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                                "DTSTART:19700329T020000\r\n"
                                "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                                "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                                "DTSTART:19701025T030000\r\n"
                                "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                                "END:VTIMEZONE\r\nEND:VCALENDAR\r\n";

ical_properties parse(const std::string& text) {
    ical_properties t;
    parse_ical(text, t);
    return t;
}

std::string event(const std::string& lines) {
    return "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:e\r\n" + lines +
           "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

time_range range(const char* start, const char* end) {
    time_range r;
    EXPECT_TRUE(parse_time_range(start, end, r)) << start << " " << end;
    return r;
}

TEST(CaldavOverlap, TimeRangeEdgesFollowCaldav) {
    const std::string timed_end = "DTSTART:20240105T100000Z\r\nDTEND:20240105T110000Z\r\n";
    const std::string timed_dur = "DTSTART:20240105T100000Z\r\nDURATION:PT1H\r\n";
    const std::string all_day = "DTSTART;VALUE=DATE:20240105\r\n";
    const std::string instant = "DTSTART:20240105T100000Z\r\n";
    const std::string nightly = "DTSTART:20240101T230000Z\r\nDTEND:20240102T010000Z\r\n"
                                "RRULE:FREQ=DAILY;COUNT=5\r\n";
    const struct {
        std::string body;
        const char* start;
        const char* end;
        bool meets;
    } cases[] = {
        {timed_end, "20240105T110000Z", "20240105T120000Z", false}, // end is exclusive
        {timed_end, "20240105T090000Z", "20240105T100000Z", false},
        {timed_end, "20240105T105959Z", "20240105T120000Z", true},
        {timed_end, "20240105T090000Z", "20240105T100001Z", true},
        {timed_end, "20240105T103000Z", "20240105T103001Z", true},  // range inside the event
        {timed_dur, "20240105T110000Z", "20240105T120000Z", false}, // DURATION answers as DTEND
        {timed_dur, "20240105T105959Z", "20240105T120000Z", true},
        {timed_dur, "20240105T090000Z", "20240105T100000Z", false},
        {all_day, "20240105T120000Z", "20240105T130000Z", true},
        {all_day, "20240106T000000Z", "20240107T000000Z", false},
        {all_day, "20240104T000000Z", "20240105T000000Z", false},
        {instant, "20240105T100000Z", "20240105T110000Z", true},
        {instant, "20240105T090000Z", "20240105T100000Z", false},
        {instant, "", "20240105T100001Z", true}, // only an end
        {instant, "20240105T100001Z", "", false},
        {nightly, "20240103T000000Z", "20240103T003000Z", true}, // started before the range
        {nightly, "20240103T010000Z", "20240103T230000Z", false},
        {nightly, "20240110T000000Z", "20240120T000000Z", false}, // the series has ended
        {"DTEND:20240105T110000Z\r\n", "", "", false},            // no DTSTART
    };
    for (const auto& c : cases) {
        ical_properties t = parse(event(c.body));
        ical_zones zones(t);
        EXPECT_EQ(component_time_range_test(t, zones, "/VCALENDAR/VEVENT", "VEVENT",
                                            range(c.start, c.end)),
                  c.meets)
            << c.body << c.start << "-" << c.end;
    }
    // An all-day event is floating: with the request's zone it is the local day.
    auto zone = load_calendar_timezone(berlin_zone);
    ASSERT_TRUE(zone);
    ical_properties t = parse(event(all_day));
    ical_zones berlin(t, zone.get());
    ical_zones utc(t);
    auto late = range("20240105T230000Z", "20240106T000000Z");
    EXPECT_FALSE(component_time_range_test(t, berlin, "/VCALENDAR/VEVENT", "VEVENT", late));
    EXPECT_TRUE(component_time_range_test(t, utc, "/VCALENDAR/VEVENT", "VEVENT", late));
}

TEST(CaldavOverlap, TodosJournalsAlarmsAndFreebusy) {
    const struct {
        const char* text;
        const char* path;
        const char* kind;
        const char* start;
        const char* end;
        bool meets;
    } cases[] = {
        {"BEGIN:VTODO\r\nDUE:20240105T100000Z\r\nEND:VTODO\r\n", "/VTODO", "VTODO",
         "20240105T090000Z", "20240105T100000Z", true},
        {"BEGIN:VTODO\r\nDUE:20240105T100000Z\r\nEND:VTODO\r\n", "/VTODO", "VTODO",
         "20240105T100000Z", "20240105T110000Z", false},
        {"BEGIN:VTODO\r\nSUMMARY:x\r\nEND:VTODO\r\n", "/VTODO", "VTODO", "20240105T100000Z",
         "20240105T110000Z", true},
        {"BEGIN:VTODO\r\nCREATED:20240105T100000Z\r\nEND:VTODO\r\n", "/VTODO", "VTODO",
         "20240101T000000Z", "20240105T100000Z", false},
        {"BEGIN:VJOURNAL\r\nDTSTART;VALUE=DATE:20240105\r\nEND:VJOURNAL\r\n", "/VJOURNAL",
         "VJOURNAL", "20240105T120000Z", "20240105T130000Z", true},
        {"BEGIN:VFREEBUSY\r\nFREEBUSY:20240105T100000Z/PT1H,20240106T100000Z/PT1H\r\n"
         "END:VFREEBUSY\r\n",
         "/VFREEBUSY", "VFREEBUSY", "20240106T103000Z", "20240106T103100Z", true},
        {"BEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\nRRULE:FREQ=DAILY\r\nBEGIN:VALARM\r\n"
         "TRIGGER:-PT15M\r\nEND:VALARM\r\nEND:VEVENT\r\n",
         "/VEVENT/VALARM", "VALARM", "20240110T094500Z", "20240110T094600Z", true},
        {"BEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\nRRULE:FREQ=DAILY\r\nBEGIN:VALARM\r\n"
         "TRIGGER:-PT15M\r\nEND:VALARM\r\nEND:VEVENT\r\n",
         "/VEVENT/VALARM", "VALARM", "20240110T095000Z", "20240110T100000Z", false},
    };
    for (const auto& c : cases) {
        ical_properties t = parse(c.text);
        ical_zones zones(t);
        EXPECT_EQ(component_time_range_test(t, zones, c.path, c.kind, range(c.start, c.end)),
                  c.meets)
            << c.text << c.start;
    }
}

TEST(CaldavExpand, InstancesHonourExdateRdateAndOverrides) {
    ical_properties t = parse(
        "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:s\r\nSUMMARY:Standup\r\n"
        "DTSTART:20240101T090000Z\r\nDTEND:20240101T103000Z\r\nRRULE:FREQ=DAILY;COUNT=5\r\n"
        "EXDATE:20240103T090000Z\r\nRDATE:20240110T150000Z/PT2H\r\n"
        "BEGIN:VALARM\r\nTRIGGER:-PT5M\r\nACTION:DISPLAY\r\nEND:VALARM\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:s\r\nSUMMARY:Standup moved\r\nRECURRENCE-ID:20240104T090000Z\r\n"
        "DTSTART:20240104T140000Z\r\nDTEND:20240104T150000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    ical_zones zones(t);
    std::vector<component_instance> list;
    ASSERT_TRUE(component_instances(t, zones, "/VCALENDAR/VEVENT", "VEVENT", {}, list));
    std::vector<std::string> starts;
    for (auto& i : list)
        starts.push_back(format_utc(i.start));
    EXPECT_EQ(starts, (std::vector<std::string>{"20240101T090000Z", "20240102T090000Z",
                                                "20240105T090000Z", "20240110T150000Z"}));
    // The override meets its own time, the master no longer meets the old one.
    auto old_slot = range("20240104T090000Z", "20240104T100000Z");
    auto new_slot = range("20240104T140000Z", "20240104T143000Z");
    calendar_query_filter f;
    f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
    f.root->comps.push_back(comp_filter{"VEVENT", false, old_slot, {}, {}});
    EXPECT_FALSE(match_calendar(f, t));
    f.root->comps[0].range = new_slot;
    EXPECT_TRUE(match_calendar(f, t));

    ical_properties x =
        expand_calendar_data(t, zones, range("20240101T000000Z", "20240111T000000Z"));
    std::map<std::string, std::string> by_start;
    for (size_t k = 0;; ++k) {
        std::string path = "/VCALENDAR/VEVENT" + instance_suffix(k);
        if (!x.count(path)) break;
        EXPECT_EQ(x[path + ",UID"].second, "s") << path;
        EXPECT_FALSE(x.count(path + ",RRULE") || x.count(path + ",EXDATE") ||
                     x.count(path + ",RDATE"))
            << path;
        // The master's alarm travels with each of its instances, not with the override.
        EXPECT_EQ(x.count(path + "/VALARM,TRIGGER"),
                  x.count(path + ",RECURRENCE-ID") && x[path + ",SUMMARY"].second == "Standup")
            << path;
        std::string end = x.count(path + ",DTEND") ? "end " + x[path + ",DTEND"].second
                                                   : "dur " + x[path + ",DURATION"].second;
        by_start[x[path + ",DTSTART"].second] =
            x[path + ",SUMMARY"].second + " " + x[path + ",RECURRENCE-ID"].second + " " + end;
    }
    const std::map<std::string, std::string> expected = {
        {"20240101T090000Z", "Standup 20240101T090000Z dur PT1H30M0S"},
        {"20240102T090000Z", "Standup 20240102T090000Z dur PT1H30M0S"},
        {"20240104T140000Z", "Standup moved 20240104T090000Z end 20240104T150000Z"},
        {"20240105T090000Z", "Standup 20240105T090000Z dur PT1H30M0S"},
        {"20240110T150000Z", "Standup 20240110T150000Z end 20240110T170000Z"},
    };
    EXPECT_EQ(by_start, expected);
    // An override moved out of the range stays out of the expansion, as
    // the master's instances there do.
    ical_properties narrow =
        expand_calendar_data(t, zones, range("20240101T000000Z", "20240103T000000Z"));
    std::vector<std::string> narrow_starts;
    for (size_t k = 0; narrow.count("/VCALENDAR/VEVENT" + instance_suffix(k)); ++k)
        narrow_starts.push_back(
            narrow["/VCALENDAR/VEVENT" + instance_suffix(k) + ",DTSTART"].second);
    std::sort(narrow_starts.begin(), narrow_starts.end());
    EXPECT_EQ(narrow_starts, (std::vector<std::string>{"20240101T090000Z", "20240102T090000Z"}));
    EXPECT_NE(write_ical(x).find("SUMMARY:Standup moved\n"), std::string::npos);
}

TEST(CaldavExpand, LocalTimesBecomeUtcAndMissesKeepTheirZone) {
    std::string zone_block(berlin_zone);
    zone_block = zone_block.substr(zone_block.find("BEGIN:VTIMEZONE"));
    zone_block = zone_block.substr(0, zone_block.find("END:VCALENDAR"));
    ical_properties t = parse(
        "BEGIN:VCALENDAR\r\n" + zone_block +
        "BEGIN:VEVENT\r\nUID:w\r\nDTSTART;TZID=Europe/Berlin:20240325T120000\r\n"
        "DURATION:PT1H\r\nRRULE:FREQ=WEEKLY;COUNT=3\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:o\r\nDTSTART;TZID=Europe/Berlin:20250101T120000\r\nEND:VEVENT\r\n"
        "END:VCALENDAR\r\n");
    ical_zones zones(t);
    ical_properties x =
        expand_calendar_data(t, zones, range("20240301T000000Z", "20240501T000000Z"));
    std::vector<std::string> starts;
    for (auto& [key, pair] : x)
        if (key.starts_with("/VCALENDAR/VEVENT") && key.ends_with(",DTSTART"))
            starts.push_back(pair.first + "|" + pair.second);
    std::sort(starts.begin(), starts.end());
    EXPECT_EQ(starts,
              (std::vector<std::string>{"TZID=Europe/Berlin|20250101T120000", "|20240325T110000Z",
                                        "|20240401T100000Z", "|20240408T100000Z"}));
    EXPECT_TRUE(x.count("/VCALENDAR/VTIMEZONE,TZID"));
}

TEST(CaldavExpand, AllDayInstancesKeepDatesAndWholeDays) {
    const struct {
        const char* lines;
        const char* duration; // of every instance; empty: none written
    } cases[] = {
        {"DTEND;VALUE=DATE:20240102\r\n", "P1D"},
        {"DTEND;VALUE=DATE:20240104\r\n", "P3D"},
        {"DURATION:P2D\r\n", "P2D"},
        {"", ""},
    };
    for (const auto& c : cases) {
        ical_properties t = parse(event(std::string("DTSTART;VALUE=DATE:20240101\r\n") + c.lines +
                                        "RRULE:FREQ=WEEKLY;COUNT=3\r\n"));
        ical_zones zones(t);
        ical_properties x =
            expand_calendar_data(t, zones, range("20240101T000000Z", "20240201T000000Z"));
        std::vector<std::string> got;
        for (size_t k = 0;; ++k) {
            std::string path = "/VCALENDAR/VEVENT" + instance_suffix(k);
            if (!x.count(path)) break;
            EXPECT_FALSE(x.count(path + ",DTEND")) << c.lines;
            got.push_back(x[path + ",DTSTART"].first + ":" + x[path + ",DTSTART"].second + " " +
                          x[path + ",RECURRENCE-ID"].first + ":" +
                          x[path + ",RECURRENCE-ID"].second + " " +
                          (x.count(path + ",DURATION") ? x[path + ",DURATION"].second : ""));
        }
        const std::string d = c.duration;
        EXPECT_EQ(got, (std::vector<std::string>{"VALUE=DATE:20240101 VALUE=DATE:20240101 " + d,
                                                 "VALUE=DATE:20240108 VALUE=DATE:20240108 " + d,
                                                 "VALUE=DATE:20240115 VALUE=DATE:20240115 " + d}))
            << c.lines;
    }
}

// The calendar the filter table runs against.
const char* const meeting =
    "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:m1\r\nSUMMARY:Budget review\r\n"
    "DTSTART:20240105T100000Z\r\nDTEND:20240105T110000Z\r\n"
    "ATTENDEE;PARTSTAT=ACCEPTED;CN=Ann:mailto:ann@example.com\r\n"
    "ATTENDEE;PARTSTAT=NEEDS-ACTION;CN=Bob Smith:mailto:bob@example.com\r\n"
    "BEGIN:VALARM\r\nTRIGGER:-PT15M\r\nACTION:DISPLAY\r\nEND:VALARM\r\nEND:VEVENT\r\n"
    "BEGIN:VEVENT\r\nUID:m2\r\nSUMMARY:Lunch\r\nDTSTART:20240210T120000Z\r\nEND:VEVENT\r\n"
    "END:VCALENDAR\r\n";

text_match tm(const char* pattern, text_match::kind kind = text_match::contains,
              bool negate = false, text_collation c = text_collation::ascii_casemap) {
    text_match m;
    m.pattern = pattern;
    m.match_type = kind;
    m.collation = c;
    m.negate = negate;
    return m;
}

prop_filter pf(const char* name) {
    return prop_filter{name, false, true, std::nullopt, {}, {}};
}

TEST(CaldavFilter, EveryFilterKindApplies) {
    const auto in_jan = range("20240105T000000Z", "20240106T000000Z");
    const auto in_mar = range("20240301T000000Z", "20240401T000000Z");
    auto event_with = [](std::function<void(comp_filter&)> fill) {
        calendar_query_filter f;
        f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
        comp_filter ev{"VEVENT", false, std::nullopt, {}, {}};
        fill(ev);
        f.root->comps.push_back(ev);
        return f;
    };
    const struct {
        const char* what;
        calendar_query_filter filter;
        bool matches;
    } cases[] = {
        {"no filter", calendar_query_filter{}, true},
        {"comp exists", event_with([](comp_filter&) {}), true},
        {"todo is-not-defined",
         [] {
             calendar_query_filter f;
             f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
             f.root->comps.push_back(comp_filter{"VTODO", true, std::nullopt, {}, {}});
             return f;
         }(),
         true},
        {"event is-not-defined", event_with([](comp_filter& c) { c.is_not_defined = true; }),
         false},
        {"second event's range", event_with([](comp_filter& c) {
             c.range = range("20240210T000000Z", "20240211T000000Z");
         }),
         true},
        {"range then failing prop", event_with([&](comp_filter& c) {
             c.range = in_jan;
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("lunch"));
             c.props.push_back(p);
         }),
         false},
        {"range then passing prop", event_with([&](comp_filter& c) {
             c.range = in_jan;
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("BUDGET"));
             c.props.push_back(p);
         }),
         true},
        {"range misses", event_with([&](comp_filter& c) { c.range = in_mar; }), false},
        {"second attendee", event_with([](comp_filter& c) {
             auto p = pf("ATTENDEE");
             p.matches.push_back(tm("bob@"));
             c.props.push_back(p);
         }),
         true},
        {"octet collation", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("budget", text_match::contains, false, text_collation::octet));
             c.props.push_back(p);
         }),
         false},
        {"equals", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("budget REVIEW", text_match::equals));
             c.props.push_back(p);
         }),
         true},
        {"negated equals", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("Budget review", text_match::equals, true));
             c.props.push_back(p);
         }),
         true}, // the Lunch event differs
        {"negated contains on all", event_with([](comp_filter& c) {
             auto p = pf("UID");
             p.matches.push_back(tm("m", text_match::contains, true));
             c.props.push_back(p);
         }),
         false},
        {"param-filter", event_with([](comp_filter& c) {
             auto p = pf("ATTENDEE");
             p.params.push_back({"PARTSTAT", false, tm("needs-action", text_match::equals)});
             c.props.push_back(p);
         }),
         true},
        {"param and text on one attendee", event_with([](comp_filter& c) {
             auto p = pf("ATTENDEE");
             p.matches.push_back(tm("ann@"));
             p.params.push_back({"PARTSTAT", false, tm("NEEDS-ACTION", text_match::equals)});
             c.props.push_back(p);
         }),
         false},
        {"param is-not-defined", event_with([](comp_filter& c) {
             auto p = pf("ATTENDEE");
             p.params.push_back({"ROLE", true, std::nullopt});
             c.props.push_back(p);
         }),
         true},
        {"param is-not-defined but present", event_with([](comp_filter& c) {
             auto p = pf("ATTENDEE");
             p.params.push_back({"CN", true, std::nullopt});
             c.props.push_back(p);
         }),
         false},
        {"prop is-not-defined", event_with([](comp_filter& c) {
             auto p = pf("LOCATION");
             p.is_not_defined = true;
             c.props.push_back(p);
         }),
         true},
        {"prop is-not-defined but present", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.is_not_defined = true;
             c.props.push_back(p);
         }),
         false},
        {"prop time-range", event_with([&](comp_filter& c) {
             auto p = pf("DTSTART");
             p.range = range("20240210T120000Z", "20240210T120001Z");
             c.props.push_back(p);
         }),
         true},
        {"prop time-range end exclusive", event_with([&](comp_filter& c) {
             auto p = pf("DTSTART");
             p.range = range("20240210T110000Z", "20240210T120000Z");
             c.props.push_back(p);
         }),
         false},
        {"alarm in range", event_with([](comp_filter& c) {
             c.comps.push_back(comp_filter{
                 "VALARM", false, range("20240105T094500Z", "20240105T095000Z"), {}, {}});
         }),
         true},
        {"alarm out of range", event_with([](comp_filter& c) {
             c.comps.push_back(comp_filter{
                 "VALARM", false, range("20240105T095000Z", "20240105T100000Z"), {}, {}});
         }),
         false},
        {"starts-with", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("lun", text_match::starts_with));
             c.props.push_back(p);
         }),
         true},
        {"ends-with", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.matches.push_back(tm("REVIEW", text_match::ends_with));
             c.props.push_back(p);
         }),
         true},
        {"empty contains never", event_with([](comp_filter& c) {
             auto p = pf("SUMMARY");
             p.matches.push_back(tm(""));
             c.props.push_back(p);
         }),
         false},
    };
    ical_properties t = parse(meeting);
    for (const auto& c : cases)
        EXPECT_EQ(match_calendar(c.filter, t), c.matches) << c.what;
}

TEST(CaldavFilter, VcardPropertiesWithGroupsAndRepeats) {
    ical_properties card = parse("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Jane Doe\r\n"
                                 "EMAIL;type=INTERNET;type=HOME:jane@home.example\r\n"
                                 "EMAIL;TYPE=WORK,VOICE:jane@work.example\r\n"
                                 "item1.EMAIL;type=INTERNET:jd@club.example\r\n"
                                 "item1.X-ABLabel:Club\r\nTEL;TYPE=CELL:+49 170 1234\r\n"
                                 "END:VCARD\r\n");
    auto filter = [](bool all_of, std::vector<prop_filter> props) {
        return addressbook_query_filter{all_of, std::move(props)};
    };
    auto text = [](const char* name, const char* pattern,
                   text_match::kind k = text_match::contains) {
        prop_filter p = pf(name);
        p.all_of = false;
        p.matches.push_back(tm(pattern, k));
        return p;
    };
    auto param = [](const char* name, const char* pname, const char* pattern) {
        prop_filter p = pf(name);
        p.all_of = false;
        p.params.push_back({pname, false, tm(pattern)});
        return p;
    };
    const struct {
        const char* what;
        addressbook_query_filter filter;
        bool matches;
    } cases[] = {
        {"no filter", filter(false, {}), true},
        {"grouped email", filter(false, {text("EMAIL", "club.example")}), true},
        {"second email", filter(false, {text("EMAIL", "WORK.example")}), true},
        {"group-qualified name", filter(false, {text("item1.EMAIL", "jd@")}), true},
        {"no such email", filter(false, {text("EMAIL", "nowhere")}), false},
        {"lower-case type param", filter(false, {param("EMAIL", "TYPE", "home")}), true},
        {"type list", filter(false, {param("EMAIL", "TYPE", "VOICE")}), true},
        {"anyof", filter(false, {text("FN", "nobody"), text("TEL", "170")}), true},
        {"allof", filter(true, {text("FN", "nobody"), text("TEL", "170")}), false},
        {"allof both", filter(true, {text("FN", "jane"), text("TEL", "170")}), true},
        {"is-not-defined", filter(false, {[] {
                                      auto p = pf("NICKNAME");
                                      p.is_not_defined = true;
                                      return p;
                                  }()}),
         true},
        {"unicode casemap", filter(false, {[] {
                                       prop_filter p = pf("FN");
                                       p.matches.push_back(tm("JANE DOE", text_match::equals, false,
                                                              text_collation::unicode_casemap));
                                       return p;
                                   }()}),
         true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(match_vcard(c.filter, card), c.matches) << c.what;
    ical_properties umlaut = parse("BEGIN:VCARD\r\nFN:JÖRG ÆSIR\r\nEND:VCARD\r\n");
    prop_filter p = pf("FN");
    p.matches.push_back(
        tm("jörg æsir", text_match::equals, false, text_collation::unicode_casemap));
    EXPECT_TRUE(match_vcard(filter(false, {p}), umlaut));
    p.matches[0].collation = text_collation::ascii_casemap;
    EXPECT_FALSE(match_vcard(filter(false, {p}), umlaut));
}

} // namespace

namespace {

TEST(CaldavSpans, PassOverOnlyObjectsThatCannotMatch) {
    std::string zone_block(berlin_zone);
    zone_block = zone_block.substr(zone_block.find("BEGIN:VTIMEZONE"));
    zone_block = zone_block.substr(0, zone_block.find("END:VCALENDAR"));
    const std::string objects[] = {
        event("DTSTART:20240105T100000Z\r\nDTEND:20240105T110000Z\r\n"),
        event("DTSTART;VALUE=DATE:20240105\r\n"),
        event("DTSTART:20240101T090000Z\r\nDURATION:PT1H\r\nRRULE:FREQ=WEEKLY;COUNT=3\r\n"),
        event("DTSTART:20240101T090000Z\r\nRRULE:FREQ=DAILY\r\n"),
        event("DTSTART:20240101T090000Z\r\nRDATE:20250601T090000Z\r\n"),
        "BEGIN:VCALENDAR\r\n" + zone_block +
            "BEGIN:VEVENT\r\nUID:z\r\nDTSTART;TZID=Europe/Berlin:20240701T120000\r\n"
            "END:VEVENT\r\nEND:VCALENDAR\r\n",
        "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:o\r\nDTSTART:20240101T090000Z\r\n"
        "RRULE:FREQ=WEEKLY;COUNT=3\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:o\r\n"
        "RECURRENCE-ID:20240108T090000Z\r\nDTSTART:20240301T090000Z\r\nEND:VEVENT\r\n"
        "END:VCALENDAR\r\n",
        "BEGIN:VCALENDAR\r\nBEGIN:VTODO\r\nUID:t\r\nDUE:20240105T120000Z\r\nEND:VTODO\r\n"
        "END:VCALENDAR\r\n",
        "BEGIN:VCALENDAR\r\nBEGIN:VTODO\r\nUID:u\r\nSUMMARY:whenever\r\nEND:VTODO\r\n"
        "END:VCALENDAR\r\n",
        "BEGIN:VCALENDAR\r\nBEGIN:VTODO\r\nUID:c\r\nCREATED:20240105T120000Z\r\nEND:VTODO\r\n"
        "END:VCALENDAR\r\n",
    };
    const std::pair<const char*, const char*> ranges[] = {
        {"20240105T103000Z", "20240105T103100Z"},
        {"20240105T110000Z", "20240105T120000Z"},
        {"20231231T000000Z", "20240101T090000Z"},
        {"20240229T000000Z", "20240302T000000Z"},
        {"20240701T095900Z", "20240701T100000Z"},
        {"20240701T100000Z", "20240701T100001Z"},
        {"20250601T000000Z", "20250602T000000Z"},
        {"20300101T000000Z", "20300102T000000Z"},
        {"", "20240101T000000Z"},
        {"20240106T000000Z", ""},
    };
    int passed_over = 0;
    for (const std::string& text : objects) {
        const ical_properties t = parse(text);
        const calendar_spans spans = calendar_time_spans(t);
        EXPECT_TRUE(spans.usable) << text;
        for (const char* kind : {"VEVENT", "VTODO", "VJOURNAL"}) {
            for (const auto& [start, end] : ranges) {
                calendar_query_filter f;
                f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
                f.root->comps.push_back(comp_filter{kind, false, range(start, end), {}, {}});
                const bool may = spans_may_match(f, spans);
                // Never passes over an object that matches.
                EXPECT_TRUE(may || !match_calendar(f, t))
                    << kind << " " << start << "-" << end << "\n"
                    << text;
                passed_over += !may;
            }
        }
    }
    // 10 objects, 3 kinds, 10 ranges: most pairs are ruled out by the spans.
    EXPECT_GE(passed_over, 200);
    // A calendar-timezone of the request moves floating times: no shortcut.
    calendar_query_filter f;
    f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
    f.root->comps.push_back(
        comp_filter{"VEVENT", false, range("20300101T000000Z", "20300102T000000Z"), {}, {}});
    const calendar_spans spans = calendar_time_spans(parse(objects[0]));
    EXPECT_FALSE(spans_may_match(f, spans));
    f.floating_zone = load_calendar_timezone(berlin_zone);
    ASSERT_TRUE(f.floating_zone);
    EXPECT_TRUE(spans_may_match(f, spans));
}

} // namespace
