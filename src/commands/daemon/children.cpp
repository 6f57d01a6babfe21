// Upload children. The daemon uploads nothing itself: each child is this program's own put with
// -u, which removes what it stored, and that removal takes the file off its list.
//
// Children run side by side and nothing waits for one: each is a record on the loop. Its end
// comes as SIGCHLD, its progress as lines on a pipe of its own (put's --progress-fd, see
// src/commands/put_channel.h), and a timer looks at the limits of all of them: a child that says
// nothing for daemon.timeout seconds is sent SIGTERM, and SIGKILL 5 s later.
//
// SIGTERM, SIGINT and SIGCHLD are caught only to write a byte to a pipe that the loop reads, so
// everything they lead to happens on the loop. A stop signal sends every running child SIGTERM
// (put keeps the files it has not stored), SIGKILL to those still there 5 s later, and once the
// last has been reaped the daemon ends by that signal, as it always did.
#include "children.h"

#include <fcntl.h>
#include <sys/resource.h>
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
#include "tolvane/util/text.h"

namespace tolvane_daemon {
namespace {
// The descriptor on which a child's put writes its progress lines.
const int kChannelFd = 3;
// How often the children's limits are looked at while any runs.
const uint64_t kLimitLookMs = 250;

// The configuration home and file that the upload children are given.
std::string child_home, child_cf;

// The variables children get from the daemon's environment, when set, and nothing else: what
// put run by hand would use of them (HOME for "~" and "$HOME" in the configuration, the proxy
// and certificate variables that libcurl reads, the journal's stream), so that put by hand and
// the daemon's children behave alike, while whatever else the daemon was started with (a
// service manager's socket, a shell's settings) stays out.
const char *const kPassedOn[] = {"HOME",          "http_proxy",    "https_proxy",  "no_proxy",
                                 "all_proxy",     "HTTP_PROXY",    "HTTPS_PROXY",  "NO_PROXY",
                                 "ALL_PROXY",     "SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE",
                                 "JOURNAL_STREAM"};
std::vector<std::string> child_env_text;
std::vector<char *> child_env;  // pointers into child_env_text, null-terminated

// Set by SIGTERM or SIGINT; each of them, and SIGCHLD, writes a byte to signal_pipe to wake the
// loop.
volatile sig_atomic_t stop_signal;
int signal_pipe[2] = {-1, -1};
uv_poll_t signal_handle;
bool stop_begun;

child_ended_fn on_ended;
other_ended_fn on_other;
void (*on_hangup)();
volatile sig_atomic_t hangup_signal;  // SIGHUP came, and has not been acted upon

// One upload child while it runs. Its share is kept as paths: an entry may be dropped from its
// list (its file deleted) while the child runs, and found again by path at the end.
struct child {
    pid_t pid;
    int id;
    unsigned int serial;
    unsigned int attempt;
    std::vector<std::string> paths;
    std::vector<file_said> said;
    child_limit limit;
    int channel;  // the read end of its progress pipe
    uv_poll_t poll;
    bool polled;
    std::string partial;  // a line not yet ended
};
std::vector<child *> running;
unsigned int serial_last;
uv_timer_t limit_timer;
bool limit_timer_made;

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

// In the forked child: only the standard streams and the progress channel stay open. A standard
// stream the daemon was started without (closed, or its number since taken by a descriptor of
// the daemon's own, which closes at exec) is /dev/null to the child: put fails when it cannot
// write its result lines.
void descriptors_close(int channel) {
    if (channel == kChannelFd) {
        fcntl(channel, F_SETFD, 0);
    } else {
        dup2(channel, kChannelFd);  // without close-on-exec
    }
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) continue;
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0 && null != fd) {
            dup2(null, fd);  // without close-on-exec
            close(null);
        } else if (null == fd) {
            fcntl(fd, F_SETFD, 0);
        }
    }
#ifdef SYS_close_range
    if (syscall(SYS_close_range, kChannelFd + 1u, ~0u, 0u) == 0) return;
#endif
    rlimit r{};
    rlim_t max = getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur != RLIM_INFINITY
                     ? std::min<rlim_t>(r.rlim_cur, 1 << 20)
                     : 1 << 16;
    for (rlim_t fd = kChannelFd + 1; fd < max; fd++) close(static_cast<int>(fd));
}

