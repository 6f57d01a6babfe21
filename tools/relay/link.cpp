#include "link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>

#include "bucket.h"

namespace relay {

void log(const char *fmt, ...) {
    char line[1024];
    int n = snprintf(line, sizeof line, "tolvane-relay: ");
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    if (m < 0) m = 0;
    size_t len = std::min(sizeof line - 2, static_cast<size_t>(n) + static_cast<size_t>(m));
    line[len++] = '\n';
    ssize_t w = write(2, line, len);
    (void)w;  // nothing sensible is left to do when standard error is gone
}

namespace {

// What a direction may hold (read, not yet written) before it stops reading, on top of what the
// link itself holds: rate times latency. Without a rate, latency is paid at this notional one.
constexpr uint64_t kQueueBound = 64 << 10;
constexpr uint64_t kUnlimitedRate = 256ull << 20;
constexpr size_t kReadSize = 32 << 10;

struct Connection;

struct Chunk {
    std::string data;
    size_t off = 0;    // what has been handed to the writer already
    uint64_t due = 0;  // when it may go: read time plus latency
};

// A small burst: a 50th of a second at high rates, at most a quarter second at low ones.
uint64_t burst_of(uint64_t rate) {
    return std::max<uint64_t>(1, std::max(rate / 50, std::min<uint64_t>(16 << 10, rate / 4)));
}

// The link's rate in each direction is shared by every connection over it, as an uplink's is:
// one bucket per direction for the life of the relay, made with the first connection.
Bucket &link_bucket(bool up, uint64_t rate) {
    static std::optional<Bucket> buckets[2];
    std::optional<Bucket> &b = buckets[up ? 0 : 1];
    if (!b) b.emplace(rate, burst_of(rate), uv_hrtime());
    return *b;
}

struct Direction {
    Direction(Connection *c, uv_tcp_t *from, uv_tcp_t *to, bool up, uint64_t rate,
              uint64_t latency_ms)
        : conn(c),
          src(from),
          dst(to),
          burst(burst_of(rate)),
          bucket(link_bucket(up, rate)),
          latency_ns(latency_ms * 1000000),
          bound(kQueueBound + (rate ? rate : kUnlimitedRate) * latency_ms / 1000) {}

