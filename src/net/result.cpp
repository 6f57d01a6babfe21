// The network layer's result record: text added to its message.
#include "tolvane/net/result.h"

#include <cstdarg>
#include <cstdio>

void tolvane_net_vappend(std::string *message, const char *fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    if (n > 0) {
        size_t at = message->size();
        message->resize(at + static_cast<size_t>(n) + 1);
        vsnprintf(message->data() + at, static_cast<size_t>(n) + 1, fmt, again);
        message->resize(at + static_cast<size_t>(n));
    }
    va_end(again);
}

bool tolvane_net_fail(tolvane_net_result *result, tolvane_net_code code, const char *fmt, ...) {
    result->code = code;
    va_list ap;
    va_start(ap, fmt);
    tolvane_net_vappend(&result->message, fmt, ap);
    va_end(ap);
    return false;
}

void tolvane_net_append(std::string *message, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    tolvane_net_vappend(message, fmt, ap);
    va_end(ap);
}
