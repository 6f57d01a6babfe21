#include "tolvane/net/cbuf.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tolvane/net/ssl.h"
#include "tolvane/util/misc.h"

static_assert(offsetof(cr_cbuf, payload) <= CR_CBUF_HEADER_SIZE);

namespace {
const char kNoMemory[] = "memory allocation";

bool read_setup(cr_cbuf_t **b, int size, uint32_t *window) {
    uint32_t free_space = (*b)->capacity - (*b)->cursor.write;
    *window = size < 0 ? std::max<uint32_t>(free_space, 4096) : static_cast<uint32_t>(size);
    if (!cr_cbuf_reserve(b, *window)) {
        (*b)->error = kNoMemory;
        return false;
    }
    return true;
}

// A TLS call that moved nothing, in the buffer's terms.
cr_cbuf_error_t ssl_failure(cr_cbuf_t *b, cr_ssl_status status, const struct cr_ssl_error &e) {
    switch (status) {
        case CR_SSL_CLOSED:
            return CR_CBUF_EOF;
        case CR_SSL_WOULD_BLOCK:
            return CR_CBUF_EAGAIN;
        default:
            b->error = cr_ssl_strerror(&e);
            return CR_CBUF_ERROR;
    }
}
}  // namespace

cr_cbuf_t *cr_cbuf_create(uint32_t size) {
    uint64_t block = size == 0 ? 4096 : uint64_t{size} + CR_CBUF_HEADER_SIZE;
    if (block > UINT32_MAX) return nullptr;
    auto *b = static_cast<cr_cbuf_t *>(malloc(block));
    if (b == nullptr) return nullptr;
    b->cursor.read = b->cursor.write = 0;
    b->ssl_session = nullptr;
    b->error = nullptr;
    b->capacity = static_cast<uint32_t>(block - CR_CBUF_HEADER_SIZE);
    return b;
}

void cr_cbuf_destroy(cr_cbuf_t *buffer) {
    free(buffer);
}

bool cr_cbuf_reserve(cr_cbuf_t **buffer, uint32_t bytes) {
    cr_cbuf_t *b = *buffer;
    if (b->capacity - b->cursor.write >= bytes) return true;
    // Doubling in 64 bits: a block that would pass 4 GiB is refused rather than wrapped.
    uint64_t size = 2 * uint64_t{b->capacity} + 64;
    while (size - b->cursor.write - CR_CBUF_HEADER_SIZE < bytes) size *= 2;
    if (size > UINT32_MAX) return false;
    auto *grown = static_cast<cr_cbuf_t *>(realloc(b, size));
    if (grown == nullptr) return false;
    grown->capacity = static_cast<uint32_t>(size - CR_CBUF_HEADER_SIZE);
    *buffer = grown;
    return true;
}

bool cr_cbuf_append(cr_cbuf_t **buffer, const void *bytes, uint32_t count) {
    if (!cr_cbuf_reserve(buffer, count)) return false;
    cr_cbuf_t *b = *buffer;
    if (count > 0) memcpy(b->payload + b->cursor.write, bytes, count);
    b->cursor.write += count;
    return true;
}

void cr_cbuf_drain(cr_cbuf_t *b, uint32_t count) {
    uint64_t read = uint64_t{b->cursor.read} + count;
    if (read >= b->cursor.write) {
        b->cursor.read = b->cursor.write = 0;
        return;
    }
    uint32_t left = b->cursor.write - static_cast<uint32_t>(read);
    memmove(b->payload, b->payload + read, left);
    b->cursor.write = left;
    b->cursor.read = 0;
}

int cr_cbuf_read(int fd, cr_cbuf_t **buffer, int size) {
    uint32_t window;
    if (!read_setup(buffer, size, &window)) return -1;
    int total = 0;
    while (true) {
        cr_cbuf_t *b = *buffer;
        ssize_t n;
        do {
            n = read(fd, b->payload + b->cursor.write, window);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            b->error = tolvane_strerror(errno);
            return -1;
        }
        b->cursor.write += static_cast<uint32_t>(n);
        total += static_cast<int>(n);
        if (static_cast<uint32_t>(n) < window || size > 0) return total;
        if (!cr_cbuf_reserve(buffer, 4096)) {
            (*buffer)->error = kNoMemory;
            return -1;
        }
        window = 4096;
    }
}

