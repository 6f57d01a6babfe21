// put's progress channel: a descriptor, named by the option --progress-fd=N that the daemon
// gives its upload children, on which put says in short lines how its upload goes. The daemon
// ends a child that makes no progress for a while, and learns what became of each file:
//
//     progress      bytes of the upload went out since the last look (at most once a second)
//     stored <i>    file i (0-based among put's files) is stored: its result line is printed
//                   and, with -u, the file is gone (or another file now has its name)
//     kept <i>      file i is in the store (stored now, or held already) but could not be
//                   deleted
//     failed <i>    put ends because file i could not be stored
//
// Writes never block: a "progress" line that finds the channel full is dropped (the next look
// says it again); the others wait in memory and go out with the next write. Without the option
// nothing is written and nothing of this runs.
#pragma once

#include <uv.h>

#include <cstdint>

namespace tolvane_put_channel {

// Takes the option's value: a descriptor above 2 that is open; anything else ends put with a
// message. The descriptor is made non-blocking.
void open(const char *value);

// Starts the look at the upload, once a second on the loop (without keeping the loop alive):
// `sent` gives a figure that changes whenever bytes of the upload went out.
void start(uv_loop_t *loop, uint64_t (*sent)());

// File i is handed to the writer; stored or kept say what became of it.
void sending(int i);
void stored(int i);
void kept(int i);

// put is ending: a file handed to the writer without an outcome failed. Lines still waiting
// get one more try.
void ending();

}  // namespace tolvane_put_channel
