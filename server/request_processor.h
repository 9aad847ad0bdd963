// The job that the receive loop runs on the server thread pool for every
// request: request data and CGI variables from the kernel request, the
// directive passes, the access check, the request class by method, the run,
// the access-log line and the clean-up.
#pragma once
#include "platform/khttp/khttp.h"

#include <memory>

class _http_server;

// Never throws; the request is finished (answered or dropped) on return.
void process_request(_http_server& server, std::shared_ptr<khttp::request> request);
