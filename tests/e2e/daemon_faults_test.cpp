// The daemon against a hostile or changing host: entries that are no trace file, a watched
// directory replaced under it, a slow store, a program found through PATH, a configuration
// home whose path the shell would change, and more events than the kernel queues.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
class DaemonFaults : public Daemon {
   protected:
    // The heartbeat record's tick count.
    int32_t ticks() {
        std::string r = sb.read("hb");
        int32_t t = -1;
        if (r.size() == 8) memcpy(&t, r.data() + 4, 4);
        return t;
    }
};

// Whether a -d line of the daemon says that it listed the path, or that it handed it to a child.
bool listed(const std::string &err, const std::string &path) {
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("[+") && line.ends_with("] " + path)) return true;
    }
    return false;
}
bool sent(const std::string &err, const std::string &path) {
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Command: ") && line.find(" " + path + " ") != std::string::npos)
            return true;
    }
    return false;
}

void make_socket(const std::string &path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof a.sun_path);
    memcpy(a.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    close(fd);  // the socket file stays
}
}  // namespace

// Entries under a trace name that are no regular file are never listed, opened or followed,
// whether there at the start or arriving later, and the traces beside them go on. A root that
// is a link, pointed at another directory (which no event reports), is watched there.
TEST_F(DaemonFaults, EntriesThatAreNoTraceFileNeverHoldTheOthersUp) {
    rx.emplace(sb);
    sb.mkdir("d1");
    ASSERT_EQ(symlink("d1", sb.path("link").c_str()), 0);
    config({{"p", "in", "t1"}, {"q", "link", "t2"}});
    std::string secret = trace(sb, "secret.slt").uuid;  // outside: only a link leads to it
    ASSERT_EQ(mkfifo(sb.path("outside.fifo").c_str(), 0644), 0);
    const std::vector<std::pair<std::string, std::function<void(const std::string &)>>> kinds = {
        {"fifo", [](const std::string &p) { EXPECT_EQ(mkfifo(p.c_str(), 0644), 0); }},
        {"socket", make_socket},
        {"directory", [](const std::string &p) { EXPECT_EQ(mkdir(p.c_str(), 0755), 0); }},
        {"link",
         [&](const std::string &p) {
             EXPECT_EQ(symlink(sb.path("secret.slt").c_str(), p.c_str()), 0);
         }},
        {"fifo-link",
         [&](const std::string &p) {
             EXPECT_EQ(symlink(sb.path("outside.fifo").c_str(), p.c_str()), 0);
         }},
    };
    std::vector<std::string> hostile;
    auto plant = [&](const std::string &when) {
        for (const auto &k : kinds) {
            hostile.push_back("in/" + when + "-" + k.first + ".slt");
            k.second(sb.path(hostile.back()));
        }
    };
    sb.mkdir("in");
    plant("before");
    std::string first = trace(sb, "in/first.slt").uuid;
    auto d = daemon();
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/first.slt", first); }));
    plant("after");
    std::string later = drop("in/later.slt");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/later.slt", later); }));

    sb.mkdir("d2");
    std::string moved = trace(sb, "d2/moved.slt").uuid;
    ASSERT_EQ(symlink("d2", sb.path("link.new").c_str()), 0);
    ASSERT_EQ(rename(sb.path("link.new").c_str(), sb.path("link").c_str()), 0);
    EXPECT_TRUE(eventually([&] { return gone_and_stored("d2/moved.slt", moved); }, 12s));

    for (const std::string &h : hostile) {
        EXPECT_TRUE(sb.exists(h)) << h;
        EXPECT_FALSE(listed(d->err(), sb.path(h)) || sent(d->err(), sb.path(h))) << h;
    }
    EXPECT_TRUE(sb.exists("secret.slt"));
    EXPECT_FALSE(stored(secret));
}

