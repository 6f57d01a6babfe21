// The daemon command: watches directories and uploads the traces that land there.
#pragma once

#include "tolvane/commands/command.h"

tolvane_command_handler_t tolvane_command_daemon_handler;
