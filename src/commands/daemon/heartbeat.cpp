// The gimli heartbeat: the record shared with the watchdog monitor and the fatal-signal handler
// that asks it for a trace before the process dies.
#include "heartbeat.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {
volatile gimli_heartbeat *hb;
gimli_shutdown_func_t shutdown_func;
// Set when the record's file was cut short under its mapping: a store to it faulted, and a
// private page now stands in for it.
volatile sig_atomic_t lost;

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

// Whether the fault is a store to the record after its file was truncated (by the monitor, or by
// anyone who can write it). Then an anonymous page takes the record's place, so the store
// completes harmlessly and the process goes on; the owner hears of it from gimli_heartbeat_lost.
bool record_gone(int signo, const siginfo_t *info) {
    if (signo != SIGBUS || hb == nullptr) return false;
    auto page = reinterpret_cast<uintptr_t>(hb) & ~(static_cast<uintptr_t>(getpagesize()) - 1);
    auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    if (at < page || at >= page + static_cast<uintptr_t>(getpagesize())) return false;
    if (mmap(reinterpret_cast<void *>(page), static_cast<size_t>(getpagesize()),
             PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
        return false;
    lost = 1;
    return true;
}

void gimli_signal_handler(int signo, siginfo_t *info, void *) {
    if (record_gone(signo, info)) return;
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
    // Handlers first, so that even this store survives a record truncated meanwhile.
    gimli_establish_signal_handlers();
    hb->state = GIMLI_HB_STARTING;
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

bool gimli_heartbeat_lost(void) {
    return lost != 0;
}

void gimli_set_shutdown_func(gimli_shutdown_func_t func) {
    shutdown_func = func;
}
