#include "system/ipv4_text.h"

#include "core/text.h"

cl::ipv4_addr ipv4_parse(std::wstring_view text) {
    const cl::ipv4_text_parts parts(text, L'.', 4);
    cl::ipv4_addr a;
    for (std::size_t i = 0; i < 4 && i < parts.count(); ++i) {
        const std::wstring_view p = parts.part(i);
        a.bytes[i] = static_cast<uint8_t>(cl::parse_int_n(p.data(), p.size()) & 0xFF);
    }
    return a;
}
