// The session protocol's wire records. All integers are little-endian and records are packed.
#pragma once

#include <cstddef>
#include <cstdint>

typedef enum {
    CR_SESSION_TOKEN = 1,
    CR_SESSION_TOKEN_PUT = 2,
    CR_SESSION_TOKEN_PUT_ONCE = 3,
} cr_session_command_code;

typedef enum {
    CR_SESSION_RESPONSE_OK = 0,
    CR_SESSION_RESPONSE_CHAIN = 1,
    CR_SESSION_RESPONSE_ERROR = 2,
} cr_session_response_status;

typedef enum {
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
