// The daemon under a service manager: the test binds the notification socket itself and plays
// systemd. A recording program that sleeps stands in for put, so that a child runs for as long
// as the test likes.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

// READY=1 with a status after the first scan, WATCHDOG=1 at each tick, on while a child runs
// (nothing waits for one), and on SIGTERM: the child ended, its file kept, STOPPING=1, and the
// daemon ended by SIGTERM. A build without libsystemd sends nothing and works the same. The
// child has the standard streams and its progress channel (descriptor 3, a pipe), and no other
// descriptor of the daemon's.
TEST_F(Daemon, TellsTheServiceManagerReadyAliveAndStoppingAndEndsItsChildOnSigterm) {
    config({{"p", "in", "t1"}});
    sb.mkdir("in");
    recorder("exec /bin/sleep 120");
    NotifyListener manager(sb.path("notify"));
    sb.setenv("NOTIFY_SOCKET", sb.path("notify"));
    auto d = daemon({"-f"}, sb.path("rec"));
    const std::string ready =
        "READY=1\nSTATUS=directories watched: 1/1; traces queued: 0; last upload: never; "
        "backing off: 0";
    EXPECT_EQ(manager.until(ready, 4s), kNotifies);
    EXPECT_EQ(manager.until("WATCHDOG=1", 7s), kNotifies);  // the first tick
    trace(sb, "in/a.slt");  // for the second tick, whose child then runs until it is ended
    std::string pid;
    ASSERT_TRUE(eventually(
        [&] { return sb.exists("rec.pid") && (pid = sb.read("rec.pid")).ends_with("\n"); }, 7s));
    std::string child = "/proc/" + pid.substr(0, pid.size() - 1);
    std::map<int, std::string> fds;
    for (const auto &e : std::filesystem::directory_iterator(child + "/fd"))
        fds[std::stoi(e.path().filename())] = std::filesystem::read_symlink(e.path());
    EXPECT_EQ(fds.size(), 4u);
    EXPECT_TRUE(fds[3].starts_with("pipe:")) << fds[3];
    std::this_thread::sleep_for(6s);  // a tick while the child runs
    ASSERT_EQ(kill(d->pid(), SIGTERM), 0);
    EXPECT_EQ(manager.until("STOPPING=1", 3s), kNotifies);
    int status = d->wait(3s);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    // Ended and reaped by the daemon, not left behind: the harness has not touched the group yet.
    EXPECT_NE(access(child.c_str(), F_OK), 0) << "child left running";
    EXPECT_TRUE(sb.exists("in/a.slt"));
    EXPECT_EQ(d->err(), kNoMonitor);
    auto got = manager.got();
    if (!kNotifies) {
        EXPECT_TRUE(got.empty());
        return;
    }
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got.front().second, ready);
    EXPECT_EQ(got.back().second, "STOPPING=1");
    std::vector<double> beats = manager.times("WATCHDOG=1");
    ASSERT_GE(beats.size(), 3u);
    for (size_t i = 1; i < beats.size(); i++)
        EXPECT_NEAR(beats[i] - beats[i - 1], 5.0, 1.0) << "a tick apart, beat " << i;
}

// The status line follows the lists: once the deletions of an upload have been taken in, the
// status shows them at once, not a tick later: put's own deletions, and those that come after
// its child ended (a stand-in that says nothing and deletes its file in the background, 300 ms
// later).
TEST_F(Daemon, StatusShowsTheQueueOnceDeletionsAreTakenIn) {
    if (!kNotifies) GTEST_SKIP() << "built without libsystemd: no status is sent";
    rx.emplace(sb);
    recorder("for f; do :; done\n(exec 3>&-; sleep 0.3; rm -f \"$f\") &\nexit 0");
    NotifyListener manager(sb.path("notify"));
    sb.setenv("NOTIFY_SOCKET", sb.path("notify"));
    for (const std::string &program : std::vector<std::string>{TOLVANE_BINARY, sb.path("rec")}) {
        SCOPED_TRACE(program);
        std::string dir = program == TOLVANE_BINARY ? "in" : "in-rec";
        config({{"p", dir, "t1"}});
        trace(sb, dir + "/a.slt");
        auto d = daemon({"-f"}, program);
        const std::string ready =
            "READY=1\nSTATUS=directories watched: 1/1; traces queued: 1; last upload: never; "
            "backing off: 0";
        ASSERT_TRUE(manager.until(ready, 4s));
        ASSERT_TRUE(eventually([&] { return !sb.exists(dir + "/a.slt"); }, 8s));
        auto gone = std::chrono::steady_clock::now();
        EXPECT_TRUE(eventually(
            [&] {
                auto got = manager.got();
                return got.back().second.find("traces queued: 0;") != std::string::npos;
            },
            4s))
            << manager.got().back().second;
        EXPECT_LT(std::chrono::steady_clock::now() - gone, 1s) << "a tick later";
        d->stop();
    }
}
