// The session writer's connection: the addresses tried in turn, the time limit on the TCP
// connect and TLS handshake, and the TLS session set up before it.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "tolvane/net/writer.h"
#include "writer_private.h"

namespace session_writer {
namespace {
// The connection closed to try the next address: a new one starts, unless the writer ended
// meanwhile.
void on_closed_to_retry(uv_handle_t *handle) {
    auto *w = static_cast<tolvane_writer *>(handle->data);
    w->retrying = false;
    if (w->state == state::done) return on_closed(handle);
    int r = uv_tcp_init(tolvane_network_loop_get(), &w->tcp);
    if (r != 0) {
        w->open_handles--;
        w->retrying = true;  // there is no connection to close
        fail(w, "error: TCP initialization: %s\n", uv_strerror(r));
        return;
    }
    w->tcp.data = w;
    tolvane_net_result result;
    if (!connect_to(w, &result)) fail(w, "%s", result.message.c_str());
}

// The connection to this address failed or ran out of time: the next address is tried, on a new
// connection. False when there is none.
bool try_next_address(tolvane_writer *w) {
    if (w->address + 1 >= w->addresses.size()) return false;
    w->address++;
    uv_timer_stop(&w->connect_timer);
    w->retrying = true;
    uv_close(reinterpret_cast<uv_handle_t *>(&w->tcp), on_closed_to_retry);
    return true;
}

void on_connect_timeout(uv_timer_t *timer) {
    auto *w = static_cast<tolvane_writer *>(timer->data);
    if (w->state == state::done || (!w->connected && try_next_address(w))) return;
    fail(w, "error: the connection to %s timed out after %d s during the %s.\n", display_of(w),
         w->connect_timeout, phase_of(w));
}

void on_connect(uv_connect_t *req, int status) {
    auto *w = static_cast<tolvane_writer *>(req->handle->data);
    // Cancelled by the close: the writer's end, or a time-out moving on to the next address.
    if (w->state == state::done || status == UV_ECANCELED) return;
    stamp(w);
    if (status < 0) {
        if (!try_next_address(w))
            fail(w, "error: failed to connect to %s (%s).\n", display_of(w), uv_strerror(status));
        return;
    }
    w->connected = true;
    // Without TLS the connect is all there is to bound: the server says nothing before its
    // answer to the first trace. With TLS the time runs on until the handshake is done.
    if (!w->ssl.use) uv_timer_stop(&w->connect_timer);
    std::string why;
    if (w->ssl.use && !cr_ssl_session_connect(&w->ssl.session, &why)) {
        fail(w, "%serror: failed to initiate SSL handshake.\n", why.c_str());
        return;
    }
    if (w->cb.connected != nullptr) w->cb.connected(w);
    if (w->state == state::done) return;  // closed from the callback
    if (!w->ssl.use && !established(w)) return;
    // Nothing enqueued (a caller that only wants the connection): not even the connection
    // header goes out, only the TLS handshake.
    if (w->command.tail > w->command.head) {
        send_data(w, true);
    } else {
        drain(w);
    }
}
}  // namespace

// The TLS context (for every writer) and, with TLS, the session; false with why in *result.
bool setup_tls(tolvane_writer *w, tolvane_cf_universe_t *universe, tolvane_net_result *result) {
    // A refused TLS switch gives no choice to follow: neither plaintext nor TLS is what was said.
    if (tolvane_cf_writer_ssl_refused(universe, w->server))
        return tolvane_net_fail(result, TOLVANE_NET_FAILED,
                                "error: invalid SSL setting for universe %s; not connecting.\n",
                                universe->name);
    w->ssl.use = tolvane_cf_server_ssl_get(w->server, tolvane_cf_universe_ssl_writer(universe));
    result->code = TOLVANE_NET_FAILED;
    if (!cr_ssl_init(&w->ssl.context, tolvane_cf_universe_ssl_method_writer_get(universe),
                     tolvane_cf_universe_ssl_certificate_writer_get(universe), &result->message))
        return false;
    if (!w->ssl.use) return true;
    if (tolvane_cf_universe_ssl_verify_writer_get(universe) &&
        !cr_ssl_verify(&w->ssl.context, tolvane_cf_universe_ssl_ca_writer_get(universe),
                       &result->message))
        return false;
    if (!cr_ssl_session_init(&w->ssl.session, &w->ssl.context, &result->message) ||
        !cr_ssl_session_peer(&w->ssl.session, address_of(w), &result->message)) {
        result->message += "error: failed to initialize SSL session.\n";
        return false;
    }
    if (!cr_ssl_session_memory(&w->ssl.session, &result->message)) return false;
    cr_ssl_session_client(&w->ssl.session);
    cr_cbuf_ssl_attach(w->replies.buffer, &w->ssl.session);
    cr_cbuf_ssl_attach(w->buffer.write, &w->ssl.session);
    result->code = TOLVANE_NET_OK;
    return true;
}

// The IPv4 and IPv6 addresses among `addresses`, in their order, with the server's port; false
// after saying why.
bool addresses_for(tolvane_writer *w, const addrinfo *addresses, tolvane_net_result *result) {
    long port = strtol(service_of(w), nullptr, 10);
    if (port <= 0 || port > 65535)
        return tolvane_net_fail(result, TOLVANE_NET_NO_WRITER, "error: Invalid port: %d\n",
                                static_cast<int>(port));
    for (const addrinfo *a = addresses; a != nullptr; a = a->ai_next) {
        sockaddr_storage ss{};
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            memcpy(&ss, a->ai_addr, sizeof(sockaddr_in));
            reinterpret_cast<sockaddr_in *>(&ss)->sin_port = htons(static_cast<uint16_t>(port));
        } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
            memcpy(&ss, a->ai_addr, sizeof(sockaddr_in6));
            reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = htons(static_cast<uint16_t>(port));
        } else {
            continue;
        }
        w->addresses.push_back(ss);
    }
    if (w->addresses.empty())
        return tolvane_net_fail(result, TOLVANE_NET_NO_WRITER, "error: Name failure.\n");
    return true;
}

// Starts connecting to the address being tried, with the time limit running; false with why in
// *result.
bool connect_to(tolvane_writer *w, tolvane_net_result *result) {
    int r = uv_tcp_keepalive(&w->tcp, 1, 3);
    if (r != 0)
        return tolvane_net_fail(result, TOLVANE_NET_NO_WRITER, "error: TCP keep-alive: %s\n",
                                uv_strerror(r));
    r = uv_tcp_connect(&w->connect, &w->tcp,
                       reinterpret_cast<const sockaddr *>(&w->addresses[w->address]), on_connect);
    if (r != 0)
        return tolvane_net_fail(result, TOLVANE_NET_NO_WRITER,
                                "error: failed to start connecting to %s (%s).\n", display_of(w),
                                uv_strerror(r));
    uv_update_time(tolvane_network_loop_get());  // the loop may not have run for a while
    uv_timer_start(&w->connect_timer, on_connect_timeout,
                   static_cast<uint64_t>(w->connect_timeout) * 1000, 0);
    return true;
}
}  // namespace session_writer
