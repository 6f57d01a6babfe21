// The daemon when its store is down: the real binary backs off and recovers. The waits, their
// jitter, marked traces and the rest of the rules are tried over a fake clock in
// tests/unit/daemon_policy_test.cpp; this shows the daemon follows them.
#include <cstdlib>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

// Store down: the first two ticks' children store nothing, the second of them starts the
// back-off, said once with its wait (8 to 12 s), and the next tick starts no child. Store back:
// the first child after the wait stores everything, and the recovery is said once (and shown in
// the service manager's status, where one listens).
TEST_F(Daemon, BacksOffWhileTheStoreIsDownAndRecovers) {
    rx.emplace(sb);
    rx->stop();
    config({{"p", "in", "t1"}});
    std::vector<std::string> uuids;
    for (const char *name : {"in/a.slt", "in/b.slt", "in/c.slt"})
        uuids.push_back(trace(sb, name).uuid);
    NotifyListener manager(sb.path("notify"));
    sb.setenv("NOTIFY_SOCKET", sb.path("notify"));
    auto d = daemon();
    sb.unsetenv("NOTIFY_SOCKET");

    const std::string root = sb.path("in");
    const std::string failing =
        "warning: uploads from \"" + root + "\" are failing; next attempt in ";
    ASSERT_TRUE(says(*d, failing, 15s)) << d->err();
    // The tick after the warning falls in the wait: it starts no child, so the store stays down
    // until then.
    ASSERT_TRUE(says(*d, "[T] Scanning for traces", 8s, 3)) << d->err();
    std::this_thread::sleep_for(1s);
    const std::string down = d->err();
    EXPECT_EQ(count(down, "Command: "), 2u) << "a child during the wait";
    rx->restart();
    // The whole line, on a line of its own, with the wait in seconds.
    size_t at = down.find(failing);
    EXPECT_TRUE(at == 0 || down[at - 1] == '\n') << down;
    std::string rest = down.substr(at + failing.size());
    int wait = std::atoi(rest.c_str());
    EXPECT_TRUE(wait >= 8 && wait <= 12) << rest;
    EXPECT_TRUE(rest.starts_with(std::to_string(wait) + " s.\n")) << rest;

    // Back at the tick nearest the end of the wait: within 12 s and a tick.
    const std::string again = "warning: uploads from \"" + root + "\" work again.\n";
    ASSERT_TRUE(says(*d, again, 18s)) << d->err();
    for (const auto &uuid : uuids) EXPECT_TRUE(stored(uuid)) << uuid;
    EXPECT_FALSE(sb.exists("in/a.slt") || sb.exists("in/b.slt") || sb.exists("in/c.slt"));
    EXPECT_EQ(count(d->err(), "Command: "), 3u) << "all in one child once back";
    EXPECT_EQ(count(d->err(), failing), 1u);
    EXPECT_EQ(count(d->err(), again), 1u);
    if (kNotifies) {  // said in the status, and then the status of a list all sent
        auto said_and_recovered = [&] {
            bool said = false;
            for (const auto &[at, text] : manager.got()) {
                said = said || text.ends_with("; backing off: 1");
                if (said && text.find("traces queued: 0; last upload: 2") != std::string::npos &&
                    text.ends_with("; backing off: 0"))
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(eventually(said_and_recovered, 8s)) << manager.got().back().second;
    }
}
