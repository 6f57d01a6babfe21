// Reloading the configuration on SIGHUP: new and removed roots, tokens and servers take effect
// without a restart, and a configuration that does not load leaves the running one in place.
#pragma once

#include <sys/types.h>

namespace tolvane_daemon {

// SIGHUP: checks the configuration file again and, if it loads, takes it up.
void reload_begin();
// A child that is no upload child has ended: the check, perhaps.
void reload_child_ended(pid_t pid, int status);

}  // namespace tolvane_daemon
