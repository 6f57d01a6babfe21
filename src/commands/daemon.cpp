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
    const char *suffix = nullptr;
    time_t timeout = 60;
    int argc = 32;
    int interval = 5;
    int batch = 16;
    mode_t mode = 0700;
} cf;

const char kSuffix[] = ".slt";
// One child's share of a list: few enough files that put never runs out of mappings, and few
// enough argument bytes to stay well inside the system's limit for a command line.
const size_t kChildFiles = 1024;
const size_t kChildArgBytes = 512 * 1024;

struct trace {
    TAILQ_ENTRY(trace) linkage;
    time_t attempt;
    tolvane_cf_watcher_t *watcher;
    char path[];
};
TAILQ_HEAD(trace_list, trace);

trace_list *traces;
// Per watcher, the entries by path, so finding a file never walks its list.
std::vector<std::unordered_map<std::string_view, trace *>> trace_index;
unsigned int n_trace;
int count;
uv_loop_t *loop;
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

[[noreturn]] void usage(FILE *out) {
    fputs(
        "Usage: daemon [<options>]\n\n    -f, --foreground              Run in foreground.\n"
        "    -h, --help                    Print this message.\n",
        out);
    tolvane_exit(out == stderr ? 1 : 0);
}

[[noreturn]] void fail(const char *message) {
    fputs(message, stderr);
    tolvane_exit(1);
}

bool has_suffix(const char *name) {
    const char *dot = strrchr(name, '.');
    return dot != nullptr && strcmp(dot, kSuffix) == 0;
}

trace *trace_find(int id, std::string_view path) {
    auto it = trace_index[id].find(path);
    return it == trace_index[id].end() ? nullptr : it->second;
}

void trace_destroy(trace *t) {
    int id = tolvane_cf_watcher_id_get(t->watcher);
    TAILQ_REMOVE(&traces[id], t, linkage);
    trace_index[id].erase(t->path);
    free(t);
    n_trace--;
}

