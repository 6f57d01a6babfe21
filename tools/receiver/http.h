// The HTTP/1.1 side of the receiver: POST /post?token=... stores a trace through the Store,
// with keep-alive, chunked bodies, 100-continue, and the misbehaviours tests ask for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conn.h"
#include "store.h"

namespace rx {

// What requests numbered above misbehave_after (counted from 1 over all connections) do
// instead of the normal reply; delay_ms applies to them whatever they do.
struct Misbehaviour {
    uint64_t after = 0;
    std::optional<std::string> reply_body;  // replied as is, with status, storing nothing
    int status = 200;
    unsigned delay_ms = 0;
    bool close_without_reply = false;  // the whole body is read, then the connection closed
    bool close_before_body = false;    // the connection is closed right after the headers
};

struct HttpConfig {
    Store *store = nullptr;
    std::vector<std::string> tokens;  // 64 lowercase hexadecimal digits each
    Misbehaviour misbehave;
};

// Serves requests on one connection until either side ends it; conn names it in the log.
void serve_http(Stream &stream, const HttpConfig &config, uint64_t conn);

}  // namespace rx
