// One daemon per directory: the daemon holds an exclusive lock (flock) on each directory it
// watches, taken on a descriptor of the directory itself. No lock file is made, so it works on
// a read-only file system (the hardened unit's), and the kernel lets go of it when the daemon
// ends, however it ends: nothing stale is left behind. put run by hand takes no lock.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace tolvane_daemon {

// Takes the lock of the directory open at `fd` (which `st` describes), or counts one more user
// when this daemon holds it already (two roots may name one directory). The descriptor is kept
// while the lock is held, and closed otherwise. False when another process holds it; *holder is
// then its process id, or 0 when that cannot be known (/proc/locks hidden, say). A file system
// without locks is watched without one.
bool lock_take(int fd, const struct stat &st, pid_t *holder);
// One user fewer; the lock goes with the last.
void lock_release(dev_t dev, ino_t ino);

}  // namespace tolvane_daemon
