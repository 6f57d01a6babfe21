// put over the session protocol, plain and in TLS, against the receiver and against socat
// terminating TLS in front of it: result lines, server errors, response forms, cut-offs.
#include <gtest/gtest.h>

#include <unistd.h>

#include "harness.h"

using namespace e2e;

namespace {
class PutSession : public ::testing::Test {
   protected:
    // Starts the receiver with a plain and a TLS session port plus the extra options.
    void start(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--session", "0", "--session-tls", "0", "--cert-out",
                                     sb.path("cert.pem"), "--key-out", sb.path("key.pem")});
        rx.emplace(sb, extra);
        plain = rx->port("session");
        tls = rx->port("session-tls");
    }
    void config(const std::string &port, const std::string &extra = "") {
        cf = write_config(sb,
                          {.write = "127.0.0.1:" + port,
                           .universe = extra,
                           .tokens = "t = " + kToken + "\nother = " + std::string(64, 'c') + "\n"});
    }
    Result put(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", cf, "put"});
        return sb.tolvane(args);
    }
    Sandbox sb;
    std::optional<Receiver> rx;
    std::string plain, tls, cf;
};
}  // namespace

TEST_F(PutSession, PlainAndTlsStoreFilesInOrder) {
    start();
    Trace a = trace(sb, "a.slt"), b = trace(sb, "b.slt", {"--size", "3000000"}),
          c = trace(sb, "c.slt");
    config(plain);
    EXPECT_EQ(put({"p", "t", "a.slt", "b.slt"}), exits(0, a.line + b.line));
    EXPECT_EQ(sb.read("b.slt"), sb.read("store/" + b.uuid + ".slt"));
    config(tls, "ssl = true\n");
    EXPECT_EQ(put({"-u", "p", "t", "c.slt"}), exits(0, c.line));
    EXPECT_FALSE(sb.exists("c.slt"));
    // Old protocol versions still connect when the configuration asks for them.
    config(tls, "write.ssl.enabled = true\nwrite.ssl.method = tlsv11\n");
    Result r = put({"--randomize-uuid", "p", "t", "a.slt", "b.slt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(rx->err().find("TLSv1.1"), std::string::npos);
}

TEST_F(PutSession, TlsThroughSocatInFrontOfThePlainPort) {
    start();
    Sandbox proxy_box;
    auto proxy = proxy_box.spawn(
        "/usr/bin/socat", {"-d", "-d",
                           "OPENSSL-LISTEN:0,bind=127.0.0.1,reuseaddr,fork,cert=" +
                               sb.path("cert.pem") + ",key=" + sb.path("key.pem") + ",verify=0",
                           "TCP:127.0.0.1:" + plain});
    // socat names the port it listens on in its log: "listening on AF=2 127.0.0.1:<port>".
    std::string port;
    for (int i = 0; i < 100 && port.empty(); i++) {
        std::string log = proxy->err();
        size_t at = log.find("listening on ");
        size_t colon = at == std::string::npos ? at : log.find(':', at);
        size_t end = colon == std::string::npos ? colon : log.find('\n', colon);
        if (end != std::string::npos) port = log.substr(colon + 1, end - colon - 1);
        usleep(20000);
    }
    ASSERT_FALSE(port.empty()) << proxy->err();
    Trace big = trace(sb, "big.slt", {"--size", "20000000"});
    config(port, "ssl = true\n");
    EXPECT_EQ(put({"p", "t", "big.slt"}), exits(0, big.line));
    EXPECT_EQ(sb.read("big.slt"), sb.read("store/" + big.uuid + ".slt"));
}

TEST_F(PutSession, ResponseBodiesAndTheirForms) {
    std::string line = trace(sb, "f.slt", {"--size", "2000"}).line;
    struct Case {
        std::vector<std::string> receiver;
        std::string left;
    } cases[] = {
        {{"--session-body", "stored as 17"}, "stored as 17"},
        {{"--session-body-text", "id-9"}, "id-9"},
        {{"--session-body", "x"}, line.substr(0, 64)},  // a single byte is not shown
        {{"--session-body-text", ""}, line.substr(0, 64)},
        {{"--session-body-text", "split", "--session-split", "5"}, "split"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.left);
        start(c.receiver);
        config(plain);
        EXPECT_EQ(put({"--randomize-uuid", "p", "t", "f.slt"}).status, 0);
        config(tls, "ssl = true\n");
        Result r = put({"--randomize-uuid", "p", "t", "f.slt"});
        ASSERT_EQ(r.status, 0) << r.err;
        if (c.left.size() == 64) {
            EXPECT_EQ(r.out.substr(0, 64), c.left);
        } else {
            EXPECT_EQ(r.out.substr(0, c.left.size() + 4), c.left + " => ");
        }
    }
}

TEST_F(PutSession, ExistingTraceWithUnlinkStopsAtThatFile) {
    start();
    config(plain);
    std::string stored = trace(sb, "old.slt").uuid;
    ASSERT_EQ(put({"p", "t", "old.slt"}).status, 0);
    std::string first = trace(sb, "1.slt").line;
    trace(sb, "2.slt", {"--uuid", stored});
    trace(sb, "3.slt");
    EXPECT_EQ(put({"-u", "p", "t", "1.slt", "2.slt", "3.slt"}),
              exits(1, first, "error: failed to upload 2.slt: trace already exists with UUID\n"));
    EXPECT_FALSE(sb.exists("1.slt"));
    EXPECT_FALSE(sb.exists("2.slt"));
    EXPECT_TRUE(sb.exists("3.slt"));
}

TEST_F(PutSession, ServerErrorsAndStatuses) {
    trace(sb, "f.slt");
    start();
    config(plain);
    EXPECT_EQ(put({"p", "other", "f.slt"}), exits(1, "", "error: invalid token\n"));
    struct Case {
        std::vector<std::string> receiver;
        std::string err;
    } cases[] = {
        {{"--session-status", "1"}, "error: unrecognized server status\n"},
        {{"--session-status", "7"}, "error: unrecognized server status\n"},
        {{"--session-status", "2", "--session-substatus", "2"}, "error: internal server error\n"},
        {{"--session-status", "2", "--session-substatus", "4"}, "error: protocol error\n"},
        {{"--session-status", "2", "--session-substatus", "7"}, "error: \n"},
        {{"--session-close"},
         "error: the connection to 127.0.0.1:<port> was closed by the server during the greeting "
         "(end of file).\nerror: end of file\n"},
        {{"--session-length", "4294967296"}, "error: response body too large.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        start(c.receiver);
        config(plain);
        std::string err = c.err;
        if (size_t at = err.find("<port>"); at != std::string::npos) err.replace(at, 6, plain);
        EXPECT_EQ(put({"p", "t", "f.slt"}), exits(1, "", err));
    }
    rx.reset();
    config("1");  // nothing listens there
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "", "error: failed to connect to 127.0.0.1:1 (connection refused).\n"));
}

TEST_F(PutSession, DisconnectCutsTheFirstPayloadShort) {
    start();
    trace(sb, "g.slt");
    // A small payload goes from memory; a large one from its file.
    for (const unsigned long size : {100000ul, 24ul << 20}) {
        trace(sb, "f.slt", {"--size", std::to_string(size)});
        for (const std::string &port : {plain, tls}) {
            SCOPED_TRACE(port + " " + std::to_string(size));
            config(port, port == tls ? "ssl = true\n" : "");
            Result r = put({"-D", "p", "t", "f.slt", "g.slt"});
            const std::string prefix = "warning: aborting after ", suffix = " bytes.\n";
            ASSERT_TRUE(r.err.starts_with(prefix) && r.err.ends_with(suffix)) << r.err;
            std::string count =
                r.err.substr(prefix.size(), r.err.size() - prefix.size() - suffix.size());
            ASSERT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << r.err;
            EXPECT_EQ(r, exits(0, "", r.err));
            EXPECT_LT(std::stoul(count), size);
            // The receiver saw the full length announced and only the cut-off part arrive.
            std::string seen =
                "command 2 length " + std::to_string(size) + " received " + count + " ";
            for (int i = 0; i < 100 && rx->err().find(seen) == std::string::npos; i++)
                usleep(20000);
            EXPECT_NE(rx->err().find(seen), std::string::npos) << rx->err();
        }
    }
    EXPECT_TRUE(sb.exists("f.slt") && sb.exists("g.slt"));
}

TEST_F(PutSession, TlsContextSettings) {
    trace(sb, "f.slt");
    start();
    config(plain, "write.ssl.method = TLSv1.2\n");
    EXPECT_EQ(put({"p", "t", "f.slt"}),
              exits(1, "", "error: TLSv1.2 is not a supported SSL method on this system.\n"));
    config(tls, "ssl = true\nwrite.ssl.certificate = " + sb.path("missing.pem") + "\n");
    EXPECT_EQ(put({"--randomize-uuid", "p", "t", "f.slt"}).status, 0);
    sb.write("bad.pem", "not a certificate\n");
    config(plain, "write.ssl.certificate = " + sb.path("bad.pem") + "\n");
    Result r = put({"p", "t", "f.slt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("error: failed to load certificate file: SSL error: error:"))
        << r.err;
    EXPECT_EQ(r.out, "");
}
