// put against hostile and changing files: what is not a regular file, a trace moved in under
// the same name while put -u uploads (also under the daemon), a trace that changes while its
// upload runs, and a peer that resets the connection in the middle of a payload.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = 15s) {
    for (auto end = std::chrono::steady_clock::now() + limit; !condition();) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The receiver with HTTP, plain session and TLS session ports, and a configuration per kind.
class PutFaults : public ::testing::Test {
   protected:
    void start(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--http", "0", "--session", "0", "--session-tls", "0"});
        rx.emplace(sb, extra);
    }
    // kind: "http", "session" or "session-tls".
    void config(const std::string &kind) {
        std::string port = rx ? rx->port(kind) : "1";
        cf =
            write_config(sb, {.write = (kind == "http" ? "http://127.0.0.1:" : "127.0.0.1:") + port,
                              .universe = kind == "session-tls" ? "ssl = true\n" : ""});
    }
    Result put(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", cf, "put"});
        return sb.tolvane(args);
    }
    // Runs put in the background while `meanwhile` acts, once `ready` holds.
    Result put_while(std::vector<std::string> args, const std::function<bool()> &ready,
                     const std::function<void()> &meanwhile) {
        auto running = std::async(std::launch::async, [&] { return put(args); });
        EXPECT_TRUE(eventually(ready)) << rx->err();
        meanwhile();
        return running.get();
    }
    Sandbox sb;
    std::optional<Receiver> rx;
    std::string cf;
};

const char *const kKinds[] = {"http", "session", "session-tls"};
}  // namespace

TEST_F(PutFaults, OnlyRegularFilesAreUploaded) {
    start();
    config("http");
    Trace t = trace(sb, "t.slt");
    mkfifo(sb.path("fifo.slt").c_str(), 0644);
    sb.mkdir("dir.slt");
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    std::string sock = sb.path("sock.slt");
    sock.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(s);
    for (auto [link, target] : {std::pair{"link.slt", "t.slt"},
                                {"fifo-link.slt", "fifo.slt"},
                                {"dangling.slt", "nothing.slt"},
                                {"device.slt", "/dev/null"}})
        fs::create_symlink(target, sb.path(link));
    auto refused = [](const std::string &name, const std::string &why = "not a regular file") {
        return exits(1, "", "error: failed to open file (" + name + "): " + why + "\n");
    };
    struct Case {
        std::string name;
        Result expected;
    } cases[] = {
        {"fifo.slt", refused("fifo.slt")},
        {"sock.slt", refused("sock.slt")},
        {"dir.slt", refused("dir.slt")},
        {"fifo-link.slt", refused("fifo-link.slt")},
        {"device.slt", refused("device.slt")},
        {"dangling.slt", refused("dangling.slt", "No such file or directory")},
        // A link the user names is followed; -u deletes the link, never the file it leads to.
        {"link.slt", exits(0, t.line)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(put({"-u", "p", "t", c.name}), c.expected);
        EXPECT_EQ(fs::is_symlink(sb.path(c.name)) || sb.exists(c.name), c.name != "link.slt");
    }
    EXPECT_TRUE(sb.exists("t.slt"));
}

TEST_F(PutFaults, TraceMovedInDuringUploadIsKept) {
    // The receiver stores each trace, then waits before it answers: the new file comes then.
    start({"--delay-ms", "700"});
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        config(kind);
        Trace old = trace(sb, "a.slt"), fresh = trace(sb, "staged/a.slt");
        std::string content = sb.read("staged/a.slt");
        Result r = put_while(
            {"-u", "p", "t", "a.slt"}, [&] { return sb.exists("store/" + old.uuid + ".slt"); },
            [&] { fs::rename(sb.path("staged/a.slt"), sb.path("a.slt")); });
        EXPECT_EQ(r, exits(0, old.line,
                           "warning: a.slt was replaced during its upload; the new file is "
                           "kept.\n"));
        EXPECT_EQ(sb.read("a.slt"), content);
        EXPECT_EQ(put({"-u", "p", "t", "a.slt"}), exits(0, fresh.line));
        EXPECT_FALSE(sb.exists("a.slt"));
    }
}

