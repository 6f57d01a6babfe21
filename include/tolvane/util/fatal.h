// The one place where the process ends. Every fatal path goes through tolvane_exit, so a
// harness (a fuzzer, say) can install a hook that unwinds instead of ending the process.
// "Where can this end?" is a grep for tolvane_ here: no file keeps an ending helper of its own.
#pragma once

#include <cstdio>

// Called with the exit status instead of exit(); it must not return.
typedef void (*tolvane_exit_hook_t)(int status);
void tolvane_exit_hook_set(tolvane_exit_hook_t hook);
// Called before the message of tolvane_fatal, tolvane_errx or tolvane_perror_exit is written,
// and before tolvane_exit ends the process (put erases its progress line from the terminal).
typedef void (*tolvane_message_hook_t)(void);
void tolvane_message_hook_set(tolvane_message_hook_t hook);

[[noreturn]] void tolvane_exit(int status);
// Ends the process by the signal's default action, as if it had never been caught: for a process
// that caught a terminating signal to tidy up first, so that its parent still sees the signal
// (a service manager counts SIGTERM and SIGINT as a clean end; a shell stops its loop). Standard
// output is flushed first; the exit hook, if any, gets 128 + sig.
[[noreturn]] void tolvane_exit_signal(int sig);
// Writes exactly the formatted bytes on standard error (nothing added), then ends with status 1.
[[noreturn]] void tolvane_fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Same bytes as errx(3): short program name, ": ", the message, a line feed; then ends with status.
[[noreturn]] void tolvane_errx(int status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Same bytes as perror(3), then ends with status 1.
[[noreturn]] void tolvane_perror_exit(const char *text);
// A command's usage text: asked for (-h, --help) it goes to standard output with status 0; after
// misuse to standard error with status 1. `out` is stdout or stderr and says which.
[[noreturn]] void tolvane_usage(FILE *out, const char *text);
// Output that cannot be written (a full device, a pipe whose reader has gone) is never a
// success: tolvane_stdout_flush flushes standard output and, when any of it was lost, says so
// on standard error and ends with status 1; tolvane_stdout_lost does that for a write that
// failed with errno `error`.
void tolvane_stdout_flush(void);
[[noreturn]] void tolvane_stdout_lost(int error);
