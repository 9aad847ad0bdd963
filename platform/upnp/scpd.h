// The documents the device host reads and writes: service descriptions
// (actions, arguments, state variables), SOAP control envelopes and faults,
// GENA property sets, and the conversion between their texts and the
// automation values the service objects take.
#pragma once
#include "platform/automation/variant.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace upnp {

struct state_variable {
    std::string name;
    std::string data_type; // "string", "ui4", "i4", "boolean", ...
    bool send_events = false;
};

struct action_argument {
    std::string name;
    bool out = false;
    std::string related; // the related state variable
};

struct action {
    std::string name;
    std::vector<action_argument> args; // as the description lists them
};

struct service_description {
    std::vector<action> actions;
    std::vector<state_variable> variables;

    const action* find_action(std::string_view name) const;
    const state_variable* find_variable(std::string_view name) const;
};

// False (with a reason) when the text is not a service description.
bool parse_scpd(std::string_view text, service_description& out, std::string* error = nullptr);

using named_values = std::vector<std::pair<std::string, std::string>>;

struct soap_call {
    std::string action;
    std::string service_type; // the namespace of the action element
    named_values args;        // in document order
};
// False when the body is no SOAP envelope with an action element in its body.
bool parse_soap_request(std::string_view body, soap_call& out);
// Argument texts are views: a long answer (a Browse result) is escaped
// straight from where its value lies into the envelope, with no copy between.
using named_views = std::vector<std::pair<std::string, std::string_view>>;
std::string soap_response(const std::string& service_type, const std::string& action,
                          const named_views& out_args);
std::string soap_fault(int upnp_code, std::string_view description);
// The standard description of a UPnP error code ("Invalid Action", ...).
std::string_view upnp_error_text(int upnp_code);

// A GENA property set with one property per value.
std::string property_set(const named_values& values);

// Escapes & < > " for element text and attribute values.
std::string xml_escape(std::string_view text);
void append_xml_escaped(std::string& out, std::string_view text);
// The same for element content, where only "&", "<" and the ">" of "]]>"
// must be replaced: a document carried as text (a Browse result) keeps its
// quotes and closing brackets, which makes it markedly shorter.
void append_xml_text(std::string& out, std::string_view text);

// The automation value of an argument's text for a data type; false when the
// text is no value of that type (numbers out of range included).
bool value_from_text(const std::string& text, const std::string& data_type,
                     automation::variant& out);
// The text of a value for a data type; false when it has no such form.
bool value_to_text(const automation::variant& value, const std::string& data_type,
                   std::string& out);
// The same where the value holds its text already (UTF-8 bytes of a text
// type): a view of those bytes, valid while the value is; else the text is
// made in `storage` and viewed there.
bool value_text_view(const automation::variant& value, const std::string& data_type,
                     std::string& storage, std::string_view& out);

} // namespace upnp
