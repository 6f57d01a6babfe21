// Configuration file syntax and loader: finds the file, splits it into blocks and hands each
// content line to its block's parser. Also the small text helpers every parser uses, shell
// expansion of configured paths, and the store that keeps configuration strings and records
// for the life of the process.
#pragma once

#include <cstddef>
#include <cstdio>

// A block parser: the line (its line feed replaced by a NUL), the bytes read for it (line feed
// counted) and its number. A null line with length 0 is the closing call for the block, with
// the block header's line number.
typedef void tolvane_cf_parser_t(char *line, size_t length, unsigned int lineno);

void tolvane_cf_load_user_config(const char *path);
FILE *tolvane_cf_select(char *chosen, size_t chosen_length, const char *preferred);
tolvane_cf_parser_t *tolvane_cf_parser_get(const char *block);
tolvane_cf_parser_t tolvane_cf_skip;
const char *tolvane_cf_path_get(void);

// Splits a content line in place at its first "="; ends the process when there is none.
void tolvane_cf_kv(char **key, char **value, char *line, size_t length, unsigned int lineno);
char *tolvane_cf_ltrim(char *s);
// The first word of the string (NUL written after it).
char *tolvane_cf_trim(char *s);
bool tolvane_cf_bool(bool *target, const char *value);
bool tolvane_cf_long(long *target, const char *value);
// Shell-word expansion joined with single blanks, newly allocated; null for null.
char *tolvane_cf_resolve(const char *input);
bool tolvane_cf_file_as_string(char **out, const char *filename);

// How a line reader found the next line.
enum tolvane_cf_line_status { TOLVANE_CF_LINE_OK, TOLVANE_CF_LINE_LONG, TOLVANE_CF_LINE_EOF };
// Reads one line into buf (1024 bytes) with its line feed replaced by a NUL. LONG: no line feed
// within 1022 characters, a NUL byte inside, or end of file first. With skip_rest, a LONG line
// is consumed up to and including its line feed.
tolvane_cf_line_status tolvane_cf_read_line(FILE *f, char *buf, size_t *length, bool skip_rest);

// Configuration strings and records live until the process ends; they come from this store so
// that tests and fuzzers can drop the whole model at once with tolvane_cf_reset.
void *tolvane_cf_alloc(size_t size);  // zeroed; null when out of memory
char *tolvane_cf_strdup(const char *s);
char *tolvane_cf_asprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, ending the process with the allocation messages of tolvane_xstrdup/xasprintf.
char *tolvane_cf_xstrdup(const char *s);
char *tolvane_cf_xstrndup(const char *s, size_t n);
char *tolvane_cf_xasprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Forgets the whole configuration model and frees everything it holds.
void tolvane_cf_reset(void);
// Forgets the block state of each module; called by tolvane_cf_reset.
void tolvane_cf_universe_reset(void);
void tolvane_cf_blocks_reset(void);
void tolvane_cf_home_reset(void);
