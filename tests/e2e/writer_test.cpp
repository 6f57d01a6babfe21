// The session writer driven in-process against the receiver: it reports how each connection
// ended instead of ending the process. Among the cases, what put never does: a callback that
// sends nothing more, so the writer shuts the connection down itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "cause_lines.h"
#include "harness.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/net/network.h"
#include "tolvane/net/ssl.h"
#include "tolvane/net/writer.h"

using namespace e2e;

namespace {
// What one writer did: its callbacks in order, then its result.
struct Outcome {
    std::string payload;
    tolvane_payload record;
    uint32_t cut;
    std::vector<std::string> events;
    tolvane_net_result result;
};
Outcome *run;

// Makes a trace `name` and makes `r` the outcome the callbacks fill, sending that trace with
// the payload cut at `cut` bytes.
void start_outcome(const Sandbox &sb, Outcome &r, const std::string &name, uint32_t cut) {
    trace(sb, name, {"--size", "5000"});
    run = &r;
    r.payload = sb.read(name);
    r.record.data = reinterpret_cast<const unsigned char *>(r.payload.data());
    r.record.length = r.payload.size();
    r.cut = cut;
}

void on_connected(tolvane_writer_t *writer) {
    run->events.push_back("connected");
    tolvane_writer_enqueue(writer, CR_SESSION_TOKEN_PUT_ONCE, &run->record, run->cut);
}

void on_response(tolvane_writer_t *, tolvane_writer_response *response) {
    run->events.push_back("response " + std::to_string(response->status));
}

void on_released(tolvane_writer_t *, tolvane_payload *payload) {
    run->events.push_back(payload == &run->record ? "released" : "released another");
}

void on_done(tolvane_writer_t *, const tolvane_net_result *result) {
    run->result = *result;
    uv_stop(tolvane_network_loop_get());
}

const tolvane_writer_callbacks callbacks{on_connected, on_response, on_released, on_done, nullptr};
}  // namespace

TEST(SessionWriter, ReportsHowTheConnectionEnded) {
    Sandbox sb;
    Receiver rx(sb, {"--session", "0", "--session-tls", "0"});
    std::string closed = closed_port();
    auto universe = [](const char *name, const std::string &port, const char *more) {
        return std::string("[universe]\nname = ") + name + "\nwrite = 127.0.0.1:" + port + "\n" +
               more;
    };
    std::string cf =
        write_config(sb, {.tail = universe("plain", rx.port("session"), "") +
                                  universe("tls", rx.port("session-tls"), "ssl = true\n") +
                                  universe("closed", closed, "")});
    const std::string ok = "", changed = "changed";
    struct Case {
        const char *name, *universe;
        uint32_t cut;        // bytes sent at most
        std::string change;  // "changed": the payload's file is not as it was loaded
        std::vector<std::string> events;
        tolvane_net_code code;
        std::string message;
    } cases[] = {
        {"plain",
         "plain",
         UINT32_MAX,
         ok,
         {"connected", "released", "response 0"},
         TOLVANE_NET_OK,
         ""},
        {"tls", "tls", UINT32_MAX, ok, {"connected", "released", "response 0"}, TOLVANE_NET_OK, ""},
        {"cut short on purpose", "plain", 100, ok, {"connected"}, TOLVANE_NET_OK, ""},
        {"changed, plain", "plain", UINT32_MAX, changed, {"connected"}, TOLVANE_NET_CHANGED, ""},
        {"changed, tls", "tls", UINT32_MAX, changed, {"connected"}, TOLVANE_NET_CHANGED, ""},
        {"nobody listens",
         "closed",
         UINT32_MAX,
         ok,
         {},
         TOLVANE_NET_FAILED,
         "error: failed to connect to 127.0.0.1:" + closed + " (connection refused).\n"},
    };
    cr_ssl_subsystem_init();
    tolvane_cf_load(sb.path("home").c_str(), cf.c_str());
    tolvane_net_result init;
    ASSERT_TRUE(tolvane_network_init(&init)) << init.message;
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = "t" + std::to_string(n++) + ".slt";
        Outcome r;
        start_outcome(sb, r, name, c.cut);
        std::string path = sb.path(name);
        if (!c.change.empty()) {
            // Loaded as another file than the one its path names: the check fails.
            struct stat st;
            ASSERT_EQ(stat(path.c_str(), &st), 0);
            r.record.path = path.c_str();
            r.record.device = st.st_dev;
            r.record.inode = st.st_ino;
            r.record.modified = {1, 0};
        }
        tolvane_cf_universe_t *universe = tolvane_cf_universe_get(c.universe);
        addrinfo *addresses;
        tolvane_cf_server_t *server = tolvane_network_writer_server(universe, &addresses);
        ASSERT_NE(server, nullptr);
        tolvane_net_result created;
        tolvane_writer_t *writer = tolvane_writer_create(
            universe, server, addresses, tolvane_cf_token_get("t"), &callbacks, nullptr, &created);
        freeaddrinfo(addresses);
        ASSERT_NE(writer, nullptr) << created.message;
        tolvane_network_run();  // until the writer is done
        EXPECT_EQ(r.events, c.events);
        EXPECT_EQ(r.result.code, c.code);
        EXPECT_EQ(r.result.message,
                  c.code == TOLVANE_NET_CHANGED
                      ? "error: file \"" + path + "\" changed during its upload.\n"
                      : c.message);
    }
    tolvane_cf_reset();
    rx.stop();
    // Only the two whole payloads were stored.
    auto stored = std::filesystem::directory_iterator(sb.path("store"));
    EXPECT_EQ(std::distance(begin(stored), end(stored)), 2);
}

