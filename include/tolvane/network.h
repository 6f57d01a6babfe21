// The network runtime: one libuv loop per thread carrying every upload, a once-a-second hang
// timer that times out idle session connections, and the glue that drives libcurl's multi
// interface on that loop.
#pragma once

#include <curl/curl.h>
#include <netdb.h>
#include <uv.h>

#include "tolvane/cf_universe.h"

struct tolvane_writer;
struct tolvane_curl_writer;

void tolvane_network_init(void);
void tolvane_network_run(void);
uv_loop_t *tolvane_network_loop_get(void);
// getaddrinfo on the server's address and service, IPv4 and TCP only; 0 on success.
int tolvane_network_resolve(const tolvane_cf_server_t *server, struct addrinfo **result);

// Whole seconds of the monotonic clock, as of the last hang-timer tick.
time_t tolvane_network_time_get(void);
// The multi handle every HTTP writer's easy handle joins.
CURLM *tolvane_network_multicurl_get(void);
// Registers a session writer with the hang timer; it stays registered.
bool tolvane_network_writer_add(struct tolvane_writer *writer);
// Ends an HTTP transfer that the runtime cannot drive any more: it leaves the multi handle and
// its writer's completion runs with a failed response, from the loop, outside libcurl.
void tolvane_network_curl_abandon(struct tolvane_curl_writer *writer);
