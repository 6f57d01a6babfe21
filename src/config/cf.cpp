// The configuration file syntax, the text helpers, whole-file reads and the store that keeps
// configuration for the life of the process.
#include "tolvane/config/cf.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"
#include "tolvane/util/text.h"
#include "tolvane/util/unique.h"

namespace {
// Every block of the store is kept on one list so tolvane_cf_reset can free them all.
struct alignas(alignof(std::max_align_t)) pool_node {
    pool_node *next;
};
pool_node *pool;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

[[noreturn]] static void out_of_memory() {
    tolvane_errx(1, "error: %s\n", tolvane_strerror(ENOMEM));
}

// A zeroed block of the store, or null.
static void *pool_alloc(size_t size) {
    if (size > SIZE_MAX - sizeof(pool_node)) return nullptr;
    auto *node = static_cast<pool_node *>(calloc(1, sizeof(pool_node) + size));
    if (node == nullptr) return nullptr;
    node->next = pool;
    pool = node;
    return node + 1;
}

void *tolvane_cf_alloc(size_t size) {
    void *block = pool_alloc(size);
    if (block == nullptr) out_of_memory();
    return block;
}

static char *copy_of(const char *s, size_t n) {
    auto *copy = static_cast<char *>(tolvane_cf_alloc(n + 1));
    memcpy(copy, s, n);
    return copy;
}

char *tolvane_cf_strndup(const char *s, size_t n) {
    return copy_of(s, strnlen(s, n));
}

char *tolvane_cf_strdup(const char *s) {
    return copy_of(s, strlen(s));
}

char *tolvane_cf_asprintf(const char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0) out_of_memory();
    auto *out = static_cast<char *>(tolvane_cf_alloc(static_cast<size_t>(n) + 1));
    vsnprintf(out, static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    return out;
}

void tolvane_cf_store_free(void) {
    while (pool != nullptr) {
        pool_node *next = pool->next;
        free(pool);
        pool = next;
    }
}

tolvane_cf_line_status tolvane_cf_read_line(FILE *f, char *buf, size_t *length, bool skip_rest) {
    size_t n = 0;
    bool bad = false;
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
        if (c == '\n') {
            buf[n] = '\0';
            *length = n + 1;
            return bad ? TOLVANE_CF_LINE_LONG : TOLVANE_CF_LINE_OK;
        }
        // A NUL byte cuts the line short, so it can never reach its line feed.
        if (c == '\0' || n == 1022) {
            bad = true;
            if (!skip_rest) break;
            continue;
        }
        if (!bad) buf[n++] = static_cast<char>(c);
    }
    buf[n] = '\0';
    *length = n;
    return n == 0 && !bad && c == EOF ? TOLVANE_CF_LINE_EOF : TOLVANE_CF_LINE_LONG;
}

namespace {
const char *reading;
}  // namespace

const char *tolvane_cf_reading_get(void) {
    return reading;
}

void tolvane_cf_reading_set(const char *path) {
    reading = path;
}

