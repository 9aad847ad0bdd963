// The registry's file as the program reads it at start (a file anyone who
// can write the program-data folder may have edited): parsed, written and
// parsed again. What a parse keeps, a write gives back: the second text is
// the first, and no line of it is dropped.
#include "platform/registry/store.h"
#include "tests/fuzz/fuzz_support.h"

using namespace registry::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    key_node root;
    if (!parse(text, root)) return 0;
    const std::string written = serialize(root);
    key_node again;
    std::size_t skipped = 0;
    FUZZ_CHECK(parse(written, again, &skipped));
    FUZZ_CHECK(skipped == 0);
    FUZZ_CHECK(serialize(again) == written);
    // Escaping round trip for a name made of the input's text.
    std::wstring name;
    for (const unsigned char c : text.substr(0, 64))
        name += static_cast<wchar_t>(c);
    for (const bool backslash : {false, true}) {
        std::wstring back;
        FUZZ_CHECK(unescape(escape(name, backslash), back));
        FUZZ_CHECK(back == name);
    }
    return 0;
}