int cr_cbuf_write(int fd, cr_cbuf_t *b, int size) {
    uint32_t length = cr_cbuf_length(b);
    if (length == 0) return 0;
    uint32_t amount = size > 0 ? static_cast<uint32_t>(size) : length;
    ssize_t n;
    do {
        n = write(fd, b->payload + b->cursor.read, amount);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        b->error = tolvane_strerror(errno);
        return -1;
    }
    cr_cbuf_drain(b, static_cast<uint32_t>(n));
    return static_cast<int>(amount - static_cast<uint32_t>(n));
}

cr_cbuf_error_t cr_cbuf_ssl_read(int fd, cr_cbuf_t **buffer, int size, uint32_t *added) {
    if ((*buffer)->ssl_session == nullptr) {
        int n = cr_cbuf_read(fd, buffer, size);
        *added = n < 0 ? 0 : static_cast<uint32_t>(n);
        if (n < 0) return errno == EAGAIN ? CR_CBUF_EAGAIN : CR_CBUF_ERROR;
        return n == 0 ? CR_CBUF_EOF : CR_CBUF_OK;
    }
    *added = 0;
    uint32_t window;
    if (!read_setup(buffer, size, &window)) return CR_CBUF_ERROR;
    while (true) {
        cr_cbuf_t *b = *buffer;
        cr_ssl_status status;
        struct cr_ssl_error e;
        int n = cr_ssl_session_read(b->ssl_session, b->payload + b->cursor.write,
                                    static_cast<int>(std::min<uint32_t>(window, INT32_MAX)),
                                    &status, &e);
        if (n <= 0) return ssl_failure(b, status, e);
        b->cursor.write += static_cast<uint32_t>(n);
        *added += static_cast<uint32_t>(n);
        if (!cr_cbuf_reserve(buffer, 4096)) {
            (*buffer)->error = kNoMemory;
            return CR_CBUF_ERROR;
        }
        window = 4096;
    }
}

cr_cbuf_error_t cr_cbuf_ssl_write(int fd, cr_cbuf_t *b, int size, uint32_t *written) {
    if (b->ssl_session == nullptr) {
        int n = cr_cbuf_write(fd, b, size);
        *written = n < 0 ? 0 : static_cast<uint32_t>(n);
        if (n < 0) return errno == EAGAIN ? CR_CBUF_EAGAIN : CR_CBUF_ERROR;
        return CR_CBUF_OK;
    }
    uint32_t length = cr_cbuf_length(b);
    if (length == 0) {
        *written = 0;
        return CR_CBUF_OK;
    }
    uint32_t amount =
        std::min<uint32_t>(size > 0 ? static_cast<uint32_t>(size) : length, INT32_MAX);
    cr_ssl_status status;
    struct cr_ssl_error e;
    int n = cr_ssl_session_write(b->ssl_session, b->payload + b->cursor.read,
                                 static_cast<int>(amount), &status, &e);
    if (n <= 0) return ssl_failure(b, status, e);
    cr_cbuf_drain(b, static_cast<uint32_t>(n));
    *written = amount - static_cast<uint32_t>(n);
    return CR_CBUF_OK;
}

uint32_t cr_cbuf_length(const cr_cbuf_t *b) {
    return b->cursor.write - b->cursor.read;
}

void cr_cbuf_memory(const cr_cbuf_t *b, const unsigned char **data, uint32_t *length) {
    *data = b->payload + b->cursor.read;
    *length = cr_cbuf_length(b);
}

const char *cr_cbuf_error(const cr_cbuf_t *b) {
    return b->error;
}

void cr_cbuf_ssl_attach(cr_cbuf_t *b, struct cr_ssl_session *session) {
    b->ssl_session = session;
}
