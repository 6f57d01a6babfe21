// The daemon command: watches the configured directories, lists the trace files that land
// there, and at every tick uploads each watcher's list by running this program's own put in a
// child process; put removes what it stored, and that removal takes the file off the list.
//
// Watching. One inotify descriptor of the daemon's own, read through a uv_poll_t on the loop,
// serves every watcher: libuv's fs-event handle drops the queue-overflow event (it belongs to
// no watch), and a lost event must at least be known to be lost. A watch stays on the directory
// it was started on, wherever that goes: renamed away, replaced, or hidden under a mount, and
// only the first two say so by an event. So each watch keeps the device and inode of its
// directory, and every tick compares them with what the root path names now; a mismatch, or an
// event on the directory itself, ends the watch, and the watcher starts again on whatever
// directory is at its root then. A listing of the directory makes good what events missed: at
// once after a queue overflow, and at least once a minute in any case.
//
// Crash directories are often writable by anyone, so whatever an entry turns out to be must
// not hold the daemon up: only regular files are listed, a symbolic link is never followed,
// and a listed file is opened without blocking and checked again before it is read.
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
// after each tick, and STOPPING=1 when SIGTERM or SIGINT ends it. Those two signals are caught
// only so that a running upload child is ended first (it keeps the files it has not stored);
// the daemon then ends by the same signal, as it always did.
#include "tolvane/commands/daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/queue.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef TOLVANE_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "heartbeat.h"
#include "tolvane/config/cf.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/config/cf_universe.h"
#include "tolvane/net/network.h"
#include "tolvane/trace/qvif.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"

namespace {
struct {
    bool foreground = false;
    bool debug = false;
    const char *suffix = nullptr;  // part of the settings record, not read: the suffix is kSuffix
    time_t timeout = 60;
    int argc = 32;  // part of the settings record, not read
    int interval = 5;
    int batch = 16;      // part of the settings record, not read: kChildFiles sets the share
    mode_t mode = 0700;  // part of the settings record, not read
} cf;

const char kSuffix[] = ".slt";
// One child's share of a list: few enough files that put never runs out of mappings, and few
// enough argument bytes to stay well inside the system's limit for a command line.
const size_t kChildFiles = 1024;
const size_t kChildArgBytes = 512 * 1024;
// A watched directory is listed again, for any event that went missing, when this long has
// passed since its last listing: a tick early, so that none goes a minute without one.
const int64_t kRelistMs = 55 * 1000;
// The heartbeat's period while a tick waits on a child: well inside a watchdog's second.
const int64_t kBeatMs = 500;
// Back-off: the first wait after two attempts in a row stored nothing, and the longest. Marked
// traces alone are offered again after the longest wait.
const int64_t kBackoffFirstMs = 10 * 1000;
const int64_t kBackoffMaxMs = 5 * 60 * 1000;
// How long a child asked to end at SIGTERM gets before it is killed.
const int64_t kStopGraceMs = 5000;

// One listed file, allocated as one block with its path inline.
struct trace {
    TAILQ_ENTRY(trace) linkage;
    time_t attempt;  // part of the entry record, set to 0 and not read
    tolvane_cf_watcher_t *watcher;
    unsigned int seen;  // the latest listing of its directory that found the file
    bool refused;       // the store refused it while it took others from the same child
    char path[];
};

// One watcher's listed files, newest first. Entries are made, dropped and moved only here, so
// the list, its index by path and the count over all lists always agree. Every operation takes
// constant time (on average, for the index): a list of 100,000 files is never walked to find
// or drop one.
class trace_list {
   public:
    trace_list() { TAILQ_INIT(&head_); }
    // The head is linked to from the entries, so a list never moves.
    trace_list(const trace_list &) = delete;
    trace_list &operator=(const trace_list &) = delete;
    ~trace_list() {
        while (!empty()) erase(TAILQ_FIRST(&head_));
    }

