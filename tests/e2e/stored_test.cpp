// What becomes of a trace that the store holds already, and of a stored trace that cannot be
// deleted, in put and in the daemon; and what put says on its progress channel (--progress-fd),
// which the daemon reads.
#include <sys/mount.h>
#include <unistd.h>

#include <thread>

#include "daemon_fixture.h"

using namespace e2e;

namespace {
class Stored : public Daemon {
   protected:
    // put (-C home -c cf put --progress-fd=3 args...) with descriptor 3 on the file "channel";
    // *channel gets its lines but "progress", and *progress the number of those.
    Result put(std::vector<std::string> args, std::string *channel, int *progress = nullptr) {
        args.insert(args.begin(), {"-c", "exec \"$@\" 3>channel", "sh", TOLVANE_BINARY, "-C",
                                   sb.path("home"), "-c", cf, "put", "--progress-fd=3"});
        Result r = sb.run("/bin/sh", args);
        std::istringstream in(sb.read("channel"));
        channel->clear();
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            if (line == "progress") {
                n++;
            } else {
                *channel += line + "\n";
            }
        }
        if (progress != nullptr) *progress = n;
        return r;
    }
};

// A read-only file system at `rel`: a tmpfs mounted there, to be filled and then remounted
// read-only (seal). Unmounted when this goes. Mounting needs root.
class ReadOnlyMount {
   public:
    ReadOnlyMount(const Sandbox &sb, const std::string &rel) : path_(sb.mkdir(rel)) {
        mounted_ = geteuid() == 0 && mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=16m") == 0;
    }
    ~ReadOnlyMount() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool seal() const {
        return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

   private:
    std::string path_;
    bool mounted_;
};
const char kNeedsRoot[] =
    "needs root, to mount a tmpfs and remount it read-only (mount -t tmpfs; mount -o remount,ro)";

const std::string kDelete = "\" but could not delete it: Read-only file system\n";
}  // namespace

