// Reading a request's body into its body file on the request's own thread
// (the handlers of PUT, LOCK, PROPFIND and PROPPATCH).
#pragma once
#include <cstdint>

class http_request;

// Receives the body in pieces of 32768 bytes, writes each to the request's
// file and counts it in the server's totals; then closes the file and
// returns the result of that close. Stops early when the request is being
// destroyed or the connection is gone. end_code, when given, receives the
// last receive result: 38 when the whole body arrived, else the error.
int read_request_body(http_request& request, uint32_t* end_code = nullptr);
