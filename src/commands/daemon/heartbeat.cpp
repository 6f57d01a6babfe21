// The gimli heartbeat: the record shared with the watchdog monitor and the fatal-signal handler
// that asks it for a trace before the process dies.
#include "heartbeat.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {
volatile gimli_heartbeat *hb;
gimli_shutdown_func_t shutdown_func;

// The descriptor a whole number (decimal digits only, nothing around them) names; -1 for any
// other text. The monitor writes the number itself, so nothing looser need be read.
int descriptor(const char *text) {
    if (*text == '\0') return -1;
    long fd = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return -1;
        fd = fd * 10 + (*p - '0');
        if (fd > INT_MAX) return -1;
    }
    return static_cast<int>(fd);
}

// 0 when the descriptor can carry the record, or why not. Touching a mapping beyond the end of
// its file raises SIGBUS, so the file must already hold the whole record; and only a regular
// file (a memory file is one) is a record both sides can share.
int usable(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return ENODEV;
    if (st.st_size < static_cast<off_t>(sizeof(gimli_heartbeat))) return EINVAL;
    return 0;
}

// Asks the monitor (our parent) for a trace, and waits stopped until it has taken it.
void request_trace() {
    kill(getppid(), SIGUSR2);
    kill(getpid(), SIGSTOP);
}

void gimli_signal_handler(int signo, siginfo_t *info, void *) {
    signal(signo, SIG_DFL);
    request_trace();
    if (hb != nullptr) gimli_heartbeat_set(hb, GIMLI_HB_STOPPING);
    if (shutdown_func != nullptr) shutdown_func(signo, info);
    fprintf(stderr, "gimli: exiting due to signal %d\n", signo);
    kill(getpid(), signo);
}
}  // namespace

volatile gimli_heartbeat *gimli_heartbeat_attach(void) {
    if (hb != nullptr) return hb;
    const char *text = getenv("GIMLI_HB_FD");
    if (text == nullptr) {
        fputs("gimli: GIMLI_HB_FD is not set\n", stderr);
        return nullptr;
    }
    int fd = descriptor(text);
    if (fd < 0) {
        // Not a number, so it names no descriptor: nothing is used or closed (standard input,
        // which atoi would have made of it, least of all).
        fprintf(stderr, "gimli: can't map %s: %s\n", text, strerror(EBADF));
        return nullptr;
    }
    int error = usable(fd);
    void *record = MAP_FAILED;
    if (error == 0) {
        record = mmap(nullptr, sizeof(gimli_heartbeat), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (record == MAP_FAILED) error = errno;
    }
    if (error != EBADF) close(fd);
    if (record == MAP_FAILED) {
        fprintf(stderr, "gimli: can't map %s: %s\n", text, strerror(error));
        return nullptr;
    }
    hb = static_cast<volatile gimli_heartbeat *>(record);
    hb->state = GIMLI_HB_STARTING;
    gimli_establish_signal_handlers();
    return hb;
}

void gimli_heartbeat_set(volatile gimli_heartbeat *record, int state) {
    record->state = state;
    // The count wraps at the 32-bit limit; unsigned arithmetic keeps that defined.
    record->ticks = static_cast<int32_t>(static_cast<uint32_t>(record->ticks) + 1);
}

void gimli_establish_signal_handlers(void) {
    struct sigaction sa {};
    sa.sa_sigaction = gimli_signal_handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE}) sigaction(sig, &sa, nullptr);
}

void gimli_set_shutdown_func(gimli_shutdown_func_t func) {
    shutdown_func = func;
}
