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
#include "watching.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common.h"
#include "locks.h"
#include "tolvane/config/cf_universe.h"
#include "tolvane/trace/qvif.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"
#include "tolvane/util/text.h"

namespace tolvane_daemon {

std::vector<std::unique_ptr<watch>> watches;

namespace {
const char kSuffix[] = ".slt";
// A watched directory is listed again, for any event that went missing, when this long has
// passed since its last listing: a tick early, so that none goes a minute without one.
const int64_t kRelistMs = 55 * 1000;

int inotify_fd = -1;
uv_poll_t inotify_handle;
}  // namespace

trace *trace_list::insert(const watch *watcher, std::string_view path) {
    auto *t = static_cast<trace *>(malloc(sizeof(trace) + path.size() + 1));
    if (t == nullptr) return nullptr;
    t->attempt = 0;
    t->watcher = watcher;
    t->seen = 0;
    t->refused = false;
    t->child = 0;
    t->kept = nullptr;
    memcpy(t->path, path.data(), path.size());
    t->path[path.size()] = '\0';
    TAILQ_INSERT_HEAD(&head_, t, linkage);
    index_.emplace(std::string_view(t->path, path.size()), t);
    total_++;
    return t;
}

void trace_list::erase(trace *t) {
    keep(t, nullptr);
    TAILQ_REMOVE(&head_, t, linkage);
    index_.erase(t->path);
    free(t);
    total_--;
}

void trace_list::keep(trace *t, const struct stat *st) {
    if (st == nullptr) {
        kept_ -= t->kept != nullptr;
        delete t->kept;
        t->kept = nullptr;
        return;
    }
    if (t->kept == nullptr) {
        t->kept = new kept_file{};
        kept_++;
    }
    t->kept->dev = st->st_dev;
    t->kept->ino = st->st_ino;
    t->kept->size = st->st_size;
}

namespace {
// A -d line for a change to list id (sign +, / or -), with the count before it. The path is
// escaped: a name in a directory anyone can write must not forge lines.
void list_line(char sign, int id, unsigned int total, const char *path) {
    DEBUG("[%c%d] [%u] %s\n", sign, id, total, tolvane_printable(path).c_str());
}

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

// Adds, confirms or drops the entry for root/name, as the file is a readable regular file or
// not.
trace *trace_create(watch &s, const char *name) {
    std::string path = s.root + "/" + name;
    int id = s.id;
    trace_list &list = s.list;
    trace *found = list.find(path);
    if (!readable_file(path.c_str())) {
        // Unreadable, gone or no trace at all: whatever is listed under that path goes.
        list_line('-', id, trace_list::total(), path.c_str());
        if (found != nullptr) list.erase(found);
        return nullptr;
    }
    if (found != nullptr) {
        list_line('/', id, trace_list::total(), path.c_str());
        return found;
    }
    if (s.retired) return nullptr;  // it sends nothing new
    unsigned int before = trace_list::total();
    trace *t = list.insert(&s, path);
    if (t == nullptr) tolvane_fatal("error: failed to allocate trace.\n");
    list_line('+', id, before, t->path);
    return t;
}

// Says why the watcher's root cannot be watched (`message`, the lines of one attempt): once, and
// again only when the reason changes; a root that stays a plain file would otherwise say so at
// every tick. A started watch clears it.
void tell(watch &s, const std::string &message) {
    if (message.empty() || s.told == message) return;
    s.told = message;
    fputs(message.c_str(), stderr);
}

// Why the root cannot be opened: missing (said as a warning: it is watched once it is there),
// or anything else.
std::string root_problem(const char *root, int error) {
    std::string shown = tolvane_printable(root);
    if (error == ENOENT) {
        DEBUG("warning: %s does not exist yet.\n", shown.c_str());
        // Quoted, so that a blank at its end (kept from the configuration) shows.
        return "warning: directory \"" + shown +
               "\" does not exist yet; it will be watched once it does.\n";
    }
    return "error: " + shown + " cannot be monitored: " + tolvane_strerror(error) + ".\n";
}

// Lists the directory at the watcher's root, and gives the device and inode of the directory
// listed; 0, or the error that kept it from being opened, whose reason goes to *problem.
// Entries that the listing does not find (their events were lost) are dropped, once the listing
// is complete; a generation mark keeps that one pass over the list.
int directory_scan(watch &s, struct stat *listed, std::string *problem) {
    const char *root = s.root.c_str();
    DIR *dir = opendir(root);  // O_DIRECTORY: whatever else is there now, it is not opened
    if (dir == nullptr) {
        int error = errno;
        *problem += root_problem(root, error);
        return error;
    }
    if (fstat(dirfd(dir), listed) != 0) *listed = {};
    unsigned int listing = ++s.listing;
    errno = 0;
    while (dirent *e = readdir(dir)) {
        // The entry's type, where the file system gives it, spares a look-up for what is no
        // regular file; trace_create examines the rest.
        if (e->d_name[0] != '.' && has_suffix(e->d_name) &&
            (e->d_type == DT_REG || e->d_type == DT_UNKNOWN)) {
            if (trace *t = trace_create(s, e->d_name)) t->seen = listing;
        }
        errno = 0;
    }
    bool complete = errno == 0;
    closedir(dir);
    if (!complete) return 0;
    for (trace *t : s.list) {
        if (t->seen == listing) continue;
        list_line('-', s.id, trace_list::total(), t->path);
        s.list.erase(t);
    }
    s.listed_at = now_ms();
    return 0;
}

// Whether a root that left the configuration at a reload, and still has children, is on the
// directory `st`: a new root on it waits for them, so that no file goes to two children.
bool retiring(const watch &s, const struct stat &st) {
    for (const auto &o : watches) {
        if (o && o.get() != &s && o->retired && o->locked && o->lock_dev == st.st_dev &&
            o->lock_ino == st.st_ino)
            return true;
    }
    return false;
}

// The watch no longer holds its directory's lock.
void lock_drop(watch &s) {
    if (!s.locked) return;
    s.locked = false;
    lock_release(s.lock_dev, s.lock_ino);
}

// Holds the lock of the directory open at fd (st) for the watch, letting go of one it held on
// another; false, with the reason in *problem, when another daemon holds it. fd is the lock's,
// or closed.
bool lock_hold(watch &s, int fd, const struct stat &st, std::string *problem) {
    if (s.locked && s.lock_dev == st.st_dev && s.lock_ino == st.st_ino) {
        close(fd);
        return true;
    }
    lock_drop(s);
    pid_t holder;
    if (!lock_take(fd, st, &holder)) {
        *problem += "error: directory \"" + tolvane_printable(s.root) +
                    "\" is watched by another daemon" +
                    (holder > 0 ? " (process " + std::to_string(holder) + ")" : "") + ".\n";
        return false;
    }
    s.locked = true;
    s.lock_dev = st.st_dev;
    s.lock_ino = st.st_ino;
    return true;
}

// Ends an inotify watch, unless another watcher still has it: roots that name one directory
// share one watch.
void watch_release(int wd) {
    for (const auto &s : watches) {
        if (s && s->wd == wd) return;
    }
    inotify_rm_watch(inotify_fd, wd);
}

// Defers the watcher: its watch ends, and the ticks start one again on whatever directory is
// at its root then. Its listed files stay listed.
void watcher_defer(watch &s) {
    int wd = s.wd;
    s.wd = -1;
    if (wd >= 0) watch_release(wd);
    lock_drop(s);
}

// Lists a watched directory again. A directory other than the watched one at the root now
// defers the watcher.
void directory_relist(watch &s) {
    struct stat st;
    std::string problem;
    if (directory_scan(s, &st, &problem) != 0 || st.st_dev != s.dev || st.st_ino != s.ino)
        watcher_defer(s);
    tell(s, problem);
}

// Every watched directory listed again: after events were lost.
void rescan_watched() {
    for (const auto &s : watches) {
        if (s && s->wd >= 0) directory_relist(*s);
    }
}

const char *base_name(const char *path) {
    const char *last = strrchr(path, '/');
    return last != nullptr ? last + 1 : path;
}

// One event of watch s.
void watcher(watch &s, const inotify_event *e) {
    const char *root = s.root.c_str();
    const uint32_t self = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
    // An event on the directory itself carries no name; the directory's own is shown.
    const char *name = e->len > 0 ? e->name : (e->mask & self) ? base_name(root) : nullptr;
    DEBUG("[E %s] %p %s / %#x / %#x\n", tolvane_printable(root).c_str(), static_cast<void *>(&s),
          name ? tolvane_printable(name).c_str() : "(null)", static_cast<unsigned>(e->mask), 0u);
    if (e->mask & self) {
        // Removed, renamed or unmounted: whatever is at the root path now is another directory.
        DEBUG("warning: event on directory.\n");
        DEBUG("warning: %s being removed.\n", tolvane_printable(root).c_str());
        watcher_defer(s);
        return;
    }
    if (e->len == 0 || e->name[0] == '.' || (e->mask & IN_ISDIR) || !has_suffix(e->name)) return;
    trace_create(s, e->name);
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
        for (const auto &s : watches) {
            if (s && s->wd == e->wd) watcher(*s, e);
        }
    }
    if (overflow) {
        DEBUG("warning: events were lost; listing the watched directories again.\n");
        rescan_watched();
    }
    // A deletion by a child (or anyone) shows in the status at once, not a tick later.
    status_update();
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

// Starts an inotify watch on the watcher's root; its descriptor, or -1 with the reason in
// *problem. A root that is a symbolic link is followed: the administrator chose it, and should
// it be pointed elsewhere, the tick's comparison of the directories notices.
int directory_add(watch &s, std::string *problem) {
    const char *root = s.root.c_str();
    int wd = -1;
    if (inotify_ready())
        wd = inotify_add_watch(inotify_fd, root,
                               IN_ONLYDIR | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd >= 0) return wd;
    // ENOSPC is the user's limit on inotify watches, which a host with many watched
    // directories (or other watching programs) reaches; its own text would mislead.
    std::string reason = errno == ENOSPC ? "inotify watch limit reached (raise "
                                           "fs.inotify.max_user_watches with sysctl)"
                                         : tolvane_strerror(errno);
    *problem +=
        "error: failed to watch directory \"" + tolvane_printable(root) + "\": " + reason + ".\n";
    return -1;
}

}  // namespace

// Watches the directory now at the watcher's root and lists it, once it holds the directory's
// lock; the watcher stays deferred when any of it cannot be done, and its files are listed all
// the same when the listing could be (a directory that cannot be watched, at the inotify limit
// say, is then listed at every tick). The watch starts before the listing, so that no file lands
// unseen between the two, and both must find the directory that was locked.
root_state watch_start(watch &s) {
    const char *root = s.root.c_str();
    std::string problem;
    struct stat locked, listed;
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 || fstat(fd, &locked) != 0) {
        int error = errno;
        if (fd >= 0) close(fd);
        lock_drop(s);
        tell(s, root_problem(root, error));
        return error == ENOENT ? root_state::missing : root_state::unusable;
    }
    if (retiring(s, locked)) {
        close(fd);
        return root_state::missing;
    }
    if (!lock_hold(s, fd, locked, &problem)) {
        // Another daemon's: what was listed from it here is left to that one.
        for (trace *t : s.list)
            if (t->child == 0) s.list.erase(t);
        tell(s, problem);
        return root_state::taken;
    }
    int wd = directory_add(s, &problem);
    int error = directory_scan(s, &listed, &problem);
    tell(s, problem);
    if (error != 0 || listed.st_dev != locked.st_dev || listed.st_ino != locked.st_ino) {
        // Gone or replaced since it was locked: the next tick starts again on what is there.
        if (wd >= 0) watch_release(wd);
        lock_drop(s);
        return error == 0 || error == ENOENT ? root_state::missing : root_state::unusable;
    }
    if (wd < 0) return root_state::unusable;
    s.wd = wd;
    s.dev = listed.st_dev;
    s.ino = listed.st_ino;
    s.told.clear();
    return root_state::watched;
}

