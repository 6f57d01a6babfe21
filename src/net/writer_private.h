// The session writer's record and what its three sources share: the connection, its records
// and its end (writer.cpp), the plain pump (writer_plain.cpp) and the TLS pump (writer_tls.cpp).
#pragma once

#include <sys/socket.h>
#include <uv.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tolvane/net/cbuf.h"
#include "tolvane/net/limits.h"
#include "tolvane/net/network.h"
#include "tolvane/net/ssl.h"
#include "tolvane/net/writer.h"
#include "tolvane/util/unique.h"

namespace session_writer {
const uint32_t kBufferSize = 65536;

enum class state {
    running,
    closing,  // the last answer is in: the connection is being closed
    done,     // the result is set and the handles are closing; nothing more is done
};

// When the first bytes of the record still arriving came: only one that came while its command
// waited, payload written, can be that command's answer.
enum class arrival {
    in_time,
    unasked,         // no command was waiting for an answer
    before_payload,  // the command's payload had not all been written
};

enum request_kind {
    REQUEST_RAWBUF = 0,  // a plain heap block, or nothing
    REQUEST_CBUF = 1,    // a whole cr_cbuf
};
}  // namespace session_writer

struct tolvane_writer {
    tolvane_cf_server_t *server;
    tolvane_cf_token_t *token;
    struct tolvane_writer_callbacks cb;
    uv_tcp_t tcp;
    uv_connect_t connect;
    // The server's addresses in the resolver's order, with its port; a failed connect (or one
    // that runs out of time) goes on to the next.
    std::vector<sockaddr_storage> addresses;
    size_t address;            // the one being tried
    bool connected;            // the TCP connection is up
    bool handshake_done;       // and, with TLS, the handshake done: `established` was called
    bool retrying;             // `tcp` is closing, to connect again to the next address
    int connect_timeout;       // seconds for the TCP connect and, with TLS, the handshake
    uv_timer_t connect_timer;  // runs while connecting and, with TLS, until the handshake is done
    struct tolvane_pace pace;  // the rate cap on what is sent
    uv_timer_t pace_timer;     // wakes the pump once the cap lets more bytes go
    uv_idle_t refill;          // with TLS: encrypts more of the payload on the loop's next turn
    struct {
        bool use;
        struct cr_ssl context;  // created for every writer, TLS or not
        struct cr_ssl_session session;
    } ssl;
    session_writer::state state;
    // Clock second of the last progress: connecting, the TLS handshake, a write completing, a
    // whole response record (not its pieces: a reply that trickles in is no progress); 0 until
    // connected.
    time_t last_activity;
    size_t last_write_size;  // bytes handed to the loop and not yet seen leaving (plain only)
    // Bytes handed to the loop whose write callback has not run. A write the socket takes at
    // once completes only on the loop's next turn, and its memory lives until then.
    size_t in_loop;
    struct {
        struct cr_session_command command;
        struct tolvane_payload *payload;  // of the command enqueued last
        const unsigned char *data;        // its bytes, kept for the progress count
        uint64_t target;                  // its length
        cr_cbuf_t *write;                 // header and frames not yet handed on
    } buffer;
    struct tolvane_writer_replies replies;  // every byte received (decrypted with TLS)
    session_writer::arrival arrival;        // of the record in `replies` still arriving
    struct {
        uint32_t head;  // commands answered
        uint32_t tail;  // commands enqueued
    } command;
    uint64_t answers;  // response records taken on this connection
    uint32_t disconnect_after;
    // Payload bytes of the command being sent that are not yet handed on: sent straight from
    // the payload's memory or file on a plain connection, encrypted piece by piece with TLS.
    struct {
        const unsigned char *data;
        uint64_t left;
        // On a plain connection, not 0 while the check is due before the payload's end leaves:
        // then the last `held` bytes wait until the rest has been written.
        uint64_t held;
        struct tolvane_payload *source;  // the payload being sent, until it is released
    } pending;
    unsigned int writes_outstanding;
    struct {
        void *first;  // linked through each block's first bytes
        unsigned int count;
    } spare;       // with TLS: blocks of encrypted output already written, for the next ones
    bool cut_off;  // the payload was cut short on purpose: end once it has left
    struct {
        // Plain: a duplicate of the connection's descriptor, watched while sendfile waits (set
        // up the first time the socket is full).
        tolvane::unique_fd poll_fd;
        uv_poll_t poll;
        bool polling;          // `poll` is initialised
        unsigned char *piece;  // with TLS: the file's bytes for the piece being encrypted
    } file;
    struct tolvane_network_tick tick;  // the idle check, once a second
    struct tolvane_net_result result;  // how it ended, reported once the handles have closed
    unsigned int open_handles;         // handles initialised and not yet closed
};

