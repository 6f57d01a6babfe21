// Session-protocol TLS against real peers with certificates made here: verified uploads reach the
// store through socat, refused certificates end the upload before any byte of it is sent (seen
// on the wire and at openssl s_server), protocol versions and SNI as the peer sees them, and a
// refused TLS switch that never turns into a plaintext connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
const std::string kHeader("\0\0AA", 4);
const std::string kRawToken(32, '\xaa');  // kToken as it travels in a command frame

class TlsVerify : public ::testing::Test {
   protected:
    void openssl(const std::vector<std::string> &args) {
        Result r = sb.run("/usr/bin/openssl", args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // A P-256 key and certificate <name>.key and <name>.pem with the extensions `ext`: self-signed
    // without an issuer, otherwise signed by <issuer>.
    void certificate(const std::string &name, const std::string &ext,
                     const std::string &issuer = "", const std::string &days = "2") {
        std::string cnf = sb.write(name + ".cnf",
                                   "[req]\ndistinguished_name = dn\nprompt = no\n"
                                   "[dn]\nCN = " +
                                       name + "\n[x]\n" + ext + "\n");
        std::vector<std::string> req{"req",
                                     "-config",
                                     cnf,
                                     "-newkey",
                                     "ec",
                                     "-pkeyopt",
                                     "ec_paramgen_curve:P-256",
                                     "-nodes",
                                     "-keyout",
                                     name + ".key"};
        if (issuer.empty()) {
            req.insert(req.end(),
                       {"-x509", "-extensions", "x", "-days", days, "-out", name + ".pem"});
            openssl(req);
            return;
        }
        req.insert(req.end(), {"-out", name + ".csr"});
        openssl(req);
        openssl({"x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey",
                 issuer + ".key", "-CAcreateserial", "-days", days, "-extfile", cnf, "-extensions",
                 "x", "-out", name + ".pem"});
    }
    void certificates() {
        const std::string ca = "basicConstraints = critical,CA:TRUE\nkeyUsage = keyCertSign\n";
        const std::string local = "subjectAltName = DNS:localhost,IP:127.0.0.1\n";
        certificate("ca", ca);
        certificate("otherca", ca);
        certificate("good", local, "ca");
        certificate("self", local);
        certificate("unknown", local, "otherca");
        certificate("elsewhere", "subjectAltName = DNS:elsewhere.test,IP:127.0.0.9\n", "ca");
        certificate("expired", local, "ca", "-1");
        // The same CA as a directory of certificates named by subject hash.
        std::string hash = sb.run("/usr/bin/openssl", {"x509", "-hash", "-noout", "-in", "ca.pem"})
                               .out.substr(0, 8);
        sb.write("cadir/" + hash + ".0", sb.read("ca.pem"));
    }

    // socat with `args`, and the loopback port it took (it names it in its log).
    std::unique_ptr<Background> socat(std::vector<std::string> args, std::string *port) {
        args.insert(args.begin(), {"-d", "-d"});
        auto p = sb.spawn("/usr/bin/socat", args);
        port->clear();
        for (int i = 0; i < 250 && port->empty(); i++, std::this_thread::sleep_for(20ms)) {
            std::string log = p->err();
            size_t at = log.find("listening on ");
            size_t colon = at == std::string::npos ? at : log.find(':', at);
            size_t end = colon == std::string::npos ? colon : log.find('\n', colon);
            if (end != std::string::npos) *port = log.substr(colon + 1, end - colon - 1);
        }
        EXPECT_FALSE(port->empty()) << p->err();
        return p;
    }
    // openssl s_server for one connection with <cert>; its standard output is what it reports
    // and the application data it decrypted. Its input stays open, or it would stop at once.
    std::unique_ptr<Background> s_server(const std::string &cert, std::vector<std::string> extra,
                                         std::string *port) {
        std::vector<std::string> args{
            "-c",
            "sleep 600 | /usr/bin/openssl s_server \"$@\" | while read -r line; do\n"
            "  case $line in 'ACCEPT '*) echo \"${line##*:}\"; echo ready; exec cat;; esac\n"
            "done",
            "sh",
            "-accept",
            "127.0.0.1:0",
            "-naccept",
            "1",
            "-cert",
            sb.path(cert + ".pem"),
            "-key",
            sb.path(cert + ".key")};
        args.insert(args.end(), extra.begin(), extra.end());
        auto p = sb.spawn("/bin/sh", args);
        *port = p->read_until("ready");
        port->pop_back();
        return p;
    }
    void config(const std::string &host, const std::string &port, const std::string &settings) {
        cf = write_config(sb, {.write = host + ":" + port, .universe = "ssl = true\n" + settings});
    }
    Result put(const std::string &file) { return sb.tolvane({"-c", cf, "put", "p", "t", file}); }

    Sandbox sb;
    std::string cf;
};
}  // namespace

TEST_F(TlsVerify, VerifiedAndUnverifiedUploadsAreStored) {
    certificates();
    Receiver rx(sb, {"--session", "0"});
    std::map<std::string, std::string> port;
    std::vector<std::unique_ptr<Background>> fronts;
    for (const char *cert : {"good", "self"}) {
        fronts.push_back(socat({"OPENSSL-LISTEN:0,bind=127.0.0.1,reuseaddr,fork,cert=" +
                                    sb.path(std::string(cert) + ".pem") +
                                    ",key=" + sb.path(std::string(cert) + ".key") + ",verify=0",
                                "TCP:127.0.0.1:" + rx.port("session")},
                               &port[cert]));
    }
    const std::string ca = "write.ssl.ca = " + sb.path("ca.pem") + "\n";
    struct Case {
        std::string cert, host, settings;
    } cases[] = {
        {"good", "127.0.0.1", "write.ssl.verify = true\n" + ca},
        {"good", "localhost",
         "write.ssl.verify = TRUE\nwrite.ssl.ca = " + sb.path("cadir") +
             "\nwrite.ssl.method = TLSv13\n"},
        {"good", "localhost", "write.ssl.verify = true\nwrite.ssl.method = tls\n" + ca},
        {"self", "127.0.0.1", ""},  // verification is off unless asked for
        {"self", "localhost", "write.ssl.verify = false\n" + ca},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + " " + c.settings);
        config(c.host, port[c.cert], c.settings);
        std::string name = "f" + std::to_string(n++) + ".slt";
        Trace t = trace(sb, name);
        EXPECT_EQ(put(name), exits(0, t.line));
        EXPECT_EQ(sb.read("store/" + t.uuid + ".slt"), sb.read(name));
    }
}

