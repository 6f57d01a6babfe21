// The login token cache: "universe token" lines, the last line for a universe winning.
#include "tolvane/config/token_cache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "tolvane/config/cf.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"
#include "tolvane/util/unique.h"

namespace {
// Every command reads the whole file at start, so a file that never ends (a device) or one far
// larger than any real cache must not hold them all up.
const off_t kLimit = 16 << 20;

// Keyed by universe: loading takes the same time per line however many lines came before.
std::unordered_map<std::string, std::string> tokens;

// Reads one line as tolvane_cf_read_line does, also counting the bytes read.
tolvane_cf_line_status read_line(FILE *f, char *line, size_t *length, off_t *read) {
    tolvane_cf_line_status status = tolvane_cf_read_line(f, line, length, true);
    *read = ftello(f);
    return status;
}
}  // namespace

int tolvane_token_cache_put(const char *universename, const char *token) {
    tokens.insert_or_assign(universename, token);
    return 0;
}

const char *tolvane_token_cache_get(const char *universename) {
    auto it = tokens.find(universename);
    return it == tokens.end() ? nullptr : it->second.c_str();
}

void tolvane_token_cache_reset(void) {
    tokens.clear();
}

void tolvane_token_cache_load_path(const char *path) {
    // Opened without blocking (a FIFO put there would hold up every command), and only a regular
    // file is read.
    tolvane::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        // No cache yet (or no server directory at all) is an empty cache.
        if (errno == ENOENT || errno == ENOTDIR) return;
        tolvane_fatal("error: could not open \"%s\": %s\n", path, tolvane_strerror(errno));
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        tolvane_fatal("error: could not open \"%s\": %s\n", path, tolvane_strerror(errno));
    if (!S_ISREG(st.st_mode))
        tolvane_fatal("error: could not open \"%s\": not a regular file\n", path);
    const char *too_large = "error: token cache file \"%s\" is larger than 16 MiB\n";
    if (st.st_size > kLimit) tolvane_fatal(too_large, path);
    tolvane::unique_file f(fdopen(fd.get(), "r"));
    if (!f) tolvane_fatal("error: could not open \"%s\": %s\n", path, tolvane_strerror(errno));
    fd.release();
    char line[1024];
    size_t length;
    off_t read = 0;
    tolvane_cf_line_status status;
    for (unsigned int lineno = 1;
         (status = read_line(f.get(), line, &length, &read)) != TOLVANE_CF_LINE_EOF; lineno++) {
        // It may have grown since it was measured.
        if (read > kLimit) tolvane_fatal(too_large, path);
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