trace *trace_create(const char *directory, tolvane_cf_watcher_t *watcher, const char *name) {
    std::string path = std::string(directory) + "/" + name;
    int id = tolvane_cf_watcher_id_get(watcher);
    trace *found = trace_find(id, path);
    if (access(path.c_str(), R_OK) != 0) {
        // Unreadable or gone: whatever is listed under that path goes.
        DEBUG("[-%d] [%u] %s\n", id, n_trace, path.c_str());
        if (found != nullptr) trace_destroy(found);
        return nullptr;
    }
    if (found != nullptr) {
        DEBUG("[/%d] [%u] %s\n", id, n_trace, path.c_str());
        return found;
    }
    auto *t = static_cast<trace *>(malloc(sizeof(trace) + path.size() + 1));
    if (t == nullptr) fail("error: failed to allocate trace.\n");
    t->attempt = 0;
    t->watcher = watcher;
    memcpy(t->path, path.c_str(), path.size() + 1);
    DEBUG("[+%d] [%u] %s\n", id, n_trace, t->path);
    TAILQ_INSERT_HEAD(&traces[id], t, linkage);
    trace_index[id].emplace(t->path, t);
    n_trace++;
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
        fail("warning: failed to defer directory.\n");
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

// Runs one put child for these files and waits for it (at most the time-out). True when it
// ended with status 0.
bool run_child(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    pid_t pid = fork();
    if (pid < 0) {
        fputs("warning: failed to launch client.\n", stderr);
        return true;  // nothing was tried, so nothing failed
    }
    if (pid == 0) {
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

// Uploads one watcher's list: one child per share, one after another. True when a child ran.
bool traces_put(int id) {
    std::vector<trace *> ready;
    for (trace *t = TAILQ_FIRST(&traces[id]), *next; t != nullptr; t = next) {
        next = TAILQ_NEXT(t, linkage);
        bool gone;
        if (ready_to_send(t, &gone)) {
            ready.push_back(t);
        } else if (gone) {
            // Its event was lost (see rescan_watched): dropped as that event would have done.
            DEBUG("[-%d] [%u] %s\n", id, n_trace, t->path);
            trace_destroy(t);
        }
    }
    if (ready.empty()) return false;
    tolvane_cf_watcher_t *w = ready[0]->watcher;
    size_t fixed = 256 + strlen(tolvane_cf_tolvane_binary_name_get()) + child_home.size() +
                   child_cf.size() + strlen(tolvane_cf_watcher_name_get(w)) +
                   strlen(tolvane_cf_watcher_token_get(w));
    for (size_t start = 0; start < ready.size();) {
        std::vector<trace *> share;
        size_t bytes = fixed;
        for (; start < ready.size() && share.size() < kChildFiles; start++) {
            size_t cost = strlen(ready[start]->path) + 1 + sizeof(char *);
            if (!share.empty() && bytes + cost > kChildArgBytes) break;
            bytes += cost;
            share.push_back(ready[start]);
        }
        if (run_child(w, share)) continue;
        // The first file the child left behind is the one it failed on: it goes to the oldest
        // end, so the others are not held back by it at the next tick.
        for (trace *f : share) {
            if (access(f->path, F_OK) == 0) {
                TAILQ_REMOVE(&traces[id], f, linkage);
                TAILQ_INSERT_TAIL(&traces[id], f, linkage);
                break;
            }
        }
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
    DEBUG("[T] Scanning for traces [%u]...\n", n_trace);
    if (hb != nullptr) gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
    bool ran = false;
    for (int id = 0; id < count; id++) {
        if (TAILQ_EMPTY(&traces[id])) {
            DEBUG("warning: empty list [%ju].\n", static_cast<uintmax_t>(id));
            continue;
        }
        ran |= traces_put(id);
    }
    if (ran) rescan_watched();
}
}  // namespace

void tolvane_command_daemon_handler(int argc, char **argv) {
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
                usage(stdout);
            default:
                usage(stderr);
        }
    }
    if (!cr_array_init(&deferral, 4)) fail("error: failed to allocate deferral array.\n");
    tolvane_cf_watcher_t *first = tolvane_cf_watchers_get();
    if (first == nullptr) fail("error: no watchers specified in configuration file.\n");
    count = tolvane_cf_watcher_count();
    traces = static_cast<trace_list *>(calloc(static_cast<size_t>(count), sizeof(trace_list)));
    if (traces == nullptr) fail("error: failed to allocate watcher lists.\n");
    for (int i = 0; i < count; i++) TAILQ_INIT(&traces[i]);
    trace_index.resize(static_cast<size_t>(count));
    // A detached daemon works in "/", so its children get the configuration paths made absolute.
    child_home = absolute(tolvane_cf_confighome_path_get());
    if (const char *path = tolvane_cf_path_get()) child_cf = absolute(path);
    if (!cf.foreground && daemon(0, 0) != 0) fail("error: failed to spawn daemon.\n");

    tolvane_network_init();
    loop = tolvane_network_loop_get();
    for (tolvane_cf_watcher_t *w = first; w != nullptr; w = tolvane_cf_watcher_next(w)) {
        if (tolvane_cf_token_get(tolvane_cf_watcher_token_get(w)) == nullptr) {
            fprintf(stderr, "error: no such token [%s] found.\n", tolvane_cf_watcher_token_get(w));
            tolvane_exit(1);
        }
        if (!(directory_scan(w) && directory_add(w))) directory_defer(w);
    }
    hb = gimli_heartbeat_attach();
    if (hb == nullptr) fputs("warning: no watchdog monitor attached.\n", stderr);
    static uv_timer_t timer;
    if (uv_timer_init(loop, &timer) != 0) fail("error: failed to initialize timer.\n");
    uint64_t period = static_cast<uint64_t>(cf.interval) * 1000;
    if (uv_timer_start(&timer, timer_handler, period, period) != 0)
        fail("error: failed to register timer.\n");
    tolvane_network_run();
}