    // The number of entries over all lists.
    static unsigned int total() { return total_; }

    bool empty() const { return TAILQ_EMPTY(&head_); }

    trace *find(std::string_view path) const {
        auto it = index_.find(path);
        return it == index_.end() ? nullptr : it->second;
    }

    // A new entry at the head (the newest end); null when it cannot be allocated.
    trace *insert(tolvane_cf_watcher_t *watcher, std::string_view path) {
        auto *t = static_cast<trace *>(malloc(sizeof(trace) + path.size() + 1));
        if (t == nullptr) return nullptr;
        t->attempt = 0;
        t->watcher = watcher;
        t->seen = 0;
        t->refused = false;
        memcpy(t->path, path.data(), path.size());
        t->path[path.size()] = '\0';
        TAILQ_INSERT_HEAD(&head_, t, linkage);
        index_.emplace(std::string_view(t->path, path.size()), t);
        total_++;
        return t;
    }

    // Unlinks and releases the entry.
    void erase(trace *t) {
        TAILQ_REMOVE(&head_, t, linkage);
        index_.erase(t->path);
        free(t);
        total_--;
    }

    // To the oldest end, so the entries in front of it go first.
    void move_to_tail(trace *t) {
        TAILQ_REMOVE(&head_, t, linkage);
        TAILQ_INSERT_TAIL(&head_, t, linkage);
    }

    // Walks from the newest entry. The next entry is taken before the current one is handed
    // out, so the walk may erase the entry at hand.
    class iterator {
       public:
        explicit iterator(trace *t)
            : at_(t), next_(t != nullptr ? TAILQ_NEXT(t, linkage) : nullptr) {}
        trace *operator*() const { return at_; }
        iterator &operator++() {
            at_ = next_;
            next_ = at_ != nullptr ? TAILQ_NEXT(at_, linkage) : nullptr;
            return *this;
        }
        bool operator!=(const iterator &other) const { return at_ != other.at_; }

       private:
        trace *at_, *next_;
    };
    iterator begin() const { return iterator(TAILQ_FIRST(&head_)); }
    iterator end() const { return iterator(nullptr); }

