// put through a real forward proxy, tinyproxy on loopback with its own configuration and log:
// plain HTTP that the proxy forwards, and HTTPS (and HTTP) tunnelled through it with CONNECT.
#include <gtest/gtest.h>

#include "harness.h"
#include "tinyproxy.h"

using namespace e2e;
using namespace std::chrono_literals;

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
