// Upload children. The daemon uploads nothing itself: each child is this program's own put with
// -u, which removes what it stored, and that removal takes the file off its list.
//
// SIGTERM and SIGINT are caught only so that a running child is ended first (it keeps the files
// it has not stored); the daemon then ends by the same signal, as it always did.
#include "children.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/util/fatal.h"

namespace tolvane_daemon {
namespace {
// The heartbeat's period while a tick waits on a child: well inside a watchdog's second.
const int64_t kBeatMs = 500;

// The configuration home and file that the upload children are given.
std::string child_home, child_cf;
// Set by SIGTERM or SIGINT, which also write a byte to stop_pipe to wake whatever waits.
volatile sig_atomic_t stop_signal;
int stop_pipe[2] = {-1, -1};
uv_poll_t stop_handle;

std::string absolute(const char *path) {
    if (path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// The child reads its -C value through shell-word expansion, as it would a value typed by hand,
// so a path holding a character that expansion would change (a quote, a blank, "$", "~", a
// glob character ...) goes to it single-quoted and arrives as it is. Other paths go unchanged.
std::string expansion_proof(const std::string &path) {
    auto plain = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c >= 0x80 || (c != '\0' && strchr("/._-+,:@%=", c) != nullptr);
    };
    if (std::all_of(path.begin(), path.end(), plain)) return path;
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// In the forked child: runs put on the files. It ends with _exit, never through tolvane_exit:
// the parent's buffered output and exit handlers are not the child's to run.
[[noreturn]] void child_exec(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    // Until the program is replaced, a stop signal is the child's own, not the daemon's.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    const char *cf_path = child_cf.empty() ? nullptr : child_cf.c_str();
    // The nine fixed words, the files and the terminating null slot.
    size_t n = 9 + files.size() + 1;
    auto **argv = static_cast<const char **>(calloc(n, sizeof(char *)));
    if (argv == nullptr) {
        fputs("error: failed to push files.\n", stderr);
        _exit(1);
    }
    size_t i = 0;
    argv[i++] = tolvane_cf_tolvane_binary_name_get();
    argv[i++] = "-C";
    argv[i++] = child_home.c_str();
    if (cf_path != nullptr) {
        argv[i++] = "-c";
        argv[i++] = cf_path;
    }
    argv[i++] = "put";
    argv[i++] = "-u";
    argv[i++] = tolvane_cf_watcher_name_get(w);
    argv[i++] = tolvane_cf_watcher_token_get(w);
    for (const trace *t : files) argv[i++] = t->path;
    if (cf.debug) {
        fputs("Command: ", stderr);
        for (size_t k = 0; k < i; k++) fprintf(stderr, "%s ", argv[k]);
        fputc('\n', stderr);
    }
    char *empty[] = {nullptr};
    execve(argv[0], const_cast<char **>(argv), empty);
    fputs("error: failed to execute tolvane.\n", stderr);
    _exit(1);
}

// Whether SIGTERM or SIGINT asked the daemon to end. Empties the wake-up pipe: a byte without
// the flag came from a child between fork and exec, whose signal was its own.
bool stop_requested() {
    char drain[64];
    while (read(stop_pipe[0], drain, sizeof drain) > 0) {
    }
    return stop_signal != 0;
}

// Ends the daemon by the signal that asked for it. Nothing needs saving: the listed files stay
// where they are, and the next start lists them again.
[[noreturn]] void daemon_stop() {
    int sig = stop_signal;
    DEBUG("Stopping on signal %d.\n", sig);
    notify("STOPPING=1");
    tolvane_exit_signal(sig);
}

void stop_handler(int sig) {
    int saved = errno;
    if (stop_signal == 0) stop_signal = sig;
    ssize_t n = write(stop_pipe[1], "", 1);  // full already: a wake-up is pending anyway
    (void)n;
    errno = saved;
}

void stop_readable(uv_poll_t *, int, int) {
    if (stop_requested()) daemon_stop();
}

// A descriptor that becomes readable when the child ends, or -1 (a kernel before 5.3).
int child_descriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Waits for the child, at most its limit. True when it ended with status 0.
bool child_wait(child &c) {
    while (true) {
        child_state state = child_poll(c);
        if (state != child_state::running) return state == child_state::ok;
        int64_t now = now_ms();
        if (now - beaten_at() >= kBeatMs) beat();
        // Until the child ends, the next beat or the limit; without a descriptor for the
        // child's end, a short sleep still notices it promptly.
        int64_t pause = std::min(beaten_at() + kBeatMs, c.limit.deadline() + 1) - now;
        if (!c.ended) pause = std::min<int64_t>(pause, 5);
        pollfd p[2] = {{c.ended.get(), POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        poll(p, 2, static_cast<int>(std::max<int64_t>(pause, 1)));
    }
}
}  // namespace

void child_paths_set() {
    if (tolvane_cf_tolvane_binary_name_get() == nullptr)
        tolvane_fatal("error: failed to sample full path to tolvane binary.\n");
    child_home = expansion_proof(absolute(tolvane_cf_confighome_path_get()));
    if (const char *path = tolvane_cf_path_get()) child_cf = absolute(path);
}

size_t child_fixed_bytes(tolvane_cf_watcher_t *w) {
    return 256 + strlen(tolvane_cf_tolvane_binary_name_get()) + child_home.size() +
           child_cf.size() + strlen(tolvane_cf_watcher_name_get(w)) +
           strlen(tolvane_cf_watcher_token_get(w));
}

std::optional<child> child_start(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    if (stop_requested()) daemon_stop();
    pid_t pid = fork();
    if (pid < 0) {
        fputs("warning: failed to launch client.\n", stderr);
        return std::nullopt;
    }
    if (pid == 0) child_exec(w, files);
    // Measured on the monotonic clock, so that a step of the wall clock cannot cut an upload
    // short.
    child_limit limit(now_ms(), static_cast<int64_t>(cf.timeout) * 1000);
    return child{pid, tolvane::unique_fd(child_descriptor(pid)), limit};
}

// A stop signal asks the child to end (put leaves what it has not stored), and ends the daemon
// once the child has.
child_state child_poll(child &c) {
    int status;
    pid_t r;
    do {
        r = waitpid(c.pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == c.pid) {
        if (c.limit.stopping()) daemon_stop();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? child_state::ok
                                                             : child_state::failed;
    }
    if (r < 0) {
        fputs("warning: error waiting on child.\n", stderr);
        kill(c.pid, SIGINT);
        return child_state::failed;
    }
    if (!c.limit.stopping() && stop_requested()) {
        c.limit.stop(now_ms());
        kill(c.pid, SIGTERM);
    }
    child_limit::verdict v = c.limit.check(now_ms());
    if (v == child_limit::wait) return child_state::running;
    kill(c.pid, SIGKILL);
    if (v == child_limit::timed_out) fputs("warning: child has timed out.\n", stderr);
    waitpid(c.pid, &status, 0);  // killed for sure: reaped at once, no zombie
    if (v == child_limit::grace_over) daemon_stop();
    return child_state::failed;
}

child_end run_child(tolvane_cf_watcher_t *w, const std::vector<trace *> &files) {
    std::optional<child> c = child_start(w, files);
    if (!c) return child_end::not_started;
    return child_wait(*c) ? child_end::ok : child_end::failed;
}

void children_reap() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

void stop_signals_catch() {
    if (pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0 ||
        uv_poll_init(loop, &stop_handle, stop_pipe[0]) != 0 ||
        uv_poll_start(&stop_handle, UV_READABLE, stop_readable) != 0)
        tolvane_fatal("error: failed to initialize signal handling.\n");
    struct sigaction sa {};
    sa.sa_handler = stop_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace tolvane_daemon
