// The program's own outgoing HTTP requests, through the WinHTTP functions
// bound at run time: first straight (the default proxy), then, when the
// server cannot be reached, through the user's proxy configuration and proxy
// discovery, and once more through a caller-given address instead of the
// resolved one. Every step and every status notification is traced on the
// network channel.
#pragma once
#include "core/dll_registry.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sys {

// The fourteen WinHTTP functions, bound from one DLL.
class winhttp_api {
  public:
    enum entry {
        open,
        connect,
        open_request,
        send_request,
        query_option,
        receive_response,
        query_data_available,
        read_data,
        close_handle,
        get_ie_proxy_config,
        get_proxy_for_url,
        set_option,
        set_status_callback,
        query_headers,
        count
    };
    // Loads "winhttp.dll", else "winhttp5.dll", and traces which one.
    winhttp_api();
    ~winhttp_api();
    winhttp_api(const winhttp_api&) = delete;
    winhttp_api& operator=(const winhttp_api&) = delete;

    // Binds every entry from the DLL; false at the first missing one.
    bool load(const std::wstring& dll_name);
    bool loaded() const { return loaded_; }
    template <class F> F* get(entry e) const { return reinterpret_cast<F*>(procs_[e].address()); }
    const cl::dyn_proc& proc(entry e) const { return procs_[e]; }

  private:
    std::array<cl::dyn_proc, count> procs_;
    bool loaded_ = false;
};

struct winhttp_response {
    std::string body;
    uint32_t error = 0;  // 0 or the last WinHTTP or Windows error
    uint16_t status = 0; // 0 when none was read
    std::vector<std::pair<std::wstring, std::wstring>> headers;
};

// One GET. alternative_address and the two lists may be null (the lists end
// with a null entry); port 0 is the scheme's; connect_timeout_ms 0 keeps the
// default. True when the request was sent and its response read.
bool winhttp_request(const std::wstring& agent, const std::wstring& server,
                     const wchar_t* alternative_address, uint16_t port, const std::wstring& path,
                     const wchar_t* const* accept_types, bool secure,
                     const wchar_t* const* certificate_subjects,
                     const std::vector<std::wstring>& header_names, uint32_t connect_timeout_ms,
                     winhttp_response& out);

bool winhttp_fetch(const std::wstring& agent, const std::wstring& server,
                   const wchar_t* alternative_address, const std::wstring& path,
                   const wchar_t* const* accept_types, bool secure,
                   const wchar_t* const* certificate_subjects, std::string& body, uint32_t& error,
                   uint16_t& status);

// Whether WinHTTP could be loaded (a table of its own, built once).
bool winhttp_available();

// The text of one status notification, as the trace shows it after
// "WINHTTP STATUS: ".
std::string winhttp_status_text(uint32_t status, const void* info, uint32_t length);

} // namespace sys