namespace {

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

// A watch is compared with what its root names now. This also catches what sends no event: a
// file system mounted over the root, or a root link pointed elsewhere.
void roots_check() {
    for (const auto &w : watches) {
        if (!w || w->wd < 0 || w->retired) continue;
        watch &s = *w;
        struct stat st;
        if (stat(s.root.c_str(), &st) != 0 || st.st_dev != s.dev || st.st_ino != s.ino) {
            DEBUG("warning: %s being removed.\n", tolvane_printable(s.root).c_str());
            watcher_defer(s);
        }
    }
}

// The configuration's watchers, in the order of their ids.
std::vector<tolvane_cf_watcher_t *> configured() {
    std::vector<tolvane_cf_watcher_t *> all(static_cast<size_t>(tolvane_cf_watcher_count()));
    for (tolvane_cf_watcher_t *w = tolvane_cf_watchers_get(); w != nullptr;
         w = tolvane_cf_watcher_next(w))
        all[static_cast<size_t>(tolvane_cf_watcher_id_get(w))] = w;
    return all;
}

// A deferred watch for the watcher, in the first free place; its id.
int watch_add(tolvane_cf_watcher_t *w) {
    auto s = std::make_unique<watch>();
    s->name = tolvane_cf_watcher_name_get(w);
    s->root = tolvane_cf_watcher_root_get(w);
    s->token = tolvane_cf_watcher_token_get(w);
    auto free = std::find(watches.begin(), watches.end(), nullptr);
    if (free == watches.end()) free = watches.insert(free, nullptr);
    s->id = static_cast<int>(free - watches.begin());
    *free = std::move(s);
    return (*free)->id;
}
}  // namespace

