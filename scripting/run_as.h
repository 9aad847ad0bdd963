// Running a CGI child as another account: the account's password is checked
// (PAM), its user, group and supplementary group ids are looked up, and the
// child takes them before it runs its program. Changing ids needs root.
//
// With no account configured a child never gets more rights than the
// server's own account: a server running as root starts its children as the
// unprivileged account "nobody".
#pragma once
#include "core/impersonation.h"
#include "platform/win32/process.h"

#include <string>

namespace scripting {

using win32::child_identity;
using win32::child_process;
using win32::move_above_standard;
using win32::spawn_process;
using win32::spawn_spec;

class run_as_user {
  public:
    // check: the password check to use, null for PAM; it must outlive this.
    explicit run_as_user(cl::password_check* check = nullptr);

    // Logs the user on with the password and starts the child under the
    // account. False (the error in last_error()) when the log-on or the start
    // fails; traces "Error %u calling %? while trying to run client process
    // as %?.\n". The password is never traced.
    bool run(const std::wstring& user, const std::wstring& password, spawn_spec& spec,
             std::shared_ptr<child_process>& out);
    uint32_t last_error() const { return error_; }

  private:
    cl::password_check* check_;
    uint32_t error_ = 0;
};

// The ids of a child that has no account configured: unchanged for a server
// that is not root, else those of "nobody". 0, or error_logon_failure when a
// root server finds no such account (the child must then not run).
uint32_t default_child_identity(child_identity& out);

} // namespace scripting
