// A one-month calendar-query over 10,000 events held as stored texts: each
// object is parsed and filtered as the report does; with expansion the
// matching objects are also expanded and written out.
#include "dav/caldav/ical_query.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const berlin = "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                           "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                           "TZNAME:CEST\r\nDTSTART:19700329T020000\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                           "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                           "TZNAME:CET\r\nDTSTART:19701025T030000\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                           "END:VTIMEZONE\r\n";

const char* const rules[] = {
    "FREQ=DAILY",
    "FREQ=WEEKLY;BYDAY=MO,WE,FR",
    "FREQ=MONTHLY;BYDAY=-1FR",
    "FREQ=YEARLY",
    "FREQ=DAILY;COUNT=30",
    "FREQ=WEEKLY;INTERVAL=2;UNTIL=20261231T000000Z",
    "FREQ=MONTHLY;BYMONTHDAY=15,-1",
    "FREQ=WEEKLY;BYDAY=TU;COUNT=200",
};

std::vector<std::string> make_calendar(int n) {
    std::vector<std::string> objects;
    objects.reserve(n);
    char buf[512];
    for (int i = 0; i < n; ++i) {
        const bool zoned = i % 3 == 0;
        const bool recurring = i % 10 == 0;
        // Spread over 2020-2025; recurring series start earlier.
        int year = recurring ? 2015 + i % 10 : 2020 + i % 6;
        int month = 1 + (i / 7) % 12, day = 1 + (i / 3) % 28, hour = 7 + i % 12;
        std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\n";
        if (zoned) text += berlin;
        std::snprintf(buf, sizeof buf,
                      "BEGIN:VEVENT\r\nUID:event-%d@bench.example\r\n"
                      "DTSTAMP:20240101T000000Z\r\nSUMMARY:Event number %d\r\n"
                      "DESCRIPTION:Some longer text that a calendar client would store "
                      "with the event\\, folded over\r\n  two lines of the stored object.\r\n"
                      "LOCATION:Room %d\r\nORGANIZER:mailto:boss@bench.example\r\n"
                      "ATTENDEE;PARTSTAT=ACCEPTED:mailto:a%d@bench.example\r\n",
                      i, i, i % 50, i);
        text += buf;
        const char* tz = zoned ? ";TZID=Europe/Berlin" : "";
        const char* z = zoned ? "" : "Z";
        std::snprintf(buf, sizeof buf,
                      "DTSTART%s:%04d%02d%02dT%02d0000%s\r\nDTEND%s:%04d%02d%02dT%02d3000%s\r\n",
                      tz, year, month, day, hour, z, tz, year, month, day, hour, z);
        text += buf;
        if (recurring) {
            text += "RRULE:";
            text += rules[(i / 10) % std::size(rules)];
            text += "\r\n";
        }
        text += "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n"
                "END:VEVENT\r\nEND:VCALENDAR\r\n";
        objects.push_back(std::move(text));
    }
    return objects;
}

const std::vector<std::string>& calendar() {
    static const std::vector<std::string> objects = make_calendar(10000);
    return objects;
}

calendar_query_filter month_filter(time_range& month) {
    parse_time_range("20240301T000000Z", "20240401T000000Z", month);
    calendar_query_filter f;
    f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
    f.root->comps.push_back(comp_filter{"VEVENT", false, month, {}, {}});
    return f;
}

void month_query(benchmark::State& state) {
    time_range month;
    const calendar_query_filter filter = month_filter(month);
    const bool expand = state.range(0) != 0;
    size_t matched = 0, bytes = 0;
    for (auto _ : state) {
        matched = bytes = 0;
        ical_properties table;
        for (const std::string& text : calendar()) {
            parse_ical(text, table);
            if (!match_calendar(filter, table)) continue;
            ++matched;
            if (expand) {
                ical_zones zones(table);
                bytes += write_ical(expand_calendar_data(table, zones, month)).size();
            } else {
                bytes += text.size();
            }
        }
        benchmark::DoNotOptimize(bytes);
    }
    if (matched == 0) {
        state.SkipWithError("the month query matched nothing");
        return;
    }
    state.counters["matched"] = static_cast<double>(matched);
    state.counters["bytes"] = static_cast<double>(bytes);
}

} // namespace

BENCHMARK(month_query)->Arg(0)->Arg(1)->ArgName("expand")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
