// The daemon command: watches the configured directories, lists the trace files that land
// there, and at every tick offers each watcher's listed files to upload children, this
// program's own put; put removes what it stored, and that removal takes the file off the list.
// watching.cpp keeps the lists, children.cpp runs the children, policy.cpp decides what a
// child gets, how many run, and when a list is offered again; this file starts the daemon and
// runs the tick that ties them together.
//
// Children. Nothing waits for a child: they run side by side, at most two per directory and
// four in all (policy.h), and a trace is only ever in one of them (trace::child). So while one
// directory's long upload runs, the other directories go on, and traces that arrive in the same
// directory go to a second child at the next tick. A child that stored something is followed at
// once by the next share of its directory, if any is ready.
//
// Back-off. An attempt is the children started for a list at one tick, together with any child
// started at once after one of them stored something. An attempt that stored nothing while
// the store was presumably down (its children failed, or made no progress for daemon.timeout
// seconds and were ended) makes its directory wait before its next one: the next tick as usual,
// then about 10 s, 20 s, 40 s ... up to 5 minutes, jittered so that many hosts do not come back
// in step; anything stored resets it. It is judged as its children end: the first one's
// outcome counts, a later one that stores nothing changes nothing, and anything stored resets
// the count whenever it comes. So a long upload of an earlier attempt, still running, is its
// own attempt: the stall of a later one counts, and is undone when the long one stores. A
// directory that waits starts no child; one already running goes on. A trace that the store refused
// while it took others from the same child is marked, and from then on goes after the unmarked
// ones: a child then fails on it only once all the others are stored, so it says nothing about the
// store, and never puts a list that otherwise makes progress into back-off. Offered alone, marked
// traces are retried every 5 minutes.
//
// Stored already. A trace that a child stored but could not delete (a read-only file system)
// is kept listed but not sent again while its path names that file, and reported at once, then
// at most once an hour. A trace the store already held (HTTP 409, the session's "exists") is
// deleted by put like a stored one; it is not a failure of the store.
//
// One daemon per directory. Each watched directory is locked (locks.h); a daemon that would
// watch one that another holds does not start.
//
// Start-up. Without -f the daemon detaches only once it has checked what it can (tokens, roots,
// locks), so that a mistake ends the command with its message and status 1.
//
// Reload. SIGHUP loads the configuration again (reload.h), keeping the lists of the roots that
// stay; one that does not load leaves the running one in place.
//
// Service manager. Under systemd (NOTIFY_SOCKET set, libsystemd compiled in) the daemon says
// READY=1 after its first scan and after a reload (RELOADING=1 before it), WATCHDOG=1 wherever
// it beats the heartbeat, a STATUS= summary whenever a tick, a child's end or directory events
// change it, and STOPPING=1 when SIGTERM or SIGINT ends it.
#include "tolvane/commands/daemon.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef TOLVANE_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cerrno>
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
#include "reload.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_universe.h"
#include "tolvane/net/network.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/text.h"
#include "watching.h"

