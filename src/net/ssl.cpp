// Every TLS library call of the program: context and session set-up, the memory-buffer transport,
// reads, writes, shutdown, and the one classification of the library's "nothing now" states.
#include "tolvane/ssl.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
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
    if (crypto_locks == nullptr) tolvane_fatal("error: Failed to allocate crypto locks.\n");
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
        tolvane_fatal("error: %s is not a supported SSL method on this system.\n", method);
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
    if (rbio == nullptr || wbio == nullptr) tolvane_fatal("error: failed to allocate memory.\n");
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

bool cr_ssl_session_connect(cr_ssl_session *session) {
    SSL_set_connect_state(session->md);
    int ret = SSL_connect(session->md);
    if (ret > 0) return true;
    struct cr_ssl_error e;
    if (classify(session->md, ret, &e) == CR_SSL_WOULD_BLOCK) return true;
    cr_ssl_error(&e, "SSL accept error");
    return false;
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
    tolvane_fatal("error: %s: %s.\n", prefix, cr_ssl_strerror(error));
}
