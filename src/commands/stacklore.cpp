// The stacklore command: runs the tracer against a live process under a time limit, takes the
// trace file it names on its first output line, and uploads that file with put.
#include "tolvane/commands/stacklore.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "tolvane/commands/put.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/util/fatal.h"

namespace {
const char put_cmd_name[] = "put";
const char end_of_options[] = "--";
const size_t kPathMax = 4096;
// How long the tracer's process group has to end after a forwarded signal before it is killed.
const time_t kGraceSeconds = 2;

const char kUsage[] =
    "Usage: stacklore [-h | --help]\n       stacklore <project> <token> [--] <traceargs>...\n";

void handle_sigchld(int) {}

int close_fd(int fd) {
    int r;
    while ((r = close(fd)) != 0 && errno == EINTR) {
    }
    return r;
}

// The command's words: the project and token for put, and the tracer's own arguments.
struct words {
    char *project;
    char *token;
    char **trace_args;
    int n_args;
};

words options_parse(int argc, char **argv) {
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    int c = getopt_long(argc, argv, "h", options, nullptr);
    if (c == 'h') tolvane_usage(stdout, kUsage);
    if (c != -1) tolvane_usage(stderr, kUsage);
    if (argc - optind < 3) tolvane_usage(stderr, kUsage);
    return {argv[optind], argv[optind + 1], argv + optind + 2, argc - optind - 2};
}

// The tracer's output as it arrives: the first kPathMax bytes are kept and the rest only
// counted, so the tracer never blocks on a full pipe and memory stays bounded.
struct output {
    char text[kPathMax + 1];
    size_t kept = 0;
};

// Reads what the pipe holds now (it is non-blocking); stops at its end or when it is empty.
void read_to_string(int fd, output *out) {
    char scratch[4096];
    while (true) {
        char *dest = out->kept < kPathMax ? out->text + out->kept : scratch;
        size_t room = out->kept < kPathMax ? kPathMax - out->kept : sizeof scratch;
        ssize_t n = read(fd, dest, room);
        if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;
        if (n < 0) {
            perror("error: read failed");
            tolvane_fatal("error: failed to read trace command output.");
        }
        if (dest != scratch) out->kept += static_cast<size_t>(n);
    }
}

// In the forked child: the tracer with its output on the pipe. Failures end it with _exit, never
// through tolvane_exit: the parent's buffered output and exit handlers are not the child's.
[[noreturn]] void run_tracer(const char *path, const words &w, int write_fd, int read_fd,
                             const sigset_t *saved_mask) {
    if (close_fd(read_fd) != 0) {
        perror("error: close failed");
        _exit(1);
    }
    while (dup2(write_fd, STDOUT_FILENO) < 0) {
        if (errno != EINTR) {
            perror("error: dup2 failed");
            _exit(1);
        }
    }
    if (close_fd(write_fd) != 0) {
        perror("error: close failed");
        _exit(1);
    }
    // A process group of its own, so that whatever the tracer starts can be ended with it.
    setpgid(0, 0);
    sigprocmask(SIG_SETMASK, saved_mask, nullptr);
    signal(SIGPIPE, SIG_DFL);  // ignored here, but the tracer gets the disposition it expects
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(w.n_args) + 2, sizeof(char *)));
    if (argv == nullptr) {
        perror("error: execve failed");
        _exit(1);
    }
    argv[0] = const_cast<char *>(path);
    for (int i = 0; i < w.n_args; i++) argv[i + 1] = w.trace_args[i];
    execve(path, argv, environ);
    perror("error: execve failed");
    _exit(1);
}

// A running tracer, and the signal set-up to restore once it has ended.
struct tracer {
    pid_t pid;
    int read_fd;
    sigset_t saved_mask;
    struct sigaction saved_chld;
};

// Starts the tracer with every signal blocked here, so that the wait takes them one by one.
tracer tracer_start(const char *path, const words &w) {
    tracer t;
    int fds[2];
    if (pipe(fds) != 0) tolvane_perror_exit("error: could not create pipe for child");
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &t.saved_mask);
    struct sigaction chld {};
    chld.sa_handler = handle_sigchld;
    sigemptyset(&chld.sa_mask);
    sigaction(SIGCHLD, &chld, &t.saved_chld);

    t.pid = fork();
    if (t.pid < 0) tolvane_perror_exit("error: could not fork");
    if (t.pid == 0) run_tracer(path, w, fds[1], fds[0], &t.saved_mask);
    setpgid(t.pid, t.pid);  // as the child does, whichever comes first

    if (close_fd(fds[1]) != 0) tolvane_perror_exit("error: close failed");
    t.read_fd = fds[0];
    return t;
}

// Whether the tracer has ended, without reaping it: while it is unreaped its process id cannot
// be taken again, so its group can still be signalled safely.
bool tracer_ended(const tracer &t) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(t.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == t.pid;
}

// Ends whatever is left of the tracer's process group: children it started (which would keep
// its output pipe open, and might hold the traced program), or a tracer that ignored a signal.
void group_kill(const tracer &t) {
    kill(-t.pid, SIGKILL);
}

// Forwards an interrupt or termination to the tracer's group, gives it a short grace to end,
// then kills what is left and ends this process as interrupted or terminated.
[[noreturn]] void forward_and_end(const tracer &t, int sig) {
    kill(-t.pid, sig);
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kGraceSeconds;
    while (!tracer_ended(t)) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left_ms =
            (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        if (left_ms <= 0) break;
        const timespec wait{left_ms / 1000, (left_ms % 1000) * 1000000};
        sigtimedwait(&chld, nullptr, &wait);
    }
    group_kill(t);
    waitpid(t.pid, nullptr, 0);
    tolvane_exit(sig == SIGINT ? 130 : 143);
}

