// Every TLS library call of the program: context and session set-up, the memory-buffer transport,
// reads, writes, shutdown, and the one classification of the library's "nothing now" states.
#include "tolvane/net/ssl.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tolvane/net/result.h"

#if OPENSSL_VERSION_NUMBER < 0x10100000L
// Libraries before 1.1 need the application to provide locks and thread identifiers; later
// ones lock themselves and these calls are gone.
namespace {
pthread_mutex_t *crypto_locks;
int crypto_num_locks;
thread_local unsigned long thread_id;

void mutex_for_openssl(int mode, int n, const char *file, int line) {
    bool lock = mode & CRYPTO_LOCK;
    int r = lock ? pthread_mutex_lock(&crypto_locks[n]) : pthread_mutex_unlock(&crypto_locks[n]);
    if (r != 0) {
        fprintf(stderr, "error: OpenSSL failed to %s lock at %s:%d.\n",
                lock ? "acquire" : "release", file, line);
        abort();
    }
}

void thread_id_for_openssl(CRYPTO_THREADID *id) {
    if (thread_id == 0) thread_id = static_cast<unsigned long>(pthread_self());
    CRYPTO_THREADID_set_numeric(id, thread_id);
}
}  // namespace
#endif

void cr_ssl_subsystem_init(void) {
#if OPENSSL_VERSION_NUMBER < 0x10100000L
    // The locks only matter to threads, and this program runs one: without memory for them the
    // library runs without them.
    crypto_num_locks = CRYPTO_num_locks();
    crypto_locks = static_cast<pthread_mutex_t *>(
        calloc(static_cast<size_t>(crypto_num_locks), sizeof(pthread_mutex_t)));
    if (crypto_locks != nullptr) {
        for (int i = 0; i < crypto_num_locks; i++) pthread_mutex_init(&crypto_locks[i], nullptr);
        CRYPTO_set_locking_callback(mutex_for_openssl);
        CRYPTO_THREADID_set_callback(thread_id_for_openssl);
    }
#endif
    SSL_library_init();
    SSL_load_error_strings();
}

namespace {
// "error: <prefix>: <text>.\n" for the library's queued error `reason`; false.
bool failed(std::string *message, const char *prefix, unsigned long reason) {
    struct cr_ssl_error e {
        0, 0, reason
    };
    tolvane_net_append(message, "error: %s: %s.\n", prefix, cr_ssl_strerror(&e));
    return false;
}

// The method names and the protocol versions each allows (0: the highest the library knows).
struct method_versions {
    const char *name;
    int min, max;
};
constexpr method_versions methods[] = {
    {"TLSv12", TLS1_2_VERSION, TLS1_2_VERSION},
    {"TLSv11", TLS1_1_VERSION, TLS1_1_VERSION},
    {"TLSv1", TLS1_VERSION, TLS1_VERSION},
    {"TLSv13", TLS1_3_VERSION, TLS1_3_VERSION},
    {"TLS", TLS1_2_VERSION, 0},
};
}  // namespace

bool cr_ssl_init(cr_ssl *ctx, const char *method, const char *certificate, std::string *message) {
    const method_versions *chosen = &methods[0];
    if (method != nullptr && method[0] != '\0') {
        chosen = nullptr;
        for (const method_versions &m : methods) {
            if (strcasecmp(method, m.name) == 0) chosen = &m;
        }
        if (chosen == nullptr) {
            tolvane_net_append(message, "error: %s is not a supported SSL method on this system.\n",
                               method);
            return false;
        }
    }
    ctx->md = SSL_CTX_new(TLS_client_method());
    if (ctx->md == nullptr)
        return failed(message, "failed to initialize SSL context", ERR_peek_last_error());
    // A versioned name speaks exactly that version, as the fixed-version methods did.
    SSL_CTX_set_min_proto_version(ctx->md, chosen->min);
    SSL_CTX_set_max_proto_version(ctx->md, chosen->max);
    // Versions below 1.2 are refused at the library's default security level; a configuration
    // that asks for one gets it.
    if (chosen->min < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx->md, 0);
    if (certificate != nullptr && access(certificate, R_OK) == 0 &&
        SSL_CTX_use_certificate_file(ctx->md, certificate, SSL_FILETYPE_PEM) != 1)
        return failed(message, "failed to load certificate file", ERR_get_error());
    return true;
}

