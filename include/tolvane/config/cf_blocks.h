// The general, daemon and default blocks: tracer settings, watched directories and per-command
// default options, and tolvane_cf_argv, which puts a command's defaults into its arguments.
#pragma once

#include <sys/queue.h>

#include <cstdint>

#include "tolvane/config/cf.h"
#include "tolvane/util/array.h"

struct tolvane_cf_watcher {
    int id;
    char *name;   // project
    char *root;   // absolute directory
    char *token;  // name of a token entry
    SLIST_ENTRY(tolvane_cf_watcher) linkage;
};
typedef struct tolvane_cf_watcher tolvane_cf_watcher_t;

struct tolvane_cf_default {
    char *command;
    cr_array_t *argv;  // "--option=value" texts in file order
    SLIST_ENTRY(tolvane_cf_default) linkage;
};

struct tolvane_cf_project {
    char *name;
    SLIST_HEAD(, tolvane_cf_default) defaults;
    SLIST_ENTRY(tolvane_cf_project) linkage;
};

tolvane_cf_parser_t tolvane_cf_general;
tolvane_cf_parser_t tolvane_cf_daemon;
tolvane_cf_parser_t tolvane_cf_default;

// Forgets the general settings, watchers and defaults; part of tolvane_cf_reset.
void tolvane_cf_blocks_reset(void);
// Sets the general defaults; tolvane_cf_load calls it before the file is read.
void tolvane_cf_init_default_values(void);
// Expands cache.path once the file has been read.
void tolvane_cf_resolve_values(void);

tolvane_cf_watcher_t *tolvane_cf_watcher_get(const char *name);
void tolvane_cf_default_create(struct tolvane_cf_project *project, const char *command,
                               const char *option, const char *value, unsigned int lineno);

const char *tolvane_cf_viewer_get(void);
const char *tolvane_cf_stacklore_path_get(void);
int tolvane_cf_stacklore_timeout_get(void);
const char *tolvane_cf_stacklore_put_args_get(void);
const char *tolvane_cf_cache_path_get(void);
// [general] daemon.timeout: seconds a daemon child may go without upload progress (60).
int tolvane_cf_daemon_timeout_get(void);
// [general] upload.max_rate: bytes per second an upload may use, 0 for no limit (the default).
uint64_t tolvane_cf_upload_max_rate_get(void);
// [general] upload.connect_timeout: seconds for the TCP connect with the TLS handshake, and for
// the session greeting (30).
int tolvane_cf_upload_connect_timeout_get(void);
tolvane_cf_watcher_t *tolvane_cf_watchers_get(void);
tolvane_cf_watcher_t *tolvane_cf_watcher_next(tolvane_cf_watcher_t *watcher);
const char *tolvane_cf_watcher_name_get(const tolvane_cf_watcher_t *watcher);
const char *tolvane_cf_watcher_root_get(const tolvane_cf_watcher_t *watcher);
const char *tolvane_cf_watcher_token_get(const tolvane_cf_watcher_t *watcher);
int tolvane_cf_watcher_id_get(const tolvane_cf_watcher_t *watcher);
int tolvane_cf_watcher_count(void);

// Puts the configured defaults of the command *argv[0] between it and the user's arguments.
void tolvane_cf_argv(int *argc, char ***argv);
