// The session writer: connection header, command frames with their payloads, response records,
// plain or through TLS over memory buffers, on the event loop; and its own idle rule.
#include "tolvane/net/writer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolvane/util/fatal.h"

namespace {
enum request_kind {
    TOLVANE_NETWORK_REQUEST_RAWBUF = 0,  // a plain heap block
    TOLVANE_NETWORK_REQUEST_CBUF = 1,    // a whole cr_cbuf
};

struct tolvane_network_write_request {
    uv_write_t write;
    tolvane_writer *client;
    request_kind buf_type;
    void *data;
    const void *payload;  // the caller's payload when the write sends it straight from there
    size_t size;          // bytes it hands to the loop
};

const uint32_t kBufferSize = 65536;
// How many encrypted bytes the loop may hold (queued, or written and not yet completed) before
// more of the payload is encrypted.
const size_t kTlsQueueLimit = 4 << 20;
// Payload bytes encrypted at a time: four records whose overhead still fits one block, so each
// piece leaves in one write.
const uint64_t kTlsPiece = kBufferSize - 4096;
// Written blocks kept for reuse: as many as the loop may hold, and the one being filled.
const unsigned int kSpareBlocks = kTlsQueueLimit / kBufferSize + 2;
// Seconds without progress after which a connection counts as dead.
const time_t kIdleLimit = 300;
// On a plain connection, the bytes at a payload's end that wait for the payload to be checked.
const uint64_t kHeldBack = 4096;

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

uv_stream_t *stream_of(tolvane_writer *w) {
    return reinterpret_cast<uv_stream_t *>(&w->tcp);
}

// How far into the payload being sent the next byte is.
uint64_t payload_offset(const tolvane_writer *w) {
    return static_cast<uint64_t>(w->pending.data - w->buffer.payload);
}

void stamp(tolvane_writer *w) {
    w->last_activity = tolvane_network_time_get();
}

void writer_drain(tolvane_writer *w);

// Once a second: a connection on which nothing has moved for kIdleLimit seconds ends the process,
// unless its outgoing queue is still draining (a slow link, not a dead one).
void idle_check(void *context, time_t now) {
    auto *w = static_cast<tolvane_writer *>(context);
    if (w->last_activity > now) return;
    size_t queued = w->tcp.write_queue_size;
    if (w->last_write_size > queued) {
        w->last_write_size = queued;
        return;
    }
    if (w->last_activity > 0 && now - w->last_activity >= kIdleLimit)
        tolvane_fatal("error: connection timed out (%jus inactivity).\n",
                      static_cast<uintmax_t>(now - w->last_activity));
}

void close_file(tolvane_writer *w) {
    if (w->file.fd >= 0) close(w->file.fd);
    w->file.fd = -1;
}

void released(tolvane_writer *w, const void *payload) {
    if (w->pending.source == payload) w->pending.source = nullptr;
    if (payload == w->buffer.payload) close_file(w);
    if (w->cb.released != nullptr) w->cb.released(w, payload);
}

void check_intact(tolvane_writer *w) {
    if (w->pending.source != nullptr && w->cb.check_intact != nullptr)
        w->cb.check_intact(w, w->pending.source);
}

void success_close_cb(uv_handle_t *) {
    tolvane_exit(0);
}

void close_connection(tolvane_writer *w) {
    w->shutdown = TOLVANE_NETWORK_SHUTDOWN_COMPLETE;
    // The duplicate would keep the connection open.
    if (w->file.poll_fd >= 0) {
        uv_close(reinterpret_cast<uv_handle_t *>(&w->file.poll), nullptr);
        close(w->file.poll_fd);
        w->file.poll_fd = -1;
    }
    uv_read_stop(stream_of(w));
    uv_close(reinterpret_cast<uv_handle_t *>(&w->tcp), success_close_cb);
}

// Blocks of encrypted output that have been written are kept for the next ones: handing them
// back and asking again on every turn of the loop costs the system a zeroed page for each page.
void *take_block(tolvane_writer *w) {
    void *block = w->spare.first;
    if (block == nullptr) {
        block = malloc(kBufferSize);
        if (block == nullptr) tolvane_fatal("error: failed to allocate memory.\n");
        return block;
    }
    w->spare.first = *static_cast<void **>(block);
    w->spare.count--;
    return block;
}

void give_block(tolvane_writer *w, void *block) {
    if (w->spare.count >= kSpareBlocks) {
        free(block);
        return;
    }
    *static_cast<void **>(block) = w->spare.first;
    w->spare.first = block;
    w->spare.count++;
}

void release_request(tolvane_network_write_request *req) {
    if (req->buf_type == TOLVANE_NETWORK_REQUEST_CBUF) {
        cr_cbuf_destroy(static_cast<cr_cbuf_t *>(req->data));
    } else if (req->data != nullptr) {
        give_block(req->client, req->data);
    }
    free(req);
}

// With TLS, more of the payload is encrypted on the loop's next turn rather than from a write's
// callback: a write the socket takes at once completes within the same turn, so encrypting from
// the callback would chain the whole upload into one turn, and a server's early answer (and the
// idle tick) would wait for its end.
void refill(uv_idle_t *idle) {
    auto *w = static_cast<tolvane_writer *>(idle->data);
    uv_idle_stop(idle);
    if (w->shutdown == TOLVANE_NETWORK_RUNNING) writer_drain(w);
}

void writer_write_response(uv_write_t *write, int status) {
    auto *req = reinterpret_cast<tolvane_network_write_request *>(write);
    tolvane_writer *w = req->client;
    stamp(w);
    if (status < 0) {
        // A payload whose source shrank fails the kernel's copy: the caller names that instead.
        check_intact(w);
        tolvane_fatal("error: failed to send to %s:%s (%s).\n", address_of(w), service_of(w),
                      uv_strerror(status));
    }
    const void *payload = req->payload;
    w->in_loop -= req->size;
    release_request(req);
    w->writes_outstanding--;
    // A payload cut short on purpose ends the process once every byte of it has left.
    if (w->cut_off && w->writes_outstanding == 0 && w->pending.left == 0) tolvane_exit(0);
    if (payload != nullptr) released(w, payload);
    if (w->pending.left == 0) return;
    if (!w->ssl.use) {
        if (w->writes_outstanding == 0) writer_drain(w);
    } else {
        uv_idle_start(&w->refill, refill);
    }
}

// Hands bufs to the loop in one request that owns `data` until the write completes; `payload`
// is the caller's memory that the bufs also send from, if any.
void submit_write(tolvane_writer *w, request_kind kind, void *data, const uv_buf_t *bufs,
                  unsigned int nbufs, const void *payload = nullptr) {
    auto *req =
        static_cast<tolvane_network_write_request *>(malloc(sizeof(tolvane_network_write_request)));
    if (req == nullptr) tolvane_fatal("error: failed to allocate memory.\n");
    req->client = w;
    req->buf_type = kind;
    req->data = data;
    req->payload = payload;
    req->size = 0;
    for (unsigned int i = 0; i < nbufs; i++) req->size += bufs[i].len;
    int r = uv_write(&req->write, stream_of(w), bufs, nbufs, writer_write_response);
    if (r != 0) tolvane_fatal("error: failed to send data: %s.\n", uv_strerror(r));
    w->writes_outstanding++;
    w->in_loop += req->size;
}

void response_expand(uv_handle_t *, size_t suggested, uv_buf_t *buf) {
    buf->base = static_cast<char *>(malloc(suggested));
    buf->len = buf->base != nullptr ? suggested : 0;
}

void writer_response_read(uv_stream_t *stream, ssize_t nread, const uv_buf_t *buf);

void start_reading(tolvane_writer *w) {
    if (w->shutdown == TOLVANE_NETWORK_SHUTDOWN_COMPLETE) {
        uv_read_stop(stream_of(w));
        uv_close(reinterpret_cast<uv_handle_t *>(&w->tcp), success_close_cb);
        return;
    }
    int r = uv_read_start(stream_of(w), response_expand, writer_response_read);
    if (r != 0 && r != UV_EALREADY) tolvane_fatal("error: failed to initialize read.\n");
}

// The write buffer's bytes as one buf and the next `now` payload bytes as another; returns the
// number of bufs.
unsigned int plain_bufs(tolvane_writer *w, uint64_t now, uv_buf_t (&bufs)[2]) {
    const unsigned char *data;
    uint32_t length;
    cr_cbuf_memory(w->buffer.write, &data, &length);
    unsigned int n = 0;
    if (length > 0)
        bufs[n++] = uv_buf_init(const_cast<char *>(reinterpret_cast<const char *>(data)), length);
    if (now > 0) {
        bufs[n].base = const_cast<char *>(reinterpret_cast<const char *>(w->pending.data));
        bufs[n++].len = static_cast<size_t>(now);
    }
    return n;
}

// Queues the write buffer's bytes and the next `now` payload bytes as one write. The header and
// frame go from the write buffer; the payload straight from the caller's memory, so a file of
// any size is never copied. The write that takes the payload's last bytes releases it.
void queue_plain(tolvane_writer *w, uint64_t now) {
    uv_buf_t bufs[2];
    unsigned int n = plain_bufs(w, now, bufs);
    if (n == 0) return;
    const void *payload = now > 0 && now == w->pending.left ? w->buffer.payload : nullptr;
    uint32_t length = cr_cbuf_length(w->buffer.write);
    cr_cbuf_t *sent = nullptr;
    if (length > 0) {
        sent = w->buffer.write;
        w->buffer.write = cr_cbuf_create(kBufferSize);
        if (w->buffer.write == nullptr) tolvane_fatal("error: failed to allocate memory.\n");
    }
    w->last_write_size += length + static_cast<size_t>(now);
    w->pending.data += now;
    w->pending.left -= now;
    submit_write(w, sent != nullptr ? TOLVANE_NETWORK_REQUEST_CBUF : TOLVANE_NETWORK_REQUEST_RAWBUF,
                 sent, bufs, n, payload);
}

// The kernel copies the payload from the caller's memory as it is written, so the payload's end
// goes only right after the caller has found it unchanged: as much as the socket takes at once
// (a whole file, mostly). What it does not take is queued with its own end held back for one
// more check once the rest has gone; a last piece of at most kHeldBack bytes goes as it is.
void send_checked(tolvane_writer *w) {
    w->pending.held = 0;
    check_intact(w);
    uv_buf_t bufs[2];
    unsigned int n = plain_bufs(w, w->pending.left, bufs);
    int r = uv_try_write(stream_of(w), bufs, n);
    size_t took = r > 0 ? static_cast<size_t>(r) : 0;
    size_t from_buffer = std::min<size_t>(took, cr_cbuf_length(w->buffer.write));
    cr_cbuf_drain(w->buffer.write, static_cast<uint32_t>(from_buffer));
    w->pending.data += took - from_buffer;
    w->pending.left -= took - from_buffer;
    if (w->pending.left == 0) {
        released(w, w->buffer.payload);
        return;
    }
    w->pending.held = w->pending.left > kHeldBack ? kHeldBack : 0;
    queue_plain(w, w->pending.left - w->pending.held);
}

void on_writable(uv_poll_t *poll, int, int) {
    auto *w = static_cast<tolvane_writer *>(poll->data);
    uv_poll_stop(poll);
    if (w->shutdown == TOLVANE_NETWORK_RUNNING) writer_drain(w);
}

// The connection's own handle has no way to say that the socket takes more without being given
// bytes to write, so a duplicate of its descriptor is watched for that.
void wait_writable(tolvane_writer *w) {
    if (w->file.poll_fd < 0) {
        uv_os_fd_t fd;
        if (uv_fileno(reinterpret_cast<uv_handle_t *>(&w->tcp), &fd) != 0 ||
            (w->file.poll_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
            tolvane_fatal("error: failed to send data: %s.\n", strerror(errno));
        int r = uv_poll_init_socket(tolvane_network_loop_get(), &w->file.poll, w->file.poll_fd);
        if (r != 0) tolvane_fatal("error: failed to send data: %s.\n", uv_strerror(r));
        w->file.poll.data = w;
    }
    uv_poll_start(&w->file.poll, UV_WRITABLE, on_writable);
}

// Sends the write buffer's bytes and the payload's up to `fixed`, as far as the socket takes
// them, marked as followed by more so that they leave with the file's first bytes.
ssize_t send_head(tolvane_writer *w, int socket) {
    uv_buf_t bufs[2];
    uint64_t at = payload_offset(w);
    unsigned int n = plain_bufs(w, at < w->file.fixed ? w->file.fixed - at : 0, bufs);
    iovec iov[2];
    for (unsigned int i = 0; i < n; i++) iov[i] = {bufs[i].base, bufs[i].len};
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = n;
    ssize_t took = sendmsg(socket, &message, MSG_MORE | MSG_NOSIGNAL);
    if (took <= 0) return took;
    size_t from_buffer =
        std::min<size_t>(static_cast<size_t>(took), cr_cbuf_length(w->buffer.write));
    cr_cbuf_drain(w->buffer.write, static_cast<uint32_t>(from_buffer));
    w->pending.data += static_cast<size_t>(took) - from_buffer;
    w->pending.left -= static_cast<size_t>(took) - from_buffer;
    return took;
}

// Whether the payload's end is to be checked before it leaves.
bool end_checked(const tolvane_writer *w) {
    return w->cb.check_intact != nullptr && payload_offset(w) + w->pending.left == w->buffer.target;
}

// A payload with a file goes here rather than through the loop: the write buffer and the bytes
// before `fixed` from memory, the rest with sendfile(2), each as far as the socket takes it.
// The payload is checked as in send_checked: right before bytes that may include its end, and
// when the socket fills with more than kHeldBack bytes left, again before those last ones.
// False when the memory path is to go on: nothing here for the file to send, or a file that
// ends early (then checked) or that sendfile cannot read. A failed send is reported as a failed
// write is (the connection reports its error only once).
bool send_from_file(tolvane_writer *w) {
    if (w->file.fd < 0 || w->pending.left == 0 ||
        payload_offset(w) + w->pending.left <= w->file.fixed)
        return false;
    if (w->writes_outstanding > 0) return true;  // bytes before these are still on their way
    uv_os_fd_t socket;
    uv_fileno(reinterpret_cast<uv_handle_t *>(&w->tcp), &socket);
    while (w->pending.left > 0) {
        uint64_t at = payload_offset(w);
        if (w->pending.held > 0 && (at == 0 || w->pending.left == w->pending.held)) {
            w->pending.held = 0;
            check_intact(w);
        }
        bool head = at < w->file.fixed || cr_cbuf_length(w->buffer.write) > 0;
        ssize_t n;
        if (head) {
            n = send_head(w, socket);
        } else {
            auto offset = static_cast<off_t>(at);
            n = sendfile(socket, w->file.fd, &offset,
                         std::min<uint64_t>(w->pending.left - w->pending.held, 1 << 30));
            if (n > 0) {
                w->pending.data += n;
                w->pending.left -= static_cast<uint64_t>(n);
            }
        }
        if (n > 0) {
            stamp(w);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (w->pending.held == 0 && end_checked(w) && w->pending.left > kHeldBack)
                w->pending.held = kHeldBack;
            wait_writable(w);
            return true;
        } else if (n < 0 && (head || (errno != EINVAL && errno != ENOSYS && errno != EIO))) {
            int e = errno;
            check_intact(w);
            tolvane_fatal("error: failed to send to %s:%s (%s).\n", address_of(w), service_of(w),
                          uv_strerror(-e));
        } else {
            if (n == 0) check_intact(w);  // the file is shorter than it was
            close_file(w);
            return false;
        }
    }
    released(w, w->buffer.payload);
    if (w->cut_off) tolvane_exit(0);
    return true;
}

void drain_plain(tolvane_writer *w) {
    if (w->shutdown == TOLVANE_NETWORK_SHUTDOWN_IN_PROGRESS) {
        close_connection(w);
        return;
    }
    if (send_from_file(w)) {
        // waiting for the socket or for earlier writes
    } else if (w->pending.held > 0 && w->writes_outstanding == 0) {
        send_checked(w);
    } else {
        queue_plain(w, w->pending.left - w->pending.held);
    }
    start_reading(w);
}

[[noreturn]] void ssl_write_failed(bool closed, const char *error) {
    if (closed) tolvane_fatal("error: failed to write to connection: unexpected close.\n");
    tolvane_fatal("error: failed to write to connection: %s.\n", error);
}

// Moves everything the TLS session has produced to the loop, in blocks of at most 64 KiB.
void flush_tls(tolvane_writer *w) {
    while (true) {
        auto *block = static_cast<char *>(take_block(w));
        int n = cr_ssl_session_flush(&w->ssl.session, block, static_cast<int>(kBufferSize));
        if (n == -2) tolvane_fatal("error: unsupported I/O operation.\n");
        if (n <= 0) {
            give_block(w, block);
            return;
        }
        uv_buf_t buf = uv_buf_init(block, static_cast<unsigned int>(n));
        submit_write(w, TOLVANE_NETWORK_REQUEST_RAWBUF, block, &buf, 1);
    }
}

// Where the next piece of at most `*piece` payload bytes is encrypted from: the caller's memory,
// or past `fixed` the file's bytes read into a block of their own. The piece ends at `fixed`.
const unsigned char *tls_piece(tolvane_writer *w, uint64_t *piece) {
    uint64_t at = payload_offset(w);
    if (w->file.fd < 0 || at + *piece <= w->file.fixed) return w->pending.data;
    if (at < w->file.fixed) {
        *piece = w->file.fixed - at;
        return w->pending.data;
    }
    if (w->file.piece == nullptr &&
        (w->file.piece = static_cast<unsigned char *>(malloc(kTlsPiece))) == nullptr)
        tolvane_fatal("error: failed to allocate memory.\n");
    uint64_t got = 0;
    while (got < *piece) {
        ssize_t n =
            pread(w->file.fd, w->file.piece + got, *piece - got, static_cast<off_t>(at + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
    }
    if (got == *piece) return w->file.piece;
    check_intact(w);  // the file is shorter than it was (or cannot be read)
    close_file(w);
    return w->pending.data;
}

void drain_tls(tolvane_writer *w) {
    cr_ssl_session *ssl = &w->ssl.session;
    if (w->shutdown == TOLVANE_NETWORK_SHUTDOWN_IN_PROGRESS) {
        cr_ssl_status r = cr_ssl_session_shutdown(ssl);
        if (r == CR_SSL_OK) {
            w->shutdown = TOLVANE_NETWORK_SHUTDOWN_COMPLETE;
        } else if (r == CR_SSL_FAILED) {
            tolvane_fatal("error: failed to shutdown SSL session.\n");
        }
    } else if (cr_ssl_session_established(ssl)) {
        if (cr_cbuf_length(w->buffer.write) > 0) {
            uint32_t written;
            cr_cbuf_error_t r = cr_cbuf_ssl_write(0, w->buffer.write, 0, &written);
            if (r == CR_CBUF_EOF || r == CR_CBUF_ERROR)
                ssl_write_failed(r == CR_CBUF_EOF, cr_cbuf_error(w->buffer.write));
        }
        // The payload is encrypted in bounded pieces as the connection drains, so memory
        // stays small whatever the file's size. What the loop holds counts until its write
        // callback has run: the queue's size alone misses writes the socket took at once, and
        // the whole file would be encrypted in one turn.
        while (cr_cbuf_length(w->buffer.write) == 0 && w->pending.left > 0 &&
               w->in_loop < kTlsQueueLimit) {
            uint64_t piece = std::min<uint64_t>(w->pending.left, kTlsPiece);
            const unsigned char *from = tls_piece(w, &piece);
            cr_ssl_status status;
            struct cr_ssl_error e;
            int n = cr_ssl_session_write(ssl, from, static_cast<int>(piece), &status, &e);
            if (n <= 0) {
                if (status == CR_SSL_WOULD_BLOCK) break;
                ssl_write_failed(status == CR_SSL_CLOSED, cr_ssl_strerror(&e));
            }
            w->pending.data += n;
            w->pending.left -= static_cast<uint64_t>(n);
            // The last piece is encrypted but not yet handed on: it leaves only if the caller
            // finds the payload unchanged.
            if (w->pending.left == 0 && w->pending.data == w->buffer.payload + w->buffer.target)
                check_intact(w);
            flush_tls(w);
            if (w->pending.left == 0) released(w, w->buffer.payload);
        }
    }
    flush_tls(w);
    start_reading(w);
}

void writer_drain(tolvane_writer *w) {
    w->ssl.use ? drain_tls(w) : drain_plain(w);
}

void writer_send_data(tolvane_writer *w, bool with_header) {
    if (with_header &&
        !cr_cbuf_append(&w->buffer.write, &w->buffer.header, sizeof w->buffer.header))
        tolvane_fatal("error: failed to allocate memory.\n");
    // A held-back end is a small write right after a large one: Nagle's rule would keep it
    // waiting for an acknowledgement that the peer may delay.
    if (with_header && !w->ssl.use) uv_tcp_nodelay(&w->tcp, 1);
    uint64_t sent = 0;
    if (w->command.tail > w->command.head) {
        if (!cr_cbuf_append(&w->buffer.write, &w->buffer.command, sizeof w->buffer.command))
            tolvane_fatal("error: failed to allocate memory.\n");
        sent = std::min<uint64_t>(w->buffer.target, w->disconnect_after);
        w->pending.data = w->buffer.payload;
        w->pending.left = sent;
        w->pending.source = sent > 0 ? w->buffer.payload : nullptr;
        // A payload cut short on purpose is never whole, so it needs no check.
        bool whole = sent == w->buffer.target && w->cb.check_intact != nullptr;
        w->pending.held = !w->ssl.use && whole ? std::min(sent, kHeldBack) : 0;
    }
    writer_drain(w);
    if (sent < w->buffer.target) {
        w->cut_off = true;
        if (w->writes_outstanding == 0 && w->pending.left == 0) tolvane_exit(0);
        return;
    }
    w->send_time = __rdtsc();
    stamp(w);
}

// Takes the handshake on with what has arrived; its failure (a refused certificate above all)
// ends the upload with the reason, before any plaintext could have been encrypted.
void handshake_step(tolvane_writer *w) {
    struct cr_ssl_error e;
    if (cr_ssl_session_handshake(&w->ssl.session, &e) == CR_SSL_FAILED)
        tolvane_fatal("error: TLS handshake with %s:%s failed: %s.\n", address_of(w), service_of(w),
                      cr_ssl_handshake_strerror(&w->ssl.session, &e));
}

// Feeds received bytes through the TLS session into the replies' buffer; returns the number of
// plain bytes that gave.
uint32_t tolvane_network_ssl_read(tolvane_writer *w, const char *data, size_t n) {
    int put = cr_ssl_session_feed(&w->ssl.session, data, static_cast<int>(n));
    if (put == -2) tolvane_fatal("error: unsupported I/O operation.\n");
    if (put <= 0) tolvane_fatal("error: internal I/O failure.\n");
    if (static_cast<size_t>(put) < n) tolvane_fatal("error: failed to read entire message.\n");
    if (!cr_ssl_session_established(&w->ssl.session)) handshake_step(w);
    uint32_t added;
    cr_cbuf_error_t r = cr_cbuf_ssl_read(0, &w->replies.buffer, -1, &added);
    if (r == CR_CBUF_ERROR)
        tolvane_fatal("error: failed to read from connection: %s.\n",
                      cr_cbuf_error(w->replies.buffer));
    if (r == CR_CBUF_EOF && w->shutdown == TOLVANE_NETWORK_RUNNING &&
        tolvane_writer_replies_held(&w->replies) == 0)
        tolvane_fatal("error: connection closed prematurely.\n");
    return added;
}

// Where a record whose first bytes arrive now stands. A server that has the whole payload has
// had every byte of it from the kernel: none may wait in the write buffer, in pending or in the
// loop's queue.
tolvane_writer_arrival arrival_now(const tolvane_writer *w) {
    if (w->command.head == w->command.tail) return TOLVANE_WRITER_UNASKED;
    bool written = w->pending.left == 0 && cr_cbuf_length(w->buffer.write) == 0 &&
                   w->tcp.write_queue_size == 0;
    return written ? TOLVANE_WRITER_IN_TIME : TOLVANE_WRITER_BEFORE_PAYLOAD;
}

[[noreturn]] void protocol_error(tolvane_writer_arrival arrival) {
    tolvane_fatal("error: protocol error: %s.\n",
                  arrival == TOLVANE_WRITER_UNASKED
                      ? "the server sent a response nobody asked for"
                      : "the server answered before the trace was sent");
}

// Hands on the one record of the command waiting, sends the next command or shuts down, and
// refuses whatever else has come.
void take_records(tolvane_writer *w) {
    tolvane_writer_response response;
    tolvane_writer_reply_result r;
    while ((r = tolvane_writer_replies_next(&w->replies, &response)) ==
           TOLVANE_WRITER_REPLY_RECORD) {
        stamp(w);
        tolvane_writer_arrival arrival = w->arrival;
        // The bytes after it came before any next command was sent.
        uint32_t held = tolvane_writer_replies_held(&w->replies);
        w->arrival = held > 0 ? TOLVANE_WRITER_UNASKED : TOLVANE_WRITER_IN_TIME;
        if (arrival == TOLVANE_WRITER_UNASKED || (arrival == TOLVANE_WRITER_BEFORE_PAYLOAD &&
                                                  response.status != CR_SESSION_RESPONSE_ERROR))
            protocol_error(arrival);
        response.code = w->command.code;
        w->cb.response(w, &response);
        // An early error leaves the rest of the payload unsent: the exchange cannot go on.
        if (arrival != TOLVANE_WRITER_IN_TIME) protocol_error(arrival);
        w->command.head++;
        if (w->command.head == w->command.tail) {
            if (held > 0) protocol_error(TOLVANE_WRITER_UNASKED);
            w->command.head = w->command.tail = 0;
            w->shutdown = TOLVANE_NETWORK_SHUTDOWN_IN_PROGRESS;
            writer_drain(w);
            return;
        }
        writer_send_data(w, false);
    }
    if (r == TOLVANE_WRITER_REPLY_TOO_LARGE) tolvane_fatal("error: response body too large.\n");
    writer_drain(w);  // with TLS, the handshake may have output to send
}

void writer_response_read(uv_stream_t *stream, ssize_t nread, const uv_buf_t *buf) {
    auto *w = static_cast<tolvane_writer *>(stream->data);
    if (nread <= 0) {
        free(buf->base);
        if (nread == 0) return;
        if (w->shutdown != TOLVANE_NETWORK_RUNNING) tolvane_exit(0);
        tolvane_fatal("error: %s\n", uv_strerror(static_cast<int>(nread)));
    }
    uint32_t held = tolvane_writer_replies_held(&w->replies);
    uint32_t added = static_cast<uint32_t>(nread);
    if (w->ssl.use) {
        // The handshake moving on is progress; after it, only whole records are, so a reply
        // that trickles in never keeps the connection alive.
        if (!cr_ssl_session_established(&w->ssl.session)) stamp(w);
        added = tolvane_network_ssl_read(w, buf->base, static_cast<size_t>(nread));
    } else if (!tolvane_writer_replies_feed(&w->replies, buf->base, added)) {
        tolvane_fatal("error: failed to allocate memory.\n");
    }
    free(buf->base);
    if (added > 0 && held == 0) w->arrival = arrival_now(w);
    take_records(w);
}

void writer_connect_handler(uv_connect_t *req, int status) {
    auto *w = static_cast<tolvane_writer *>(req->handle->data);
    stamp(w);
    if (status < 0)
        tolvane_fatal("error: failed to connect to %s:%s (%s).\n", address_of(w), service_of(w),
                      uv_strerror(status));
    std::string why;
    if (w->ssl.use && !cr_ssl_session_connect(&w->ssl.session, &why))
        tolvane_fatal("%serror: failed to initiate SSL handshake.\n", why.c_str());
    w->buffer.header.endian = 0;
    w->buffer.header.version = 0x4141;
    w->cb.connected(w);
    writer_send_data(w, true);
}

void discard(tolvane_writer *w, bool tcp_initialised) {
    if (w->ssl.session.md != nullptr) cr_ssl_session_free(&w->ssl.session);
    if (w->ssl.context.md != nullptr) cr_ssl_free(&w->ssl.context);
    tolvane_writer_replies_free(&w->replies);
    cr_cbuf_destroy(w->buffer.write);
    free(w->file.piece);
    if (!tcp_initialised) {
        free(w);
        return;
    }
    // The loop still refers to the handle until its close completes.
    uv_close(reinterpret_cast<uv_handle_t *>(&w->tcp),
             [](uv_handle_t *h) { free(static_cast<tolvane_writer *>(h->data)); });
}
}  // namespace

tolvane_writer_t *tolvane_writer_create(tolvane_cf_universe_t *universe,
                                        tolvane_cf_server_t *server,
                                        const struct addrinfo *addresses, tolvane_cf_token_t *token,
                                        const tolvane_writer_callbacks *callbacks) {
    auto *w = static_cast<tolvane_writer *>(calloc(1, sizeof(tolvane_writer)));
    if (w == nullptr) return nullptr;
    w->buffer.write = cr_cbuf_create(kBufferSize);
    if (!tolvane_writer_replies_init(&w->replies) || w->buffer.write == nullptr) {
        discard(w, false);
        return nullptr;
    }
    w->token = token;
    w->universe = universe;
    w->server = server;
    w->cb = *callbacks;
    w->shutdown = TOLVANE_NETWORK_RUNNING;
    w->disconnect_after = UINT32_MAX;
    w->file.fd = w->file.poll_fd = -1;

    // A refused TLS switch gives no choice to follow: neither plaintext nor TLS is what was said.
    if (tolvane_cf_writer_ssl_refused(universe, server))
        tolvane_fatal("error: invalid SSL setting for universe %s; not connecting.\n",
                      universe->name);
    w->ssl.use = tolvane_cf_server_ssl_get(w->server, tolvane_cf_universe_ssl_writer(universe));
    std::string why;
    if (!cr_ssl_init(&w->ssl.context, tolvane_cf_universe_ssl_method_writer_get(universe),
                     tolvane_cf_universe_ssl_certificate_writer_get(universe), &why))
        tolvane_fatal("%s", why.c_str());
    if (w->ssl.use) {
        if (tolvane_cf_universe_ssl_verify_writer_get(universe) &&
            !cr_ssl_verify(&w->ssl.context, tolvane_cf_universe_ssl_ca_writer_get(universe), &why))
            tolvane_fatal("%s", why.c_str());
        if (!cr_ssl_session_init(&w->ssl.session, &w->ssl.context, &why) ||
            !cr_ssl_session_peer(&w->ssl.session, address_of(w), &why))
            tolvane_fatal("%serror: failed to initialize SSL session.\n", why.c_str());
        if (!cr_ssl_session_memory(&w->ssl.session, &why)) tolvane_fatal("%s", why.c_str());
        cr_ssl_session_client(&w->ssl.session);
        cr_cbuf_ssl_attach(w->replies.buffer, &w->ssl.session);
        cr_cbuf_ssl_attach(w->buffer.write, &w->ssl.session);
    }

    int r = uv_tcp_init(tolvane_network_loop_get(), &w->tcp);
    if (r != 0) {
        fprintf(stderr, "error: TCP initialization: %s\n", uv_strerror(r));
        discard(w, false);
        return nullptr;
    }
    w->tcp.data = w;
    if ((r = uv_tcp_keepalive(&w->tcp, 1, 3)) != 0) {
        fprintf(stderr, "error: TCP keep-alive: %s\n", uv_strerror(r));
        discard(w, true);
        return nullptr;
    }
    long port = strtol(service_of(w), nullptr, 10);
    if (port <= 0) {
        fprintf(stderr, "error: Invalid port: %d\n", static_cast<int>(port));
        discard(w, true);
        return nullptr;
    }
    sockaddr_in addr{};
    bool found = false;
    for (const addrinfo *a = addresses; a != nullptr && !found; a = a->ai_next) {
        char text[INET_ADDRSTRLEN];
        if (a->ai_family != AF_INET ||
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr, text,
                      sizeof text) == nullptr)
            continue;
        found = uv_ip4_addr(text, static_cast<int>(port), &addr) == 0;
    }
    if (!found) {
        fputs("error: Name failure.\n", stderr);
        discard(w, true);
        return nullptr;
    }
    r = uv_tcp_connect(&w->connect, &w->tcp, reinterpret_cast<const sockaddr *>(&addr),
                       writer_connect_handler);
    if (r != 0) {
        fprintf(stderr, "error: failed to start connecting to %s:%s (%s).\n", address_of(w),
                service_of(w), uv_strerror(r));
        discard(w, true);
        return nullptr;
    }
    uv_idle_init(tolvane_network_loop_get(), &w->refill);
    w->refill.data = w;
    w->tick.cb = idle_check;
    w->tick.context = w;
    if (!tolvane_network_tick_add(&w->tick)) tolvane_fatal("error: Failed to allocate memory.\n");
    return w;
}

void tolvane_writer_enqueue(tolvane_writer_t *w, cr_session_command_code code, const void *payload,
                            size_t length, uint32_t disconnect_after) {
    close_file(w);  // the last payload's, whose last write may not have completed yet
    w->buffer.payload = static_cast<const unsigned char *>(payload);
    w->buffer.target = length;
    w->buffer.command.command = static_cast<uint8_t>(code);
    memset(w->buffer.command.padding, 0, sizeof w->buffer.command.padding);
    memcpy(w->buffer.command.payload.put.key, tolvane_cf_token_sha256(w->token)->value,
           sizeof w->buffer.command.payload.put.key);
    w->buffer.command.payload.put.payload = length;
    w->disconnect_after = disconnect_after;
    w->command.tail++;
}

uint64_t tolvane_writer_payload_sent(const tolvane_writer_t *w) {
    // Addresses as numbers: before its first send, `pending` may still point into another payload.
    auto from = reinterpret_cast<uintptr_t>(w->buffer.payload),
         at = reinterpret_cast<uintptr_t>(w->pending.data);
    if (at < from || at - from > w->buffer.target) return 0;
    uint64_t handed = at - from, queued = w->tcp.write_queue_size;
    return handed > queued ? handed - queued : 0;
}

void tolvane_writer_enqueue_file(tolvane_writer_t *w, cr_session_command_code code,
                                 const void *payload, size_t length, uint32_t disconnect_after,
                                 int fd, size_t fixed) {
    tolvane_writer_enqueue(w, code, payload, length, disconnect_after);
    w->file.fd = fd;
    w->file.fixed = fixed;
}
