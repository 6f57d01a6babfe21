// put's progress line: while a trace of over 8 MiB goes out and standard error is a terminal,
// one line "<path>  37%  390.0 MiB  812.3 MiB/s" there, redrawn four times a second and erased
// before the result line or any message that ends the process. Without a terminal, nothing.
#pragma once

#include <uv.h>

#include <cstdint>

namespace tolvane_put_progress {

// Whether standard error is a terminal decides whether anything is ever drawn.
void init();
// Sets the timer up on the loop: `sent` gives the bytes of the current upload sent so far.
void start(uv_loop_t *loop, uint64_t (*sent)());
// A file of `length` bytes at `path` is handed to the writer now.
void begin(const char *path, uint64_t length);
// The line goes: before a result line or a message.
void erase();
// The file's result line is due: the line goes and is not drawn again for it.
void stop();

}  // namespace tolvane_put_progress
