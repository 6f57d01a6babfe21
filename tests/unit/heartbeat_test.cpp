// The gimli heartbeat. Attaching lasts for the life of the process and installs handlers for the
// fatal signals, so every case runs in a forked child; the test process plays the monitor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "commands/daemon/heartbeat.h"
#include "fd_text.h"
#include "tempdir.h"

namespace {
// The record's bytes as the monitor writes them.
std::string bytes(gimli_heartbeat r) {
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

// How a child ended: its wait status, its standard error, and the checks in it that failed.
struct Child {
    int status = 0;
    std::string err, failed;
};

// Runs body in a child with standard output and error on pipes; the child prints the failed
// checks that body returns. The monitor, if any, runs in the parent meanwhile.
Child in_child(const std::function<std::string()> &body,
               const std::function<void(pid_t)> &monitor = nullptr) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {-1, "", "pipe"};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        std::string failed = body();
        _exit(write(1, failed.data(), failed.size()) < 0 ? 2 : 0);
    }
    close(out[1]);
    close(err[1]);
    if (monitor) monitor(pid);
    Child c;
    c.err = drain(err[0]);
    c.failed = drain(out[0]);
    waitpid(pid, &c.status, 0);
    return c;
}

std::string check(bool ok, const std::string &what) {
    return ok ? "" : what + "\n";
}

std::string record_is(const std::string &path, int32_t state, int32_t ticks) {
    gimli_heartbeat r{-1, -1};
    int fd = open(path.c_str(), O_RDONLY);
    if (pread(fd, &r, sizeof r, 0) != sizeof r) r = {-1, -1};
    close(fd);
    return check(r.state == state && r.ticks == ticks,
                 "record " + std::to_string(r.state) + "/" + std::to_string(r.ticks) + ", not " +
                     std::to_string(state) + "/" + std::to_string(ticks));
}

// For each fatal signal: its handler, and whether the handler takes the signal information.
std::vector<std::pair<void *, bool>> fatal_actions() {
    std::vector<std::pair<void *, bool>> actions;
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE}) {
        struct sigaction a;
        sigaction(sig, nullptr, &a);
        actions.emplace_back(reinterpret_cast<void *>(a.sa_sigaction), a.sa_flags & SA_SIGINFO);
    }
    return actions;
}
}  // namespace

TEST(Heartbeat, WithoutTheVariableNothingIsAttached) {
    Child c = in_child([] {
        unsetenv("GIMLI_HB_FD");
        auto before = fatal_actions();
        std::string failed = check(gimli_heartbeat_attach() == nullptr, "attached");
        failed += check(fatal_actions() == before, "handlers changed");
        return failed;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.err, "gimli: GIMLI_HB_FD is not set\n");
    EXPECT_EQ(c.failed, "");
}

TEST(Heartbeat, UnusableValueOrDescriptorIsReported) {
    TempDir dir;
    // What descriptor `fd` is when attach looks at it: a good record (which a value that is no
    // whole number must leave alone), nothing at all, a socket or a pipe (open for both, but no
    // file), the record open for reading only, or an empty or 4-byte file (too small to hold the
    // record: touching it would raise SIGBUS or write past its end).
    enum Kind { kRecord, kClosed, kSocket, kPipe, kReadOnly, kEmpty, kShort };
    struct Case {
        const char *text;
        int fd;
        Kind kind;
        const char *why;
    } cases[] = {
        {"abc", 0, kRecord, "Bad file descriptor"},
        {"", 0, kRecord, "Bad file descriptor"},
        {" 7", 7, kRecord, "Bad file descriptor"},
        {"+7", 7, kRecord, "Bad file descriptor"},
        {"7x", 7, kRecord, "Bad file descriptor"},
        {"4294967303", 7, kRecord, "Bad file descriptor"},  // 2^32 + 7
        {"40", 40, kClosed, "Bad file descriptor"},
        {"41", 41, kSocket, "No such device"},
        {"42", 42, kPipe, "No such device"},
        {"43", 43, kReadOnly, "Permission denied"},
        {"44", 44, kEmpty, "Invalid argument"},
        {"45", 45, kShort, "Invalid argument"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        const std::string contents = k.kind == kEmpty   ? ""
                                     : k.kind == kShort ? "abcd"
                                                        : bytes({0, 0});
        const std::string path = dir.write("hb", contents);
        Child c = in_child([&] {
            int fds[2] = {-1, -1};
            if (k.kind == kSocket) socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
            if (k.kind == kPipe && pipe(fds) != 0) return std::string("pipe");
            if (k.kind == kReadOnly) fds[0] = open(path.c_str(), O_RDONLY);
            if (k.kind == kRecord || k.kind == kEmpty || k.kind == kShort)
                fds[0] = open(path.c_str(), O_RDWR);
            if (fds[0] < 0) close(k.fd);
            if (fds[0] >= 0) dup2(fds[0], k.fd);
            setenv("GIMLI_HB_FD", k.text, 1);
            auto before = fatal_actions();
            std::string failed = check(gimli_heartbeat_attach() == nullptr, "attached");
            failed += check(fatal_actions() == before, "handlers changed");
            // A number names its descriptor, which goes; other text names none, so none goes.
            bool kept = k.kind == kRecord;
            return failed + check((fcntl(k.fd, F_GETFD) != -1) == kept,
                                  kept ? "descriptor closed" : "descriptor left open");
        });
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.err, std::string("gimli: can't map ") + k.text + ": " + k.why + "\n");
        EXPECT_EQ(c.failed, "");
        int fd = open(path.c_str(), O_RDONLY);
        EXPECT_EQ(drain(fd), contents);  // nothing written
    }
}

TEST(Heartbeat, AttachAndBeat) {
    TempDir dir;
    // The variable's text and the descriptor it names. A named record, not a structured binding:
    // clang 14 does not let the lambda below capture one.
    struct Case {
        const char *text;
        int fd;
    };
    for (const Case &k : {Case{"9", 9}, {"07", 7}}) {
        SCOPED_TRACE(k.text);
        const std::string path = dir.write("hb", bytes({0, INT32_MAX - 1}));
        Child c = in_child([&] {
            dup2(open(path.c_str(), O_RDWR), k.fd);
            setenv("GIMLI_HB_FD", k.text, 1);
            volatile gimli_heartbeat *hb = gimli_heartbeat_attach();
            if (hb == nullptr) return std::string("not attached");
            std::string failed = check(fcntl(k.fd, F_GETFD) == -1, "descriptor left open") +
                                 record_is(path, GIMLI_HB_STARTING, INT32_MAX - 1);
            gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
            failed += record_is(path, GIMLI_HB_RUNNING, INT32_MAX);
            gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
            failed += record_is(path, GIMLI_HB_RUNNING, INT32_MIN);
            unsetenv("GIMLI_HB_FD");
            failed += check(gimli_heartbeat_attach() == hb, "second attach differs");
            auto actions = fatal_actions();
            failed += check(actions == decltype(actions)(5, actions[0]) && actions[0].second &&
                                actions[0].first != reinterpret_cast<void *>(SIG_DFL),
                            "fatal signal handlers not installed");
            return failed;
        });
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.err, "");
        EXPECT_EQ(c.failed, "");
    }
}

