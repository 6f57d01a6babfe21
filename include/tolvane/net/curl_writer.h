// The HTTP upload writer: posts trace files one at a time to an HTTP or HTTPS writer server,
// reusing one easy handle, and turns the JSON reply (or a transfer the network runtime had to
// give up) into the result its caller's completion callback receives.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

#include "tolvane/config/cf_universe.h"
#include "tolvane/net/network.h"
#include "tolvane/util/membuilder.h"

typedef enum {
    TOLVANE_CURL_WRITER_S_NONE = 0,
    TOLVANE_CURL_WRITER_S_INSECURE = 1,
    TOLVANE_CURL_WRITER_S_IN_MULTIHANDLE = 2,
    TOLVANE_CURL_WRITER_S_IN_TRANSMIT = 4,
    TOLVANE_CURL_WRITER_S_REPLY_TOO_LARGE = 8,  // the reply outgrew the limit below
    TOLVANE_CURL_WRITER_S_RETRIED = 16,         // the file is being sent again on a new connection
} tolvane_curl_writer_state;
typedef unsigned int tolvane_curl_writer_state_t;

// The most reply bytes a transfer collects; a longer reply fails the upload.
constexpr size_t TOLVANE_CURL_WRITER_REPLY_MAX = size_t{1} << 20;

typedef enum {
    TOLVANE_CURL_WRITER_F_NONE = 0,
    TOLVANE_CURL_WRITER_F_INSECURE = 1,
} tolvane_curl_writer_flags;
typedef unsigned int tolvane_curl_writer_flags_t;

typedef enum {
    TOLVANE_CURL_WRITER_RESPONSE_OK = 0,
    TOLVANE_CURL_WRITER_RESPONSE_FAILED = 1,
} tolvane_curl_writer_response_code;

struct tolvane_curl_writer_response {
    bool ok;
    bool errstr_needs_free;
    char *errstr;
};

struct tolvane_curl_writer;
typedef void (*tolvane_curl_writer_cb_t)(struct tolvane_curl_writer *writer,
                                         struct tolvane_curl_writer_response *response);

struct tolvane_curl_writer {
    CURL *curl_handle;
    tolvane_curl_writer_state_t state_flags;
    struct curl_slist *http_headers;
    char *filename;
    struct {
        const unsigned char *buf;
        size_t offset;
        size_t total;
        int fd;        // the file `buf` maps, or -1; owned until the transfer is done
        size_t fixed;  // the bytes before this offset always come from `buf`
    } read_state;
    // Set by the caller, optional: whether the body still holds what its source holds. Asked
    // once the body's last bytes have been copied out and before they are handed on; false
    // aborts the transfer, which then completes as failed.
    bool (*intact)(struct tolvane_curl_writer *writer);
    cr_mem_builder response_builder;
    uint64_t send_time;  // taken when the body starts to go out; nothing reads it
    tolvane_curl_writer_cb_t oncomplete;
    char err_curl[CURL_ERROR_SIZE];
    struct tolvane_network_transfer transfer;  // this writer's place on the multi handle
};
typedef struct tolvane_curl_writer tolvane_curl_writer_t;

// A writer for `server`, an HTTP or HTTPS writer server of the universe (whose transfer
// settings apply); null after printing the reason. Needs the network runtime initialised.
tolvane_curl_writer_t *tolvane_curl_writer_create(tolvane_cf_universe_t *universe,
                                                  tolvane_cf_server_t *server,
                                                  tolvane_cf_token_t *token,
                                                  tolvane_curl_writer_flags_t flags);
// Queues one POST; false after printing the reason. The bytes are borrowed until `oncomplete`
// has run, once, from the loop, for this file. `fd` is -1 or a descriptor of the file that `data`
// maps, which the writer then owns (it is closed before `oncomplete` runs): the body is read from
// it past its first `fixed` bytes (which the caller may have rewritten in memory), as the kernel
// copies from the page cache far more cheaply than this process can first touch each page of a
// large mapping. Whatever the file cannot give (it has shrunk) still comes from `data`.
bool tolvane_curl_writer_file_put(tolvane_curl_writer_t *writer, const char *filename,
                                  const void *data, size_t length, int fd, size_t fixed,
                                  tolvane_curl_writer_cb_t oncomplete);
void tolvane_curl_writer_destroy(tolvane_curl_writer_t *writer);

tolvane_curl_writer_response_code tolvane_curl_writer_response_code_get(
    const struct tolvane_curl_writer_response *response);
const char *tolvane_curl_writer_response_errstr_get(
    const struct tolvane_curl_writer_response *response);
const char *tolvane_curl_writer_filename_get(const tolvane_curl_writer_t *writer);
// Body bytes of the current transfer that have been sent so far.
uint64_t tolvane_curl_writer_sent(const tolvane_curl_writer_t *writer);
void tolvane_curl_writer_file_data_get(const tolvane_curl_writer_t *writer, const void **data,
                                       size_t *length);

// Turns a reply body (NUL-terminated, length bytes) into a response; the body alone decides.
struct tolvane_curl_writer_response tolvane_curl_writer_translate(const char *body, size_t length);
