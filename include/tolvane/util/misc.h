// Allocation functions that end the process when memory runs out, a thread-safe error text,
// a symbolic-link reader, the trace UUID text form and a per-thread pool of random bytes.
#pragma once

#include <cstddef>

struct cr_uuid {
    unsigned char uuid[16];
};
typedef struct cr_uuid cr_uuid_t;

void *tolvane_xmalloc(size_t size);
char *tolvane_xstrdup(const char *str);
char *tolvane_xstrndup(const char *str, size_t n);
char *tolvane_xasprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Message for error number n; valid until the next call in the same thread. Keeps errno.
const char *tolvane_strerror(int n);

// Reads a symbolic link, whatever the length of its target (the caller frees it). False, with
// *result null, on failure.
bool tolvane_readlink(char **result, const char *path);

// Writes 2n lowercase hexadecimal digits of the n bytes and a NUL.
void tolvane_hex_encode(char *out, const void *bytes, size_t n);
// Writes 32 lowercase hexadecimal digits and a NUL; out holds at least 33 bytes.
void tolvane_uuid_to_string(char *out, const cr_uuid_t *uuid);

// Opens /dev/urandom as this thread's random device; ends the process on failure.
void tolvane_random_init(void);
// Uses an already open descriptor as this thread's random device and empties the pool.
void tolvane_random_init_fd(int fd);
// Copies length (at most 4096) random bytes to out, refilling the pool in 4096-byte blocks.
void tolvane_random_write(void *out, size_t length);
