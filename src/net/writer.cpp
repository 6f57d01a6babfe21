// The session writer: its lifecycle and end, the connection header and command frames, the
// response records and the idle rule. The connection is made in writer_connect.cpp; the pumps
// that move payloads are in writer_plain.cpp and writer_tls.cpp.
#include "tolvane/net/writer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "writer_private.h"

namespace session_writer {
namespace {
struct write_request {
    uv_write_t write;
    tolvane_writer *client;
    request_kind buf_type;
    void *data;
    tolvane_payload *payload;  // the payload whose last bytes the write takes, if any
    size_t size;               // bytes it hands to the loop
};

// Seconds without progress after which a connection counts as dead.
const time_t kIdleLimit = 300;
// Sent once, first.
const cr_session_header kHeader{0, 0x4141};

void discard(tolvane_writer *w) {
    if (w->ssl.session.md != nullptr) cr_ssl_session_free(&w->ssl.session);
    if (w->ssl.context.md != nullptr) cr_ssl_free(&w->ssl.context);
    tolvane_writer_replies_free(&w->replies);
    cr_cbuf_destroy(w->buffer.write);
    tls_free(w);
    delete w;
}

}  // namespace

// A handle has closed. Once the last one has, a writer that had started reports and goes.
void on_closed(uv_handle_t *handle) {
    auto *w = static_cast<tolvane_writer *>(handle->data);
    if (--w->open_handles > 0) return;
    if (w->cb.done != nullptr) {
        tolvane_net_result result = std::move(w->result);
        w->cb.done(w, &result);
    }
    discard(w);
}

namespace {

void close_handle(tolvane_writer *w, void *handle) {
    auto *h = static_cast<uv_handle_t *>(handle);
    h->data = w;
    uv_close(h, on_closed);
}

// Closes every handle the writer has opened; it is freed once they have closed. A connection
// already closing to try the next address reports its close to on_closed itself.
void close_handles(tolvane_writer *w) {
    w->state = state::done;
    tolvane_network_tick_remove(&w->tick);
    if (w->file.polling) {
        // The duplicate would keep the connection open.
        close_handle(w, &w->file.poll);
        w->file.poll_fd.reset();
        w->file.polling = false;
    }
    uv_idle_stop(&w->refill);
    close_handle(w, &w->refill);
    close_handle(w, &w->connect_timer);
    close_handle(w, &w->pace_timer);
    if (!w->retrying) {
        uv_read_stop(stream_of(w));
        close_handle(w, &w->tcp);
    }
}

void release_request(write_request *req) {
    if (req->buf_type == REQUEST_CBUF) {
        cr_cbuf_destroy(static_cast<cr_cbuf_t *>(req->data));
    } else if (req->data != nullptr) {
        tls_give_block(req->client, req->data);
    }
    free(req);
}

// Once a second: a connection on which nothing has moved for kIdleLimit seconds fails, unless
// its outgoing queue is still draining (a slow link, not a dead one).
void idle_check(void *context, time_t now) {
    auto *w = static_cast<tolvane_writer *>(context);
    if (w->state == state::done || w->last_activity > now) return;
    size_t queued = w->tcp.write_queue_size;
    if (w->last_write_size > queued) {
        w->last_write_size = queued;
        return;
    }
    if (w->last_activity > 0 && now - w->last_activity >= kIdleLimit)
        fail(w, "error: connection timed out (%jus inactivity).\n",
             static_cast<uintmax_t>(now - w->last_activity));
}

// With TLS, more of the payload is encrypted on the loop's next turn rather than from a write's
// callback: a write the socket takes at once completes within the same turn, so encrypting from
// the callback would chain the whole upload into one turn, and a server's early answer (and the
// idle tick) would wait for its end.
void refill(uv_idle_t *idle) {
    auto *w = static_cast<tolvane_writer *>(idle->data);
    uv_idle_stop(idle);
    if (w->state == state::running) drain(w);
}

void on_write(uv_write_t *write, int status) {
    auto *req = reinterpret_cast<write_request *>(write);
    tolvane_writer *w = req->client;
    tolvane_payload *payload = req->payload;
    w->in_loop -= req->size;
    release_request(req);
    w->writes_outstanding--;
    if (w->state == state::done) return;  // cancelled by the close, or after it
    stamp(w);
    if (status < 0) {
        send_failed(w, status);
        return;
    }
    // A payload cut short on purpose ends the connection once every byte of it has left.
    if (w->cut_off && w->writes_outstanding == 0 && w->pending.left == 0) {
        finish(w, {});
        return;
    }
    if (payload != nullptr) released(w, payload);
    if (w->pending.left == 0) return;
    if (!w->ssl.use) {
        if (w->writes_outstanding == 0) drain(w);
    } else {
        uv_idle_start(&w->refill, refill);
    }
}

void response_expand(uv_handle_t *, size_t suggested, uv_buf_t *buf) {
    buf->base = static_cast<char *>(malloc(suggested));
    buf->len = buf->base != nullptr ? suggested : 0;
}

// Where a record whose first bytes arrive now stands. A server that has the whole payload has
// had every byte of it from the kernel: none may wait in the write buffer, in pending or in the
// loop's queue.
arrival arrival_now(const tolvane_writer *w) {
    if (w->command.head == w->command.tail) return arrival::unasked;
    bool written = w->pending.left == 0 && cr_cbuf_length(w->buffer.write) == 0 &&
                   w->tcp.write_queue_size == 0;
    return written ? arrival::in_time : arrival::before_payload;
}

}  // namespace

// The connection is up and, with TLS, its handshake done: the caller hears of it once. False
// when the caller closed the writer from its callback.
bool established(tolvane_writer *w) {
    w->handshake_done = true;
    if (w->cb.established != nullptr) w->cb.established(w);
    return w->state != state::done;
}

namespace {

void protocol_error(tolvane_writer *w, arrival a) {
    fail(w, "error: protocol error: %s.\n",
         a == arrival::unasked ? "the server sent a response nobody asked for"
                               : "the server answered before the trace was sent");
}

}  // namespace

// Sends the connection header first, then the command enqueued last with its payload (at most
// disconnect_after bytes of it).
void send_data(tolvane_writer *w, bool with_header) {
    if (with_header && !cr_cbuf_append(&w->buffer.write, &kHeader, sizeof kHeader)) {
        fail(w, "error: failed to allocate memory.\n");
        return;
    }
    // A held-back end is a small write right after a large one: Nagle's rule would keep it
    // waiting for an acknowledgement that the peer may delay.
    if (with_header && !w->ssl.use) uv_tcp_nodelay(&w->tcp, 1);
    uint64_t sent = 0;
    if (w->command.tail > w->command.head) {
        if (!cr_cbuf_append(&w->buffer.write, &w->buffer.command, sizeof w->buffer.command)) {
            fail(w, "error: failed to allocate memory.\n");
            return;
        }
        sent = std::min<uint64_t>(w->buffer.target, w->disconnect_after);
        w->pending.data = w->buffer.data;
        w->pending.left = sent;
        w->pending.source = sent > 0 ? w->buffer.payload : nullptr;
        // A payload cut short on purpose is never whole, so it needs no check.
        bool whole = sent == w->buffer.target && w->buffer.payload->path != nullptr;
        w->pending.held = !w->ssl.use && whole ? std::min(sent, TOLVANE_PAYLOAD_HELD_BACK) : 0;
    }
    drain(w);
    if (w->state == state::done) return;
    if (sent < w->buffer.target) {
        w->cut_off = true;
        if (w->writes_outstanding == 0 && w->pending.left == 0) finish(w, {});
        return;
    }
    stamp(w);
}

namespace {

// Hands on the one record of the command waiting, sends the next command or shuts down, and
// refuses whatever else has come.
void take_records(tolvane_writer *w) {
    tolvane_writer_response response;
    tolvane_writer_reply_result r;
    while ((r = tolvane_writer_replies_next(&w->replies, &response)) ==
           TOLVANE_WRITER_REPLY_RECORD) {
        stamp(w);
        arrival a = w->arrival;
        // The bytes after it came before any next command was sent.
        uint32_t held = tolvane_writer_replies_held(&w->replies);
        w->arrival = held > 0 ? arrival::unasked : arrival::in_time;
        if (a == arrival::unasked ||
            (a == arrival::before_payload && response.status != CR_SESSION_RESPONSE_ERROR))
            return protocol_error(w, a);
        w->answers++;
        w->cb.response(w, &response);
        // An early error leaves the rest of the payload unsent: the exchange cannot go on.
        if (a != arrival::in_time) return protocol_error(w, a);
        w->command.head++;
        if (w->command.head == w->command.tail) {
            if (held > 0) return protocol_error(w, arrival::unasked);
            w->command.head = w->command.tail = 0;
            w->state = state::closing;
            drain(w);
            return;
        }
        send_data(w, false);
        if (w->state == state::done) return;
    }
    if (r == TOLVANE_WRITER_REPLY_TOO_LARGE) {
        fail(w, "error: response body too large.\n");
        return;
    }
    drain(w);  // with TLS, the handshake may have output to send
}

void on_read(uv_stream_t *stream, ssize_t nread, const uv_buf_t *buf) {
    auto *w = static_cast<tolvane_writer *>(stream->data);
    if (nread <= 0 || w->state == state::done) {
        free(buf->base);
        if (nread == 0 || w->state == state::done) return;
        if (w->state == state::closing) {
            finish(w, {});
        } else {
            int status = static_cast<int>(nread);
            fail(w, "%serror: %s\n", lost(w, status).c_str(), uv_strerror(status));
        }
        return;
    }
    uint32_t held = tolvane_writer_replies_held(&w->replies);
    uint32_t added = static_cast<uint32_t>(nread);
    bool ok;
    if (w->ssl.use) {
        // The handshake moving on is progress; after it, only whole records are, so a reply
        // that trickles in never keeps the connection alive.
        if (!cr_ssl_session_established(&w->ssl.session)) stamp(w);
        ok = tls_feed(w, buf->base, static_cast<size_t>(nread), &added);
    } else {
        ok = tolvane_writer_replies_feed(&w->replies, buf->base, added) ||
             fail(w, "error: failed to allocate memory.\n");
    }
    free(buf->base);
    if (!ok) return;
    if (w->ssl.use && !w->handshake_done && cr_ssl_session_established(&w->ssl.session)) {
        uv_timer_stop(&w->connect_timer);
        if (!established(w)) return;
    }
    if (added > 0 && held == 0) w->arrival = arrival_now(w);
    take_records(w);
}

void on_pace(uv_timer_t *timer) {
    auto *w = static_cast<tolvane_writer *>(timer->data);
    if (w->state == state::running) drain(w);
}
}  // namespace

const char *address_of(const tolvane_writer *w) {
    const char *address, *service;
    tolvane_cf_server_get(w->server, &address, &service);
    return address;
}

const char *service_of(const tolvane_writer *w) {
    const char *address, *service;
    tolvane_cf_server_get(w->server, &address, &service);
    return service;
}

const char *display_of(const tolvane_writer *w) {
    return w->server->display;
}

uint64_t pace(tolvane_writer *w, uint64_t want, bool whole) {
    if (w->pace.rate == 0) return want;
    uint64_t now = uv_hrtime();
    uint64_t n = tolvane_pace_grant(&w->pace, want, whole, now);
    if (n == 0 && want > 0)
        uv_timer_start(&w->pace_timer, on_pace, tolvane_pace_wait_ms(&w->pace, want, now), 0);
    return n;
}

void pace_spend(tolvane_writer *w, int64_t bytes) {
    tolvane_pace_spend(&w->pace, bytes);
}

void finish(tolvane_writer *w, tolvane_net_result result) {
    if (w->state == state::done) return;
    w->result = std::move(result);
    close_handles(w);
}

bool fail(tolvane_writer *w, const char *fmt, ...) {
    tolvane_net_result result;
    result.code = TOLVANE_NET_FAILED;
    va_list ap;
    va_start(ap, fmt);
    tolvane_net_vappend(&result.message, fmt, ap);
    va_end(ap);
    finish(w, std::move(result));
    return false;
}

bool check_payload(tolvane_writer *w) {
    tolvane_net_result result;
    if (w->pending.source == nullptr || w->pending.source->check(&result)) return true;
    finish(w, std::move(result));
    return false;
}

void send_failed(tolvane_writer *w, int status) {
    if (check_payload(w))
        fail(w, "%serror: failed to send to %s (%s).\n", lost(w, status, true).c_str(),
             display_of(w), uv_strerror(status));
}

const char *phase_of(const tolvane_writer *w, bool sending) {
    if (!w->connected) return "TCP connect";
    if (w->ssl.use && !cr_ssl_session_established(&w->ssl.session)) return "TLS handshake";
    // The server has had all that was sent and has not said a word yet.
    if (!sending && w->answers == 0 && arrival_now(w) != arrival::before_payload) return "greeting";
    return "upload";
}

std::string cause(const tolvane_writer *w, const char *outcome, const char *reason, bool sending) {
    std::string line;
    tolvane_net_append(&line, "error: the connection to %s %s during the %s (%s).\n", display_of(w),
                       outcome, phase_of(w, sending), reason);
    return line;
}

std::string lost(const tolvane_writer *w, int status, bool sending) {
    const char *outcome = status == UV_EOF || status == UV_EPIPE ? "was closed by the server"
                          : status == UV_ECONNRESET              ? "was reset"
                                                                 : "failed";
    return cause(w, outcome, uv_strerror(status), sending);
}

void released(tolvane_writer *w, tolvane_payload *payload) {
    if (w->pending.source == payload) w->pending.source = nullptr;
    if (w->cb.released != nullptr) w->cb.released(w, payload);
}

bool submit_write(tolvane_writer *w, request_kind kind, void *data, const uv_buf_t *bufs,
                  unsigned int nbufs, tolvane_payload *payload) {
    auto *req = static_cast<write_request *>(malloc(sizeof(write_request)));
    if (req == nullptr) {
        if (kind == REQUEST_CBUF) {
            cr_cbuf_destroy(static_cast<cr_cbuf_t *>(data));
        } else if (data != nullptr) {
            tls_give_block(w, data);
        }
        return fail(w, "error: failed to allocate memory.\n");
    }
    req->client = w;
    req->buf_type = kind;
    req->data = data;
    req->payload = payload;
    req->size = 0;
    for (unsigned int i = 0; i < nbufs; i++) req->size += bufs[i].len;
    int r = uv_write(&req->write, stream_of(w), bufs, nbufs, on_write);
    if (r != 0) {
        release_request(req);
        return fail(w, "error: failed to send data: %s.\n", uv_strerror(r));
    }
    w->writes_outstanding++;
    w->in_loop += req->size;
    return true;
}

bool start_reading(tolvane_writer *w) {
    int r = uv_read_start(stream_of(w), response_expand, on_read);
    return r == 0 || r == UV_EALREADY || fail(w, "error: failed to initialize read.\n");
}

void drain(tolvane_writer *w) {
    w->ssl.use ? drain_tls(w) : drain_plain(w);
}
}  // namespace session_writer

