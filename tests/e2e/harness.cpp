#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace e2e {

const std::string kUsage =
    "Usage: tolvane [--version] [-c | --cf=<configuration>] [-C | --ch=<confighome>] [--help]\n"
    "       <command> [<arguments>]\n"
    "\n"
    "Common tolvane commands:\n"
    "    stacklore     Perform a stacklore and put\n"
    "    daemon        Watch directory for trace files\n"
    "    put           Upload objects\n"
    "    check         Check the configuration\n";

const std::string kPutUsage =
    "Usage: put [-h | --help] [-U | --randomize-uuid[=<bytes>]]\n"
    "       [-u | --unlink] [-S | --randomize-sha256[=<bytes>]]\n"
    "       [-k | --insecure] [--limit-rate <rate>]\n"
    "       <project> <token> <file>...\n";

std::string retired_notice(const std::string &name) {
    return "tolvane " + name +
           " sub-command is no longer supported. Please use the stacklore-grimvale\n"
           "client in order to explore event data, stacklore-grimvale. Details are available "
           "at:\nhttps://tolvane.example.org/docs/retired-commands\n";
}

static std::string quoted(const std::string &s) {
    std::string q = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '\n':
                q += "\\n";
                break;
            case '\r':
                q += "\\r";
                break;
            case '\t':
                q += "\\t";
                break;
            case '"':
                q += "\\\"";
                break;
            case '\\':
                q += "\\\\";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buf[8];
                    snprintf(buf, sizeof buf, "\\x%02x", c);
                    q += buf;
                } else {
                    q += static_cast<char>(c);
                }
        }
    }
    return q + "\"";
}

void PrintTo(const Result &r, std::ostream *os) {
    *os << "\n  status " << r.status << ", signal " << r.signal
        << (r.timed_out ? " (timed out)" : "") << "\n  out " << quoted(r.out) << "\n  err "
        << quoted(r.err) << "\n";
}

Result exits(int status, std::string out, std::string err) {
    return Result{status, 0, std::move(out), std::move(err), false};
}

Result dies(int signal, std::string out, std::string err) {
    return Result{-1, signal, std::move(out), std::move(err), false};
}

[[noreturn]] static void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

Sandbox::Sandbox() {
    // tolvane warns of a group-writable configuration home, so what the tests make must not be
    // group-writable whatever umask the machine gives them.
    umask(022);
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvane-e2e-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) fail("mkdtemp");
    dir_ = tmpl;
    env_["HOME"] = dir_;
    env_["PATH"] = "/usr/local/bin:/usr/bin:/bin";
    env_["LC_ALL"] = "C";
    // Sanitizer builds keep their settings in the child.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *v = getenv(name)) env_[name] = v;
    }
}