// Every refusal names its reason, and neither the wire (a recording relay in front of the
// server) nor the server's decrypted input holds the connection header or the token.
TEST_F(TlsVerify, RefusedPeersGetNoByteOfTheUpload) {
    certificates();
    trace(sb, "f.slt");
    const std::string ca = "write.ssl.ca = " + sb.path("ca.pem") + "\n";
    const std::string failed = "certificate verify failed: ";
    struct Case {
        std::string cert, host, settings;
        std::vector<std::string> server;
        std::string reason;
    } cases[] = {
        {"self", "127.0.0.1", ca, {}, failed + "self-signed certificate"},
        {"unknown", "127.0.0.1", ca, {}, failed + "unable to get local issuer certificate"},
        {"good", "127.0.0.1", "", {}, failed + "unable to get local issuer certificate"},
        {"elsewhere", "localhost", ca, {}, failed + "hostname mismatch"},
        {"elsewhere", "127.0.0.1", ca, {}, failed + "IP address mismatch"},
        {"expired", "127.0.0.1", ca, {}, failed + "certificate has expired"},
        {"good",
         "127.0.0.1",
         ca + "write.ssl.method = TLSv13\n",
         {"-tls1_2"},
         "tlsv1 alert protocol version"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason + " " + c.cert);
        std::string server_port, relay_port;
        auto server = s_server(c.cert, c.server, &server_port);
        std::filesystem::remove(sb.path("wire"));
        auto relay = socat({"-r", sb.path("wire"), "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr",
                            "TCP:127.0.0.1:" + server_port},
                           &relay_port);
        config(c.host, relay_port, "write.ssl.verify = true\n" + c.settings);
        EXPECT_EQ(put("f.slt"), exits(1, "",
                                      "error: TLS handshake with " + c.host + ":" + relay_port +
                                          " failed: " + c.reason + ".\n"));
        std::string decrypted = server->read_until("CONNECTION CLOSED");
        EXPECT_NE(relay->wait(10s), -1);
        std::string wire = sb.read("wire");
        EXPECT_FALSE(wire.empty());  // the handshake did pass through the relay
        for (const std::string &seen : {wire, decrypted}) {
            EXPECT_EQ(seen.find(kHeader), std::string::npos);
            EXPECT_EQ(seen.find(kRawToken), std::string::npos);
        }
    }
}

