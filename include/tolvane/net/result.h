// What a network operation came to, as the network layer reports it to the command that asked:
// the runtime's set-up, a writer that could not be made, and each writer's completion. The
// network layer never ends the process; the command reads the record and ends it (or goes on).
#pragma once

#include <cstdarg>
#include <string>

typedef enum {
    TOLVANE_NET_OK = 0,
    // Failed; `message` says why, in whole lines for standard error.
    TOLVANE_NET_FAILED = 1,
    // A payload was found changed during its upload (see payload.h); `message` names its file.
    TOLVANE_NET_CHANGED = 2,
    // No writer could be made: `message` holds what led to it, if anything, and the caller adds
    // its own line saying that it has no writer.
    TOLVANE_NET_NO_WRITER = 3,
} tolvane_net_code;

struct tolvane_net_result {
    tolvane_net_code code = TOLVANE_NET_OK;
    std::string message;
    // HTTP: the status code of a reply that came whole; 0 otherwise (and for the session
    // protocol).
    int http_status = 0;

    bool ok() const { return code == TOLVANE_NET_OK; }
};

// Sets the code and adds the formatted text to the message; returns false, for a failing
// function to return it.
bool tolvane_net_fail(struct tolvane_net_result *result, tolvane_net_code code, const char *fmt,
                      ...) __attribute__((format(printf, 3, 4)));
// Adds the formatted text to a message.
void tolvane_net_append(std::string *message, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void tolvane_net_vappend(std::string *message, const char *fmt, va_list ap);
