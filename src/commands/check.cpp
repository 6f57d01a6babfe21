// The check command: what put and the daemon would need, checked without uploading anything.
// One line per universe and per watcher on standard output; each problem on standard error, as
// an error (status 1) or, for what works but should not be left so, a warning. With --connect,
// each universe's first write server is connected to as put would (through the writer put
// uses, with the universe's TLS and transfer settings and the connect limit), and the outcome
// ends the universe's line; nothing is sent, no token above all.
#include "tolvane/commands/check.h"

#include <getopt.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/config/cf_universe.h"
#include "tolvane/net/curl_writer.h"
#include "tolvane/net/limits.h"
#include "tolvane/net/network.h"
#include "tolvane/net/writer.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"

namespace {
const char kUsage[] =
    "Usage: check [-h | --help] [--connect]\n"
    "\n"
    "    --connect    Also connect to each universe's first write server (nothing is sent).\n"
    "    -h, --help   Print this message.\n";

bool failed;

void problem(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void problem(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("error: ", stderr);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    failed = true;
}

const char *transport(const tolvane_cf_universe_t *u, const tolvane_cf_server_t *s) {
    switch (tolvane_cf_server_type(s)) {
        case TOLVANE_CF_SERVER_HTTP:
            return "HTTP";
        case TOLVANE_CF_SERVER_HTTPS:
            return "HTTPS";
        default:
            if (tolvane_cf_writer_ssl_refused(u, s)) return "the session protocol (TLS refused)";
            if (!tolvane_cf_server_ssl_get(s, tolvane_cf_universe_ssl_writer(u)))
                return "the session protocol";
            return tolvane_cf_universe_ssl_verify_writer_get(u)
                       ? "the session protocol with TLS (certificate verified)"
                       : "the session protocol with TLS (certificate not verified)";
    }
}

// One connection at a time: the writer's completion stops the loop.
struct {
    bool up;  // the connection was made (and, with TLS, the handshake done)
    tolvane_net_result result;
} attempt;

void attempt_over(const tolvane_net_result *result) {
    attempt.result = *result;
    uv_stop(tolvane_network_loop_get());
}

void on_http_connected(tolvane_curl_writer_t *, const tolvane_net_result *result) {
    attempt.up = result->ok();
    attempt_over(result);
}

void on_session_established(tolvane_writer_t *writer) {
    attempt.up = true;
    tolvane_writer_close(writer);
}

void on_session_done(tolvane_writer_t *, const tolvane_net_result *result) {
    attempt_over(result);
}

// Whether the connection is to verify the server's certificate, for the outcome's words.
bool verifies(tolvane_cf_universe_t *u, const tolvane_cf_server_t *s) {
    if (tolvane_cf_server_type(s) == TOLVANE_CF_SERVER_RAW)
        return tolvane_cf_universe_ssl_verify_writer_get(u);
    return !tolvane_cf_universe_curl_insecure_get(u) &&
           tolvane_cf_universe_curl_ssl_verifypeer_get(u) &&
           tolvane_cf_universe_curl_ssl_verifyhost_get(u);
}

// Connects to `server` as put would, sending nothing: the outcome that ends the universe's
// line; the lines that say why it failed go to *why.
std::string connect_to(tolvane_cf_universe_t *u, tolvane_cf_server_t *server, std::string *why) {
    static bool initialised;
    tolvane_net_result r;
    if (!initialised && !tolvane_network_init(&r)) tolvane_fatal("%s", r.message.c_str());
    initialised = true;
    bool tls = tolvane_cf_server_type(server) == TOLVANE_CF_SERVER_HTTPS ||
               (tolvane_cf_server_type(server) == TOLVANE_CF_SERVER_RAW &&
                tolvane_cf_server_ssl_get(server, tolvane_cf_universe_ssl_writer(u)));
    addrinfo *addresses = nullptr;
    if (int rc = tolvane_network_resolve(server, &addresses)) {
        tolvane_net_append(why,
                           "error: the connection to %s failed during the name resolution (%s).\n",
                           server->display, gai_strerror(rc));
        return "not connected";
    }
    tolvane_net_limits limits;
    limits.connect_timeout = tolvane_cf_upload_connect_timeout_get();
    attempt.up = false;
    attempt.result = {};
    bool started;
    tolvane_curl_writer_t *http = nullptr;
    if (tolvane_cf_server_type(server) == TOLVANE_CF_SERVER_RAW) {
        static const tolvane_writer_callbacks callbacks{nullptr, nullptr, nullptr, on_session_done,
                                                        on_session_established};
        started = tolvane_writer_create(u, server, addresses, nullptr, &callbacks, &limits, &r) !=
                  nullptr;
    } else {
        http = tolvane_curl_writer_create(u, server, addresses, nullptr,
                                          tolvane_cf_universe_curl_insecure_get(u)
                                              ? TOLVANE_CURL_WRITER_F_INSECURE
                                              : TOLVANE_CURL_WRITER_F_NONE,
                                          &limits, &r);
        started = http != nullptr && tolvane_curl_writer_connect(http, on_http_connected, &r);
    }
    freeaddrinfo(addresses);
    if (started) tolvane_network_run();  // until the writer is done
    if (http != nullptr) tolvane_curl_writer_destroy(http);
    if (!started) {
        *why += r.message;
        return "not connected";
    }
    if (!attempt.up || !attempt.result.ok()) {
        *why += attempt.result.message;
        return "not connected";
    }
    if (!tls) return "connected";
    return verifies(u, server) ? "connected (TLS, certificate verified)"
                               : "connected (TLS, certificate not verified)";
}

void check_universe(tolvane_cf_universe_t *u, const tolvane_cf_universe_t *used, bool connect) {
    tolvane_cf_server_t *first = tolvane_cf_writer_next(u, nullptr);
    std::string line = std::string("universe ") + u->name + ": ";
    line += first == nullptr
                ? std::string("no write server")
                : std::string("writes to ") + first->display + " over " + transport(u, first);
    if (u == used) line += "; put uses it";
    // A refused TLS switch is said below; put would not connect, and neither does this.
    std::string why;
    if (connect && first != nullptr &&
        !(tolvane_cf_server_type(first) == TOLVANE_CF_SERVER_RAW &&
          tolvane_cf_writer_ssl_refused(u, first)))
        line += "; " + connect_to(u, first, &why);
    printf("%s\n", line.c_str());
    if (first == nullptr) {
        problem("universe %s has no write server (write = host:port).\n", u->name);
        return;
    }
    for (auto *s = first; s != nullptr; s = tolvane_cf_writer_next(u, s)) {
        if (tolvane_cf_server_type(s) == TOLVANE_CF_SERVER_RAW &&
            tolvane_cf_writer_ssl_refused(u, s))
            problem("universe %s: its TLS switch was refused, so %s will not be used.\n", u->name,
                    s->display);
    }
    // Kept off by default so that existing set-ups go on working, but an operator should know.
    if (tolvane_cf_server_type(first) == TOLVANE_CF_SERVER_RAW &&
        tolvane_cf_server_ssl_get(first, tolvane_cf_universe_ssl_writer(u)) &&
        !tolvane_cf_universe_ssl_verify_writer_get(u))
        fprintf(stderr,
                "warning: universe %s: the session protocol's TLS does not verify the server's "
                "certificate; set write.ssl.verify = true.\n",
                u->name);
    if (!why.empty()) {
        fputs(why.c_str(), stderr);
        problem("universe %s: cannot connect to %s.\n", u->name, first->display);
    }
}

void check_watcher(const tolvane_cf_watcher_t *w) {
    const char *name = tolvane_cf_watcher_name_get(w), *root = tolvane_cf_watcher_root_get(w),
               *token = tolvane_cf_watcher_token_get(w);
    printf("watcher %s: %s with token %s\n", name, root, token);
    if (tolvane_cf_token_get(token) == nullptr)
        problem("watcher %s: no token named \"%s\" in the [token] block.\n", name, token);
    struct stat st;
    if (root[0] != '/') {
        problem("watcher %s: root %s is not an absolute path.\n", name, root);
    } else if (stat(root, &st) != 0) {
        problem("watcher %s: root %s: %s.\n", name, root, tolvane_strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        problem("watcher %s: root %s is not a directory.\n", name, root);
    } else if (access(root, R_OK | W_OK | X_OK) != 0) {
        // Traces are listed, read and, once stored, deleted there.
        problem("watcher %s: root %s: %s (it must be readable and writable).\n", name, root,
                tolvane_strerror(errno));
    }
}
}  // namespace

void tolvane_command_check_handler(int argc, char **argv) {
    enum { kConnect = 256 };
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"connect", no_argument, nullptr, kConnect},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    bool connect = false;
    int c;
    while ((c = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
        if (c == kConnect) {
            connect = true;
        } else {
            tolvane_usage(c == 'h' ? stdout : stderr, kUsage);
        }
    }
    if (optind < argc) tolvane_usage(stderr, kUsage);

    // In the order of the configuration, as the operator wrote them.
    std::vector<tolvane_cf_universe_t *> universes;
    for (auto *u = tolvane_cf_universe_next(nullptr); u != nullptr; u = tolvane_cf_universe_next(u))
        universes.insert(universes.begin(), u);
    const tolvane_cf_universe_t *used = tolvane_cf_universe_get(nullptr);
    if (universes.empty()) problem("no universe is configured; put needs one to upload to.\n");
    if (!universes.empty() && used == nullptr)
        problem("the current universe \"%s\" of the configuration home is not configured.\n",
                tolvane_cf_current_universe_get());
    for (auto *u : universes) check_universe(u, used, connect);
    std::vector<const tolvane_cf_watcher_t *> watchers(
        static_cast<size_t>(tolvane_cf_watcher_count()));
    for (auto *w = tolvane_cf_watchers_get(); w != nullptr; w = tolvane_cf_watcher_next(w))
        watchers[static_cast<size_t>(tolvane_cf_watcher_id_get(w))] = w;
    for (const auto *w : watchers) check_watcher(w);
    fflush(stdout);
    tolvane_exit(failed ? 1 : 0);
}
