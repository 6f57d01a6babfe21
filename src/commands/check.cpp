// The check command: what put and the daemon would need, checked without uploading anything.
// One line per universe and per watcher on standard output; each problem on standard error, as
// an error (status 1) or, for what works but should not be left so, a warning.
#include "tolvane/commands/check.h"

#include <getopt.h>
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

void check_universe(tolvane_cf_universe_t *u, const tolvane_cf_universe_t *used) {
    tolvane_cf_server_t *first = tolvane_cf_writer_next(u, nullptr);
    std::string line = std::string("universe ") + u->name + ": ";
    line += first == nullptr
                ? std::string("no write server")
                : std::string("writes to ") + first->display + " over " + transport(u, first);
    if (u == used) line += "; put uses it";
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
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, "h", options, nullptr)) != -1)
        tolvane_usage(c == 'h' ? stdout : stderr, kUsage);
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
    for (auto *u : universes) check_universe(u, used);
    std::vector<const tolvane_cf_watcher_t *> watchers(
        static_cast<size_t>(tolvane_cf_watcher_count()));
    for (auto *w = tolvane_cf_watchers_get(); w != nullptr; w = tolvane_cf_watcher_next(w))
        watchers[static_cast<size_t>(tolvane_cf_watcher_id_get(w))] = w;
    for (const auto *w : watchers) check_watcher(w);
    fflush(stdout);
    tolvane_exit(failed ? 1 : 0);
}
