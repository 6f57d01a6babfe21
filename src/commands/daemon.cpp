// The daemon command: watches the configured directories, lists the trace files that land
// there, and at every tick uploads each watcher's list by running this program's own put in a
// child process; put removes what it stored, and that removal takes the file off the list.
#include "tolvane/daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/queue.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "tolvane/array.h"
#include "tolvane/cf.h"
#include "tolvane/cf_blocks.h"
#include "tolvane/cf_home.h"
#include "tolvane/cf_universe.h"
#include "tolvane/fatal.h"
#include "tolvane/heartbeat.h"
#include "tolvane/misc.h"
#include "tolvane/network.h"
#include "tolvane/qvif.h"

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

// One listed file, allocated as one block with its path inline.
struct trace {
    TAILQ_ENTRY(trace) linkage;
    time_t attempt;  // part of the entry record, set to 0 and not read
    tolvane_cf_watcher_t *watcher;
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

// One list per watcher, indexed by the watcher's id.
std::unique_ptr<trace_list[]> traces;
int count;
uv_loop_t *loop;
uv_timer_t tick;
cr_array_t *deferral;
volatile gimli_heartbeat *hb;
// The configuration home and file that the upload children are given.
std::string child_home, child_cf;

std::string absolute(const char *path) {
    if (path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

#define DEBUG(...)                                  \
    do {                                            \
        if (cf.debug) fprintf(stderr, __VA_ARGS__); \
    } while (0)

const char kUsage[] =
    "Usage: daemon [<options>]\n\n    -f, --foreground              Run in foreground.\n"
    "    -h, --help                    Print this message.\n";

bool has_suffix(const char *name) {
    const char *dot = strrchr(name, '.');
    return dot != nullptr && strcmp(dot, kSuffix) == 0;
}

// Adds, confirms or drops the entry for directory/name, as the file is readable or not.
trace *trace_create(const char *directory, tolvane_cf_watcher_t *watcher, const char *name) {
    std::string path = std::string(directory) + "/" + name;
    int id = tolvane_cf_watcher_id_get(watcher);
    trace_list &list = traces[id];
    trace *found = list.find(path);
    if (access(path.c_str(), R_OK) != 0) {
        // Unreadable or gone: whatever is listed under that path goes.
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

bool directory_scan(tolvane_cf_watcher_t *watcher) {
    const char *root = tolvane_cf_watcher_root_get(watcher);
    DIR *dir = opendir(root);
    if (dir == nullptr) {
        if (errno == ENOENT) {
            DEBUG("warning: %s does not exist yet.\n", root);
        } else {
            fprintf(stderr, "error: %s cannot be monitored: %s.\n", root, tolvane_strerror(errno));
        }
        return false;
    }
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.' || !has_suffix(e->d_name)) continue;
        trace_create(root, watcher, e->d_name);
    }
    closedir(dir);
    return true;
}

void directory_defer(tolvane_cf_watcher_t *watcher) {
    if (cr_array_append_offset(&deferral, watcher) < 0)
        tolvane_fatal("warning: failed to defer directory.\n");
}

void watcher_defer(tolvane_cf_watcher_t *watcher) {
    directory_defer(watcher);
}

void release_handle(uv_handle_t *handle) {
    free(handle);
}

void watcher(uv_fs_event_t *handle, const char *filename, int events, int status) {
    auto *w = static_cast<tolvane_cf_watcher_t *>(handle->data);
    const char *root = tolvane_cf_watcher_root_get(w);
    DEBUG("[E %s] %p %s / %#x / %#x\n", root, static_cast<void *>(handle),
          filename ? filename : "(null)", static_cast<unsigned>(events),
          static_cast<unsigned>(status));
    if (filename == nullptr || filename[0] == '.' || !(events & UV_RENAME)) return;
    const char *last = strrchr(root, '/');
    if (strcmp(filename, last != nullptr ? last + 1 : root) == 0) {
        DEBUG("warning: event on directory.\n");
        struct stat st;
        if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode) || access(root, R_OK | W_OK | X_OK) != 0) {
            DEBUG("warning: %s being removed.\n", root);
            uv_fs_event_stop(handle);
            // A stopped handle is not used again; a new one watches the directory's return.
            uv_close(reinterpret_cast<uv_handle_t *>(handle), release_handle);
            watcher_defer(w);
        }
    }
    if (has_suffix(filename)) trace_create(root, w, filename);
}

bool directory_add(tolvane_cf_watcher_t *w) {
    auto *handle = static_cast<uv_fs_event_t *>(malloc(sizeof(uv_fs_event_t)));
    if (handle == nullptr) {
        fputs("error: failed to allocate directory watcher.\n", stderr);
        return false;
    }
    if (uv_fs_event_init(loop, handle) != 0) {
        fputs("error: failed to initialize watcher.\n", stderr);
        free(handle);
        return false;
    }
    handle->data = w;
    if (uv_fs_event_start(handle, watcher, tolvane_cf_watcher_root_get(w), 0) != 0) {
        fputs("error: failed to watch directory.\n", stderr);
        uv_close(reinterpret_cast<uv_handle_t *>(handle), release_handle);
        return false;
    }
    return true;
}

// Whether a listed file can go to put now: a file still being written, or truncated for good,
// would make put refuse the whole batch, so it waits for a later tick instead. Sets *gone when
// the file cannot be read at all.
bool ready_to_send(const trace *t, bool *gone) {
    int fd = open(t->path, O_RDONLY | O_CLOEXEC);
    *gone = fd < 0 && (errno == ENOENT || errno == EACCES);
    if (fd < 0) return false;
    struct stat st;
    qvif_header header;
    uint64_t expected;
    bool ok =
        fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(sizeof header) &&
        static_cast<uint64_t>(st.st_size) <= 4294967295u &&
        pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        qvif_check_size(&header, static_cast<uint64_t>(st.st_size), &expected) == QVIF_CHECK_OK;
    close(fd);
    return ok;
}

// In the forked child: runs put on the files. It ends with _exit, never through tolvane_exit:
// the parent's buffered output and exit handlers are not the child's to run.
[[noreturn]] void child_exec(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
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

// Waits for the child, at most the time-out. True when it ended with status 0.
bool child_wait(pid_t pid) {
    time_t started = time(nullptr);
    while (true) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            fputs("warning: error waiting on child.\n", stderr);
            kill(pid, SIGINT);
            return false;
        }
        if (time(nullptr) - started > cf.timeout) {
            kill(pid, SIGKILL);
            fputs("warning: child has timed out.\n", stderr);
            waitpid(pid, &status, 0);  // killed for sure: reaped at once, no zombie
            return false;
        }
        const timespec pause{0, 500000};
        nanosleep(&pause, nullptr);
    }
}

// Runs one put child for these files and waits for it. True when it ended with status 0.
bool run_child(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    pid_t pid = fork();
    if (pid < 0) {
        fputs("warning: failed to launch client.\n", stderr);
        return true;  // nothing was tried, so nothing failed
    }
    if (pid == 0) child_exec(w, files);
    return child_wait(pid);
}

// The entries of list `id` that can go to put now, newest first. Entries whose file is gone
// are dropped on the way.
std::vector<trace *> traces_ready(int id) {
    std::vector<trace *> ready;
    for (trace *t : traces[id]) {
        bool gone;
        if (ready_to_send(t, &gone)) {
            ready.push_back(t);
        } else if (gone) {
            // Its event was lost (see rescan_watched): dropped as that event would have done.
            DEBUG("[-%d] [%u] %s\n", id, trace_list::total(), t->path);
            traces[id].erase(t);
        }
    }
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

// After a failed child: the first file it left behind is the one it failed on. It goes to the
// oldest end, so the others are not held back by it at the next tick.
void share_failed(trace_list &list, const std::vector<trace *> &share) {
    for (trace *f : share) {
        if (access(f->path, F_OK) == 0) {
            list.move_to_tail(f);
            return;
        }
    }
}

// Uploads one watcher's list: one child per share, one after another. True when a child ran.
// The loop waits meanwhile, so no event can drop an entry of `ready` under it.
bool traces_put(int id) {
    std::vector<trace *> ready = traces_ready(id);
    if (ready.empty()) return false;
    tolvane_cf_watcher_t *w = ready[0]->watcher;
    size_t fixed = child_fixed_bytes(w);
    for (size_t start = 0; start < ready.size();) {
        std::vector<trace *> share = share_next(ready, &start, fixed);
        if (!run_child(w, share)) share_failed(traces[id], share);
    }
    return true;
}

// The loop is blocked while children run, and file-system events queue up in the kernel
// meanwhile; a busy tick can fill that queue (16,384 events by default) and the events beyond it
// are lost. Listing the watched directories again after such a tick finds the files that arrived
// unseen.
void rescan_watched() {
    for (tolvane_cf_watcher_t *w = tolvane_cf_watchers_get(); w != nullptr;
         w = tolvane_cf_watcher_next(w)) {
        bool deferred = false;
        for (unsigned int i = 0; i < deferral->length; i++) deferred |= deferral->value[i] == w;
        if (!deferred) directory_scan(w);
    }
}

void timer_handler(uv_timer_t *) {
    // Children given up on earlier are collected here at the latest.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    for (unsigned int i = 0; i < deferral->length;) {
        auto *w = static_cast<tolvane_cf_watcher_t *>(const_cast<void *>(deferral->value[i]));
        if (directory_scan(w) && directory_add(w)) {
            DEBUG("Added watcher for %s\n", tolvane_cf_watcher_root_get(w));
            cr_array_remove_at(deferral, i);
        } else {
            i++;
        }
    }
    DEBUG("[T] Scanning for traces [%u]...\n", trace_list::total());
    if (hb != nullptr) gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
    bool ran = false;
    for (int id = 0; id < count; id++) {
        if (traces[id].empty()) {
            DEBUG("warning: empty list [%ju].\n", static_cast<uintmax_t>(id));
            continue;
        }
        ran |= traces_put(id);
    }
    if (ran) rescan_watched();
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

// The deferral array and one empty list per watcher. Returns the first watcher.
tolvane_cf_watcher_t *lists_create() {
    if (!cr_array_init(&deferral, 4)) tolvane_fatal("error: failed to allocate deferral array.\n");
    tolvane_cf_watcher_t *first = tolvane_cf_watchers_get();
    if (first == nullptr) tolvane_fatal("error: no watchers specified in configuration file.\n");
    count = tolvane_cf_watcher_count();
    traces.reset(new (std::nothrow) trace_list[static_cast<size_t>(count)]);
    if (traces == nullptr) tolvane_fatal("error: failed to allocate watcher lists.\n");
    return first;
}

// A detached daemon works in "/", so its children get the configuration paths made absolute.
void child_paths_set() {
    child_home = absolute(tolvane_cf_confighome_path_get());
    if (const char *path = tolvane_cf_path_get()) child_cf = absolute(path);
}

void detach() {
    if (daemon(0, 0) != 0) tolvane_fatal("error: failed to spawn daemon.\n");
}

// Each watcher's token is checked; its directory is scanned, then watched, or else deferred to
// the ticks.
void watches_start(tolvane_cf_watcher_t *first) {
    for (tolvane_cf_watcher_t *w = first; w != nullptr; w = tolvane_cf_watcher_next(w)) {
        if (tolvane_cf_token_get(tolvane_cf_watcher_token_get(w)) == nullptr)
            tolvane_fatal("error: no such token [%s] found.\n", tolvane_cf_watcher_token_get(w));
        if (!(directory_scan(w) && directory_add(w))) directory_defer(w);
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
    tolvane_network_init();
    loop = tolvane_network_loop_get();
    watches_start(first);
    heartbeat_attach();
    timer_start();
    tolvane_network_run();
}