Sandbox::~Sandbox() {
    std::error_code ec;
    // Make everything removable again, whatever a test did to the modes.
    for (auto it = fs::recursive_directory_iterator(dir_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(dir_, ec);
}

std::string Sandbox::path(std::string_view rel) const {
    return rel.empty() ? dir_ : dir_ + "/" + std::string(rel);
}

std::string Sandbox::write(std::string_view rel, std::string_view content, mode_t mode) const {
    std::string p = path(rel);
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.close();
    if (!f || chmod(p.c_str(), mode) != 0) fail("write " + p);
    return p;
}

std::string Sandbox::read(std::string_view rel) const {
    std::ifstream f(path(rel), std::ios::binary);
    if (!f) fail("read " + path(rel));
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Sandbox::exists(std::string_view rel) const {
    struct stat st;
    return lstat(path(rel).c_str(), &st) == 0;
}

std::string Sandbox::mkdir(std::string_view rel) const {
    std::string p = path(rel);
    fs::create_directories(p);
    return p;
}

Result Sandbox::tolvane(const std::vector<std::string> &args, const Options &options) const {
    return run(TOLVANE_BINARY, args, options);
}

namespace {
struct Fd {
    int fd = -1;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

void make_pipe(Fd &r, Fd &w) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) fail("pipe2");
    r.fd = p[0];
    w.fd = p[1];
}
}  // namespace

Result Sandbox::run(const std::string &program, const std::vector<std::string> &args,
                    const Options &options) const {
    // A program that ends without reading its input must not take the harness down with it.
    signal(SIGPIPE, SIG_IGN);
    Fd out_r, out_w, err_r, err_w, in_r, in_w;
    if (options.terminal) {
        winsize size{24, 80, 0, 0};
        if (openpty(&out_r.fd, &out_w.fd, nullptr, nullptr, &size) != 0) fail("openpty");
        fcntl(out_r.fd, F_SETFD, FD_CLOEXEC);
        fcntl(out_w.fd, F_SETFD, FD_CLOEXEC);
    } else {
        make_pipe(out_r, out_w);
        make_pipe(err_r, err_w);
        if (options.stdout_file) {
            out_r.reset();
            out_w.reset();
            out_w.fd = open(options.stdout_file->c_str(), O_WRONLY | O_CLOEXEC);
            if (out_w.fd < 0) fail("open " + *options.stdout_file);
        } else if (options.stdout_reader_gone) {
            out_r.reset();
        }
    }
    if (options.stdin_text) make_pipe(in_r, in_w);

    Fd null_in;
    if (!options.stdin_text) null_in.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = start(program, options.argv0, args, options.stdin_text ? in_r.fd : null_in.fd,
                      out_w.fd, options.terminal ? out_w.fd : err_w.fd);
    out_w.reset();
    err_w.reset();
    in_r.reset();
    if (in_w.fd >= 0) fcntl(in_w.fd, F_SETFL, O_NONBLOCK);

    Result r;
    std::string_view to_send;
    if (options.stdin_text) to_send = *options.stdin_text;
    if (in_w.fd >= 0 && to_send.empty()) in_w.reset();
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    int wstatus = 0;
    bool exited = false;
    rusage usage{};
    char buf[65536];
    while (true) {
        pollfd fds[3];
        int n = 0;
        std::string *sinks[3];
        for (auto [fd, sink] : {std::pair{&out_r, &r.out}, std::pair{&err_r, &r.err}}) {
            if (fd->fd >= 0) {
                fds[n] = {fd->fd, POLLIN, 0};
                sinks[n++] = sink;
            }
        }
        if (in_w.fd >= 0) {
            fds[n] = {in_w.fd, POLLOUT, 0};
            sinks[n++] = nullptr;
        }
        if (!exited && wait4(pid, &wstatus, WNOHANG, &usage) == pid) exited = true;
        // Once the program has ended, take what is left in the pipes and stop: a process it
        // left behind may hold them open, and is killed with the group below. One that has
        // closed its output may still be on its way out, so it is waited for all the same.
        if (exited && (n == 0 || poll(fds, n, 0) <= 0)) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timed_out = true;
            break;
        }
        if (poll(fds, n, static_cast<int>(std::min<long>(left.count(), 50))) < 0 && errno != EINTR)
            fail("poll");
        for (int i = 0; i < n; i++) {
            if (fds[i].revents == 0) continue;
            if (sinks[i] == nullptr) {
                ssize_t w = ::write(in_w.fd, to_send.data(), to_send.size());
                if (w > 0) to_send.remove_prefix(static_cast<size_t>(w));
                if (w < 0 && errno != EAGAIN) to_send = {};
                if (to_send.empty()) in_w.reset();
                continue;
            }
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                (sinks[i] == &r.out ? out_r : err_r).reset();
            }
        }
    }
    kill(-pid, SIGKILL);
    if (!exited) wait4(pid, &wstatus, 0, &usage);
    if (options.peak_rss_kib != nullptr) *options.peak_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(wstatus) && !r.timed_out) {
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus) && !r.timed_out) {
        r.signal = WTERMSIG(wstatus);
    }
    return r;
}

std::unique_ptr<Background> Sandbox::spawn(const std::string &program,
                                           const std::vector<std::string> &args,
                                           const std::optional<std::string> &argv0) const {
    static int serial;
    std::string err_path = mkdir(".harness") + "/bg-" + std::to_string(++serial) + ".err";
    Fd out_r, out_w, in, err;
    make_pipe(out_r, out_w);
    in.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    err.fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in.fd < 0 || err.fd < 0) fail("open");
    pid_t pid = start(program, argv0, args, in.fd, out_w.fd, err.fd);
    int fd = out_r.fd;
    out_r.fd = -1;
    return std::make_unique<Background>(pid, fd, err_path);
}

