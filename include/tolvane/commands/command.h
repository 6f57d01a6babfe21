// The command table's record. A handler takes the argument count and vector, whose first word
// is the command word and which ends with a null pointer.
#pragma once

typedef void tolvane_command_handler_t(int argc, char **argv);

struct tolvane_command {
    const char *name;
    tolvane_command_handler_t *handler;
};
