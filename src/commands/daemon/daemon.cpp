// The daemon command: watches the configured directories, lists the trace files that land
// there, and at every tick uploads each watcher's list by running this program's own put in a
// child process; put removes what it stored, and that removal takes the file off the list.
// watching.cpp keeps the lists, children.cpp runs the children, policy.cpp decides what a
// child gets and when a list is offered again; this file starts the daemon and runs the tick
// that ties them together.
//
// Back-off. A list whose attempt stored nothing while the store was presumably down waits
// before its next one: the next tick as usual, then about 10 s, 20 s, 40 s ... up to 5 minutes,
// jittered so that many hosts do not come back in step; anything stored resets it. A trace that
// the store refused while it took others from the same child is marked, and from then on goes
// after the unmarked ones: a child then fails on it only once all the others are stored, so it
// says nothing about the store, and never puts a list that otherwise makes progress into
// back-off. Offered alone, marked traces are retried every 5 minutes.
//
// Service manager. Under systemd (NOTIFY_SOCKET set, libsystemd compiled in) the daemon says
// READY=1 after its first scan, WATCHDOG=1 wherever it beats the heartbeat, a STATUS= summary
// after each tick, and STOPPING=1 when SIGTERM or SIGINT ends it.
#include "tolvane/commands/daemon.h"

#include <getopt.h>
#include <unistd.h>
#ifdef TOLVANE_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "children.h"
#include "common.h"
#include "heartbeat.h"
#include "policy.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_universe.h"
#include "tolvane/net/network.h"
#include "tolvane/util/fatal.h"
#include "watching.h"

