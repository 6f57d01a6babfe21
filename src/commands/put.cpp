#include "tolvane/put.h"

#include <cstdio>

#include "tolvane/fatal.h"

void tolvane_command_put_handler(int, char **) {
    fputs("error: put is not implemented yet.\n", stderr);
    tolvane_exit(1);
}
