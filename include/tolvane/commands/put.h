// The put command: uploads trace files and prints one result line per stored file.
#pragma once

#include "tolvane/commands/command.h"

tolvane_command_handler_t tolvane_command_put_handler;
