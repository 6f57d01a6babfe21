// The misbehaviours tests ask the receiver for, and the one request count that decides when
// they start, shared by the HTTP and session sides.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rx {

// What requests numbered above `after` (counted from 1 over all connections and protocols) do
// instead of the normal answer; delay_ms applies to them whatever they do.
struct Misbehaviour {
    uint64_t after = 0;
    unsigned delay_ms = 0;

    // HTTP requests.
    std::optional<std::string> reply_body;  // replied as is, with status, storing nothing
    int status = 200;
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
};

// Counts one request and says whether it is to misbehave.
inline bool next_request_misbehaves(const Misbehaviour &m) {
    static std::atomic<uint64_t> seq{0};
    return ++seq > m.after;
}

}  // namespace rx