void watchers_check() {
    if (tolvane_cf_watchers_get() == nullptr)
        tolvane_fatal("error: no watchers specified in configuration file.\n");
    for (tolvane_cf_watcher_t *w = tolvane_cf_watchers_get(); w != nullptr;
         w = tolvane_cf_watcher_next(w)) {
        if (tolvane_cf_token_get(tolvane_cf_watcher_token_get(w)) == nullptr)
            tolvane_fatal("error: no such token [%s] found.\n",
                          tolvane_printable(tolvane_cf_watcher_token_get(w)).c_str());
    }
}

void lists_create() {
    watchers_check();
    for (tolvane_cf_watcher_t *w : configured()) watch_add(w);
}

void watchers_update() {
    const size_t before = watches.size();
    std::vector<bool> matched(before, false);
    for (tolvane_cf_watcher_t *w : configured()) {
        const char *root = tolvane_cf_watcher_root_get(w);
        size_t i = 0;
        while (i < before &&
               !(watches[i] && !watches[i]->retired && !matched[i] && watches[i]->root == root))
            i++;
        if (i == before) {
            i = static_cast<size_t>(watch_add(w));
            if (i < before) matched[i] = true;
            if (watch_start(*watches[i]) == root_state::watched)
                DEBUG("Added watcher for %s\n", tolvane_printable(root).c_str());
            continue;
        }
        matched[i] = true;
        watches[i]->name = tolvane_cf_watcher_name_get(w);
        watches[i]->token = tolvane_cf_watcher_token_get(w);
    }
    for (size_t i = 0; i < before; i++) {
        if (!watches[i] || matched[i]) continue;
        // What no child has is not sent from here any more.
        watches[i]->retired = true;
        for (trace *t : watches[i]->list)
            if (t->child == 0) watches[i]->list.erase(t);
    }
}

