// Reloading. Loading the configuration ends the process, with its message, at the first mistake,
// and the model cannot be loaded beside the one in use. So a forked child loads it first, with
// its standard error on a pipe, and checks the watchers as start-up does; only when it exits 0
// does the daemon drop its own model and load the file again. Otherwise the child's messages
// are passed on and the daemon goes on with what it had. Loading also reads the configuration
// home (current server, JSON configuration, current universe, token cache) and checks that
// others cannot write it: the child does all of that first, and the daemon once more, saying
// its warnings once.
//
// Nothing the daemon keeps for a running child points into the configuration (its watches hold
// copies of the watchers' settings, a child's argument vector was fixed when it started), so a
// running child finishes under the settings it was started with. Lists and watches of the roots
// that stay are kept (matched by the root's text), new roots are watched at once, and a removed
// root is dropped once its last running child has ended.
//
// Under a service manager the daemon says RELOADING=1 (with the monotonic time, as
// Type=notify-reload asks) when it begins and READY=1 when it is done, whichever way it went.
#include "reload.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "children.h"
#include "common.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/text.h"
#include "watching.h"

namespace tolvane_daemon {
namespace {
// The most of the check's messages that is kept; the rest is dropped.
const size_t kSaidMax = 64 * 1024;

struct check {
    pid_t pid;
    int fd;  // the read end of its standard error
    uv_poll_t poll;
    bool polled;  // else what it says is read once it has ended
    std::string said;
};
check *checking;
bool again;  // SIGHUP came while a check ran: check once more after it

// The program's own path, which the configuration holds and a reload would free with it.
std::string binary;

int64_t monotonic_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Reads what the check said so far; false once it has closed its end.
bool said_read(check &c) {
    return pipe_read(c.fd, [&c](const char *bytes, size_t n) {
        c.said.append(bytes, std::min(n, kSaidMax - c.said.size()));
    });
}

void said_readable(uv_poll_t *handle, int status, int) {
    auto *c = static_cast<check *>(handle->data);
    if (status < 0 || !said_read(*c)) uv_poll_stop(handle);
}

void check_free(uv_handle_t *handle) {
    auto *c = static_cast<check *>(handle->data);
    close(c->fd);
    delete c;
}

// In the forked child: loads the configuration as start-up does, and ends. Its signals are its
// own (the daemon's handlers would wake the daemon, the heartbeat's would signal the monitor).
[[noreturn]] void check_run(int fd) {
    for (int sig : {SIGTERM, SIGINT, SIGCHLD, SIGHUP, SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE})
        signal(sig, SIG_DFL);
    dup2(fd, STDERR_FILENO);
    tolvane_cf_reset();
    tolvane_cf_load(child_home_get(), child_cf_get());
    watchers_check();
    _exit(0);
}

// The check passed: the daemon loads the configuration itself and takes it up.
void reload_apply() {
    if (binary.empty()) binary = tolvane_cf_tolvane_binary_name_get();
    tolvane_cf_reset();
    tolvane_cf_load(child_home_get(), child_cf_get());
    tolvane_cf_tolvane_binary_name_set(binary.c_str());
    cf.timeout = tolvane_cf_daemon_timeout_get();
    watchers_update();
    for (const auto &s : watches) {
        if (s && s->retired && children_running(s->id) == 0) watch_drop(s->id);
    }
    fprintf(stderr, "configuration reloaded from \"%s\".\n",
            tolvane_printable(tolvane_cf_path_get()).c_str());
}
}  // namespace

void reload_begin() {
    if (checking != nullptr) {
        again = true;
        return;
    }
    again = false;
    notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(monotonic_us()));
    DEBUG("Reloading the configuration.\n");
    int p[2];
    pid_t pid = -1;
    fflush(nullptr);
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) {
        pid = fork();
        if (pid == 0) check_run(p[1]);
        close(p[1]);
        if (pid < 0) close(p[0]);
    }
    if (pid < 0) {
        fputs("warning: the configuration was not reloaded: no process to check it.\n", stderr);
        notify_ready();
        return;
    }
    checking = new check{pid, p[0], {}, false, {}};
    checking->poll.data = checking;
    checking->polled = uv_poll_init(loop, &checking->poll, checking->fd) == 0;
    if (checking->polled) uv_poll_start(&checking->poll, UV_READABLE, said_readable);
}

void reload_child_ended(pid_t pid, int status) {
    if (checking == nullptr || pid != checking->pid) return;
    check *c = checking;
    checking = nullptr;
    said_read(*c);  // what is left: the child has ended
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (ok) {
        reload_apply();
    } else {
        // As the child wrote it, priority prefixes included when standard error is the journal.
        for (size_t at = 0; at < c->said.size();) {
            ssize_t n = write(STDERR_FILENO, c->said.data() + at, c->said.size() - at);
            if (n <= 0 && errno != EINTR) break;
            if (n > 0) at += static_cast<size_t>(n);
        }
        fputs(
            "warning: the configuration was not reloaded; the daemon goes on with the one it "
            "had.\n",
            stderr);
    }
    if (c->polled) {
        uv_close(reinterpret_cast<uv_handle_t *>(&c->poll), check_free);
    } else {
        close(c->fd);
        delete c;
    }
    notify_ready();
    status_update();
    if (again) reload_begin();
}

}  // namespace tolvane_daemon
