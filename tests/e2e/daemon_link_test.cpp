// The daemon on a slow or stalled link (the shaping relay between it and the receiver), with
// daemon.timeout = 3: a child is ended for making no progress, never for running long, and
// nothing waits behind a long upload. The rules themselves (the time-out, the kill after it)
// are tried over a fake clock in tests/unit/daemon_policy_test.cpp.
#include <signal.h>

#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
class DaemonLink : public Daemon {
   protected:
    DaemonLink() { general = "daemon.timeout = 3\n"; }

    // The -d lines that started a child with this file among its words.
    size_t children_with(const Background &d, const std::string &rel) {
        std::istringstream in(d.err());
        size_t n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.starts_with("Command: ") && line.find(" " + sb.path(rel) + " ") != line.npos;
        return n;
    }
    // The daemon's children that have not been reaped, zombies included.
    static std::string children_of(const Background &d) {
        std::string pid = std::to_string(d.pid());
        std::ifstream in("/proc/" + pid + "/task/" + pid + "/children");
        std::string kids;
        std::getline(in, kids);
        return kids;
    }
};
}  // namespace

// A 2.5 MB trace through a 256 KiB/s link takes about ten seconds, more than three times the
// time-out, and arrives in one attempt: its child says it makes progress. Meanwhile a small
// trace arriving in the same directory goes to a second child, and one in another directory
// to a child of its own, and both are stored before the big one. No trace is in two children,
// and the store gets each once.
TEST_F(DaemonLink, SlowDeliveryOutlivesTheTimeOutAndNothingWaitsBehindIt) {
    rx.emplace(sb);
    Relay link(sb, "127.0.0.1:" + rx->port("http"), {"--up-rate", "256K"});
    write = "http://127.0.0.1:" + link.port();
    config({{"p1", "in", "t1"}, {"p2", "other", "t2"}});
    sb.mkdir("other");
    std::string big = trace(sb, "in/big.slt", {"--size", "2600000"}).uuid;
    auto d = daemon();
    ASSERT_TRUE(eventually([&] { return children_with(*d, "in/big.slt") == 1; }, 8s)) << d->err();
    std::this_thread::sleep_for(500ms);
    std::string same = drop("in/same.slt"), other = drop("other/other.slt");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/same.slt", same); }, 7s));
    EXPECT_TRUE(eventually([&] { return gone_and_stored("other/other.slt", other); }, 2s));
    EXPECT_FALSE(stored(big)) << "done before the small ones";
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/big.slt", big); }, 15s));
    EXPECT_EQ(children_with(*d, "in/big.slt"), 1u) << d->err();
    EXPECT_EQ(children_with(*d, "in/same.slt"), 1u) << d->err();
    EXPECT_EQ(children_with(*d, "other/other.slt"), 1u) << d->err();
    EXPECT_EQ(d->err().find("timed out"), std::string::npos) << d->err();
    EXPECT_EQ(rx->err().find("duplicate"), std::string::npos) << rx->err();
    EXPECT_TRUE(eventually([&] { return children_of(*d).empty(); }, 2s)) << children_of(*d);
}

// A link that goes silent after 100 KB: the child says nothing for the time-out, is sent
// SIGTERM and reaped, its trace kept and offered again, and stored once the link works again
// (a relay without the stall on the same port).
TEST_F(DaemonLink, StalledChildIsEndedAndItsTraceOfferedAgain) {
    rx.emplace(sb);
    auto stalling = std::make_unique<Relay>(sb, "127.0.0.1:" + rx->port("http"),
                                            std::vector<std::string>{"--stall-after", "100000"});
    const std::string port = stalling->port();
    write = "http://127.0.0.1:" + port;
    config({{"p", "in", "t1"}});
    std::string uuid = trace(sb, "in/a.slt", {"--size", "400000"}).uuid;
    auto d = daemon();
    const std::string timed_out = "warning: child has timed out.\n";
    ASSERT_TRUE(says(*d, timed_out, 12s)) << d->err();
    stalling.reset();
    Relay working(sb, "127.0.0.1:" + rx->port("http"), {"--listen", port});
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }, 8s)) << d->err();
    EXPECT_EQ(children_with(*d, "in/a.slt"), 2u) << d->err();
    EXPECT_EQ(count(d->err(), timed_out), 1u) << d->err();
    EXPECT_EQ(d->err().find("are failing"), std::string::npos) << d->err();
    EXPECT_EQ(rx->err().find("duplicate"), std::string::npos) << rx->err();
    EXPECT_TRUE(eventually([&] { return children_of(*d).empty(); }, 2s)) << children_of(*d);
}

// A child that ignores SIGTERM (a recording program that sleeps) is killed 5 s after its
// time-out, and reaped; its trace stays.
TEST_F(DaemonLink, ChildThatIgnoresSigtermIsKilledFiveSecondsLater) {
    config({{"p", "in", "t1"}});
    trace(sb, "in/a.slt");
    recorder("trap '' TERM\nexec /bin/sleep 120");  // ignored stays ignored across exec
    auto d = daemon({"-f"}, sb.path("rec"));
    std::string pid;
    ASSERT_TRUE(eventually(
        [&] { return sb.exists("rec.pid") && (pid = sb.read("rec.pid")).ends_with("\n"); }, 8s));
    const std::string proc = "/proc/" + pid.substr(0, pid.size() - 1);
    using clock = std::chrono::steady_clock;
    auto started = clock::now();
    const std::string timed_out = "warning: child has timed out.\n";
    ASSERT_TRUE(says(*d, timed_out, 5s));
    auto said = clock::now();
    EXPECT_GE(said - started, 2500ms);
    ASSERT_TRUE(eventually([&] { return access(proc.c_str(), F_OK) != 0; }, 8s)) << "not reaped";
    auto reaped = clock::now();
    EXPECT_GE(reaped - said, 4500ms);
    EXPECT_LE(reaped - said, 6500ms);
    EXPECT_TRUE(sb.exists("in/a.slt"));
    EXPECT_EQ(d->err(), kNoMonitor + timed_out);
}
