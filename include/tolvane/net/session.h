// The session protocol's wire records (all integers little-endian, records packed) and the codec
// that cuts response records out of the bytes received.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tolvane/net/cbuf.h"

typedef enum {
    CR_SESSION_TOKEN = 1,
    CR_SESSION_TOKEN_PUT = 2,
    CR_SESSION_TOKEN_PUT_ONCE = 3,
} cr_session_command_code;

typedef enum : uint32_t {  // as on the wire: a server may send any value
    CR_SESSION_RESPONSE_OK = 0,
    CR_SESSION_RESPONSE_CHAIN = 1,
    CR_SESSION_RESPONSE_ERROR = 2,
} cr_session_response_status;

typedef enum : uint64_t {  // as on the wire (an error's substatus): any value may come
    CR_SESSION_ERROR_PARSE = 0,
    CR_SESSION_ERROR_EXISTS = 1,
    CR_SESSION_ERROR_INTERNAL = 2,
    CR_SESSION_ERROR_TOKEN = 3,
    CR_SESSION_ERROR_PROTOCOL = 4,
    CR_SESSION_ERROR_MAX = 5,
} cr_session_error_code;

// Sent once, first: the bytes 00 00 41 41.
struct __attribute__((packed)) cr_session_header {
    uint16_t endian;
    uint16_t version;
};

struct __attribute__((packed)) cr_session_token {
    unsigned char key[32];
};

struct __attribute__((packed)) cr_session_token_put {
    unsigned char key[32];
    uint64_t payload;  // payload length in bytes
};

// Every command has the put layout; the payload follows it directly.
struct __attribute__((packed)) cr_session_command {
    uint8_t command;
    uint8_t padding[4];
    union {
        struct cr_session_token token;
        struct cr_session_token_put put;
    } payload;
};

// The head of a response record; its body follows.
struct __attribute__((packed)) cr_session_response_pb {
    uint32_t sequence;
    uint32_t status;
    uint64_t substatus;
    uint64_t length;  // 0: no body; all ones: text up to and including a zero byte
};

static_assert(sizeof(cr_session_header) == 4);
static_assert(sizeof(cr_session_command) == 45);
static_assert(offsetof(cr_session_command, payload.put.payload) == 37);
static_assert(sizeof(cr_session_response_pb) == 24);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire format is little-endian");

// The text for an error code; the empty text for codes past the known ones.
const char *cr_session_strerror(cr_session_error_code code);

// One response record as the writer hands it on.
struct tolvane_writer_response {
    uint32_t status;
    uint64_t substatus;
    uint32_t sequence;
    uint32_t length;
    const char *buffer;  // inside the writer's read buffer; valid during the callback only
};

cr_session_response_status tolvane_writer_response_status(
    const struct tolvane_writer_response *response);
cr_session_error_code tolvane_writer_response_error_code(
    const struct tolvane_writer_response *response);
const char *tolvane_writer_response_string(const struct tolvane_writer_response *response,
                                           size_t *length);

// The largest response body taken, a text body's zero byte included; a larger one ends the
// upload ("response body too large.").
enum { TOLVANE_WRITER_REPLY_MAX = 1 << 20 };

// Response records cut from the bytes received, whatever pieces they arrive in: feeding a
// stream whole or in any split gives the same records and the same end. A text body (length all
// ones) is searched for its zero byte once, as it arrives.
struct tolvane_writer_replies {
    cr_cbuf_t *buffer;  // received bytes not yet taken, from the start of a record
    uint32_t taken;     // bytes of the record handed out last; dropped by the next call
    uint32_t scanned;   // bytes of a text body already searched in vain for its zero byte
};
typedef enum {
    TOLVANE_WRITER_REPLY_MORE = 0,       // no complete record yet
    TOLVANE_WRITER_REPLY_RECORD = 1,     // one record; its body is valid until the next call
    TOLVANE_WRITER_REPLY_TOO_LARGE = 2,  // the next record's body passes the limit; final
} tolvane_writer_reply_result;

bool tolvane_writer_replies_init(struct tolvane_writer_replies *replies);
void tolvane_writer_replies_free(struct tolvane_writer_replies *replies);
// Adds received bytes; false when memory is short.
bool tolvane_writer_replies_feed(struct tolvane_writer_replies *replies, const void *bytes,
                                 size_t count);
// Drops the record handed out last and looks for the next one.
tolvane_writer_reply_result tolvane_writer_replies_next(struct tolvane_writer_replies *replies,
                                                        struct tolvane_writer_response *record);
// Bytes received after the record handed out last: the start of records still to come.
uint32_t tolvane_writer_replies_held(const struct tolvane_writer_replies *replies);
