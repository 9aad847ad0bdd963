#include "dav/caldav/ical_query_xml.h"

namespace {

constexpr std::string_view caldav_ns = "urn:ietf:params:xml:ns:caldav";
constexpr std::string_view carddav_ns = "urn:ietf:params:xml:ns:carddav";

// Nesting deeper than any calendar has components is refused, so a hostile
// body cannot recurse without bound.
constexpr int max_depth = 16;

struct reader {
    std::string_view ns;
    std::string error;

    bool fail(const char* why) {
        if (error.empty()) error = why;
        return false;
    }

    bool is(const xml_node& n, std::string_view local) const {
        return n.is_element() && n.local_name() == local && n.namespace_uri() == ns;
    }

    bool range(const xml_node& n, time_range& out) {
        if (!parse_time_range(n.attribute("start"), n.attribute("end"), out))
            return fail("valid-filter");
        if (n.attribute("start").empty() && n.attribute("end").empty()) return fail("valid-filter");
        return true;
    }

    bool text(const xml_node& n, text_match& out) {
        std::string pattern;
        n.text(pattern);
        if (pattern.size() > text_match_max_pattern) return fail("valid-filter");
        out.pattern = pattern;
        auto collation = collation_of(n.attribute("collation"));
        if (!collation) return fail("supported-collation");
        out.collation = *collation;
        auto kind = match_type_of(n.attribute("match-type"));
        if (!kind) return fail("supported-filter");
        out.match_type = *kind;
        out.negate = n.attribute("negate-condition") == "yes";
        out.prepare();
        return true;
    }

    bool param(const xml_node& n, param_filter& out) {
        out.name = n.attribute("name");
        if (out.name.empty()) return fail("valid-filter");
        for (const xml_node& c : n.child_elements()) {
            if (is(c, "is-not-defined")) {
                out.is_not_defined = true;
            } else if (is(c, "text-match")) {
                text_match m;
                if (!text(c, m)) return false;
                out.match = m;
            }
        }
        return true;
    }

    bool prop(const xml_node& n, prop_filter& out, bool vcard) {
        out.name = n.attribute("name");
        if (out.name.empty()) return fail("valid-filter");
        std::string test = n.attribute("test");
        out.all_of = test.empty() ? !vcard : test == "allof";
        for (const xml_node& c : n.child_elements()) {
            if (is(c, "is-not-defined")) {
                out.is_not_defined = true;
            } else if (is(c, "time-range")) {
                time_range r;
                if (!range(c, r)) return false;
                out.range = r;
            } else if (is(c, "text-match")) {
                text_match m;
                if (!text(c, m)) return false;
                out.matches.push_back(std::move(m));
            } else if (is(c, "param-filter")) {
                param_filter p;
                if (!param(c, p)) return false;
                out.params.push_back(std::move(p));
            }
        }
        return true;
    }

    bool comp(const xml_node& n, comp_filter& out, int depth) {
        if (depth > max_depth) return fail("valid-filter");
        out.name = n.attribute("name");
        if (out.name.empty()) return fail("valid-filter");
        for (const xml_node& c : n.child_elements()) {
            if (is(c, "is-not-defined")) {
                out.is_not_defined = true;
            } else if (is(c, "time-range")) {
                time_range r;
                if (!range(c, r)) return false;
                out.range = r;
            } else if (is(c, "prop-filter")) {
                prop_filter p;
                if (!prop(c, p, false)) return false;
                out.props.push_back(std::move(p));
            } else if (is(c, "comp-filter")) {
                comp_filter sub;
                if (!comp(c, sub, depth + 1)) return false;
                out.comps.push_back(std::move(sub));
            } else {
                return fail("valid-filter");
            }
        }
        return true;
    }
};

} // namespace

bool read_calendar_query_filter(const xml_document& document, calendar_query_filter& out,
                                std::string& error) {
    out = calendar_query_filter{};
    reader r{caldav_ns, {}};
    xml_node top;
    xml_for_each_node(document, "/cal:calendar-query/cal:filter/cal:comp-filter", [&](xml_node n) {
        top = n;
        return false; // the filter holds one top-level comp-filter
    });
    if (top) {
        comp_filter root;
        if (!r.comp(top, root, 0)) {
            error = r.error;
            return false;
        }
        out.root = std::move(root);
    }
    std::string zone = xml_select_text(document, "/cal:calendar-query/cal:timezone");
    if (!zone.empty()) {
        out.floating_zone = load_calendar_timezone(zone);
        if (!out.floating_zone) {
            error = "valid-calendar-data";
            return false;
        }
    }
    return true;
}

bool read_addressbook_query_filter(const xml_document& document, addressbook_query_filter& out,
                                   std::string& error) {
    out = addressbook_query_filter{};
    reader r{carddav_ns, {}};
    out.all_of = xml_select_text(document, "/card:addressbook-query/card:filter/@test") == "allof";
    bool ok = xml_for_each_node(document, "/card:addressbook-query/card:filter/card:prop-filter",
                                [&](xml_node n) {
                                    prop_filter p;
                                    if (!r.prop(n, p, true)) return false;
                                    out.props.push_back(std::move(p));
                                    return true;
                                });
    if (!ok) {
        error = r.error.empty() ? "valid-filter" : r.error;
        return false;
    }
    return true;
}

std::optional<time_range> read_calendar_query_expand(const xml_document& document, bool& valid) {
    valid = true;
    std::optional<time_range> out;
    xml_for_each_node(document, "/cal:calendar-query/d:prop/cal:calendar-data/cal:expand",
                      [&](xml_node n) {
                          time_range r;
                          // Both ends are required: an open expansion of an
                          // endless rule would be the bound's worth of instances.
                          if (n.attribute("start").empty() || n.attribute("end").empty() ||
                              !parse_time_range(n.attribute("start"), n.attribute("end"), r))
                              valid = false;
                          else
                              out = r;
                          return false;
                      });
    return out;
}
