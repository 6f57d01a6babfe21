// Why an HTTP transfer failed, in the words of the cause lines: the server (and a proxy the
// connection went through), the phase, and the reason libcurl or the system gave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "curl_writer_private.h"
#include "tolvane/util/text.h"

namespace curl_writer {
namespace {
// Whether two socket addresses are the same address and port.
bool same_address(const sockaddr_storage &a, const sockaddr_storage &b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
    const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
    return a.ss_family == AF_INET6 && x.sin6_port == y.sin6_port &&
           memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
}

// "address:port", an IPv6 address in brackets.
std::string address_text(const sockaddr_storage &a) {
    char text[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (a.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(a);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
        return std::string(text) + ":" + std::to_string(port);
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
    // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + std::string.
    std::string out = "[";
    out += text;
    out += "]:";
    out += std::to_string(port);
    return out;
}

}  // namespace

// Where libcurl connects, recorded so that a failure can name a proxy it went through.
curl_socket_t open_socket(void *userdata, curlsocktype purpose, struct curl_sockaddr *address) {
    auto *w = static_cast<tolvane_curl_writer *>(userdata);
    if (purpose == CURLSOCKTYPE_IPCXN && address->addrlen <= sizeof w->opened) {
        w->opened = {};
        memcpy(&w->opened, &address->addr, address->addrlen);
        w->sockets++;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// libcurl keeps no time of a TCP connect that the TLS handshake then did not follow, so whether a
// connection was made is seen as libcurl closes its sockets.
int close_socket(void *userdata, curl_socket_t fd) {
    auto *w = static_cast<tolvane_curl_writer *>(userdata);
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0) w->peer_reached = true;
    return close(fd);
}

namespace {
// The server as cause lines name it, with the proxy the connection went through, if any.
std::string peer(const tolvane_curl_writer *w, CURLcode result) {
    std::string text = w->display;
    if (result == CURLE_COULDNT_RESOLVE_PROXY) return text + " through a proxy";
    if (w->sockets == 0 || w->server_addresses.empty()) return text;
    for (const sockaddr_storage &a : w->server_addresses) {
        if (same_address(a, w->opened)) return text;
    }
    return text + " through proxy " + address_text(w->opened);
}
}  // namespace

// A transfer that opened no socket went over a connection that was already up.
const char *phase(const tolvane_curl_writer *w, CURLcode result) {
    if (result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_RESOLVE_PROXY)
        return "name resolution";
    bool reused = w->sockets == 0;
    curl_off_t connected = 0, secured = 0;
    long tunnel = 0;
    curl_easy_getinfo(w->curl_handle, CURLINFO_CONNECT_TIME_T, &connected);
    curl_easy_getinfo(w->curl_handle, CURLINFO_APPCONNECT_TIME_T, &secured);
    curl_easy_getinfo(w->curl_handle, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (!reused && !w->peer_reached && connected == 0) return "TCP connect";
    if (tunnel >= 300) return "proxy tunnel";
    if (w->https && !reused && secured == 0) return "TLS handshake";
    return "upload";
}

namespace {
// libcurl's text for a failure (its error buffer, else the code's text) and the system's reason
// where libcurl had one, or the runtime saw one on a socket, and the text does not say it
// already: "Couldn't connect to server" alone does not tell a refused connection from an
// unreachable network.
std::string reason(const tolvane_curl_writer *w, CURLcode result) {
    std::string text = w->err_curl[0] != '\0' ? w->err_curl : curl_easy_strerror(result);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    long os_errno = 0;
    if (curl_easy_getinfo(w->curl_handle, CURLINFO_OS_ERRNO, &os_errno) != CURLE_OK ||
        os_errno == 0)
        os_errno = w->transfer.socket_error;
    if (os_errno != 0) {
        const char *system = strerror(static_cast<int>(os_errno));
        if (text.find(system) == std::string::npos) text = text + ": " + system;
    }
    return tolvane_printable(text, TOLVANE_SERVER_TEXT_MAX);
}
}  // namespace

// For a transfer libcurl reports as failed, the line before the one required for it: a
// connection that was not made in time, a reply that came in part, or what failed in which
// phase.
std::string transfer_cause(tolvane_curl_writer *w, CURLcode result) {
    std::string cause;
    const char *during = phase(w, result);
    if (result == CURLE_OPERATION_TIMEDOUT && strcmp(during, "upload") != 0) {
        tolvane_net_append(&cause,
                           "error: the connection to %s timed out after %d s during the %s.\n",
                           peer(w, result).c_str(), w->connect_timeout, during);
    } else if (w->response_builder.allocated > 0) {
        tolvane_net_append(&cause, "error: the reply from %s was cut off (%s).\n", w->display,
                           reason(w, result).c_str());
    } else {
        tolvane_net_append(&cause, "error: the connection to %s failed during the %s (%s).\n",
                           peer(w, result).c_str(), during, reason(w, result).c_str());
    }
    return cause;
}

// For a reply that came whole but is not the JSON expected of it (an error page, an empty body):
// what it was.
std::string reply_cause(tolvane_curl_writer *w) {
    long status = 0;
    char *type = nullptr;
    curl_easy_getinfo(w->curl_handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(w->curl_handle, CURLINFO_CONTENT_TYPE, &type);
    size_t n = w->response_builder.allocated;
    std::string cause;
    tolvane_net_append(
        &cause, "error: the reply from %s was not the expected JSON (HTTP %ld, %s, %zu byte%s).\n",
        w->display, status,
        type != nullptr ? tolvane_printable(type, TOLVANE_SERVER_TEXT_MAX).c_str()
                        : "no content type",
        n, n == 1 ? "" : "s");
    return cause;
}
}  // namespace curl_writer
