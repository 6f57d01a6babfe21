// A thin TLS layer for the session writer: a client context chosen by method name, sessions
// whose network side is a pair of memory buffers (the event loop moves the bytes), and short
// texts for the library's error states.
#pragma once

#include <openssl/ssl.h>

struct cr_ssl {
    SSL_CTX *md;
};

struct cr_ssl_session {
    SSL *md;
};

struct cr_ssl_error {
    int ret;               // what the failing call returned
    int code;              // its SSL_get_error code
    unsigned long reason;  // a queued library error, 0 when none
};

void cr_ssl_subsystem_init(void);
// Ends the process on an unsupported method, a context failure or an unloadable certificate.
void cr_ssl_init(struct cr_ssl *ctx, const char *method, const char *certificate);
bool cr_ssl_session_init(struct cr_ssl_session *session, struct cr_ssl *ctx);
bool cr_ssl_session_memory(struct cr_ssl_session *session);
bool cr_ssl_session_connect(struct cr_ssl_session *session);
// The text for an error; per thread, overwritten by the next call.
const char *cr_ssl_strerror(const struct cr_ssl_error *error);
// Prints "error: <prefix>: <text>.\n"; cr_ssl_fatal then ends the process with status 1.
void cr_ssl_error(const struct cr_ssl_error *error, const char *prefix);
[[noreturn]] void cr_ssl_fatal(const struct cr_ssl_error *error, const char *prefix);
