// What the HTTP server needs of the WebDAV handlers. The request classes of
// the DAV methods are built by the request processor here; their work lives
// in the dav folder above the server, which implements this interface. The
// program shell installs the implementation at start-up.
#pragma once

class http_put_request;
class http_delete_request;
class http_mkcol_request;
class http_copy_move_request;
class http_lock_unlock_request;
class http_proppatch_request;
class http_propfind_request;
class http_report_request;

// Each call handles one request on its pool thread and returns 0 when it
// answered, else the status of the error answer still to be sent. The
// defaults answer 501, so the server runs before the handlers are installed.
class dav_host {
  public:
    virtual ~dav_host() = default;
    virtual int put(http_put_request& request);
    virtual int del(http_delete_request& request);
    virtual int mkcol(http_mkcol_request& request);
    virtual int copy_move(http_copy_move_request& request);
    virtual int lock_unlock(http_lock_unlock_request& request);
    virtual int proppatch(http_proppatch_request& request);
    virtual int propfind(http_propfind_request& request);
    virtual int report(http_report_request& request);
};

// The installed handlers; the defaults until one is installed.
dav_host& the_dav_host();
// Installs the handlers (null restores the defaults). Called once at
// start-up, before any request, and by tests.
void set_dav_host(dav_host* host);
