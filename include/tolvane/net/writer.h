// The session writer: uploads trace files over the binary session protocol on one TCP
// connection to a resolved writer server, optionally inside TLS. It tells its caller when the
// connection is up and hands on each response; from those callbacks the caller enqueues the
// next command. It owns its idle rule: no progress for 300 seconds fails the connection.
//
// Responses are matched to commands by order alone, so the writer takes exactly one record per
// command, and only once the command's payload has been written whole: a record that comes
// earlier, or when no command waits for one, fails the connection with a protocol error (an
// early ERROR record is handed on first, so that its own message shows). Bodies are taken up to
// TOLVANE_WRITER_REPLY_MAX bytes. With TLS, encrypted bytes the loop holds stay under 4 MiB.
//
// The writer never ends the process: however the connection ends, it closes it and reports
// once, through `done`, with a result record. A connection lost (end of file, reset) is told in
// a line of its own before the line that reports it: "error: the connection to <host:port>
// <outcome> during the <phase> (<reason>).", the phase being the TLS handshake, the greeting
// (before any answer, all sent) or the upload.
//
// A caller that only wants to know whether the server can be reached enqueues nothing: nothing
// is sent then, not even the connection header, and `established` says when the connection is
// up and, with TLS, the handshake done (the certificate verified as configured);
// tolvane_writer_close ends it.
#pragma once

#include <netdb.h>

#include <cstddef>
#include <cstdint>

#include "tolvane/config/cf_universe.h"
#include "tolvane/net/limits.h"
#include "tolvane/net/payload.h"
#include "tolvane/net/result.h"
#include "tolvane/net/session.h"

struct tolvane_writer;
typedef struct tolvane_writer tolvane_writer_t;

// What the caller hears, all from the loop.
struct tolvane_writer_callbacks {
    // The connection is up (with TLS, the handshake has started) and nothing has been sent:
    // enqueue the first command. Optional.
    void (*connected)(tolvane_writer_t *writer);
    // The one response record to the command enqueued last. Enqueue the next command, or
    // nothing: the writer then closes the connection and reports TOLVANE_NET_OK.
    void (*response)(tolvane_writer_t *writer, struct tolvane_writer_response *response);
    // The writer holds no reference to this payload any more (every byte of it has been handed
    // to the connection). Optional.
    void (*released)(tolvane_writer_t *writer, struct tolvane_payload *payload);
    // The writer is done, its connection closed; it is freed when this returns. The result says
    // how it ended: TOLVANE_NET_OK after the last answer or once a payload cut short on purpose
    // has left, TOLVANE_NET_CHANGED when a payload's check failed, TOLVANE_NET_FAILED otherwise.
    void (*done)(tolvane_writer_t *writer, const struct tolvane_net_result *result);
    // Once, after `connected`: the connection is up and, with TLS, the handshake is done.
    // Optional.
    void (*established)(tolvane_writer_t *writer);
};

// Starts connecting to `server`, a writer server of the universe (whose TLS settings apply), at
// its resolved `addresses` (IPv4 and IPv6, still the caller's) in their order: a connect that
// fails or runs out of time goes on to the next. The connect, and with TLS the handshake, must
// be done within limits->connect_timeout seconds, or the writer fails naming what timed out;
// what it sends is paced to limits->max_rate (null: the defaults). Null when the connection
// cannot be started, with why in *result: TOLVANE_NET_FAILED when that says all,
// TOLVANE_NET_NO_WRITER when the caller is to add that it has no writer. `token` is used only
// by tolvane_writer_enqueue (null for a writer that enqueues nothing). Needs the network runtime.
tolvane_writer_t *tolvane_writer_create(tolvane_cf_universe_t *universe,
                                        tolvane_cf_server_t *server,
                                        const struct addrinfo *addresses, tolvane_cf_token_t *token,
                                        const struct tolvane_writer_callbacks *callbacks,
                                        const struct tolvane_net_limits *limits,
                                        struct tolvane_net_result *result);
// Ends the connection (with TLS, a close notify goes first if the socket takes it at once);
// `done` then reports TOLVANE_NET_OK unless the writer had ended already. May be called from
// the callbacks.
void tolvane_writer_close(tolvane_writer_t *writer);
// Fills the one command slot, to be sent when the callback returns. The payload is borrowed
// until `released` runs for it (or the writer is done). At most disconnect_after of its bytes
// are sent; a payload cut short that way ends the connection with TOLVANE_NET_OK once it has
// left. Its bytes past `fixed` are sent from its file while that is open: with sendfile(2) on a
// plain connection, read piece by piece with TLS. With a path to check, the payload is checked
// before its last bytes leave, when a write fails while it is being sent and when its file ends
// early.
void tolvane_writer_enqueue(tolvane_writer_t *writer, cr_session_command_code code,
                            struct tolvane_payload *payload, uint32_t disconnect_after);
// Bytes of the payload being sent that have left the loop for the connection so far: how far an
// upload is, for a progress display (with TLS, counted before encryption less what the loop
// still queues, so only near).
uint64_t tolvane_writer_payload_sent(const tolvane_writer_t *writer);
