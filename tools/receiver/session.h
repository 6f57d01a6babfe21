// The binary session side of the receiver: after the 4-byte connection header, 45-byte command
// frames each followed by a payload that goes through the Store, answered by 24-byte response
// records with an optional body; with the misbehaviours tests ask for.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conn.h"
#include "misbehave.h"
#include "store.h"

namespace rx {

struct SessionConfig {
    Store *store = nullptr;
    std::vector<std::array<unsigned char, 32>> tokens;  // raw SHA-256 values
    Misbehaviour misbehave;
    // The body of stored (and forced-status) responses: none when absent; with body_text it
    // goes out followed by a zero byte under the all-ones length.
    std::optional<std::string> body;
    bool body_text = false;
};

// Serves commands on one connection until either side ends it; conn names it in the log.
void serve_session(Stream &stream, const SessionConfig &config, uint64_t conn);

}  // namespace rx
