// tolvane-receiver end to end, with Debian's curl as the client: what is stored, what is
// refused, keep-alive, HTTPS against the certificate it writes, and a misbehaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kToken(64, 'c');

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

class ReceiverTest : public ::testing::Test {
   protected:
    void start(const std::vector<std::string> &extra) {
        std::vector<std::string> args{"--store", sb.mkdir("store"), "--token", kToken};
        args.insert(args.end(), extra.begin(), extra.end());
        rx = sb.spawn(TOLVANE_RECEIVER, args);
        std::istringstream lines(rx->read_until("ready"));
        std::string scheme, port;
        while (lines >> scheme >> port) base[scheme] = scheme + "://127.0.0.1:" + port + "/post";
        store = fs::canonical(sb.path("store")).string();
    }

    // Uploads the files in one curl process, so over one connection when it can; per file
    // the reply body, then "<HTTP status> <connections opened>".
    e2e::Result post(const std::vector<std::vector<std::string>> &uploads,
                     const std::string &scheme = "http") {
        std::vector<std::string> args{"-q", "-sS"};
        for (const auto &u : uploads) {
            if (args.size() > 2) args.push_back("--next");
            args.insert(args.end(), u.begin() + 1, u.end());
            args.insert(args.end(),
                        {"--data-binary", "@" + sb.path(u[0]), "-w",
                         "\n%{http_code} %{num_connects}\n", base[scheme] + "?token=" + kToken});
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
    std::unique_ptr<e2e::Background> rx;
    std::map<std::string, std::string> base;
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
                                      base["http"] + "?token=" + repeat("d", 64)});
    EXPECT_EQ(r, e2e::exits(0, "{\"error\":{\"message\":\"invalid token\"}}"));
    EXPECT_EQ(sb.run("/usr/bin/curl", {"-q", "-sS", base["http"] + "x"}),
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

}  // namespace
