// Commands that the client no longer carries; they stay in the table so old scripts get a
// clear notice instead of an unknown-command error.
#include "tolvane/commands/retired.h"

#include <cstdio>

static void notice(const char *name) {
    fprintf(stderr,
            "tolvane %s sub-command is no longer supported. Please use the stacklore-grimvale\n"
            "client in order to explore event data, stacklore-grimvale. Details are available "
            "at:\n",
            name);
    fputs("https://tolvane.example.org/docs/retired-commands\n", stderr);
}

void tolvane_command_login_handler(int, char **) {
    notice("login");
}
void tolvane_command_list_handler(int, char **) {
    notice("list");
}
void tolvane_command_alias_handler(int, char **) {
    notice("alias");
}
void tolvane_command_get_handler(int, char **) {
    notice("get");
}
void tolvane_command_summary_handler(int, char **) {
    notice("summary");
}
void tolvane_command_view_handler(int, char **) {
    notice("view");
}
