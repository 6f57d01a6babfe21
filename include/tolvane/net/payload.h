// A trace on its way out, as both writers read it: its bytes (a private mapping of the file,
// whose header the sender may have rewritten), the file opened again to send the rest from, and
// the check that the bytes about to leave are still the file's. The sender owns the record and
// fills it; the writers read it, run the check before a payload's last bytes leave, and report
// a failed check as TOLVANE_NET_CHANGED.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "tolvane/net/result.h"
#include "tolvane/util/unique.h"

// On a plain session connection, the bytes at a payload's end that wait for the check when the
// socket does not take the rest at once: the kernel copies a write from memory as it sends it,
// so only bytes not yet handed over can still be kept back.
constexpr uint64_t TOLVANE_PAYLOAD_HELD_BACK = 4096;

struct tolvane_payload {
    // The file as named; null for bytes that no file stands behind (nothing to check).
    const char *path = nullptr;
    const unsigned char *data = nullptr;  // every byte of the payload (the whole file)
    size_t length = 0;
    // The bytes before this offset always come from `data` (a rewritten header); past it they
    // come from `file` while it is open.
    size_t fixed = 0;
    // The file opened again when it is sent (see reopen), or none. The kernel copies from its
    // page cache far more cheaply than this process first touches each page of a large mapping.
    tolvane::unique_fd file;
    // The file as it was loaded: what its path must still name for the check to look at it.
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    // Set when a page of the mapping vanished (the file shrank) or the file was found changed.
    volatile sig_atomic_t changed = 0;
    tolvane_payload *next_guarded = nullptr;  // the guard's list (tolvane_payload_guard)

    // Whether the bytes about to leave are still the file's (see the definition).
    bool intact();
    // Runs the check: true when the payload is intact, otherwise false with the result set to
    // TOLVANE_NET_CHANGED and its message.
    bool check(struct tolvane_net_result *result);
    // Sets the result to TOLVANE_NET_CHANGED, "error: file "<path>" changed during its upload.";
    // false.
    bool fail_changed(struct tolvane_net_result *result) const;
    // Opens the file again into `file`, unless its path names another file now (device and
    // inode); whether it did.
    bool reopen();
    // Reads file bytes from offset `at` on into `dest`, up to `count`: the number read, fewer
    // when the file ends early or cannot be read.
    size_t read(void *dest, uint64_t at, size_t count) const;
    // The file gave fewer bytes than it should: it is read no more (the rest comes from memory)
    // and the payload is checked, as check does.
    bool file_ended(struct tolvane_net_result *result);
};

// Puts the payload's mapping (`data`, `length`) under the guard against vanished pages: a file
// that shrinks under its mapping makes the next read of a vanished page raise SIGBUS, in a
// writer or in the TLS or HTTP library. Zero pages then stand in for the rest of the mapping, so
// the reader runs on, and `changed` makes the check fail before the last bytes leave. A fault
// anywhere else is not the guard's: the default action comes back and the fault repeats. The
// record must stay where it is for the life of the process.
void tolvane_payload_guard(struct tolvane_payload *payload);