namespace session_writer {
inline uv_stream_t *stream_of(tolvane_writer *w) {
    return reinterpret_cast<uv_stream_t *>(&w->tcp);
}

// How far into the payload being sent the next byte is.
inline uint64_t payload_offset(const tolvane_writer *w) {
    return static_cast<uint64_t>(w->pending.data - w->buffer.data);
}

inline void stamp(tolvane_writer *w) {
    w->last_activity = tolvane_network_time_get();
}

const char *address_of(const tolvane_writer *w);
const char *service_of(const tolvane_writer *w);
// "host:port" for messages, an IPv6 address in brackets.
const char *display_of(const tolvane_writer *w);

// How many of `want` payload bytes the rate cap lets go now (all without a cap), taken from it;
// when none, the pump is woken again once some may. `whole`: all of them or none.
uint64_t pace(tolvane_writer *w, uint64_t want, bool whole);
// Bytes sent without a grant (frames), or granted and not sent (negative).
void pace_spend(tolvane_writer *w, int64_t bytes);

// What the connection is doing, as cause lines name it: "TCP connect", "TLS handshake",
// "greeting" (the server has had all that was handed to the kernel and has not answered yet)
// or "upload" (a payload is being sent, a write of ours failed, or an answer is awaited after
// the first).
const char *phase_of(const tolvane_writer *w, bool sending = false);
// The line that says why the connection ended, before the line required for it:
// "error: the connection to <host:port> <outcome> during the <phase> (<reason>).\n";
// `sending`: a write of ours failed.
std::string cause(const tolvane_writer *w, const char *outcome, const char *reason,
                  bool sending = false);
// The cause line of a connection lost with libuv's `status` (end of file, reset, ...).
std::string lost(const tolvane_writer *w, int status, bool sending = false);

// Ends the writer with `result`: everything stops, the handles close, and `done` reports it
// once they have. Later calls change nothing.
void finish(tolvane_writer *w, tolvane_net_result result);
// finish with TOLVANE_NET_FAILED and the formatted message; false.
bool fail(tolvane_writer *w, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The payload being sent, checked: false (and finished) when it changed.
bool check_payload(tolvane_writer *w);
// A write failed with libuv's `status`: a payload whose source shrank fails the kernel's copy,
// so the check names that first. Finishes.
void send_failed(tolvane_writer *w, int status);
// The writer no longer refers to the payload.
void released(tolvane_writer *w, tolvane_payload *payload);
// Hands bufs to the loop in one request that owns `data` until the write completes; `payload`
// is the payload whose bytes the write takes last, if it does. False (and finished) on failure.
bool submit_write(tolvane_writer *w, request_kind kind, void *data, const uv_buf_t *bufs,
                  unsigned int nbufs, tolvane_payload *payload = nullptr);
// Reads responses from now on; false (and finished) when that cannot start.
bool start_reading(tolvane_writer *w);
// Moves what can be moved now: the pump of the connection's kind.
void drain(tolvane_writer *w);

// A handle has closed. Once the last one has, a writer that had started reports and goes.
void on_closed(uv_handle_t *handle);
// The connection is up and, with TLS, its handshake done: the caller hears of it once. False
// when the caller closed the writer from its callback.
bool established(tolvane_writer *w);
// Sends the connection header first, then the command enqueued last with its payload.
void send_data(tolvane_writer *w, bool with_header);

// The TLS context (for every writer) and, with TLS, the session; false with why in *result.
bool setup_tls(tolvane_writer *w, tolvane_cf_universe_t *universe, tolvane_net_result *result);
// The IPv4 and IPv6 addresses among `addresses`, in their order, with the server's port; false
// after saying why.
bool addresses_for(tolvane_writer *w, const addrinfo *addresses, tolvane_net_result *result);
// Starts connecting to the address being tried, with the time limit running; false with why in
// *result.
bool connect_to(tolvane_writer *w, tolvane_net_result *result);

void drain_plain(tolvane_writer *w);
void drain_tls(tolvane_writer *w);
// Feeds received bytes through the TLS session into the replies' buffer, with the plain bytes
// that gave in *added; false (and finished) on failure.
bool tls_feed(tolvane_writer *w, const char *data, size_t n, uint32_t *added);
void tls_give_block(tolvane_writer *w, void *block);
// Frees the TLS pump's memory.
void tls_free(tolvane_writer *w);
}  // namespace session_writer