// A slow store keeps a child waiting eight seconds for its reply, and nothing waits for it: the
// heartbeat beats at the next tick, and what changes meanwhile is acted upon at once: a
// watched root replaced by a new directory is watched again, a listed file swapped for a FIFO
// is never sent, and after a flood of events past the kernel's queue (while the daemon is
// stopped), which takes a new trace's event with it, that trace goes to a child of its own
// before the slow one ends.
TEST_F(DaemonFaults, WhileAChildWaitsTheHeartbeatGoesOnAndChangesAreActedUpon) {
    rx.emplace(sb, std::vector<std::string>{"--delay-ms", "8000"});
    config({{"p1", "in", "t1"}, {"p2", "other", "t2"}});
    std::string slow = trace(sb, "in/slow.slt").uuid;
    sb.write("other/x.slt", "not a whole trace yet");  // listed, but not ready to send
    int fd = open(sb.write("hb", std::string(8, '\0')).c_str(), O_RDWR);
    sb.setenv("GIMLI_HB_FD", std::to_string(fd));  // inherited: no close-on-exec
    auto d = daemon();
    close(fd);
    // Stored at once, answered eight seconds later: the child is waiting for the reply.
    ASSERT_TRUE(eventually([&] { return stored(slow); }, 10s));
    int32_t before = ticks();
    auto answered = [&](const std::string &uuid) {
        return rx->err().find("stored " + uuid) != std::string::npos;
    };

    ASSERT_EQ(rename(sb.path("in").c_str(), sb.path("old").c_str()), 0);
    sb.mkdir("in");
    ASSERT_EQ(mkfifo(sb.path("other/fifo").c_str(), 0644), 0);
    ASSERT_EQ(rename(sb.path("other/fifo").c_str(), sb.path("other/x.slt").c_str()), 0);
    std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
    long limit = 0;
    limit_file >> limit;
    const bool flood = limit > 0 && limit <= 1 << 17;  // two events per file made and removed
    // The daemon reads events as they come: stopped, it lets the kernel's queue overflow.
    ASSERT_EQ(kill(d->pid(), SIGSTOP), 0);
    for (long i = 0; flood && i <= limit / 2; i++) {
        std::string f = sb.path("other/f" + std::to_string(i));
        close(open(f.c_str(), O_CREAT | O_WRONLY, 0644));
        unlink(f.c_str());
    }
    std::string unseen = trace(sb, "other/unseen.slt").uuid;
    ASSERT_EQ(kill(d->pid(), SIGCONT), 0);

    EXPECT_TRUE(says(*d, "Added watcher for " + sb.path("in") + "\n", 7s));
    EXPECT_TRUE(eventually([&] { return stored(unseen); }, 7s));
    EXPECT_GT(ticks(), before);
    EXPECT_FALSE(answered(slow)) << "the slow child had ended";

    std::string fresh = drop("in/fresh.slt");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/fresh.slt", fresh); }, 18s));
    EXPECT_TRUE(eventually([&] { return gone_and_stored("other/unseen.slt", unseen); }));
    EXPECT_TRUE(answered(slow));
    EXPECT_EQ(d->err().find("warning: events were lost;") != std::string::npos, flood);
    EXPECT_FALSE(sent(d->err(), sb.path("other/x.slt"))) << "sent a FIFO";
    EXPECT_TRUE(sb.exists("other/x.slt"));
    EXPECT_EQ(d->err().find("error"), std::string::npos) << d->err();
}

// Found through PATH, the daemon's children run the daemon's own program, never a file of that
// name in its working directory.
TEST_F(DaemonFaults, StartedThroughPathItRunsItselfNotAFileInTheWorkingDirectory) {
    rx.emplace(sb);
    config({{"p", "in", "t1"}});
    sb.write("tolvane", "#!/bin/sh\ntouch " + sb.path("planted-ran") + "\nexit 1\n", 0755);
    sb.setenv("PATH", sb.dir() + ":/usr/bin:/bin");  // and the working directory is sb.dir()
    std::string uuid = trace(sb, "in/a.slt").uuid;
    auto d = daemon({"-f", "-d"}, "tolvane");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }));
    EXPECT_FALSE(sb.exists("planted-ran"));
    char *real = realpath(TOLVANE_BINARY, nullptr);
    ASSERT_NE(real, nullptr);
    EXPECT_NE(d->err().find("Command: " + std::string(real) + " -C "), std::string::npos)
        << d->err();
    free(real);
}

