// The WebDAV, CalDAV and CardDAV handlers behind the server's DAV interface.
#pragma once
#include "server/dav_host.h"

class dav_methods final : public dav_host {
  public:
    // Reading and properties: PROPFIND, PROPPATCH, REPORT.
    int propfind(http_propfind_request& request) override;
    int proppatch(http_proppatch_request& request) override;
    int report(http_report_request& request) override;
    // Writing the tree: PUT, DELETE, MKCOL, COPY/MOVE, LOCK/UNLOCK.
    int put(http_put_request& request) override;
    int del(http_delete_request& request) override;
    int mkcol(http_mkcol_request& request) override;
    int copy_move(http_copy_move_request& request) override;
    int lock_unlock(http_lock_unlock_request& request) override;
};
