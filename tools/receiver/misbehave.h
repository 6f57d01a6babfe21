// The misbehaviours tests ask the receiver for, and the one request count that decides when
// they start, shared by the HTTP and session sides.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "conn.h"

namespace rx {

// What requests numbered above `after` (counted from 1 over all connections and protocols) do
// instead of the normal answer; delay_ms applies to them whatever they do.
struct Misbehaviour {
    uint64_t after = 0;
    unsigned delay_ms = 0;

    // HTTP requests.
    std::optional<std::string> reply_body;  // replied as is, with status, storing nothing
    int status = 200;
    std::string reply_type = "application/json";  // the reply's content type, with reply_body
    bool close_without_reply = false;  // the whole body is read, then the connection closed
    bool close_before_body = false;    // the connection is closed right after the headers
    size_t reply_pad = 0;              // spaces added to the reply body
    bool reply_endless = false;        // the reply body goes on with spaces (chunked), 1 GiB
    bool close_after_reply = false;    // the connection is closed after a keep-alive reply
    bool close_on_reuse = false;       // a request on a connection that has answered one: closed

    // Session commands.
    std::optional<uint32_t> session_status;  // answered with it and session_substatus
    uint64_t session_substatus = 0;
    size_t session_split = 0;                // response records go out in pieces this big
    bool session_close = false;              // the payload is read, then the connection closed
    bool session_silent = false;             // payloads are read, nothing is ever answered
    std::optional<uint64_t> session_length;  // announced as the body length; no body follows
    size_t session_pad = 0;                  // spaces added to the body (a counted one if none)
    bool session_endless = false;  // a text body that goes on with spaces (no zero byte), 1 GiB
    bool session_extra = false;    // each answer is followed at once by an unasked OK record
    bool session_early = false;    // answered after the frame, before the payload is read
    bool session_greet = false;    // an answer goes out as each connection starts (not counted)

    // Request bodies and command payloads, once their first MiB has been read (both protocols).
    unsigned body_pause_ms = 0;  // reading stops for this long
    bool body_reset = false;     // the connection is reset
};

// Called as a body is read, with the bytes read before and after the latest read: at its first
// MiB, logs and pauses, or resets the connection (by throwing, which drops it).
inline void mid_body(const Misbehaviour &m, Stream &s, uint64_t before, uint64_t after,
                     unsigned long long id) {
    const uint64_t kMidBody = 1u << 20;
    if (before >= kMidBody || after < kMidBody) return;
    if (m.body_pause_ms > 0) {
        log("#%llu body paused for %u ms", id, m.body_pause_ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(m.body_pause_ms));
    }
    if (m.body_reset) {
        s.reset();
        throw std::runtime_error("reset in the middle of the body as told");
    }
}

// Counts one request and says whether it is to misbehave.
inline bool next_request_misbehaves(const Misbehaviour &m) {
    static std::atomic<uint64_t> seq{0};
    return ++seq > m.after;
}

}  // namespace rx