TEST_F(TlsVerify, VersionsAndServerNameAsThePeerSeesThem) {
    certificates();
    trace(sb, "f.slt");
    const std::string verified = "write.ssl.verify = true\nwrite.ssl.ca = " + sb.path("ca.pem");
    struct Case {
        std::string host, settings;
        std::vector<std::string> server;
        std::string cipher;  // TLS 1.3 suites are the ones named TLS_*
        bool sni;
    } cases[] = {
        {"localhost", verified + "\nwrite.ssl.method = TLSv13\n", {}, "TLS_", true},
        {"127.0.0.1", "write.ssl.method = TLS\n", {}, "TLS_", false},
        {"localhost", "write.ssl.method = tls\n", {"-tls1_2"}, "ECDHE-", true},
        {"localhost", "", {}, "ECDHE-", true},  // the default stays TLS 1.2
        {"127.0.0.1", verified + "\nwrite.ssl.method = TLSv12\n", {}, "ECDHE-", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + " " + c.settings);
        std::vector<std::string> extra = {"-servername",       "localhost", "-cert2",
                                          sb.path("good.pem"), "-key2",     sb.path("good.key"),
                                          "-tlsextdebug"};
        extra.insert(extra.end(), c.server.begin(), c.server.end());
        std::string port;
        auto server = s_server("good", extra, &port);
        config(c.host, port, c.settings);
        auto client = sb.spawn(TOLVANE_BINARY, {"-c", cf, "put", "p", "t", "f.slt"});
        std::string seen = server->read_until("Secure Renegotiation IS supported");
        EXPECT_NE(seen.find("\nCIPHER is " + c.cipher), std::string::npos) << seen;
        EXPECT_EQ(seen.find("Hostname in TLS extension: \"localhost\"") != std::string::npos, c.sni)
            << seen;
        // This server never answers: ending it ends the upload.
        server->stop();
        int status = client->wait(10s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    }
}

// A refused value for the writer's TLS switch leaves the choice unknown: the upload ends before
// connecting at all, where it would otherwise have gone out in plaintext.
TEST_F(TlsVerify, ARefusedTlsSwitchNeverConnects) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    std::string write = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    trace(sb, "f.slt");
    const std::string refused = "error: invalid SSL setting for universe u; not connecting.\n";
    auto invalid = [&](const std::string &key, const std::string &value, int line) {
        return "error: " + key + " = \"" + value + "\" at line " + std::to_string(line) + " of " +
               sb.path("cf") + "; it takes true or false.\nerror: invalid SSL value.\n";
    };
    struct Case {
        std::string universe, err;
    } cases[] = {
        {"ssl = yes\n", invalid("ssl", "yes", 4) + refused},
        {"write.ssl.enabled = 1\n", invalid("write.ssl.enabled", "1", 4) + refused},
        // A later valid line does not undo the refusal; a later block keeps it too.
        {"write.ssl.enabled = on\nssl = false\n", invalid("write.ssl.enabled", "on", 4) + refused},
        {"ssl = maybe\n[universe]\nname = u\nssl = true\n", invalid("ssl", "maybe", 4) + refused},
        {"ssl = true\n[universe]\nname = u\nssl = maybe\n", invalid("ssl", "maybe", 7) + refused},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.universe);
        cf = write_config(sb, {.write = write, .universe = c.universe});
        EXPECT_EQ(put("f.slt"), exits(1, "", c.err));
        EXPECT_LT(accept(listener, nullptr, nullptr), 0);  // nobody ever connected
        EXPECT_EQ(errno, EAGAIN);
    }
    close(listener);
}

TEST_F(TlsVerify, VerificationSettingsThatCannotWork) {
    trace(sb, "f.slt");
    config("127.0.0.1", "1", "write.ssl.verify = yes\n");
    EXPECT_EQ(put("f.slt"), exits(1, "",
                                  "error: write.ssl.verify = \"yes\" at line 5 of " + cf +
                                      "; it takes true or false.\n"
                                      "error: invalid write.ssl.verify value.\n"));
    config("127.0.0.1", "1",
           "write.ssl.verify = true\nwrite.ssl.ca = " + sb.path("none.pem") + "\n");
    Result r = put("f.slt");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("error: failed to load CA certificates from " +
                                  sb.path("none.pem") + ": SSL error: "))
        << r.err;
    config("127.0.0.1", "1", "write.ssl.method = TLSv1.3\n");
    EXPECT_EQ(put("f.slt"),
              exits(1, "", "error: TLSv1.3 is not a supported SSL method on this system.\n"));
}
