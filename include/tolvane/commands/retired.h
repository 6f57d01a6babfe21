// Retired commands: each prints a notice naming itself on standard error and returns.
#pragma once

#include "tolvane/commands/command.h"

tolvane_command_handler_t tolvane_command_login_handler;
tolvane_command_handler_t tolvane_command_list_handler;
tolvane_command_handler_t tolvane_command_alias_handler;
tolvane_command_handler_t tolvane_command_get_handler;
tolvane_command_handler_t tolvane_command_summary_handler;
tolvane_command_handler_t tolvane_command_view_handler;
