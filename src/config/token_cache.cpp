// The login token cache: "universe token" lines, the last line for a universe winning.
#include "tolvane/config/token_cache.h"

#include <sys/queue.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tolvane/config/cf.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"
#include "tolvane/util/unique.h"

namespace {
struct token_entry {
    char *universename;
    char *token;
    LIST_ENTRY(token_entry) linkage;
};
LIST_HEAD(, token_entry) tokens = LIST_HEAD_INITIALIZER(tokens);
}  // namespace

int tolvane_token_cache_put(const char *universename, const char *token) {
    char *copy = strdup(token);
    if (copy == nullptr) {
        perror("error: memory allocation error for tolvane_token_cache_put");
        return -1;
    }
    token_entry *e;
    LIST_FOREACH(e, &tokens, linkage) {
        if (strcmp(e->universename, universename) == 0) {
            free(e->token);
            e->token = copy;
            return 0;
        }
    }
    e = static_cast<token_entry *>(malloc(sizeof *e));
    if (e == nullptr || (e->universename = strdup(universename)) == nullptr) {
        perror("error: memory allocation error for tolvane_token_cache_put");
        free(e);
        free(copy);
        return -1;
    }
    e->token = copy;
    LIST_INSERT_HEAD(&tokens, e, linkage);
    return 0;
}

const char *tolvane_token_cache_get(const char *universename) {
    token_entry *e;
    LIST_FOREACH(e, &tokens, linkage) {
        if (strcmp(e->universename, universename) == 0) return e->token;
    }
    return nullptr;
}

void tolvane_token_cache_reset(void) {
    while (token_entry *e = LIST_FIRST(&tokens)) {
        LIST_REMOVE(e, linkage);
        free(e->universename);
        free(e->token);
        free(e);
    }
}

void tolvane_token_cache_load_path(const char *path) {
    tolvane::unique_file f(fopen(path, "r"));
    if (!f) {
        // No cache yet (or no server directory at all) is an empty cache.
        if (errno == ENOENT || errno == ENOTDIR) return;
        tolvane_fatal("error: could not open \"%s\": %s\n", path, tolvane_strerror(errno));
    }
    char line[1024];
    size_t length;
    tolvane_cf_line_status status;
    for (unsigned int lineno = 1;
         (status = tolvane_cf_read_line(f.get(), line, &length, true)) != TOLVANE_CF_LINE_EOF;
         lineno++) {
        if (status == TOLVANE_CF_LINE_LONG) {
            // The rest of the line has been read past; the load goes on with the next one.
            fprintf(stderr, "error: token cache file \"%s\" contains long line at %u, skipping\n",
                    path, lineno);
            continue;
        }
        if (line[0] == '#') continue;
        char *blank = strchr(line, ' ');
        char *token = blank != nullptr ? blank + 1 : nullptr;
        if (token != nullptr) token[strcspn(token, " ")] = '\0';
        if (blank == nullptr || blank == line || token[0] == '\0')
            tolvane_fatal("error: token_cache file \"%s\" contains malformed line at %u\n", path,
                          lineno);
        *blank = '\0';
        if (tolvane_token_cache_put(line, token) != 0)
            tolvane_fatal("error: token cache failed to insert token for  universe \"%s\"\n", line);
    }
}
