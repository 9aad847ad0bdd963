// Basic and Digest logins: reading the Authorization header, the 401
// challenge, the verification of the answer, and the table of the nonces this
// run has issued. The access check reaches all of it through auth_scheme.
#pragma once
#include "core/timer.h"
#include "server/access_checker.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The MD5 digest of the bytes as 32 lower-case hexadecimal digits.
std::string md5_hex(std::string_view bytes);
// KD(a, b) of the Digest scheme: md5_hex of a, ":" and b.
std::string digest_kd(std::string_view a, std::string_view b);
// The text between two double quotes, nothing escaped.
std::string quote_string(std::string_view text);

// The value of one named parameter of an Authorization header; empty when it
// is missing or has no "=". Quoted values lose their quotes and escapes.
std::string auth_param(std::string_view header, std::string_view name);
// One half of the Basic credentials (user when `user`, else the password);
// empty when the header is not Basic or has no ":".
std::string basic_part(std::string_view header, bool user);

// The URL path of a configuration directory below the document root ("/" for
// one above it); "/a/b/" for the root's folder a/b/.
std::string domain_path(const std::wstring& directory, const std::wstring& document_root);

// The response a client computes for qop "auth" (or, with an empty qop, the
// older form), and the server's rspauth for it.
struct digest_input {
    std::string user, realm, password, method, uri, nonce, nc, cnonce, qop;
};
std::string digest_response(const digest_input& in);
std::string digest_rspauth(const digest_input& in);

// --- The nonce table ---

// The secret part of every nonce and opaque value; made at server start.
void set_digest_secret(const std::string& secret);
std::string digest_secret();

// A fresh nonce, recorded in the table. When the table is full its oldest
// nonce makes room.
std::string new_digest_nonce();
// Results of using a nonce with one nonce count.
enum class nonce_use { accepted, unknown, stale };
// Records the use of nc (1 to 32) of the nonce; nc 0 asks for a nonce never
// used before and uses it up.
nonce_use use_digest_nonce(const std::string& nonce, uint32_t nc);
bool digest_nonce_known(const std::string& nonce);
// Erases the nonces that are 901 s or more old; `now` in seconds since 1970
// (0: the clock).
void purge_digest_nonces(int64_t now = 0);
void clear_digest_nonces();
std::size_t digest_nonce_count();
// The most nonces kept at once.
std::size_t digest_nonce_limit();
void set_digest_nonce_limit(std::size_t limit);

// Arms the purge every 4000 ms on the timer; stop kills it and waits.
void start_digest_nonce_purge(cl::base_timer& timer);
void stop_digest_nonce_purge();

// The Basic and Digest schemes; access_checker uses them unless a test
// installs another scheme.
auth_scheme& http_auth_scheme();
