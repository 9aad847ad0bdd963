// PROPPATCH: the Windows times and attributes of a file or folder are the
// only properties kept; every other property is refused in the answer.
#pragma once
#include "platform/win32/time.h"

#include <cstdint>
#include <string>

class http_proppatch_request;
class http_request;

int proppatch_handle(http_proppatch_request& request);

// The times given (0: leave unchanged) of an open file; the creation time is
// kept with the stored attributes. False with errno set when a change was
// refused.
bool set_file_times(int fd, win32::filetime creation, win32::filetime access,
                    win32::filetime write);