using namespace session_writer;

tolvane_writer_t *tolvane_writer_create(tolvane_cf_universe_t *universe,
                                        tolvane_cf_server_t *server,
                                        const struct addrinfo *addresses, tolvane_cf_token_t *token,
                                        const tolvane_writer_callbacks *callbacks,
                                        const struct tolvane_net_limits *limits,
                                        tolvane_net_result *result) {
    result->code = TOLVANE_NET_NO_WRITER;
    auto *w = new (std::nothrow) tolvane_writer{};
    if (w == nullptr) return nullptr;
    w->buffer.write = cr_cbuf_create(kBufferSize);
    if (!tolvane_writer_replies_init(&w->replies) || w->buffer.write == nullptr) {
        discard(w);
        return nullptr;
    }
    w->token = token;
    w->server = server;
    w->cb = *callbacks;
    w->state = state::done;  // until it connects: a writer given up ignores its callbacks
    w->disconnect_after = UINT32_MAX;
    if (!setup_tls(w, universe, result)) {
        discard(w);
        return nullptr;
    }
    result->code = TOLVANE_NET_NO_WRITER;  // from here on the caller adds its own line
    int r = uv_tcp_init(tolvane_network_loop_get(), &w->tcp);
    if (r != 0) {
        tolvane_net_fail(result, TOLVANE_NET_NO_WRITER, "error: TCP initialization: %s\n",
                         uv_strerror(r));
        discard(w);
        return nullptr;
    }
    w->tcp.data = w;
    w->open_handles = 4;
    uv_idle_init(tolvane_network_loop_get(), &w->refill);
    w->refill.data = w;
    uv_timer_init(tolvane_network_loop_get(), &w->connect_timer);
    w->connect_timer.data = w;
    uv_timer_init(tolvane_network_loop_get(), &w->pace_timer);
    w->pace_timer.data = w;
    tolvane_net_limits defaults;
    if (limits == nullptr) limits = &defaults;
    w->connect_timeout = limits->connect_timeout;
    tolvane_pace_init(&w->pace, limits->max_rate, uv_hrtime());
    // From here on the writer goes once its handles have closed.
    if (addresses_for(w, addresses, result)) {
        if (connect_to(w, result)) {
            w->tick.cb = idle_check;
            w->tick.context = w;
            if (tolvane_network_tick_add(&w->tick)) {
                w->state = state::running;
                result->code = TOLVANE_NET_OK;
                return w;
            }
            tolvane_net_fail(result, TOLVANE_NET_FAILED, "error: Failed to allocate memory.\n");
        }
    }
    w->cb.done = nullptr;  // it never started: nothing to report
    close_handles(w);
    return nullptr;
}

