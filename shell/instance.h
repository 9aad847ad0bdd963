// The single-instance guard and the way to close the running copy. Both go
// through a lock file in the program-data directory, so copies with different
// data directories never meet: the copy that holds an exclusive lock on the
// file is the running one, and the file holds its process id.
#pragma once
#include <cstdint>
#include <string>

// The lock file of a program-data directory (ending in "/").
std::wstring instance_lock_path(const std::wstring& data_dir);

// Tries for up to timeout_ms to lock the file; the locked descriptor, or -1
// when another copy holds it or the file cannot be opened.
int take_instance_lock(const std::wstring& data_dir, uint32_t timeout_ms);
void release_instance_lock(int& fd);

// Whether a copy holds the lock now.
bool instance_running(const std::wstring& data_dir);

// Asks the running copy to end (SIGTERM) every 100 ms until it has let go of
// the lock or timeout_ms have passed. True when no copy runs at the end.
bool close_running_copy(const std::wstring& data_dir, uint32_t timeout_ms);
