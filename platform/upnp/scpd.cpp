#include "platform/upnp/scpd.h"

#include "core/text.h"
#include "platform/xml/xml.h"

#include <array>
#include <charconv>
#include <limits>

namespace upnp {

namespace {

const char* const service_ns = "urn:schemas-upnp-org:service-1-0";

std::string child_text(const xml::node& n, std::string_view name) {
    for (const xml::node& c : n.child_elements())
        if (c.local_name() == name) {
            std::string t;
            c.text(t);
            return t;
        }
    return {};
}

xml::node child(const xml::node& n, std::string_view name) {
    for (const xml::node& c : n.child_elements())
        if (c.local_name() == name) return c;
    return xml::node();
}

bool is_integer_type(const std::string& t, int64_t& lo, int64_t& hi) {
    struct range {
        const char* name;
        int64_t lo, hi;
    };
    static const range ranges[] = {{"ui1", 0, 255},
                                   {"ui2", 0, 65535},
                                   {"ui4", 0, 4294967295LL},
                                   {"i1", -128, 127},
                                   {"i2", -32768, 32767},
                                   {"i4", -2147483648LL, 2147483647LL},
                                   {"int", -2147483648LL, 2147483647LL}};
    for (const range& r : ranges)
        if (t == r.name) {
            lo = r.lo;
            hi = r.hi;
            return true;
        }
    return false;
}

uint16_t vt_of_integer_type(const std::string& t) {
    if (t == "ui1") return automation::vt_ui1;
    if (t == "ui2") return automation::vt_ui2;
    if (t == "ui4") return automation::vt_ui4;
    if (t == "i1") return automation::vt_i1;
    if (t == "i2") return automation::vt_i2;
    return automation::vt_i4;
}

} // namespace

const action* service_description::find_action(std::string_view name) const {
    for (const action& a : actions)
        if (a.name == name) return &a;
    return nullptr;
}

const state_variable* service_description::find_variable(std::string_view name) const {
    for (const state_variable& v : variables)
        if (v.name == name) return &v;
    return nullptr;
}

bool parse_scpd(std::string_view text, service_description& out, std::string* error) {
    out = {};
    xml::document doc;
    xml::parse_error pe;
    if (!doc.load(text, &pe)) {
        if (error) *error = pe.reason;
        return false;
    }
    xml::node root;
    for (const xml::node& c : doc.root().child_elements())
        root = c;
    if (!root || root.local_name() != "scpd" || root.namespace_uri() != service_ns) {
        if (error) *error = "no scpd element";
        return false;
    }
    if (xml::node list = child(root, "actionList"))
        for (const xml::node& a : list.child_elements()) {
            if (a.local_name() != "action") continue;
            action act;
            act.name = child_text(a, "name");
            if (xml::node args = child(a, "argumentList"))
                for (const xml::node& arg : args.child_elements()) {
                    if (arg.local_name() != "argument") continue;
                    action_argument aa;
                    aa.name = child_text(arg, "name");
                    aa.out = child_text(arg, "direction") == "out";
                    aa.related = child_text(arg, "relatedStateVariable");
                    act.args.push_back(std::move(aa));
                }
            out.actions.push_back(std::move(act));
        }
    if (xml::node table = child(root, "serviceStateTable"))
        for (const xml::node& v : table.child_elements()) {
            if (v.local_name() != "stateVariable") continue;
            state_variable sv;
            sv.name = child_text(v, "name");
            sv.data_type = child_text(v, "dataType");
            sv.send_events = v.attribute("sendEvents") != "no";
            out.variables.push_back(std::move(sv));
        }
    for (const action& a : out.actions)
        for (const action_argument& arg : a.args)
            if (!out.find_variable(arg.related)) {
                if (error) *error = "argument " + arg.name + " of " + a.name + " has no variable";
                return false;
            }
    return true;
}

bool parse_soap_request(std::string_view body, soap_call& out) {
    out = {};
    // An action call is an envelope, a body, the action and its arguments:
    // anything much larger is refused before the parser pays for it.
    xml::load_limits limits;
    limits.max_attributes = 32;
    limits.max_elements = 256;
    limits.max_depth = 16;
    limits.max_text = 64 * 1024;
    xml::document doc;
    if (!doc.load(body, nullptr, limits)) return false;
    if (!doc.set_selection_namespaces("xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""))
        return false;
    std::vector<xml::node> nodes;
    if (!doc.select(doc.root(), "/s:Envelope/s:Body/*", nodes) || nodes.empty()) return false;
    const xml::node& act = nodes.front();
    out.action = act.local_name();
    out.service_type = act.namespace_uri();
    for (const xml::node& a : act.child_elements()) {
        std::string t;
        a.text(t);
        out.args.emplace_back(a.local_name(), std::move(t));
    }
    return !out.action.empty();
}

namespace {

// One pass over the bytes with a table: a multi-megabyte answer is mostly
// markup, so the characters to replace are many and close together.
template <bool in_attribute> void append_escaped(std::string& r, std::string_view text) {
    static constexpr auto special = [] {
        std::array<bool, 256> t{};
        t[uint8_t('&')] = t[uint8_t('<')] = t[uint8_t('>')] = true;
        t[uint8_t('"')] = in_attribute;
        return t;
    }();
    const char* p = text.data();
    const char* const begin = p;
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && !special[uint8_t(*p)])
            ++p;
        r.append(run, std::size_t(p - run));
        if (p == end) return;
        const char c = *p++;
        if (c == '&') {
            r.append("&amp;", 5);
        } else if (c == '<') {
            r.append("&lt;", 4);
        } else if (c == '"') {
            r.append("&quot;", 6);
        } else if (in_attribute || (p - begin >= 3 && p[-2] == ']' && p[-3] == ']')) {
            // In text, ">" needs replacing only where it would end "]]>".
            r.append("&gt;", 4);
        } else {
            r += '>';
        }
    }
}

} // namespace

void append_xml_escaped(std::string& r, std::string_view text) {
    append_escaped<true>(r, text);
}

void append_xml_text(std::string& r, std::string_view text) {
    append_escaped<false>(r, text);
}

std::string xml_escape(std::string_view text) {
    std::string r;
    r.reserve(text.size());
    append_xml_escaped(r, text);
    return r;
}

std::string soap_response(const std::string& service_type, const std::string& action,
                          const named_views& out_args) {
    std::string r = "<?xml version=\"1.0\"?>\r\n"
                    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                    "<s:Body><u:";
    std::size_t size = r.size() + 256;
    for (const auto& [name, value] : out_args)
        size += 2 * name.size() + value.size() + value.size() / 4 + 8;
    r.reserve(size);
    r += action + "Response xmlns:u=\"" + xml_escape(service_type) + "\">";
    for (const auto& [name, value] : out_args) {
        r += '<';
        r += name;
        r += '>';
        append_xml_text(r, value);
        r += "</";
        r += name;
        r += '>';
    }
    r += "</u:" + action + "Response></s:Body></s:Envelope>\r\n";
    return r;
}

std::string_view upnp_error_text(int code) {
    switch (code) {
    case 401:
        return "Invalid Action";
    case 402:
        return "Invalid Args";
    case 501:
        return "Action Failed";
    case 600:
        return "Argument Value Invalid";
    case 601:
        return "Argument Value Out of Range";
    case 602:
        return "Optional Action Not Implemented";
    case 701:
        return "No such object";
    case 709:
        return "Unsupported or invalid sort criteria";
    case 720:
        return "Cannot process the request";
    default:
        return "Action Failed";
    }
}

std::string soap_fault(int upnp_code, std::string_view description) {
    return "<?xml version=\"1.0\"?>\r\n"
           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
           "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
           std::to_string(upnp_code) + "</errorCode><errorDescription>" + xml_escape(description) +
           "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>\r\n";
}

std::string property_set(const named_values& values) {
    std::string r = "<?xml version=\"1.0\"?>\r\n"
                    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
    for (const auto& [name, value] : values)
        r += "<e:property><" + name + ">" + xml_escape(value) + "</" + name + "></e:property>";
    r += "</e:propertyset>\r\n";
    return r;
}

bool value_from_text(const std::string& text, const std::string& data_type,
                     automation::variant& out) {
    int64_t lo = 0, hi = 0;
    if (is_integer_type(data_type, lo, hi)) {
        std::string_view t = text;
        while (!t.empty() && (t.front() == ' ' || t.front() == '\t'))
            t.remove_prefix(1);
        while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
            t.remove_suffix(1);
        if (!t.empty() && t.front() == '+') t.remove_prefix(1);
        int64_t v = 0;
        const auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        if (t.empty() || ec != std::errc() || p != t.data() + t.size() || v < lo || v > hi)
            return false;
        out = automation::variant::from_int(vt_of_integer_type(data_type), v);
        return true;
    }
    if (data_type == "boolean") {
        if (text == "1" || text == "true" || text == "yes") {
            out = automation::variant::from_bool(true);
            return true;
        }
        if (text == "0" || text == "false" || text == "no") {
            out = automation::variant::from_bool(false);
            return true;
        }
        return false;
    }
    out = automation::variant::from_bstr(cl::utf8_to_utf16(text));
    return true;
}

bool value_text_view(const automation::variant& value, const std::string& data_type,
                     std::string& storage, std::string_view& out) {
    int64_t lo = 0, hi = 0;
    if (value.vt() == (automation::vt_array | automation::vt_ui1) && value.array() &&
        data_type != "boolean" && !is_integer_type(data_type, lo, hi)) {
        const auto& bytes = value.array()->data;
        out = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }
    if (!value_to_text(value, data_type, storage)) return false;
    out = storage;
    return true;
}

bool value_to_text(const automation::variant& value, const std::string& data_type,
                   std::string& out) {
    int64_t lo = 0, hi = 0;
    if (is_integer_type(data_type, lo, hi)) {
        automation::variant v;
        if (automation::failed(automation::change_type(v, value, automation::vt_i8))) return false;
        out = std::to_string(v.int_value());
        return true;
    }
    if (data_type == "boolean") {
        automation::variant v;
        if (automation::failed(automation::change_type(v, value, automation::vt_bool)))
            return false;
        out = v.boolean() ? "1" : "0";
        return true;
    }
    if (value.vt() == (automation::vt_array | automation::vt_ui1) && value.array()) {
        // A long text may come as its UTF-8 bytes.
        const auto& bytes = value.array()->data;
        out.assign(bytes.begin(), bytes.end());
        return true;
    }
    if (value.vt() == automation::vt_bstr) { // no copy of a long text
        out = cl::utf16_to_utf8(value.bstr());
        return true;
    }
    automation::variant v;
    if (automation::failed(automation::change_type(v, value, automation::vt_bstr))) return false;
    out = cl::utf16_to_utf8(v.bstr());
    return true;
}

} // namespace upnp
