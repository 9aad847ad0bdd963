#include "dav/dav_namespaces.h"

#include "core/text.h"

const std::wstring& dav_namespaces() {
    static const std::wstring text =
        L"xmlns:d=\"DAV:\" xmlns:cal=\"urn:ietf:params:xml:ns:caldav\" "
        L"xmlns:cs=\"http://calendarserver.org/ns/\" xmlns:card=\"urn:ietf:params:xml:ns:carddav\" "
        L"xmlns:Z=\"urn:schemas-microsoft-com:\" xmlns:A=\"http://apple.com/ns/ical/\"";
    return text;
}

const std::string& multistatus_head() {
    static const std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:multistatus " +
                                    cl::utf16_to_utf8(dav_namespaces()) + ">\n";
    return text;
}

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '<':
            out += "&lt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}
