// The network runtime: the one libuv loop carrying every upload, a once-a-second tick on
// which writers run their own idle checks, the glue that drives libcurl's multi interface on that
// loop, and name resolution of writer servers. It knows nothing of the writers: they register
// ticks and transfers and decide for themselves what a tick or a finished transfer means.
#pragma once

#include <curl/curl.h>
#include <netdb.h>
#include <uv.h>

#include <ctime>

#include "tolvane/config/cf_universe.h"
#include "tolvane/net/result.h"

// Sets the loop, the tick and libcurl's multi handle up; false (and why, in *result) when one
// of them cannot be had.
bool tolvane_network_init(struct tolvane_net_result *result);
void tolvane_network_run(void);
uv_loop_t *tolvane_network_loop_get(void);
// getaddrinfo on the server's address and service, IPv4 and IPv6, TCP only; 0 on success.
int tolvane_network_resolve(const tolvane_cf_server_t *server, struct addrinfo **result);
// The universe's first writer server whose name resolves, in configured order, with its
// addresses in *addresses (the caller frees them); null when none resolves.
tolvane_cf_server_t *tolvane_network_writer_server(tolvane_cf_universe_t *universe,
                                                   struct addrinfo **addresses);

// Whole seconds of the monotonic clock, as of the last tick.
time_t tolvane_network_time_get(void);

// A check run on every tick, once a second, after the clock has been refreshed.
struct tolvane_network_tick {
    void (*cb)(void *context, time_t now);
    void *context;
};
// Registers a tick; the record must live until it is removed. False when memory is short.
bool tolvane_network_tick_add(struct tolvane_network_tick *tick);
// Takes a tick off, also from inside a tick's own callback.
void tolvane_network_tick_remove(struct tolvane_network_tick *tick);

// One HTTP transfer on the multi handle. Its owner fills `easy`, `owner` and `done`, points the
// easy handle's CURLOPT_PRIVATE at the record, and keeps the record alive while the transfer runs;
// the runtime keeps `running`.
struct tolvane_network_transfer {
    CURL *easy;
    void *owner;  // for the owner's own use
    // Runs once per started transfer, from the loop and after the easy handle has left the
    // multi handle: with libcurl's result, or with `abandoned` set when the runtime could not
    // drive the transfer any more (a socket it could not watch).
    void (*done)(struct tolvane_network_transfer *transfer, CURLcode result, bool abandoned);
    bool running;  // in the multi handle
    // The system's error on one of its sockets, when polling reported one (libcurl is told
    // only that polling failed); 0 if none. Reset as the transfer starts.
    int socket_error;
};
// Joins the multi handle; libcurl's code.
CURLMcode tolvane_network_transfer_start(struct tolvane_network_transfer *transfer);
// Leaves the multi handle without `done` running; libcurl's code (CURLM_OK when not running).
CURLMcode tolvane_network_transfer_stop(struct tolvane_network_transfer *transfer);
