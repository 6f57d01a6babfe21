// tolvane-relay, the slow link of the tests and benchmarks: bytes pass unchanged both ways with
// their ends and resets, rates and latency hold as the sender sees them, the relay holds little
// so that a sender feels the link, and a stall goes silent without closing anything.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "harness.h"

using namespace e2e;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string random_bytes(size_t n) {
    std::mt19937 gen(static_cast<unsigned>(n));
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

struct Socket {
    int fd = -1;
    Socket() = default;
    explicit Socket(int f) : fd(f) {}
    Socket(Socket &&o) noexcept : fd(std::exchange(o.fd, -1)) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
};

// A connection through the relay: the client's end, and the end the target accepted.
struct Link {
    Socket client, server;
};

// What moved over a link: each side writes its bytes as fast as its socket takes them, ends its
// sending half, and reads until the other side's end.
struct Flow {
    std::string up, down;                 // what arrived at the target, and at the client
    double up_secs = 0, down_secs = 0;    // when the last byte arrived, from the start
    size_t up_ahead = 0, down_ahead = 0;  // most bytes a sender's socket had taken, not delivered
};

// The test itself is the target: a listener on 127.0.0.1 that the relay forwards to.
class RelayTest : public ::testing::Test {
   protected:
    RelayTest() : target(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(target.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(target.fd, 8) != 0 ||
            getsockname(target.fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        to = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }

    // Connects to the relay's listener of that kind and accepts the relayed connection; both
    // ends are non-blocking. A sender buffer, when given, is fixed on both ends so that what the
    // relay itself holds shows.
    static Link open(const Relay &relay, Socket &target, const std::string &kind = "relay",
                     int sndbuf = 0) {
        Link l;
        sockaddr_storage ss{};
        auto *s4 = reinterpret_cast<sockaddr_in *>(&ss);
        auto *s6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        uint16_t port = static_cast<uint16_t>(std::stoi(relay.port(kind)));
        if (kind == "relay6") {
            s6->sin6_family = AF_INET6;
            s6->sin6_addr = in6addr_loopback;
            s6->sin6_port = htons(port);
        } else {
            s4->sin_family = AF_INET;
            s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            s4->sin_port = htons(port);
        }
        l.client.fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sndbuf) setsockopt(l.client.fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        if (connect(l.client.fd, reinterpret_cast<sockaddr *>(&ss),
                    kind == "relay6" ? sizeof *s6 : sizeof *s4) != 0)
            throw std::runtime_error("cannot connect to the relay");
        pollfd p{target.fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) throw std::runtime_error("the relay did not connect");
        l.server.fd = accept4(target.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (sndbuf) setsockopt(l.server.fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        for (int fd : {l.client.fd, l.server.fd}) fcntl(fd, F_SETFL, O_NONBLOCK);
        return l;
    }

    // Moves up and down at once; with answer_after_end the target writes only once it has
    // read the client's end, as a server answers a request.
    static Flow exchange(Link &l, const std::string &up, const std::string &down,
                         bool answer_after_end = false) {
        Flow f;
        struct End {
            int fd;
            const std::string &out;
            std::string &in;
            double &in_secs;
            size_t expect;
            size_t sent = 0;
            bool shut = false, eof = false;
        };
        End client{l.client.fd, up, f.down, f.down_secs, down.size()};
        End server{l.server.fd, down, f.up, f.up_secs, up.size()};
        auto t0 = Clock::now();
        char buf[65536];
        while (!client.eof || !server.eof) {
            if (since(t0) > 20) {
                ADD_FAILURE() << "the flow did not end: " << f.up.size() << " bytes up, "
                              << f.down.size() << " down";
                break;
            }
            auto may_write = [&](const End &e) {
                return &e == &client || !answer_after_end || server.eof;
            };
            // Only what can still happen, so that an end already read never wakes the poll.
            pollfd p[2];
            for (int i = 0; i < 2; i++) {
                const End &e = i == 0 ? client : server;
                short events = static_cast<short>((e.eof ? 0 : POLLIN) |
                                                  (may_write(e) && !e.shut ? POLLOUT : 0));
                p[i] = {events ? e.fd : -1, events, 0};
            }
            poll(p, 2, 50);
            for (End *e : {&client, &server}) {
                bool may = may_write(*e);
                while (may && e->sent < e->out.size()) {
                    ssize_t n =
                        send(e->fd, e->out.data() + e->sent,
                             std::min<size_t>(sizeof buf, e->out.size() - e->sent), MSG_NOSIGNAL);
                    if (n <= 0) break;
                    e->sent += static_cast<size_t>(n);
                }
                if (may && e->sent == e->out.size() && !e->shut) {
                    shutdown(e->fd, SHUT_WR);
                    e->shut = true;
                }
                ssize_t n;
                while (!e->eof && (n = recv(e->fd, buf, sizeof buf, 0)) >= 0) {
                    if (n == 0) e->eof = true;
                    e->in.append(buf, static_cast<size_t>(n));
                    if (n > 0 && e->in.size() == e->expect) e->in_secs = since(t0);
                }
            }
            f.up_ahead = std::max(f.up_ahead, client.sent - f.up.size());
            f.down_ahead = std::max(f.down_ahead, server.sent - f.down.size());
        }
        return f;
    }

    // Waits up to 2 s for the relay to log a line containing text.
    static bool logged(const Relay &relay, const std::string &text) {
        for (int i = 0; i < 200; i++) {
            if (relay.err().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    Sandbox sb;
    Socket target;
    std::string to;
};

}  // namespace

TEST_F(RelayTest, PassesBytesAndEndsBothWaysOnBothFamilies) {
    Relay relay(sb, to, {"--listen", "0", "--listen6", "0"});
    const std::string up = random_bytes(1 << 20), down = random_bytes(300000);
    int id = 0;
    for (const char *kind : {"relay", "relay6"}) {
        for (bool answer_after_end : {false, true}) {
            SCOPED_TRACE(std::string(kind) + (answer_after_end ? ", request and answer" : ""));
            Link l = open(relay, target, kind);
            Flow f = exchange(l, up, down, answer_after_end);
            EXPECT_TRUE(f.up == up) << f.up.size() << " bytes arrived up";
            EXPECT_TRUE(f.down == down) << f.down.size() << " bytes arrived down";
            // Both ends passed on, the relay lets the connection go.
            EXPECT_TRUE(logged(relay, "#" + std::to_string(++id) +
                                          " closed: 1048576 bytes up, 300000 bytes down\n"))
                << relay.err();
        }
    }
}

TEST_F(RelayTest, PassesResetsOn) {
    Relay relay(sb, to);
    Link l = open(relay, target);
    linger reset{1, 0};
    setsockopt(l.client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(std::exchange(l.client.fd, -1));
    char c;
    pollfd p{l.server.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv(l.server.fd, &c, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);

    // A target that refuses the connection: the client is reset, as it would be by the target.
    close(std::exchange(target.fd, -1));
    Socket client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(relay.port())));
    ASSERT_EQ(connect(client.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    p = {client.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv(client.fd, &c, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_TRUE(logged(relay, "#2 cannot connect to the target: connection refused\n"))
        << relay.err();
}

TEST_F(RelayTest, RatesHoldEachWayAndTheRelayHoldsLittle) {
    // tolvane's own upload over HTTP, timed as its user sees it: 2 MiB at 512 KiB/s.
    Receiver rx(sb);
    Relay uplink(sb, "127.0.0.1:" + rx.port("http"), {"--up-rate", "512K"});
    std::string cf = write_config(sb, {.write = "http://127.0.0.1:" + uplink.port()});
    Trace t = trace(sb, "big.slt", {"--size", "2097152"});
    auto t0 = Clock::now();
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", "big.slt"}), exits(0, t.line));
    double secs = since(t0);
    EXPECT_GE(secs, 3.6);
    EXPECT_LE(secs, 4.4);
    EXPECT_TRUE(sb.read("store/" + t.uuid + ".slt") == sb.read("big.slt"));
    // The link's rate is shared, as an uplink's is: two uploads of 1 MiB at once take as long
    // as one of 2 MiB.
    trace(sb, "a.slt", {"--size", "1048576"});
    trace(sb, "b.slt", {"--size", "1048576"});
    t0 = Clock::now();
    auto a = sb.spawn(TOLVANE_BINARY, {"-c", cf, "put", "p", "t", "a.slt"});
    auto b = sb.spawn(TOLVANE_BINARY, {"-c", cf, "put", "p", "t", "b.slt"});
    EXPECT_EQ(a->wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(b->wait(std::chrono::seconds(10)), 0);
    secs = since(t0);
    EXPECT_GE(secs, 3.6);
    EXPECT_LE(secs, 4.6);

    // Both directions at once, each at its own rate: 2 s each. With the senders' buffers
    // fixed, what they are ahead of the receiving end is what the relay (and its sockets)
    // hold: far less than the megabytes a relay reading without bound would take.
    Relay relay(sb, to, {"--up-rate", "1M", "--down-rate", "512K"});
    Link l = open(relay, target, "relay", 32 << 10);
    const std::string up = random_bytes(2 << 20), down = random_bytes(1 << 20);
    Flow f = exchange(l, up, down);
    EXPECT_TRUE(f.up == up && f.down == down);
    for (double s : {f.up_secs, f.down_secs}) {
        EXPECT_GE(s, 1.8);
        EXPECT_LE(s, 2.2);
    }
    EXPECT_LT(f.up_ahead, 512u << 10);
    EXPECT_LT(f.down_ahead, 512u << 10);
}

TEST_F(RelayTest, LatencyAddsToEachWay) {
    Relay relay(sb, to, {"--latency-ms", "100"});
    Link l = open(relay, target);
    auto wait_for = [](int fd, std::string &got, size_t n) {
        char buf[16];
        while (got.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) return false;
            ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r <= 0) return false;
            got.append(buf, static_cast<size_t>(r));
        }
        return true;
    };
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE("round trip " + std::to_string(i));
        std::string at_server, at_client;
        auto t0 = Clock::now();
        ASSERT_EQ(send(l.client.fd, "ping", 4, 0), 4);
        ASSERT_TRUE(wait_for(l.server.fd, at_server, 4));
        double one_way = since(t0);
        ASSERT_EQ(send(l.server.fd, "pong", 4, 0), 4);
        ASSERT_TRUE(wait_for(l.client.fd, at_client, 4));
        double round_trip = since(t0);
        EXPECT_EQ(at_server + at_client, "pingpong");
        EXPECT_GE(one_way, 0.1);
        EXPECT_GE(round_trip, 0.2);
        EXPECT_LT(round_trip, 0.35);  // paid once each way, not per piece or twice
    }
}

TEST_F(RelayTest, StallAfterGoesSilentAndKeepsTheConnection) {
    Relay relay(sb, to, {"--stall-after", "100000"});
    Link l = open(relay, target, "relay", 32 << 10);
    const std::string up = random_bytes(1 << 20);
    std::string at_server, at_client;
    size_t sent = 0;
    bool answered = false, ended = false;
    char buf[65536];
    auto t0 = Clock::now();
    while (since(t0) < 1.5) {
        pollfd p[2] = {{l.client.fd, POLLIN | POLLOUT, 0}, {l.server.fd, POLLIN, 0}};
        poll(p, 2, 50);
        ssize_t n = send(l.client.fd, up.data() + sent, std::min(sizeof buf, up.size() - sent),
                         MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<size_t>(n);
        while ((n = recv(l.server.fd, buf, sizeof buf, 0)) > 0)
            at_server.append(buf, static_cast<size_t>(n));
        ended |= n == 0 || (n < 0 && errno != EAGAIN);
        // An answer once the allowance has passed must not come through.
        if (at_server.size() == 100000 && !answered)
            answered = send(l.server.fd, "answer", 6, 0) == 6;
        while ((n = recv(l.client.fd, buf, sizeof buf, 0)) > 0)
            at_client.append(buf, static_cast<size_t>(n));
        ended |= n == 0 || (n < 0 && errno != EAGAIN);
    }
    EXPECT_TRUE(at_server == up.substr(0, 100000)) << at_server.size() << " bytes arrived";
    EXPECT_TRUE(answered);
    EXPECT_EQ(at_client, "");
    EXPECT_LT(sent, up.size());  // the client's writes block: nothing reads them
    EXPECT_FALSE(ended);         // neither end saw a close or a reset
    EXPECT_TRUE(logged(relay, "#1 stalled after 100000 bytes up\n")) << relay.err();
}

TEST_F(RelayTest, RefusesBadOptionsAndTargetsBeyondLoopback) {
    for (auto [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "--to is required"},
             {{"--to", "10.1.2.3:80"}, "not a loopback HOST:PORT: 10.1.2.3:80"},
             {{"--to", "[2001:db8::1]:80"}, "not a loopback HOST:PORT: [2001:db8::1]:80"},
             {{"--to", "localhost:80"}, "not a loopback HOST:PORT: localhost:80"},
             {{"--to", "127.0.0.1:0"}, "not a loopback HOST:PORT: 127.0.0.1:0"},
             {{"--to", "127.0.0.1:1", "--up-rate", "0"}, "bad rate for --up-rate: 0"},
             {{"--to", "127.0.0.1:1", "--down-rate=8X"}, "bad rate for --down-rate: 8X"},
             {{"--to", "127.0.0.1:1", "--up-rate", "1025G"}, "bad rate for --up-rate: 1025G"},
             {{"--to", "127.0.0.1:1", "--latency-ms", "-1"}, "bad value for --latency-ms: -1"},
         }) {
        SCOPED_TRACE(testing::PrintToString(args));
        Result r = sb.run(TOLVANE_RELAY, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "tolvane-relay: " + why);
    }
}
