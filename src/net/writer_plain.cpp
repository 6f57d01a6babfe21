// The session writer's pump on a plain connection: frames from the write buffer, the payload
// straight from its memory through the loop, or from its file with sendfile(2); the payload's
// end held back until the payload has been checked.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "writer_private.h"

namespace session_writer {
namespace {
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

// Queues the write buffer's bytes and the next `now` payload bytes (granted by the rate cap) as
// one write. The header and frame go from the write buffer; the payload straight from its
// memory, so a file of any size is never copied. The write that takes the payload's last bytes
// releases it.
void queue_plain(tolvane_writer *w, uint64_t now) {
    uv_buf_t bufs[2];
    unsigned int n = plain_bufs(w, now, bufs);
    if (n == 0) return;
    tolvane_payload *payload = now > 0 && now == w->pending.left ? w->buffer.payload : nullptr;
    uint32_t length = cr_cbuf_length(w->buffer.write);
    pace_spend(w, length);
    cr_cbuf_t *sent = nullptr;
    if (length > 0) {
        sent = w->buffer.write;
        w->buffer.write = cr_cbuf_create(kBufferSize);
        if (w->buffer.write == nullptr) {
            w->buffer.write = sent;
            fail(w, "error: failed to allocate memory.\n");
            return;
        }
    }
    w->last_write_size += length + static_cast<size_t>(now);
    w->pending.data += now;
    w->pending.left -= now;
    submit_write(w, sent != nullptr ? REQUEST_CBUF : REQUEST_RAWBUF, sent, bufs, n, payload);
}

// The kernel copies the payload from memory as it is written, so the payload's end goes only
// right after the payload was found unchanged: as much as the socket takes at once (a whole
// file, mostly). What it does not take is queued with its own end held back for one more check
// once the rest has gone; a last piece of at most TOLVANE_PAYLOAD_HELD_BACK bytes goes as it is.
// Under a rate cap only the held-back end comes here, and goes once the cap lets it go whole.
void send_checked(tolvane_writer *w) {
    if (pace(w, w->pending.left, true) == 0) return;
    w->pending.held = 0;
    if (!check_payload(w)) return;
    uv_buf_t bufs[2];
    unsigned int n = plain_bufs(w, w->pending.left, bufs);
    int r = uv_try_write(stream_of(w), bufs, n);
    size_t took = r > 0 ? static_cast<size_t>(r) : 0;
    size_t from_buffer = std::min<size_t>(took, cr_cbuf_length(w->buffer.write));
    cr_cbuf_drain(w->buffer.write, static_cast<uint32_t>(from_buffer));
    pace_spend(w, static_cast<int64_t>(from_buffer));
    w->pending.data += took - from_buffer;
    w->pending.left -= took - from_buffer;
    if (w->pending.left == 0) {
        released(w, w->buffer.payload);
        return;
    }
    w->pending.held = w->pending.left > TOLVANE_PAYLOAD_HELD_BACK ? TOLVANE_PAYLOAD_HELD_BACK : 0;
    queue_plain(w, w->pending.left - w->pending.held);
}

void on_writable(uv_poll_t *poll, int, int) {
    auto *w = static_cast<tolvane_writer *>(poll->data);
    uv_poll_stop(poll);
    if (w->state == state::running) drain(w);
}

// The connection's own handle has no way to say that the socket takes more without being given
// bytes to write, so a duplicate of its descriptor is watched for that. False (and finished)
// when it cannot be.
bool wait_writable(tolvane_writer *w) {
    if (!w->file.polling) {
        uv_os_fd_t fd;
        if (uv_fileno(reinterpret_cast<uv_handle_t *>(&w->tcp), &fd) != 0)
            return fail(w, "error: failed to send data: %s.\n", strerror(errno));
        w->file.poll_fd.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!w->file.poll_fd) return fail(w, "error: failed to send data: %s.\n", strerror(errno));
        int r =
            uv_poll_init_socket(tolvane_network_loop_get(), &w->file.poll, w->file.poll_fd.get());
        if (r != 0) {
            w->file.poll_fd.reset();
            return fail(w, "error: failed to send data: %s.\n", uv_strerror(r));
        }
        w->file.poll.data = w;
        w->file.polling = true;
        w->open_handles++;
    }
    uv_poll_start(&w->file.poll, UV_WRITABLE, on_writable);
    return true;
}

// Sends the write buffer's bytes and the payload's up to `fixed`, as far as the socket takes
// them, marked as followed by more so that they leave with the file's first bytes.
ssize_t send_head(tolvane_writer *w, int socket) {
    uv_buf_t bufs[2];
    uint64_t at = payload_offset(w), fixed = w->buffer.payload->fixed;
    unsigned int n = plain_bufs(w, at < fixed ? fixed - at : 0, bufs);
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
    return w->buffer.payload->path != nullptr &&
           payload_offset(w) + w->pending.left == w->buffer.target;
}

// The payload's end waits for a check of its own once the rest goes in more than one piece (a
// full socket, or the rate cap).
void hold_end(tolvane_writer *w) {
    if (w->pending.held == 0 && end_checked(w) && w->pending.left > TOLVANE_PAYLOAD_HELD_BACK)
        w->pending.held = TOLVANE_PAYLOAD_HELD_BACK;
}

// A payload with a file goes here rather than through the loop: the write buffer and the bytes
// before `fixed` from memory, the rest with sendfile(2), each as far as the socket takes it.
// The payload is checked as in send_checked: right before bytes that may include its end, and
// when the socket fills (or the rate cap holds the rest back) with more than
// TOLVANE_PAYLOAD_HELD_BACK bytes left, again before those last ones. False when the memory path is
// to go on: nothing here for the file to send, or a file that ends early (then checked) or that
// sendfile cannot read. A failed send is reported as a failed write is (the connection reports its
// error only once).
bool send_from_file(tolvane_writer *w) {
    tolvane_payload *p = w->buffer.payload;
    if (p == nullptr || !p->file || w->pending.left == 0 ||
        payload_offset(w) + w->pending.left <= p->fixed)
        return false;
    if (w->writes_outstanding > 0) return true;  // bytes before these are still on their way
    uv_os_fd_t socket;
    uv_fileno(reinterpret_cast<uv_handle_t *>(&w->tcp), &socket);
    while (w->pending.left > 0) {
        uint64_t at = payload_offset(w);
        bool head = at < p->fixed || cr_cbuf_length(w->buffer.write) > 0;
        // What the rate cap lets go now of the file's bytes: the held-back end whole, once it
        // is due; when that is not all of the rest, the end is held back for its own check.
        uint64_t granted = 0;
        if (!head) {
            bool end = w->pending.held > 0 && w->pending.left == w->pending.held;
            granted = pace(w, end ? w->pending.left : w->pending.left - w->pending.held, end);
            if (granted == 0) {
                hold_end(w);
                return true;  // woken by the cap
            }
            if (granted < w->pending.left) hold_end(w);
        }
        if (w->pending.held > 0 && (at == 0 || w->pending.left == w->pending.held)) {
            w->pending.held = 0;
            if (!check_payload(w)) return true;
        }
        ssize_t n;
        if (head) {
            n = send_head(w, socket);
            if (n > 0) pace_spend(w, n);
        } else {
            auto offset = static_cast<off_t>(at);
            n = sendfile(socket, p->file.get(), &offset,
                         std::min<uint64_t>({w->pending.left - w->pending.held, granted, 1 << 30}));
            if (n > 0) {
                w->pending.data += n;
                w->pending.left -= static_cast<uint64_t>(n);
            }
            pace_spend(
                w, -static_cast<int64_t>(granted - static_cast<uint64_t>(std::max<ssize_t>(n, 0))));
        }
        if (n > 0) {
            stamp(w);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            hold_end(w);
            wait_writable(w);
            return true;
        } else if (n < 0 && (head || (errno != EINVAL && errno != ENOSYS && errno != EIO))) {
            send_failed(w, -errno);
            return true;
        } else if (n == 0) {
            // The file is shorter than it was.
            tolvane_net_result result;
            if (!p->file_ended(&result)) {
                finish(w, std::move(result));
                return true;
            }
            return false;
        } else {
            p->file.reset();  // sendfile cannot read it: memory serves
            return false;
        }
    }
    released(w, w->buffer.payload);
    if (w->cut_off) finish(w, {});
    return true;
}
}  // namespace

void drain_plain(tolvane_writer *w) {
    if (w->state == state::closing) {
        finish(w, {});
        return;
    }
    if (send_from_file(w)) {
        // waiting for the socket, for earlier writes or for the rate cap, or finished
    } else if (w->pending.held > 0 && w->writes_outstanding == 0 &&
               (w->pace.rate == 0 || w->pending.left == w->pending.held)) {
        send_checked(w);
    } else {
        queue_plain(w, pace(w, w->pending.left - w->pending.held, false));
    }
    if (w->state == state::done) return;
    start_reading(w);
}
}  // namespace session_writer
