// SOAP bodies of the media server's control requests: parsed within the
// action-call limits, each argument read as the data types the services
// declare. An action that parses comes back the same when its arguments are
// written into an envelope and parsed again, and a value read for a type
// writes back as text that reads as the same value.
#include "platform/automation/variant.h"
#include "platform/upnp/scpd.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    upnp::soap_call call;
    if (!upnp::parse_soap_request(fuzz::as_text(data, size), call)) return 0;
    FUZZ_CHECK(!call.action.empty());
    // An action of no namespace has no prefix: "xmlns:u" may not be empty.
    const std::string action = call.service_type.empty() ? call.action : "u:" + call.action;
    std::string again = "<?xml version=\"1.0\"?><s:Envelope "
                        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><" +
                        action;
    if (!call.service_type.empty())
        again += " xmlns:u=\"" + upnp::xml_escape(call.service_type) + "\"";
    again += ">";
    for (const auto& [name, value] : call.args) {
        again += "<" + name + ">";
        upnp::append_xml_text(again, value);
        again += "</" + name + ">";
    }
    again += "</" + action + "></s:Body></s:Envelope>";
    upnp::soap_call second;
    // Argument names without a prefix are what was parsed; one with a
    // prefix of its own may not be declared in the copy.
    bool plain = call.args.size() <= 200;
    for (const auto& [name, value] : call.args)
        plain = plain && name.find(':') == std::string::npos;
    if (plain && call.action.find(':') == std::string::npos) {
        FUZZ_CHECK(upnp::parse_soap_request(again, second));
        FUZZ_CHECK(second.action == call.action && second.service_type == call.service_type);
        FUZZ_CHECK(second.args == call.args);
    }
    for (const auto& [name, value] : call.args) {
        for (const char* type : {"ui4", "i4", "ui2", "i2", "boolean", "string", "uri"}) {
            automation::variant v;
            if (!upnp::value_from_text(value, type, v)) continue;
            std::string text;
            if (!upnp::value_to_text(v, type, text)) continue;
            automation::variant w;
            FUZZ_CHECK(upnp::value_from_text(text, type, w));
            std::string text2;
            FUZZ_CHECK(upnp::value_to_text(w, type, text2) && text2 == text);
        }
    }
    return 0;
}
