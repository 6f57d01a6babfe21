// TLS for the receiver's listeners: a server context with a certificate made at start-up, and
// streams that run TLS over an accepted socket.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "conn.h"

namespace rx {

struct TlsContexts {
    SSL_CTX *https = nullptr;    // the library's defaults
    SSL_CTX *session = nullptr;  // also TLS 1.0 and 1.1, for clients pinned to them
};

// Server contexts sharing one fresh self-signed certificate for localhost, 127.0.0.1 and
// address, able to act as its own CA. Its PEM form goes to cert_out and its private key's to
// key_out, each unless empty. False after logging the reason.
bool make_tls_contexts(const std::string &address, const std::string &cert_out,
                       const std::string &key_out, TlsContexts *out);

// A stream that runs TLS over fd, which it owns; call handshake() first.
std::unique_ptr<Stream> make_tls_stream(SSL_CTX *ctx, int fd);

}  // namespace rx
