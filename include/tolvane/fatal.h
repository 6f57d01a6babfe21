// The one place where the process ends. Every fatal path goes through tolvane_exit, so a
// harness (a fuzzer, say) can install a hook that unwinds instead of ending the process.
#pragma once

// Called with the exit status instead of exit(); it must not return.
typedef void (*tolvane_exit_hook_t)(int status);
void tolvane_exit_hook_set(tolvane_exit_hook_t hook);

[[noreturn]] void tolvane_exit(int status);
// Same bytes as errx(3): short program name, ": ", the message, a line feed; then ends with status.
[[noreturn]] void tolvane_errx(int status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Same bytes as perror(3), then ends with status 1.
[[noreturn]] void tolvane_perror_exit(const char *text);
