// The session writer: uploads trace files over the binary session protocol on one TCP
// connection. Only what the network runtime reads of it is here yet.
#pragma once

#include <uv.h>

#include <ctime>

#include "tolvane/cf_universe.h"

struct tolvane_writer {
    uv_tcp_t tcp;
    time_t last_activity;    // clock second of the last progress; 0 until connected
    size_t last_write_size;  // bytes queued for writing when last looked at
};
typedef struct tolvane_writer tolvane_writer_t;

struct tolvane_writer_response;
typedef void (*tolvane_writer_cb_t)(tolvane_writer_t *writer,
                                    struct tolvane_writer_response *response);

// Connects to the universe's first resolvable writer server; null when it cannot.
tolvane_writer_t *tolvane_writer_create(tolvane_cf_universe_t *universe, tolvane_cf_token_t *token,
                                        tolvane_writer_cb_t cb);