void watch_drop(int id) {
    watcher_defer(*watches[static_cast<size_t>(id)]);
    watches[static_cast<size_t>(id)].reset();
}

void watches_check() {
    roots_check();
    int64_t now = now_ms();
    for (const auto &w : watches) {
        if (!w || w->retired) continue;
        watch &s = *w;
        if (s.wd < 0) {
            if (watch_start(s) == root_state::watched)
                DEBUG("Added watcher for %s\n", tolvane_printable(s.root).c_str());
        } else if (now - s.listed_at >= kRelistMs) {
            directory_relist(s);
        }
    }
}

void kept_tell(const trace *t, int64_t now) {
    if (t->kept->report.due(now))
        fprintf(stderr, "warning: stored \"%s\" cannot be deleted; it is not sent again.\n",
                tolvane_printable(t->path).c_str());
}

std::vector<trace *> traces_ready(int id) {
    std::vector<trace *> ready;
    const int64_t now = now_ms();
    trace_list &list = watches[static_cast<size_t>(id)]->list;
    for (trace *t : list) {
        if (t->child != 0) continue;
        if (t->kept != nullptr) {
            // Still the file that was stored: not sent again. Another file under its name is.
            struct stat st;
            if (lstat(t->path, &st) == 0 && st.st_dev == t->kept->dev &&
                st.st_ino == t->kept->ino && st.st_size == t->kept->size) {
                kept_tell(t, now);
                continue;
            }
            list.keep(t, nullptr);
        }
        bool gone;
        if (ready_to_send(t, &gone)) {
            ready.push_back(t);
        } else if (gone) {
            // Its event was lost, or it is no regular file any more: dropped as an event would.
            list_line('-', id, trace_list::total(), t->path);
            list.erase(t);
        }
    }
    offer_order(ready);
    return ready;
}

}  // namespace tolvane_daemon
