#include "tls.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>

namespace rx {

namespace {

std::string ssl_error_text() {
    unsigned long e = ERR_peek_last_error();
    char buf[256] = "unknown error";
    if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

bool add_ext(X509 *x, X509V3_CTX *ctx, int nid, const std::string &value) {
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
    if (ext == nullptr) return false;
    bool ok = X509_add_ext(x, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// Builds and signs the certificate; false on any library failure.
bool fill_certificate(X509 *x, EVP_PKEY *key, const std::string &address) {
    BIGNUM *serial = BN_new();
    bool ok = serial != nullptr && BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
              BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x)) != nullptr;
    BN_free(serial);
    if (!ok || X509_set_version(x, X509_VERSION_3) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(x), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600) == nullptr ||
        X509_set_pubkey(x, key) != 1)
        return false;
    X509_NAME *name = X509_get_subject_name(x);
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("localhost"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(x, name) != 1)
        return false;
    std::string san = "DNS:localhost,IP:127.0.0.1";
    if (address != "127.0.0.1") san += ",IP:" + address;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    // The subject key identifier must exist before the authority one can refer to it.
    return add_ext(x, &ctx, NID_basic_constraints, "critical,CA:TRUE") &&
           add_ext(x, &ctx, NID_key_usage, "critical,digitalSignature,keyCertSign") &&
           add_ext(x, &ctx, NID_subject_key_identifier, "hash") &&
           add_ext(x, &ctx, NID_authority_key_identifier, "keyid:always") &&
           add_ext(x, &ctx, NID_subject_alt_name, san) && X509_sign(x, key, EVP_sha256()) > 0;
}

SSL_CTX *server_context(X509 *x, EVP_PKEY *key, bool legacy) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) return nullptr;
    bool ok = SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1;
    // TLS 1.0 and 1.1 sign handshakes with SHA-1, which every security level above 0 refuses.
    if (ok && legacy) {
        SSL_CTX_set_security_level(ctx, 0);
        ok = SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) == 1;
    }
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // Clients that hang up without close_notify are common; that is an end, not an error.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    return ctx;
}

bool write_pem(const std::string &path, mode_t mode, const std::function<bool(FILE *)> &put) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "w");
    std::string why = fd < 0 ? strerror(errno) : "write failed";
    if (f == nullptr && fd >= 0) close(fd);
    bool written = f != nullptr && put(f);
    if (f != nullptr && fclose(f) != 0) written = false;
    if (!written) log("cannot write %s: %s", path.c_str(), why.c_str());
    return written;
}

class TlsStream : public Stream {
   public:
    TlsStream(SSL *ssl, int fd) : Stream(fd), ssl_(ssl) {}
    ~TlsStream() override { SSL_free(ssl_); }

    bool handshake() override {
        if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1 || SSL_accept(ssl_) != 1) {
            log("TLS handshake failed: %s", ssl_error_text().c_str());
            return false;
        }
        return true;
    }

    const char *tls_version() const override { return SSL_get_version(ssl_); }

    ssize_t read(char *buf, size_t n) override {
        int r = SSL_read(ssl_, buf, static_cast<int>(std::min<size_t>(n, INT_MAX)));
        if (r > 0) return r;
        int e = SSL_get_error(ssl_, r);
        ERR_clear_error();
        return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }

    bool write_all(const char *buf, size_t n) override {
        while (n > 0) {
            int w = SSL_write(ssl_, buf, static_cast<int>(std::min<size_t>(n, INT_MAX)));
            if (w <= 0) {
                ERR_clear_error();
                return false;
            }
            buf += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    void finish() override {
        SSL_shutdown(ssl_);  // our close_notify only; the peer's is not waited for
        ERR_clear_error();
        Stream::finish();
    }

   private:
    SSL *ssl_;
};

}  // namespace

bool make_tls_contexts(const std::string &address, const std::string &cert_out,
                       const std::string &key_out, TlsContexts *out) {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    bool ok = key != nullptr && x != nullptr && fill_certificate(x, key, address);
    if (!ok) {
        log("cannot make a certificate: %s", ssl_error_text().c_str());
    } else if ((out->https = server_context(x, key, false)) == nullptr ||
               (out->session = server_context(x, key, true)) == nullptr) {
        log("cannot set up TLS: %s", ssl_error_text().c_str());
        ok = false;
    } else {
        ok = (cert_out.empty() ||
              write_pem(cert_out, 0644, [x](FILE *f) { return PEM_write_X509(f, x) == 1; })) &&
             (key_out.empty() || write_pem(key_out, 0600, [key](FILE *f) {
                  return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
              }));
    }
    if (!ok) {
        SSL_CTX_free(out->https);
        SSL_CTX_free(out->session);
        *out = {};
    }
    X509_free(x);
    EVP_PKEY_free(key);
    return ok;
}

std::unique_ptr<Stream> make_tls_stream(SSL_CTX *ctx, int fd) {
    return std::make_unique<TlsStream>(SSL_new(ctx), fd);
}

}  // namespace rx
