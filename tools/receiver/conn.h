// Sockets for the receiver: loopback listeners, a blocking byte stream over an accepted
// connection (plain here, TLS in tls.h) and the one-line log on standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace rx {

// One line on standard error; a single write keeps lines from different threads whole.
void log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Whether text is a numeric IPv4 or IPv6 loopback address.
bool is_loopback(const std::string &address);
// A listening socket on address and port (0: the system chooses); the bound port goes to
// *bound. -1 with errno set on failure.
int listen_on(const std::string &address, int port, int *bound);

class Stream {
   public:
    explicit Stream(int fd) : fd_(fd) {}
    virtual ~Stream();  // closes the socket at once
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // False when the connection cannot be used (a failed TLS handshake, say).
    virtual bool handshake() { return true; }
    // The negotiated TLS version ("TLSv1.2"), or null on a plain connection.
    virtual const char *tls_version() const { return nullptr; }
    // Bytes read; 0 at the end of the stream; -1 on an error or the idle time limit.
    virtual ssize_t read(char *buf, size_t n);
    virtual bool write_all(const char *buf, size_t n);
    // An orderly close: what was written reaches the peer instead of being lost to a reset
    // provoked by input it still sends.
    virtual void finish();
    // Makes the coming close a reset (RST) rather than an orderly end.
    void reset();

   protected:
    int fd_;
};

}  // namespace rx