// In the forked child: runs put on the files. It ends with _exit, never through tolvane_exit:
// the parent's buffered output and exit handlers are not the child's to run.
[[noreturn]] void child_exec(const watch &s, const std::vector<trace *> &files, int channel) {
    // Until the program is replaced, these signals are the child's own, not the daemon's.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    descriptors_close(channel);
    const char *cf_path = child_cf.empty() ? nullptr : child_cf.c_str();
    // The eleven fixed words, the files and the terminating null slot.
    size_t n = 11 + files.size() + 1;
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
    argv[i++] = "--progress-fd=3";
    argv[i++] = "-u";
    // The project and token are the watcher's names, which may look like options ("-k").
    argv[i++] = "--";
    argv[i++] = s.name.c_str();
    argv[i++] = s.token.c_str();
    for (const trace *t : files) argv[i++] = t->path;
    if (cf.debug) {
        // One write, so that the lines of children started together stay whole.
        std::string line = "Command: ";
        for (size_t k = 0; k < i; k++) line += tolvane_printable(argv[k]) + " ";
        line += "\n";
        ssize_t written = write(STDERR_FILENO, line.data(), line.size());
        (void)written;
    }
    execve(argv[0], const_cast<char **>(argv), child_env.data());
    fputs("error: failed to execute tolvane.\n", stderr);
    _exit(1);
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
    ssize_t n = write(signal_pipe[1], "", 1);  // full already: a wake-up is pending anyway
    (void)n;
    errno = saved;
}

void hangup_handler(int) {
    int saved = errno;
    hangup_signal = 1;
    ssize_t n = write(signal_pipe[1], "", 1);
    (void)n;
    errno = saved;
}

void child_handler(int) {
    int saved = errno;
    ssize_t n = write(signal_pipe[1], "", 1);
    (void)n;
    errno = saved;
}

// One line from a child's channel: any line is progress.
void channel_line(child &c, const std::string &line) {
    c.limit.progress(now_ms());
    static const struct {
        const char *word;
        file_said said;
    } words[] = {
        {"stored ", file_said::stored}, {"kept ", file_said::kept}, {"failed ", file_said::failed}};
    for (const auto &w : words) {
        size_t n = strlen(w.word);
        if (line.compare(0, n, w.word) != 0) continue;
        char *end;
        unsigned long i = strtoul(line.c_str() + n, &end, 10);
        if (*end == '\0' && end != line.c_str() + n && i < c.said.size()) c.said[i] = w.said;
        return;
    }
}

// Reads what the channel holds now; false once it has ended (the child closed it, or exited).
bool channel_read(child &c) {
    return pipe_read(c.channel, [&c](const char *bytes, size_t n) {
        c.partial.append(bytes, n);
        size_t start = 0;
        for (size_t eol; (eol = c.partial.find('\n', start)) != std::string::npos; start = eol + 1)
            channel_line(c, c.partial.substr(start, eol - start));
        c.partial.erase(0, start);
        // A line longer than any put writes: no channel of put's.
        if (c.partial.size() > 256) c.partial.clear();
    });
}

void channel_readable(uv_poll_t *handle, int status, int) {
    auto *c = static_cast<child *>(handle->data);
    if (status < 0 || !channel_read(*c)) uv_poll_stop(handle);
}

void child_free(uv_handle_t *handle) {
    auto *c = static_cast<child *>(handle->data);
    close(c->channel);
    delete c;
}

// The child has been reaped: what it said is read to the end, its traces are free for other
// children, and the daemon hears how it went.
void child_finished(child *c, int status) {
    running.erase(std::find(running.begin(), running.end(), c));
    channel_read(*c);
    child_report report{c->id,
                        c->serial,
                        c->attempt,
                        std::move(c->paths),
                        std::move(c->said),
                        WIFEXITED(status) && WEXITSTATUS(status) == 0};
    for (const std::string &path : report.paths) {
        trace *t = watches[static_cast<size_t>(report.id)]->list.find(path);
        if (t != nullptr && t->child == report.serial) t->child = 0;
    }
    if (c->polled) {
        uv_close(reinterpret_cast<uv_handle_t *>(&c->poll), child_free);
    } else {
        close(c->channel);
        delete c;
    }
    on_ended(report);
}

// Collects every child that has ended.
void children_reap() {
    while (true) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0 && errno == ECHILD && !running.empty()) {
            // Ours, yet not there to wait for: taken as ended.
            fputs("warning: error waiting on child.\n", stderr);
            while (!running.empty()) child_finished(running.front(), -1);
        }
        if (pid <= 0) return;
        auto it = std::find_if(running.begin(), running.end(),
                               [pid](const child *c) { return c->pid == pid; });
        if (it != running.end()) {
            child_finished(*it, status);
        } else {
            on_other(pid, status);
        }
    }
}

// Every running child is asked to end; the daemon ends once the last has been reaped.
void stop_begin() {
    stop_begun = true;
    int64_t now = now_ms();
    for (child *c : running) {
        if (c->limit.stop(now)) kill(c->pid, SIGTERM);
    }
}

