// The daemon's roots: one that cannot be watched says why once, and again only when the reason
// changes; one daemon per directory.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

// Roots that are no directory say so once over three ticks, debug lines on or not; when the
// reason changes it is said again, once; a directory made there is then watched. Each daemon
// has roots of its own. (Watchers are started in the reverse of their order in the file, and
// ticks take them in order.)
TEST_F(Daemon, RootsThatCannotBeWatchedSayWhyOnceAndAgainWhenTheReasonChanges) {
    rx.emplace(sb);
    const std::string not_dir = " cannot be monitored: Not a directory.\n",
                      loop = " cannot be monitored: Too many levels of symbolic links.\n";
    struct Case {
        std::string dir;  // the daemon's roots are dir/file, dir/file/sub and dir/loop
        std::vector<std::string> options;
        std::unique_ptr<Background> d;
    } cases[] = {{"quiet", {"-f"}, {}}, {"debug", {"-f", "-d"}, {}}};
    auto started = std::chrono::steady_clock::now();
    for (Case &c : cases) {
        sb.write(c.dir + "/file", "not a directory");
        ASSERT_EQ(symlink("loop", sb.path(c.dir + "/loop").c_str()), 0);  // a link to itself
        config({{"a", c.dir + "/file", "t1"},
                {"b", c.dir + "/file/sub", "t1"},
                {"c", c.dir + "/loop", "t1"}},
               "cf-" + c.dir);
        c.d = daemon(c.options);
    }
    std::this_thread::sleep_until(started + 15s);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dir);
        std::string root = sb.path(c.dir);
        std::string err = c.d->err();
        EXPECT_EQ(count(err, "error: " + root + "/file" + not_dir), 1u) << err;
        EXPECT_EQ(count(err, "error: " + root + "/file/sub" + not_dir), 1u) << err;
        EXPECT_EQ(count(err, "error: " + root + "/loop" + loop), 1u) << err;
        // The file becomes a link to itself: both roots through it say the new reason, once.
        ASSERT_EQ(unlink(sb.path(c.dir + "/file").c_str()), 0);
        ASSERT_EQ(symlink("file", sb.path(c.dir + "/file").c_str()), 0);
    }
    std::vector<std::string> uuids;
    for (const Case &c : cases) {
        std::string root = sb.path(c.dir);
        EXPECT_TRUE(says(*c.d, "error: " + root + "/file/sub" + loop, 6s));
        // Then a directory: watched, and the root below it is missing.
        uuids.push_back(trace(sb, c.dir + "-made/a.slt").uuid);
        ASSERT_EQ(unlink(sb.path(c.dir + "/file").c_str()), 0);
        ASSERT_EQ(rename(sb.path(c.dir + "-made").c_str(), sb.path(c.dir + "/file").c_str()), 0);
    }
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.dir);
        std::string root = sb.path(c.dir);
        EXPECT_TRUE(
            eventually([&] { return gone_and_stored(c.dir + "/file/a.slt", uuids[i]); }, 7s));
        const std::string missing = "warning: directory \"" + root +
                                    "/file/sub\" does not exist yet; it will be watched once it "
                                    "does.\n";
        EXPECT_TRUE(says(*c.d, missing, 1s));
        if (c.options.size() > 1) continue;
        EXPECT_EQ(c.d->err(), "error: " + root + "/loop" + loop + "error: " + root + "/file/sub" +
                                  not_dir + "error: " + root + "/file" + not_dir + kNoMonitor +
                                  "error: " + root + "/file" + loop + "error: " + root +
                                  "/file/sub" + loop + missing);
    }
}

// One daemon per directory. Two roots of one daemon that name one directory are no conflict. A
// second daemon on a configuration that the first runs refuses to start, naming the directory
// and the first daemon; put -u by hand beside the first is allowed. Killed with SIGKILL, the
// first leaves nothing behind: a new one starts at once. Two daemons on a root that appears only
// later: the first tick to find it takes it, and the other says so once and leaves it be.
TEST_F(Daemon, OneDaemonPerDirectory) {
    rx.emplace(sb);
    sb.mkdir("in");
    ASSERT_EQ(symlink("in", sb.path("alias").c_str()), 0);
    config({{"p", "in", "t1"}, {"q", "alias", "t1"}}, "cf-alias");
    auto alias = sb.spawn(TOLVANE_BINARY,
                          {"-C", sb.path("home"), "-c", sb.path("cf-alias"), "daemon", "-f"});
    EXPECT_TRUE(says(*alias, kNoMonitor, 5s));
    EXPECT_EQ(alias->err(), kNoMonitor);
    alias->stop();

    config({{"p", "in", "t1"}});
    auto first = daemon({"-f"});
    ASSERT_TRUE(says(*first, kNoMonitor, 5s));
    const std::string taken = "error: directory \"" + sb.path("in") +
                              "\" is watched by another daemon (process " +
                              std::to_string(first->pid()) + ").\n";
    for (const char *mode : {"-f", "-d"})  // in the foreground or not
        EXPECT_EQ(sb.tolvane({"-C", sb.path("home"), "-c", cf, "daemon", mode}),
                  exits(1, "", taken))
            << mode;
    Trace by_hand = trace(sb, "by-hand.slt");
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "-u", "p", "t1", "by-hand.slt"}),
              exits(0, by_hand.line));
    EXPECT_FALSE(sb.exists("by-hand.slt"));

    ASSERT_EQ(kill(first->pid(), SIGKILL), 0);
    EXPECT_NE(first->wait(5s), -1);
    std::string uuid = trace(sb, "in/a.slt").uuid;
    auto next = daemon({"-f"});
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }, 7s));
    EXPECT_EQ(next->err(), kNoMonitor);

    config({{"p", "later", "t1"}}, "cf-later");
    std::unique_ptr<Background> two[2];
    for (auto &d : two)
        d = sb.spawn(TOLVANE_BINARY,
                     {"-C", sb.path("home"), "-c", sb.path("cf-later"), "daemon", "-f"});
    for (auto &d : two) ASSERT_TRUE(says(*d, kNoMonitor, 5s));
    uuid = trace(sb, "made/a.slt").uuid;
    ASSERT_EQ(rename(sb.path("made").c_str(), sb.path("later").c_str()), 0);
    EXPECT_TRUE(eventually([&] { return gone_and_stored("later/a.slt", uuid); }, 7s));
    auto started = std::chrono::steady_clock::now();
    int loser = says(*two[0], "is watched by another daemon", 6s) ? 0 : 1;
    std::this_thread::sleep_until(started + 6s);  // another tick of each
    const std::string missing = "warning: directory \"" + sb.path("later") +
                                "\" does not exist yet; it will be watched once it does.\n";
    EXPECT_EQ(two[1 - loser]->err(), missing + kNoMonitor);
    EXPECT_EQ(two[loser]->err(), missing + kNoMonitor + "error: directory \"" + sb.path("later") +
                                     "\" is watched by another daemon (process " +
                                     std::to_string(two[1 - loser]->pid()) + ").\n");
}
