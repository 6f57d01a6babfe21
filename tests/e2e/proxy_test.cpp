// put through a real forward proxy, tinyproxy on loopback with its own configuration and log:
// plain HTTP that the proxy forwards, and HTTPS (and HTTP) tunnelled through it with CONNECT.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
const char kTinyproxy[] = "/usr/bin/tinyproxy";

// Connects to a loopback port, or with port 0 binds one that is free now; the port, or 0.
int loopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    bool ok = port != 0 ? connect(s, sa, len) == 0
                        : bind(s, sa, len) == 0 && getsockname(s, sa, &len) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : 0;
}

// tinyproxy on a free loopback port that lets CONNECT through to `connect_ports` only, logging
// every request to proxy.log; stopped with the returned process. Its port goes to *port.
std::unique_ptr<Background> start_proxy(const Sandbox &sb,
                                        const std::vector<std::string> &connect_ports, int *port) {
    // The proxy cannot take port 0, so a free one is chosen first; should another program take
    // it in between, the proxy ends and another port is tried.
    for (int attempt = 0; attempt < 3; attempt++) {
        *port = loopback(0);
        std::string conf = "Port " + std::to_string(*port) +
                           "\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\nAllow 127.0.0.1\n"
                           "LogLevel Connect\nLogFile \"" +
                           sb.path("proxy.log") + "\"\n";
        for (const std::string &p : connect_ports) conf += "ConnectPort " + p + "\n";
        auto proxy = sb.spawn(kTinyproxy, {"-d", "-c", sb.write("tinyproxy.conf", conf)});
        for (int i = 0; i < 500 && proxy->wait(0ms) == -1; i++) {
            if (loopback(*port) != 0) return proxy;
            usleep(10000);
        }
    }
    return nullptr;
}
}  // namespace

TEST(Proxy, UploadsThroughTinyproxy) {
    ASSERT_EQ(access(kTinyproxy, X_OK), 0) << kTinyproxy << " is missing: run scripts/setup";
    Sandbox sb;
    Receiver rx(sb, {"--http", "0", "--https", "0", "--cert-out", "ca.pem"});
    const std::string http = rx.port("http"), https = rx.port("https");
    int port;
    auto proxy = start_proxy(sb, {http, https}, &port);
    ASSERT_NE(proxy, nullptr) << "tinyproxy did not start";
    const std::string at = "curl.proxy = 127.0.0.1:" + std::to_string(port) + "\n";
    const std::string split =
        "curl.proxy = 127.0.0.1\ncurl.proxyport = " + std::to_string(port) + "\n";
    const std::string tunnel = "curl.httpproxytunnel = true\n";
    const std::string ca = "curl.cainfo = " + sb.path("ca.pem") + "\n";
    struct Case {
        std::string write, universe, logged;  // logged: the request line the proxy saw
    } cases[] = {
        {"http://127.0.0.1:" + http, at, "POST http://127.0.0.1:" + http + "/post?token="},
        {"http://127.0.0.1:" + http, split, "POST http://127.0.0.1:" + http + "/post?token="},
        {"https://localhost:" + https, split + tunnel + ca,
         "CONNECT localhost:" + https + " HTTP/1.1"},
        {"http://127.0.0.1:" + http, at + tunnel, "CONNECT 127.0.0.1:" + http + " HTTP/1.1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.write + "\n" + c.universe);
        sb.write("proxy.log", "");
        std::string cf = write_config(sb, {.write = c.write, .universe = c.universe});
        Trace a = trace(sb, "a.slt"), b = trace(sb, "b.slt", {"--size", "70000"});
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "-u", "p", "t", "a.slt", "b.slt"}),
                  exits(0, a.line + b.line));
        for (const Trace &t : {a, b}) EXPECT_TRUE(sb.exists("store/" + t.uuid + ".slt"));
        std::string log = sb.read("proxy.log");
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
}
