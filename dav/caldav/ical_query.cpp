#include "dav/caldav/ical_query.h"

#include <chrono>

#include <algorithm>

namespace {

// Appends the simple lower-case form of one code point as UTF-8. Covers
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic capitals: the letters
// address books are searched in; others stay as they are.
void append_folded(std::string& out, char32_t c) {
    if (c >= 'A' && c <= 'Z')
        c += 32;
    else if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
             (c >= 0x410 && c <= 0x42F))
        c += 32;
    else if (c >= 0x400 && c <= 0x40F)
        c += 80;
    else if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x138 && c != 0x149 && c != 0x17F &&
             ((c < 0x139 || c > 0x148) && (c < 0x179)) && c % 2 == 0)
        c += 1;
    else if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && c % 2 == 1)
        c += 1;
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

std::string unicode_fold(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char b = s[i];
        int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            out.push_back(char(b)); // not UTF-8: compared as it is
            ++i;
            continue;
        }
        char32_t c = n == 1 ? b : b & (0x7F >> n);
        bool ok = true;
        for (int k = 1; k < n; ++k) {
            unsigned char cb = s[i + k];
            if ((cb & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (cb & 0x3F);
        }
        if (!ok) {
            out.push_back(char(b));
            ++i;
            continue;
        }
        append_folded(out, c);
        i += n;
    }
    return out;
}

std::string ascii_fold(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// The properties of a component that a prop-filter looks at: each key whose
// property name is `name`, numbered repeats included; in a vCard also those
// of a group (item1.EMAIL).
std::vector<std::string> occurrences(const ical_properties& table, const std::string& component,
                                     std::string_view name, bool vcard) {
    std::vector<std::string> keys;
    const std::string prefix = component + ",";
    if (!vcard) {
        for (size_t k = 0;; ++k) {
            std::string key = prefix + std::string(name) + instance_suffix(k);
            if (!table.count(key)) break;
            keys.push_back(std::move(key));
        }
        return keys;
    }
    const bool grouped_name = name.find('.') != std::string_view::npos;
    for (auto it = table.lower_bound(prefix); it != table.end() && it->first.starts_with(prefix);
         ++it) {
        std::string_view rest = std::string_view(it->first).substr(prefix.size());
        if (!grouped_name) {
            size_t dot = rest.find('.');
            if (dot != std::string_view::npos) rest.remove_prefix(dot + 1);
        }
        if (rest.size() < name.size() || !ascii_iequals(rest.substr(0, name.size()), name))
            continue;
        std::string_view number = rest.substr(name.size());
        if (!number.empty() && (number[0] < '2' || number[0] > '9' ||
                                number.find_first_not_of("0123456789") != std::string_view::npos))
            continue;
        keys.push_back(it->first);
    }
    return keys;
}

} // namespace

std::optional<text_collation> collation_of(std::string_view name) {
    if (name.empty() || name == "i;ascii-casemap") return text_collation::ascii_casemap;
    if (name == "i;octet") return text_collation::octet;
    if (name == "i;unicode-casemap") return text_collation::unicode_casemap;
    return std::nullopt;
}

std::optional<text_match::kind> match_type_of(std::string_view name) {
    if (name.empty() || name == "contains") return text_match::contains;
    if (name == "equals") return text_match::equals;
    if (name == "starts-with") return text_match::starts_with;
    if (name == "ends-with") return text_match::ends_with;
    return std::nullopt;
}

namespace {

std::string folded(text_collation collation, std::string_view s) {
    switch (collation) {
    case text_collation::ascii_casemap:
        return ascii_fold(s);
    case text_collation::unicode_casemap:
        return unicode_fold(s);
    case text_collation::octet:
        break;
    }
    return std::string(s);
}

} // namespace

void text_match::prepare() {
    folded_pattern = folded(collation, pattern);
    prepared = true;
}

bool text_matches(const text_match& m, std::string_view text) {
    std::string folded_text, folded_pattern;
    std::string_view t = text, p = m.pattern;
    if (m.collation != text_collation::octet) {
        folded_text = folded(m.collation, text);
        t = folded_text;
        if (m.prepared) {
            p = m.folded_pattern;
        } else {
            folded_pattern = folded(m.collation, m.pattern);
            p = folded_pattern;
        }
    }
    bool r = false;
    switch (m.match_type) {
    case text_match::equals:
        r = t == p;
        break;
    case text_match::starts_with:
        r = t.starts_with(p);
        break;
    case text_match::ends_with:
        r = t.ends_with(p);
        break;
    case text_match::contains:
        r = !p.empty() && t.find(p) != std::string_view::npos;
        break;
    }
    return r != m.negate;
}

bool match_param_filter(const param_filter& f, std::string_view params) {
    if (f.name.empty()) return false;
    std::vector<std::string> values = ical_param_values(params, f.name);
    if (values.empty()) return f.is_not_defined;
    if (f.is_not_defined) return false;
    if (!f.match) return true;
    return std::any_of(values.begin(), values.end(),
                       [&](const std::string& v) { return text_matches(*f.match, v); });
}

bool match_prop_filter(const prop_filter& f, const ical_properties& table, const ical_zones& zones,
                       const std::string& component, bool vcard) {
    if (f.name.empty()) return false;
    std::vector<std::string> keys = occurrences(table, component, f.name, vcard);
    if (f.is_not_defined) return keys.empty();
    const bool no_conditions = !f.range && f.matches.empty() && f.params.empty();
    for (const std::string& key : keys) {
        if (no_conditions) return true;
        const auto& pair = table.at(key);
        size_t passed = 0, tested = 0;
        auto note = [&](bool ok) {
            ++tested;
            passed += ok;
        };
        if (f.range) note(property_time_range_test(table, zones, key, *f.range));
        for (const text_match& m : f.matches)
            note(text_matches(m, pair.second));
        for (const param_filter& p : f.params)
            note(match_param_filter(p, pair.first));
        if (f.all_of ? passed == tested : passed > 0) return true;
    }
    return false;
}

