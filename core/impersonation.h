// Thread impersonation: a request, or a script run for it, touches files with
// the rights of an operating-system account instead of the server's.
//
// Here a log-on checks the password with PAM and impersonation switches only
// the calling thread's file-system user and group ids and its supplementary
// groups; reverting restores them. Other threads of the process keep their
// ids. Switching needs root; without it a named user fails with
// error_privilege_not_held. The anonymous case (an empty user name, or
// "anonymous") keeps the thread's own ids.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace cl {

// Log-on kinds, as a caller names them; all are checked alike here.
enum logon_type : uint32_t {
    logon32_logon_interactive = 2,
    logon32_logon_network = 3,
    logon32_logon_batch = 4,
    logon32_logon_service = 5,
    logon32_logon_unlock = 7,
    logon32_logon_network_cleartext = 8,
    logon32_logon_new_credentials = 9,
};

// Checks a user's password. The default asks PAM; tests swap in their own.
struct password_check {
    virtual ~password_check() = default;
    // 0 when the password is right, else a Windows error code.
    virtual uint32_t check(const std::string& user, const std::string& password, uint32_t type) = 0;
};

// The PAM check (service "login"); empty passwords are never accepted.
password_check& pam_password_check();

// A user's identity once logged on.
struct logon_token {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// The account's ids, or a Windows error code (error_logon_failure when there
// is no such account).
uint32_t lookup_account(const std::string& user, logon_token& token);

// False for names no account may have: empty, "." and "..", and names with
// control characters.
bool valid_user_name(std::wstring_view user);

// A new thread starts with the ids of the thread that made it, so a thread
// made while its maker impersonates would keep that user's file rights for
// good. Thread entry points call this to start from the process's own ids.
// False when they could not be restored.
bool restore_process_ids();

class impersonation_state {
  public:
    // check: the password check to use, null for PAM; it must outlive the state.
    explicit impersonation_state(password_check* check = nullptr);
    ~impersonation_state();
    impersonation_state(const impersonation_state&) = delete;
    impersonation_state& operator=(const impersonation_state&) = delete;

    // Logs the user on and impersonates him on the calling thread. The same
    // user with the same password as the impersonation already held is kept
    // without a new log-on; anything else reverts first. On failure the
    // thread is left reverted and the thread's last error holds the code.
    bool impersonate_user(const std::wstring& user, const std::wstring& password,
                          uint32_t type = logon32_logon_interactive);
    void revert_impersonation();

    bool impersonating() const { return held_; }
    // Empty for the anonymous case.
    const std::wstring& user() const { return user_; }
    // 0 silent, 1 failures, 2 also start and end, 3 also the credentials of a
    // failed log-on (the password itself is never written).
    int trace_level() const { return trace_level_; }
    void set_trace_level(int level) { trace_level_ = level; }

  private:
    struct saved_ids;
    uint32_t switch_ids(const logon_token& token);
    std::string key_of(const std::wstring& password) const;

    bool held_ = false;
    std::unique_ptr<saved_ids> saved_; // null for the anonymous case
    std::wstring user_;
    std::string key_; // salted digest of the password the log-on used
    unsigned char salt_[16];
    int trace_level_ = 1;
    password_check* check_;
};

} // namespace cl
