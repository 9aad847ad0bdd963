// Log-on through PAM and per-thread file-system ids.
#include "core/impersonation.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/errors.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <security/pam_appl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cl {

namespace {

// Drops the text of a secret before its memory is given back.
void wipe(std::string& s) {
    if (!s.empty()) explicit_bzero(s.data(), s.size());
    s.clear();
}

void free_responses(pam_response* r, int n) {
    if (!r) return;
    for (int i = 0; i < n; ++i) {
        if (r[i].resp) {
            explicit_bzero(r[i].resp, std::strlen(r[i].resp));
            std::free(r[i].resp);
        }
    }
    std::free(r);
}

struct conv_data {
    const std::string* user;
    const std::string* password;
};

// Answers PAM's prompts: the user name for a visible prompt, the password for
// a hidden one; messages need no answer.
extern "C" int answer_prompts(int n, const pam_message** msg, pam_response** resp, void* appdata) {
    if (n <= 0 || n > PAM_MAX_NUM_MSG || !msg || !resp) return PAM_CONV_ERR;
    auto* data = static_cast<conv_data*>(appdata);
    auto* r = static_cast<pam_response*>(std::calloc(static_cast<size_t>(n), sizeof(pam_response)));
    if (!r) return PAM_BUF_ERR;
    for (int i = 0; i < n; ++i) {
        const std::string* text = nullptr;
        switch (msg[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            text = data->password;
            break;
        case PAM_PROMPT_ECHO_ON:
            text = data->user;
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            continue;
        default:
            free_responses(r, n);
            return PAM_CONV_ERR;
        }
        r[i].resp = strdup(text->c_str());
        if (!r[i].resp) {
            free_responses(r, n);
            return PAM_BUF_ERR;
        }
    }
    *resp = r;
    return PAM_SUCCESS;
}

// A failed log-on answers at once: a pool thread is not parked for seconds,
// and guessing is slowed where requests are counted, not here.
extern "C" void no_fail_delay(int, unsigned, void*) {}

class pam_check final : public password_check {
  public:
    uint32_t check(const std::string& user, const std::string& password, uint32_t) override {
        if (password.empty()) return win32::error_logon_failure;
        conv_data data{&user, &password};
        pam_conv conv{answer_prompts, &data};
        pam_handle_t* h = nullptr;
        int rc = pam_start("login", user.c_str(), &conv, &h);
        if (rc != PAM_SUCCESS) return win32::error_logon_failure;
        auto delay = reinterpret_cast<const void*>(&no_fail_delay);
        pam_set_item(h, PAM_FAIL_DELAY, delay);
        rc = pam_authenticate(h, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
        if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(h, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
        pam_end(h, rc);
        return rc == PAM_SUCCESS ? 0u : uint32_t(win32::error_logon_failure);
    }
};

// Raw system calls: the C library's setgroups changes every thread of the
// process, these change only the calling one.
int thread_setgroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(syscall(SYS_setgroups, groups.size(), groups.data()));
}

// setfsuid and setfsgid report no failure; the id read back tells.
bool thread_setfsuid(uid_t uid) {
    setfsuid(uid);
    return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid;
}
bool thread_setfsgid(gid_t gid) {
    setfsgid(gid);
    return static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}

// User names go into trace lines as they are, but never a control character.
std::wstring printable(const std::wstring& s) {
    std::wstring out = s;
    for (auto& c : out)
        if (c < 32 || c == 127) c = L'?';
    return out;
}

bool privileged() {
    return geteuid() == 0;
}

// The process's own supplementary groups, read while the program starts on
// its main thread, before any thread impersonates.
struct process_groups {
    std::vector<gid_t> groups;
    process_groups() {
        int n = getgroups(0, nullptr);
        if (n > 0) {
            groups.resize(static_cast<size_t>(n));
            if (getgroups(n, groups.data()) < 0) groups.clear();
        }
    }
};
const process_groups startup_groups;

} // namespace

password_check& pam_password_check() {
    static pam_check check;
    return check;
}

bool valid_user_name(std::wstring_view user) {
    if (user.empty() || user == L"." || user == L"..") return false;
    for (wchar_t c : user)
        if (c < 32 || c == 127 || (c >= 0x80 && c < 0xA0)) return false;
    return true;
}

uint32_t lookup_account(const std::string& user, logon_token& token) {
    long size_hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size_hint > 0 ? static_cast<size_t>(size_hint) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    int rc = 0;
    // Bounded growth: an account record never needs more than 1 MB.
    while ((rc = getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (rc != 0 || !found) return win32::error_logon_failure;
    token.uid = pw.pw_uid;
    token.gid = pw.pw_gid;
    int n = 32;
    for (int round = 0; round < 8; ++round) {
        token.groups.assign(static_cast<size_t>(n), 0);
        int got = n;
        if (getgrouplist(pw.pw_name, pw.pw_gid, token.groups.data(), &got) >= 0) {
            token.groups.resize(static_cast<size_t>(got));
            return 0;
        }
        n = got > n ? got : n * 2;
    }
    return win32::error_not_enough_memory;
}

bool restore_process_ids() {
    if (!privileged()) return true; // nothing can have been switched
    bool ok = thread_setfsuid(geteuid());
    ok = thread_setgroups(startup_groups.groups) == 0 && ok;
    return thread_setfsgid(getegid()) && ok;
}

struct impersonation_state::saved_ids {
    uid_t fsuid;
    gid_t fsgid;
    std::vector<gid_t> groups;
};

impersonation_state::impersonation_state(password_check* check)
    : check_(check ? check : &pam_password_check()) {
    if (RAND_bytes(salt_, sizeof salt_) != 1) {
        // Without fresh bytes the salt still differs per state and process.
        auto seed = reinterpret_cast<uintptr_t>(this) ^ static_cast<uintptr_t>(getpid());
        for (size_t i = 0; i < sizeof salt_; ++i)
            salt_[i] = static_cast<unsigned char>(seed >> (i % 8 * 8));
    }
}

impersonation_state::~impersonation_state() {
    revert_impersonation();
}

std::string impersonation_state::key_of(const std::wstring& password) const {
    std::string pw = utf16_to_utf8(password);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx, salt_, sizeof salt_) == 1 &&
              EVP_DigestUpdate(ctx, pw.data(), pw.size()) == 1 &&
              EVP_DigestFinal_ex(ctx, digest, &len) == 1;
    EVP_MD_CTX_free(ctx);
    wipe(pw);
    // No digest: a key that matches nothing, so the next call logs on again.
    if (!ok) return {};
    return std::string(reinterpret_cast<const char*>(digest), len);
}

uint32_t impersonation_state::switch_ids(const logon_token& token) {
    auto saved = std::make_unique<saved_ids>();
    saved->fsuid = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
    saved->fsgid = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
    int n = getgroups(0, nullptr);
    if (n < 0) return win32::set_last_error_from_errno();
    saved->groups.resize(static_cast<size_t>(n));
    if (n > 0 && getgroups(n, saved->groups.data()) < 0) return win32::set_last_error_from_errno();

    // Groups and group id first: the user id switch comes last, so a thread
    // never holds the user's id with the server's groups.
    if (thread_setgroups(token.groups) != 0) return win32::error_privilege_not_held;
    if (!thread_setfsgid(token.gid) || !thread_setfsuid(token.uid)) {
        thread_setfsuid(saved->fsuid);
        thread_setfsgid(saved->fsgid);
        thread_setgroups(saved->groups);
        return win32::error_privilege_not_held;
    }
    saved_ = std::move(saved);
    return 0;
}

bool impersonation_state::impersonate_user(const std::wstring& user_in,
                                           const std::wstring& password, uint32_t type) {
    const bool anonymous = user_in.empty() || iequals_w(user_in, L"anonymous");
    const std::wstring user = anonymous ? std::wstring() : user_in;
    // A held log-on is kept only for the same user with the same password:
    // a wrong password must never pass because a right one came before it.
    std::string key = anonymous ? std::string() : key_of(password);
    if (held_ && user == user_ && (anonymous || (!key.empty() && key == key_))) return true;
    revert_impersonation();

    if (!anonymous) {
        uint32_t err = 0;
        logon_token token;
        if (!valid_user_name(user)) {
            err = win32::error_logon_failure;
        } else if (type < logon32_logon_interactive || type > logon32_logon_new_credentials ||
                   type == 6) {
            err = win32::error_invalid_parameter;
        } else if (!privileged()) {
            // Nothing could be switched, so no password is asked for.
            err = win32::error_privilege_not_held;
        } else {
            std::string name = utf16_to_utf8(user);
            std::string pw = utf16_to_utf8(password);
            err = check_->check(name, pw, type);
            wipe(pw);
            if (!err) err = lookup_account(name, token);
        }
        if (err) {
            if (trace_level_ > 0)
                trace_out.write_w(
                    format_wstr(L"User login failure: %? (%?)\n", printable(user), err));
            if (trace_level_ >= 3)
                trace_out.write_w(format_wstr(L"   user: [%?], pwd: [%?]\n", printable(user),
                                              password.empty() ? L"" : L"(not shown)"));
            win32::set_last_error(err);
            return false;
        }
        err = switch_ids(token);
        if (err) {
            if (trace_level_ > 0)
                trace_out.write_w(
                    format_wstr(L"User impersonation failure: %? (%?)\n", printable(user), err));
            win32::set_last_error(err);
            return false;
        }
    }

    held_ = true;
    user_ = user;
    key_ = std::move(key);
    if (trace_level_ >= 2)
        trace_out.write_w(format_wstr(L"Impersonating user [%?]\n", printable(user_)));
    return true;
}

void impersonation_state::revert_impersonation() {
    if (!held_) return;
    if (saved_) {
        // The user id first: back to the server's own, whose rights the
        // group switch needs.
        bool ok = thread_setfsuid(saved_->fsuid);
        ok = thread_setgroups(saved_->groups) == 0 && ok;
        ok = thread_setfsgid(saved_->fsgid) && ok;
        if (!ok)
            trace_err.write_w(format_wstr(L"Reverting from user [%?] failed\n", printable(user_)));
        saved_.reset();
    }
    if (trace_level_ > 1)
        trace_out.write_w(format_wstr(L"Reverting from user [%?]\n", printable(user_)));
    held_ = false;
    wipe(key_);
    user_.clear();
}

} // namespace cl
