// "-publish FILE": copies the file into the server's public directory and
// hands out its URL. Without a window framework the clipboard is a file,
// "clipboard.txt" beside the trace in the program-data directory: a URL of
// the same server already there gets the new one added on a line of its own.
// The URL is also printed on standard output.
#pragma once
#include <string>

// The exit code: 0 when the file was copied and its URL made, 1 when the
// copy failed, 2 when the file was copied but no public host name is known.
int publish_file(const std::wstring& argument);

// The host part the URL gets when no "domain" is configured: the public
// address the maker's service reports, cached for 60 seconds. Only an
// answer of 200-299 that is an IP address counts.
std::string public_address();
// Whether an answer of the address service is an address.
bool is_ip_address(const std::string& text);
