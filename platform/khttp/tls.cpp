#include "platform/khttp/tls.h"

#include "platform/khttp/khttp.h"
#include "platform/win32/errors.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace khttp {

namespace {

namespace fs = std::filesystem;

struct bio_free {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct x509_free {
    void operator()(X509* x) const { X509_free(x); }
};
struct ext_free {
    void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};

std::string bio_text(BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return std::string(data, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Writes a complete file beside the target and renames it over it, so a
// crash never leaves half a key behind.
uint32_t write_file_atomically(const fs::path& target, const std::string& text, mode_t mode) {
    fs::path tmp = target;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return win32::from_errno(errno);
    ::fchmod(fd, mode);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            uint32_t e = win32::from_errno(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return e;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        uint32_t e = win32::from_errno(errno);
        ::unlink(tmp.c_str());
        return e;
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        uint32_t e = win32::from_errno(errno);
        ::unlink(tmp.c_str());
        return e;
    }
    return 0;
}

bool add_extension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ext_free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

uint32_t generate_pair(const fs::path& cert_path, const fs::path& key_path) {
    std::unique_ptr<EVP_PKEY, pkey_free> key(EVP_EC_gen("P-256"));
    if (!key) return win32::error_gen_failure;
    std::unique_ptr<X509, x509_free> cert(X509_new());
    if (!cert) return win32::error_not_enough_memory;
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    std::FILE* r = std::fopen("/dev/urandom", "rbe");
    if (!r || std::fread(serial, 1, sizeof serial, r) != sizeof serial) {
        if (r) std::fclose(r);
        return win32::error_gen_failure;
    }
    std::fclose(r);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    char host[256] = "localhost";
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == 0)
        std::snprintf(host, sizeof host, "localhost");
    host[sizeof host - 1] = 0;
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(host), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    std::string san = std::string("DNS:") + host + ",DNS:localhost,IP:127.0.0.1,IP:::1";
    if (!add_extension(cert.get(), NID_subject_alt_name, san.c_str()) ||
        !add_extension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !add_extension(cert.get(), NID_ext_key_usage, "serverAuth"))
        return win32::error_gen_failure;
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return win32::error_gen_failure;

    std::unique_ptr<BIO, bio_free> kb(BIO_new(BIO_s_mem())), cb(BIO_new(BIO_s_mem()));
    if (!kb || !cb) return win32::error_not_enough_memory;
    if (PEM_write_bio_PrivateKey(kb.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(cb.get(), cert.get()) != 1)
        return win32::error_gen_failure;
    // The key first: a certificate without its key would be useless.
    if (uint32_t e = write_file_atomically(key_path, bio_text(kb.get()), 0600)) return e;
    return write_file_atomically(cert_path, bio_text(cb.get()), 0644);
}

int buffers_write(BIO* b, const char* data, std::size_t length, std::size_t* written) {
    BIO_clear_retry_flags(b);
    static_cast<tls_buffers*>(BIO_get_data(b))->sealed.append(data, length);
    *written = length;
    return 1;
}

int buffers_read(BIO* b, char* out, std::size_t length, std::size_t* got) {
    BIO_clear_retry_flags(b);
    auto& feed = static_cast<tls_buffers*>(BIO_get_data(b))->feed;
    if (feed.empty()) {
        *got = 0;
        BIO_set_retry_read(b);
        return 0;
    }
    std::size_t n = std::min(length, feed.size());
    std::memcpy(out, feed.data(), n);
    feed.remove_prefix(n);
    *got = n;
    return 1;
}

long buffers_ctrl(BIO*, int cmd, long, void*) {
    // Nothing is ever held back here: a flush has nothing to do.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* buffers_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "khttp connection buffers");
        if (m) {
            BIO_meth_set_write_ex(m, buffers_write);
            BIO_meth_set_read_ex(m, buffers_read);
            BIO_meth_set_ctrl(m, buffers_ctrl);
        }
        return m;
    }();
    return method;
}

} // namespace

tls_session new_tls_session(SSL_CTX* ctx, tls_buffers& b) {
    BIO_METHOD* method = buffers_method();
    if (!method) return nullptr;
    tls_session s(SSL_new(ctx));
    if (!s) return nullptr;
    BIO* bio = BIO_new(method);
    if (!bio) return nullptr;
    BIO_set_data(bio, &b);
    BIO_set_init(bio, 1);
    SSL_set_bio(s.get(), bio, bio); // one reference for both directions
    // Reading ahead takes all the ciphertext that came in one call instead of
    // a header and a body per record.
    SSL_set_read_ahead(s.get(), 1);
    SSL_set_accept_state(s.get());
    return s;
}

std::unique_ptr<boost::asio::ssl::context> make_tls_context(const fs::path& dir, uint32_t& error) {
    namespace ssl = boost::asio::ssl;
    error = 0;
    fs::path cert_path = dir / tls_certificate_file;
    fs::path key_path = dir / tls_key_file;
    std::error_code ec;
    bool have_cert = fs::exists(cert_path, ec), have_key = fs::exists(key_path, ec);
    if (!have_cert && !have_key) {
        fs::create_directories(dir, ec);
        if ((error = generate_pair(cert_path, key_path)) != 0) return nullptr;
    } else if (!have_cert || !have_key) {
        // Half a pair is someone's mistake; never overwrite what is there.
        error = win32::error_file_not_found;
        return nullptr;
    }
    auto ctx = std::make_unique<ssl::context>(ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::single_dh_use);
    // TLS 1.2 with forward secrecy and authenticated encryption only (no CBC
    // suites, whose padding checks leak timing), in our order of preference;
    // TLS 1.3 keeps its own suites, all of them AEAD.
    SSL_CTX_set_options(ctx->native_handle(),
                        SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_cipher_list(ctx->native_handle(),
                                "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1) {
        error = win32::error_gen_failure;
        return nullptr;
    }
    boost::system::error_code bec;
    ctx->use_certificate_chain_file(cert_path.string(), bec);
    if (!bec) ctx->use_private_key_file(key_path.string(), ssl::context::pem, bec);
    if (bec || SSL_CTX_check_private_key(ctx->native_handle()) != 1) {
        error = win32::error_invalid_data;
        return nullptr;
    }
    return ctx;
}

} // namespace khttp