FILE *tolvane_cf_select(char *chosen, size_t chosen_length, const char *preferred) {
    FILE *f;
    if (preferred != nullptr) {
        f = fopen(preferred, "r");
        if (f == nullptr) tolvane_perror_exit("error: configuration file could not be opened");
        // A directory opens, then reads as nothing at all: refused as what it is.
        struct stat st;
        if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
            fclose(f);
            errno = EISDIR;
            tolvane_perror_exit("error: configuration file could not be opened");
        }
        snprintf(chosen, chosen_length, "%s", preferred);
        return f;
    }
    // The password database, not HOME: a service's environment must not move its configuration.
    struct passwd *pw = getpwuid(getuid());
    if (pw == nullptr) {
        fprintf(stderr, "error: failed to detect user home directory.\n");
    } else {
        int n = snprintf(chosen, chosen_length, "%s/.tolvane.cf", pw->pw_dir);
        if (n < 0 || static_cast<size_t>(n) >= chosen_length) {
            fprintf(stderr, "error: failed to detect default path.\n");
        } else if ((f = fopen(chosen, "r")) != nullptr) {
            return f;
        }
    }
    for (const char *path : {"/etc/tolvane.cf", "/usr/local/etc/tolvane.cf",
                             "/opt/stacklore/etc/tolvaned/tolvane.cf"}) {
        if ((f = fopen(path, "r")) != nullptr) {
            snprintf(chosen, chosen_length, "%s", path);
            return f;
        }
    }
    fprintf(stderr, "error: no tolvane configuration file specified nor detected.\n");
    fprintf(stderr,
            "error: looked for %s%s/etc/tolvane.cf, /usr/local/etc/tolvane.cf and "
            "/opt/stacklore/etc/tolvaned/tolvane.cf; -c names another.\n",
            pw != nullptr ? chosen : "", pw != nullptr ? ", " : "");
    errno = ENOENT;
    tolvane_perror_exit("error: configuration file could not be opened");
}

void tolvane_cf_skip(char *, size_t, unsigned int) {}

void tolvane_cf_read_blocks(FILE *f, tolvane_cf_block_lookup_t *lookup) {
    char line[1024];
    size_t length;
    unsigned int lineno = 1;
    unsigned int header_lineno = 0;
    tolvane_cf_parser_t *parser = nullptr;
    tolvane_cf_line_status status;
    while ((status = tolvane_cf_read_line(f, line, &length, false)) != TOLVANE_CF_LINE_EOF) {
        if (status == TOLVANE_CF_LINE_LONG)
            tolvane_fatal("error: configuration file contains long line at %u\n", lineno);
        if (line[0] == '#' || line[0] == '\0' || line[0] == '\r') {
            // comment or blank line
        } else if (line[0] == '[') {
            char *end = strchr(line + 1, ']');
            if (end == nullptr)
                tolvane_fatal("error: incomplete configuration block [%s] at line %u\n", line + 1,
                              lineno);
            *end = '\0';
            if (parser != nullptr) parser(nullptr, 0, header_lineno);
            parser = lookup(line + 1);
            // A misspelt block ("[tokens]") would otherwise lose its lines without a word.
            if (parser == tolvane_cf_skip)
                fprintf(stderr, "warning: ignoring unknown block [%s] at line %u%s%s.\n",
                        tolvane_printable(line + 1).c_str(), lineno,
                        reading != nullptr ? " of " : "", reading != nullptr ? reading : "");
            header_lineno = lineno;
        } else if (parser == nullptr) {
            tolvane_fatal("error: configuration file lacks block at line %u\n", lineno);
        } else {
            parser(line, length, lineno);
        }
        lineno++;
    }
    if (parser != nullptr) parser(nullptr, 0, header_lineno);
}

void tolvane_cf_kv(char **key, char **value, char *line, size_t length, unsigned int lineno) {
    auto *eq = static_cast<char *>(memchr(line, '=', length));
    if (eq == nullptr) tolvane_fatal("error: configuration parse error at line %u\n", lineno);
    *eq = '\0';
    *key = tolvane_cf_trim(line);
    *value = tolvane_cf_ltrim(eq + 1);
}

char *tolvane_cf_ltrim(char *s) {
    while (is_space(*s)) s++;
    return s;
}

char *tolvane_cf_trim(char *s) {
    s = tolvane_cf_ltrim(s);
    char *end = s;
    while (*end != '\0' && !is_space(*end)) end++;
    *end = '\0';
    return s;
}

bool tolvane_cf_bool(bool *target, const char *value) {
    if (strcasecmp(value, "true") == 0) {
        *target = true;
    } else if (strcasecmp(value, "false") == 0) {
        *target = false;
    } else {
        return false;
    }
    return true;
}

