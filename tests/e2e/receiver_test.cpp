// tolvane-receiver end to end, with Debian's curl as the client: what is stored, what is
// refused, keep-alive, HTTPS against the certificate it writes, and a misbehaviour; then the
// session side through a client of a few lines, and through openssl s_client for TLS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

// A trace whose UUID bytes are all `id` and signature bytes all 0xab: 330 header bytes, then
// `body` bytes, of which the first section claims `declared`.
std::string trace(unsigned char id, size_t body, uint64_t declared) {
    std::string t(330, '\0');
    memset(&t[26], id, 16);
    memset(&t[42], 0xab, 32);
    for (int i = 0; i < 8; i++) t[86 + i] = static_cast<char>(declared >> (8 * i));
    return t + std::string(body, 'x');
}

std::string repeat(const std::string &s, int n) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
}

std::string le(uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += static_cast<char>(v >> (8 * i));
    return s;
}

const std::string kConnectionHeader("\0\0AA", 4);
const std::string kKey(32, '\xaa');  // e2e::kToken's raw bytes

std::string frame(int code, const std::string &key, uint64_t length) {
    return std::string(1, static_cast<char>(code)) + std::string(4, '\0') + key + le(length, 8);
}

std::string record(uint32_t seq, uint32_t status, uint64_t substatus, uint64_t length = 0) {
    return le(seq, 4) + le(status, 4) + le(substatus, 8) + le(length, 8);
}