   private:
    TAILQ_HEAD(, trace) head_;
    std::unordered_map<std::string_view, trace *> index_;  // keys point into the entries
    static inline unsigned int total_ = 0;
};

// What the daemon knows of one watcher's directory. A watcher without a watch is deferred:
// every tick tries to start one.
struct watch {
    tolvane_cf_watcher_t *w = nullptr;
    int wd = -1;    // its inotify watch, -1 while deferred
    dev_t dev = 0;  // the directory the watch was started on
    ino_t ino = 0;
    bool missing_told = false;  // a missing root was reported in this deferral
    unsigned int listing = 0;   // the number of its latest listing
    int64_t listed_at = 0;      // when the latest complete listing ended (monotonic ms)
    // Its list's uploads: attempts in a row that stored nothing, no attempt before retry_at,
    // and when marked traces alone were last offered (monotonic ms; 0 for never).
    unsigned int stalls = 0;
    int64_t retry_at = 0;
    int64_t refused_at = 0;
};

// One list and one watch per watcher, indexed by the watcher's id.
std::unique_ptr<trace_list[]> traces;
std::unique_ptr<watch[]> watches;
int count;
uv_loop_t *loop;
uv_timer_t tick;
int inotify_fd = -1;
uv_poll_t inotify_handle;
volatile gimli_heartbeat *hb;
// The configuration home and file that the upload children are given.
std::string child_home, child_cf;
time_t last_upload;  // wall clock, for the status line; 0 before the first
// Set by SIGTERM or SIGINT, which also write a byte to stop_pipe to wake whatever waits.
volatile sig_atomic_t stop_signal;
int stop_pipe[2] = {-1, -1};
uv_poll_t stop_handle;
bool notifying;  // a service manager listens (NOTIFY_SOCKET)
std::string status_sent;

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string absolute(const char *path) {
    if (path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// The child reads its -C value through shell-word expansion, as it would a value typed by hand,
// so a path holding a character that expansion would change (a quote, a blank, "$", "~", a
// glob character ...) goes to it single-quoted and arrives as it is. Other paths go unchanged.
std::string expansion_proof(const std::string &path) {
    auto plain = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c >= 0x80 || (c != '\0' && strchr("/._-+,:@%=", c) != nullptr);
    };
    if (std::all_of(path.begin(), path.end(), plain)) return path;
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

#define DEBUG(...)                                  \
    do {                                            \
        if (cf.debug) fprintf(stderr, __VA_ARGS__); \
    } while (0)

// Sends state lines to the service manager, when one listens and libsystemd is compiled in.
void notify(const std::string &state) {
#ifdef TOLVANE_WITH_SYSTEMD
    if (notifying) sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

const char kUsage[] =
    "Usage: daemon [<options>]\n\n    -f, --foreground              Run in foreground.\n"
    "    -h, --help                    Print this message.\n";

bool has_suffix(const char *name) {
    const char *dot = strrchr(name, '.');
    return dot != nullptr && strcmp(dot, kSuffix) == 0;
}

// Whether the entry at path is a regular file this process may read. The entry itself is
// examined: a symbolic link is not followed, and nothing is opened.
bool readable_file(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, R_OK) == 0;
}

// Adds, confirms or drops the entry for directory/name, as the file is a readable regular file
// or not.
trace *trace_create(const char *directory, tolvane_cf_watcher_t *watcher, const char *name) {
    std::string path = std::string(directory) + "/" + name;
    int id = tolvane_cf_watcher_id_get(watcher);
    trace_list &list = traces[id];
    trace *found = list.find(path);
    if (!readable_file(path.c_str())) {
        // Unreadable, gone or no trace at all: whatever is listed under that path goes.
        DEBUG("[-%d] [%u] %s\n", id, trace_list::total(), path.c_str());
        if (found != nullptr) list.erase(found);
        return nullptr;
    }
    if (found != nullptr) {
        DEBUG("[/%d] [%u] %s\n", id, trace_list::total(), path.c_str());
        return found;
    }
    unsigned int before = trace_list::total();
    trace *t = list.insert(watcher, path);
    if (t == nullptr) tolvane_fatal("error: failed to allocate trace.\n");
    DEBUG("[+%d] [%u] %s\n", id, before, t->path);
    return t;
}

// Lists the directory at the watcher's root, and gives the device and inode of the directory
// listed. Entries that the listing does not find (their events were lost) are dropped, once
// the listing is complete; a generation mark keeps that one pass over the list.
bool directory_scan(watch &s, struct stat *listed) {
    const char *root = tolvane_cf_watcher_root_get(s.w);
    DIR *dir = opendir(root);  // O_DIRECTORY: whatever else is there now, it is not opened
    if (dir == nullptr) {
        if (errno == ENOENT) {
            DEBUG("warning: %s does not exist yet.\n", root);
            // Quoted, so that a blank at its end (kept from the configuration) shows.
            if (!s.missing_told)
                fprintf(stderr,
                        "warning: directory \"%s\" does not exist yet; it will be watched once "
                        "it does.\n",
                        root);
            s.missing_told = true;
        } else {
            fprintf(stderr, "error: %s cannot be monitored: %s.\n", root, tolvane_strerror(errno));
        }
        return false;
    }
    if (fstat(dirfd(dir), listed) != 0) *listed = {};
    unsigned int listing = ++s.listing;
    errno = 0;
    while (dirent *e = readdir(dir)) {
        // The entry's type, where the file system gives it, spares a look-up for what is no
        // regular file; trace_create examines the rest.
        if (e->d_name[0] != '.' && has_suffix(e->d_name) &&
            (e->d_type == DT_REG || e->d_type == DT_UNKNOWN)) {
            if (trace *t = trace_create(root, s.w, e->d_name)) t->seen = listing;
        }
        errno = 0;
    }
    bool complete = errno == 0;
    closedir(dir);
    if (!complete) return true;
    int id = tolvane_cf_watcher_id_get(s.w);
    for (trace *t : traces[id]) {
        if (t->seen == listing) continue;
        DEBUG("[-%d] [%u] %s\n", id, trace_list::total(), t->path);
        traces[id].erase(t);
    }
    s.listed_at = now_ms();
    return true;
}

// Ends an inotify watch, unless another watcher still has it: roots that name one directory
// share one watch.
void watch_release(int wd) {
    for (int id = 0; id < count; id++) {
        if (watches[id].wd == wd) return;
    }
    inotify_rm_watch(inotify_fd, wd);
}

// Defers the watcher: its watch ends, and the ticks start one again on whatever directory is
// at its root then. Its listed files stay listed.
void watcher_defer(watch &s) {
    int wd = s.wd;
    s.wd = -1;
    if (wd >= 0) watch_release(wd);
}

// Lists a watched directory again. A directory other than the watched one at the root now
// defers the watcher.
void directory_relist(watch &s) {
    struct stat st;
    if (!directory_scan(s, &st) || st.st_dev != s.dev || st.st_ino != s.ino) watcher_defer(s);
}

// Every watched directory listed again: after events were lost.
void rescan_watched() {
    for (int id = 0; id < count; id++) {
        if (watches[id].wd >= 0) directory_relist(watches[id]);
    }
}

const char *base_name(const char *path) {
    const char *last = strrchr(path, '/');
    return last != nullptr ? last + 1 : path;
}

// One event of watch s.
void watcher(watch &s, const inotify_event *e) {
    const char *root = tolvane_cf_watcher_root_get(s.w);
    const uint32_t self = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
    // An event on the directory itself carries no name; the directory's own is shown.
    const char *name = e->len > 0 ? e->name : (e->mask & self) ? base_name(root) : nullptr;
    DEBUG("[E %s] %p %s / %#x / %#x\n", root, static_cast<void *>(&s), name ? name : "(null)",
          static_cast<unsigned>(e->mask), 0u);
    if (e->mask & self) {
        // Removed, renamed or unmounted: whatever is at the root path now is another directory.
        DEBUG("warning: event on directory.\n");
        DEBUG("warning: %s being removed.\n", root);
        watcher_defer(s);
        return;
    }
    if (e->len == 0 || e->name[0] == '.' || (e->mask & IN_ISDIR) || !has_suffix(e->name)) return;
    trace_create(root, s.w, e->name);
}

// Reads one buffer of events; the loop calls again while more wait, so a flood of events never
// keeps the ticks from running.
void inotify_readable(uv_poll_t *, int status, int) {
    if (status < 0) return;
    alignas(inotify_event) static char buffer[64 * 1024];
    ssize_t n = read(inotify_fd, buffer, sizeof buffer);
    if (n <= 0) return;
    bool overflow = false;
    for (ssize_t at = 0; at < n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
        at += static_cast<ssize_t>(sizeof *e + e->len);
        if (e->mask & IN_Q_OVERFLOW) {
            overflow = true;
            continue;
        }
        for (int id = 0; id < count; id++) {
            if (watches[id].wd == e->wd) watcher(watches[id], e);
        }
    }
    if (overflow) {
        DEBUG("warning: events were lost; listing the watched directories again.\n");
        rescan_watched();
    }
}

// The inotify descriptor, opened at the first watch and read on the loop from then on.
bool inotify_ready() {
    if (inotify_fd >= 0) return true;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return false;
    if (uv_poll_init(loop, &inotify_handle, fd) != 0 ||
        uv_poll_start(&inotify_handle, UV_READABLE, inotify_readable) != 0)
        tolvane_fatal("error: failed to initialize watcher.\n");
    inotify_fd = fd;
    return true;
}

// Starts an inotify watch on the root; its descriptor, or -1 after a message. A root that is a
// symbolic link is followed: the administrator chose it, and should it be pointed elsewhere,
// the tick's comparison of the directories notices.
int directory_add(const char *root) {
    if (!inotify_ready()) {
        fputs("error: failed to initialize watcher.\n", stderr);
        return -1;
    }
    int wd = inotify_add_watch(inotify_fd, root,
                               IN_ONLYDIR | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd < 0) fputs("error: failed to watch directory.\n", stderr);
    return wd;
}

// Watches the directory now at the watcher's root and lists it; false, and the watcher stays
// deferred, when either cannot be done (its files are listed all the same when the listing
// could be). The watch starts first, so that no file lands unseen between the two, and the
// directory listed must be the one that was at the root when the watch started.
bool watch_start(watch &s) {
    const char *root = tolvane_cf_watcher_root_get(s.w);
    struct stat before, listed;
    int wd = -1;
    if (stat(root, &before) == 0 && S_ISDIR(before.st_mode)) wd = directory_add(root);
    bool ok = directory_scan(s, &listed);
    if (wd < 0) return false;
    if (!ok || listed.st_dev != before.st_dev || listed.st_ino != before.st_ino) {
        watch_release(wd);
        return false;
    }
    s.wd = wd;
    s.dev = listed.st_dev;
    s.ino = listed.st_ino;
    s.missing_told = false;
    return true;
}

// Whether a listed file can go to put now: a file still being written, or truncated for good,
// would make put refuse the whole batch, so it waits for a later tick instead. Sets *gone when
// the file cannot be read at all, or is no regular file any more: the entry may have been
// swapped since it was listed, so the open neither follows a symbolic link nor waits (on a
// FIFO, say), and what it opened is examined before anything is read.
bool ready_to_send(const trace *t, bool *gone) {
    int fd = open(t->path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    *gone = fd < 0 && (errno == ENOENT || errno == EACCES || errno == ELOOP || errno == ENXIO);
    if (fd < 0) return false;
    struct stat st;
    qvif_header header;
    uint64_t expected;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // No trace file (should it become one again, the next listing finds it).
        *gone = true;
        close(fd);
        return false;
    }
    bool ok =
        st.st_size > static_cast<off_t>(sizeof header) &&
        static_cast<uint64_t>(st.st_size) <= 4294967295u &&
        pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        qvif_check_size(&header, static_cast<uint64_t>(st.st_size), &expected) == QVIF_CHECK_OK;
    close(fd);
    return ok;
}

// In the forked child: runs put on the files. It ends with _exit, never through tolvane_exit:
// the parent's buffered output and exit handlers are not the child's to run.
[[noreturn]] void child_exec(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    // Until the program is replaced, a stop signal is the child's own, not the daemon's.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    const char *cf_path = child_cf.empty() ? nullptr : child_cf.c_str();
    // The nine fixed words, the files and the terminating null slot.
    size_t n = 9 + files.size() + 1;
    auto **argv = static_cast<const char **>(calloc(n, sizeof(char *)));
    if (argv == nullptr) {
        fputs("error: failed to push files.\n", stderr);
        _exit(1);
    }
    size_t i = 0;
    argv[i++] = tolvane_cf_tolvane_binary_name_get();
    argv[i++] = "-C";
    argv[i++] = child_home.c_str();
    if (cf_path != nullptr) {
        argv[i++] = "-c";
        argv[i++] = cf_path;
    }
    argv[i++] = "put";
    argv[i++] = "-u";
    argv[i++] = tolvane_cf_watcher_name_get(w);
    argv[i++] = tolvane_cf_watcher_token_get(w);
    for (const trace *t : files) argv[i++] = t->path;
    if (cf.debug) {
        fputs("Command: ", stderr);
        for (size_t k = 0; k < i; k++) fprintf(stderr, "%s ", argv[k]);
        fputc('\n', stderr);
    }
    char *empty[] = {nullptr};
    execve(argv[0], const_cast<char **>(argv), empty);
    fputs("error: failed to execute tolvane.\n", stderr);
    _exit(1);
}

// Tells the watchdog monitor and the service manager that the daemon is alive: at every tick,
// and every half second while a tick waits on a child, so that a long upload is not taken for a
// hang.
int64_t beaten_at;
void beat() {
    beaten_at = now_ms();
    if (hb != nullptr) gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
    notify("WATCHDOG=1");
}

// Whether SIGTERM or SIGINT asked the daemon to end. Empties the wake-up pipe: a byte without
// the flag came from a child between fork and exec, whose signal was its own.
bool stop_requested() {
    char drain[64];
    while (read(stop_pipe[0], drain, sizeof drain) > 0) {
    }
    return stop_signal != 0;
}

// Ends the daemon by the signal that asked for it. Nothing needs saving: the listed files stay
// where they are, and the next start lists them again.
[[noreturn]] void daemon_stop() {
    int sig = stop_signal;
    DEBUG("Stopping on signal %d.\n", sig);
    notify("STOPPING=1");
    tolvane_exit_signal(sig);
}

void stop_handler(int sig) {
    int saved = errno;
    if (stop_signal == 0) stop_signal = sig;
    ssize_t n = write(stop_pipe[1], "", 1);  // full already: a wake-up is pending anyway
    (void)n;
    errno = saved;
}

void stop_readable(uv_poll_t *, int, int) {
    if (stop_requested()) daemon_stop();
}

// SIGTERM and SIGINT end the daemon through daemon_stop, from the loop or from a wait on a
// child.
void stop_signals_catch() {
    if (pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0 ||
        uv_poll_init(loop, &stop_handle, stop_pipe[0]) != 0 ||
        uv_poll_start(&stop_handle, UV_READABLE, stop_readable) != 0)
        tolvane_fatal("error: failed to initialize signal handling.\n");
    struct sigaction sa {};
    sa.sa_handler = stop_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

// A descriptor that becomes readable when the child ends, or -1 (a kernel before 5.3).
int child_descriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Waits for the child, at most the time-out, measured on the monotonic clock so that a step of
// the wall clock cannot cut an upload short. True when it ended with status 0. A stop signal
// meanwhile asks the child to end (put leaves what it has not stored), and ends the daemon once
// the child has.
bool child_wait(pid_t pid) {
    int64_t limit = now_ms() + static_cast<int64_t>(cf.timeout) * 1000;
    bool stopping = false;
    struct descriptor {
        int fd;
        ~descriptor() {
            if (fd >= 0) close(fd);
        }
    } ended{child_descriptor(pid)};
    while (true) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid && stopping) daemon_stop();
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            fputs("warning: error waiting on child.\n", stderr);
            kill(pid, SIGINT);
            return false;
        }
        if (!stopping && stop_requested()) {
            stopping = true;
            kill(pid, SIGTERM);
            limit = now_ms() + kStopGraceMs;
        }
        int64_t now = now_ms();
        if (now > limit) {
            kill(pid, SIGKILL);
            if (!stopping) fputs("warning: child has timed out.\n", stderr);
            waitpid(pid, &status, 0);  // killed for sure: reaped at once, no zombie
            if (stopping) daemon_stop();
            return false;
        }
        if (now - beaten_at >= kBeatMs) beat();
        // Until the child ends, the next beat or the time-out; without a descriptor for the
        // child's end, a short sleep still notices it promptly.
        int64_t pause = std::min(beaten_at + kBeatMs, limit + 1) - now;
        if (ended.fd < 0) pause = std::min<int64_t>(pause, 5);
        pollfd p[2] = {{ended.fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        poll(p, 2, static_cast<int>(std::max<int64_t>(pause, 1)));
    }
}

enum class child_end { ok, failed, not_started };

// Runs one put child for these files and waits for it.
child_end run_child(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    if (stop_requested()) daemon_stop();
    pid_t pid = fork();
    if (pid < 0) {
        fputs("warning: failed to launch client.\n", stderr);
        return child_end::not_started;
    }
    if (pid == 0) child_exec(w, files);
    return child_wait(pid) ? child_end::ok : child_end::failed;
}

// The entries of list `id` that can go to put now, newest first, the marked ones after all
// the others. Entries whose file is gone are dropped on the way.
std::vector<trace *> traces_ready(int id) {
    std::vector<trace *> ready, refused;
    for (trace *t : traces[id]) {
        bool gone;
        if (ready_to_send(t, &gone)) {
            (t->refused ? refused : ready).push_back(t);
        } else if (gone) {
            // Its event was lost, or it is no regular file any more: dropped as an event would.
            DEBUG("[-%d] [%u] %s\n", id, trace_list::total(), t->path);
            traces[id].erase(t);
        }
    }
    ready.insert(ready.end(), refused.begin(), refused.end());
    return ready;
}

// The argument bytes that every child for watcher w takes besides its files, with room to
// spare.
size_t child_fixed_bytes(tolvane_cf_watcher_t *w) {
    return 256 + strlen(tolvane_cf_tolvane_binary_name_get()) + child_home.size() +
           child_cf.size() + strlen(tolvane_cf_watcher_name_get(w)) +
           strlen(tolvane_cf_watcher_token_get(w));
}

// The next child's share of `ready`, from *start on; *start moves past it.
std::vector<trace *> share_next(const std::vector<trace *> &ready, size_t *start, size_t fixed) {
    std::vector<trace *> share;
    size_t bytes = fixed;
    for (; *start < ready.size() && share.size() < kChildFiles; ++*start) {
        size_t cost = strlen(ready[*start]->path) + 1 + sizeof(char *);
        if (!share.empty() && bytes + cost > kChildArgBytes) break;
        bytes += cost;
        share.push_back(ready[*start]);
    }
    return share;
}

// What came of one list's attempt: something stored; nothing stored although unmarked traces
// were offered (the store is taken to be down); nothing stored of marked traces alone (which
// tells nothing about the store); or no child could be started.
enum class attempt { progress, stalled, refused_only, not_started };

// After a failed child: put stops at its first failed file, the first of the share still
// there. It goes to the oldest end, so the others are not held back by it at the next tick,
// and is marked when other files of the share were stored: the store answered, and refused
// this one. True when the child stored anything.
bool share_failed(trace_list &list, const std::vector<trace *> &share) {
    trace *failed = nullptr;
    bool stored = false;
    for (trace *t : share) {
        if (access(t->path, F_OK) != 0) {
            stored = true;
        } else if (failed == nullptr) {
            failed = t;
        }
    }
    if (failed == nullptr) return true;
    list.move_to_tail(failed);
    failed->refused = failed->refused || stored;
    return stored;
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

// The wait after `stalls` attempts in a row stored nothing: none after the first, then 10 s
// doubling up to 5 minutes, each within 20 % either way.
int64_t backoff_ms(unsigned int stalls) {
    if (stalls < 2) return 0;
    int64_t wait = stalls - 2 < 16 ? kBackoffFirstMs << (stalls - 2) : kBackoffMaxMs;
    wait = std::min(wait, kBackoffMaxMs);
    return wait * (800 + static_cast<int64_t>(arc4random_uniform(401))) / 1000;
}

// Uploads one watcher's list, unless it is backing off. Waits run from the end of an attempt,
// so that a slow one (a store that never answers) does not use them up, and an attempt is due
// at the tick nearest to its time, so that a wait is not stretched by a whole tick.
void traces_put(int id) {
    watch &s = watches[id];
    const int64_t due = now_ms() + static_cast<int64_t>(cf.interval) * 500;
    if (due < s.retry_at) return;
    std::vector<trace *> ready = traces_ready(id);
    if (ready.empty()) return;
    if (ready[0]->refused && s.refused_at != 0 && due < s.refused_at + kBackoffMaxMs) return;
    const char *root = tolvane_cf_watcher_root_get(s.w);
    attempt outcome = children_run(id, ready);
    const int64_t ended = now_ms();
    switch (outcome) {
        case attempt::progress:
            if (s.stalls >= 2) fprintf(stderr, "warning: uploads from \"%s\" work again.\n", root);
            s.stalls = 0;
            s.retry_at = 0;
            last_upload = time(nullptr);
            break;
        case attempt::stalled: {
            int64_t wait = backoff_ms(++s.stalls);
            s.retry_at = ended + wait;
            DEBUG("[B%d] %u attempts stored nothing; next in %" PRId64 " ms.\n", id, s.stalls,
                  wait);
            if (s.stalls == 2)
                fprintf(stderr, "warning: uploads from \"%s\" are failing; next attempt in %d s.\n",
                        root, static_cast<int>((wait + 500) / 1000));
            break;
        }
        case attempt::refused_only:
            s.refused_at = ended;
            break;
        case attempt::not_started:
            break;
    }
}

// The summary the service manager shows: directories watched, files listed, the last upload
// that stored anything, and how many lists are backing off.
std::string status_text() {
    int watched = 0, backing_off = 0;
    for (int id = 0; id < count; id++) {
        watched += watches[id].wd >= 0;
        backing_off += watches[id].stalls >= 2;
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

// A watch is compared with what its root names now. This also catches what sends no event: a
// file system mounted over the root, or a root link pointed elsewhere.
void roots_check() {
    for (int id = 0; id < count; id++) {
        watch &s = watches[id];
        if (s.wd < 0) continue;
        const char *root = tolvane_cf_watcher_root_get(s.w);
        struct stat st;
        if (stat(root, &st) != 0 || st.st_dev != s.dev || st.st_ino != s.ino) {
            DEBUG("warning: %s being removed.\n", root);
            watcher_defer(s);
        }
    }
}

void timer_handler(uv_timer_t *) {
    // Children given up on earlier are collected here at the latest.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    roots_check();
    int64_t now = now_ms();
    for (int id = 0; id < count; id++) {
        watch &s = watches[id];
        if (s.wd < 0) {
            if (watch_start(s)) DEBUG("Added watcher for %s\n", tolvane_cf_watcher_root_get(s.w));
        } else if (now - s.listed_at >= kRelistMs) {
            directory_relist(s);
        }
    }
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

// One empty list and one deferred watch per watcher. Returns the first watcher.
tolvane_cf_watcher_t *lists_create() {
    tolvane_cf_watcher_t *first = tolvane_cf_watchers_get();
    if (first == nullptr) tolvane_fatal("error: no watchers specified in configuration file.\n");
    count = tolvane_cf_watcher_count();
    traces.reset(new (std::nothrow) trace_list[static_cast<size_t>(count)]);
    watches.reset(new (std::nothrow) watch[static_cast<size_t>(count)]);
    if (traces == nullptr || watches == nullptr)
        tolvane_fatal("error: failed to allocate watcher lists.\n");
    for (tolvane_cf_watcher_t *w = first; w != nullptr; w = tolvane_cf_watcher_next(w))
        watches[tolvane_cf_watcher_id_get(w)].w = w;
    return first;
}

// A detached daemon works in "/", so its children get the configuration paths made absolute.
// The configuration file's path is not expanded again by the child; the home's is.
void child_paths_set() {
    if (tolvane_cf_tolvane_binary_name_get() == nullptr)
        tolvane_fatal("error: failed to sample full path to tolvane binary.\n");
    child_home = expansion_proof(absolute(tolvane_cf_confighome_path_get()));
    if (const char *path = tolvane_cf_path_get()) child_cf = absolute(path);
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
}  // namespace

void tolvane_command_daemon_handler(int argc, char **argv) {
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
