// TLS for the receiver's listeners: a server context with a certificate made at start-up, and
// streams that run TLS over an accepted socket.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "conn.h"

namespace rx {

// A server context holding a fresh self-signed certificate for localhost, 127.0.0.1 and
// address, able to act as its own CA. Its PEM form is written to cert_out. Null after
// printing the reason.
SSL_CTX *make_tls_context(const std::string &address, const std::string &cert_out);

// A stream that runs TLS over fd, which it owns; call handshake() first.
std::unique_ptr<Stream> make_tls_stream(SSL_CTX *ctx, int fd);

}  // namespace rx