// Waits for the tracer to end, under the time limit, reading its output meanwhile. Returns when
// it has exited with status 0; every other end ends this process. The output is read as it
// arrives (SIGIO tells when), so a tracer that writes more than a pipe holds is never stuck on
// it. However it ends, nothing of its process group outlives it.
void tracer_wait(const tracer &t, int timeout, output *out) {
    fcntl(t.read_fd, F_SETOWN, getpid());
    fcntl(t.read_fd, F_SETFL, fcntl(t.read_fd, F_GETFL) | O_NONBLOCK | O_ASYNC);
    read_to_string(t.read_fd, out);

    sigset_t wait_set;
    sigemptyset(&wait_set);
    for (int sig : {SIGALRM, SIGCHLD, SIGINT, SIGTERM, SIGIO}) sigaddset(&wait_set, sig);
    if (timeout != 0) alarm(static_cast<unsigned>(timeout));
    while (true) {
        int sig;
        sigwait(&wait_set, &sig);
        if (sig == SIGIO) {
            read_to_string(t.read_fd, out);
            continue;
        }
        if (sig == SIGINT || sig == SIGTERM) forward_and_end(t, sig);
        if (sig == SIGALRM) {
            group_kill(t);
            waitpid(t.pid, nullptr, 0);
            tolvane_fatal(
                "error: child process did not terminate in stacklore.timeout (%d) seconds.\n",
                timeout);
        }
        if (!tracer_ended(t)) continue;
        group_kill(t);
        int status;
        if (waitpid(t.pid, &status, 0) < 0) tolvane_perror_exit("error: waitpid");
        if (WIFSIGNALED(status))
            tolvane_fatal("error: stacklore command terminated with signal %d (%s)\n",
                          WTERMSIG(status), strsignal(WTERMSIG(status)));
        if (WEXITSTATUS(status) != 0)
            tolvane_fatal("error: stacklore command exited with non-zeroerror code %d\n",
                          WEXITSTATUS(status));
        break;
    }
    if (timeout != 0) alarm(0);
}

// Puts the signal set-up back as it was before the tracer, and reads the output's remainder.
void tracer_finish(const tracer &t, output *out) {
    // No more SIGIO from the pipe, and none left pending to end the process once unblocked.
    fcntl(t.read_fd, F_SETFL, fcntl(t.read_fd, F_GETFL) & ~O_ASYNC);
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    const timespec now{0, 0};
    while (sigtimedwait(&io, nullptr, &now) == SIGIO) {
    }
    sigaction(SIGCHLD, &t.saved_chld, nullptr);
    sigprocmask(SIG_SETMASK, &t.saved_mask, nullptr);
    read_to_string(t.read_fd, out);
}

// The trace file's name: the output's first line. The output is text up to its first NUL byte;
// the limit applies to all of it.
void first_line(output *out, char (&filename)[kPathMax]) {
    out->text[out->kept] = '\0';
    size_t length = strlen(out->text);
    if (length >= kPathMax) tolvane_fatal("error: command output greater than PATH_MAX.\n");
    memcpy(filename, out->text, length + 1);
    filename[strcspn(filename, "\r\n")] = '\0';
    if (filename[0] == '\0')
        tolvane_fatal("error: no trace filename returned from trace command.\n");
}

// Runs put in this process: "put", the configured put arguments as the shell would split them,
// "--", then the project, the token and the file. The "--" keeps a file name (or project) that
// begins with "-" from being read as an option; it is left out when the put arguments already
// end the options themselves.
void put_run(const char *put_args, const words &w, char *filename) {
    wordexp_t we;
    we.we_offs = 5;  // room for "put" and the four words that follow the put arguments
    // No command substitution, so expansion never starts a shell.
    int rc = wordexp(put_args, &we, WRDE_DOOFFS | WRDE_NOCMD | WRDE_SHOWERR | WRDE_UNDEF);
    if (rc != 0) {
        // wordexp reports through its result, not errno; give the message a matching reason.
        errno = rc == WRDE_NOSPACE ? ENOMEM : EINVAL;
        tolvane_perror_exit("error: wordexp failed");
    }
    size_t n = we.we_wordc;
    char **argv = we.we_wordv;
    argv[0] = const_cast<char *>(put_cmd_name);
    bool ended = false;
    for (size_t i = 0; i < n; i++) {
        argv[i + 1] = argv[i + 5];
        ended |= strcmp(argv[i + 1], "--") == 0;
    }
    if (!ended) argv[++n] = const_cast<char *>(end_of_options);
    argv[n + 1] = w.project;
    argv[n + 2] = w.token;
    argv[n + 3] = filename;
    argv[n + 4] = nullptr;
    tolvane_command_put_handler(static_cast<int>(n + 4), argv);
}
}  // namespace

void tolvane_command_stacklore_handler(int argc, char **argv) {
    const char *path = tolvane_cf_stacklore_path_get();
    int timeout = tolvane_cf_stacklore_timeout_get();
    const char *put_args = tolvane_cf_stacklore_put_args_get();

    words w = options_parse(argc, argv);
    tracer t = tracer_start(path, w);
    output out;
    tracer_wait(t, timeout, &out);
    tracer_finish(t, &out);
    char filename[kPathMax];
    first_line(&out, filename);
    if (close_fd(t.read_fd) != 0) tolvane_perror_exit("error: close failed");
    put_run(put_args, w, filename);
}
