// Reloading the daemon's configuration with SIGHUP: roots added and removed while children run,
// with every trace stored once and none lost, and configurations that do not load, which leave
// the running one in place.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
// Whether the service manager has been told of `n` reloads, each RELOADING=1 (with the
// monotonic time) followed by READY=1.
bool reloads_told(NotifyListener &manager, size_t n) {
    return eventually(
        [&] {
            size_t told = 0;
            bool reloading = false;
            for (const auto &[at, text] : manager.got()) {
                if (text.starts_with("RELOADING=1\nMONOTONIC_USEC=")) reloading = true;
                if (reloading && text.starts_with("READY=1\n")) {
                    told++;
                    reloading = false;
                }
            }
            return told == n && !reloading;
        },
        3s);
}

size_t files_in(const std::string &dir) {
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) n += e.is_regular_file();
    return n;
}
}  // namespace

// While children of both roots upload (each upload takes 0.7 s), one root leaves the
// configuration, another comes in (with a trace there already) and the one that stays changes
// its token. The running children finish; the root that stays and the new one upload what
// arrives; what arrives in the removed one stays. The store holds each trace once.
TEST_F(Daemon, ReloadAddsAndRemovesRootsWithNothingLostOrSentTwice) {
    rx.emplace(sb, std::vector<std::string>{"--delay-ms", "700"});
    config({{"p", "keep", "t1"}, {"q", "gone", "t2"}});
    std::map<std::string, std::string> expected;  // every trace to be stored, by file
    for (const char *name : {"keep/k0.slt", "keep/k1.slt", "keep/k2.slt", "gone/g0.slt",
                             "gone/g1.slt", "gone/g2.slt", "new/n0.slt"})
        expected[name] = trace(sb, name).uuid;
    NotifyListener manager(sb.path("notify"));
    sb.setenv("NOTIFY_SOCKET", sb.path("notify"));
    auto d = daemon({"-f", "-d"});
    ASSERT_TRUE(eventually([&] { return stored(expected["gone/g0.slt"]); }, 8s)) << d->err();
    ASSERT_TRUE(sb.exists("gone/g2.slt")) << "the child of the removed root ended too soon";
    config({{"p", "keep", "t2"}, {"r", "new", "t1"}});
    ASSERT_EQ(kill(d->pid(), SIGHUP), 0);
    EXPECT_TRUE(says(*d, "configuration reloaded from \"" + cf + "\".\n", 3s)) << d->err();
    EXPECT_EQ(reloads_told(manager, 1), kNotifies);
    expected["keep/k3.slt"] = drop("keep/k3.slt");
    expected["new/n1.slt"] = drop("new/n1.slt");
    std::string left = drop("gone/g3.slt");
    EXPECT_TRUE(eventually(
        [&] {
            for (const auto &e : expected)
                if (!gone_and_stored(e.first, e.second)) return false;
            return true;
        },
        15s))
        << d->err();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(sb.exists("gone/g3.slt"));
    EXPECT_FALSE(stored(left));
    EXPECT_EQ(files_in(sb.path("store")), expected.size());
    EXPECT_EQ(count(rx->err(), "duplicate"), 0u) << rx->err();
    // The children started after the reload got the new token.
    EXPECT_NE(d->err().find(" -- p t2 " + sb.path("keep/k3.slt") + " \n"), std::string::npos)
        << d->err();
    EXPECT_EQ(d->err().find("error"), std::string::npos) << d->err();
}

// A configuration that does not load, or names a token that does not exist, is not taken up:
// the daemon says why (the loader's own message) and that it goes on, tells the service manager
// it is ready again, and goes on uploading under the configuration it had.
TEST_F(Daemon, ReloadOfABrokenConfigurationKeepsTheOneInUse) {
    rx.emplace(sb);
    sb.mkdir("in");
    config({{"p", "in", "t1"}});
    const std::string tokens = "[token]\nt1 = " + kToken + "\n";
    struct Case {
        std::string text;  // the configuration file's; none: no file
        std::string said;
    } cases[] = {
        {tokens + "[daemon]\np.root = in\n",
         "error: daemon configuration requires absolute paths for root specification at line "
         "4.\n"},
        {tokens, "error: no watchers specified in configuration file.\n"},
        {"", "error: configuration file could not be opened: No such file or directory\n"},
        // Last: a file that put can load, so that the old settings' children still upload.
        {"", "error: no such token [nope] found.\n"},
    };
    NotifyListener manager(sb.path("notify"));
    sb.setenv("NOTIFY_SOCKET", sb.path("notify"));
    auto d = daemon({"-f"});
    ASSERT_TRUE(says(*d, kNoMonitor, 5s));
    std::string expected_err = kNoMonitor;
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.said);
        if (i == 3) {
            config({{"p", "in", "nope"}});
        } else if (c.said.find("could not be opened") != std::string::npos) {
            std::remove(cf.c_str());
        } else {
            sb.write("cf", c.text);
        }
        ASSERT_EQ(kill(d->pid(), SIGHUP), 0);
        expected_err += c.said +
                        "warning: the configuration was not reloaded; the daemon goes on with the "
                        "one it had.\n";
        EXPECT_TRUE(eventually([&] { return d->err() == expected_err; }, 3s)) << d->err();
        EXPECT_EQ(reloads_told(manager, i + 1), kNotifies);
    }
    std::string uuid = drop("in/a.slt");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }, 7s)) << d->err();
    EXPECT_EQ(d->err(), expected_err);
}