// An HTTP 409 ("trace already exists") is handled as the session protocol's "exists": the store
// holds the file, so -u deletes it; the store's message, status 1, and put ends there. The
// channel says the file is stored.
TEST_F(Stored, PutDeletesWhatTheStoreHoldsAlready) {
    rx.emplace(sb, std::vector<std::string>{"--http", "0", "--session", "0"});
    config({});
    std::string held = trace(sb, "old.slt").uuid;
    ASSERT_EQ(sb.tolvane({"-C", sb.path("home"), "-c", cf, "put", "p", "t1", "old.slt"}).status, 0);
    const struct {
        std::string name, write;
        bool unlink;
        std::string message;  // for the held file "<name>2.slt"
    } cases[] = {
        {"h", "http://127.0.0.1:" + rx->port("http"), true,
         "error: failed to post file \"h2.slt\": trace already exists with UUID " + held + "\n"},
        {"k", "http://127.0.0.1:" + rx->port("http"), false,
         "error: failed to post file \"k2.slt\": trace already exists with UUID " + held + "\n"},
        {"s", "127.0.0.1:" + rx->port("session"), true,
         "error: failed to upload s2.slt: trace already exists with UUID\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write = c.write;
        config({}, "cf-" + c.name);
        std::string first = trace(sb, c.name + "1.slt").line;
        trace(sb, c.name + "2.slt", {"--uuid", held});
        trace(sb, c.name + "3.slt");
        std::vector<std::string> args{"p", "t1", c.name + "1.slt", c.name + "2.slt",
                                      c.name + "3.slt"};
        if (c.unlink) args.insert(args.begin(), "-u");
        std::string channel;
        EXPECT_EQ(put(args, &channel), exits(1, first, c.message));
        EXPECT_EQ(channel, "stored 0\nstored 1\n");
        EXPECT_EQ(sb.exists(c.name + "1.slt"), !c.unlink);
        EXPECT_EQ(sb.exists(c.name + "2.slt"), !c.unlink);
        EXPECT_TRUE(sb.exists(c.name + "3.slt"));
    }
}

// The channel over both transports through a slow link: "progress" about once a second while
// bytes go out, and what became of each file; "failed <i>" for the file put ends on. A value of
// --progress-fd that is no open descriptor above 2 is refused.
TEST_F(Stored, PutTellsItsChannelHowTheUploadGoes) {
    rx.emplace(sb, std::vector<std::string>{"--http", "0", "--session", "0"});
    Relay http(sb, "127.0.0.1:" + rx->port("http"), {"--up-rate", "512K"});
    Relay session(sb, "127.0.0.1:" + rx->port("session"), {"--up-rate", "512K"});
    const struct {
        std::string name, write;
    } links[] = {
        {"http", "http://127.0.0.1:" + http.port()},
        {"session", "127.0.0.1:" + session.port()},
    };
    for (const auto &l : links) {
        SCOPED_TRACE(l.name);
        write = l.write;
        config({});
        Trace small = trace(sb, l.name + "-s.slt"),
              big = trace(sb, l.name + "-b.slt", {"--size", "2200000"});
        std::string channel;
        int progress;
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(put({"-u", "p", "t1", small.path, big.path}, &channel, &progress),
                  exits(0, small.line + big.line));
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(channel, "stored 0\nstored 1\n");
        // About four seconds of the big one, of which the last the socket may have taken
        // already; at most one line a second.
        EXPECT_GE(progress, 2);
        EXPECT_LE(progress, static_cast<int>(seconds));
    }

    write = "http://127.0.0.1:1";
    config({});
    Trace a = trace(sb, "a.slt");
    std::string channel;
    EXPECT_EQ(put({"p", "t1", "a.slt"}, &channel).status, 1);
    EXPECT_EQ(channel, "failed 0\n");

    for (const char *value : {"1", "x", "3x", "99", "-4", ""}) {
        EXPECT_EQ(sb.tolvane(
                      {"-c", cf, "put", std::string("--progress-fd=") + value, "p", "t1", "a.slt"}),
                  exits(1, "",
                        "error: --progress-fd needs an open descriptor above 2, not \"" +
                            std::string(value) + "\".\n"))
            << value;
    }
}

// A stored trace that -u cannot delete: its result line, then the file and the system's reason;
// put goes on with the others and ends with status 1; the channel says "kept". So too for a
// trace the store held already.
TEST_F(Stored, PutFailsWhenItCannotDeleteAStoredTrace) {
    ReadOnlyMount ro(sb, "ro");
    if (!ro.mounted()) GTEST_SKIP() << kNeedsRoot;
    rx.emplace(sb, std::vector<std::string>{"--http", "0", "--session", "0"});
    const std::string http = "http://127.0.0.1:" + rx->port("http"),
                      session = "127.0.0.1:" + rx->port("session");
    std::string held = trace(sb, "old.slt").uuid;
    Trace a = trace(sb, "ro/a.slt"), b = trace(sb, "ro/b.slt"), s = trace(sb, "ro/s.slt");
    trace(sb, "ro/held.slt", {"--uuid", held});
    ASSERT_TRUE(ro.seal());
    write = http;
    config({});
    ASSERT_EQ(sb.tolvane({"-c", cf, "put", "p", "t1", "old.slt"}).status, 0);
    const struct {
        std::string write;
        std::vector<std::string> files;
        std::string out, err, channel;
    } cases[] = {
        {http,
         {"ro/a.slt", "ro/b.slt"},
         a.line + b.line,
         "error: stored \"ro/a.slt" + kDelete + "error: stored \"ro/b.slt" + kDelete,
         "kept 0\nkept 1\n"},
        {session, {"ro/s.slt"}, s.line, "error: stored \"ro/s.slt" + kDelete, "kept 0\n"},
        {http,
         {"ro/held.slt"},
         "",
         "error: stored \"ro/held.slt" + kDelete +
             "error: failed to post file \"ro/held.slt\": trace already exists with UUID " + held +
             "\n",
         "kept 0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.files[0]);
        write = c.write;
        config({});
        std::vector<std::string> args{"-u", "p", "t1"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        std::string channel;
        EXPECT_EQ(put(args, &channel), exits(1, c.out, c.err));
        EXPECT_EQ(channel, c.channel);
        for (const auto &f : c.files) EXPECT_TRUE(sb.exists(f)) << f;
    }
}

// The daemon on a read-only directory: each trace goes to the store once; put's message and the
// daemon's report are said once each (again only after an hour), and the traces are not sent
// again nor taken for a failing store.
TEST_F(Stored, DaemonDoesNotSendAgainWhatItCannotDelete) {
    ReadOnlyMount ro(sb, "ro");
    if (!ro.mounted()) GTEST_SKIP() << kNeedsRoot;
    rx.emplace(sb);
    config({{"p", "ro", "t1"}});
    std::vector<std::string> uuids{trace(sb, "ro/a.slt").uuid, trace(sb, "ro/b.slt").uuid};
    ASSERT_TRUE(ro.seal());
    auto d = daemon();
    for (const char *name : {"ro/a.slt", "ro/b.slt"}) {
        std::string path = sb.path(name);
        EXPECT_TRUE(says(
            *d, "warning: stored \"" + path + "\" cannot be deleted; it is not sent again.\n", 10s))
            << d->err();
        EXPECT_EQ(count(d->err(), "error: stored \"" + path + kDelete), 1u) << d->err();
    }
    for (const auto &uuid : uuids) EXPECT_TRUE(stored(uuid)) << uuid;
    ASSERT_TRUE(says(*d, "[T] Scanning for traces", 12s, 3));  // two more ticks
    EXPECT_EQ(count(d->err(), "Command: "), 1u) << d->err();
    EXPECT_EQ(count(d->err(), "cannot be deleted"), 2u) << d->err();
    EXPECT_EQ(rx->err().find("duplicate"), std::string::npos) << rx->err();
    EXPECT_EQ(d->err().find("are failing"), std::string::npos) << d->err();
}
