// put on real links: the rate cap on each transport (timed from outside), --limit-rate over
// upload.max_rate, the connect time limit against servers that never answer the TCP connect or
// the TLS handshake, and stores that listen on IPv6 loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "cause_lines.h"
#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A listener on loopback that never accepts: the kernel completes the TCP connect and keeps
// what the client sends, and nothing ever answers (a server that accepts and says nothing).
// Made `full`, its one-place queue is taken by a connection of its own, so that a connect to it
// is never answered either.
class Silent {
   public:
    explicit Silent(bool full = false, bool v6 = false)
        : fd_(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_storage ss{};
        socklen_t len;
        if (v6) {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        if (bind(fd_, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd_, full ? 0 : 8) ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = std::to_string(ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in *>(&ss)->sin_port));
        if (full) {
            filler_ = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(filler_, reinterpret_cast<sockaddr *>(&ss), len) != 0)
                throw std::runtime_error("cannot fill the listener's queue");
        }
    }
    ~Silent() {
        if (filler_ >= 0) close(filler_);
        close(fd_);
    }
    const std::string &port() const { return port_; }

   private:
    int fd_;
    int filler_ = -1;
    std::string port_;
};

// The receiver with a listener of each kind, on `address`.
std::unique_ptr<Receiver> receiver(const Sandbox &sb, const std::string &address = "127.0.0.1") {
    return std::make_unique<Receiver>(
        sb,
        std::vector<std::string>{"--address", address, "--http", "0", "--https", "0", "--session",
                                 "0", "--session-tls", "0", "--cert-out", sb.path("ca.pem")});
}

// The universe's lines for a writer of `kind` at host:port (verifying an HTTPS peer against the
// receiver's certificate when there is one).
Config writing(const Sandbox &sb, const std::string &kind, const std::string &host,
               const std::string &port, const std::string &head = "") {
    Config c{.head = head};
    if (kind == "http") {
        c.write = "http://" + host + ":" + port;
    } else if (kind == "https") {
        c.write = "https://" + host + ":" + port;
        if (sb.exists("ca.pem")) c.universe = "curl.cainfo = " + sb.path("ca.pem") + "\n";
    } else {
        c.write = host + ":" + port;
        if (kind == "session-tls") c.universe = "ssl = true\n";
    }
    return c;
}
}  // namespace

// Each transport keeps to the cap: a 3 MiB trace at 512 KiB/s takes 6 s, within 10 %, and it is
// stored whole. --limit-rate wins over the key (a trace under 1 MiB is sent from memory, not
// from its file). The four uploads run at once, each timed alone: a cap is a property of each
// upload, and together they take a few hundred KiB/s of loopback.
TEST(PutLink, TheRateCapHoldsOnEveryTransport) {
    Sandbox sb;
    auto rx = receiver(sb);
    struct Case {
        const char *kind;
        std::string key;                  // upload.max_rate
        std::vector<std::string> option;  // before the words
        size_t size;
        double seconds;
    } cases[] = {
        {"http", "512K", {}, 3 << 20, 6.0},
        {"session", "512K", {}, 3 << 20, 6.0},
        {"session-tls", "512K", {}, 3 << 20, 6.0},
        {"session", "64K", {"--limit-rate", "160K"}, 900 << 10, 900.0 / 160},
    };
    struct Run {
        Trace f;
        std::future<std::pair<Result, double>> done;
    };
    std::vector<Run> runs;
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &c = cases[i];
        std::string n = std::to_string(i);
        Trace f = trace(sb, "f" + n + ".slt", {"--size", std::to_string(c.size)});
        std::string cf = write_config(sb,
                                      writing(sb, c.kind, "127.0.0.1", rx->port(c.kind),
                                              "[general]\nupload.max_rate = " + c.key + "\n"),
                                      "cf" + n);
        std::vector<std::string> args{"-c", cf, "put"};
        args.insert(args.end(), c.option.begin(), c.option.end());
        args.insert(args.end(), {"p", "t", f.path});
        runs.push_back({f, std::async(std::launch::async, [&sb, args] {
                            auto start = std::chrono::steady_clock::now();
                            Result r = sb.tolvane(args, {.timeout = 20s});
                            return std::pair{r, seconds_since(start)};
                        })});
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.kind + (" " + c.key));
        auto [result, took] = runs[i].done.get();
        EXPECT_EQ(result, exits(0, runs[i].f.line));
        EXPECT_GT(took, c.seconds * 0.9);
        EXPECT_LT(took, c.seconds * 1.1);
        EXPECT_EQ(sb.read("store/" + runs[i].f.uuid + ".slt"), sb.read(runs[i].f.path));
    }
}

