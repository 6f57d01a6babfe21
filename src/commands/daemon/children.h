// Upload children: this program's own put, run with -u on a share of one list's files; the wait
// for one, during which the heartbeat goes on beating; and the stop signals, which end a
// running child before the daemon ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "policy.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/util/unique.h"
#include "watching.h"

namespace tolvane_daemon {

// Fixes the program and configuration paths that the children get. A detached daemon works in
// "/", so this comes before detaching.
void child_paths_set();
// The argument bytes that every child for watcher w takes besides its files, with room to
// spare.
size_t child_fixed_bytes(tolvane_cf_watcher_t *w);

// One upload child while it runs.
struct child {
    pid_t pid;
    tolvane::unique_fd ended;  // becomes readable when the child ends; none before Linux 5.3
    child_limit limit;
};

// Starts put on the files; none, after a message, when no child could be started.
std::optional<child> child_start(tolvane_cf_watcher_t *w, const std::vector<trace *> &files);

// Looks at the child once, without waiting: it ran to its end (ok: status 0), it was ended (its
// limit passed, or waiting on it failed), or it still runs. Passes a stop request on to it, and
// ends the daemon once a child asked to stop has ended.
enum class child_state { running, ok, failed };
child_state child_poll(child &c);

// Runs one put child for these files and waits for it; the loop waits meanwhile.
enum class child_end { ok, failed, not_started };
child_end run_child(tolvane_cf_watcher_t *w, const std::vector<trace *> &files);

// Collects children given up on earlier.
void children_reap();

// SIGTERM and SIGINT end the daemon through daemon_stop, from the loop or from a wait on a
// child.
void stop_signals_catch();

}  // namespace tolvane_daemon
