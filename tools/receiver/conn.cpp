#include "conn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace rx {

void log(const char *fmt, ...) {
    char line[1024];
    int n = snprintf(line, sizeof line, "tolvane-receiver: ");
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    if (m < 0) m = 0;
    size_t len = std::min(sizeof line - 2, static_cast<size_t>(n) + static_cast<size_t>(m));
    line[len++] = '\n';
    ssize_t w = write(2, line, len);
    (void)w;  // nothing sensible is left to do when standard error is gone
}

bool is_loopback(const std::string &address) {
    in_addr a4;
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6;
    if (inet_pton(AF_INET6, address.c_str(), &a6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&a6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a6) && a6.s6_addr[12] == 127;
}

int listen_on(const std::string &address, int port, int *bound) {
    sockaddr_storage ss{};
    socklen_t len;
    auto *s4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *s6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, address.c_str(), &s4->sin_addr) == 1) {
        s4->sin_family = AF_INET;
        s4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *s4;
    } else if (inet_pton(AF_INET6, address.c_str(), &s6->sin6_addr) == 1) {
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *s6;
    } else {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    *bound = ntohs(ss.ss_family == AF_INET ? s4->sin_port : s6->sin6_port);
    return fd;
}

Stream::~Stream() {
    close(fd_);
}

ssize_t Stream::read(char *buf, size_t n) {
    while (true) {
        ssize_t r = ::read(fd_, buf, n);
        if (r >= 0 || errno != EINTR) return r;
    }
}

bool Stream::write_all(const char *buf, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd_, buf, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void Stream::reset() {
    linger now{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

void Stream::finish() {
    // Closing with unread input makes the kernel send a reset, and the peer may then lose a
    // reply it has not read yet; so stop writing and swallow input for a short while.
    shutdown(fd_, SHUT_WR);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    size_t budget = 16u << 20;
    char sink[65536];
    while (budget > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t r = ::read(fd_, sink, sizeof sink);
        if (r <= 0) break;
        budget -= std::min(budget, static_cast<size_t>(r));
    }
}

}  // namespace rx
