// The check command: one line per universe and per watcher on standard output, each problem on
// standard error, and a status that says whether all is well; with --connect, whether each
// universe's first write server can be reached.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "cause_lines.h"
#include "harness.h"

using namespace e2e;

namespace {
class Check : public ::testing::Test {
   protected:
    Result check(const std::string &cf, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"-c", cf, "-C", sb.path("home"), "check"};
        args.insert(args.end(), more.begin(), more.end());
        return sb.tolvane(args);
    }
    Sandbox sb;
};
}  // namespace

TEST_F(Check, AGoodConfigurationAndABrokenOne) {
    std::string in = sb.mkdir("in");
    std::string good =
        write_config(sb, {.head = "[universe]\nname = old\nwrite = [::1]:4000\nssl = true\n"
                                  "write.ssl.verify = true\n",
                          .write = "https://crash.example:443",
                          .tail = "[daemon]\np.root = " + in + "\np.token = t\n"});
    EXPECT_EQ(check(good),
              exits(0,
                    "universe old: writes to [::1]:4000 over the session protocol with TLS "
                    "(certificate verified)\n"
                    "universe u: writes to crash.example:443 over HTTPS; put uses it\n"
                    "watcher p: " +
                        in + " with token t\n"));

    std::string file = sb.write("file", "x");
    std::string locked = sb.mkdir("locked");
    chmod(locked.c_str(), 0500);
    std::string broken = write_config(
        sb,
        {.head = "[universe]\nname = bare\nread = r:1\n",
         .write = "h:4000",
         .universe = "ssl = true\n",
         .tail = "[daemon]\na.root = " + sb.path("missing") + "\na.token = t\nb.root = " + file +
                 "\nb.token = nope\nc.root = " + locked + "\nc.token = t\n"},
        "broken");
    std::string unverified =
        "warning: universe u: the session protocol's TLS does not verify the server's "
        "certificate; set write.ssl.verify = true.\n";
    // Root may write anywhere: the locked directory is a problem only for others.
    std::string not_writable =
        geteuid() == 0 ? ""
                       : "error: watcher c: root " + locked +
                             ": Permission denied (it must be readable and writable).\n";
    EXPECT_EQ(check(broken),
              exits(1,
                    "universe bare: no write server\n"
                    "universe u: writes to h:4000 over the session protocol with TLS (certificate "
                    "not verified); put uses it\n"
                    "watcher a: " +
                        sb.path("missing") +
                        " with token t\n"
                        "watcher b: " +
                        file +
                        " with token nope\n"
                        "watcher c: " +
                        locked + " with token t\n",
                    "error: universe bare has no write server (write = host:port).\n" + unverified +
                        "error: watcher a: root " + sb.path("missing") +
                        ": No such file or directory.\n"
                        "error: watcher b: no token named \"nope\" in the [token] block.\n"
                        "error: watcher b: root " +
                        file + " is not a directory.\n" + not_writable));
    EXPECT_EQ(check(sb.write("empty", "# nothing\n")),
              exits(1, "", "error: no universe is configured; put needs one to upload to.\n"));
    EXPECT_EQ(check(good, {"extra"}).status, 1);
}

namespace {
// A listener on 127.0.0.1 whose queue is full, so that a connect to it is never answered.
struct Unanswered {
    int fd = -1, filler = -1;
    std::string port;
    Unanswered() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), n) != 0 || listen(fd, 0) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n) != 0 ||
            connect(filler, reinterpret_cast<sockaddr *>(&a), n) != 0)
            throw std::runtime_error("cannot fill a listener's queue");
        port = std::to_string(ntohs(a.sin_port));
    }
    ~Unanswered() {
        close(filler);
        close(fd);
    }
};
}  // namespace

