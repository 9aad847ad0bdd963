// A calendar object or vCard as a client PUTs it: parsed into the table,
// written back, its instances found and expanded within bounds, and queried.
// The nesting check agrees with the parser, a written table reads back as
// the same text, instances come out in order and within the bounds, and the
// shortcut by time spans never passes over an object the filter matches.
#include "dav/caldav/ical_expand.h"
#include "dav/caldav/ical_properties.h"
#include "dav/caldav/ical_query.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace {

rrule_limits small_limits() {
    rrule_limits l;
    l.max_results = 200;
    l.max_work = 20000;
    l.max_time = std::chrono::milliseconds(100);
    return l;
}

time_range utc_range(const char* start, const char* end) {
    time_range r;
    FUZZ_CHECK(parse_time_range(start, end, r));
    return r;
}

std::string_view kind_of_path(std::string_view path) {
    std::string_view name = path.substr(path.rfind('/') + 1);
    while (!name.empty() && name.back() >= '0' && name.back() <= '9')
        name.remove_suffix(1);
    return name;
}

// Every name of the key is made of letters, digits and "-", no property is
// called BEGIN or END, no text holds a control character, and no parameter
// a quote.
bool well_formed(const ical_properties::value_type& entry) {
    const std::string_view key = entry.first;
    const std::size_t comma = key.find(',');
    if (comma != key.rfind(',')) return false;
    for (const char c : key)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '/' || c == ','))
            return false;
    for (const std::string& t : {entry.second.first, entry.second.second})
        for (const char c : t)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return false;
    // Quotes in parameters may hide the colon that ends them.
    if (entry.second.first.find('"') != std::string::npos) return false;
    if (comma == std::string_view::npos) return true;
    // A name's own digits at its end would read as the number of a repeat
    // ("X-A2" as the second "X-A"), so only names without digits compare.
    const std::string_view name = key.substr(comma + 1);
    return !name.empty() && name.find_first_of("0123456789") == std::string_view::npos &&
           !ascii_iequals(name, "BEGIN") && !ascii_iequals(name, "END");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view text = fuzz::as_text(data, size);
    ical_properties table;
    const bool parsed = parse_ical(text, table);
    FUZZ_CHECK(parsed == ical_nesting_within_bounds(text));
    if (!parsed) {
        FUZZ_CHECK(table.empty());
        return 0;
    }
    // The bounds on nesting and paths keep the table linear in the text:
    // an entry per line, its key no longer than a path and the line.
    const std::size_t lines =
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    FUZZ_CHECK(ical_table_bytes(table) <= lines * (160 + ical_max_path + 12) + size);
    for (const auto& entry : table) {
        const std::string_view path =
            std::string_view(entry.first).substr(0, entry.first.find(','));
        FUZZ_CHECK(path.size() <= ical_max_path + 11); // and a repeat's number
        // Components whose parents are components of the table: at most
        // as deep as the bound (the count ends at a parent the table lacks,
        // which the bounds would have refused).
        std::size_t depth = 1;
        for (std::string up(path); depth <= ical_max_nesting + 1;) {
            const std::size_t cut = up.rfind('/');
            if (cut == 0 || cut == std::string::npos) break;
            up.resize(cut);
            if (!table.count(up)) break;
            ++depth;
        }
        FUZZ_CHECK(depth <= ical_max_nesting);
    }
    // A table of well-formed names reads back as it was written. (A line
    // "BEGIN" without a colon is a property of that name, which is written
    // as a component's start: odd input gives odd output, and no more.)
    const std::string written = write_ical(table);
    ical_properties again;
    FUZZ_CHECK(parse_ical(written, again));
    // Names of components hold no "/" (the parser refuses them), so
    // each component's parent is one of the table's own.
    const auto parent_there = [&](const auto& e) {
        std::string_view key = e.first;
        key = key.substr(0, key.find(','));
        if (key.size() < e.first.size()) return key.empty() || table.count(std::string(key)) > 0;
        const std::size_t slash = key.rfind('/');
        return slash == 0 || (slash != std::string_view::npos &&
                              table.count(std::string(key.substr(0, slash))) > 0);
    };
    if (std::all_of(table.begin(), table.end(),
                    [&](const auto& e) { return well_formed(e) && parent_there(e); }))
        FUZZ_CHECK(write_ical(again) == written);

    const rrule_limits limits = small_limits();
    const ical_zones zones(table);
    const time_range window = utc_range("20200101T000000Z", "20300101T000000Z");
    for (const auto& [key, value] : table) {
        if (key.find(',') != std::string::npos) continue;
        const std::string_view kind = kind_of_path(key);
        if (kind != "VEVENT" && kind != "VTODO" && kind != "VJOURNAL" && kind != "VFREEBUSY" &&
            kind != "VALARM")
            continue;
        std::vector<component_instance> list;
        component_instances(table, zones, key, kind, window, list, limits);
        if (kind != "VFREEBUSY" && kind != "VALARM")
            FUZZ_CHECK(std::is_sorted(list.begin(), list.end()));
    }
    bool complete = true;
    const ical_properties expanded = expand_calendar_data(
        table, zones, utc_range("20240101T000000Z", "20240201T000000Z"), limits, &complete);
    (void)write_ical(expanded);

    // Filters of the usual reports: events and to-dos of a month, a text
    // match on SUMMARY, and a vCard's name.
    const calendar_spans spans = calendar_time_spans(table);
    for (const char* kind : {"VEVENT", "VTODO", "VJOURNAL"}) {
        calendar_query_filter f;
        f.limits = limits;
        f.root = comp_filter{"VCALENDAR", false, std::nullopt, {}, {}};
        f.root->comps.push_back(
            comp_filter{kind, false, utc_range("20240301T000000Z", "20240401T000000Z"), {}, {}});
        const bool matches = match_calendar(f, table);
        FUZZ_CHECK(spans_may_match(f, spans) || !matches);
        prop_filter summary;
        summary.name = "SUMMARY";
        text_match m;
        m.pattern = "a";
        m.prepare();
        summary.matches.push_back(m);
        f.root->comps[0].props.push_back(summary);
        (void)match_calendar(f, table);
    }
    addressbook_query_filter card;
    prop_filter fn;
    fn.name = "FN";
    text_match m;
    m.pattern = "Ann";
    m.match_type = text_match::starts_with;
    m.prepare();
    fn.matches.push_back(m);
    card.props.push_back(fn);
    (void)match_vcard(card, table);
    return 0;
}