    Connection *conn;
    uv_tcp_t *src, *dst;
    uint64_t burst;
    Bucket &bucket;
    uint64_t latency_ns;
    uint64_t bound;
    uv_timer_t timer;
    uv_shutdown_t shutdown_req;
    std::deque<Chunk> queue;
    uint64_t held = 0;  // read from src and not yet taken by dst's socket
    uint64_t forwarded = 0;
    bool reading = false;
    bool eof = false;
    uint64_t eof_due = 0;
    bool shutting = false, shut = false;
    std::optional<uint64_t> stall_left;
    char buf[kReadSize];
};

struct Connection {
    Connection(const Shape &s, uint64_t i)
        : id(i),
          up(this, &client, &target, true, s.up_rate, s.latency_ms),
          down(this, &target, &client, false, s.down_rate, s.latency_ms) {
        up.stall_left = s.stall_after;
    }
    uint64_t id;
    uv_tcp_t client, target;
    Direction up, down;
    uv_connect_t connect_req;
    int open_handles = 0;
    bool connected = false, stalled = false, closing = false;
};

struct WriteReq {
    uv_write_t req;
    Direction *d;
    std::string data;
};

std::unordered_set<Connection *> live;
uint64_t last_id;

const char *side(const Connection *c, const uv_tcp_t *t) {
    return t == &c->client ? "client" : "target";
}

void closed(Connection *c) {
    if (--c->open_handles > 0) return;
    live.erase(c);
    delete c;
}
void on_closed(uv_handle_t *h) {
    closed(static_cast<Connection *>(h->data));
}
void on_timer_closed(uv_handle_t *h) {
    closed(static_cast<Direction *>(h->data)->conn);
}

// Closes both sides; `reset` (one of them, or null) is closed with a reset, to pass one on.
void close_connection(Connection *c, uv_tcp_t *reset = nullptr) {
    if (c->closing) return;
    c->closing = true;
    log("#%llu closed: %llu bytes up, %llu bytes down", static_cast<unsigned long long>(c->id),
        static_cast<unsigned long long>(c->up.forwarded),
        static_cast<unsigned long long>(c->down.forwarded));
    for (uv_tcp_t *t : {&c->client, &c->target}) {
        if (t != reset || uv_tcp_close_reset(t, on_closed) != 0)
            uv_close(reinterpret_cast<uv_handle_t *>(t), on_closed);
    }
    for (Direction *d : {&c->up, &c->down})
        uv_close(reinterpret_cast<uv_handle_t *>(&d->timer), on_timer_closed);
}

// A failure on one side: the other side learns of it as a reset when the failure was one.
void fail(Connection *c, const char *what, const uv_tcp_t *broken, int status) {
    if (c->closing) return;
    log("#%llu %s %s: %s", static_cast<unsigned long long>(c->id), what, side(c, broken),
        uv_strerror(status));
    uv_tcp_t *other = broken == &c->client ? &c->target : &c->client;
    close_connection(c, status == UV_ECONNRESET ? other : nullptr);
}

void stall(Connection *c) {
    c->stalled = true;
    for (Direction *d : {&c->up, &c->down}) {
        if (d->reading) uv_read_stop(reinterpret_cast<uv_stream_t *>(d->src));
        d->reading = false;
        uv_timer_stop(&d->timer);
    }
    log("#%llu stalled after %llu bytes up", static_cast<unsigned long long>(c->id),
        static_cast<unsigned long long>(c->up.forwarded));
}

void pump(Direction *d);
void on_read(uv_stream_t *s, ssize_t nread, const uv_buf_t *buf);

void alloc_read(uv_handle_t *h, size_t, uv_buf_t *buf) {
    auto *c = static_cast<Connection *>(h->data);
    Direction *d = h == reinterpret_cast<uv_handle_t *>(&c->client) ? &c->up : &c->down;
    *buf = uv_buf_init(d->buf, sizeof d->buf);
}

void start_reading(Direction *d) {
    Connection *c = d->conn;
    if (d->reading || d->eof || c->stalled || c->closing || d->held >= d->bound) return;
    int r = uv_read_start(reinterpret_cast<uv_stream_t *>(d->src), alloc_read, on_read);
    if (r < 0) return fail(c, "cannot read from", d->src, r);
    d->reading = true;
}

void stop_reading(Direction *d) {
    if (d->reading) uv_read_stop(reinterpret_cast<uv_stream_t *>(d->src));
    d->reading = false;
}

void on_read(uv_stream_t *s, ssize_t nread, const uv_buf_t *buf) {
    auto *c = static_cast<Connection *>(s->data);
    Direction *d = s == reinterpret_cast<uv_stream_t *>(&c->client) ? &c->up : &c->down;
    if (nread == UV_EOF) {
        stop_reading(d);
        d->eof = true;
        d->eof_due = uv_hrtime() + d->latency_ns;
        pump(d);
    } else if (nread < 0) {
        fail(c, "reading from", d->src, static_cast<int>(nread));
    } else if (nread > 0) {
        d->queue.push_back(
            {std::string(buf->base, static_cast<size_t>(nread)), 0, uv_hrtime() + d->latency_ns});
        d->held += static_cast<uint64_t>(nread);
        if (d->held >= d->bound) stop_reading(d);
        pump(d);
    }
}

void on_timer(uv_timer_t *t) {
    pump(static_cast<Direction *>(t->data));
}

void arm(Direction *d, uint64_t ns) {
    uv_update_time(d->timer.loop);  // a stale loop clock would fire early (pump checks anyway)
    uv_timer_start(&d->timer, on_timer, (ns + 999999) / 1000000, 0);
}

void on_write(uv_write_t *req, int status) {
    auto *w = reinterpret_cast<WriteReq *>(req);
    Direction *d = w->d;
    d->held -= w->data.size();
    delete w;
    if (status == UV_ECANCELED) return;  // the connection is closing
    if (status < 0) return fail(d->conn, "writing to", d->dst, status);
    start_reading(d);
    pump(d);
}

void on_shutdown(uv_shutdown_t *req, int status) {
    auto *d = static_cast<Direction *>(req->data);
    Connection *c = d->conn;
    if (status == UV_ECANCELED) return;
    if (status < 0) return fail(c, "cannot shut down", d->dst, status);
    d->shut = true;
    if (c->up.shut && c->down.shut) close_connection(c);
}

// Hands n bytes of the queue's first chunk to dst.
bool send(Direction *d, size_t n) {
    Chunk &front = d->queue.front();
    auto *w = new WriteReq;
    w->d = d;
    if (front.off == 0 && n == front.data.size()) {
        w->data = std::move(front.data);
        d->queue.pop_front();
    } else {
        w->data.assign(front.data, front.off, n);
        front.off += n;
        if (front.off == front.data.size()) d->queue.pop_front();
    }
    uv_buf_t b = uv_buf_init(w->data.data(), static_cast<unsigned>(w->data.size()));
    int r = uv_write(&w->req, reinterpret_cast<uv_stream_t *>(d->dst), &b, 1, on_write);
    if (r < 0) {
        d->held -= w->data.size();
        delete w;
        fail(d->conn, "cannot write to", d->dst, r);
        return false;
    }
    d->forwarded += n;
    return true;
}

// Moves what is due and paid for from the queue to dst, then passes an end of stream on once
// the queue is empty; otherwise arms the timer for when the next piece may go. One write at a
// time: the next waits for the socket to take the last one.
void pump(Direction *d) {
    Connection *c = d->conn;
    if (c->closing || c->stalled || !c->connected) return;
    uint64_t now = uv_hrtime();
    while (!d->queue.empty()) {
        if (uv_stream_get_write_queue_size(reinterpret_cast<uv_stream_t *>(d->dst)) > 0) return;
        const Chunk &front = d->queue.front();
        if (front.due > now) return arm(d, front.due - now);
        uint64_t n = front.data.size() - front.off;
        if (!d->bucket.unlimited()) {
            // Not byte by byte: wait for a quarter of the burst, or what is left of the chunk.
            uint64_t wait = d->bucket.wait(std::min(n, std::max<uint64_t>(1, d->burst / 4)), now);
            if (wait > 0) return arm(d, wait);
            n = std::min(n, d->bucket.available(now));
        }
        if (d->stall_left) n = std::min(n, *d->stall_left);
        if (!send(d, n)) return;
        if (!d->bucket.unlimited()) d->bucket.take(n);
        if (d->stall_left && (*d->stall_left -= n) == 0) return stall(c);
    }
    if (d->eof && !d->shutting) {
        if (d->eof_due > now) return arm(d, d->eof_due - now);
        d->shutting = true;
        d->shutdown_req.data = d;
        int r = uv_shutdown(&d->shutdown_req, reinterpret_cast<uv_stream_t *>(d->dst), on_shutdown);
        if (r < 0) fail(c, "cannot shut down", d->dst, r);
    }
}

void on_connect(uv_connect_t *req, int status) {
    auto *c = static_cast<Connection *>(req->data);
    if (status == UV_ECANCELED) return;
    if (status < 0) {
        log("#%llu cannot connect to the target: %s", static_cast<unsigned long long>(c->id),
            uv_strerror(status));
        return close_connection(c, &c->client);
    }
    c->connected = true;
    uv_tcp_nodelay(&c->target, 1);
    if (c->up.stall_left == 0u) return stall(c);
    start_reading(&c->up);
    start_reading(&c->down);
}

}  // namespace

void set_buffers(int fd) {
    int size = kSocketBuffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    int mss = kSegment;
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
}

void accept_one(uv_stream_t *server, const Shape &shape) {
    auto *c = new Connection(shape, ++last_id);
    live.insert(c);
    uv_loop_t *loop = server->loop;
    uv_tcp_init(loop, &c->client);
    uv_tcp_init(loop, &c->target);
    c->client.data = c->target.data = c;
    for (Direction *d : {&c->up, &c->down}) {
        uv_timer_init(loop, &d->timer);
        d->timer.data = d;
    }
    c->open_handles = 4;
    int r = uv_accept(server, reinterpret_cast<uv_stream_t *>(&c->client));
    if (r < 0) {
        log("accept: %s", uv_strerror(r));
        return close_connection(c);
    }
    uv_tcp_nodelay(&c->client, 1);
    int fd = socket(shape.target.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        log("#%llu socket: %s", static_cast<unsigned long long>(c->id), uv_strerror(-errno));
        return close_connection(c, &c->client);
    }
    // Set before connecting, so that the window offered to the target is small from the start.
    set_buffers(fd);
    if ((r = uv_tcp_open(&c->target, fd)) < 0) {
        close(fd);
        log("#%llu %s", static_cast<unsigned long long>(c->id), uv_strerror(r));
        return close_connection(c, &c->client);
    }
    c->connect_req.data = c;
    r = uv_tcp_connect(&c->connect_req, &c->target,
                       reinterpret_cast<const sockaddr *>(&shape.target), on_connect);
    if (r < 0) on_connect(&c->connect_req, r);
}

void close_all() {
    for (Connection *c : live) close_connection(c);
}

}  // namespace relay
