// Small operating-system services that the shell, the crash handler and the
// start-up share: starting processes (always an argument vector, never a
// shell), opening URLs with the desktop's opener, the machine's addresses,
// the module that holds an address, texts of service states and session
// events, and hex dumps for the trace.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sys {

// Starts argv[0] (looked up in PATH when it has no "/") with the arguments,
// in the folder (empty: the current one). With wait, returns once it ended.
// Hidden: its standard output and error go to /dev/null. True when the
// program was started.
bool run_process(const std::vector<std::string>& argv, const std::string& folder, bool wait,
                 bool hidden);

// Opens a URL with the desktop's opener (url_opener, xdg-open unless
// changed). A URL beginning with "-" would be taken as an option and is
// refused.
bool open_url(const std::string& url);
std::string& url_opener();

// The IPv4 and IPv6 addresses of the interfaces that are up, without the
// loopback interface, in the order the system lists them.
bool list_local_addresses(std::vector<std::wstring>& ipv4, std::vector<std::wstring>& ipv6);

// The file name of the running executable, empty on failure.
std::wstring own_module_name();

// The loaded module (executable or shared object) that holds the address:
// its file path and the offset of the address from its load base.
bool module_of_address(const void* address, std::wstring& name, uint64_t& offset);

std::string service_state_name(uint32_t state);
std::string session_change_name(uint32_t event, uint32_t session_id);

// 16 bytes a line: two lower-case hex digits a byte, "-" before the ninth,
// then the bytes as characters ("." for control and non-ASCII bytes). The
// first line starts with first_prefix, each later one with "\n" and
// next_prefix; the text ends with "\n".
std::string hex_dump_text(const void* data, std::size_t count, std::string_view first_prefix,
                          std::string_view next_prefix);
// The dump with four blanks before each line, to the main trace.
void trace_hex_dump(const void* data, std::size_t count);

constexpr uint16_t swap_bytes16(uint16_t v) {
    return uint16_t((v >> 8) | (v << 8));
}
constexpr uint32_t swap_bytes32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

} // namespace sys
