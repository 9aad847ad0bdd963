// PUT, DELETE and MKCOL: each returns 0 when it answered, else the status of
// the error answer still to be sent.
#pragma once

class http_put_request;
class http_delete_request;
class http_mkcol_request;

int dav_put(http_put_request& request);
int dav_delete(http_delete_request& request);
int dav_mkcol(http_mkcol_request& request);