TEST_F(PutFaults, TraceMovedInWhileADaemonChildUploadsIsUploadedLater) {
    start({"--delay-ms", "1500"});
    cf = write_config(sb, {.write = "http://127.0.0.1:" + rx->port("http"),
                           .tail = "[daemon]\nw.root = " + sb.path("in") + "\nw.token = t\n"});
    sb.mkdir("in");
    auto daemon = sb.spawn(TOLVANE_BINARY, {"-C", sb.path("home"), "-c", cf, "daemon", "-f"});
    Trace old = trace(sb, "staged/old/a.slt"), fresh = trace(sb, "staged/new/a.slt");
    fs::rename(sb.path("staged/old/a.slt"), sb.path("in/a.slt"));
    ASSERT_TRUE(eventually([&] { return sb.exists("store/" + old.uuid + ".slt"); }));
    fs::rename(sb.path("staged/new/a.slt"), sb.path("in/a.slt"));
    EXPECT_TRUE(eventually([&] { return sb.exists("store/" + fresh.uuid + ".slt"); }, 30s))
        << daemon->err();
    EXPECT_TRUE(eventually([&] { return !sb.exists("in/a.slt"); }));
    EXPECT_NE(daemon->err().find("warning: " + sb.path("in/a.slt") + " was replaced"),
              std::string::npos)
        << daemon->err();
}

TEST_F(PutFaults, TraceThatChangesDuringItsUploadFailsIt) {
    // The receiver stops reading each body for a while once its first MiB has arrived.
    start({"--body-pause-ms", "1000"});
    constexpr size_t size = 24 << 20;
    const std::function<void(const std::string &)> changes[] = {
        [](const std::string &path) { fs::resize_file(path, 4 << 20); },   // truncated
        [](const std::string &path) { fs::resize_file(path, 0); },         // emptied
        [](const std::string &path) { fs::resize_file(path, size + 1); },  // grown
        [](const std::string &path) {  // rewritten in place: same size, new modification time
            std::this_thread::sleep_for(20ms);
            FILE *f = fopen(path.c_str(), "r+");
            fseek(f, 8 << 20, SEEK_SET);
            fputs("rewritten", f);
            fclose(f);
        },
    };
    for (const char *kind : kKinds) {
        config(kind);
        for (size_t i = 0; i < std::size(changes); i++) {
            SCOPED_TRACE(std::string(kind) + " change " + std::to_string(i));
            trace(sb, "big.slt", {"--size", std::to_string(size)});
            size_t from = rx->err().size();
            Result r = put_while(
                {"-u", "p", "t", "big.slt"},
                [&] { return rx->err().find("body paused", from) != std::string::npos; },
                [&] { changes[i](sb.path("big.slt")); });
            EXPECT_EQ(r, exits(1, "", "error: file \"big.slt\" changed during its upload.\n"));
            EXPECT_TRUE(sb.exists("big.slt"));
        }
    }
}

TEST_F(PutFaults, PeerThatResetsDuringThePayloadIsAWriteError) {
    start({"--body-reset"});
    trace(sb, "big.slt", {"--size", std::to_string(16 << 20)});
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        config(kind);
        Result r = put({"p", "t", "big.slt"});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        // The cause first (the line before), then the error; which of them depends on where
        // the client meets the reset first.
        const std::string at = "127.0.0.1:" + rx->port(kind);
        const std::string reset = "error: the connection to " + at +
                                  " was reset during the upload (connection reset by peer).\n";
        const std::string piped = "error: the connection to " + at +
                                  " was closed by the server during the upload (broken pipe).\n";
        auto posting = [&at](const std::string &curl_text) {
            return "error: the connection to " + at + " failed during the upload (" + curl_text +
                   ": Connection reset by peer).\nerror: failed to post file \"big.slt\": "
                   "aborted connection.\n";
        };
        const std::string errors[] = {
            posting("select/poll returned error"),
            posting("Send failure"),
            posting("Recv failure"),
            reset + "error: failed to send to " + at + " (connection reset by peer).\n",
            piped + "error: failed to send to " + at + " (broken pipe).\n",
            reset + "error: connection reset by peer\n",
        };
        EXPECT_NE(std::find(std::begin(errors), std::end(errors), r.err), std::end(errors))
            << r.err;
        EXPECT_TRUE(sb.exists("big.slt"));
    }
}
