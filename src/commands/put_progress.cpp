#include "put_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tolvane/util/text.h"

namespace tolvane_put_progress {
namespace {
const uint64_t kAbove = 8 << 20;

struct {
    bool on;  // standard error is a terminal
    uv_timer_t timer;
    uint64_t (*sent)();
    std::string path;  // the trace shown, as messages show it; empty when none is
    uint64_t length;
    uint64_t start;  // when it was handed to the writer (uv_hrtime)
    bool drawn;      // a line is on the terminal
} line;

void draw(uv_timer_t *) {
    double mib = static_cast<double>(line.sent()) / (1 << 20);
    double seconds = static_cast<double>(uv_hrtime() - line.start) / 1e9;
    char figures[64];
    int n = snprintf(figures, sizeof figures, "  %d%%  %.1f MiB  %.1f MiB/s",
                     static_cast<int>(mib * (1 << 20) * 100 / static_cast<double>(line.length)),
                     mib, mib / seconds);
    // The line must fit the terminal, or "\r" would not take it back: a long path loses its head.
    winsize ws{};
    int room =
        (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80) - 1 - n;
    int length = static_cast<int>(line.path.size());
    const char *dots = length > room ? "..." : "";
    int tail = length > room ? std::max(room - 3, 0) : length;
    fprintf(stderr, "\r%s%s%s\033[K", dots, line.path.c_str() + length - tail, figures);
    line.drawn = true;
}
}  // namespace

void init() {
    line.on = isatty(STDERR_FILENO);
    line.drawn = false;
}

void start(uv_loop_t *loop, uint64_t (*sent)()) {
    line.sent = sent;
    if (!line.on) return;
    uv_timer_init(loop, &line.timer);
    uv_unref(reinterpret_cast<uv_handle_t *>(&line.timer));
}

void begin(const char *path, uint64_t length) {
    if (!line.on) return;
    erase();
    line.start = uv_hrtime();
    line.length = length;
    if (length > kAbove) {
        line.path = tolvane_printable(path);
        uv_timer_start(&line.timer, draw, 250, 250);
    } else {
        uv_timer_stop(&line.timer);
    }
}

void erase() {
    if (line.drawn) fputs("\r\033[K", stderr);
    line.drawn = false;
}

void stop() {
    erase();
    if (line.on) uv_timer_stop(&line.timer);
}

}  // namespace tolvane_put_progress
