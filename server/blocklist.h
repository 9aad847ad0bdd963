// The blocklist: local paths the server must not serve or use, kept in
// "blocklist.txt" of the program-data directory. Blocking a directory blocks
// everything below it (the configuration builder tests every prefix).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Reads "blocklist.txt" into the set; a file that cannot be opened leaves the
// set as it is.
void load_blocklist();
// True when the path, without its trailing "/", is in the set (paths compare
// ignoring the case of ASCII letters, which only ever blocks more).
bool is_blocked(const std::wstring& path);
// True when some entry lies below the folder (or is the folder itself): a
// listing of the folder then asks is_blocked for each of its names.
bool is_blocked_below(const std::wstring& folder);
// Adds the path and saves the file unless it is blocked already.
void blocklist_add(const std::wstring& path);
// Removes the path and saves the file when it was in the set.
void blocklist_remove(const std::wstring& path);
// Appends every entry, in set order, to both lists.
void blocklist_list(std::vector<std::wstring>& first, std::vector<std::wstring>& second);
// Writes every entry to "blocklist.txt", replacing the file only once the new
// content is complete. False when it could not be written.
bool save_blocklist();
// A count that grows with every change of the set: caches of decisions
// taken with is_blocked compare it to know when to decide again.
uint64_t blocklist_generation();
// Empties the set (tests and restart).
void clear_blocklist();