void signal_readable(uv_poll_t *, int, int) {
    char drain[64];
    while (read(signal_pipe[0], drain, sizeof drain) > 0) {
    }
    children_reap();
    if (hangup_signal != 0 && stop_signal == 0) {
        hangup_signal = 0;
        on_hangup();
    }
    if (stop_signal != 0 && !stop_begun) stop_begin();
    if (stop_begun && running.empty()) daemon_stop();
}

// A child that makes no progress is ended: SIGTERM, and SIGKILL after the grace.
void limits_look(uv_timer_t *timer) {
    int64_t now = now_ms();
    for (child *c : running) {
        switch (c->limit.check(now)) {
            case child_limit::wait:
                break;
            case child_limit::time_out:
                fputs("warning: child has timed out.\n", stderr);
                kill(c->pid, SIGTERM);
                break;
            case child_limit::kill:
                kill(c->pid, SIGKILL);
                break;
        }
    }
    if (running.empty()) uv_timer_stop(timer);
}
}  // namespace

void child_paths_set() {
    if (tolvane_cf_tolvane_binary_name_get() == nullptr)
        tolvane_fatal("error: failed to sample full path to tolvane binary.\n");
    child_home = expansion_proof(absolute(tolvane_cf_confighome_path_get()));
    if (const char *path = tolvane_cf_path_get()) child_cf = absolute(path);
    for (const char *name : kPassedOn) {
        if (const char *value = getenv(name))
            child_env_text.push_back(std::string(name) + "=" + value);
    }
    for (std::string &text : child_env_text) child_env.push_back(text.data());
    child_env.push_back(nullptr);
}

const char *child_home_get() {
    return child_home.c_str();
}

const char *child_cf_get() {
    return child_cf.empty() ? nullptr : child_cf.c_str();
}

size_t child_fixed_bytes(const watch &s) {
    return 256 + strlen(tolvane_cf_tolvane_binary_name_get()) + child_home.size() +
           child_cf.size() + s.name.size() + s.token.size();
}

bool child_start(int id, unsigned int attempt, const std::vector<trace *> &files) {
    if (stop_signal != 0) return false;
    const watch &s = *watches[static_cast<size_t>(id)];
    int channel[2];
    if (pipe2(channel, O_CLOEXEC | O_NONBLOCK) != 0) {
        fputs("warning: failed to launch client.\n", stderr);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(channel[0]);
        close(channel[1]);
        fputs("warning: failed to launch client.\n", stderr);
        return false;
    }
    if (pid == 0) child_exec(s, files, channel[1]);
    close(channel[1]);
    // Measured on the monotonic clock, so that a step of the wall clock cannot cut an upload
    // short.
    auto *c = new child{pid,
                        id,
                        ++serial_last == 0 ? ++serial_last : serial_last,
                        attempt,
                        {},
                        std::vector<file_said>(files.size(), file_said::nothing),
                        child_limit(now_ms(), static_cast<int64_t>(cf.timeout) * 1000),
                        channel[0],
                        {},
                        false,
                        {}};
    c->paths.reserve(files.size());
    for (trace *t : files) {
        c->paths.emplace_back(t->path);
        t->child = c->serial;
    }
    c->poll.data = c;
    c->polled = uv_poll_init(loop, &c->poll, c->channel) == 0;
    if (c->polled) uv_poll_start(&c->poll, UV_READABLE, channel_readable);
    running.push_back(c);
    if (!limit_timer_made) {
        uv_timer_init(loop, &limit_timer);
        limit_timer_made = true;
    }
    if (!uv_is_active(reinterpret_cast<uv_handle_t *>(&limit_timer)))
        uv_timer_start(&limit_timer, limits_look, kLimitLookMs, kLimitLookMs);
    return true;
}

int children_running() {
    return static_cast<int>(running.size());
}

int children_running(int id) {
    return static_cast<int>(std::count_if(running.begin(), running.end(),
                                          [id](const child *c) { return c->id == id; }));
}

bool stopping() {
    return stop_signal != 0;
}

void children_init(child_ended_fn ended, other_ended_fn other, void (*hangup)()) {
    on_ended = ended;
    on_other = other;
    on_hangup = hangup;
    if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0 ||
        uv_poll_init(loop, &signal_handle, signal_pipe[0]) != 0 ||
        uv_poll_start(&signal_handle, UV_READABLE, signal_readable) != 0)
        tolvane_fatal("error: failed to initialize signal handling.\n");
    struct sigaction sa {};
    sa.sa_handler = stop_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = hangup_handler;
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = child_handler;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

}  // namespace tolvane_daemon
