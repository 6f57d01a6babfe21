// The daemon command end to end: the real binary watches sandbox directories and uploads to the
// receiver through its own put children; a recording script stands in for the program where the
// children's arguments matter, and the test itself plays the watchdog monitor.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
const std::string kDaemonUsage =
    "Usage: daemon [<options>]\n\n    -f, --foreground              Run in foreground.\n"
    "    -h, --help                    Print this message.\n";

std::vector<char *> pointers(std::vector<std::string> &words) {
    std::vector<char *> p;
    for (auto &w : words) p.push_back(w.data());
    p.push_back(nullptr);
    return p;
}
}  // namespace

TEST_F(Daemon, UsageAndStartupFailures) {
    config({});
    EXPECT_EQ(sb.tolvane({"-c", cf, "daemon", "-h"}), exits(0, kDaemonUsage));
    EXPECT_EQ(sb.tolvane({"-c", cf, "daemon", "-x"}),
              exits(1, "", "daemon: invalid option -- 'x'\n" + kDaemonUsage));
    EXPECT_EQ(sb.tolvane({"-c", cf, "daemon", "-r", "x"}), exits(1, "", kDaemonUsage));
    EXPECT_EQ(sb.tolvane({"-c", cf, "daemon", "-f"}),
              exits(1, "", "error: no watchers specified in configuration file.\n"));
    config({{"p", "in", "t1"}, {"q", "in", "nope"}});
    EXPECT_EQ(sb.tolvane({"-c", cf, "daemon", "--foreground"}, {.timeout = 10s}),
              exits(1, "", "error: no such token [nope] found.\n"));
}

TEST_F(Daemon, UploadsPresentAndArrivingTracesAndLeavesOtherNames) {
    rx.emplace(sb);
    config({{"p", "in", "t1"}});
    std::string a = trace(sb, "in/a.slt").uuid, ab = trace(sb, "in/a.b.slt").uuid;
    for (const char *name : {"in/.x.slt", "in/noext", "in/a.SLT", "in/a.slt.tmp"}) trace(sb, name);
    auto d = daemon();
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", a); }));
    EXPECT_TRUE(gone_and_stored("in/a.b.slt", ab));
    std::string moved = drop("in/m.slt"), written = trace(sb, "in/w.slt").uuid;
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/m.slt", moved); }));
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/w.slt", written); }));
    for (const char *name : {"in/.x.slt", "in/noext", "in/a.SLT", "in/a.slt.tmp"}) {
        EXPECT_TRUE(sb.exists(name)) << name;
        EXPECT_EQ(d->err().find(sb.path(name)), std::string::npos) << name;
    }
    EXPECT_EQ(count(d->err(), "[+0] ["), 4u) << d->err();  // a.slt, a.b.slt, m.slt, w.slt
    EXPECT_EQ(d->err().find("error"), std::string::npos) << d->err();
}

TEST_F(Daemon, MissingRootIsWatchedOnceCreatedAndAgainAfterRemoval) {
    rx.emplace(sb);
    config({{"p", "later", "t1"}});
    auto d = daemon();
    EXPECT_TRUE(says(*d, "warning: " + sb.path("later") + " does not exist yet.\n", 5s));
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        std::string uuid = trace(sb, "made/t.slt").uuid;
        ASSERT_EQ(rename(sb.path("made").c_str(), sb.path("later").c_str()), 0);
        EXPECT_TRUE(eventually([&] { return gone_and_stored("later/t.slt", uuid); }));
        EXPECT_EQ(count(d->err(), "Added watcher for " + sb.path("later") + "\n"), round + 1u);
        std::string later = drop("later/u.slt");  // the new watch sees arrivals
        EXPECT_TRUE(eventually([&] { return gone_and_stored("later/u.slt", later); }));
        ASSERT_EQ(rmdir(sb.path("later").c_str()), 0);
        EXPECT_TRUE(says(*d, "warning: " + sb.path("later") + " being removed.\n", 5s, round + 1));
    }
}

TEST_F(Daemon, FailedUploadIsOfferedAgainAtTheNextTick) {
    rx.emplace(sb);  // only to take a port that nobody listens on once it stops
    rx->stop();
    config({{"p", "in", "t1"}});
    std::string uuid = trace(sb, "in/a.slt").uuid;
    auto d = daemon();
    EXPECT_TRUE(says(*d, "error: failed to post file", 10s));
    EXPECT_TRUE(sb.exists("in/a.slt"));
    rx->restart();
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }, 12s));
}