pid_t Sandbox::start(const std::string &program, const std::optional<std::string> &argv0,
                     const std::vector<std::string> &args, int in, int out, int err) const {
    std::vector<std::string> words{argv0.value_or(program)};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (auto &[k, v] : env_) env_strings.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The program starts with default signal handling, whatever the test process set.
        for (int sig = 1; sig < NSIG; sig++) signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(dir_.c_str()) != 0) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        dprintf(2, "harness: cannot run %s: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);  // both sides set it, so neither order of events races
    return pid;
}

std::string Background::read_until(const std::string &line, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string before;
    while (true) {
        size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            std::string got = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (got == line) return before;
            before += got + "\n";
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out_fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0)
            throw std::runtime_error("background program did not print '" + line +
                                     "' in time; stderr: " + err());
        char buf[4096];
        ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n <= 0 && errno != EINTR)
            throw std::runtime_error("background program ended before printing '" + line +
                                     "'; stderr: " + err());
        if (n > 0) pending_.append(buf, static_cast<size_t>(n));
    }
}

std::string Background::err() const {
    std::ifstream f(err_path_, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

int Background::stop() {
    if (!reaped_) kill(pid_, SIGTERM);
    for (int i = 0; i < 500 && !reaped_; i++) {
        if (waitpid(pid_, &wstatus_, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        usleep(10000);
    }
    // Also what it left behind in its group when wait() reaped it.
    kill(-pid_, SIGKILL);
    if (!reaped_ && waitpid(pid_, &wstatus_, 0) == pid_) reaped_ = true;
    return wstatus_;
}

int Background::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        if (waitpid(pid_, &wstatus_, WNOHANG) == pid_) {
            reaped_ = true;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        } else {
            usleep(10000);
        }
    }
    return wstatus_;
}

Background::~Background() {
    stop();
    close(out_fd_);
}

static bool is_listener(const std::string &word) {
    return word == "--http" || word == "--https" || word == "--session" || word == "--session-tls";
}

Receiver::Receiver(const Sandbox &sb, std::vector<std::string> switches, const std::string &token)
    : sb_(&sb), args_{"--store", sb.mkdir("store"), "--token", token} {
    args_.insert(args_.end(), switches.begin(), switches.end());
    // Listeners are named, so that a restart can name the ports they took.
    if (std::none_of(args_.begin(), args_.end(), is_listener))
        args_.insert(args_.end(), {"--http", "0"});
    start();
}

void Receiver::start() {
    process_ = sb_->spawn(TOLVANE_RECEIVER, args_);
    std::istringstream lines(process_->read_until("ready"));
    for (std::string kind, port; lines >> kind >> port;) ports_[kind] = port;
    for (size_t i = 0; i + 1 < args_.size(); i++) {
        if (is_listener(args_[i])) args_[i + 1] = ports_.at(args_[i].substr(2));
    }
}

void Receiver::restart() {
    process_.reset();
    start();
}

Relay::Relay(const Sandbox &sb, const std::string &to, std::vector<std::string> switches) {
    switches.insert(switches.begin(), {"--to", to});
    if (std::none_of(switches.begin(), switches.end(),
                     [](const std::string &w) { return w == "--listen" || w == "--listen6"; }))
        switches.insert(switches.end(), {"--listen", "0"});
    process_ = sb.spawn(TOLVANE_RELAY, switches);
    std::istringstream lines(process_->read_until("ready"));
    for (std::string kind, port; lines >> kind >> port;) ports_[kind] = port;
}

Trace trace(const Sandbox &sb, const std::string &name, std::vector<std::string> options) {
    sb.mkdir(name.substr(0, name.rfind('/') + 1));
    options.push_back(name);
    Result r = sb.run(TOLVANE_MKTRACE, options);
    Trace t;
    std::istringstream fields(r.out);
    fields >> t.path >> t.uuid >> t.sig;
    if (r.status != 0 || t.sig.empty()) throw std::runtime_error("tolvane-mktrace: " + r.err);
    t.line = t.sig + " => " + t.uuid + "\n";
    return t;
}

std::string write_config(const Sandbox &sb, const Config &c, std::string_view rel) {
    std::string universe =
        c.write.empty() ? "" : "[universe]\nname = u\nwrite = " + c.write + "\n" + c.universe;
    return sb.write(rel, c.head + universe + "[token]\n" + c.tokens + c.tail);
}

}  // namespace e2e
