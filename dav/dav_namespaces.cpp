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

namespace {

// The length of the well-formed UTF-8 sequence at the front of the text and
// its code point; 0 for a byte that starts no valid sequence (stray
// continuation bytes, overlong forms, surrogates, values past U+10FFFF).
std::size_t utf8_sequence(std::string_view t, char32_t& cp) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
    const unsigned char c = b(0);
    std::size_t n;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (t.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// Characters that XML 1.0 does not allow anywhere, not even as references.
bool is_xml_char(char32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

constexpr std::string_view replacement = "\xEF\xBF\xBD";

} // namespace

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        switch (c) {
        case '&':
            out += "&amp;";
            ++i;
            continue;
        case '"':
            out += "&quot;";
            ++i;
            continue;
        case '<':
            out += "&lt;";
            ++i;
            continue;
        case '>':
            // Only "]]>" is forbidden in character data.
            out += out.size() >= 2 && out.compare(out.size() - 2, 2, "]]") == 0 ? "&gt;" : ">";
            ++i;
            continue;
        case '\r':
            // A raw carriage return would reach the reader as a line feed.
            out += "&#13;";
            ++i;
            continue;
        default:
            break;
        }
        char32_t cp = 0;
        const std::size_t n = utf8_sequence(text.substr(i), cp);
        if (n == 0) {
            out += replacement;
            ++i;
        } else {
            if (is_xml_char(cp))
                out.append(text.substr(i, n));
            else
                out += replacement;
            i += n;
        }
    }
    return out;
}
