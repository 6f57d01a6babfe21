// The daemon under load while its store comes and goes: every trace that arrives ends up
// stored, and none is removed before it is.
#include <dirent.h>

#include <map>
#include <set>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
// The names in a directory.
std::vector<std::string> entries(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *e = readdir(dir)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(dir);
    }
    return names;
}
}  // namespace

// 2,000 traces arrive in two watched directories, half written in place and half moved in,
// while the receiver is stopped and started again three times. Each receiver stores into a
// directory of its own, so that a trace sent again after its reply was cut by a stop shows as
// a second copy, which only such a trace may have.
TEST_F(Daemon, SoakStoreGoesAwayThreeTimesWhileTracesArrive) {
    const int kReceivers = 4, kBatches = 8, kBatch = 250;
    const std::string kFailed = "error: failed to post file";
    std::vector<std::string> logs;
    rx.emplace(sb, std::vector<std::string>{"--store", sb.mkdir("store0")});
    const std::string port = rx->port("http");
    config({{"p1", "w1", "t1"}, {"p2", "w2", "t2"}});
    sb.mkdir("w1");
    sb.mkdir("w2");
    // Standard output goes to a file: the children's 2,000 result lines would fill a pipe.
    auto d = sb.spawn("/bin/sh", {"-c", "exec \"$@\" >daemon.out", "sh", TOLVANE_BINARY, "-C",
                                  sb.path("home"), "-c", cf, "daemon", "-f"});
    std::set<std::string> made;
    auto batch = [&](int b) {
        std::string dir = "w" + std::to_string(1 + b % 2), name = "b" + std::to_string(b);
        bool moved = b % 4 >= 2;
        std::string where = moved ? sb.mkdir("staging/" + name) : sb.path(dir);
        Result r = sb.run(TOLVANE_MKTRACE, {"--size", "2048", "--count", std::to_string(kBatch),
                                            where + "/" + name + "-%04d.slt"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        for (std::string path, uuid, sig; lines >> path >> uuid >> sig;) {
            made.insert(uuid);
            if (moved) {
                std::string to = sb.path(dir + path.substr(path.rfind('/')));
                ASSERT_EQ(rename(path.c_str(), to.c_str()), 0);
            }
        }
    };
    for (int b = 0, stops = 0; b < kBatches; b++) {
        if (b % 2 == 0 || stops == kReceivers - 1) {
            batch(b);
            std::this_thread::sleep_for(1s);
            continue;
        }
        // Stopped, perhaps while it takes an upload, and down until a child has failed on
        // traces made meanwhile, or for 6 s: the children of both directories run side by side
        // and meet every outage, so both lists soon back off, and then try nothing for a while.
        rx->stop();
        logs.push_back(rx->err());
        batch(b);
        const size_t failed = count(d->err(), kFailed);
        eventually([&] { return count(d->err(), kFailed) > failed; }, 6s);
        rx.emplace(sb, std::vector<std::string>{
                           "--store", sb.mkdir("store" + std::to_string(++stops)), "--http", port});
    }
    ASSERT_EQ(made.size(), static_cast<size_t>(kBatches * kBatch));
    EXPECT_GE(count(d->err(), kFailed), 2u) << "the store was never missed";
    std::map<std::string, std::vector<int>> copies;  // uuid -> the receivers that stored it
    auto settled = [&] {
        copies.clear();
        for (int k = 0; k < kReceivers; k++) {
            for (const std::string &name : entries(sb.path("store" + std::to_string(k))))
                copies[name.substr(0, name.find('.'))].push_back(k);
        }
        return entries(sb.path("w1")).empty() && entries(sb.path("w2")).empty() &&
               copies.size() >= made.size();
    };
    EXPECT_TRUE(eventually(settled, 60s)) << copies.size() << " stored\n" << d->err();
    logs.push_back(rx->err());
    for (const std::string &uuid : made) EXPECT_EQ(copies.count(uuid), 1u) << uuid << " lost";
    for (const auto &[uuid, by] : copies) {
        EXPECT_EQ(made.count(uuid), 1u) << uuid << " never made";
        // Every copy but the last was stored by a receiver that stopped before its reply left.
        for (size_t i = 0; i + 1 < by.size(); i++)
            EXPECT_EQ(logs[static_cast<size_t>(by[i])].find("stored " + uuid), std::string::npos)
                << uuid << " sent again after a reply";
    }
    for (int b = 0; b < kBatches; b++)
        EXPECT_TRUE(entries(sb.path("staging/b" + std::to_string(b))).empty()) << b;
}