// A configuration home whose path holds characters that shell-word expansion would change or
// refuse reaches the children as the same path; the configuration file's path is not
// expanded again at all.
TEST_F(DaemonFaults, ConfigurationHomeWithShellCharactersReachesTheChildren) {
    rx.emplace(sb);
    const std::vector<std::string> homes = {"o'brien x", "$dollar \"q\"", "semi;colon*"};
    std::vector<std::unique_ptr<Background>> daemons;
    std::vector<std::string> uuids;
    for (size_t i = 0; i < homes.size(); i++) {
        std::string in = "in" + std::to_string(i);
        config({{"p", in, "t1"}}, homes[i] + "/cf");
        uuids.push_back(trace(sb, in + "/a.slt").uuid);
        sb.setenv("HOME", sb.path(homes[i]));  // the default home, ~/.tolvane, lies below it
        daemons.push_back(
            sb.spawn(TOLVANE_BINARY, {"-c", sb.path(homes[i] + "/cf"), "daemon", "-f", "-d"}));
    }
    for (size_t i = 0; i < homes.size(); i++) {
        SCOPED_TRACE(homes[i]);
        std::string in = "in" + std::to_string(i);
        EXPECT_TRUE(eventually([&] { return gone_and_stored(in + "/a.slt", uuids[i]); }));
        EXPECT_EQ(daemons[i]->err().find("error"), std::string::npos) << daemons[i]->err();
    }
    EXPECT_NE(daemons[0]->err().find(" -C '" + sb.path("o'\\''brien x/.tolvane' -c ") +
                                     sb.path("o'brien x/cf") + " put "),
              std::string::npos)
        << daemons[0]->err();
}

// The heartbeat record cut short while the daemon runs: the next beat would fault. The daemon
// must neither stop for the monitor nor die; it says so once and goes on uploading. (Were it to
// ask the monitor for a trace, the signal would come here, so it is ignored meanwhile.)
TEST_F(DaemonFaults, TruncatedHeartbeatRecordIsSaidOnceAndTheDaemonGoesOn) {
    struct sigaction ignore {
    }, saved;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &saved);
    rx.emplace(sb);
    config({{"p", "in", "t1"}});
    sb.mkdir("in");
    int fd = open(sb.write("hb", std::string(8, '\0')).c_str(), O_RDWR);
    sb.setenv("GIMLI_HB_FD", std::to_string(fd));
    auto d = daemon();
    close(fd);
    ASSERT_TRUE(eventually([&] { return ticks() > 0; }, 10s));
    ASSERT_EQ(truncate(sb.path("hb").c_str(), 0), 0);
    const std::string said =
        "warning: the watchdog heartbeat record was truncated; going on without a heartbeat.\n";
    EXPECT_TRUE(says(*d, said, 10s));
    std::string uuid = drop("in/a.slt");
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }, 12s));
    std::ifstream stat("/proc/" + std::to_string(d->pid()) + "/stat");
    std::string state;
    std::getline(stat, state);
    EXPECT_EQ(state.find(") T "), std::string::npos) << state;  // not stopped for the monitor
    EXPECT_EQ(count(d->err(), said), 1u);
    EXPECT_EQ(sb.read("hb"), "");
    sigaction(SIGUSR2, &saved, nullptr);
}

// A trace whose name holds line feeds and an escape sequence, in a directory anyone can write,
// forges no line on standard error (the journal, under systemd) and sends nothing to a
// terminal: the daemon's messages, its debug lines and its children's messages show it escaped.
// One such trace is stored; another, which the store holds already, makes put name it.
TEST_F(DaemonFaults, FileNamesCannotForgeLines) {
    rx.emplace(sb);
    config({{"p", "in", "t1"}});
    const std::string forged = "a\": aborted connection.\nFORGED warning: x\n\x1b[31mred",
                      shown = "a\": aborted connection.\\nFORGED warning: x\\n\\x1b[31mred";
    std::string taken = trace(sb, "first.slt").uuid;
    ASSERT_EQ(sb.tolvane({"-c", cf, "put", "p", "t1", "first.slt"}).status, 0);
    // Made under plain names (the tool's output is split at blanks) and renamed.
    trace(sb, "made/held.slt", {"--uuid", taken});
    std::string uuid = trace(sb, "made/new.slt").uuid;
    sb.mkdir("in");
    ASSERT_EQ(
        rename(sb.path("made/held.slt").c_str(), sb.path("in/" + forged + " held.slt").c_str()), 0);
    ASSERT_EQ(rename(sb.path("made/new.slt").c_str(), sb.path("in/" + forged + ".slt").c_str()), 0);
    auto d = daemon();
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/" + forged + ".slt", uuid); }));
    EXPECT_TRUE(eventually([&] { return !sb.exists("in/" + forged + " held.slt"); }));
    const std::string in = sb.path("in/");
    EXPECT_TRUE(says(*d, "error: failed to post file \"" + in + shown +
                             " held.slt\": trace already exists with UUID " + taken + "\n"));
    std::string err = d->err();
    EXPECT_NE(err.find("] " + in + shown + ".slt\n"), std::string::npos) << err;  // [+0] ...
    EXPECT_NE(err.find(" " + in + shown + ".slt \n"), std::string::npos) << err;  // Command: ...
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
    EXPECT_EQ(err.find("\nFORGED"), std::string::npos) << err;
}