namespace tolvane_daemon {

settings cf;
uv_loop_t *loop;

namespace {
uv_timer_t tick;
volatile gimli_heartbeat *hb;
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

// At every tick: nothing the loop does waits for a child or the network.
void beat() {
    if (hb != nullptr) {
        gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
        // Its file was cut short: the beat went nowhere, and so would every later one.
        if (gimli_heartbeat_lost()) {
            fputs(
                "warning: the watchdog heartbeat record was truncated; going on without a "
                "heartbeat.\n",
                stderr);
            hb = nullptr;
        }
    }
    notify("WATCHDOG=1");
}

namespace {
const char kUsage[] =
    "Usage: daemon [<options>]\n\n    -f, --foreground              Run in foreground.\n"
    "    -h, --help                    Print this message.\n";

// The next child's share of `ready`, from *start on; *start moves past it.
std::vector<trace *> share_next(const std::vector<trace *> &ready, size_t *start, size_t fixed) {
    std::vector<trace *> share;
    share_budget budget(fixed);
    for (; *start < ready.size() && budget.take(strlen(ready[*start]->path)); ++*start)
        share.push_back(ready[*start]);
    return share;
}

uint32_t jitter(uint32_t bound) {
    return arc4random_uniform(bound);
}

// Offers one watcher's ready files to new children, as far as the limits on children allow,
// unless the list is backing off. They make a new attempt, or go on with `attempt`.
void traces_put(int id, unsigned int attempt = 0) {
    watch &s = *watches[static_cast<size_t>(id)];
    const int64_t now = now_ms();
    const int64_t period = static_cast<int64_t>(cf.interval) * 1000;
    if (stopping() || s.retired || s.uploads.waits(now, period)) return;
    auto room = [id] {
        return children_running(id) < kChildrenPerDirectory && children_running() < kChildrenInAll;
    };
    if (!room()) return;
    std::vector<trace *> ready = traces_ready(id);
    if (ready.empty()) return;
    if (ready[0]->refused && s.uploads.marked_waits(now, period)) return;
    size_t fixed = child_fixed_bytes(s);
    if (attempt == 0) attempt = s.uploads.attempt_begin();
    for (size_t start = 0; start < ready.size() && room();) {
        std::vector<trace *> share = share_next(ready, &start, fixed);
        if (!child_start(id, attempt, share)) return;
    }
}

// What a child's end means for its list: a file it failed on goes to the oldest end, so the
// others are not held back by it, and is marked when the store took others of the share; files
// kept (stored, not deletable) are not sent again. The outcome counts for the back-off, and a
// child that stored anything is followed by the next share at once.
void child_ended(const child_report &r) {
    watch &s = *watches[static_cast<size_t>(r.id)];
    trace_list &list = s.list;
    const int64_t now = now_ms();
    std::vector<trace *> share;  // the child's files still listed; null for those gone
    std::vector<bool> gone;
    for (const std::string &path : r.paths) {
        trace *t = list.find(path);
        share.push_back(t);
        gone.push_back(t == nullptr || access(path.c_str(), F_OK) != 0);
    }
    for (size_t i = 0; i < share.size(); i++) {
        if (r.said[i] != file_said::kept || share[i] == nullptr) continue;
        struct stat st;
        if (lstat(share[i]->path, &st) != 0) continue;
        list.keep(share[i], &st);
        kept_tell(share[i], now);
    }
    share_verdict v = share_judge(r.said, gone);
    attempt outcome = attempt::progress;
    if (!r.ok) {
        if (v.failed && share[*v.failed] != nullptr) {
            trace *failed = share[*v.failed];
            list.move_to_tail(failed);
            failed->refused = failed->refused || v.mark;
        }
        // Marked traces go last, so a share that begins with one holds nothing else.
        if (!v.stored)
            outcome =
                share[0] != nullptr && share[0]->refused ? attempt::refused_only : attempt::stalled;
    }
    std::string root = tolvane_printable(s.root);
    notice said = s.uploads.child_ended(r.attempt, outcome, now, jitter);
    if (v.stored) last_upload = time(nullptr);
    if (outcome == attempt::stalled)
        DEBUG("[B%d] %u attempts stored nothing; next in %" PRId64 " ms.\n", r.id,
              s.uploads.stalls(), s.uploads.wait_ms());
    if (said == notice::working_again)
        fprintf(stderr, "warning: uploads from \"%s\" work again.\n", root.c_str());
    if (said == notice::failing)
        fprintf(stderr, "warning: uploads from \"%s\" are failing; next attempt in %d s.\n",
                root.c_str(), static_cast<int>((s.uploads.wait_ms() + 500) / 1000));
    // Only a child that stored something is followed at once: one that ended well without
    // doing so (no put of ours) would otherwise be started again and again.
    if (v.stored && !list.empty()) traces_put(r.id, r.attempt);
    // A root that left the configuration goes with its last child.
    if (s.retired && children_running(r.id) == 0) watch_drop(r.id);
    status_update();
}

// The summary the service manager shows: directories watched, files listed, the last upload
// that stored anything, and how many lists are backing off.
std::string status_text() {
    int watched = 0, configured = 0, backing_off = 0;
    for (const auto &s : watches) {
        if (!s || s->retired) continue;
        configured++;
        watched += s->wd >= 0;
        backing_off += s->uploads.backing_off();
    }
    char last[32] = "never";
    struct tm tm;
    if (last_upload != 0 && localtime_r(&last_upload, &tm) != nullptr)
        strftime(last, sizeof last, "%Y-%m-%d %H:%M:%S", &tm);
    char text[256];
    snprintf(text, sizeof text,
             "STATUS=directories watched: %d/%d; traces queued: %u; last upload: %s; backing off: "
             "%d",
             watched, configured, trace_list::total() - trace_list::kept(), last, backing_off);
    return text;
}

void timer_handler(uv_timer_t *) {
    watches_check();
    DEBUG("[T] Scanning for traces [%u]...\n", trace_list::total());
    beat();
    for (size_t id = 0; id < watches.size(); id++) {
        if (!watches[id] || watches[id]->retired) continue;
        if (watches[id]->list.empty()) {
            DEBUG("warning: empty list [%ju].\n", static_cast<uintmax_t>(id));
            continue;
        }
        traces_put(static_cast<int>(id));
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

// Detaching, in two steps, so that the start-up's mistakes are seen and end the command with
// status 1 (a detached daemon's messages go nowhere). The process forks; the starting process
// waits until the daemon, which goes on in a session of its own, has checked what it can (the
// tokens, the roots and their locks) and says that it runs, and then exits with status 0; if
// the daemon ends first, after its message, with status 1. The locks are taken by the daemon
// itself, so that /proc/locks names it.
int detach_pipe = -1;

void detach_begin() {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) tolvane_fatal("error: failed to spawn daemon.\n");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) tolvane_fatal("error: failed to spawn daemon.\n");
    if (pid > 0) {
        close(p[1]);
        char word = 0;
        ssize_t n;
        while ((n = read(p[0], &word, 1)) < 0 && errno == EINTR) {
        }
        tolvane_exit(n == 1 && word == 'r' ? 0 : 1);
    }
    close(p[0]);
    detach_pipe = p[1];
    if (setsid() < 0) tolvane_fatal("error: failed to spawn daemon.\n");
}

void detach_end() {
    if (chdir("/") != 0) tolvane_fatal("error: failed to spawn daemon.\n");
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) tolvane_fatal("error: failed to spawn daemon.\n");
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) dup2(null, fd);
    if (null > STDERR_FILENO) close(null);
    ssize_t n = write(detach_pipe, "r", 1);
    (void)n;  // the starting process gone: nobody to tell
    close(detach_pipe);
}

// Each watcher's directory is locked, watched and listed, or else left to the ticks. A directory
// that another daemon watches already ends this one: two daemons on one directory would send its
// traces twice. So does, unless the daemon stays in the foreground, a root that is there but cannot
// be watched: nothing would say so later.
void watches_start() {
    // In the reverse of their order in the file, as always.
    for (auto it = watches.rbegin(); it != watches.rend(); ++it) {
        root_state state = watch_start(**it);
        if (state == root_state::taken || (state == root_state::unusable && !cf.foreground))
            tolvane_exit(1);
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

// A standard stream the daemon was started without is /dev/null from now on: else the loop's
// or a watch's descriptor would take its number, be closed again by detaching, and be what the
// children write their result lines to.
void std_streams_open() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

void run(int argc, char **argv) {
    std_streams_open();
    options_parse(argc, argv);
    cf.timeout = tolvane_cf_daemon_timeout_get();
    lists_create();
    child_paths_set();
    if (!cf.foreground) detach_begin();
    if (tolvane_net_result r; !tolvane_network_init(&r)) tolvane_fatal("%s", r.message.c_str());
    loop = tolvane_network_loop_get();
    notifying = getenv("NOTIFY_SOCKET") != nullptr;
    children_init(child_ended, reload_child_ended, reload_begin);
    watches_start();
    if (!cf.foreground) detach_end();
    heartbeat_attach();
    timer_start();
    notify_ready();
    tolvane_network_run();
}
}  // namespace

void notify_ready() {
    if (!notifying) return;
    status_sent = status_text();
    notify("READY=1\n" + status_sent);
}

void status_update() {
    if (!notifying) return;
    std::string text = status_text();
    if (text == status_sent) return;
    status_sent = text;
    notify(status_sent);
}
}  // namespace tolvane_daemon

void tolvane_command_daemon_handler(int argc, char **argv) {
    tolvane_daemon::run(argc, argv);
}