// The record's file cut short under the mapping: the next beat faults. That must neither stop the
// process for the monitor nor end it; the beat is lost, and the owner is told.
TEST(Heartbeat, TruncatedRecordIsLostNotFatal) {
    TempDir dir;
    const std::string path = dir.write("hb", bytes({0, 5}));
    Child c = in_child([&] {
        setenv("GIMLI_HB_FD", std::to_string(open(path.c_str(), O_RDWR)).c_str(), 1);
        volatile gimli_heartbeat *hb = gimli_heartbeat_attach();
        if (hb == nullptr) return std::string("not attached");
        gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
        std::string failed = check(!gimli_heartbeat_lost(), "lost too early");
        if (truncate(path.c_str(), 0) != 0) return std::string("truncate");
        gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
        gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
        failed += check(gimli_heartbeat_lost(), "not lost");
        // A fault anywhere else is still fatal as before.
        failed += check(fatal_actions()[2].first != reinterpret_cast<void *>(SIG_DFL),
                        "SIGBUS handler gone");
        return failed;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.failed, "");
    EXPECT_EQ(std::filesystem::file_size(path), 0u);  // nothing written to it after the cut
}

TEST(Heartbeat, FatalSignalAsksTheMonitorForATraceThenEnds) {
    TempDir dir;
    const std::string path = dir.write("hb", bytes({0, 5}));
    sigset_t usr2, saved;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    sigprocmask(SIG_BLOCK, &usr2, &saved);
    std::string at_stop = "not stopped";
    Child c = in_child(
        [&] {
            prctl(PR_SET_DUMPABLE, 0);  // no core file
            setenv("GIMLI_HB_FD", std::to_string(open(path.c_str(), O_RDWR)).c_str(), 1);
            volatile gimli_heartbeat *hb = gimli_heartbeat_attach();
            if (hb == nullptr) return std::string("not attached");
            gimli_set_shutdown_func([](int sig, siginfo_t *info) {
                dprintf(2, "shutdown %d %d\n", sig, info->si_signo);
            });
            gimli_heartbeat_set(hb, GIMLI_HB_RUNNING);
            raise(SIGSEGV);
            return std::string("survived SIGSEGV");
        },
        [&](pid_t pid) {
            siginfo_t info{};
            const timespec limit{10, 0};
            int sig = sigtimedwait(&usr2, &info, &limit);
            EXPECT_EQ(sig, SIGUSR2);
            EXPECT_EQ(info.si_pid, pid);
            int ws = 0;
            if (sig != SIGUSR2 || waitpid(pid, &ws, WUNTRACED) != pid || !WIFSTOPPED(ws)) {
                ADD_FAILURE() << "child not stopped: " << ws;
                kill(pid, SIGKILL);
                return;
            }
            at_stop = record_is(path, GIMLI_HB_RUNNING, 6);
            kill(pid, SIGCONT);
        });
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_EQ(at_stop, "");
    EXPECT_EQ(record_is(path, GIMLI_HB_STOPPING, 7), "");
    EXPECT_TRUE(WIFSIGNALED(c.status) && WTERMSIG(c.status) == SIGSEGV) << c.status;
    EXPECT_EQ(c.err, "shutdown 11 11\ngimli: exiting due to signal 11\n");
    EXPECT_EQ(c.failed, "");
}