void tolvane_writer_close(tolvane_writer_t *w) {
    if (w->state == state::done) return;
    // A TLS peer is told the session ends (what the socket takes now; nothing is waited for).
    if (w->ssl.use && cr_ssl_session_established(&w->ssl.session) &&
        cr_ssl_session_shutdown(&w->ssl.session) != CR_SSL_FAILED) {
        char notify[512];
        int n = cr_ssl_session_flush(&w->ssl.session, notify, static_cast<int>(sizeof notify));
        uv_buf_t buf = uv_buf_init(notify, static_cast<unsigned int>(std::max(n, 0)));
        if (n > 0 && w->tcp.write_queue_size == 0) uv_try_write(stream_of(w), &buf, 1);
    }
    finish(w, {});
}

void tolvane_writer_enqueue(tolvane_writer_t *w, cr_session_command_code code,
                            tolvane_payload *payload, uint32_t disconnect_after) {
    w->buffer.payload = payload;
    w->buffer.data = payload->data;
    w->buffer.target = payload->length;
    w->buffer.command.command = static_cast<uint8_t>(code);
    memset(w->buffer.command.padding, 0, sizeof w->buffer.command.padding);
    memcpy(w->buffer.command.payload.put.key, tolvane_cf_token_sha256(w->token)->value,
           sizeof w->buffer.command.payload.put.key);
    w->buffer.command.payload.put.payload = payload->length;
    w->disconnect_after = disconnect_after;
    w->command.tail++;
}

uint64_t tolvane_writer_payload_sent(const tolvane_writer_t *w) {
    // Addresses as numbers: before its first send, `pending` may still point into another payload.
    auto from = reinterpret_cast<uintptr_t>(w->buffer.data),
         at = reinterpret_cast<uintptr_t>(w->pending.data);
    if (at < from || at - from > w->buffer.target) return 0;
    uint64_t handed = at - from, queued = w->tcp.write_queue_size;
    return handed > queued ? handed - queued : 0;
}
