// The HTTPS listeners' certificate: read from PEM files in the given
// directory, or made (self-signed) and saved there on first use.
#pragma once
#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace khttp {

// A server context for TLS 1.2 and later with the directory's certificate
// and key; a self-signed pair is generated and saved (key mode 0600) when
// neither file exists. nullptr and a Windows error number on failure.
std::unique_ptr<boost::asio::ssl::context> make_tls_context(const std::filesystem::path& dir,
                                                            uint32_t& error);

// A connection's records pass through these rather than the socket, so the
// connection decides when and on which thread the socket is read and written:
// the session reads the ciphertext that came (feed, consumed from the front;
// empty means "would block") and appends what it writes to sealed.
struct tls_buffers {
    std::string_view feed;
    std::string sealed;
};

struct tls_session_free {
    void operator()(SSL* s) const { SSL_free(s); }
};
using tls_session = std::unique_ptr<SSL, tls_session_free>;

// A server-side session of the context over b (which must outlive it);
// nullptr when OpenSSL is out of memory.
tls_session new_tls_session(SSL_CTX* ctx, tls_buffers& b);

} // namespace khttp