bool cr_ssl_verify(cr_ssl *ctx, const char *ca, std::string *message) {
    int ok;
    struct stat st;
    if (ca == nullptr) {
        ok = SSL_CTX_set_default_verify_paths(ctx->md);
    } else if (stat(ca, &st) == 0 && S_ISDIR(st.st_mode)) {
        // A directory is searched by subject hash as certificates are needed, so an empty or
        // unrelated one shows only as a handshake that cannot verify.
        ok = SSL_CTX_load_verify_locations(ctx->md, nullptr, ca);
    } else {
        ok = SSL_CTX_load_verify_locations(ctx->md, ca, nullptr);
    }
    if (ok != 1) {
        std::string prefix = std::string("failed to load CA certificates from ") +
                             (ca != nullptr ? ca : "the system store");
        return failed(message, prefix.c_str(), ERR_get_error());
    }
    // Without a callback, a chain or name that does not verify fails the handshake itself, so
    // nothing is ever encrypted for an unverified peer.
    SSL_CTX_set_verify(ctx->md, SSL_VERIFY_PEER, nullptr);
    return true;
}

bool cr_ssl_session_init(cr_ssl_session *session, cr_ssl *ctx, std::string *message) {
    session->md = SSL_new(ctx->md);
    if (session->md == nullptr)
        return failed(message, "failed to fork SSL context", ERR_get_error());
    return true;
}

bool cr_ssl_session_memory(cr_ssl_session *session, std::string *message) {
    BIO *rbio = BIO_new(BIO_s_mem());
    BIO *wbio = BIO_new(BIO_s_mem());
    if (rbio == nullptr || wbio == nullptr) {
        BIO_free(rbio);
        BIO_free(wbio);
        tolvane_net_append(message, "error: failed to allocate memory.\n");
        return false;
    }
    BIO_set_nbio(rbio, 1);
    BIO_set_nbio(wbio, 1);
    SSL_set_bio(session->md, rbio, wbio);
    return true;
}

namespace {
// The one reading of SSL_get_error after a call that moved nothing (ret <= 0). The "want"
// states only mean that bytes must pass through the memory buffers before the call can go on.
// Unless the call would block, *error takes the call's result, the code and the queued error
// (the queue is empty for every code but the failures, so taking from it costs nothing then).
cr_ssl_status classify(SSL *ssl, int ret, struct cr_ssl_error *error) {
    int code = SSL_get_error(ssl, ret);
    switch (code) {
        case SSL_ERROR_NONE:
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
        case SSL_ERROR_WANT_X509_LOOKUP:
        case SSL_ERROR_WANT_CONNECT:
        case SSL_ERROR_WANT_ACCEPT:
            return CR_SSL_WOULD_BLOCK;
        default:
            *error = {ret, code, ERR_get_error()};
            return code == SSL_ERROR_ZERO_RETURN ? CR_SSL_CLOSED : CR_SSL_FAILED;
    }
}
}  // namespace

void cr_ssl_session_client(cr_ssl_session *session) {
    SSL_set_connect_state(session->md);
}

bool cr_ssl_session_peer(cr_ssl_session *session, const char *host, std::string *message) {
    unsigned char address[sizeof(in6_addr)];
    bool literal =
        inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
    bool ok = true;
    // Server name indication carries host names only; an empty one cannot be sent.
    if (!literal && host[0] != '\0') ok = SSL_set_tlsext_host_name(session->md, host) == 1;
    if (ok && (SSL_get_verify_mode(session->md) & SSL_VERIFY_PEER) != 0) {
        SSL_set_hostflags(session->md, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        // An empty name would clear the name check instead of making one.
        ok = host[0] != '\0' &&
             (literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->md), host) == 1
                      : SSL_set1_host(session->md, host) == 1);
    }
    return ok || failed(message, "failed to name the SSL peer", ERR_get_error());
}

