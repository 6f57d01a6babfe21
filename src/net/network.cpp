// The event loop, the tick and the libcurl multi glue. Writers bring their own
// decisions: a tick runs their idle checks, a finished transfer runs their completion.
#include "tolvane/net/network.h"

#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <unordered_map>
#include <vector>

namespace {
struct tolvane_curl_context {
    uv_poll_t poll_handle;
    curl_socket_t sockfd;
    tolvane_network_transfer *transfer;  // the one that last asked for the socket's watch
};

struct runtime {
    uv_loop_t loop;
    uv_timer_t hang_timer;  // the once-a-second tick
    time_t current_time;
    CURLM *multicurl;
    uv_timer_t timeout_curl;
    // Every registered tolvane_network_tick, in registration order; a tick removed while the
    // ticks run leaves a null until they have all run.
    std::vector<tolvane_network_tick *> ticks;
    bool ticking;
    // Transfers given up while libcurl was calling us; finished from the loop.
    uv_timer_t abandon_timer;
    std::vector<tolvane_network_transfer *> abandoned;
    // The context watching each socket, so a socket that libcurl reuses before the old
    // watch has been removed never meets a stale poll handle.
    std::unordered_map<curl_socket_t, tolvane_curl_context *> contexts;
};
runtime rt;  // one thread, one loop

void on_curl_timeout(uv_timer_t *);
void on_curl_socket_ready(uv_poll_t *handle, int status, int events);

// The monotonic clock's whole seconds (libuv reads CLOCK_MONOTONIC, which cannot fail).
void network_update_time() {
    rt.current_time = static_cast<time_t>(uv_hrtime() / 1000000000);
}

void hang_timer_cb(uv_timer_t *) {
    network_update_time();
    rt.ticking = true;
    // By index: a callback may add a tick (it runs from the next second) or remove one.
    for (size_t i = 0, n = rt.ticks.size(); i < n; i++) {
        if (tolvane_network_tick *tick = rt.ticks[i]) tick->cb(tick->context, rt.current_time);
    }
    rt.ticking = false;
    rt.ticks.erase(std::remove(rt.ticks.begin(), rt.ticks.end(), nullptr), rt.ticks.end());
}

tolvane_network_transfer *transfer_of(CURL *easy) {
    tolvane_network_transfer *t = nullptr;
    CURLcode rc = curl_easy_getinfo(easy, CURLINFO_PRIVATE, reinterpret_cast<char **>(&t));
    if (rc != CURLE_OK) fprintf(stderr, "error: curl_easy_getinfo(): %s\n", curl_easy_strerror(rc));
    assert(t != nullptr);
    return t;
}

void tolvane_curl_context_close_cb(uv_handle_t *handle) {
    free(handle->data);
}

// Stops watching a socket and releases its context once the loop has let go of the handle.
void context_release(tolvane_curl_context *ctx) {
    int r = uv_poll_stop(&ctx->poll_handle);
    if (r != 0) fprintf(stderr, "error: uv_poll_stop(): %s\n", uv_strerror(r));
    auto it = rt.contexts.find(ctx->sockfd);
    if (it != rt.contexts.end() && it->second == ctx) rt.contexts.erase(it);
    uv_close(reinterpret_cast<uv_handle_t *>(&ctx->poll_handle), tolvane_curl_context_close_cb);
}

void check_multi_info() {
    int pending;
    while (CURLMsg *msg = curl_multi_info_read(rt.multicurl, &pending)) {
        if (msg->msg != CURLMSG_DONE) {
            fprintf(stderr, "error: unexpected curl_multi_read_info() message: %d\n", msg->msg);
            continue;
        }
        CURL *easy = msg->easy_handle;
        CURLcode result = msg->data.result;  // the message does not outlive the removal
        tolvane_network_transfer *t = transfer_of(easy);
        CURLMcode rc = curl_multi_remove_handle(rt.multicurl, easy);
        if (rc != CURLM_OK)
            fprintf(stderr, "error: curl_multi_remove_handle(): %s\n", curl_multi_strerror(rc));
        t->running = false;
        t->done(t, result, false);
    }
}

void on_abandon_timer(uv_timer_t *) {
    std::vector<tolvane_network_transfer *> batch;
    batch.swap(rt.abandoned);
    for (tolvane_network_transfer *t : batch) {
        if (!t->running) continue;
        CURLMcode rc = curl_multi_remove_handle(rt.multicurl, t->easy);
        if (rc != CURLM_OK) {
            fprintf(stderr, "error: curl_multi_remove_handle(): %s\n", curl_multi_strerror(rc));
            continue;
        }
        t->running = false;
        // The owner hears of the lost transfer, so it never waits for it for ever.
        t->done(t, CURLE_ABORTED_BY_CALLBACK, true);
    }
}

// Ends a transfer that the runtime cannot drive any more, from the loop: libcurl forbids
// removing a handle from inside its own callbacks.
void abandon(tolvane_network_transfer *t) {
    rt.abandoned.push_back(t);
    int r = uv_timer_start(&rt.abandon_timer, on_abandon_timer, 0, 0);
    if (r != 0) fprintf(stderr, "error: uv_timer_start: %s\n", uv_strerror(r));
}

int handle_curl_socket(CURL *easy, curl_socket_t s, int action, void *, void *socketp) {
    tolvane_network_transfer *t = transfer_of(easy);
    auto *ctx = static_cast<tolvane_curl_context *>(socketp);
    if (ctx == nullptr) {
        if (action == CURL_POLL_NONE || action == CURL_POLL_REMOVE) return 0;
        // A watch left on this descriptor number belongs to a socket that is already gone.
        auto stale = rt.contexts.find(s);
        if (stale != rt.contexts.end()) context_release(stale->second);
        ctx = static_cast<tolvane_curl_context *>(calloc(1, sizeof *ctx));
        if (ctx == nullptr) {
            fprintf(stderr, "error: Could not create cURL context.\n");
            abandon(t);
            return 0;
        }
        ctx->sockfd = s;
        int r = uv_poll_init_socket(&rt.loop, &ctx->poll_handle, s);
        if (r != 0) {
            fprintf(stderr, "error: uv_poll_init_socket(): %s\n", uv_strerror(r));
            free(ctx);
            fprintf(stderr, "error: Could not create cURL context.\n");
            abandon(t);
            return 0;
        }
        ctx->poll_handle.data = ctx;
        rt.contexts[s] = ctx;
        CURLMcode rc = curl_multi_assign(rt.multicurl, s, ctx);
        if (rc != CURLM_OK) {
            fprintf(stderr, "error: curl_multi_assign(): %s\n", curl_multi_strerror(rc));
            context_release(ctx);
            abandon(t);
            return 0;
        }
    }
    ctx->transfer = t;
    int events = 0;
    switch (action) {
        case CURL_POLL_NONE:
            return 0;
        case CURL_POLL_IN:
            events = UV_READABLE;
            break;
        case CURL_POLL_OUT:
            events = UV_WRITABLE;
            break;
        case CURL_POLL_INOUT:
            events = UV_READABLE | UV_WRITABLE;
            break;
        case CURL_POLL_REMOVE: {
            // The socket is going away: its watch goes whatever else fails, and a failed
            // detach here only means libcurl has forgotten the socket already.
            CURLMcode rc = curl_multi_assign(rt.multicurl, s, nullptr);
            if (rc != CURLM_OK)
                fprintf(stderr, "error: curl_multi_assign(): %s\n", curl_multi_strerror(rc));
            context_release(ctx);
            return 0;
        }
        default:
            return 0;
    }
    int r = uv_poll_start(&ctx->poll_handle, events, on_curl_socket_ready);
    if (r != 0) {
        fprintf(stderr, "error: uv_poll_start(): %s\n", uv_strerror(r));
        abandon(t);
    }
    return 0;
}

int start_curl_timer(CURLM *, long timeout_ms, void *) {
    // From the clock as it is now, not as the loop last saw it, so the timer never fires before
    // the time libcurl asked for.
    uv_update_time(&rt.loop);
    int r = uv_timer_start(&rt.timeout_curl, on_curl_timeout,
                           timeout_ms < 0 ? 1 : static_cast<uint64_t>(timeout_ms), 0);
    if (r != 0) fprintf(stderr, "error: uv_timer_start: %s\n", uv_strerror(r));
    return 0;
}

void on_curl_timeout(uv_timer_t *) {
    int running;
    CURLMcode rc = curl_multi_socket_action(rt.multicurl, CURL_SOCKET_TIMEOUT, 0, &running);
    if (rc != CURLM_OK)
        fprintf(stderr, "error: curl_multi_socket_action(): %s\n", curl_multi_strerror(rc));
    // libcurl asks for a timer only when its next deadline changes: had this one come a little
    // early (a paced upload waits on nothing else), it would never come again. So it is set
    // again to what libcurl still waits for.
    long left = -1;
    if (curl_multi_timeout(rt.multicurl, &left) == CURLM_OK && left >= 0 &&
        !uv_is_active(reinterpret_cast<uv_handle_t *>(&rt.timeout_curl)))
        start_curl_timer(rt.multicurl, std::max(left, 1L), nullptr);
    // Transfers can end here too (a time-out, a name that does not resolve): collect them now,
    // since no socket event may ever follow.
    check_multi_info();
}

void on_curl_socket_ready(uv_poll_t *handle, int status, int events) {
    auto *ctx = static_cast<tolvane_curl_context *>(handle->data);
    // libcurl's timer stays: it is libcurl's to move, through start_curl_timer, and a paced
    // upload waiting for its next piece has a socket that is writable all the while.
    int flags = events & (UV_READABLE | UV_WRITABLE);
    // An error on the socket must reach libcurl, or the transfer would wait for nothing. libcurl
    // then says only that polling failed, so the system's reason is kept for the transfer.
    if (status < 0) {
        flags |= CURL_CSELECT_ERR;
        int error = 0;
        socklen_t length = sizeof error;
        if (ctx->transfer != nullptr &&
            getsockopt(ctx->sockfd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
            ctx->transfer->socket_error = error;
    }
    int running;
    CURLMcode rc = curl_multi_socket_action(rt.multicurl, ctx->sockfd, flags, &running);
    if (rc != CURLM_OK)
        fprintf(stderr, "error: curl_multi_socket_action(): %s\n", curl_multi_strerror(rc));
    check_multi_info();
}
}  // namespace

bool tolvane_network_init(tolvane_net_result *result) {
    const auto failed = [result](const char *what, int r) {
        return tolvane_net_fail(result, TOLVANE_NET_FAILED, "error: %s (%s).\n", what,
                                uv_strerror(r));
    };
    int r = uv_loop_init(&rt.loop);
    if (r != 0) return failed("Failed to create event loop", r);
    if ((r = uv_timer_init(&rt.loop, &rt.hang_timer)) != 0)
        return failed("Failed to initialize timer", r);
    network_update_time();
    if ((r = uv_timer_start(&rt.hang_timer, hang_timer_cb, 1000, 1000)) != 0)
        return failed("Failed to start timer", r);
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
        return tolvane_net_fail(result, TOLVANE_NET_FAILED, "error: Failed to init cURL.\n");
    if ((r = uv_timer_init(&rt.loop, &rt.timeout_curl)) != 0)
        return failed("Failed to initialize cURL timer", r);
    if ((r = uv_timer_init(&rt.loop, &rt.abandon_timer)) != 0)
        return failed("Failed to initialize timer", r);
    rt.multicurl = curl_multi_init();
    if (rt.multicurl == nullptr)
        return tolvane_net_fail(result, TOLVANE_NET_FAILED,
                                "error: Failed to create cURL multi-handle.\n");
    const auto option_failed = [result](const char *name, CURLMcode rc) {
        return tolvane_net_fail(result, TOLVANE_NET_FAILED,
                                "error: Failed to set cURL multi-handle option %s: %s\n", name,
                                curl_multi_strerror(rc));
    };
    CURLMcode rc = curl_multi_setopt(rt.multicurl, CURLMOPT_SOCKETFUNCTION, handle_curl_socket);
    if (rc != CURLM_OK) return option_failed("CURLMOPT_SOCKETFUNCTION", rc);
    rc = curl_multi_setopt(rt.multicurl, CURLMOPT_TIMERFUNCTION, start_curl_timer);
    if (rc != CURLM_OK) return option_failed("CURLMOPT_TIMERFUNCTION", rc);
    return true;
}

void tolvane_network_run(void) {
    uv_run(&rt.loop, UV_RUN_DEFAULT);
}

uv_loop_t *tolvane_network_loop_get(void) {
    return &rt.loop;
}

bool tolvane_network_tick_add(tolvane_network_tick *tick) {
    try {
        rt.ticks.push_back(tick);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void tolvane_network_tick_remove(tolvane_network_tick *tick) {
    auto it = std::find(rt.ticks.begin(), rt.ticks.end(), tick);
    if (it == rt.ticks.end()) return;
    if (rt.ticking) {
        *it = nullptr;
    } else {
        rt.ticks.erase(it);
    }
}

CURLMcode tolvane_network_transfer_start(tolvane_network_transfer *transfer) {
    transfer->socket_error = 0;
    CURLMcode rc = curl_multi_add_handle(rt.multicurl, transfer->easy);
    if (rc == CURLM_OK) transfer->running = true;
    return rc;
}

CURLMcode tolvane_network_transfer_stop(tolvane_network_transfer *transfer) {
    rt.abandoned.erase(std::remove(rt.abandoned.begin(), rt.abandoned.end(), transfer),
                       rt.abandoned.end());
    if (!transfer->running) return CURLM_OK;
    transfer->running = false;
    return curl_multi_remove_handle(rt.multicurl, transfer->easy);
}

int tolvane_network_resolve(const tolvane_cf_server_t *server, struct addrinfo **result) {
    const char *address, *service;
    tolvane_cf_server_get(server, &address, &service);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;  // both families, in the resolver's order of preference
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = 0;
    return getaddrinfo(address, service, &hints, result);
}

tolvane_cf_server_t *tolvane_network_writer_server(tolvane_cf_universe_t *universe,
                                                   struct addrinfo **addresses) {
    for (tolvane_cf_server_t *server = tolvane_cf_writer_next(universe, nullptr); server != nullptr;
         server = tolvane_cf_writer_next(universe, server)) {
        if (tolvane_network_resolve(server, addresses) == 0) return server;
    }
    *addresses = nullptr;
    return nullptr;
}

time_t tolvane_network_time_get(void) {
    return rt.current_time;
}
