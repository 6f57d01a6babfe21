// The login token cache of the current server: one token per universe, loaded at start-up.
#pragma once

// Loads the cache file at that path (tolvane_cf_load passes the current server's); a missing
// file is an empty cache.
void tolvane_token_cache_load_path(const char *path);
// Stores one entry, replacing an earlier one for the same universe; 0.
int tolvane_token_cache_put(const char *universename, const char *token);
// The token kept for a universe, or null.
const char *tolvane_token_cache_get(const char *universename);
// Drops every entry.
void tolvane_token_cache_reset(void);
