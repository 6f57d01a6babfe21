// The session writer driven directly, for what put never does: a callback that sends nothing
// more, so the writer shuts the connection down itself and ends with status 0.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"
#include "tolvane/config/cf.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/net/network.h"
#include "tolvane/net/ssl.h"
#include "tolvane/net/writer.h"

using namespace e2e;

namespace {
std::string payload;
int calls;

void one_command(tolvane_writer_t *writer) {
    if (calls++ != 0) abort();  // connected comes once, before any response
    tolvane_writer_enqueue(writer, CR_SESSION_TOKEN_PUT_ONCE, payload.data(), payload.size(),
                           UINT32_MAX);
}

void no_more(tolvane_writer_t *, tolvane_writer_response *response) {
    if (calls++ != 1 || response->status != CR_SESSION_RESPONSE_OK) abort();
}

const tolvane_writer_callbacks callbacks{one_command, no_more, nullptr, nullptr};
}  // namespace

TEST(SessionWriter, ShutsDownAfterTheLastAnswerPlainAndTls) {
    Sandbox sb;
    auto rx = std::make_unique<Receiver>(
        sb, std::vector<std::string>{"--session", "0", "--session-tls", "0"});
    std::string plain = rx->port("session"), tls = rx->port("session-tls");
    for (const char *name : {"a.slt", "b.slt"}) trace(sb, name, {"--size", "5000"});
    int n = 0;
    for (const std::string &p : {plain, tls}) {
        SCOPED_TRACE(p);
        std::string cf = write_config(
            sb, {.write = "127.0.0.1:" + p, .universe = p == tls ? "ssl = true\n" : ""});
        payload = sb.read(n++ == 0 ? "a.slt" : "b.slt");
        EXPECT_EXIT(
            {
                cr_ssl_subsystem_init();
                tolvane_cf_load(sb.path("home").c_str(), cf.c_str());
                tolvane_net_result r;
                if (!tolvane_network_init(&r)) abort();
                tolvane_cf_universe_t *universe = tolvane_cf_universe_get(nullptr);
                addrinfo *addresses;
                tolvane_cf_server_t *server = tolvane_network_writer_server(universe, &addresses);
                if (server == nullptr ||
                    tolvane_writer_create(universe, server, addresses, tolvane_cf_token_get("t"),
                                          &callbacks) == nullptr)
                    abort();
                freeaddrinfo(addresses);
                tolvane_network_run();
            },
            ::testing::ExitedWithCode(0), "^$");
    }
    rx.reset();
    auto stored = std::filesystem::directory_iterator(sb.path("store"));
    EXPECT_EQ(std::distance(begin(stored), end(stored)), 2);
}
