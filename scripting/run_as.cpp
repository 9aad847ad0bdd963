#include "scripting/run_as.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/win32/errors.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

namespace scripting {

namespace {

// User names go into trace lines as they are, but never a control character.
std::wstring printable(std::wstring s) {
    for (auto& c : s)
        if (c < 32 || c == 127) c = L'?';
    return s;
}

void trace_failure(uint32_t error, const wchar_t* function, const std::wstring& user) {
    cl::trace_out.write_w(
        cl::format_wstr(L"Error %? calling %? while trying to run client process as %?.\n", error,
                        function, printable(user)));
}

} // namespace

run_as_user::run_as_user(cl::password_check* check)
    : check_(check ? check : &cl::pam_password_check()) {}

bool run_as_user::run(const std::wstring& user, const std::wstring& password, spawn_spec& spec,
                      std::shared_ptr<child_process>& out) {
    error_ = 0;
    cl::logon_token token;
    if (!cl::valid_user_name(user)) {
        error_ = win32::error_logon_failure;
    } else if (::geteuid() != 0) {
        // Without root no id can be changed, so no password is asked for.
        error_ = win32::error_privilege_not_held;
    } else {
        const std::string name = cl::utf16_to_utf8(user);
        std::string pw = cl::utf16_to_utf8(password);
        error_ = check_->check(name, pw, cl::logon32_logon_interactive);
        if (!pw.empty()) explicit_bzero(pw.data(), pw.size());
        if (!error_) error_ = cl::lookup_account(name, token);
    }
    if (error_) {
        trace_failure(error_, L"LogonUserW", user);
        return false;
    }
    spec.identity.change = true;
    spec.identity.uid = token.uid;
    spec.identity.gid = token.gid;
    spec.identity.groups = token.groups;
    error_ = spawn_process(spec, out);
    if (error_) {
        trace_failure(error_, L"CreateProcessAsUserW", user);
        return false;
    }
    return true;
}

uint32_t default_child_identity(child_identity& out) {
    if (::geteuid() != 0) {
        out = child_identity{};
        return 0;
    }
    static std::once_flag once;
    static uint32_t error = 0;
    static child_identity nobody;
    std::call_once(once, [] {
        cl::logon_token token;
        error = cl::lookup_account("nobody", token);
        if (error) return;
        nobody.change = true;
        nobody.uid = token.uid;
        nobody.gid = token.gid;
        nobody.groups = token.groups;
    });
    if (error) return error;
    out = nobody;
    return 0;
}

} // namespace scripting