namespace tolvane_daemon {

settings cf;
uv_loop_t *loop;

namespace {
uv_timer_t tick;
volatile gimli_heartbeat *hb;
int64_t beat_time;
time_t last_upload;  // wall clock, for the status line; 0 before the first
bool notifying;      // a service manager listens (NOTIFY_SOCKET)
std::string status_sent;
}  // namespace

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void notify(const std::string &state) {
#ifdef TOLVANE_WITH_SYSTEMD
    if (notifying) sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

// At every tick, and every half second while a tick waits on a child, so that a long upload is
// not taken for a hang.
void beat() {
    beat_time = now_ms();
    if (hb != nullptr) {
        gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
        // Its file was cut short: the beat went nowhere, and so would every later one.
        if (gimli_heartbeat_lost()) {
            fputs("warning: the watchdog heartbeat record was truncated; going on without a "
                  "heartbeat.\n",
                  stderr);
            hb = nullptr;
        }
    }
    notify("WATCHDOG=1");
}

int64_t beaten_at() {
    return beat_time;
}

namespace {
const char kUsage[] =
    "Usage: daemon [<options>]\n\n    -f, --foreground              Run in foreground.\n"
    "    -h, --help                    Print this message.\n";

// After a failed child: the file it failed on goes to the oldest end, so the others are not
// held back by it at the next tick, and is marked when the store took others of the share.
// True when the child stored anything.
bool share_failed(trace_list &list, const std::vector<trace *> &share) {
    std::vector<bool> gone;
    gone.reserve(share.size());
    for (trace *t : share) gone.push_back(access(t->path, F_OK) != 0);
    share_verdict v = share_judge(gone);
    if (!v.failed) return true;
    trace *failed = share[*v.failed];
    list.move_to_tail(failed);
    failed->refused = failed->refused || v.mark;
    return v.stored;
}

// The next child's share of `ready`, from *start on; *start moves past it.
std::vector<trace *> share_next(const std::vector<trace *> &ready, size_t *start, size_t fixed) {
    std::vector<trace *> share;
    share_budget budget(fixed);
    for (; *start < ready.size() && budget.take(strlen(ready[*start]->path)); ++*start)
        share.push_back(ready[*start]);
    return share;
}

// Offers the ready files: one child per share, one after another, until one stores nothing.
// The loop waits meanwhile, so no event can drop an entry of `ready` under it; the events
// queue up in the kernel, and should they overflow it, every watched directory is listed again.
attempt children_run(int id, const std::vector<trace *> &ready) {
    tolvane_cf_watcher_t *w = ready[0]->watcher;
    size_t fixed = child_fixed_bytes(w);
    bool stored = false;
    for (size_t start = 0; start < ready.size();) {
        std::vector<trace *> share = share_next(ready, &start, fixed);
        child_end end = run_child(w, share);
        if (end == child_end::not_started) return stored ? attempt::progress : attempt::not_started;
        if (end == child_end::ok || share_failed(traces[id], share)) {
            stored = true;
            continue;
        }
        // Marked traces go last, so a child that stopped at one had nothing else to offer.
        if (stored) return attempt::progress;
        return share[0]->refused ? attempt::refused_only : attempt::stalled;
    }
    return attempt::progress;
}

uint32_t jitter(uint32_t bound) {
    return arc4random_uniform(bound);
}

// Uploads one watcher's list, unless it is backing off.
void traces_put(int id) {
    watch &s = watches[id];
    const int64_t now = now_ms();
    const int64_t period = static_cast<int64_t>(cf.interval) * 1000;
    if (s.uploads.waits(now, period)) return;
    std::vector<trace *> ready = traces_ready(id);
    if (ready.empty()) return;
    if (ready[0]->refused && s.uploads.marked_waits(now, period)) return;
    const char *root = tolvane_cf_watcher_root_get(s.w);
    attempt outcome = children_run(id, ready);
    notice said = s.uploads.attempt_ended(outcome, now_ms(), jitter);
    if (outcome == attempt::progress) last_upload = time(nullptr);
    if (outcome == attempt::stalled)
        DEBUG("[B%d] %u attempts stored nothing; next in %" PRId64 " ms.\n", id, s.uploads.stalls(),
              s.uploads.wait_ms());
    if (said == notice::working_again)
        fprintf(stderr, "warning: uploads from \"%s\" work again.\n", root);
    if (said == notice::failing)
        fprintf(stderr, "warning: uploads from \"%s\" are failing; next attempt in %d s.\n", root,
                static_cast<int>((s.uploads.wait_ms() + 500) / 1000));
}

// The summary the service manager shows: directories watched, files listed, the last upload
// that stored anything, and how many lists are backing off.
std::string status_text() {
    int watched = 0, backing_off = 0;
    for (int id = 0; id < count; id++) {
        watched += watches[id].wd >= 0;
        backing_off += watches[id].uploads.backing_off();
    }
    char last[32] = "never";
    struct tm tm;
    if (last_upload != 0 && localtime_r(&last_upload, &tm) != nullptr)
        strftime(last, sizeof last, "%Y-%m-%d %H:%M:%S", &tm);
    char text[256];
    snprintf(text, sizeof text,
             "STATUS=directories watched: %d/%d; traces queued: %u; last upload: %s; backing off: "
             "%d",
             watched, count, trace_list::total(), last, backing_off);
    return text;
}

// Sends the summary when it has changed.
void status_update() {
    if (!notifying) return;
    std::string text = status_text();
    if (text == status_sent) return;
    status_sent = text;
    notify(status_sent);
}

void timer_handler(uv_timer_t *) {
    // Children given up on earlier are collected here at the latest.
    children_reap();
    watches_check();
    DEBUG("[T] Scanning for traces [%u]...\n", trace_list::total());
    beat();
    for (int id = 0; id < count; id++) {
        if (traces[id].empty()) {
            DEBUG("warning: empty list [%ju].\n", static_cast<uintmax_t>(id));
            continue;
        }
        traces_put(id);
    }
    status_update();
}

void options_parse(int argc, char **argv) {
    static const option options[] = {
        {"foreground", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, "dr:fh", options, nullptr)) != -1) {
        switch (c) {
            case 'f':
                cf.foreground = true;
                break;
            case 'd':
                cf.debug = true;
                break;
            case 'h':
                tolvane_usage(stdout, kUsage);
            default:
                tolvane_usage(stderr, kUsage);
        }
    }
}

void detach() {
    if (daemon(0, 0) != 0) tolvane_fatal("error: failed to spawn daemon.\n");
}

// Each watcher's token is checked; its directory is watched and listed, or else left to the
// ticks.
void watches_start(tolvane_cf_watcher_t *first) {
    for (tolvane_cf_watcher_t *w = first; w != nullptr; w = tolvane_cf_watcher_next(w)) {
        if (tolvane_cf_token_get(tolvane_cf_watcher_token_get(w)) == nullptr)
            tolvane_fatal("error: no such token [%s] found.\n", tolvane_cf_watcher_token_get(w));
        watch_start(watches[tolvane_cf_watcher_id_get(w)]);
    }
}

void heartbeat_attach() {
    hb = gimli_heartbeat_attach();
    if (hb == nullptr) fputs("warning: no watchdog monitor attached.\n", stderr);
}

void timer_start() {
    if (uv_timer_init(loop, &tick) != 0) tolvane_fatal("error: failed to initialize timer.\n");
    uint64_t period = static_cast<uint64_t>(cf.interval) * 1000;
    if (uv_timer_start(&tick, timer_handler, period, period) != 0)
        tolvane_fatal("error: failed to register timer.\n");
}

void run(int argc, char **argv) {
    options_parse(argc, argv);
    tolvane_cf_watcher_t *first = lists_create();
    child_paths_set();
    if (!cf.foreground) detach();
    if (tolvane_net_result r; !tolvane_network_init(&r)) tolvane_fatal("%s", r.message.c_str());
    loop = tolvane_network_loop_get();
    notifying = getenv("NOTIFY_SOCKET") != nullptr;
    stop_signals_catch();
    watches_start(first);
    heartbeat_attach();
    timer_start();
    if (notifying) {
        status_sent = status_text();
        notify("READY=1\n" + status_sent);
    }
    tolvane_network_run();
}
}  // namespace
}  // namespace tolvane_daemon

void tolvane_command_daemon_handler(int argc, char **argv) {
    tolvane_daemon::run(argc, argv);
}
