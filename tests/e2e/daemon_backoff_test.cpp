// The daemon when its store is down for a while, and when the store refuses one trace for good.
// Both run at once, each daemon with its own receiver, since each needs real minutes.
#include <dirent.h>

#include <regex>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
size_t entries(const std::string &path) {
    size_t n = 0;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// The daemon's lines for a failure message, without the list changes and events, and cut short.
std::string brief(const std::string &err) {
    std::istringstream in(err);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with("[+") && !line.starts_with("[-") && !line.starts_with("[E "))
            out += line.substr(0, 160) + "\n";
    return out;
}
}  // namespace

// Daemon A: 300 traces queued and more arriving while its store is down for 90 s. It starts
// far fewer children than one per tick, warns once with the first wait, and once the store is
// back it stores everything within the wait then under way, and says so once.
// Daemon B: its store refuses one trace (a UUID it has) while good traces trickle in more
// slowly than the ticks, so many ticks have nothing but the refused trace to offer. B never
// backs off, and does not offer the refused trace alone at every tick.
TEST_F(Daemon, BacksOffWhileTheStoreIsDownButNotForARefusedTrace) {
    rx.emplace(sb);
    rx->stop();
    config({{"p", "in", "t1"}});
    Receiver rx2(sb, {"--store", sb.mkdir("store2")});
    std::string cf2 =
        write_config(sb,
                     {.write = "http://127.0.0.1:" + rx2.port("http"),
                      .tokens = "t1 = " + kToken + "\n",
                      .tail = "[daemon]\nq.root = " + sb.path("in2") + "\nq.token = t1\n"},
                     "cf2");
    Result r = sb.run(TOLVANE_MKTRACE,
                      {"--size", "2048", "--count", "300", sb.mkdir("in") + "/q-%03d.slt"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string taken = trace(sb, "taken.slt").uuid;
    ASSERT_EQ(sb.tolvane({"-c", cf2, "put", "p", "t1", "taken.slt"}).status, 0);
    trace(sb, "in2/refused.slt", {"--uuid", taken});
    std::vector<std::string> good{drop("in2/g0.slt")};

    NotifyListener manager(sb.path("notify"));
    sb.setenv("NOTIFY_SOCKET", sb.path("notify"));
    // Standard output to a file: 300 result lines need not fit a pipe nobody reads.
    auto a = sb.spawn("/bin/sh", {"-c", "exec \"$@\" >a.out", "sh", TOLVANE_BINARY, "-C",
                                  sb.path("home"), "-c", cf, "daemon", "-f", "-d"});
    sb.unsetenv("NOTIFY_SOCKET");
    auto b = sb.spawn(TOLVANE_BINARY, {"-C", sb.path("home"), "-c", cf2, "daemon", "-f", "-d"});
    auto started = std::chrono::steady_clock::now();
    for (int i = 1; std::chrono::steady_clock::now() < started + 90s; i++) {
        std::this_thread::sleep_for(7s);
        good.push_back(drop("in2/g" + std::to_string(i) + ".slt"));
        drop("in/late" + std::to_string(i) + ".slt");  // waits for A's next attempt
    }
    const std::string down = a->err();
    rx->restart();
    auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return entries(sb.path("in")) == 0; }, 110s)) << brief(a->err());
    double recovered =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
    EXPECT_EQ(entries(sb.path("store")), 300 + good.size() - 1);

    const std::string root = sb.path("in");
    size_t children = count(down, "Command: ");
    EXPECT_GE(children, 3u);
    EXPECT_LE(children, 6u) << "one per tick would be 18";
    EXPECT_EQ(count(a->err(), "Command: "), children + 1) << "all in one child once back";
    std::smatch m;
    EXPECT_TRUE(std::regex_search(down, m,
                                  std::regex("\nwarning: uploads from \"" + root +
                                             "\" are failing; next attempt in ([0-9]+) s\\.\n")))
        << brief(down);
    if (!m.empty()) {
        EXPECT_TRUE(std::stoi(m[1]) >= 8 && std::stoi(m[1]) <= 12) << m[1];
    }
    EXPECT_EQ(count(a->err(), "are failing"), 1u);
    // Said once the child has ended.
    EXPECT_TRUE(says(*a, "warning: uploads from \"" + root + "\" work again.\n", 5s));
    // Back within the wait that was under way when the store returned.
    std::regex wait("next in ([0-9]+) ms\\.\n");
    std::string last;
    for (auto i = std::sregex_iterator(down.begin(), down.end(), wait); i != std::sregex_iterator();
         ++i)
        last = (*i)[1];
    ASSERT_FALSE(last.empty()) << brief(down);
    EXPECT_LE(recovered, std::stoi(last) / 1000.0 + 8) << "announced " << last << " ms";
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
        EXPECT_TRUE(eventually(said_and_recovered, 10s)) << manager.got().back().second;
    }
    for (size_t i = 0; i < good.size(); i++) {
        std::string g = "in2/g" + std::to_string(i) + ".slt";
        EXPECT_TRUE(eventually(
            [&] { return !sb.exists(g) && sb.exists("store2/" + good[i] + ".slt"); }, 10s))
            << g;
    }
    EXPECT_TRUE(sb.exists("in2/refused.slt"));
    EXPECT_EQ(b->err().find("warning: uploads from"), std::string::npos) << brief(b->err());
    EXPECT_GE(count(b->err(), "trace already exists with UUID " + taken), 2u);
    // A child per good trace, and at the start at most two more: the refused trace may come
    // first in the directory, and is offered alone once before it waits 5 minutes.
    EXPECT_LE(count(b->err(), "Command: "), good.size() + 2) << "the refused trace sent alone";
}
