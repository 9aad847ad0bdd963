// A recurrence rule as a calendar object carries it, expanded from one of a
// few starts over a window with the bounds of a request, and read in a zone
// with daylight saving time. The occurrences ascend, lie in the window,
// never exceed the bounds or the rule's COUNT, and begin with the start.
#include "dav/caldav/rrule.h"
#include "dav/caldav/ical_time.h"
#include "tests/fuzz/fuzz_support.h"

#include <chrono>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    std::string_view in = fuzz::as_text(data, size);
    const unsigned choice = fuzz::take_choice(in, 16);
    rrule_set rule;
    if (!rule.parse(in)) return 0;

    static const ical_seconds starts[] = {
        seconds_of(2024, 1, 31, 9, 30, 0), seconds_of(2024, 2, 29, 0, 0, 0),
        seconds_of(2023, 3, 26, 2, 30, 0), seconds_of(1999, 12, 31, 23, 59, 59)};
    const ical_seconds dtstart = starts[choice & 3];
    const ical_seconds from = (choice & 4) ? dtstart : seconds_of(2024, 6, 1, 0, 0, 0);
    const ical_seconds to = (choice & 8) ? from + 366 * 86400 : from + 40LL * 366 * 86400;
    ical_seconds until = ical_max_time;
    if (rule.has_until) until = rule.until.seconds;
    rrule_limits limits;
    limits.max_results = 500;
    limits.max_work = 50000;
    limits.max_time = std::chrono::milliseconds(200);
    std::vector<ical_seconds> out;
    const bool complete = rule.expand(dtstart, from, to, until, out, limits);
    FUZZ_CHECK(out.size() <= limits.max_results);
    for (std::size_t i = 0; i < out.size(); ++i) {
        FUZZ_CHECK(out[i] >= from && out[i] <= to);
        FUZZ_CHECK(out[i] >= dtstart);
        if (i > 0) FUZZ_CHECK(out[i] > out[i - 1]);
    }
    if (complete && rule.count > 0) FUZZ_CHECK(out.size() <= static_cast<std::size_t>(rule.count));
    if (complete && from <= dtstart && dtstart <= to && dtstart <= until)
        FUZZ_CHECK(!out.empty() && out.front() == dtstart);

    // The same readings in a zone with daylight saving time (a reading in
    // the spring gap goes back an hour, so the order need not hold).
    if (const auto zone = system_zone("Europe/Berlin"))
        for (const ical_seconds local : out) {
            const ical_seconds utc = zone->to_utc(local);
            FUZZ_CHECK(utc - local >= -2 * 3600 && utc - local <= 0);
            (void)zone->to_local(utc);
        }
    return 0;
}
