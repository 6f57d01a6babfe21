// cr_cbuf: the session writer's byte buffer. One heap block holds a small header and the bytes,
// with a read and a write cursor; growth may move the block, so growing operations take the
// address of the caller's pointer. Reads and writes go to a descriptor or, with a TLS session
// attached, through that session.
#pragma once

#include <cstddef>
#include <cstdint>

struct cr_ssl_session;

struct cr_cbuf {
    struct {
        uint32_t read;   // first unconsumed byte
        uint32_t write;  // just past the last stored byte
    } cursor;
    struct cr_ssl_session *ssl_session;
    const char *error;  // why the last operation failed; not owned
    uint32_t capacity;
    unsigned char payload[];
};
typedef struct cr_cbuf cr_cbuf_t;

typedef enum {
    CR_CBUF_OK = 0,
    CR_CBUF_EAGAIN = 1,
    CR_CBUF_EOF = 2,
    CR_CBUF_ERROR = 3,
} cr_cbuf_error_t;

// The block is capacity + 32 bytes: 32 are set aside for the header.
enum { CR_CBUF_HEADER_SIZE = 32 };

cr_cbuf_t *cr_cbuf_create(uint32_t size);
void cr_cbuf_destroy(cr_cbuf_t *buffer);
bool cr_cbuf_reserve(cr_cbuf_t **buffer, uint32_t bytes);
bool cr_cbuf_append(cr_cbuf_t **buffer, const void *bytes, uint32_t count);
void cr_cbuf_drain(cr_cbuf_t *buffer, uint32_t count);
int cr_cbuf_read(int fd, cr_cbuf_t **buffer, int size);
int cr_cbuf_write(int fd, cr_cbuf_t *buffer, int size);
cr_cbuf_error_t cr_cbuf_ssl_read(int fd, cr_cbuf_t **buffer, int size, uint32_t *added);
cr_cbuf_error_t cr_cbuf_ssl_write(int fd, cr_cbuf_t *buffer, int size, uint32_t *written);

uint32_t cr_cbuf_length(const cr_cbuf_t *buffer);
void cr_cbuf_memory(const cr_cbuf_t *buffer, const unsigned char **data, uint32_t *length);
const char *cr_cbuf_error(const cr_cbuf_t *buffer);
void cr_cbuf_ssl_attach(cr_cbuf_t *buffer, struct cr_ssl_session *session);