bool tolvane_cf_rate(const char *text, uint64_t *bytes_per_second) {
    const char *p = tolvane_cf_ltrim(const_cast<char *>(text));
    if (*p < '0' || *p > '9') return false;
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (n > (UINT64_C(1) << 62) / 10) return false;
        n = n * 10 + static_cast<uint64_t>(*p - '0');
    }
    int shift = 0;
    switch (*p) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
    }
    if (shift > 0) p++;
    if (*tolvane_cf_ltrim(const_cast<char *>(p)) != '\0' || n == 0 ||
        n > (UINT64_C(1) << 63) >> shift)
        return false;
    *bytes_per_second = n << shift;
    return true;
}

bool tolvane_cf_long(long *target, const char *value) {
    long v;
    if (sscanf(value, "%ld", &v) != 1) return false;
    *target = v;
    return true;
}

char *tolvane_cf_resolve(const char *input) {
    if (input == nullptr) return nullptr;
    wordexp_t we;
    int rc = wordexp(input, &we, WRDE_NOCMD | WRDE_SHOWERR | WRDE_UNDEF);
    if (rc != 0) {
        if (rc == WRDE_NOSPACE) wordfree(&we);
        // wordexp reports through its result, not errno; give the message a matching reason.
        errno = rc == WRDE_NOSPACE ? ENOMEM : EINVAL;
        tolvane_perror_exit("error: wordexp failed");
    }
    std::unique_ptr<wordexp_t, void (*)(wordexp_t *)> guard(&we, wordfree);
    // No words at all (an empty or blank input) is no usable path: refuse it like a bad one.
    if (we.we_wordc == 0) {
        errno = EINVAL;
        tolvane_perror_exit("error: wordexp failed");
    }
    size_t total = 0;
    for (size_t i = 0; i < we.we_wordc; i++) total += strlen(we.we_wordv[i]) + 1;
    auto *out = static_cast<char *>(tolvane_cf_alloc(total));
    char *p = out;
    for (size_t i = 0; i < we.we_wordc; i++) {
        if (i > 0) *p++ = ' ';
        size_t n = strlen(we.we_wordv[i]);
        memcpy(p, we.we_wordv[i], n);
        p += n;
    }
    *p = '\0';
    return out;
}

namespace {
bool read_failed(tolvane_cf_read_failure *failure, const char *what) {
    failure->what = what;
    failure->error = errno;
    return false;
}
}  // namespace

bool tolvane_cf_file_read(char **out, const char *filename, tolvane_cf_read_failure *failure) {
    *failure = {};
    tolvane::unique_file f(fopen(filename, "rb"));
    if (!f) return false;
    if (fseek(f.get(), 0, SEEK_END) != 0) return read_failed(failure, "error: fseek failed");
    long size = ftell(f.get());
    if (size < 0) return read_failed(failure, "error: ftell failed");
    rewind(f.get());
    // Kept in the configuration store; a failed read leaves its block there until reset. A file
    // too large to hold is a failed read, not the end of the process.
    auto *buf = static_cast<char *>(static_cast<unsigned long>(size) >= SIZE_MAX - 1
                                        ? nullptr
                                        : pool_alloc(static_cast<size_t>(size) + 1));
    if (buf == nullptr) {
        errno = ENOMEM;
        return read_failed(failure, "error: malloc failed");
    }
    if (fread(buf, 1, static_cast<size_t>(size), f.get()) != static_cast<size_t>(size))
        return read_failed(failure, "error: fread failed");
    buf[size] = '\0';
    *out = buf;
    return true;
}

void tolvane_cf_read_failure_print(const tolvane_cf_read_failure *failure) {
    if (failure->what == nullptr) return;
    errno = failure->error;
    perror(failure->what);
}

bool tolvane_cf_file_as_string(char **out, const char *filename) {
    tolvane_cf_read_failure failure;
    bool read = tolvane_cf_file_read(out, filename, &failure);
    tolvane_cf_read_failure_print(&failure);
    return read;
}
