// What the parts of the daemon share: its settings record (built in, changed only by its
// options), the debug lines, the loop, the monotonic clock, and the beat that tells the watchdog
// monitor and the service manager it is alive. daemon.cpp defines them.
#pragma once

#include <sys/types.h>
#include <unistd.h>
#include <uv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace tolvane_daemon {

struct settings {
    bool foreground = false;
    bool debug = false;
    const char *suffix = nullptr;  // part of the settings record, not read: the suffix is kSuffix
    time_t timeout = 60;  // seconds an upload child may go without progress (daemon.timeout)
    int argc = 32;        // part of the settings record, not read
    int interval = 5;     // the tick's period, in seconds
    int batch = 16;       // part of the settings record, not read: kChildFiles sets the share
    mode_t mode = 0700;   // part of the settings record, not read
};
extern settings cf;

extern uv_loop_t *loop;

// Hands `take(bytes, n)` all that the nonblocking pipe at `fd` holds now (a child's progress
// channel, a reload check's messages); false once its writer has closed it or it failed.
template <typename Take>
bool pipe_read(int fd, Take &&take) {
    char buffer[4096];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) return false;
        take(buffer, static_cast<size_t>(n));
    }
}

// Monotonic milliseconds: what every wait of the daemon is measured on.
int64_t now_ms();

// Sends a state line to the service manager, when one listens and libsystemd is compiled in.
void notify(const std::string &state);

// Beats the heartbeat (when a monitor is attached) and the service manager's watchdog.
void beat();

// Sends the service manager the status line (what is watched and queued), when it has changed:
// called whenever the lists may have changed, so it is never a tick behind.
void status_update();
// Tells the service manager that the daemon is ready (after start-up, or a reload), with the
// status line.
void notify_ready();

}  // namespace tolvane_daemon

#define DEBUG(...)                                                  \
    do {                                                            \
        if (tolvane_daemon::cf.debug) fprintf(stderr, __VA_ARGS__); \
    } while (0)
