// What the daemon's children get from it besides their arguments: a fixed set of the daemon's
// environment variables (so that they behave as put run by hand), and standard streams that are
// open even when the daemon's were not.
#include <algorithm>
#include <sstream>

#include "daemon_fixture.h"
#include "tinyproxy.h"

using namespace e2e;

namespace {
const std::vector<std::string> kPassedOn = {"http_proxy",   "https_proxy",    "no_proxy",
                                            "all_proxy",    "HTTP_PROXY",     "HTTPS_PROXY",
                                            "NO_PROXY",     "ALL_PROXY",      "SSL_CERT_FILE",
                                            "SSL_CERT_DIR", "CURL_CA_BUNDLE", "JOURNAL_STREAM"};
}  // namespace

// A child's environment is HOME and the proxy, certificate and journal variables of the
// daemon's, each when set, and nothing else: neither the daemon's other variables nor the
// service manager's socket. (The stand-in is a shell script: the shell adds PWD itself.)
TEST_F(Daemon, ChildrenGetExactlyTheDocumentedEnvironment) {
    config({{"p", "in", "t1"}});
    recorder("/usr/bin/env | grep -v '^PWD=' | sort >" + sb.path("env.tmp") + " && mv " +
             sb.path("env.tmp") + " " + sb.path("env.out"));
    trace(sb, "in/a.slt");
    struct Case {
        bool set;
        std::string expected;
    } cases[] = {{true, ""}, {false, ""}};
    std::vector<std::string> all{"HOME=" + sb.dir()};
    for (const std::string &name : kPassedOn) all.push_back(name + "=value of " + name);
    std::sort(all.begin(), all.end());
    for (const std::string &line : all) cases[0].expected += line + "\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.set);
        for (const std::string &name : kPassedOn) {
            if (c.set) {
                sb.setenv(name, "value of " + name);
            } else {
                sb.unsetenv(name);
            }
        }
        if (!c.set) sb.unsetenv("HOME");
        sb.setenv("TOLVANE_MARK", "stays with the daemon");
        sb.setenv("NOTIFY_SOCKET", sb.path("nobody-listens"));
        std::remove(sb.path("env.out").c_str());
        auto d = daemon({"-f"}, sb.path("rec"));
        EXPECT_TRUE(eventually([&] { return sb.exists("env.out"); }, 8s));
        EXPECT_EQ(sb.read("env.out"), c.expected);
        d->stop();
    }
}

// Proxy and home reach the uploads: the daemon's http_proxy sends its children's uploads through
// tinyproxy, and a cache.path that names $HOME expands in them as in put run by hand.
TEST_F(Daemon, ChildrenUploadThroughTheDaemonsProxyAndExpandHome) {
    ASSERT_EQ(access(kTinyproxy, X_OK), 0) << kTinyproxy << " is missing: run scripts/setup";
    rx.emplace(sb);
    int port;
    auto proxy = start_proxy(sb, {}, &port);
    ASSERT_NE(proxy, nullptr) << "tinyproxy did not start";
    general = "cache.path = $HOME/cache\n";
    config({{"p", "in", "t1"}});
    sb.setenv("http_proxy", "http://127.0.0.1:" + std::to_string(port));
    std::string uuid = trace(sb, "in/a.slt").uuid;
    auto d = daemon({"-f"});
    EXPECT_TRUE(eventually([&] { return gone_and_stored("in/a.slt", uuid); }, 8s)) << d->err();
    std::string log = sb.read("proxy.log");
    EXPECT_NE(log.find("POST http://127.0.0.1:" + rx->port("http") + "/post?token="),
              std::string::npos)
        << log;
    EXPECT_EQ(d->err(), kNoMonitor);
}

// Started with its standard output closed, the daemon gives its children /dev/null there: put
// fails when it cannot write a result line, so they would otherwise fail every upload they
// made. Detaching must not close a descriptor of the daemon's own that took that number either.
TEST_F(Daemon, ClosedStandardOutputIsNoFailureOfItsChildren) {
    rx.emplace(sb);
    for (bool foreground : {true, false}) {
        SCOPED_TRACE(foreground);
        std::string dir = foreground ? "in-f" : "in";
        config({{"p", dir, "t1"}}, "cf-" + dir);
        std::string uuid = trace(sb, dir + "/a.slt").uuid;
        std::vector<std::string> words{TOLVANE_BINARY, "-C", sb.path("home"), "-c", cf, "daemon"};
        if (foreground) words.push_back("-f");
        std::vector<std::string> args{"-c", "exec \"$0\" \"$@\" >&-"};
        args.insert(args.end(), words.begin(), words.end());
        auto d = sb.spawn("/bin/sh", args);
        if (!foreground) {
            EXPECT_EQ(d->wait(5s), 0);
            EXPECT_NE(detached(words), 0);
        }
        EXPECT_TRUE(eventually([&] { return gone_and_stored(dir + "/a.slt", uuid); }, 8s));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(d->err(), foreground ? kNoMonitor : "");
    }
}
