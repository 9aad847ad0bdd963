// LOCK and UNLOCK: 0 when answered, else the status of the error answer.
#pragma once

class http_lock_unlock_request;

int dav_lock_unlock(http_lock_unlock_request& request);