// A trace the store holds already (an HTTP 409: put was ended after storing it, say) counts as
// stored: its child deletes it and says the store's message once, and it is neither sent again
// nor taken for a failing store. A trace that fails its header check never reaches a child.
// Neither holds the others back.
TEST_F(Daemon, TracesHeldAlreadyOrBadDoNotHoldBackTheOthers) {
    rx.emplace(sb);
    config({{"p", "in", "t1"}});
    std::string taken = trace(sb, "first.slt").uuid;
    ASSERT_EQ(sb.tolvane({"-c", cf, "put", "p", "t1", "first.slt"}).status, 0);
    trace(sb, "in/held.slt", {"--uuid", taken});
    trace(sb, "in/truncated.slt", {"--size", "400", "--sections", "71"});
    std::vector<std::pair<std::string, std::string>> good;
    for (const char *name : {"in/g1.slt", "in/g2.slt", "in/g3.slt"})
        good.emplace_back(name, trace(sb, name).uuid);
    auto d = daemon();
    for (const auto &g : good)  // clang 14 cannot capture a structured binding
        EXPECT_TRUE(eventually([&] { return gone_and_stored(g.first, g.second); }, 20s)) << g.first;
    EXPECT_TRUE(eventually([&] { return !sb.exists("in/held.slt"); }));
    good = {{"in/g4.slt", drop("in/g4.slt")}, {"in/g5.slt", drop("in/g5.slt")}};
    for (const auto &g : good)
        EXPECT_TRUE(eventually([&] { return gone_and_stored(g.first, g.second); }, 20s)) << g.first;
    EXPECT_TRUE(sb.exists("in/truncated.slt"));
    EXPECT_EQ(count(d->err(), "error: failed to post file \"" + sb.path("in/held.slt") +
                                  "\": trace already exists with UUID " + taken + "\n"),
              1u)
        << d->err();
    EXPECT_EQ(count(rx->err(), "duplicate " + taken), 1u) << rx->err();
    EXPECT_EQ(d->err().find("are failing"), std::string::npos) << d->err();
    EXPECT_EQ(d->err().find("truncated.slt "), std::string::npos) << d->err();
}

TEST_F(Daemon, OneChildPerWatcherWithExactlyItsArguments) {
    config({{"p1", "w1", "t1"}, {"p2", "w2", "t2"}});
    std::string rec = recorder();
    std::string a = sb.path("w1/a.slt"), b = sb.path("w1/b.slt"), c = sb.path("w2/c.slt");
    trace(sb, "w1/a.slt");
    trace(sb, "w2/c.slt");
    // A relative program path is joined to the working directory.
    auto d = daemon({"-f", "-d"}, "./rec");
    rec = sb.dir() + "/./rec";
    ASSERT_TRUE(says(*d, "[+0] [1] " + a + "\n", 5s));
    trace(sb, "w1/b.slt");
    ASSERT_TRUE(says(*d, "[+0] [2] " + b + "\n", 5s));
    ASSERT_TRUE(eventually([&] { return records().size() >= 2; }));
    auto expect = [&](std::string p, std::string t, std::vector<std::string> files) {
        std::vector<std::string> words{
            rec, "-C", sb.path("home"), "-c", cf, "put", "--progress-fd=3", "-u", "--", p, t};
        words.insert(words.end(), files.begin(), files.end());
        std::string line = "Command: ";
        for (const auto &w : words) line += w + " ";
        EXPECT_EQ(count(d->err(), line + "\n"), 1u) << line << "\n" << d->err();
        words.push_back("HOME=" + sb.dir());  // passed on from the daemon
        return words;
    };
    auto got = records();  // the two run side by side: in either order
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[0], expect("p1", "t1", {b, a}));
    EXPECT_EQ(got[1], expect("p2", "t2", {c}));
}

