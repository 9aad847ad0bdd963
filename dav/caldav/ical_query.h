// The filters of calendar-query and addressbook-query reports and their
// evaluation against one parsed object.
#pragma once
#include "dav/caldav/ical_expand.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class text_collation { ascii_casemap, octet, unicode_casemap };

// A collation name of a text-match; nullopt for one this server lacks.
std::optional<text_collation> collation_of(std::string_view name);

// Patterns longer than this are refused as filters: no property a client
// searches for is longer, and each compare costs its length.
inline constexpr std::size_t text_match_max_pattern = 4096;

struct text_match {
    enum kind { equals, contains, starts_with, ends_with };
    std::string pattern;
    kind match_type = contains;
    text_collation collation = text_collation::ascii_casemap;
    bool negate = false;
    // The pattern in its collation's folded form, made once by prepare()
    // rather than again for every value compared.
    std::string folded_pattern;
    bool prepared = false;

    void prepare();
};

// A match-type attribute value; nullopt for an unknown one.
std::optional<text_match::kind> match_type_of(std::string_view name);

bool text_matches(const text_match& m, std::string_view text);

struct param_filter {
    std::string name;
    bool is_not_defined = false;
    std::optional<text_match> match;
};

struct prop_filter {
    std::string name;
    bool is_not_defined = false;
    // Whether every condition must hold (CalDAV, and CardDAV test="allof")
    // or one is enough (CardDAV's default test="anyof").
    bool all_of = true;
    std::optional<time_range> range;
    std::vector<text_match> matches;
    std::vector<param_filter> params;
};

struct comp_filter {
    std::string name;
    bool is_not_defined = false;
    std::optional<time_range> range;
    std::vector<prop_filter> props;
    std::vector<comp_filter> comps;
};

struct calendar_query_filter {
    std::optional<comp_filter> root; // none: every object matches
    // The zone for floating times (a calendar-timezone of the request).
    std::shared_ptr<const timezone_rules> floating_zone;
    rrule_limits limits;
};

struct addressbook_query_filter {
    bool all_of = false; // the filter's test attribute, "anyof" by default
    std::vector<prop_filter> props;
};

// Evaluates a calendar-query filter against a parsed calendar object.
bool match_calendar(const calendar_query_filter& filter, const ical_properties& table);
// Evaluates an addressbook-query filter against a parsed vCard (its first
// VCARD).
bool match_vcard(const addressbook_query_filter& filter, const ical_properties& table);

// The pieces, exposed for the reports and tests.
bool match_comp_filter(const comp_filter& f, const ical_properties& table, const ical_zones& zones,
                       const std::string& parent, const rrule_limits& limits);
bool match_prop_filter(const prop_filter& f, const ical_properties& table, const ical_zones& zones,
                       const std::string& component, bool vcard);
bool match_param_filter(const param_filter& f, std::string_view params);

// Where the instances of an object's components lie, worked out once per
// object: a query that needs an instance of a kind within a range passes
// over objects whose instances of that kind all lie elsewhere without
// evaluating its filter on them.
struct calendar_spans {
    // The kinds of component that have instances, in this order.
    static constexpr const char* kind_names[] = {"VEVENT", "VTODO", "VJOURNAL", "VFREEBUSY"};
    static constexpr int kind_count = 4;
    // The index of a kind's name; -1 for another name.
    static int kind_of(std::string_view name);

    struct span {
        ical_seconds first = ical_max_time;
        ical_seconds last = ical_min_time;
        bool present = false; // the object has a component of the kind
        bool known = true;    // false: instances may lie anywhere
    };
    bool usable = false; // one VCALENDAR, every time read without a request's zone
    // Fixed size and without pointers: kept beside an object's listing entry
    // and compared without a look at the object.
    std::array<span, kind_count> kinds{};
};
calendar_spans calendar_time_spans(const ical_properties& table);

// What a query's filter asks of the spans, worked out once per query.
struct span_query {
    bool any = true; // nothing to test: every object may match
    struct need {
        int kind;
        time_range range;
    };
    std::vector<need> needs;
};
span_query span_query_of(const calendar_query_filter& filter);
// False only when an object of these spans cannot match the query.
bool spans_may_match(const span_query& query, const calendar_spans& spans);
bool spans_may_match(const calendar_query_filter& filter, const calendar_spans& spans);

// A calendar-timezone text (a VCALENDAR holding one VTIMEZONE) as a zone;
// null when it holds none.
std::shared_ptr<const timezone_rules> load_calendar_timezone(std::string_view text);
