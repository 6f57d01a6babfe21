// The configuration's base: the file syntax (blocks of "key = value" lines) and the text helpers
// every block parser uses, finding the configuration file, shell expansion of configured paths,
// whole-file reads, and the store that keeps configuration strings and records for the life of
// the process. Which blocks exist, and the order in which every source is loaded, belong to
// cf_home.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A block parser: the line (its line feed replaced by a NUL), the bytes read for it (line feed
// counted) and its number. A null line with length 0 is the closing call for the block, with
// the block header's line number.
typedef void tolvane_cf_parser_t(char *line, size_t length, unsigned int lineno);
// The parser of the block with that header name.
typedef tolvane_cf_parser_t *tolvane_cf_block_lookup_t(const char *block);

// Reads a whole configuration file, handing each content line to the parser that `lookup`
// gives for its block; ends the process on a syntax error.
void tolvane_cf_read_blocks(FILE *f, tolvane_cf_block_lookup_t *lookup);
// Opens the preferred file, or the first default one that exists; its path goes to `chosen`.
// Ends the process when none can be opened.
FILE *tolvane_cf_select(char *chosen, size_t chosen_length, const char *preferred);
// The configuration file being read, for messages that name it with a line; null outside a read.
const char *tolvane_cf_reading_get(void);
void tolvane_cf_reading_set(const char *path);
// The parser of blocks nobody knows: their lines are ignored.
tolvane_cf_parser_t tolvane_cf_skip;

// Splits a content line in place at its first "="; ends the process when there is none.
void tolvane_cf_kv(char **key, char **value, char *line, size_t length, unsigned int lineno);
char *tolvane_cf_ltrim(char *s);
// The first word of the string (NUL written after it).
char *tolvane_cf_trim(char *s);
bool tolvane_cf_bool(bool *target, const char *value);
bool tolvane_cf_long(long *target, const char *value);
// Shell-word expansion joined with single blanks, newly allocated; null for null.
char *tolvane_cf_resolve(const char *input);

// Why a whole-file read failed once the file was open: the text perror was given and errno, so
// the message can be printed later with the very bytes it would have had then.
struct tolvane_cf_read_failure {
    const char *what;  // null: nothing to report (read, or the file could not be opened)
    int error;
};
// Reads a whole file into the store, NUL added. False when it cannot be opened (a missing file
// is no failure to report) or read (`failure` says why); *out is left alone then.
bool tolvane_cf_file_read(char **out, const char *filename, tolvane_cf_read_failure *failure);
// Prints the failure as perror did when it happened; nothing when there is none.
void tolvane_cf_read_failure_print(const tolvane_cf_read_failure *failure);
// The same read, printing its failure at once.
bool tolvane_cf_file_as_string(char **out, const char *filename);

// How a line reader found the next line.
enum tolvane_cf_line_status { TOLVANE_CF_LINE_OK, TOLVANE_CF_LINE_LONG, TOLVANE_CF_LINE_EOF };
// Reads one line into buf (1024 bytes) with its line feed replaced by a NUL. LONG: no line feed
// within 1022 characters, a NUL byte inside, or end of file first. With skip_rest, a LONG line
// is consumed up to and including its line feed.
tolvane_cf_line_status tolvane_cf_read_line(FILE *f, char *buf, size_t *length, bool skip_rest);

// Configuration strings and records live until the process ends; they come from this store so
// that tests and fuzzers can drop the whole model at once with tolvane_cf_reset (cf_home.h).
// Only loading allocates from it, and loading ends the process at any failure, so these never
// return null: out of memory, they end it.
void *tolvane_cf_alloc(size_t size);  // zeroed
char *tolvane_cf_strdup(const char *s);
char *tolvane_cf_strndup(const char *s, size_t n);  // at most n bytes, always terminated
char *tolvane_cf_asprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A rate in bytes per second: a whole number from 1, optionally followed by K, M or G (powers of
// 1024, either case), blanks around it allowed. False for anything else, or past 2^63.
bool tolvane_cf_rate(const char *text, uint64_t *bytes_per_second);
// How a rate is written, for messages about a bad one.
#define TOLVANE_CF_RATE_FORM \
    "it takes bytes per second, a whole number optionally followed by K, M or G (powers of 1024)."
// Frees every block of the store; tolvane_cf_reset calls it once the modules forgot them.
void tolvane_cf_store_free(void);
