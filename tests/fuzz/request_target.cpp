// Request paths alone, as the canonicaliser takes them after the target was
// split: the same promises as in request_head, reached without a head's
// grammar in the way, and UTF-8 widening against narrowing.
#include "platform/khttp/url.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view raw = fuzz::as_text(data, size);
    std::string utf8, full_utf8;
    std::wstring wide, full_wide;
    const bool ok = khttp::canonicalize_path(raw, utf8, wide);
    FUZZ_CHECK(ok == khttp::decode_path(raw, full_utf8, full_wide));
    if (ok) {
        FUZZ_CHECK(utf8 == full_utf8 && wide == full_wide);
        FUZZ_CHECK(!utf8.empty() && utf8[0] == '/');
        FUZZ_CHECK(utf8.find("/../") == std::string::npos && utf8.find("/./") == std::string::npos);
        FUZZ_CHECK(!(utf8.size() >= 3 && utf8.compare(utf8.size() - 3, 3, "/..") == 0));
        FUZZ_CHECK(!(utf8.size() >= 2 && utf8.compare(utf8.size() - 2, 2, "/.") == 0));
        FUZZ_CHECK(utf8.find('\\') == std::string::npos);
        for (const wchar_t c : wide)
            FUZZ_CHECK(c != 0 && (c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF)));
        FUZZ_CHECK(khttp::wide_to_utf8(wide) == utf8);
    }
    // Any bytes widen to code points that narrow back to valid UTF-8, and
    // well-formed UTF-8 comes back as it was.
    std::wstring w;
    const bool well_formed = khttp::utf8_to_wide(raw, w);
    const std::string back = khttp::wide_to_utf8(w);
    if (well_formed) FUZZ_CHECK(back == raw);
    std::wstring w2;
    FUZZ_CHECK(khttp::utf8_to_wide(back, w2) && w2 == w);
    return 0;
}
