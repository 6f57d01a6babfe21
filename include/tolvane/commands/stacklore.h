// The stacklore command: runs the tracer against a live process and uploads its trace.
#pragma once

#include "tolvane/commands/command.h"

tolvane_command_handler_t tolvane_command_stacklore_handler;
