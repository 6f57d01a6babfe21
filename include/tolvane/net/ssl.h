// A thin TLS layer for the session writer: a client context chosen by method name, sessions
// whose network side is a pair of memory buffers (the event loop moves the bytes), and short
// texts for the library's error states. Every TLS library call of the program is behind this
// header, so callers never see the library's own types or error codes.
#pragma once

#include <string>

// The library's handles, declared here so that no caller includes the library's headers.
struct ssl_ctx_st;
struct ssl_st;

struct cr_ssl {
    struct ssl_ctx_st *md;
};

struct cr_ssl_session {
    struct ssl_st *md;
};

struct cr_ssl_error {
    int ret;               // what the failing call returned
    int code;              // the library's reading of that result
    unsigned long reason;  // a queued library error, 0 when none
};

// What became of a read, write or handshake step that moved nothing.
typedef enum {
    CR_SSL_OK = 0,           // bytes moved
    CR_SSL_WOULD_BLOCK = 1,  // nothing now: more must pass through the memory buffers first
    CR_SSL_CLOSED = 2,       // the peer closed the TLS session
    CR_SSL_FAILED = 3,       // a library failure; the cr_ssl_error says which
} cr_ssl_status;

// The failing calls below add their message to *message, in whole lines for standard error.

void cr_ssl_subsystem_init(void);
// False on an unsupported method, a context failure or an unloadable certificate.
// Methods: "TLSv1", "TLSv11", "TLSv12" (also none or empty) and "TLSv13" speak exactly that
// version; "TLS" the highest both sides share, 1.2 at least. Case does not matter.
bool cr_ssl_init(struct cr_ssl *ctx, const char *method, const char *certificate,
                 std::string *message);
// Makes the context refuse a server whose certificate chain does not lead to a certificate of
// `ca` (a PEM file or a directory of hashed certificates; the system's store when null), or that
// does not match the name given to cr_ssl_session_peer. False when `ca` cannot be used.
bool cr_ssl_verify(struct cr_ssl *ctx, const char *ca, std::string *message);
void cr_ssl_free(struct cr_ssl *ctx);
bool cr_ssl_session_init(struct cr_ssl_session *session, struct cr_ssl *ctx, std::string *message);
// Gives the session its memory buffers; false when memory is short.
bool cr_ssl_session_memory(struct cr_ssl_session *session, std::string *message);
// Makes the session the client end of the handshake.
void cr_ssl_session_client(struct cr_ssl_session *session);
// Names the server: sent in the handshake (SNI) unless it is an IP address, and, when the context
// verifies, what the certificate must match.
bool cr_ssl_session_peer(struct cr_ssl_session *session, const char *host, std::string *message);
bool cr_ssl_session_connect(struct cr_ssl_session *session, std::string *message);
// Takes the handshake as far as the bytes fed so far allow: CR_SSL_OK once it has completed,
// CR_SSL_WOULD_BLOCK while it waits for the peer, CR_SSL_FAILED (and *error) when it failed.
cr_ssl_status cr_ssl_session_handshake(struct cr_ssl_session *session, struct cr_ssl_error *error);
// Why a handshake failed, for a message: "certificate verify failed: <reason>" when the peer's
// certificate was refused, otherwise the library's reason. Overwritten by the next call.
const char *cr_ssl_handshake_strerror(const struct cr_ssl_session *session,
                                      const struct cr_ssl_error *error);
// True once the handshake has completed.
bool cr_ssl_session_established(const struct cr_ssl_session *session);
void cr_ssl_session_free(struct cr_ssl_session *session);

// Decrypts or encrypts at most `size` bytes: the count moved (> 0), or 0 with *status saying
// why nothing moved (*error is filled unless the call would block).
int cr_ssl_session_read(struct cr_ssl_session *session, void *data, int size, cr_ssl_status *status,
                        struct cr_ssl_error *error);
int cr_ssl_session_write(struct cr_ssl_session *session, const void *data, int size,
                         cr_ssl_status *status, struct cr_ssl_error *error);
// Hands bytes received from the network to the session: the count taken, 0 or less when none
// was, -2 when the buffer cannot take writes.
int cr_ssl_session_feed(struct cr_ssl_session *session, const void *data, int size);
// Moves up to `size` bytes that the session produced for the network into `data`: the count,
// 0 or less when there are none, -2 when the buffer cannot be read.
int cr_ssl_session_flush(struct cr_ssl_session *session, void *data, int size);
// Sends or completes the close alert: CR_SSL_OK once both sides have closed, CR_SSL_FAILED on
// a protocol or system failure, otherwise CR_SSL_WOULD_BLOCK (the peer's alert is still due).
cr_ssl_status cr_ssl_session_shutdown(struct cr_ssl_session *session);

// The text for an error; overwritten by the next call.
const char *cr_ssl_strerror(const struct cr_ssl_error *error);
