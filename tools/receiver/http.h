// The HTTP/1.1 side of the receiver: POST /post?token=... stores a trace through the Store,
// with keep-alive, chunked bodies, 100-continue, and the misbehaviours tests ask for.
#pragma once

#include <string>
#include <vector>

#include "conn.h"
#include "misbehave.h"
#include "store.h"

namespace rx {

struct HttpConfig {
    Store *store = nullptr;
    std::vector<std::string> tokens;  // 64 lowercase hexadecimal digits each
    Misbehaviour misbehave;
};

// Serves requests on one connection until either side ends it; conn names it in the log.
void serve_http(Stream &stream, const HttpConfig &config, uint64_t conn);

}  // namespace rx
