// Boost's assertions in builds that keep them (BOOST_ENABLE_ASSERT_DEBUG_HANDLER
// is set for every build; builds with NDEBUG have none). A failed assertion
// stops the program as assert() would, with one exception: Beast 1.74 asserts
// that a chunk head it parses a second time holds five bytes, the CR LF
// that ends a chunk's data included, while a body whose first chunk is its
// last has no such CR LF: "0\r\n" followed later by a trailer is three or
// four bytes then, which the code after the assertion reads correctly (as
// builds without assertions always do). A client that sends its body in
// pieces must not stop a test server there.
#include <boost/assert.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_known_false(const char* expr, const char* file) {
    const char* const parser = "boost/beast/http/impl/basic_parser.ipp";
    const std::size_t n = std::strlen(file), m = std::strlen(parser);
    return std::strcmp(expr, "n >= 5") == 0 && n >= m && std::strcmp(file + n - m, parser) == 0;
}

} // namespace

namespace boost {

void assertion_failed(const char* expr, const char* function, const char* file, long line) {
    if (is_known_false(expr, file)) return;
    std::fprintf(stderr, "%s:%ld: %s: Assertion `%s' failed.\n", file, line, function, expr);
    std::abort();
}

void assertion_failed_msg(const char* expr, const char* msg, const char* function, const char* file,
                          long line) {
    std::fprintf(stderr, "%s:%ld: %s: Assertion `%s' failed: %s\n", file, line, function, expr,
                 msg ? msg : "");
    std::abort();
}

} // namespace boost
