// Reads the filter, the calendar-timezone and the expand range of
// calendar-query and addressbook-query request bodies into the filter model,
// once per request.
#pragma once
#include "dav/caldav/ical_query.h"
#include "dav/xml_document.h"

#include <optional>
#include <string>

// The filter of a loaded calendar-query body (selection namespaces set to
// dav_namespaces()). False for a filter that cannot be evaluated; `error`
// then names the failed precondition ("valid-filter",
// "supported-collation"), to be answered with 403.
bool read_calendar_query_filter(const xml_document& document, calendar_query_filter& out,
                                std::string& error);

// The same for an addressbook-query body.
bool read_addressbook_query_filter(const xml_document& document, addressbook_query_filter& out,
                                   std::string& error);

// The time range of calendar-data's expand element, when the body has one;
// `valid` turns false when its attributes are not date-times.
std::optional<time_range> read_calendar_query_expand(const xml_document& document, bool& valid);
