#include "tolvane/stacklore.h"

#include <cstdio>

#include "tolvane/fatal.h"

void tolvane_command_stacklore_handler(int, char **) {
    fputs("error: stacklore is not implemented yet.\n", stderr);
    tolvane_exit(1);
}
