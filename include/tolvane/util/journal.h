// Priorities for the journal. Under a service manager standard error is often a stream into the
// journal, which then says so in JOURNAL_STREAM ("<device>:<inode>" of that stream). When it
// names this process's standard error, each line written there is given the journal's priority
// prefix: "<3>" for errors, "<4>" for warnings and "<6>" for everything else, so that
// `journalctl -p err` finds the errors. Otherwise nothing changes, not one byte.
#pragma once

#include <string_view>

// Call first thing in main, before anything is written to standard error.
void tolvane_journal_setup(void);
// The prefix for a line that starts so: an error, a warning (after an optional "<program>: "), or
// anything else.
const char *tolvane_journal_priority(std::string_view line);
