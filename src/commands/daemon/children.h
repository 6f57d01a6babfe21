// Upload children: this program's own put, run with -u on a share of one list's files. They run
// side by side while the loop goes on; each one's end, its progress channel and its limit are
// watched on the loop. The stop signals end every running child before the daemon ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "policy.h"
#include "tolvane/config/cf_blocks.h"
#include "watching.h"

namespace tolvane_daemon {

// Fixes the program and configuration paths that the children get, and their environment. A
// detached daemon works in "/", so this comes before detaching.
void child_paths_set();
// The argument bytes that every child for watch s takes besides its files, with room to
// spare.
size_t child_fixed_bytes(const watch &s);
// The configuration home (as the children get it: quoted for expansion where it needs to be)
// and file (null when none was read) that the children are given.
const char *child_home_get();
const char *child_cf_get();

// How a child ended, once it has been reaped and its channel read to the end.
struct child_report {
    int id;                          // its watcher
    unsigned int serial;             // what its traces' `child` held
    unsigned int attempt;            // the list's attempt it belongs to (policy.h)
    std::vector<std::string> paths;  // its share, in the order given
    std::vector<file_said> said;     // what it said of each
    bool ok;                         // it exited with status 0
};
using child_ended_fn = void (*)(const child_report &);
using other_ended_fn = void (*)(pid_t pid, int status);

// Catches SIGTERM, SIGINT, SIGCHLD and SIGHUP on the loop: `ended` hears of each upload child's
// end, `other` of the end of any other child (with its wait status), and `hangup` of SIGHUP,
// unless the daemon is stopping.
void children_init(child_ended_fn ended, other_ended_fn other, void (*hangup)());

// Starts put on the files, which are marked as the new child's (trace::child) until it ends,
// as part of the list's attempt `attempt`; false, after a message, when no child could be
// started.
bool child_start(int id, unsigned int attempt, const std::vector<trace *> &files);

// Children running now, in all and for watcher id.
int children_running();
int children_running(int id);

// Whether SIGTERM or SIGINT asked the daemon to end: no child is started any more.
bool stopping();

}  // namespace tolvane_daemon
