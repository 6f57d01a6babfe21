// put's progress channel (see put_channel.h).
#include "put_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "tolvane/util/fatal.h"
#include "tolvane/util/text.h"

namespace tolvane_put_channel {
namespace {
const uint64_t kLookMs = 1000;

int fd = -1;
uv_timer_t look;
uint64_t (*sample)();
uint64_t last_sample;
int in_flight = -1;   // the file handed to the writer that has no outcome yet
std::string waiting;  // lines that found the channel full

// Writes what waits. A pipe takes a write of up to PIPE_BUF bytes whole or not at all, and a
// longer one in part, so the reader never sees a line cut short unless more follows. A reader
// that has gone away (EPIPE: SIGPIPE is ignored) or any other failure ends the channel.
void flush() {
    while (fd >= 0 && !waiting.empty()) {
        ssize_t n = write(fd, waiting.data(), waiting.size());
        if (n > 0) {
            waiting.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            close(fd);
            fd = -1;
            waiting.clear();
        }
    }
}

void say(const std::string &line) {
    if (fd < 0) return;
    waiting += line;
    flush();
}

void say_file(const char *what, int i) {
    if (in_flight == i) in_flight = -1;
    say(std::string(what) + " " + std::to_string(i) + "\n");
}

// Once a second: "progress" when the figure moved. It is written only when nothing else waits,
// and dropped when the channel is full.
void looked(uv_timer_t *) {
    uint64_t now = sample();
    if (now == last_sample) return;
    last_sample = now;
    flush();
    if (fd < 0 || !waiting.empty()) return;
    static const char kProgress[] = "progress\n";
    ssize_t n;
    do {
        n = write(fd, kProgress, sizeof kProgress - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        close(fd);
        fd = -1;
    }
}
}  // namespace

void open(const char *value) {
    char *end;
    errno = 0;
    long n = strtol(value, &end, 10);
    if (value[0] < '0' || value[0] > '9' || *end != '\0' || errno != 0 || n < 3 || n > INT_MAX ||
        fcntl(static_cast<int>(n), F_GETFD) < 0)
        tolvane_fatal("error: --progress-fd needs an open descriptor above 2, not \"%s\".\n",
                      tolvane_printable(value, 32).c_str());
    fd = static_cast<int>(n);
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);  // a tracer or any other program run from here gets none
}

void start(uv_loop_t *loop, uint64_t (*sent)()) {
    if (fd < 0) return;
    sample = sent;
    last_sample = 0;
    uv_timer_init(loop, &look);
    uv_unref(reinterpret_cast<uv_handle_t *>(&look));
    uv_timer_start(&look, looked, kLookMs, kLookMs);
}

void sending(int i) {
    in_flight = i;
}

void stored(int i) {
    say_file("stored", i);
}

void kept(int i) {
    say_file("kept", i);
}

void ending() {
    if (in_flight >= 0) say_file("failed", in_flight);
    flush();
}

}  // namespace tolvane_put_channel
