// The session writer: uploads trace files over the binary session protocol on one TCP
// connection to a resolved writer server, optionally inside TLS. It tells its caller when the
// connection is up and hands on each response; from those callbacks the caller enqueues the
// next command. It owns its idle rule: no progress for 300 seconds ends the process.
#pragma once

#include <netdb.h>
#include <uv.h>

#include <cstdint>
#include <ctime>

#include "tolvane/cbuf.h"
#include "tolvane/cf_universe.h"
#include "tolvane/network.h"
#include "tolvane/session.h"
#include "tolvane/ssl.h"

typedef enum {
    TOLVANE_NETWORK_RUNNING = 0,
    TOLVANE_NETWORK_SHUTDOWN_IN_PROGRESS = 1,
    TOLVANE_NETWORK_SHUTDOWN_COMPLETE = 2,
} tolvane_network_shutdown_state;

struct tolvane_writer_response {
    cr_session_command_code code;
    uint32_t status;
    uint64_t substatus;
    uint32_t sequence;
    uint32_t length;
    const char *buffer;  // inside the writer's read buffer; valid during the callback only
};

struct tolvane_writer;
typedef void (*tolvane_writer_cb_t)(struct tolvane_writer *writer,
                                    struct tolvane_writer_response *response);

// What the caller hears, all on the loop thread.
struct tolvane_writer_callbacks {
    // The connection is up (with TLS, the handshake has started) and nothing has been sent:
    // enqueue the first command.
    void (*connected)(struct tolvane_writer *writer);
    // One response record, in order. Enqueue the next command, or nothing: the writer then
    // closes the connection and the process ends with status 0.
    tolvane_writer_cb_t response;
    // The writer holds no reference to this payload any more (every byte of it has been handed
    // to the connection). Optional.
    void (*released)(struct tolvane_writer *writer, const void *payload);
    // Asked whether the payload still holds what its source holds: before its last bytes leave
    // (so a payload that changed never arrives whole), and when a write fails while it is being
    // sent. When it does not, the callback says so and ends the process; when it returns,
    // sending goes on (or the write error is reported as such). Optional.
    void (*check_intact)(struct tolvane_writer *writer, const void *payload);
};

struct tolvane_writer {
    const char *error;  // part of the record; nothing sets or reads it
    tolvane_cf_universe_t *universe;
    tolvane_cf_server_t *server;
    uv_tcp_t tcp;
    uv_connect_t connect;
    uv_write_t write;  // part of the record; each write has a request of its own
    void *handle;      // part of the record; unused
    struct {
        bool use;
        struct cr_ssl context;  // created for every writer, TLS or not
        struct cr_ssl_session session;
    } ssl;
    tolvane_network_shutdown_state shutdown;
    time_t last_activity;    // clock second of the last progress; 0 until connected
    size_t last_write_size;  // bytes handed to the loop and not yet seen leaving (plain only)
    // Bytes handed to the loop whose write callback has not run. A write the socket takes at
    // once completes only on the loop's next turn, and its memory lives until then.
    size_t in_loop;
    uint64_t send_time;  // taken after each send; nothing reads it
    struct tolvane_writer_callbacks cb;
    tolvane_cf_token_t *token;
    struct {
        struct cr_session_header header;
        struct cr_session_command command;
        const unsigned char *payload;
        uint64_t target;
        cr_cbuf_t *read;
        cr_cbuf_t *write;
    } buffer;
    struct {
        cr_session_command_code code;  // copied into every response; stays 0
        uint32_t sequence;             // part of the record; stays 0
        uint32_t head;                 // commands answered
        uint32_t tail;                 // commands enqueued
        uint32_t cursor;               // offset in buffer.read of the next unread response record
    } command;
    uint32_t disconnect_after;
    // Payload bytes of the command being sent that are not yet handed on: sent straight from
    // the caller's memory on a plain connection, encrypted piece by piece with TLS.
    struct {
        const unsigned char *data;
        uint64_t left;
        // On a plain connection, not 0 while a check (check_intact) is due before the payload's
        // end leaves: then the last `held` bytes wait until the rest has been written.
        uint64_t held;
        const void *source;  // the payload being sent, until it is released; null between
    } pending;
    unsigned int writes_outstanding;
    bool cut_off;                      // the payload was cut short on purpose: end once it has left
    struct tolvane_network_tick tick;  // the idle check, once a second
};
typedef struct tolvane_writer tolvane_writer_t;

// Starts connecting to `server`, a writer server of the universe (whose TLS settings apply), at
// the first IPv4 address among `addresses` (its resolved names; still the caller's). Null when
// the connection cannot be started, mostly after printing why. Needs the network runtime.
tolvane_writer_t *tolvane_writer_create(tolvane_cf_universe_t *universe,
                                        tolvane_cf_server_t *server,
                                        const struct addrinfo *addresses, tolvane_cf_token_t *token,
                                        const struct tolvane_writer_callbacks *callbacks);
// Fills the one command slot, to be sent when the callback returns. The payload is borrowed
// until `released` runs for it (or the process ends); at most disconnect_after of its bytes
// are sent, and a payload cut short that way ends the process with status 0 once it has left.
void tolvane_writer_enqueue(tolvane_writer_t *writer, cr_session_command_code code,
                            const void *payload, size_t length, uint32_t disconnect_after);
cr_session_response_status tolvane_writer_response_status(
    const struct tolvane_writer_response *response);
cr_session_error_code tolvane_writer_response_error_code(
    const struct tolvane_writer_response *response);
const char *tolvane_writer_response_string(const struct tolvane_writer_response *response,
                                           size_t *length);

// Finds the next complete response record in data[0..available): true with the head and the
// body's length once it has all arrived. Fails (false, *error set) on a body of 4 GiB or more.
bool tolvane_writer_parse_response(const unsigned char *data, size_t available,
                                   struct cr_session_response_pb *head, uint32_t *body_length,
                                   const char **error);
