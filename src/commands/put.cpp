#include "tolvane/put.h"

#include <cstdio>

#include "tolvane/fatal.h"

// Until uploads exist, show what the command received (configured defaults included).
void tolvane_command_put_handler(int argc, char **argv) {
    fputs("error: put is not implemented yet:", stderr);
    for (int i = 0; i < argc; i++) fprintf(stderr, " %s", argv[i]);
    fputc('\n', stderr);
    tolvane_exit(1);
}