TEST(PutLink, BadLimitValuesAreRefused) {
    Sandbox sb;
    std::string cf = write_config(sb, {.write = "127.0.0.1:1"});
    Trace f = trace(sb, "f.slt");
    for (std::string bad : {"x", "0", "", "1.5M", "-1", "512KB", "99999999999999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "--limit-rate", bad, "p", "t", "f.slt"}),
                  exits(1, "",
                        "error: invalid --limit-rate value \"" + bad +
                            "\"; it takes bytes per second, a whole number optionally followed by "
                            "K, M or G (powers of 1024).\n"));
    }
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", "f.slt", "--limit-rate"}),
              exits(1, "", "put: option '--limit-rate' requires an argument\n" + kPutUsage));
    // Good forms, and the key's own refusal names its line.
    EXPECT_EQ(
        sb.tolvane({"-c", cf, "put", "--limit-rate=1g", "--limit-rate", " 5k ", "p", "t", "f.slt"}),
        exits(1, "", "error: failed to connect to 127.0.0.1:1 (connection refused).\n"));
    cf = write_config(sb, {.head = "[general]\nupload.max_rate = fast\n", .write = "127.0.0.1:1"});
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", "f.slt"}),
              exits(1, "",
                    "error: invalid upload.max_rate value \"fast\" at line 2; it takes bytes per "
                    "second, a whole number optionally followed by K, M or G (powers of 1024).\n"));
}

// A server that never completes the TCP connect, or completes it and never answers the TLS
// handshake, is given up after upload.connect_timeout seconds, with a message that names it
// and what timed out; the file stays.
TEST(PutLink, ConnectsAndHandshakesAreBounded) {
    Sandbox sb;
    Silent quiet, unanswered(true);
    Trace f = trace(sb, "f.slt");
    const std::string head = "[general]\nupload.connect_timeout = 2\n";
    const std::string post_failed = "error: failed to post file \"f.slt\": aborted connection.\n";
    struct Case {
        const char *kind;
        const Silent &server;
        std::string what, after;
    } cases[] = {
        {"https", quiet, "TLS handshake", post_failed},
        {"session-tls", quiet, "TLS handshake", ""},
        {"https", unanswered, "TCP connect", post_failed},
        {"http", unanswered, "TCP connect", post_failed},
        {"session", unanswered, "TCP connect", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind + (" " + c.what));
        std::string cf = write_config(sb, writing(sb, c.kind, "127.0.0.1", c.server.port(), head));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "-u", "p", "t", "f.slt"}, {.timeout = 20s}),
                  exits(1, "",
                        "error: the connection to 127.0.0.1:" + c.server.port() +
                            " timed out after 2 s during the " + c.what + ".\n" + c.after));
        double took = seconds_since(start);
        EXPECT_GT(took, 1.9);
        EXPECT_LT(took, 5.0);
        EXPECT_TRUE(sb.exists("f.slt"));
    }
}

// Stores on IPv6 loopback only, written as bracketed literals, on every transport; an HTTPS or
// TLS peer is verified against its IPv6 address. Failures name the server in brackets.
TEST(PutLink, StoresOnIpv6LoopbackOnly) {
    Sandbox sb;
    auto rx = receiver(sb, "::1");
    for (const char *kind : {"http", "https", "session", "session-tls"}) {
        SCOPED_TRACE(kind);
        Config config = writing(sb, kind, "[::1]", rx->port(kind));
        if (std::string(kind) == "session-tls")
            config.universe +=
                "write.ssl.verify = true\nwrite.ssl.ca = " + sb.path("ca.pem") + "\n";
        std::string cf = write_config(sb, config);
        Trace f = trace(sb, std::string(kind) + ".slt", {"--size", "70000"});
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "-u", "p", "t", f.path}), exits(0, f.line));
        EXPECT_FALSE(sb.exists(f.path));
        EXPECT_EQ(sb.read("store/" + f.uuid + ".slt").size(), 70000u);
        // The same port on IPv4 is refused: the IPv6 address was the one used.
        cf = write_config(sb, writing(sb, kind, "127.0.0.1", rx->port(kind)));
        Trace g = trace(sb, "v4.slt");
        Result r = sb.tolvane({"-c", cf, "put", "p", "t", "v4.slt"});
        EXPECT_EQ(r.status, 1) << r.err;
    }
    // Servers that refuse, and a silent one, are named with brackets.
    Silent quiet(false, true);
    Trace f = trace(sb, "f.slt");
    std::string cf = write_config(sb, writing(sb, "session", "[::1]", "1"));
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", "f.slt"}),
              exits(1, "", "error: failed to connect to [::1]:1 (connection refused).\n"));
    cf = write_config(sb, writing(sb, "http", "[::1]", "1"));
    EXPECT_EQ(ms_masked(sb.tolvane({"-c", cf, "put", "p", "t", "f.slt"})),
              exits(1, "",
                    http_refused("[::1]:1", "::1", "1") +
                        "error: failed to post file \"f.slt\": aborted connection.\n"));
    cf = write_config(sb, writing(sb, "session-tls", "[::1]", quiet.port(),
                                  "[general]\nupload.connect_timeout = 1\n"));
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", "f.slt"}),
              exits(1, "",
                    "error: the connection to [::1]:" + quiet.port() +
                        " timed out after 1 s during the TLS handshake.\n"));
}
