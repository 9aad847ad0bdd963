// The access check of one request: whether authentication applies, who the
// user is, the user's stored password, the Require rule, and either a pass or a
// 401 challenge. The credential side (reading the Authorization header,
// building the challenge, verifying the answer) is reached through the
// auth_scheme interface, which the Basic and Digest code implements.
#pragma once
#include "core/ref_cnt.h"
#include "server/config_info.h"
#include "server/response_headers.h"

#include <string>

// One request's authentication record; the CGI variables read it.
struct auth_info {
    std::string method; // filled by the caller from REQUEST_METHOD
    std::string user_name;
    std::wstring private_dir;
    std::string auth_type_name;
    std::string realm;
    std::string require_text;
    std::string user_file; // AuthUserFile, UTF-8
    // The request target exactly as received (path and query), filled by the
    // caller like the method: a Digest answer counts only for the target it
    // names, so without it no Digest login succeeds.
    std::string uri;
};

class access_checker;
class http_request;

// Fills the method and the request target of the record from the request, as
// every handler that runs the check must before it does.
void fill_auth_request(auth_info& info, const http_request& request);

// The credential side of the check: the Basic and Digest schemes
// (server/auth_digest.h) unless a test installs another.
class auth_scheme {
  public:
    virtual ~auth_scheme() = default;
    // The user named by the Authorization header for the auth type; empty when
    // there is none.
    virtual std::string user_name(const access_checker& checker, int32_t auth_type) = 0;
    // Adds "WWW-Authenticate" to the checker's challenge headers.
    virtual void add_challenge(access_checker& checker, int32_t auth_type, const std::string& realm,
                               bool stale) = 0;
    // True when the credentials are right; stale when a nonce must be renewed.
    // May add "Authentication-Info" to the success headers.
    virtual bool verify(access_checker& checker, int32_t auth_type, const std::string& realm,
                        const std::string& password, bool& stale) = 0;
};

auth_scheme& the_auth_scheme();
// Installs the implementation (null restores Basic and Digest).
void set_auth_scheme(auth_scheme* scheme);

class access_checker {
  public:
    // Runs the check at once; the handler then reads result().
    access_checker(cl::sh_ptr<config_info> config, auth_info& info, std::string authorization,
                   std::string* user_name_out = nullptr);
    // The same for a request whose credentials were verified before under
    // the login `verified` (its user, scheme, realm and user file): when the
    // configuration asks for that same login, only its Require rule is
    // tested, since a Digest answer counts once and must not be verified a
    // second time.
    access_checker(cl::sh_ptr<config_info> config, auth_info& info, std::string authorization,
                   const auth_info& verified);

    bool result() const { return result_; }
    bool auth_applies() const { return auth_applies_; }
    // True when the check passed on the login verified before.
    bool already_done() const { return already_done_; }
    uint32_t status_code() const { return status_code_; }
    const config_info& config() const { return *config_; }
    auth_info& info() { return info_; }
    const auth_info& info() const { return info_; }
    const std::string& authorization() const { return authorization_; }
    response_headers& success_headers() { return success_headers_.make(); }
    response_headers& challenge_headers() { return challenge_headers_.make(); }
    // The headers handed over (none left behind).
    lazy_headers take_success_headers() { return std::move(success_headers_); }
    lazy_headers take_challenge_headers() { return std::move(challenge_headers_); }

    // Adds the challenge, sets 401 and returns false.
    bool challenge(int32_t auth_type, const std::string& realm, bool stale);

  private:
    bool check();
    std::string stored_password(const std::string& user);

    cl::sh_ptr<config_info> config_;
    auth_info& info_;
    std::string authorization_;
    std::string* user_name_out_;
    const auth_info* verified_ = nullptr;
    lazy_headers success_headers_;
    lazy_headers challenge_headers_;
    uint32_t status_code_ = 0;
    bool result_ = false;
    bool auth_applies_ = false;
    bool already_done_ = false;
};

// True when the group's member list in the group file names the user.
bool user_in_group(const std::wstring& group_file, const std::string& group,
                   const std::string& user);
// True when a user name may become part of a path: not empty, not "." or
// "..", no separator and no control character.
bool is_safe_user_name(const std::string& user);
// The Authorization header as the trace may show it: Basic credentials are
// the password in base64, so only the scheme word is kept of them.
std::string traceable_authorization(const std::string& header);