namespace {
// A listener on 127.0.0.1 at `port` that never accepts; `full`: its queue is taken, so that a
// connect to it is never answered.
struct Quiet {
    int fd = -1, filler = -1;
    Quiet(const std::string &port, bool full) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, full ? 0 : 8))
            throw std::runtime_error("cannot listen on 127.0.0.1:" + port);
        if (full) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
                throw std::runtime_error("cannot fill the queue");
        }
    }
    ~Quiet() {
        if (filler >= 0) close(filler);
        close(fd);
    }
};
}  // namespace

// The server's addresses are tried in the resolver's order: a refused connect, or one that runs
// out of time, goes on to the next; a TLS peer that connects and never answers the handshake
// ends it. The store here listens on IPv6 loopback only, and IPv4 loopback comes first.
TEST(SessionWriter, TriesTheAddressesInOrder) {
    Sandbox sb;
    Receiver rx(sb, {"--address", "::1", "--session", "0", "--session-tls", "0"});
    const std::string plain = rx.port("session"), tls = rx.port("session-tls");
    std::string cf = write_config(
        sb, {.tail = "[universe]\nname = plain\nwrite = [::1]:" + plain +
                     "\n[universe]\nname = tls\nwrite = [::1]:" + tls + "\nssl = true\n"});
    cr_ssl_subsystem_init();
    tolvane_cf_load(sb.path("home").c_str(), cf.c_str());
    tolvane_net_result init;
    ASSERT_TRUE(tolvane_network_init(&init)) << init.message;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    addrinfo second{}, first{};
    second.ai_family = AF_INET6;
    second.ai_addr = reinterpret_cast<sockaddr *>(&v6);
    second.ai_addrlen = sizeof v6;
    first.ai_family = AF_INET;
    first.ai_addr = reinterpret_cast<sockaddr *>(&v4);
    first.ai_addrlen = sizeof v4;
    first.ai_next = &second;
    const std::vector<std::string> stored{"connected", "released", "response 0"};
    struct Case {
        const char *name, *universe;
        int quiet;  // on 127.0.0.1 at the port: 0 nothing, 1 never accepts, 2 never connects
        bool both;  // the IPv6 address too; else IPv4 twice
        std::vector<std::string> events;
        std::string message;
    } cases[] = {
        {"refused, then IPv6", "plain", 0, true, stored, ""},
        {"connect runs out, then IPv6", "plain", 2, true, stored, ""},
        {"TLS: connect runs out, then IPv6", "tls", 2, true, stored, ""},
        {"TLS peer that never answers",
         "tls",
         1,
         true,
         {"connected"},
         "error: the connection to [::1]:" + tls +
             " timed out after 1 s during the TLS handshake.\n"},
        {"every address refused",
         "plain",
         0,
         false,
         {},
         "error: failed to connect to [::1]:" + plain + " (connection refused).\n"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string port = std::string(c.universe) == "tls" ? tls : plain;
        std::optional<Quiet> quiet;
        if (c.quiet > 0) quiet.emplace(port, c.quiet == 2);
        std::string name = "a" + std::to_string(n++) + ".slt";
        Outcome r;
        start_outcome(sb, r, name, UINT32_MAX);
        first.ai_next = c.both ? &second : nullptr;
        addrinfo twice = first;
        twice.ai_next = nullptr;
        if (!c.both) first.ai_next = &twice;
        tolvane_cf_universe_t *universe = tolvane_cf_universe_get(c.universe);
        tolvane_cf_server_t *server = tolvane_cf_writer_next(universe, nullptr);
        tolvane_net_limits limits;
        limits.connect_timeout = 1;
        tolvane_net_result created;
        tolvane_writer_t *writer = tolvane_writer_create(
            universe, server, &first, tolvane_cf_token_get("t"), &callbacks, &limits, &created);
        ASSERT_NE(writer, nullptr) << created.message;
        auto start = std::chrono::steady_clock::now();
        tolvane_network_run();  // until the writer is done
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.events, c.events);
        EXPECT_EQ(r.result.code, c.message.empty() ? TOLVANE_NET_OK : TOLVANE_NET_FAILED);
        EXPECT_EQ(r.result.message, c.message);
        EXPECT_LT(took, std::chrono::seconds(c.quiet > 0 ? 3 : 1));
    }
    tolvane_cf_reset();
}