// Watcher (project) names that look like options reach put as its project words: "-k" would
// otherwise turn off certificate checks and shift the words, "--help" print put's usage.
TEST_F(Daemon, WatcherNamesThatLookLikeOptionsAreProjects) {
    rx.emplace(sb);
    config({{"-k", "k", "t1"}, {"--help", "h", "t2"}});
    std::string k = trace(sb, "k/a.slt").uuid, h = trace(sb, "h/a.slt").uuid;
    auto d = daemon({"-f"});
    EXPECT_TRUE(eventually([&] { return gone_and_stored("k/a.slt", k); }));
    EXPECT_TRUE(eventually([&] { return gone_and_stored("h/a.slt", h); }));
    EXPECT_EQ(d->err(), kNoMonitor);
}

// Without -f, what can be checked before detaching is: a mistake ends the command with its
// message and status 1 (a detached daemon's messages go nowhere), and a missing root, which
// is watched once it is there, is said but is no mistake.
TEST_F(Daemon, WithoutForegroundMistakesAreSaidBeforeDetaching) {
    sb.mkdir("in");
    sb.write("file", "not a directory");
    config({{"p", "in", "t1"}, {"q", "in", "nope"}}, "cf-token");
    config({{"p", "in", "t1"}, {"q", "file", "t1"}}, "cf-file");
    config({}, "cf-none");
    struct Case {
        std::string cf, err;
    } cases[] = {
        {"cf-token", "error: no such token [nope] found.\n"},
        {"cf-file", "error: " + sb.path("file") + " cannot be monitored: Not a directory.\n"},
        {"cf-none", "error: no watchers specified in configuration file.\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(
            sb.tolvane({"-C", sb.path("home"), "-c", sb.path(c.cf), "daemon"}, {.timeout = 10s}),
            exits(1, "", c.err))
            << c.cf;
}

TEST_F(Daemon, WithoutForegroundDetachesAndKeepsWorking) {
    rx.emplace(sb);
    config({{"p", "in", "t1"}});
    std::string uuid = trace(sb, "in/a.slt").uuid;
    // Relative paths: the detached daemon works in "/", yet its children must find them.
    auto start = sb.spawn(TOLVANE_BINARY, {"-c", "cf", "-C", "home", "daemon"});
    int status = start->wait(5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pid_t pid = detached({TOLVANE_BINARY, "-c", "cf", "-C", "home", "daemon"});
    ASSERT_NE(pid, 0);
    // Its own group: it has called setsid before its parent ended.
    EXPECT_TRUE(eventually([pid] { return getpgid(pid) == pid; }, 2s)) << getpgid(pid);
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_EQ(start->err(), "");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }));
}

TEST_F(Daemon, MonitorRecordSignalsAndTraceRequest) {
    config({{"p", "in", "t1"}});
    sb.mkdir("in");
    std::string record = sb.write("hb", std::string(8, '\0'));
    int fd = open(record.c_str(), O_RDWR);  // inherited by the daemon: no close-on-exec
    ASSERT_GE(fd, 0);
    auto read_record = [&] {
        std::array<int32_t, 2> r{-1, -1};
        EXPECT_EQ(pread(fd, r.data(), 8, 0), 8);
        return r;
    };
    sigset_t usr2, old;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, &old);
    std::vector<std::string> words{TOLVANE_BINARY, "-C", sb.path("home"), "-c", cf, "daemon", "-f"};
    std::vector<std::string> env{"HOME=" + sb.dir(), "PATH=/usr/bin:/bin", "LC_ALL=C",
                                 "GIMLI_HB_FD=" + std::to_string(fd)};
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char *v = getenv(name)) env.push_back(std::string(name) + "=" + v);
    auto argv = pointers(words), envp = pointers(env);
    std::string err_path = sb.path("daemon.err");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY),
            err = open(err_path.c_str(), O_WRONLY | O_CREAT, 0644);
        dup2(in, 0);
        dup2(err, 1);
        dup2(err, 2);
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(sb.dir().c_str()) == 0) execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid);
    int ws = 0;
    bool reaped = false;
    // Polls the child's state changes with a deadline.
    auto wait_for = [&](int flags) {
        return eventually([&] { return waitpid(pid, &ws, flags | WNOHANG) == pid; }, 10s);
    };
    std::shared_ptr<void> end(nullptr, [&](void *) {
        if (!reaped) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        timespec zero{0, 0};
        while (sigtimedwait(&usr2, nullptr, &zero) == SIGUSR2) {
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        close(fd);
    });
    EXPECT_TRUE(eventually([&] { return read_record() == std::array<int32_t, 2>{1, 0}; }, 3s));
    EXPECT_TRUE(eventually([&] { return read_record()[0] == 2; }, 12s));
    int32_t ticks = read_record()[1];
    EXPECT_GE(ticks, 1);
    ASSERT_EQ(kill(pid, SIGSEGV), 0);
    siginfo_t si{};
    timespec limit{10, 0};
    EXPECT_EQ(sigtimedwait(&usr2, &si, &limit), SIGUSR2);
    EXPECT_EQ(si.si_pid, pid);
    ASSERT_TRUE(wait_for(WUNTRACED));
    EXPECT_TRUE(WIFSTOPPED(ws) && WSTOPSIG(ws) == SIGSTOP) << ws;
    EXPECT_EQ(read_record()[0], 2);  // stopped before it records that it is stopping
    kill(pid, SIGCONT);
    ASSERT_TRUE(wait_for(0));
    reaped = true;
    EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == SIGSEGV) << ws;
    EXPECT_EQ(read_record(), (std::array<int32_t, 2>{3, ticks + 1}));
    EXPECT_EQ(sb.read("daemon.err"), "gimli: exiting due to signal 11\n");
}

