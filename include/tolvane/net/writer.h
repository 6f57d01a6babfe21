// The session writer: uploads trace files over the binary session protocol on one TCP
// connection to a resolved writer server, optionally inside TLS. It tells its caller when the
// connection is up and hands on each response; from those callbacks the caller enqueues the
// next command. It owns its idle rule: no progress for 300 seconds ends the process.
//
// Responses are matched to commands by order alone, so the writer takes exactly one record per
// command, and only once the command's payload has been written whole: a record that comes
// earlier, or when no command waits for one, ends the process with a protocol error (an early
// ERROR record is handed on first, so that its own message shows). Bodies are taken up to
// TOLVANE_WRITER_REPLY_MAX bytes. With TLS, encrypted bytes the loop holds stay under 4 MiB.
#pragma once

#include <netdb.h>
#include <uv.h>

#include <cstdint>
#include <ctime>

#include "tolvane/config/cf_universe.h"
#include "tolvane/net/cbuf.h"
#include "tolvane/net/network.h"
#include "tolvane/net/session.h"
#include "tolvane/net/ssl.h"

typedef enum {
    TOLVANE_NETWORK_RUNNING = 0,
    TOLVANE_NETWORK_SHUTDOWN_IN_PROGRESS = 1,
    TOLVANE_NETWORK_SHUTDOWN_COMPLETE = 2,
} tolvane_network_shutdown_state;

// When the first bytes of the record still arriving came: only one that came while its command
// waited, payload written, can be that command's answer.
typedef enum {
    TOLVANE_WRITER_IN_TIME = 0,
    TOLVANE_WRITER_UNASKED = 1,         // no command was waiting for an answer
    TOLVANE_WRITER_BEFORE_PAYLOAD = 2,  // the command's payload had not all been written
} tolvane_writer_arrival;

struct tolvane_writer;
typedef void (*tolvane_writer_cb_t)(struct tolvane_writer *writer,
                                    struct tolvane_writer_response *response);

// What the caller hears, all on the loop thread.
struct tolvane_writer_callbacks {
    // The connection is up (with TLS, the handshake has started) and nothing has been sent:
    // enqueue the first command.
    void (*connected)(struct tolvane_writer *writer);
    // The one response record to the command enqueued last. Enqueue the next command, or
    // nothing: the writer then closes the connection and the process ends with status 0.
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
    // Clock second of the last progress: connecting, the TLS handshake, a write completing, a
    // whole response record (not its pieces: a reply that trickles in is no progress); 0 until
    // connected.
    time_t last_activity;
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
        cr_cbuf_t *write;
    } buffer;
    struct tolvane_writer_replies replies;  // every byte received (decrypted with TLS)
    tolvane_writer_arrival arrival;         // of the record in `replies` still arriving
    struct {
        cr_session_command_code code;  // copied into every response; stays 0
        uint32_t sequence;             // part of the record; stays 0
        uint32_t head;                 // commands answered
        uint32_t tail;                 // commands enqueued
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
    uv_idle_t refill;  // with TLS: encrypts more of the payload on the loop's next turn
    struct {
        void *first;  // linked through each block's first bytes
        unsigned int count;
    } spare;       // with TLS: blocks of encrypted output already written, for the next ones
    bool cut_off;  // the payload was cut short on purpose: end once it has left
    // The payload's file (tolvane_writer_enqueue_file): its bytes from `fixed` on are taken from
    // `fd` rather than from the caller's memory.
    struct {
        int fd;  // -1 when none; owned until the payload is released
        uint64_t fixed;
        int poll_fd;     // plain: a duplicate of the connection's, watched while sendfile waits
        uv_poll_t poll;  // (set up the first time the socket is full)
        unsigned char *piece;  // with TLS: the file's bytes for the piece being encrypted
    } file;
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
// Bytes of the payload being sent that have left the loop for the connection so far: how far an
// upload is, for a progress display (with TLS, counted before encryption less what the loop
// still queues, so only near).
uint64_t tolvane_writer_payload_sent(const tolvane_writer_t *writer);
// The same for a payload that is a mapping of file `fd` (a descriptor the writer then owns): its
// bytes from offset `fixed` on, which the caller must not have rewritten in memory, are sent from
// the file instead, with sendfile(2) on a plain connection and read piece by piece with TLS. The
// kernel copies from its page cache far more cheaply than this process can first touch each page
// of a large mapping. Should the file end early (it shrank), check_intact is asked, and what the
// file cannot give comes from memory.
void tolvane_writer_enqueue_file(tolvane_writer_t *writer, cr_session_command_code code,
                                 const void *payload, size_t length, uint32_t disconnect_after,
                                 int fd, size_t fixed);