// One plain connection; a read waits at most 10 s.
class SessionClient {
   public:
    explicit SessionClient(const std::string &port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    ~SessionClient() { close(fd_); }
    void send(const std::string &s) {
        EXPECT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    std::string receive(size_t n) {
        std::string r(n, '\0');
        size_t got = 0;
        for (ssize_t k; got < n && (k = recv(fd_, &r[got], n - got, 0)) > 0;) got += k;
        return r.substr(0, got);
    }

   private:
    int fd_;
};

class ReceiverTest : public ::testing::Test {
   protected:
    void start(const std::vector<std::string> &extra) {
        rx.emplace(sb, extra);
        store = fs::canonical(sb.path("store")).string();
    }
    std::string base(const std::string &scheme) const {
        return scheme + "://127.0.0.1:" + rx->port(scheme) + "/post";
    }

    // Uploads the files in one curl process, so over one connection when it can; per file
    // the reply body, then "<HTTP status> <connections opened>".
    e2e::Result post(const std::vector<std::vector<std::string>> &uploads,
                     const std::string &scheme = "http") {
        std::vector<std::string> args{"-q", "-sS"};
        for (const auto &u : uploads) {
            if (args.size() > 2) args.push_back("--next");
            args.insert(args.end(), u.begin() + 1, u.end());
            args.insert(args.end(), {"--data-binary", "@" + sb.path(u[0]), "-w",
                                     "\n%{http_code} %{num_connects}\n",
                                     base(scheme) + "?token=" + e2e::kToken});
        }
        return sb.run("/usr/bin/curl", args);
    }

    std::string stored(const std::string &uuid) {
        return "{\"response\":\"ok\",\"uuid\":\"" + uuid + "\",\"sig\":\"" + repeat("ab", 32) +
               "\",\"path\":\"" + store + "/" + uuid + ".slt\"}";
    }

    void TearDown() override {
        if (!rx) return;
        EXPECT_EQ(rx->stop(), 0);  // SIGTERM ends it with status 0
        for (const auto &e : fs::directory_iterator(store))
            EXPECT_EQ(e.path().extension(), ".slt") << "left behind: " << e.path();
    }

    e2e::Sandbox sb;
    std::optional<e2e::Receiver> rx;
    std::string store;
};

TEST_F(ReceiverTest, StoresRefusesAndKeepsTheConnection) {
    start({});
    std::string good = trace(1, 100, 100);
    sb.write("good.slt", good);
    sb.write("short.slt", trace(2, 100, 101));
    sb.write("bare.slt", trace(3, 0, 0));
    std::string u1 = repeat("01", 16);
    EXPECT_EQ(post({{"good.slt"},
                    {"good.slt"},
                    {"short.slt"},
                    {"bare.slt", "-H", "Transfer-Encoding: chunked"}}),
              e2e::exits(0, stored(u1) + "\n200 1\n" +
                                "{\"error\":{\"message\":\"trace already exists with UUID " + u1 +
                                "\"}}\n409 0\n" +
                                "{\"error\":{\"message\":\"trace truncated\"}}\n400 0\n" +
                                "{\"error\":{\"message\":\"trace truncated\"}}\n400 0\n"));
    EXPECT_EQ(sb.read("store/" + u1 + ".slt"), good);

    auto r = sb.run("/usr/bin/curl", {"-q", "-sS", "--data-binary", "@" + sb.path("good.slt"),
                                      base("http") + "?token=" + repeat("d", 64)});
    EXPECT_EQ(r, e2e::exits(0, "{\"error\":{\"message\":\"invalid token\"}}"));
    EXPECT_EQ(sb.run("/usr/bin/curl", {"-q", "-sS", base("http") + "x"}),
              e2e::exits(0, "{\"error\":{\"message\":\"not found\"}}"));
}

TEST_F(ReceiverTest, ServesHttpsWithTheCertificateItWrote) {
    start({"--https", "0", "--cert-out", sb.path("cert.pem")});
    // Over 1 MiB, so curl asks for 100 Continue first.
    std::string big = trace(4, 2 << 20, 2 << 20);
    sb.write("big.slt", big);
    std::string u4 = repeat("04", 16);
    EXPECT_EQ(post({{"big.slt", "--cacert", sb.path("cert.pem")}}, "https"),
              e2e::exits(0, stored(u4) + "\n200 1\n"));
    EXPECT_EQ(sb.read("store/" + u4 + ".slt"), big);
}

TEST_F(ReceiverTest, MisbehavesAfterTheFirstRequest) {
    start({"--misbehave-after", "1", "--reply-body", "<html>busy</html>", "--status", "503"});
    sb.write("a.slt", trace(5, 10, 10));
    sb.write("b.slt", trace(6, 10, 10));
    EXPECT_EQ(post({{"a.slt"}, {"b.slt"}}),
              e2e::exits(0, stored(repeat("05", 16)) + "\n200 1\n<html>busy</html>\n503 0\n"));
    EXPECT_FALSE(sb.exists("store/" + repeat("06", 16) + ".slt"));
}

TEST_F(ReceiverTest, ClosesWithoutReply) {
    start({"--close-without-reply"});
    sb.write("a.slt", trace(7, 10, 10));
    auto r = post({{"a.slt"}});
    EXPECT_EQ(r.status, 52) << r.err;  // curl: empty reply from server
    EXPECT_FALSE(sb.exists("store/" + repeat("07", 16) + ".slt"));
}

TEST_F(ReceiverTest, SessionStoresAndRefuses) {
    start({"--session", "0"});
    std::string good = trace(8, 50, 50), u8 = repeat("08", 16);
    SessionClient c(rx->port("session"));
    c.send(kConnectionHeader + frame(2, kKey, good.size()) + good);
    EXPECT_EQ(c.receive(24), record(0, 0, 0));
    c.send(frame(3, kKey, good.size()) + good);
    EXPECT_EQ(c.receive(24), record(1, 2, 1));  // exists
    c.send(frame(2, std::string(32, '\x01'), good.size()) + good);
    EXPECT_EQ(c.receive(24), record(2, 2, 3));  // invalid token
    c.send(frame(9, kKey, 0));
    EXPECT_EQ(c.receive(24), record(3, 2, 4));  // protocol error
    EXPECT_EQ(sb.read("store/" + u8 + ".slt"), good);
    EXPECT_NE(rx->err().find("session #1 command 2 length 380 -> stored " + u8 + "\n"),
              std::string::npos);
}

TEST_F(ReceiverTest, SessionLogsACutOff) {
    start({"--session", "0", "--session-body-text", "ok", "--session-split", "7"});
    std::string good = trace(9, 10, 10);
    {
        SessionClient c(rx->port("session"));
        c.send(kConnectionHeader + frame(2, kKey, good.size()) + good);
        EXPECT_EQ(c.receive(27), record(0, 0, 0, UINT64_MAX) + std::string("ok\0", 3));
        c.send(frame(3, kKey, 5000) + std::string(1234, 'x'));
    }
    const std::string line = "session #1 command 3 length 5000 received 1234 (cut off)\n";
    for (int i = 0; i < 400 && rx->err().find(line) == std::string::npos; i++) usleep(25000);
    EXPECT_NE(rx->err().find(line), std::string::npos) << rx->err();
}

TEST_F(ReceiverTest, SessionOverOldTls) {
    start({"--session-tls", "0", "--misbehave-after", "1", "--session-close"});
    std::string good = trace(10, 10, 10);
    // The second command is not answered but closes the connection, which ends s_client.
    std::string in =
        kConnectionHeader + frame(2, kKey, good.size()) + good + frame(2, kKey, good.size()) + good;
    auto r = sb.run("/usr/bin/openssl",
                    {"s_client", "-quiet", "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0", "-connect",
                     "127.0.0.1:" + rx->port("session-tls")},
                    {.stdin_text = in});
    EXPECT_EQ(r.out, record(0, 0, 0)) << r.err;
    EXPECT_NE(rx->err().find("session #1 tls TLSv1.1\n"), std::string::npos) << rx->err();
    EXPECT_TRUE(sb.exists("store/" + repeat("0a", 16) + ".slt"));
}

}  // namespace
