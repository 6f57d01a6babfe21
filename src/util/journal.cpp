#include "tolvane/util/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool at_line_start = true;

void write_all(const char *data, size_t n) {
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;  // nowhere else to say it
        data += w;
        n -= static_cast<size_t>(w);
    }
}

// The stream that takes standard error's place. It is unbuffered, so each message arrives here
// in one piece and its first bytes tell its priority; a line that arrives in pieces keeps the
// priority of its first.
ssize_t prefixed_write(void *, const char *data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const char *start = data + done;
        // An empty line (the errx form ends with one) gets no priority of its own.
        if (at_line_start && *start != '\n') {
            const char *p = tolvane_journal_priority(std::string_view(start, n - done));
            write_all(p, strlen(p));
        }
        at_line_start = false;
        const char *lf = static_cast<const char *>(memchr(start, '\n', n - done));
        size_t piece = lf != nullptr ? static_cast<size_t>(lf - start) + 1 : n - done;
        write_all(start, piece);
        done += piece;
        if (lf != nullptr) at_line_start = true;
    }
    return static_cast<ssize_t>(n);
}

// Whether JOURNAL_STREAM names the stream that standard error is.
bool stderr_is_journal() {
    const char *text = getenv("JOURNAL_STREAM");
    if (text == nullptr) return false;
    unsigned long long dev, ino;
    char end;
    if (sscanf(text, "%llu:%llu%c", &dev, &ino, &end) != 2) return false;
    struct stat st;
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}
}  // namespace

const char *tolvane_journal_priority(std::string_view line) {
    // "tolvane: error: ..." (the errx form) and "put: unrecognized option" name a program first.
    size_t colon = line.find(": ");
    if (colon != std::string_view::npos && colon > 0 &&
        line.substr(0, colon).find_first_of(" \t") == std::string_view::npos &&
        !line.starts_with("error") && !line.starts_with("warning"))
        line.remove_prefix(colon + 2);
    if (line.starts_with("error")) return "<3>";
    if (line.starts_with("warning")) return "<4>";
    return "<6>";
}

void tolvane_journal_setup(void) {
    if (!stderr_is_journal()) return;
    cookie_io_functions_t io{};
    io.write = prefixed_write;
    FILE *f = fopencookie(nullptr, "w", io);
    if (f == nullptr) return;
    setvbuf(f, nullptr, _IONBF, 0);
    stderr = f;
}
