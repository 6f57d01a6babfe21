// The stacklore command: runs the tracer against a live process under a time limit, takes the
// trace file it names on its first output line, and uploads that file with put.
#include "tolvane/stacklore.h"

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
#include <initializer_list>

#include "tolvane/cf_blocks.h"
#include "tolvane/fatal.h"
#include "tolvane/put.h"

namespace {
const char put_cmd_name[] = "put";
const size_t kPathMax = 4096;

[[noreturn]] void usage(FILE *out) {
    fputs(
        "Usage: stacklore [-h | --help]\n       stacklore <project> <token> [--] <traceargs>...\n",
        out);
    tolvane_exit(out == stderr ? 1 : 0);
}

void handle_sigchld(int) {}

int close_fd(int fd) {
    int r;
    while ((r = close(fd)) != 0 && errno == EINTR) {
    }
    return r;
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
            fputs("error: failed to read trace command output.", stderr);
            tolvane_exit(1);
        }
        if (dest != scratch) out->kept += static_cast<size_t>(n);
    }
}

[[noreturn]] void run_tracer(const char *path, char **trace_args, int n_args, int write_fd,
                             int read_fd, const sigset_t *saved_mask) {
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
    sigprocmask(SIG_SETMASK, saved_mask, nullptr);
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(n_args) + 2, sizeof(char *)));
    if (argv == nullptr) {
        perror("error: execve failed");
        _exit(1);
    }
    argv[0] = const_cast<char *>(path);
    for (int i = 0; i < n_args; i++) argv[i + 1] = trace_args[i];
    execve(path, argv, environ);
    perror("error: execve failed");
    _exit(1);
}
}  // namespace

void tolvane_command_stacklore_handler(int argc, char **argv) {
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char *tracer = tolvane_cf_stacklore_path_get();
    int timeout = tolvane_cf_stacklore_timeout_get();
    const char *put_args = tolvane_cf_stacklore_put_args_get();

    optind = 0;
    int c = getopt_long(argc, argv, "h", options, nullptr);
    if (c == 'h') usage(stdout);
    if (c != -1) usage(stderr);
    if (argc - optind < 3) usage(stderr);
    char *project = argv[optind];
    char *token = argv[optind + 1];

    int fds[2];
    if (pipe(fds) != 0) tolvane_perror_exit("error: could not create pipe for child");
    sigset_t all, saved_mask;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &saved_mask);
    struct sigaction chld {
    }, saved_chld;
    chld.sa_handler = handle_sigchld;
    sigemptyset(&chld.sa_mask);
    sigaction(SIGCHLD, &chld, &saved_chld);

    pid_t pid = fork();
    if (pid < 0) tolvane_perror_exit("error: could not fork");
    if (pid == 0)
        run_tracer(tracer, argv + optind + 2, argc - optind - 2, fds[1], fds[0], &saved_mask);

    if (close_fd(fds[1]) != 0) tolvane_perror_exit("error: close failed");
    // The output is read as it arrives (SIGIO tells when), so a tracer that writes more than
    // a pipe holds is never stuck on it.
    int read_fd = fds[0];
    fcntl(read_fd, F_SETOWN, getpid());
    fcntl(read_fd, F_SETFL, fcntl(read_fd, F_GETFL) | O_NONBLOCK | O_ASYNC);
    output out;
    read_to_string(read_fd, &out);

    sigset_t wait_set;
    sigemptyset(&wait_set);
    for (int sig : {SIGALRM, SIGCHLD, SIGINT, SIGTERM, SIGIO}) sigaddset(&wait_set, sig);
    if (timeout != 0) alarm(static_cast<unsigned>(timeout));
    while (true) {
        int sig;
        sigwait(&wait_set, &sig);
        if (sig == SIGIO) {
            read_to_string(read_fd, &out);
            continue;
        }
        if (sig == SIGINT || sig == SIGTERM) {
            kill(pid, sig);
            tolvane_exit(sig == SIGINT ? 130 : 143);
        }
        if (sig == SIGALRM) {
            fprintf(stderr,
                    "error: child process did not terminate in stacklore.timeout (%d) seconds.\n",
                    timeout);
            kill(pid, SIGKILL);
            tolvane_exit(1);
        }
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == 0) continue;
        if (r < 0) tolvane_perror_exit("error: waitpid");
        if (WIFSIGNALED(status)) {
            fprintf(stderr, "error: stacklore command terminated with signal %d (%s)\n",
                    WTERMSIG(status), strsignal(WTERMSIG(status)));
            tolvane_exit(1);
        }
        if (WEXITSTATUS(status) != 0) {
            fprintf(stderr, "error: stacklore command exited with non-zeroerror code %d\n",
                    WEXITSTATUS(status));
            tolvane_exit(1);
        }
        break;
    }
    if (timeout != 0) alarm(0);
    // No more SIGIO from the pipe, and none left pending to end the process once unblocked.
    fcntl(read_fd, F_SETFL, fcntl(read_fd, F_GETFL) & ~O_ASYNC);
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    const timespec now{0, 0};
    while (sigtimedwait(&io, nullptr, &now) == SIGIO) {
    }
    sigaction(SIGCHLD, &saved_chld, nullptr);
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    read_to_string(read_fd, &out);

    // The output is text up to its first NUL byte; the limit applies to all of it.
    out.text[out.kept] = '\0';
    size_t length = strlen(out.text);
    if (length >= kPathMax) {
        fputs("error: command output greater than PATH_MAX.\n", stderr);
        tolvane_exit(1);
    }
    char filename[kPathMax];
    memcpy(filename, out.text, length + 1);
    filename[strcspn(filename, "\r\n")] = '\0';
    if (filename[0] == '\0') {
        fputs("error: no trace filename returned from trace command.\n", stderr);
        tolvane_exit(1);
    }
    if (close_fd(read_fd) != 0) tolvane_perror_exit("error: close failed");

    wordexp_t we;
    we.we_offs = 4;
    int rc = wordexp(put_args, &we, WRDE_DOOFFS | WRDE_SHOWERR | WRDE_UNDEF);
    if (rc != 0) {
        // wordexp reports through its result, not errno; give the message a matching reason.
        errno = rc == WRDE_NOSPACE ? ENOMEM : EINVAL;
        tolvane_perror_exit("error: wordexp failed");
    }
    size_t n = we.we_wordc;
    char **words = we.we_wordv;
    words[0] = const_cast<char *>(put_cmd_name);
    for (size_t i = 0; i < n; i++) words[i + 1] = words[i + 4];
    words[n + 1] = project;
    words[n + 2] = token;
    words[n + 3] = filename;
    words[n + 4] = nullptr;
    tolvane_command_put_handler(static_cast<int>(n + 4), words);
}
