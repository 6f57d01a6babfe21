// End-to-end harness: runs a real binary in a fresh temporary directory with its own
// environment, and returns what it printed and how it ended, for exact comparison:
//
//     Sandbox sb;
//     EXPECT_EQ(sb.tolvane({"-c", sb.path("cf"), "--version"}),
//               exits(0, "tolvane version 1.61.114\n", ""));
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

struct Result {
    int status = -1;  // exit status; -1 when the process died by a signal
    int signal = 0;   // the signal that ended it; 0 when it exited
    std::string out;
    std::string err;
    bool timed_out = false;  // the harness killed it at the time limit

    bool operator==(const Result &) const = default;
};
void PrintTo(const Result &r, std::ostream *os);

// Expected outcomes.
Result exits(int status, std::string out = "", std::string err = "");
Result dies(int signal, std::string out = "", std::string err = "");

struct Options {
    std::optional<std::string> stdin_text = std::nullopt;  // standard input; /dev/null when absent
    std::chrono::milliseconds timeout{30000};
    std::optional<std::string> argv0 =
        std::nullopt;              // the first word of the vector; the program path if absent
    long *peak_rss_kib = nullptr;  // when set, receives the program's peak resident memory
    // Standard output and error on one pseudo-terminal of 80 columns, whose bytes (line feeds
    // turned into "\r\n" as a terminal does) all arrive in `out`.
    bool terminal = false;
    // Standard output goes to this file (opened for writing, "/dev/full" say) instead of `out`.
    std::optional<std::string> stdout_file = std::nullopt;
    // Standard output is a pipe whose reader has gone (every write fails with EPIPE).
    bool stdout_reader_gone = false;
};

// A program started in the background (a server, say). Its standard output is read line by
// line until it says it is ready; its standard error goes to a file. It is stopped, and its
// whole process group killed, when this object goes away.
class Background {
   public:
    Background(pid_t pid, int out_fd, std::string err_path)
        : pid_(pid), out_fd_(out_fd), err_path_(std::move(err_path)) {}
    ~Background();
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    pid_t pid() const { return pid_; }
    // Reads standard output until a line equal to `line` arrives; returns everything read
    // before it. Throws when the program ends or the time limit passes first.
    std::string read_until(const std::string &line,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What the program wrote on standard error so far.
    std::string err() const;
    // Sends SIGTERM, waits, and returns the wait status (killing the group after 5 s).
    int stop();
    // Waits for the program to end by itself; returns the wait status, or -1 when it is still
    // running at the time limit.
    int wait(std::chrono::milliseconds timeout);

   private:
    pid_t pid_;
    int out_fd_;
    std::string err_path_;
    std::string pending_;
    bool reaped_ = false;
    int wstatus_ = 0;
};

class Sandbox {
   public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    const std::string &dir() const { return dir_; }
    // Absolute path of a name inside the sandbox.
    std::string path(std::string_view rel) const;
    // Writes a file (making its parent directories) and returns its absolute path.
    std::string write(std::string_view rel, std::string_view content, mode_t mode = 0644) const;
    std::string read(std::string_view rel) const;
    bool exists(std::string_view rel) const;
    std::string mkdir(std::string_view rel) const;

    // The child's environment starts as HOME=<sandbox>, a plain PATH and LC_ALL=C.
    void setenv(const std::string &name, const std::string &value) { env_[name] = value; }
    void unsetenv(const std::string &name) { env_.erase(name); }

    // Runs program with args in the sandbox directory; the whole process group is killed
    // when the program ends or the time limit passes.
    Result run(const std::string &program, const std::vector<std::string> &args,
               const Options &options = {}) const;
    Result tolvane(const std::vector<std::string> &args, const Options &options = {}) const;
    // Starts a program in the sandbox directory with the sandbox's environment; argv0 is the
    // first word of its vector (the program path if absent).
    std::unique_ptr<Background> spawn(const std::string &program,
                                      const std::vector<std::string> &args,
                                      const std::optional<std::string> &argv0 = std::nullopt) const;

   private:
    // Forks and runs program in its own process group with the given standard streams.
    pid_t start(const std::string &program, const std::optional<std::string> &argv0,
                const std::vector<std::string> &args, int in, int out, int err) const;
    std::string dir_;
    std::map<std::string, std::string> env_;
};

// Resident memory that the sanitizers' runtime (shadow memory, its allocator) adds to a program
// built with them: a limit on a program's peak memory allows for it.
inline constexpr long kSanitizerRssKib = TOLVANE_SANITIZED ? 32 << 10 : 0;

// The token the receiver accepts, which the usual configuration names "t".
inline const std::string kToken(64, 'a');

// tolvane-receiver in a sandbox, storing into its "store" directory and accepting `token`;
// `switches` go after those (plain HTTP on any port when they name no listener). It is
// stopped when it goes away.
class Receiver {
   public:
    explicit Receiver(const Sandbox &sb, std::vector<std::string> switches = {},
                      const std::string &token = kToken);
    // The port a listener took: kind is "http", "https", "session" or "session-tls".
    const std::string &port(const std::string &kind) const { return ports_.at(kind); }
    std::string err() const { return process_->err(); }
    int stop() { return process_->stop(); }
    // Stops it if it still runs and starts it again on the same ports.
    void restart();

   private:
    void start();
    const Sandbox *sb_;
    std::vector<std::string> args_;
    std::map<std::string, std::string> ports_;
    std::unique_ptr<Background> process_;
};

// tolvane-relay in a sandbox: a shaping relay on loopback forwarding to `to` (HOST:PORT, an IPv6
// host in brackets) as `switches` say (--up-rate RATE, --down-rate RATE, --latency-ms N,
// --stall-after BYTES; an ephemeral port on 127.0.0.1 when they name no listener). It is
// stopped when it goes away.
class Relay {
   public:
    Relay(const Sandbox &sb, const std::string &to, std::vector<std::string> switches = {});
    // The port a listener took: "relay" (127.0.0.1, --listen) or "relay6" (::1, --listen6).
    const std::string &port(const std::string &kind = "relay") const { return ports_.at(kind); }
    std::string err() const { return process_->err(); }
    int stop() { return process_->stop(); }

   private:
    std::map<std::string, std::string> ports_;
    std::unique_ptr<Background> process_;
};

// A trace file made by tolvane-mktrace (its directory too), and the result line
// "<sig> => <uuid>\n" that storing it prints.
struct Trace {
    std::string path, uuid, sig, line;
};
Trace trace(const Sandbox &sb, const std::string &name, std::vector<std::string> options = {});

// The usual configuration file: the `head` blocks, a universe "u" writing to `write` with more
// `universe` lines (no universe when `write` is empty), the [token] block's lines, `tail` blocks.
struct Config {
    std::string head{}, write{}, universe{}, tokens = "t = " + kToken + "\n", tail{};
};
// Writes it and returns its path.
std::string write_config(const Sandbox &sb, const Config &config, std::string_view rel = "cf");

// Exact texts of tolvane that many tests expect: the global usage, put's usage, and the notice
// of a retired command.
extern const std::string kUsage;
extern const std::string kPutUsage;
std::string retired_notice(const std::string &name);

}  // namespace e2e