// What is wrong at start-up is said once, and the daemon goes on: a monitor value it cannot
// use (no number, or a file too small for the record), or a root that is not there (a blank
// kept at the end of the configured value, say).
TEST_F(Daemon, StartupWarningsAreSaidOnceAndTheDaemonGoesOn) {
    // A directory of its own for each daemon: one daemon per directory.
    for (const char *n : {"0", "1", "2", "3"}) {
        sb.mkdir(std::string("in") + n);
        config({{"p", std::string("in") + n, "t1"}}, std::string("cf") + n);
    }
    sb.mkdir("in");
    config({{"p", "in ", "t1"}}, "cf-blank");
    const std::string no_monitor = "warning: no watchdog monitor attached.\n";
    struct Case {
        std::string variable;  // GIMLI_HB_FD, or a file's contents to hand over by descriptor
        bool file;
        std::string cf, err;
    } cases[] = {
        {"", false, "cf0", kNoMonitor},
        {"abc", false, "cf1", "gimli: can't map abc: Bad file descriptor\n" + no_monitor},
        {"", true, "cf2", "gimli: can't map %d: Invalid argument\n" + no_monitor},
        {"abcd", true, "cf3", "gimli: can't map %d: Invalid argument\n" + no_monitor},
        {"", false, "cf-blank",
         "warning: directory \"" + sb.path("in ") +
             "\" does not exist yet; it will be watched once it does.\n" + kNoMonitor},
    };
    std::vector<std::unique_ptr<Background>> daemons;
    for (Case &k : cases) {
        int fd = -1;
        if (k.file) {
            fd = open(sb.write("hb" + std::to_string(daemons.size()), k.variable).c_str(), O_RDWR);
            k.err.replace(k.err.find("%d"), 2, std::to_string(fd));
            sb.setenv("GIMLI_HB_FD", std::to_string(fd));  // inherited: no close-on-exec
        } else if (!k.variable.empty()) {
            sb.setenv("GIMLI_HB_FD", k.variable);
        }
        daemons.push_back(
            sb.spawn(TOLVANE_BINARY, {"-C", sb.path("home"), "-c", sb.path(k.cf), "daemon", "-f"}));
        if (fd >= 0) close(fd);
        sb.unsetenv("GIMLI_HB_FD");
    }
    auto started = std::chrono::steady_clock::now();
    for (size_t i = 0; i < daemons.size(); i++) EXPECT_TRUE(says(*daemons[i], no_monitor, 5s)) << i;
    std::this_thread::sleep_until(started + 6s);  // a tick has passed
    for (size_t i = 0; i < daemons.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(daemons[i]->err(), cases[i].err);
        EXPECT_EQ(daemons[i]->wait(0ms), -1) << "ended";
        char in[64] = {};
        std::string fd0 = "/proc/" + std::to_string(daemons[i]->pid()) + "/fd/0";
        EXPECT_GT(readlink(fd0.c_str(), in, sizeof in - 1), 0);
        EXPECT_STREQ(in, "/dev/null");  // standard input neither used nor closed
        if (cases[i].file) {
            EXPECT_EQ(sb.read("hb" + std::to_string(i)), cases[i].variable);
        }
    }
}
