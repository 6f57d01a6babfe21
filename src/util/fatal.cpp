#include "tolvane/util/fatal.h"

#include <signal.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tolvane/util/misc.h"

static tolvane_exit_hook_t exit_hook;
static tolvane_message_hook_t message_hook;

void tolvane_exit_hook_set(tolvane_exit_hook_t hook) {
    exit_hook = hook;
}

void tolvane_message_hook_set(tolvane_message_hook_t hook) {
    message_hook = hook;
}

static void before_message() {
    int saved = errno;  // the message may still name it
    if (message_hook != nullptr) message_hook();
    errno = saved;
}

void tolvane_exit(int status) {
    before_message();
    if (exit_hook != nullptr) exit_hook(status);
    exit(status);
}

void tolvane_exit_signal(int sig) {
    if (exit_hook != nullptr) exit_hook(128 + sig);
    fflush(nullptr);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);  // a signal whose default action does not end a process
}

void tolvane_fatal(const char *fmt, ...) {
    before_message();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    tolvane_exit(1);
}

void tolvane_errx(int status, const char *fmt, ...) {
    before_message();
    // Composed first and written in one piece, so that a reader of whole messages (the journal's
    // priorities) sees its start.
    char *message = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&message, fmt, ap);
    va_end(ap);
    if (n >= 0) {
        fprintf(stderr, "%s: %s\n", program_invocation_short_name, message);
        free(message);
    } else {
        fprintf(stderr, "%s: %s\n", program_invocation_short_name, fmt);
    }
    tolvane_exit(status);
}

void tolvane_perror_exit(const char *text) {
    before_message();
    perror(text);
    tolvane_exit(1);
}

void tolvane_usage(FILE *out, const char *text) {
    if (fputs(text, out) < 0 && out == stdout) tolvane_stdout_lost(errno);
    if (out == stdout) tolvane_stdout_flush();
    tolvane_exit(out == stdout ? 0 : 1);
}

void tolvane_stdout_flush(void) {
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) tolvane_stdout_lost(errno);
}

void tolvane_stdout_lost(int error) {
    // Whatever is still buffered is lost too: exit's own flush must not try it again.
    __fpurge(stdout);
    if (error != 0)
        tolvane_fatal("error: failed to write to standard output: %s.\n", tolvane_strerror(error));
    tolvane_fatal("error: failed to write to standard output.\n");
}
