// What an upload is held to on either transport: a cap on the rate its bytes leave at, and a
// limit on the time to connect (the TCP connect and the TLS handshake). libcurl paces HTTP
// itself; the session writer paces its bytes on the loop with the token bucket below, so that
// waiting for the cap is a timer, never a busy loop.
#pragma once

#include <cstdint>

struct tolvane_net_limits {
    uint64_t max_rate = 0;     // bytes per second; 0 for no cap
    int connect_timeout = 30;  // seconds
};

// A token bucket: bytes leave at `rate` per second on average and at most `burst` at once. The
// time is passed in (nanoseconds of a monotonic clock), so the pace is tested without waiting.
struct tolvane_pace {
    uint64_t rate = 0;  // 0: no cap, every call grants all
    uint64_t burst = 0;
    double tokens = 0;  // below zero while bytes sent beyond a grant are owed
    uint64_t stamp = 0;
};

// A bucket for `rate` (0: none), full at `now`.
void tolvane_pace_init(struct tolvane_pace *pace, uint64_t rate, uint64_t now);
// How many of `want` bytes may leave now, taken from the bucket. None until it holds
// min(want, burst), so bytes go in pieces worth a wake-up; then as many as it holds, or all of
// `want` when they must go whole.
uint64_t tolvane_pace_grant(struct tolvane_pace *pace, uint64_t want, bool whole, uint64_t now);
// Bytes that left without a grant (headers, frames, the handshake) are owed; a negative count
// gives back bytes granted and not sent.
void tolvane_pace_spend(struct tolvane_pace *pace, int64_t bytes);
// Milliseconds until a grant of `want` bytes would be given (at least 1).
uint64_t tolvane_pace_wait_ms(const struct tolvane_pace *pace, uint64_t want, uint64_t now);
