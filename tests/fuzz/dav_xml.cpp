// WebDAV, CalDAV and CardDAV request bodies: loaded as the DAV methods load
// them (no DTD, no entities, within the load limits), asked what PROPFIND,
// PROPPATCH, LOCK and the reports ask, and read as query filters, which
// then run against a small calendar and vCard. A document that loads stays
// within the limits it was loaded with.
#include "dav/caldav/ical_properties.h"
#include "dav/caldav/ical_query.h"
#include "dav/caldav/ical_query_xml.h"
#include "dav/dav_namespaces.h"
#include "dav/xml_document.h"
#include "tests/fuzz/fuzz_support.h"

#include <functional>

namespace {

const ical_properties& calendar() {
    static const ical_properties t = [] {
        ical_properties t;
        parse_ical("BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:a\r\nSUMMARY:Meeting\r\n"
                   "DTSTART;TZID=Europe/Berlin:20240301T100000\r\nDURATION:PT1H\r\n"
                   "RRULE:FREQ=WEEKLY;COUNT=10\r\nATTENDEE;PARTSTAT=ACCEPTED:mailto:a@x\r\n"
                   "END:VEVENT\r\nBEGIN:VTODO\r\nUID:b\r\nDUE:20240310T000000Z\r\nEND:VTODO\r\n"
                   "END:VCALENDAR\r\n",
                   t);
        return t;
    }();
    return t;
}

const ical_properties& card() {
    static const ical_properties t = [] {
        ical_properties t;
        parse_ical("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nN:Example;Ann;;;\r\n"
                   "EMAIL;TYPE=work:ann@example.invalid\r\nEND:VCARD\r\n",
                   t);
        return t;
    }();
    return t;
}

std::size_t depth_of(xml::node n) {
    std::size_t most = 0;
    for (const xml::node& c : n.child_elements())
        most = std::max(most, depth_of(c));
    return most + 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view body = fuzz::as_text(data, size);
    xml_document doc;
    if (!xml_load_document(doc, body)) {
        FUZZ_CHECK(!doc.loaded);
        return 0;
    }
    xml_set_selection_namespaces(doc, dav_namespaces());
    // Within the default load limits.
    FUZZ_CHECK(depth_of(doc.node()) <= xml::load_limits{}.max_depth + 1);
    for (const char* xpath :
         {"/d:propfind/d:prop/*", "/d:propfind/d:allprop", "/d:propfind/d:propname",
          "/d:propertyupdate/d:set/d:prop/* | /d:propertyupdate/d:remove/d:prop/*",
          "/d:lockinfo/d:lockscope/*", "/d:lockinfo/d:locktype/d:write", "/d:lockinfo/d:owner",
          "/d:lockinfo/d:owner/d:href", "//d:href"}) {
        std::vector<std::string> texts;
        xml_select_texts(doc, doc.node(), xpath, texts);
        xml_for_each_node(doc, xpath, [](xml_node n) {
            std::string t;
            xml_node_text(n, t);
            (void)n.local_name();
            (void)n.namespace_uri();
            return true;
        });
    }
    calendar_query_filter cf;
    std::string error;
    if (read_calendar_query_filter(doc, cf, error)) {
        cf.limits.max_results = 200;
        cf.limits.max_work = 20000;
        const bool matches = match_calendar(cf, calendar());
        FUZZ_CHECK(spans_may_match(cf, calendar_time_spans(calendar())) || !matches);
    } else {
        FUZZ_CHECK(!error.empty());
    }
    addressbook_query_filter af;
    if (read_addressbook_query_filter(doc, af, error)) (void)match_vcard(af, card());
    bool valid = true;
    if (const auto range = read_calendar_query_expand(doc, valid)) {
        rrule_limits limits;
        limits.max_results = 200;
        limits.max_work = 20000;
        const ical_zones zones(calendar());
        (void)write_ical(expand_calendar_data(calendar(), zones, *range, limits));
    }
    return 0;
}
