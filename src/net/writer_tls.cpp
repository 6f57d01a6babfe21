// The session writer's pump through TLS over memory buffers: the handshake taken on with what
// arrives, received bytes decrypted into the replies, and the payload encrypted in bounded
// pieces as the connection drains, its last piece checked before it leaves.
#include <algorithm>
#include <cstdlib>

#include "writer_private.h"

namespace session_writer {
namespace {
// How many encrypted bytes the loop may hold (queued, or written and not yet completed) before
// more of the payload is encrypted.
const size_t kTlsQueueLimit = 4 << 20;
// Payload bytes encrypted at a time: four records whose overhead still fits one block, so each
// piece leaves in one write.
const uint64_t kTlsPiece = kBufferSize - 4096;
// Written blocks kept for reuse: as many as the loop may hold, and the one being filled.
const unsigned int kSpareBlocks = kTlsQueueLimit / kBufferSize + 2;

// Blocks of encrypted output that have been written are kept for the next ones: handing them
// back and asking again on every turn of the loop costs the system a zeroed page for each page.
void *take_block(tolvane_writer *w) {
    void *block = w->spare.first;
    if (block == nullptr) return malloc(kBufferSize);
    w->spare.first = *static_cast<void **>(block);
    w->spare.count--;
    return block;
}

void write_failed(tolvane_writer *w, bool closed, const char *error) {
    if (closed) {
        fail(w, "error: failed to write to connection: unexpected close.\n");
    } else {
        fail(w, "error: failed to write to connection: %s.\n", error);
    }
}

// Moves everything the TLS session has produced to the loop, in blocks of at most 64 KiB; false
// (and finished) on failure.
bool flush_tls(tolvane_writer *w) {
    while (true) {
        auto *block = static_cast<char *>(take_block(w));
        if (block == nullptr) return fail(w, "error: failed to allocate memory.\n");
        int n = cr_ssl_session_flush(&w->ssl.session, block, static_cast<int>(kBufferSize));
        if (n == -2 || n <= 0) {
            tls_give_block(w, block);
            return n != -2 || fail(w, "error: unsupported I/O operation.\n");
        }
        uv_buf_t buf = uv_buf_init(block, static_cast<unsigned int>(n));
        if (!submit_write(w, REQUEST_RAWBUF, block, &buf, 1)) return false;
    }
}

// Where the next piece of at most `*piece` payload bytes is encrypted from: the payload's
// memory, or past `fixed` its file's bytes read into a block of their own. The piece ends at
// `fixed`. Null (and finished) on failure.
const unsigned char *tls_piece(tolvane_writer *w, uint64_t *piece) {
    tolvane_payload *p = w->buffer.payload;
    uint64_t at = payload_offset(w);
    if (!p->file || at + *piece <= p->fixed) return w->pending.data;
    if (at < p->fixed) {
        *piece = p->fixed - at;
        return w->pending.data;
    }
    if (w->file.piece == nullptr &&
        (w->file.piece = static_cast<unsigned char *>(malloc(kTlsPiece))) == nullptr) {
        fail(w, "error: failed to allocate memory.\n");
        return nullptr;
    }
    if (p->read(w->file.piece, at, *piece) == *piece) return w->file.piece;
    // The file is shorter than it was (or cannot be read).
    tolvane_net_result result;
    if (p->file_ended(&result)) return w->pending.data;
    finish(w, std::move(result));
    return nullptr;
}

// Encrypts the payload in bounded pieces as the connection drains, so memory stays small
// whatever the file's size. What the loop holds counts until its write callback has run: the
// queue's size alone misses writes the socket took at once, and the whole file would be
// encrypted in one turn. False (and finished) on failure.
bool encrypt_payload(tolvane_writer *w) {
    cr_ssl_session *ssl = &w->ssl.session;
    if (uint32_t frames = cr_cbuf_length(w->buffer.write)) {
        uint32_t written;
        cr_cbuf_error_t r = cr_cbuf_ssl_write(0, w->buffer.write, 0, &written);
        if (r == CR_CBUF_EOF || r == CR_CBUF_ERROR) {
            write_failed(w, r == CR_CBUF_EOF, cr_cbuf_error(w->buffer.write));
            return false;
        }
        pace_spend(w, frames - cr_cbuf_length(w->buffer.write));
    }
    while (cr_cbuf_length(w->buffer.write) == 0 && w->pending.left > 0 &&
           w->in_loop < kTlsQueueLimit) {
        // The rate cap decides how much goes now; it wakes the pump when more may.
        uint64_t granted = pace(w, std::min<uint64_t>(w->pending.left, kTlsPiece), false);
        if (granted == 0) break;
        uint64_t piece = granted;
        const unsigned char *from = tls_piece(w, &piece);
        if (from == nullptr) return false;
        cr_ssl_status status;
        struct cr_ssl_error e;
        int n = cr_ssl_session_write(ssl, from, static_cast<int>(piece), &status, &e);
        pace_spend(w, -static_cast<int64_t>(granted - static_cast<uint64_t>(std::max(n, 0))));
        if (n <= 0) {
            if (status == CR_SSL_WOULD_BLOCK) break;
            write_failed(w, status == CR_SSL_CLOSED, cr_ssl_strerror(&e));
            return false;
        }
        w->pending.data += n;
        w->pending.left -= static_cast<uint64_t>(n);
        // The last piece is encrypted but not yet handed on: it leaves only if the payload is
        // found unchanged.
        if (w->pending.left == 0 && w->pending.data == w->buffer.data + w->buffer.target &&
            !check_payload(w))
            return false;
        if (!flush_tls(w)) return false;
        if (w->pending.left == 0) released(w, w->buffer.payload);
    }
    return true;
}

// Takes the handshake on with what has arrived; its failure (a refused certificate above all)
// ends the upload with the reason, before any plaintext could have been encrypted. Its line
// already names the server and the reason, and scripts know it, so it keeps its own wording
// and needs no cause line before it.
bool handshake_step(tolvane_writer *w) {
    struct cr_ssl_error e;
    if (cr_ssl_session_handshake(&w->ssl.session, &e) != CR_SSL_FAILED) return true;
    return fail(w, "error: TLS handshake with %s failed: %s.\n", w->server->display,
                cr_ssl_handshake_strerror(&w->ssl.session, &e));
}
}  // namespace

void tls_give_block(tolvane_writer *w, void *block) {
    if (w->spare.count >= kSpareBlocks) {
        free(block);
        return;
    }
    *static_cast<void **>(block) = w->spare.first;
    w->spare.first = block;
    w->spare.count++;
}

void tls_free(tolvane_writer *w) {
    while (void *block = w->spare.first) {
        w->spare.first = *static_cast<void **>(block);
        free(block);
    }
    w->spare.count = 0;
    free(w->file.piece);
    w->file.piece = nullptr;
}

void drain_tls(tolvane_writer *w) {
    bool closed = false;
    if (w->state == state::closing) {
        cr_ssl_status r = cr_ssl_session_shutdown(&w->ssl.session);
        if (r == CR_SSL_FAILED) {
            fail(w, "error: failed to shutdown SSL session.\n");
            return;
        }
        closed = r == CR_SSL_OK;
    } else if (cr_ssl_session_established(&w->ssl.session) && !encrypt_payload(w)) {
        return;
    }
    if (!flush_tls(w)) return;
    if (closed) {
        finish(w, {});
        return;
    }
    start_reading(w);
}

bool tls_feed(tolvane_writer *w, const char *data, size_t n, uint32_t *added) {
    int put = cr_ssl_session_feed(&w->ssl.session, data, static_cast<int>(n));
    if (put == -2) return fail(w, "error: unsupported I/O operation.\n");
    if (put <= 0) return fail(w, "error: internal I/O failure.\n");
    if (static_cast<size_t>(put) < n) return fail(w, "error: failed to read entire message.\n");
    if (!cr_ssl_session_established(&w->ssl.session) && !handshake_step(w)) return false;
    cr_cbuf_error_t r = cr_cbuf_ssl_read(0, &w->replies.buffer, -1, added);
    if (r == CR_CBUF_ERROR)
        return fail(w, "error: failed to read from connection: %s.\n",
                    cr_cbuf_error(w->replies.buffer));
    if (r == CR_CBUF_EOF && w->state == state::running &&
        tolvane_writer_replies_held(&w->replies) == 0)
        return fail(w, "%serror: connection closed prematurely.\n",
                    cause(w, "was closed by the server", "TLS close notify").c_str());
    return true;
}
}  // namespace session_writer
