// One relayed connection: a client accepted on a listener, a connection of our own to the
// target, and between them one shaped direction each way (up: client to target, down: target
// to client). Each direction holds a bounded queue, delays every chunk by the latency and pays
// for its bytes from the link's token bucket for that direction, which all connections share
// as they would share an uplink, on uv timers. While a queue is over its bound the relay
// stops reading that side, so the sender's own socket fills and it feels the link.
#pragma once

#include <uv.h>

#include <cstdint>
#include <optional>

namespace relay {

struct Shape {
    sockaddr_storage target{};
    uint64_t up_rate = 0;    // bytes per second; 0: unlimited
    uint64_t down_rate = 0;  // likewise
    uint64_t latency_ms = 0;
    std::optional<uint64_t> stall_after;  // upstream bytes, per connection
};

// Socket buffers the relay asks for on every socket of its own: small, so that the kernel holds
// little beyond what the relay's queues allow. Segments are an Ethernet link's, not loopback's
// 64 KiB: the peer sizes its own send buffer by them, and would otherwise take megabytes that the
// link has not carried yet.
inline constexpr int kSocketBuffer = 16 << 10;
inline constexpr int kSegment = 1448;
// Sets both on a socket of the relay's own, before it connects or listens.
void set_buffers(int fd);

// One line on standard error.
void log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Accepts one pending connection on server and starts relaying it.
void accept_one(uv_stream_t *server, const Shape &shape);
// Closes every connection (the loop then runs out once the listeners are closed too).
void close_all();

}  // namespace relay
