// The request classes of the WebDAV, CalDAV and CardDAV methods. Each is a
// row of the server's method table (add_dav_methods, at start-up); its
// handle() runs on a pool thread and returns 0 when it answered, else the
// status of the error answer still to be sent.
#pragma once
#include "server/http_request.h"

#include <memory>
#include <string>

class http_put_request : public http_request {
  public:
    explicit http_put_request(cl::sh_ptr<response_headers> headers);
    int handle() override;
};
class http_delete_request : public http_request {
  public:
    explicit http_delete_request(cl::sh_ptr<response_headers> headers);
    int handle() override;
};
class http_mkcol_request : public http_request {
  public:
    explicit http_mkcol_request(cl::sh_ptr<response_headers> headers);
    int handle() override;
};
class http_copy_move_request : public http_request {
  public:
    http_copy_move_request(cl::sh_ptr<response_headers> headers, bool copy);
    int handle() override;
    bool copy;
};
// LOCK reads an XML body and evaluates the If header like the file handlers.
class http_lock_unlock_request : public http_get_request {
  public:
    http_lock_unlock_request(cl::sh_ptr<response_headers> headers, bool lock);
    int handle() override;
    bool lock;
};
// PROPPATCH, PROPFIND and REPORT evaluate the conditional headers of their
// target like GET does, so they share its condition code.
class http_proppatch_request : public http_get_request {
  public:
    explicit http_proppatch_request(cl::sh_ptr<response_headers> headers);
    ~http_proppatch_request() override;
    int handle() override;

    std::string answer; // the multistatus text
    std::string body;   // the request body as read
    std::string method; // REQUEST_METHOD
    std::unique_ptr<auth_info> auth;
};

class http_prop_base_request : public http_get_request {
  public:
    explicit http_prop_base_request(cl::sh_ptr<response_headers> headers);
    ~http_prop_base_request() override;
    int handle() override;
    // The method's DAV handler: reads body and Depth into the fields below,
    // answers, and returns 0 or the status of the error answer to send.
    virtual int answer_request() = 0;

    std::string answer; // collects the response body
    std::string body;   // the request body as read
    int32_t depth = 0;  // -1 for "infinity"
    std::string method; // REQUEST_METHOD
    // The folder of the authenticated user's collections; empty when no user
    // is known.
    std::wstring user_folder;
    uint8_t flags = 0;
    std::unique_ptr<auth_info> auth;
};
class http_propfind_request : public http_prop_base_request {
  public:
    explicit http_propfind_request(cl::sh_ptr<response_headers> headers);
    int answer_request() override;
};
class http_report_request : public http_prop_base_request {
  public:
    explicit http_report_request(cl::sh_ptr<response_headers> headers);
    int answer_request() override;
};

// Adds the DAV methods to the server's method table; once, at start-up.
void add_dav_methods();
