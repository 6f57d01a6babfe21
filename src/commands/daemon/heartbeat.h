// The gimli watchdog heartbeat: an 8-byte record shared with the monitor through the descriptor
// named by GIMLI_HB_FD, and a fatal-signal handler that asks the monitor for a trace.
#pragma once

#include <signal.h>

#include <cstdint>

enum {
    GIMLI_HB_NOT_SUPP = 0,
    GIMLI_HB_STARTING = 1,
    GIMLI_HB_RUNNING = 2,
    GIMLI_HB_STOPPING = 3,
};

struct gimli_heartbeat {
    int32_t state;
    int32_t ticks;
};
static_assert(sizeof(gimli_heartbeat) == 8);

typedef void (*gimli_shutdown_func_t)(int signo, siginfo_t *info);

// Maps the record the first time; later calls return it. GIMLI_HB_FD must be decimal digits
// naming an open regular file that holds at least the whole record; otherwise (or without the
// variable) the result is null, after a message.
volatile struct gimli_heartbeat *gimli_heartbeat_attach(void);
// Stores the state, then raises the tick count by one.
void gimli_heartbeat_set(volatile struct gimli_heartbeat *hb, int state);
// Whether the record's file has been cut short under it: stores since then went to a private
// page, so the process lives on, but the monitor sees no more beats.
bool gimli_heartbeat_lost(void);
void gimli_establish_signal_handlers(void);
void gimli_set_shutdown_func(gimli_shutdown_func_t func);
