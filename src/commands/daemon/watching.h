// What the daemon watches and lists: one trace list and one watch per watcher, the inotify
// descriptor that serves every watch, and the listings that make good what events missed.
#pragma once

#include <sys/queue.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "policy.h"
#include "tolvane/config/cf_blocks.h"

namespace tolvane_daemon {

// A listed file that a child stored but could not delete: the file it was (it is not sent
// again while its path names that file), and its reports.
struct kept_file {
    dev_t dev;
    ino_t ino;
    off_t size;
    kept_report report;
};

struct watch;

// One listed file, allocated as one block with its path inline.
struct trace {
    TAILQ_ENTRY(trace) linkage;
    time_t attempt;        // part of the entry record, set to 0 and not read
    const watch *watcher;  // the watch of the directory that holds it
    unsigned int seen;     // the latest listing of its directory that found the file
    bool refused;          // the store refused it while it took others from the same child
    unsigned int child;    // the running child that has it (its serial number), 0 for none
    kept_file *kept;       // stored but not deletable; null for a file still to send
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

    // The number of entries over all lists, and of those that are kept (stored already).
    static unsigned int total() { return total_; }
    static unsigned int kept() { return kept_; }

    bool empty() const { return TAILQ_EMPTY(&head_); }

    trace *find(std::string_view path) const {
        auto it = index_.find(path);
        return it == index_.end() ? nullptr : it->second;
    }

    // A new entry at the head (the newest end); null when it cannot be allocated.
    trace *insert(const watch *watcher, std::string_view path);
    // Unlinks and releases the entry.
    void erase(trace *t);
    // The entry's file, as `st` describes it, is stored but cannot be deleted; or, with null,
    // it is a file to send again.
    void keep(trace *t, const struct stat *st);
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
    static inline unsigned int kept_ = 0;
};

// What the daemon knows of one watcher's directory: its list, its watch, and how its uploads
// go. A watch that is not started (wd -1) is deferred: every tick tries to start one. It holds
// copies of the watcher's settings: a reload frees the configuration they came from, while the
// list and the children go on.
struct watch {
    int id = 0;  // its place in `watches`, which children and debug lines name
    std::string name, root, token;
    // Its root left the configuration at a reload: it starts no child, and is dropped once the
    // last of its running children has ended.
    bool retired = false;
    int wd = -1;    // its inotify watch, -1 while deferred
    dev_t dev = 0;  // the directory the watch was started on
    ino_t ino = 0;
    std::string told;     // what was last said of a root it cannot watch; "" once watched
    bool locked = false;  // it holds the lock of the directory lock_dev, lock_ino
    dev_t lock_dev = 0;
    ino_t lock_ino = 0;
    unsigned int listing = 0;  // the number of its latest listing
    int64_t listed_at = 0;     // when the latest complete listing ended (monotonic ms)
    backoff uploads;
    trace_list list;
};

// The watches, by id; a dropped one leaves its place empty (null) for a later one. Each is
// allocated on its own: its list's entries point at it.
extern std::vector<std::unique_ptr<watch>> watches;

// Ends the process with its message unless the configuration's watchers can be watched: there
// is one at least, and each names a token that exists.
void watchers_check();
// Checks the watchers, and makes one deferred watch, with an empty list, per watcher, with the
// watcher's id.
void lists_create();

// After the configuration was loaded again: each watcher keeps the watch of its root (matched by
// the root's text; the first watch not yet matched), whose name and token it updates, and a root
// new to the daemon gets a watch, started at once. A watch whose root is no longer configured is
// marked retired, for the caller to drop once it has no running child.
void watchers_update();
// Ends the watch and its list, and frees its place.
void watch_drop(int id);

// What came of starting a watch: the directory is watched (and locked, and listed); it is not
// there; it is there but cannot be used (no directory, no permission, no inotify watch); or
// another daemon holds its lock. All but the first leave the watcher deferred, after saying why
// (once).
enum class root_state { watched, missing, unusable, taken };
// Watches the directory now at the watcher's root and lists it.
root_state watch_start(watch &s);

// At a tick: watches whose root names another directory now are deferred, deferred watchers
// are started again, and directories not listed for a while are listed again.
void watches_check();

// The entries of list `id` that can go to put now, in the order they are offered (policy.h):
// none that a running child has, and none that is kept (reported again when due). Entries
// whose file is gone are dropped on the way.
std::vector<trace *> traces_ready(int id);

// Reports a kept trace, when its report is due.
void kept_tell(const trace *t, int64_t now);

}  // namespace tolvane_daemon
