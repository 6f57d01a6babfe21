// The cause lines that come before a failure's required line, as the tests expect them, and a
// loopback port that nothing listens on. libcurl's text says how long a connect took; tests
// compare it with the number masked.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "harness.h"

namespace e2e {

// "after <n> ms" in libcurl's text, as "after N ms".
inline std::string ms_masked(const std::string &text) {
    return std::regex_replace(text, std::regex("after [0-9]+ ms"), "after N ms");
}
inline Result ms_masked(Result r) {
    r.err = ms_masked(r.err);
    return r;
}

// The cause line of an HTTP connect refused at host:port, when the server is `server` (and the
// connection went through the proxy at `proxy`, when given).
inline std::string http_refused(const std::string &server, const std::string &host,
                                const std::string &port, const std::string &proxy = "") {
    return "error: the connection to " + server + (proxy.empty() ? "" : " through proxy " + proxy) +
           " failed during the TCP connect (Failed to connect to " + host + " port " + port +
           " after N ms: Couldn't connect to server: Connection refused).\n";
}

// A port on 127.0.0.1 that was free a moment ago, and nothing listens on.
inline std::string closed_port() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), n);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    close(s);
    return std::to_string(ntohs(a.sin_port));
}

}  // namespace e2e
