// Feeding a request body to a dynamic page: the body is received on a pool
// thread of its own and written into the request's response file (the input
// side of a CGI program, a server-side include or a script) while the
// request's thread reads the page's output; end of input is signalled when
// the body is complete or broke off. POST and the rewrite-script step use it,
// and so does any response file that takes a body.
#pragma once

class http_request;

// Receives what is left of the request body in pieces of 32768 bytes, writes
// each to the response file (stopping when the file takes no more), counts
// it in the server's totals, then signals end of input. Runs on the calling
// thread; the request's destructor waits for it.
void feed_request_body(http_request& request);

// Runs feed_request_body as a job on the server pool. Without a pool thread
// the body is not read and end of input is signalled at once; false then.
bool start_body_feeder(http_request& request);