bool cr_ssl_session_connect(cr_ssl_session *session, std::string *message) {
    SSL_set_connect_state(session->md);
    int ret = SSL_connect(session->md);
    if (ret > 0) return true;
    struct cr_ssl_error e;
    if (classify(session->md, ret, &e) == CR_SSL_WOULD_BLOCK) return true;
    tolvane_net_append(message, "error: SSL accept error: %s.\n", cr_ssl_strerror(&e));
    return false;
}

cr_ssl_status cr_ssl_session_handshake(cr_ssl_session *session, struct cr_ssl_error *error) {
    int ret = SSL_do_handshake(session->md);
    if (ret == 1) return CR_SSL_OK;
    // A close alert in the middle of the handshake is as much a failure as any other.
    return classify(session->md, ret, error) == CR_SSL_WOULD_BLOCK ? CR_SSL_WOULD_BLOCK
                                                                   : CR_SSL_FAILED;
}

const char *cr_ssl_handshake_strerror(const cr_ssl_session *session,
                                      const struct cr_ssl_error *error) {
    static char buffer[512];
    long verified = SSL_get_verify_result(session->md);
    if (ERR_GET_REASON(error->reason) == SSL_R_CERTIFICATE_VERIFY_FAILED && verified != X509_V_OK) {
        snprintf(buffer, sizeof buffer, "certificate verify failed: %s",
                 X509_verify_cert_error_string(verified));
        return buffer;
    }
    const char *reason = error->reason != 0 ? ERR_reason_error_string(error->reason) : nullptr;
    return reason != nullptr ? reason : cr_ssl_strerror(error);
}

bool cr_ssl_session_established(const cr_ssl_session *session) {
    return SSL_is_init_finished(session->md);
}

void cr_ssl_session_free(cr_ssl_session *session) {
    SSL_free(session->md);
    session->md = nullptr;
}

void cr_ssl_free(cr_ssl *ctx) {
    SSL_CTX_free(ctx->md);
    ctx->md = nullptr;
}

int cr_ssl_session_read(cr_ssl_session *session, void *data, int size, cr_ssl_status *status,
                        struct cr_ssl_error *error) {
    int n = SSL_read(session->md, data, size);
    *status = n > 0 ? CR_SSL_OK : classify(session->md, n, error);
    return n > 0 ? n : 0;
}

int cr_ssl_session_write(cr_ssl_session *session, const void *data, int size, cr_ssl_status *status,
                         struct cr_ssl_error *error) {
    int n = SSL_write(session->md, data, size);
    *status = n > 0 ? CR_SSL_OK : classify(session->md, n, error);
    return n > 0 ? n : 0;
}

int cr_ssl_session_feed(cr_ssl_session *session, const void *data, int size) {
    return BIO_write(SSL_get_rbio(session->md), data, size);
}

int cr_ssl_session_flush(cr_ssl_session *session, void *data, int size) {
    return BIO_read(SSL_get_wbio(session->md), data, size);
}

cr_ssl_status cr_ssl_session_shutdown(cr_ssl_session *session) {
    int r = SSL_shutdown(session->md);
    if (r == 1) return CR_SSL_OK;
    struct cr_ssl_error ignored;
    // Only a failure ends the close; a close alert that crossed ours changes nothing.
    if (r == -1 && classify(session->md, r, &ignored) == CR_SSL_FAILED) return CR_SSL_FAILED;
    return CR_SSL_WOULD_BLOCK;
}

const char *cr_ssl_strerror(const struct cr_ssl_error *error) {
    static char buffer[512];
    if (error->reason != 0) {
        char text[256];
        ERR_error_string_n(error->reason, text, sizeof text);
        snprintf(buffer, sizeof buffer, "SSL error: %s", text);
        return buffer;
    }
    switch (error->code) {
        case SSL_ERROR_SSL:
            return "unknown protocol error";
        case SSL_ERROR_SYSCALL:
            return error->ret == -1  ? "I/O error"
                   : error->ret == 0 ? "unexpected EOF"
                                     : "syscall error";
        default:
            return "unknown error";
    }
}
