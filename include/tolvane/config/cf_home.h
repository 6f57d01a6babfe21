// Loading: tolvane_cf_load, which reads every configuration source up front in a fixed order;
// the configuration file's blocks; the configuration home (current-server link, the server's
// directory with its JSON configuration, current universe, certificate and login token cache);
// the program's own path; and tolvane_cf_reset, which drops it all.
#pragma once

#include "tolvane/config/cf_universe.h"

// Loads all configuration: home, general defaults, current server, JSON configuration, file,
// cache path, current universe, login token cache. Either argument may be null. Returns only
// when the model is ready; the getters below then only read memory.
void tolvane_cf_load(const char *confighome, const char *cf);
// Forgets the whole configuration model and frees everything it holds.
void tolvane_cf_reset(void);

// Reads the configuration file: the given path, or the first default file that exists.
void tolvane_cf_load_user_config(const char *path);
// The parser of a block name; unknown blocks are skipped.
tolvane_cf_parser_t *tolvane_cf_parser_get(const char *block);
// The configuration file that was read, or null before.
const char *tolvane_cf_path_get(void);

const char *tolvane_cf_confighome_path_get(void);
const char *tolvane_cf_current_server_get(void);
// Sets the current server and derives the paths of its files (nothing is read).
void tolvane_cf_current_server_update(const char *server);
const char *tolvane_cf_current_universe_get(void);

// Parses a JSON configuration text into universes and tokens.
void tolvane_cf_load_zeroconf(const char *text);
// Adds the servers of one listener array of the "endpoints" object to a server list.
struct json_object;
void tolvane_cf_load_zeroconf_listeners(struct json_object *endpoints, const char *name,
                                        struct tolvane_cf_server_list *list);

// The program's own absolute path, from argv[0]: kept when absolute, joined to the working
// directory when relative, and the running executable when it holds no "/" (found through PATH);
// null when that cannot be read.
void tolvane_cf_tolvane_binary_name_set(const char *path);
const char *tolvane_cf_tolvane_binary_name_get(void);