bool match_comp_filter(const comp_filter& f, const ical_properties& table, const ical_zones& zones,
                       const std::string& parent, const rrule_limits& limits) {
    if (f.name.empty()) return false;
    const std::string base = parent + "/" + f.name;
    if (f.is_not_defined) return table.find(base) == table.end();
    for (size_t k = 0;; ++k) {
        const std::string path = base + instance_suffix(k);
        if (table.find(path) == table.end()) return false;
        if (f.range && !component_time_range_test(table, zones, path, f.name, *f.range, limits))
            continue;
        bool ok = std::all_of(f.props.begin(), f.props.end(), [&](const prop_filter& p) {
            return match_prop_filter(p, table, zones, path, false);
        });
        ok = ok && std::all_of(f.comps.begin(), f.comps.end(), [&](const comp_filter& c) {
                 return match_comp_filter(c, table, zones, path, limits);
             });
        if (ok) return true;
    }
}

bool match_calendar(const calendar_query_filter& filter, const ical_properties& table) {
    if (!filter.root) return true;
    ical_zones zones(table, filter.floating_zone.get());
    return match_comp_filter(*filter.root, table, zones, std::string(), filter.limits);
}

bool match_vcard(const addressbook_query_filter& filter, const ical_properties& table) {
    if (filter.props.empty()) return true;
    ical_zones zones(table);
    for (const prop_filter& p : filter.props) {
        bool ok = match_prop_filter(p, table, zones, "/VCARD", true);
        if (ok && !filter.all_of) return true;
        if (!ok && filter.all_of) return false;
    }
    return filter.all_of;
}

calendar_spans calendar_time_spans(const ical_properties& table) {
    calendar_spans out;
    // A second VCALENDAR in one object is rare; such objects are evaluated.
    if (table.find("/VCALENDAR") == table.end() || table.find("/VCALENDAR2") != table.end())
        return out;
    const ical_zones zones(table);
    const std::string top = "/VCALENDAR/";
    rrule_limits limits;
    limits.max_time = std::chrono::milliseconds(50);
    for (auto it = table.lower_bound(top); it != table.end() && it->first.starts_with(top); ++it) {
        const std::string& path = it->first;
        const std::string_view rest = std::string_view(path).substr(top.size());
        if (rest.find_first_of("/,") != std::string_view::npos) continue;
        std::string_view kind = rest;
        while (!kind.empty() && kind.back() >= '0' && kind.back() <= '9')
            kind.remove_suffix(1);
        const int index = calendar_spans::kind_of(kind);
        if (index < 0) continue;
        calendar_spans::span& span = out.kinds[index];
        span.present = true;
        if (!span.known) continue;
        // A rule without an end has instances without end.
        bool endless = false;
        for (size_t k = 0;; ++k) {
            auto r = table.find(path + ",RRULE" + instance_suffix(k));
            if (r == table.end()) break;
            rrule_set rule;
            if (rule.parse(r->second.second) && rule.count < 0 && !rule.has_until) endless = true;
        }
        std::vector<component_instance> instances;
        if (endless ||
            !component_instances(table, zones, path, kind, time_range{}, instances, limits)) {
            span.known = false;
            continue;
        }
        for (const component_instance& i : instances) {
            if (i.rule == overlap_rule::always) {
                span.known = false;
                break;
            }
            span.first = std::min({span.first, i.start, i.end});
            span.last =
                std::max({span.last, i.start, i.end,
                          i.rule == overlap_rule::todo_created ? ical_max_time : ical_min_time});
        }
    }
    out.usable = true;
    return out;
}

int calendar_spans::kind_of(std::string_view name) {
    for (int k = 0; k < kind_count; ++k)
        if (name == kind_names[k]) return k;
    return -1;
}

span_query span_query_of(const calendar_query_filter& filter) {
    span_query q;
    if (!filter.root || filter.floating_zone) return q;
    const comp_filter& root = *filter.root;
    if (root.name != "VCALENDAR" || root.is_not_defined || root.range) return q;
    // Every child of the calendar's filter must match: one whose kind has no
    // instance in its range rules the object out.
    for (const comp_filter& c : root.comps) {
        if (!c.range || c.is_not_defined) continue;
        const int kind = calendar_spans::kind_of(c.name);
        if (kind >= 0) q.needs.push_back({kind, *c.range});
    }
    q.any = q.needs.empty();
    return q;
}

bool spans_may_match(const span_query& query, const calendar_spans& spans) {
    if (query.any || !spans.usable) return true;
    for (const span_query::need& n : query.needs) {
        const calendar_spans::span& span = spans.kinds[n.kind];
        if (!span.present) return false; // no component of that kind
        if (!span.known) continue;
        if (span.last < n.range.start || span.first > n.range.end) return false;
    }
    return true;
}

bool spans_may_match(const calendar_query_filter& filter, const calendar_spans& spans) {
    return spans_may_match(span_query_of(filter), spans);
}

std::shared_ptr<const timezone_rules> load_calendar_timezone(std::string_view text) {
    ical_properties table;
    parse_ical(text, table);
    for (const auto& [key, pair] : table) {
        if (key.find(',') == std::string::npos && key.ends_with("/VTIMEZONE")) {
            auto rules = std::make_shared<timezone_rules>();
            if (rules->load(table, key)) return rules;
        }
    }
    return nullptr;
}
