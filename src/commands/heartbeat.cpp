// The gimli heartbeat: the record shared with the watchdog monitor and the fatal-signal handler
// that asks it for a trace before the process dies.
#include "tolvane/heartbeat.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {
volatile gimli_heartbeat *hb;
gimli_shutdown_func_t shutdown_func;

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
    int fd = atoi(text);
    void *record =
        mmap(nullptr, sizeof(gimli_heartbeat), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (record == MAP_FAILED) {
        fprintf(stderr, "gimli: can't map %s: %s\n", text, strerror(errno));
        close(fd);
        return nullptr;
    }
    close(fd);
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
