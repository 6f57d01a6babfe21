// Shared set-up for the fuzz targets: fatal paths unwind instead of ending the process, and
// inputs that the parsers read from a path are served from an in-memory file.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tolvane/config/cf_home.h"
#include "tolvane/util/fatal.h"

namespace fuzz {

struct exit_called {
    int status;
};

[[noreturn]] inline void throw_exit(int status) {
    throw exit_called{status};
}

inline void init() {
    tolvane_exit_hook_set(throw_exit);
    // Every rejected input prints its message; keep the fuzzer's own log readable.
    stderr = fopen("/dev/null", "w");
}

// A path whose content is the current input.
inline const std::string &input_path(const uint8_t *data, size_t size) {
    static int fd = memfd_create("fuzz-input", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    return path;
}

// Runs one parse, treating a fatal error as an ordinary outcome, then drops the whole model.
template <typename F>
void run(F parse) {
    try {
        parse();
    } catch (const exit_called &) {
    }
    tolvane_cf_reset();
}

}  // namespace fuzz
