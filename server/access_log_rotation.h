// The daily renaming of the access log to a dated file.
#pragma once
#include "platform/win32/time.h"
#include "server/access_log.h"

#include <string>

// "access.log.YYYYMMDD.txt" in the log directory (which ends in "/").
std::wstring rotated_log_name(const std::wstring& log_dir, const win32::systemtime& local);

// Renames from to to unless to exists already; false (errno set) when not renamed.
bool rename_file(const std::string& from, const std::string& to);