// --connect connects to each universe's first write server as put would, with its TLS
// verification and the connect limit, and sends nothing: no request, no command, no token.
TEST_F(Check, ConnectReachesEachFirstWriteServerAndSendsNothing) {
    Receiver rx(sb, {"--http", "0", "--https", "0", "--session", "0", "--session-tls", "0",
                     "--cert-out", "ca.pem"});
    const std::string http = rx.port("http"), https = rx.port("https"),
                      session = rx.port("session"), tls = rx.port("session-tls"),
                      closed = closed_port(), ca = sb.path("ca.pem");
    Unanswered slow;
    auto universe = [](const std::string &name, const std::string &write,
                       const std::string &more = "") {
        return "[universe]\nname = " + name + "\nwrite = " + write + "\n" + more;
    };
    std::string cf = write_config(
        sb, {.head = "[general]\nupload.connect_timeout = 1\n" +
                     universe("http", "http://127.0.0.1:" + http) +
                     universe("https-unverified", "https://localhost:" + https,
                              "curl.ssl_verifypeer = false\n") +
                     universe("https", "https://localhost:" + https, "curl.cainfo = " + ca + "\n") +
                     universe("session", "127.0.0.1:" + session) +
                     universe("session-tls", "localhost:" + tls,
                              "ssl = true\nwrite.ssl.verify = true\nwrite.ssl.ca = " + ca + "\n") +
                     universe("closed", "127.0.0.1:" + closed) +
                     universe("closed-http", "http://127.0.0.1:" + closed) +
                     universe("slow", "127.0.0.1:" + slow.port),
             .write = "https://localhost:" + https});
    const std::string lines =
        "universe http: writes to 127.0.0.1:" + http + " over HTTP" +
        "\nuniverse https-unverified: writes to localhost:" + https + " over HTTPS" +
        "\nuniverse https: writes to localhost:" + https + " over HTTPS" +
        "\nuniverse session: writes to 127.0.0.1:" + session + " over the session protocol" +
        "\nuniverse session-tls: writes to localhost:" + tls +
        " over the session protocol with TLS (certificate verified)" +
        "\nuniverse closed: writes to 127.0.0.1:" + closed + " over the session protocol" +
        "\nuniverse closed-http: writes to 127.0.0.1:" + closed + " over HTTP" +
        "\nuniverse slow: writes to 127.0.0.1:" + slow.port + " over the session protocol" +
        "\nuniverse u: writes to localhost:" + https + " over HTTPS; put uses it\n";
    EXPECT_EQ(check(cf), exits(0, lines));

    const std::string verified = "connected (TLS, certificate verified)";
    std::string out;
    size_t at = 0;
    for (const char *outcome :
         {"connected", "connected (TLS, certificate not verified)", verified.c_str(), "connected",
          verified.c_str(), "not connected", "not connected", "not connected", "not connected"}) {
        size_t end = lines.find('\n', at);
        out += lines.substr(at, end - at) + "; " + outcome + "\n";
        at = end + 1;
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ms_masked(check(cf, {"--connect"})),
              exits(1, out,
                    "error: failed to connect to 127.0.0.1:" + closed +
                        " (connection refused).\n"
                        "error: universe closed: cannot connect to 127.0.0.1:" +
                        closed + ".\n" + http_refused("127.0.0.1:" + closed, "127.0.0.1", closed) +
                        "error: universe closed-http: cannot connect to 127.0.0.1:" + closed +
                        ".\n"
                        "error: the connection to 127.0.0.1:" +
                        slow.port +
                        " timed out after 1 s during the TCP connect.\n"
                        "error: universe slow: cannot connect to 127.0.0.1:" +
                        slow.port +
                        ".\n"
                        "error: the connection to localhost:" +
                        https +
                        " failed during the TLS handshake (SSL certificate problem: self-signed "
                        "certificate).\n"
                        "error: universe u: cannot connect to localhost:" +
                        https + ".\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The receiver heard no request and no command: two sessions that ended with none.
    auto count = [](const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    std::string log;
    for (int i = 0; i < 200 && count(log = rx.err(), "command(s)") < 2; i++) usleep(20000);
    EXPECT_EQ(count(log, "closed by the client after 0 command(s)"), 2) << log;
    EXPECT_EQ(count(log, "command(s)"), 2) << log;
    EXPECT_EQ(log.find(" -> "), std::string::npos) << log;
    EXPECT_EQ(log.find("bad request"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::is_empty(sb.path("store")));
}

TEST_F(Check, UsageNamesConnect) {
    const std::string usage =
        "Usage: check [-h | --help] [--connect]\n"
        "\n"
        "    --connect    Also connect to each universe's first write server (nothing is sent).\n"
        "    -h, --help   Print this message.\n";
    std::string cf = sb.write("empty", "# nothing\n");
    EXPECT_EQ(check(cf, {"--help"}), exits(0, usage));
    EXPECT_EQ(check(cf, {"--connects"}),
              exits(1, "", "check: unrecognized option '--connects'\n" + usage));
}
