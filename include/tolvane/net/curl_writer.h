// The HTTP upload writer: posts trace files one at a time to an HTTP or HTTPS writer server,
// reusing one easy handle, and turns the JSON reply (or a transfer the network runtime had to
// give up) into the result record its caller's completion callback receives. It can also only
// connect (TCP, a proxy's tunnel, the TLS handshake), sending nothing.
//
// A failure gets a line of its own before the one required for it, naming the server (and the
// proxy the connection went through) and the phase:
//   error: the connection to <host:port>[ through proxy <address:port>] failed during the
//          <phase> (<libcurl's text>[: <the system's reason>]).
//   error: the connection to <host:port> timed out after <N> s during the <phase>.
//   error: the reply from <host:port> was cut off (<libcurl's text>).
//   error: the reply from <host:port> was not the expected JSON (HTTP <status>, <type>, <N> bytes).
// The phases: name resolution, TCP connect, proxy tunnel, TLS handshake, upload.
#pragma once

#include <netdb.h>

#include <cstddef>
#include <cstdint>

#include "tolvane/config/cf_universe.h"
#include "tolvane/net/limits.h"
#include "tolvane/net/payload.h"
#include "tolvane/net/result.h"

// The most reply bytes a transfer collects; a longer reply fails the upload.
constexpr size_t TOLVANE_CURL_WRITER_REPLY_MAX = size_t{1} << 20;

typedef enum {
    TOLVANE_CURL_WRITER_F_NONE = 0,
    TOLVANE_CURL_WRITER_F_INSECURE = 1,
} tolvane_curl_writer_flags;
typedef unsigned int tolvane_curl_writer_flags_t;

struct tolvane_curl_writer;
typedef struct tolvane_curl_writer tolvane_curl_writer_t;

// How one POST ended: TOLVANE_NET_OK when the server stored the file, TOLVANE_NET_CHANGED when
// the payload was found changed, otherwise TOLVANE_NET_FAILED with
// "error: failed to post file "<path>": <reason>" (the path and the server's text escaped, see
// text.h), after a line with the cause (above) where there is more to say than the reason. A
// transfer libcurl reports as failed is never a success, whatever part of a reply came. The reply's
// status code is in http_status when the transfer ended well. Runs from the loop; the writer may be
// destroyed from it.
typedef void (*tolvane_curl_writer_cb_t)(tolvane_curl_writer_t *writer,
                                         const struct tolvane_net_result *result);

// A writer for `server`, an HTTP or HTTPS writer server of the universe (whose transfer
// settings apply), held to `limits` (null: the defaults): libcurl paces the body to max_rate,
// and a connection (the TCP connect with the TLS handshake) not made within connect_timeout
// seconds fails the upload, naming what timed out. `addresses` are the server's as resolved
// (the caller's; libcurl resolves the name again itself): a connection to another address is a
// proxy's. No `token` (null): a writer that only connects. Null when it cannot be made, with
// what led to it in *result (TOLVANE_NET_NO_WRITER). Needs the network runtime initialised.
tolvane_curl_writer_t *tolvane_curl_writer_create(
    tolvane_cf_universe_t *universe, tolvane_cf_server_t *server, const struct addrinfo *addresses,
    tolvane_cf_token_t *token, tolvane_curl_writer_flags_t flags,
    const struct tolvane_net_limits *limits, struct tolvane_net_result *result);
// Queues one POST of the payload, which is borrowed until `oncomplete` has run, once, for it.
// The body's bytes past `fixed` are read from the payload's file while that is open; whatever
// the file cannot give (it has shrunk) still comes from memory. The payload is checked once its
// last bytes have been copied out and before they are handed on: a failed check aborts the
// transfer. False when the POST cannot be queued, with what led to it in *result.
bool tolvane_curl_writer_file_put(tolvane_curl_writer_t *writer, struct tolvane_payload *payload,
                                  tolvane_curl_writer_cb_t oncomplete,
                                  struct tolvane_net_result *result);
// Only connects to the server, as a POST would (a proxy, its tunnel, the TLS handshake with the
// configured verification), and sends nothing: `oncomplete` hears TOLVANE_NET_OK once the
// connection is up, or TOLVANE_NET_FAILED with the cause line. The writer is for this alone
// afterwards: destroy it. False when it cannot be started, with what led to it in *result.
bool tolvane_curl_writer_connect(tolvane_curl_writer_t *writer, tolvane_curl_writer_cb_t oncomplete,
                                 struct tolvane_net_result *result);
void tolvane_curl_writer_destroy(tolvane_curl_writer_t *writer);
// Body bytes of the current transfer that have been sent so far.
uint64_t tolvane_curl_writer_sent(const tolvane_curl_writer_t *writer);

// A reply as the body alone decides it: whether it says "ok", and otherwise its error text.
typedef enum {
    TOLVANE_CURL_WRITER_RESPONSE_OK = 0,
    TOLVANE_CURL_WRITER_RESPONSE_FAILED = 1,
} tolvane_curl_writer_response_code;

struct tolvane_curl_writer_response {
    bool ok;
    bool errstr_needs_free;
    char *errstr;
};

// Turns a reply body (NUL-terminated, length bytes) into a response.
struct tolvane_curl_writer_response tolvane_curl_writer_translate(const char *body, size_t length);
tolvane_curl_writer_response_code tolvane_curl_writer_response_code_get(
    const struct tolvane_curl_writer_response *response);
const char *tolvane_curl_writer_response_errstr_get(
    const struct tolvane_curl_writer_response *response);
