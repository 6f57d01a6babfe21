#include "tolvane/util/misc.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolvane/util/fatal.h"

void *tolvane_xmalloc(size_t size) {
    void *p = malloc(size);
    if (p == nullptr) tolvane_errx(1, "error: %s\n", tolvane_strerror(errno));
    return p;
}

char *tolvane_xstrdup(const char *str) {
    char *p = strdup(str);
    if (p == nullptr) tolvane_errx(1, "error: xstrdup: out of memory\n");
    return p;
}

char *tolvane_xstrndup(const char *str, size_t n) {
    char *p = strndup(str, n);
    if (p == nullptr) tolvane_errx(1, "error: xstrndup: out of memory\n");
    return p;
}

char *tolvane_xasprintf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *p;
    int n = vasprintf(&p, fmt, ap);
    va_end(ap);
    if (n < 0) tolvane_errx(1, "error: %s\n", tolvane_strerror(errno));
    return p;
}

const char *tolvane_strerror(int n) {
    static thread_local char buffer[256];
    int saved = errno;
    const char *text = strerror_r(n, buffer, sizeof buffer);
    errno = saved;
    return text;
}

bool tolvane_readlink(char **result, const char *path) {
    *result = nullptr;
    // readlink cuts a target that does not fit without saying so: a buffer it fills completely
    // may have cut, so the read is repeated with a larger one.
    for (size_t size = 256;; size *= 2) {
        auto *buffer = static_cast<char *>(tolvane_xmalloc(size));
        ssize_t n = readlink(path, buffer, size);
        if (n < 0) {
            int e = errno;
            free(buffer);
            errno = e;
            return false;
        }
        if (static_cast<size_t>(n) < size) {
            buffer[n] = '\0';
            *result = buffer;
            return true;
        }
        free(buffer);
    }
}

void tolvane_hex_encode(char *out, const void *bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto *b = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = digits[b[i] >> 4];
        out[2 * i + 1] = digits[b[i] & 0xf];
    }
    out[2 * n] = '\0';
}

void tolvane_uuid_to_string(char *out, const cr_uuid_t *uuid) {
    tolvane_hex_encode(out, uuid->uuid, sizeof uuid->uuid);
}

namespace {
// Each thread draws from its own pool, so no lock is needed.
struct random_source {
    int random_fd = -1;
    unsigned char buffer[4096];
    size_t buffer_cursor = 0;  // bytes at the end of the pool not yet handed out
};
thread_local random_source rng;
}  // namespace

void tolvane_random_init(void) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) tolvane_perror_exit("error: failed to initialize random number generator");
    tolvane_random_init_fd(fd);
}

void tolvane_random_init_fd(int fd) {
    rng.random_fd = fd;
    rng.buffer_cursor = 0;
}

static void random_refill(void) {
    size_t have = 0;
    while (have < sizeof rng.buffer) {
        ssize_t n = read(rng.random_fd, rng.buffer + have, sizeof rng.buffer - have);
        if (n < 0 && errno == EINTR) continue;
        // A device that runs dry would otherwise be read again for ever.
        if (n == 0) errno = EIO;
        if (n <= 0) tolvane_perror_exit("error: failed to acquire random number");
        have += static_cast<size_t>(n);
    }
}

void tolvane_random_write(void *out, size_t length) {
    // Larger requests than one pool are served pool by pool rather than overrun it.
    while (length > sizeof rng.buffer) {
        tolvane_random_write(out, sizeof rng.buffer);
        out = static_cast<unsigned char *>(out) + sizeof rng.buffer;
        length -= sizeof rng.buffer;
    }
    if (rng.buffer_cursor >= length) {
        memcpy(out, rng.buffer + sizeof rng.buffer - rng.buffer_cursor, length);
        rng.buffer_cursor -= length;
        return;
    }
    random_refill();
    memcpy(out, rng.buffer, length);
    rng.buffer_cursor = sizeof rng.buffer - length;
}
