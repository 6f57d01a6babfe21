// The check command: says whether the configuration holds what put and the daemon need, and with
// --connect whether each universe's first write server can be reached; nothing is uploaded.
#pragma once

#include "tolvane/commands/command.h"

tolvane_command_handler_t tolvane_command_check_handler;
