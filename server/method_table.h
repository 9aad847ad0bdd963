// The methods this server answers, one row each: the request class that
// handles the method, and whether its handling may block (the request then
// leaves the event loop that read it for a pool thread). "Allow" names the
// rows in their order. The server's own methods are rows from the start; a
// folder above the server adds the methods it handles at start-up, before
// the first request (the DAV methods: dav/dav_requests.h).
#pragma once
#include "core/ref_cnt.h"

#include <memory>
#include <string>
#include <string_view>

class http_request;
class response_headers;

struct method_row {
    std::string_view name; // as the client must spell it
    std::unique_ptr<http_request> (*make)(cl::sh_ptr<response_headers> headers);
    bool may_block;
};

// Adds rows after those there (a name already there keeps its first row).
// Called at start-up before any request, and by tests.
void add_methods(const method_row* rows, std::size_t count);
// The row of a method, null for one the server does not answer.
const method_row* find_method(std::string_view name);
// The names of every row, in order, separated by "," (the "Allow" value).
const std::string& allow_list();
