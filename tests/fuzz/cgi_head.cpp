// What a CGI program or a script writes, in the pieces its pipe delivers:
// the header block as the CGI file reads it (then turned into the answer's
// headers), or a whole message with its framing (length, chunks, multipart
// byte ranges), as an upstream or a mail reader meets it. No bound is
// passed, no header holds a line break, and no more body is kept than came.
#include "core/rfc822.h"
#include "scripting/cgi_file.h"
#include "server/response_headers.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct header_only : cl::rfc822_body_test {
    bool no_body(const cl::rfc822_msg&) const override { return true; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view in = fuzz::as_text(data, size);
    const unsigned mode = fuzz::take_choice(in, 2);
    const std::vector<std::string_view> pieces = fuzz::cut_in_pieces(in);
    cl::rfc822_msg msg;
    msg.set_max_header_bytes(mode == 0 ? cl::rfc822_msg::default_max_header_bytes : 4096);
    msg.set_max_body_bytes(64 * 1024);
    const header_only test;
    std::size_t fed = 0;
    for (const std::string_view p : pieces) {
        const std::size_t used = msg.feed(p.data(), p.size(), mode == 0 ? &test : nullptr);
        FUZZ_CHECK(used <= p.size());
        fed += used;
        if (msg.failed() || msg.complete()) break;
    }
    FUZZ_CHECK(msg.header_bytes() <= (mode == 0 ? cl::rfc822_msg::default_max_header_bytes : 4096));
    FUZZ_CHECK(msg.length() <= fed);
    FUZZ_CHECK(msg.body_bytes() <= fed);
    for (const cl::rfc822_header& h : msg.headers()) {
        FUZZ_CHECK(h.name.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(h.value.find_first_of("\r\n") == std::string::npos);
        (void)cl::rfc822_msg::param(h.value, "boundary");
    }
    for (std::size_t i = 0; i < msg.header_count() && i < 16; ++i)
        (void)msg.header_value(i, true);
    if (mode == 0 && msg.complete() && !msg.failed()) {
        response_headers headers;
        scripting::cgi_file::parse_cgi_status(msg.headers(), headers);
        for (const auto& f : headers.fields())
            for (const unsigned char c : f.value)
                FUZZ_CHECK(c != '\r' && c != '\n');
    }
    return 0;
}
