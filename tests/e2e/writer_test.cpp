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

const tolvane_writer_callbacks callbacks{on_connected, on_response, on_released, on_done};

// A loopback port on which nothing listens.
std::string closed_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), n);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    close(s);
    return std::to_string(ntohs(a.sin_port));
}
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
        trace(sb, name, {"--size", "5000"});
        Outcome r;
        run = &r;
        r.payload = sb.read(name);
        r.record.data = reinterpret_cast<const unsigned char *>(r.payload.data());
        r.record.length = r.payload.size();
        r.cut = c.cut;
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
            universe, server, addresses, tolvane_cf_token_get("t"), &callbacks, &created);
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
