// PROPPATCH: the Windows times and attributes of a file or folder are the
// only properties kept; every other property is refused in the answer.
#pragma once
#include "platform/win32/time.h"

#include <cstdint>
#include <string>

class http_proppatch_request;
class http_request;

int proppatch_handle(http_proppatch_request& request);

// The times given (0: leave unchanged), through utimensat without following
// a final link; the creation time is kept with the stored attributes. False
// with errno set when a change was refused.
bool set_file_times(const std::string& path, win32::filetime creation, win32::filetime access,
                    win32::filetime write);

// The last-write time of a PUT target from the request's Last-Modified
// header when there is one that parses; nothing otherwise.
void set_modified_time_from_request(http_request& request, const std::wstring& path);
