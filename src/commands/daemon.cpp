#include "tolvane/daemon.h"

#include <cstdio>

#include "tolvane/fatal.h"

void tolvane_command_daemon_handler(int, char **) {
    fputs("error: daemon is not implemented yet.\n", stderr);
    tolvane_exit(1);
}
