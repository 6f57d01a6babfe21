#include "tolvane/ssl.h"

#include <openssl/err.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tolvane/fatal.h"

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
    crypto_num_locks = CRYPTO_num_locks();
    crypto_locks = static_cast<pthread_mutex_t *>(
        calloc(static_cast<size_t>(crypto_num_locks), sizeof(pthread_mutex_t)));
    if (crypto_locks == nullptr) {
        fputs("error: Failed to allocate crypto locks.\n", stderr);
        tolvane_exit(1);
    }
    for (int i = 0; i < crypto_num_locks; i++) pthread_mutex_init(&crypto_locks[i], nullptr);
    CRYPTO_set_locking_callback(mutex_for_openssl);
    CRYPTO_THREADID_set_callback(thread_id_for_openssl);
#endif
    SSL_library_init();
    SSL_load_error_strings();
}

void cr_ssl_init(cr_ssl *ctx, const char *method, const char *certificate) {
    int version;
    if (method == nullptr || method[0] == '\0' || strcasecmp(method, "TLSv12") == 0) {
        version = TLS1_2_VERSION;
    } else if (strcasecmp(method, "TLSv11") == 0) {
        version = TLS1_1_VERSION;
    } else if (strcasecmp(method, "TLSv1") == 0) {
        version = TLS1_VERSION;
    } else {
        fprintf(stderr, "error: %s is not a supported SSL method on this system.\n", method);
        tolvane_exit(1);
    }
    ctx->md = SSL_CTX_new(TLS_client_method());
    if (ctx->md == nullptr) {
        struct cr_ssl_error e {
            0, 0, ERR_peek_last_error()
        };
        cr_ssl_fatal(&e, "failed to initialize SSL context");
    }
    // The context speaks exactly the configured version, as the fixed-version methods did.
    SSL_CTX_set_min_proto_version(ctx->md, version);
    SSL_CTX_set_max_proto_version(ctx->md, version);
    // Versions below 1.2 are refused at the library's default security level; a configuration
    // that asks for one gets it.
    if (version < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx->md, 0);
    if (certificate != nullptr && access(certificate, R_OK) == 0 &&
        SSL_CTX_use_certificate_file(ctx->md, certificate, SSL_FILETYPE_PEM) != 1) {
        struct cr_ssl_error e {
            0, 0, ERR_get_error()
        };
        cr_ssl_fatal(&e, "failed to load certificate file");
    }
}

bool cr_ssl_session_init(cr_ssl_session *session, cr_ssl *ctx) {
    session->md = SSL_new(ctx->md);
    if (session->md == nullptr) {
        struct cr_ssl_error e {
            0, 0, ERR_get_error()
        };
        cr_ssl_error(&e, "failed to fork SSL context");
        return false;
    }
    return true;
}

bool cr_ssl_session_memory(cr_ssl_session *session) {
    BIO *rbio = BIO_new(BIO_s_mem());
    BIO *wbio = BIO_new(BIO_s_mem());
    if (rbio == nullptr || wbio == nullptr) {
        fputs("error: failed to allocate memory.\n", stderr);
        tolvane_exit(1);
    }
    BIO_set_nbio(rbio, 1);
    BIO_set_nbio(wbio, 1);
    SSL_set_bio(session->md, rbio, wbio);
    return true;
}

static bool would_block(int code) {
    return code == SSL_ERROR_NONE || code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ||
           code == SSL_ERROR_WANT_X509_LOOKUP || code == SSL_ERROR_WANT_CONNECT ||
           code == SSL_ERROR_WANT_ACCEPT;
}

bool cr_ssl_session_connect(cr_ssl_session *session) {
    SSL_set_connect_state(session->md);
    int ret = SSL_connect(session->md);
    if (ret > 0) return true;
    int code = SSL_get_error(session->md, ret);
    if (would_block(code)) return true;
    struct cr_ssl_error e {
        ret, code, ERR_get_error()
    };
    cr_ssl_error(&e, "SSL accept error");
    return false;
}

const char *cr_ssl_strerror(const struct cr_ssl_error *error) {
    static thread_local char buffer[512];
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

void cr_ssl_error(const struct cr_ssl_error *error, const char *prefix) {
    fprintf(stderr, "error: %s: %s.\n", prefix, cr_ssl_strerror(error));
}

void cr_ssl_fatal(const struct cr_ssl_error *error, const char *prefix) {
    cr_ssl_error(error, prefix);
    tolvane_exit(1);
}
