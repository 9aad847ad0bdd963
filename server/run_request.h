// Running a request on its pool thread, the impersonation of the configured
// user, and the script timing table of the script host.
#pragma once
#include "server/http_request.h"

#include <cstdint>
#include <string>

namespace cl {
class impersonation_state;
}

// The name prefix of the per-request mutexes.
inline constexpr wchar_t request_mutex_prefix[] = L"Global\\Teskqvel\\http_request_mutexes\\";

// The calling thread's impersonation state; it keeps an impersonation until
// another user is asked for or the thread ends.
cl::impersonation_state& thread_impersonation();

// Impersonates the run-as user of the configuration (its User directive, the
// password from its qvel_userpwd file) on the calling thread.
bool impersonate_request_user(const config_info& config);

// How the configuration's run-as user is logged on. The server's one does it
// through the thread's impersonation state; tests put their own in its place.
class request_impersonator {
  public:
    virtual ~request_impersonator() = default;
    virtual bool impersonate(const std::wstring& user, const std::wstring& password) = 0;
};
void set_request_impersonator(request_impersonator* impersonator);

// The script timing table: start marks the script as running and notes the
// time; stop gives the microseconds since the start of a running entry, else 0.
void script_timing_start(const std::string& name);
uint64_t script_timing_stop(const std::string& name);
